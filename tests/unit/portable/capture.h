// Captures what the code under test prints on standard output, and turns the
// end of the process into an exception that a test can catch.
#pragma once

#include <functional>
#include <string>

struct ProcessEnded {
    int status;
};

struct Outcome {
    bool ended;       // the process would have ended
    int status;       // its status then
    std::string out;  // everything printed on standard output
};

// Runs `body` with standard output redirected into a string.
Outcome capture(const std::function<void()>& body);

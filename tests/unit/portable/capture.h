// Captures what the code under test prints on standard output, with the
// report of a fatal error that ends it.
#pragma once

#include <functional>
#include <string>

struct Outcome {
    bool ended;       // a fatal error ended the run
    int status;       // its status then
    std::string out;  // everything printed on standard output
};

// Runs `body` with standard output redirected into a string.
Outcome capture(const std::function<void()>& body);

#include "capture.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "report.h"

Outcome capture(const std::function<void()>& body)
{
    const std::string path = "capture-" + std::to_string(static_cast<long>(getpid())) + ".txt";
    std::fflush(stdout);
    const int saved = dup(fileno(stdout));
    std::FILE* sink = std::fopen(path.c_str(), "wb");
    dup2(fileno(sink), fileno(stdout));
    Outcome outcome{false, 0, {}};
    setReportIndent(0);
    try {
        body();
    } catch (const FatalError& error) {
        // What the program's top would print for it.
        std::fputs(error.report.c_str(), stdout);
        outcome.ended = true;
        outcome.status = kFatalStatus;
    }
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::fclose(sink);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    in.close();
    std::remove(path.c_str());
    // A Windows C library writes standard output in text mode.
    std::string out = text.str();
    std::string plain;
    for (std::size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n') {
            continue;
        }
        plain += out[i];
    }
    outcome.out = plain;
    return outcome;
}

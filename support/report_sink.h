// Where the libraries' report goes: its text and the progress of a rescue reach
// the program through a sink. A console program prints them to standard output
// as they come (consoleSink); a window or a report can take them instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A rescue's progress over the file it is writing, refreshed as it reads.
struct ProgressEvent {
    std::string_view phase;   // "copying", "scraping", "retrying", then "done" or "interrupted"
    std::string_view target;  // the file being written
    std::uint64_t done = 0;   // sectors tried
    std::uint64_t total = 0;
    std::uint64_t bad = 0;  // sectors not read (so far)
    double bytesPerSecond = 0;
    std::int64_t secondsLeft = -1;  // -1: not known yet
    bool last = false;              // the target's last event
};

class ReportSink {
public:
    virtual ~ReportSink() = default;
    // Report text exactly as the console shows it: whole lines or a part of one.
    virtual void text(std::string_view text) = 0;
    virtual void progress(const ProgressEvent& event) = 0;
    // What was written so far is to be seen now (a progress mark, say).
    virtual void flush() {}
};

// The sink of the calling thread's run: the one a ReportSinkScope set, else the console.
ReportSink& reportSink();
ReportSink& consoleSink();

// Sets the calling thread's sink for the lifetime of the scope.
class ReportSinkScope {
public:
    explicit ReportSinkScope(ReportSink& sink);
    ~ReportSinkScope();
    ReportSinkScope(const ReportSinkScope&) = delete;
    ReportSinkScope& operator=(const ReportSinkScope&) = delete;

private:
    ReportSink* previous_;
};

// printf-style text into the current sink.
[[gnu::format(printf, 1, 2)]] void reportf(const char* format, ...);
void reportText(std::string_view text);
void reportFlush();

// The console's status line for `event`: carriage return first, so that it
// is rewritten in place.
std::string statusLineText(const ProgressEvent& event);

// Indented report lines, labelled values, the hexadecimal dump, and the fatal
// error that ends a run. Everything goes to the report sink (report_sink.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Report lines are indented two spaces a level.
std::uint32_t reportIndent();
void setReportIndent(std::uint32_t level);
void increaseIndent();
void decreaseIndent();

// One level deeper for the lifetime of the scope.
class IndentedScope {
public:
    IndentedScope() { increaseIndent(); }
    ~IndentedScope() { decreaseIndent(); }
    IndentedScope(const IndentedScope&) = delete;
    IndentedScope& operator=(const IndentedScope&) = delete;
};

void printIndent();
void printLine(const char* text);
// "label = value" lines: hexadecimal of 8, 16 and 32 bits, then signed
// decimal of 16 and 32 bits.
void printByteField(const char* label, std::uint32_t value);
void printWordField(const char* label, std::uint32_t value);
void printDWordField(const char* label, std::uint32_t value);
void printShortField(const char* label, std::uint32_t value);
void printLongField(const char* label, std::uint32_t value);

// Offset, 16 bytes in hexadecimal and as characters, a line per 16 bytes.
std::string hexDump(const void* data, std::uint32_t length);
void printHexDump(const void* data, std::uint32_t length);

// Thrown at the first error that ends the run; the program's top prints
// `report` and ends with status -1. A caller that can go on without what
// failed (a drive command, say) may catch it instead.
struct FatalError {
    enum class Cause {
        Message,  // a check of the program's own failed
        Drive,    // the drive could not carry out a command
    };
    // What a drive's failure says, as the drive layer sorts it by its sense
    // data (the categories of sg3_utils).
    enum class DriveFailure {
        None,            // not the drive's
        Transport,       // the request never reached the drive, or no sense came back
        NotReady,        // NOT READY: no disc, or not spun up
        Medium,          // MEDIUM ERROR: the data cannot be read
        Hardware,        // HARDWARE ERROR
        IllegalRequest,  // ILLEGAL REQUEST: the command or one of its fields refused
        UnitAttention,   // UNIT ATTENTION: a reset, or the disc may have been changed
        Aborted,         // ABORTED COMMAND
        Other,
    };
    std::string report;  // the lines to print, indented as at the failure
    Cause cause = Cause::Message;
    DriveFailure failure = DriveFailure::None;
    std::int64_t sector = -1;  // the sector the failed command was about; -1: none
};

// The report of an error: "*** Error!" and the message, at the current
// indentation; with a system error code, a third line giving it.
FatalError fatalError(const char* message);
FatalError fatalSystemError(const char* message, std::uint32_t code);
// The same with the code given as text.
FatalError fatalSystemError(const char* message, const std::string& code);

// Ends the run with fatalError(message).
[[noreturn]] void fail(const char* message);
// The same, with a third line giving the last system error code.
[[noreturn]] void failWithSystemError(const char* message);

// Exit status of a run that ended with a FatalError.
constexpr int kFatalStatus = -1;

// Runs a program's work: its status, or, when a FatalError ends it, its
// report printed and kFatalStatus.
int runReportingFatalErrors(const std::function<int()>& work);

#include "report.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "report_sink.h"

namespace {

// The one piece of state shared across a run: how deep the report is. Each
// thread has its own, as it has its own sink: a window runs the work on another.
thread_local std::uint32_t g_indent = 0;

std::string indentation()
{
    return std::string(2 * static_cast<std::size_t>(g_indent), ' ');
}

}  // namespace

std::uint32_t reportIndent()
{
    return g_indent;
}

void setReportIndent(std::uint32_t level)
{
    g_indent = level;
}

void increaseIndent()
{
    g_indent++;
}

void decreaseIndent()
{
    g_indent--;
}

void printIndent()
{
    for (std::uint32_t i = 0; i < g_indent; i++) {
        reportf("  ");
    }
}

void printLine(const char* text)
{
    printIndent();
    reportf("%s\n", text);
}

void printByteField(const char* label, std::uint32_t value)
{
    printIndent();
    reportf("%s = 0x%02X\n", label, value & 0xFFu);
}

void printWordField(const char* label, std::uint32_t value)
{
    printIndent();
    reportf("%s = 0x%04X\n", label, value & 0xFFFFu);
}

void printDWordField(const char* label, std::uint32_t value)
{
    printIndent();
    reportf("%s = 0x%08X\n", label, value);
}

void printShortField(const char* label, std::uint32_t value)
{
    printIndent();
    reportf("%s = %i\n", label, static_cast<int>(static_cast<std::int16_t>(value & 0xFFFFu)));
}

void printLongField(const char* label, std::uint32_t value)
{
    printIndent();
    reportf("%s = %d\n", label, static_cast<std::int32_t>(value));
}

std::string hexDump(const void* data, std::uint32_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string out;
    std::string hex;
    std::string chars;
    char number[16];
    for (std::uint32_t i = 0; i < length; i++) {
        if (i % 16 == 0) {
            std::snprintf(number, sizeof number, "%08X  ", i);
            out += number;
        }
        if (i % 16 == 8) {
            hex += ' ';
        }
        std::snprintf(number, sizeof number, "%02X ", bytes[i]);
        hex += number;
        const unsigned char c = bytes[i];
        chars += (c >= 0x20 && c <= 0x7F) ? static_cast<char>(c) : '.';
        if (i % 16 == 15) {
            out.append(hex).append(1, ' ').append(chars).append(1, '\n');
            hex.clear();
            chars.clear();
        }
    }
    if (!hex.empty()) {
        // A short last line is padded to the width of a full one: 49
        // characters of hexadecimal, 16 characters.
        hex.resize(49, ' ');
        chars.resize(16, ' ');
        out.append(hex).append(1, ' ').append(chars).append(1, '\n');
    }
    return out;
}

void printHexDump(const void* data, std::uint32_t length)
{
    reportText(hexDump(data, length).c_str());
}

FatalError fatalError(const char* message)
{
    return FatalError{indentation() + "*** Error!\n" + indentation() + message + "\n"};
}

FatalError fatalSystemError(const char* message, std::uint32_t code)
{
    return fatalSystemError(message, std::to_string(static_cast<std::int32_t>(code)));
}

FatalError fatalSystemError(const char* message, const std::string& code)
{
    FatalError error = fatalError(message);
    error.report += indentation() + "error code = " + code + "\n";
    return error;
}

void fail(const char* message)
{
    throw fatalError(message);
}

void failWithSystemError(const char* message)
{
    // Taken first: anything else may change the system's last error code.
    const std::uint32_t code = platformLastError();
    throw fatalSystemError(message, code);
}

int runReportingFatalErrors(const std::function<int()>& work)
{
    int status = 0;
    try {
        status = work();
    } catch (const FatalError& error) {
        reportText(error.report.c_str());
        status = kFatalStatus;
    }
    reportFlush();
    return status;
}

// Indented report lines, labelled values, the hexadecimal dump and the fatal
// error reporters. Everything goes to standard output through printf.
#pragma once

#include <cstdint>

extern std::uint32_t g_dwIndent;

void inc_indent();
void dec_indent();
void printIndent();

void display(const char* text);
void displayByte(const char* label, std::uint32_t value);
void displayWord(const char* label, std::uint32_t value);
void displayDWord(const char* label, std::uint32_t value);
void displayShort(const char* label, std::uint32_t value);
void displayLong(const char* label, std::uint32_t value);

// Prints "*** Error!" and the message, then ends the process with status -1.
[[noreturn]] void error(const char* message);
// The same, with a third line giving the last system error code.
[[noreturn]] void error_api(const char* message);

void dump(const void* data, std::uint32_t length);

// Ends the process with the given status after flushing standard output.
// Every fatal path goes through here; it lives in its own source file so that
// a test harness can link a replacement that returns control to it instead.
[[noreturn]] void endProcess(int status);

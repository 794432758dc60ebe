#include "report.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

std::uint32_t g_dwIndent = 0;

void inc_indent()
{
    g_dwIndent++;
}

void dec_indent()
{
    g_dwIndent--;
}

void printIndent()
{
    for (std::uint32_t i = 0; i < g_dwIndent; i++) {
        std::printf("  ");
    }
}

void display(const char* text)
{
    printIndent();
    std::printf("%s\n", text);
}

void displayByte(const char* label, std::uint32_t value)
{
    printIndent();
    std::printf("%s = 0x%02X\n", label, value & 0xFFu);
}

void displayWord(const char* label, std::uint32_t value)
{
    printIndent();
    std::printf("%s = 0x%04X\n", label, value & 0xFFFFu);
}

void displayDWord(const char* label, std::uint32_t value)
{
    printIndent();
    std::printf("%s = 0x%08X\n", label, value);
}

void displayShort(const char* label, std::uint32_t value)
{
    printIndent();
    std::printf("%s = %i\n", label, static_cast<int>(static_cast<std::int16_t>(value & 0xFFFFu)));
}

void displayLong(const char* label, std::uint32_t value)
{
    printIndent();
    std::printf("%s = %d\n", label, static_cast<std::int32_t>(value));
}

void error(const char* message)
{
    display("*** Error!");
    display(message);
    endProcess(-1);
}

void error_api(const char* message)
{
    // Taken first: printing may change the system's last error code.
    const std::uint32_t code = platformLastError();
    display("*** Error!");
    display(message);
    displayLong("error code", code);
    endProcess(-1);
}

void dump(const void* data, std::uint32_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    // 16 bytes make 49 hex characters and 16 characters a line; the buffers
    // have room for the terminating zero and more.
    char hex[512];
    char chars[512];
    std::size_t hexLength = 0;
    std::size_t charLength = 0;
    std::memset(hex, 0, sizeof hex);
    std::memset(chars, 0, sizeof chars);

    for (std::uint32_t i = 0; i < length; i++) {
        if (i % 16 == 0) {
            std::printf("%08X  ", i);
        }
        if (i % 16 == 8) {
            hex[hexLength++] = ' ';
        }
        std::snprintf(hex + hexLength, sizeof hex - hexLength, "%02X ", bytes[i]);
        hexLength += 3;
        const unsigned char c = bytes[i];
        chars[charLength++] = (c >= 0x20 && c <= 0x7F) ? static_cast<char>(c) : '.';
        if (i % 16 == 15) {
            std::printf("%s %s\n", hex, chars);
            std::memset(hex, 0, sizeof hex);
            std::memset(chars, 0, sizeof chars);
            hexLength = 0;
            charLength = 0;
        }
    }
    if (hexLength != 0) {
        while (hexLength < 49) {
            hex[hexLength++] = ' ';
        }
        while (charLength < 16) {
            chars[charLength++] = ' ';
        }
        std::printf("%s %s\n", hex, chars);
    }
}

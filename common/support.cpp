#include "support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "report.h"

std::uint32_t ReverseEndianDWord(std::uint32_t value)
{
    return ((value & 0x000000FFu) << 24) | ((value & 0x0000FF00u) << 8) | ((value & 0x00FF0000u) >> 8) |
           ((value & 0xFF000000u) >> 24);
}

std::uint16_t ReverseEndianWord(std::uint32_t value)
{
    return static_cast<std::uint16_t>(((value & 0x00FFu) << 8) | ((value & 0xFF00u) >> 8));
}

void str2dword(std::uint32_t* result, const char* text)
{
    const int base = (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) ? 16 : 10;
    // strtoll and a clamp give the 32-bit strtol result on every platform,
    // also where long has 64 bits.
    long long value = std::strtoll(text, nullptr, base);
    if (value > INT32_MAX) {
        value = INT32_MAX;
    } else if (value < INT32_MIN) {
        value = INT32_MIN;
    }
    *result = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

void openFileForOutput(const char* name, FileHandle* file)
{
    if (!platformCreateNewFile(name, file)) {
        error("can't open file");
    }
}

void openFileForInput(const char* name, FileHandle* file)
{
    if (!platformOpenExistingFile(name, file)) {
        error("can't open file");
    }
}

void saveFile(FileHandle file, const void* data, std::uint32_t length)
{
    std::uint32_t written = 0;
    if (!platformWriteFile(file, data, length, &written)) {
        error("can't write file");
    }
    if (written != length) {
        error("result length not match");
    }
}

void closeFile(FileHandle file)
{
    platformCloseFile(file);
}

bool makeWindowsDevicePath(const char* argument, char* path, std::size_t size)
{
    static const char prefix[] = "\\\\.\\";
    const std::size_t prefixLength = sizeof prefix - 1;
    const std::size_t argumentLength = std::strlen(argument);
    const bool endsWithColon = argumentLength > 0 ? argument[argumentLength - 1] == ':' : false;
    const std::size_t total = prefixLength + argumentLength + (endsWithColon ? 0 : 1) + 1;
    if (total > size) {
        return false;
    }
    std::memcpy(path, prefix, prefixLength);
    std::memcpy(path + prefixLength, argument, argumentLength);
    std::size_t end = prefixLength + argumentLength;
    if (!endsWithColon) {
        path[end++] = ':';
    }
    path[end] = '\0';
    return true;
}

void buildDevicePath(const char* argument, char* path)
{
    if (!platformDevicePath(argument, path, kDevicePathSize)) {
        error("drive argument too long");
    }
}

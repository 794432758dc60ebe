// Byte order, number parsing, output files and the drive's device path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

std::uint32_t ReverseEndianDWord(std::uint32_t value);
std::uint16_t ReverseEndianWord(std::uint32_t value);

// Decimal, or hexadecimal after "0x"/"0X"; the value is taken as a signed
// 32-bit number (saturated) and stored as its two's complement.
void str2dword(std::uint32_t* result, const char* text);

void openFileForOutput(const char* name, FileHandle* file);
void openFileForInput(const char* name, FileHandle* file);
void saveFile(FileHandle file, const void* data, std::uint32_t length);
void closeFile(FileHandle file);

// Size of the device path buffer that the programs keep on their stack.
constexpr std::size_t kDevicePathSize = 520;

// The Windows device path for a drive argument: "\\.\" + argument, then ":"
// unless the whole string already ends with one. False when it (with its
// terminating zero) does not fit in `size` bytes.
bool makeWindowsDevicePath(const char* argument, char* path, std::size_t size);

// The device path for the drive argument on this platform, built into a
// buffer of kDevicePathSize bytes; ends the process with a message when the
// argument is too long for it.
void buildDevicePath(const char* argument, char* path);

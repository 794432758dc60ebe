// The disc image file under the emulated drive: what image_drive.cpp asks of
// the system, given by posix.cpp and windows.cpp.
#pragma once

#include <cstdint>

using ImageFileHandle = void*;

// Opens a regular file for reading, with its size in bytes. False, with the
// reason in platformLastError(), when it cannot be opened or is no regular
// file.
bool imageFileOpen(const char* path, ImageFileHandle* file, std::uint64_t* size);
// Reads `length` bytes from byte `offset`; false on an error, or when the file
// ends before them.
bool imageFileRead(ImageFileHandle file, void* data, std::uint32_t length, std::uint64_t offset);
void imageFileClose(ImageFileHandle file);

// Sets what platformLastError() returns next: the emulated drive's reasons for
// a command that it does not pass.
void platformSetLastError(std::uint32_t code);
extern const std::uint32_t kPlatformErrorInvalidArgument;  // EINVAL, ERROR_INVALID_PARAMETER
extern const std::uint32_t kPlatformErrorIo;               // EIO, ERROR_IO_DEVICE

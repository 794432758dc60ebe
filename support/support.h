// Byte order, number parsing, output files and the drive's device path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Fields of on-disc and drive structures, read and written byte by byte:
// UDF descriptors are little-endian, MMC command blocks and replies big-endian.
std::uint32_t readLe8(const void* bytes, std::size_t offset);
std::uint32_t readLe16(const void* bytes, std::size_t offset);
std::uint32_t readLe32(const void* bytes, std::size_t offset);
std::uint32_t readBe16(const void* bytes, std::size_t offset);
std::uint32_t readBe32(const void* bytes, std::size_t offset);
void writeBe16(void* bytes, std::size_t offset, std::uint32_t value);
void writeBe32(void* bytes, std::size_t offset, std::uint32_t value);

// Decimal, or hexadecimal after "0x"/"0X"; the value is taken as a signed
// 32-bit number (saturated) and given as its two's complement. Text that is
// no number reads as 0.
std::uint32_t parseNumber(const char* text);

// An output file, closed by its owner on every path.
class OutputFile {
public:
    // A new file that must not exist yet: "can't open file" otherwise.
    static OutputFile createNew(const char* name);
    // An existing file, written from its start.
    static OutputFile openExisting(const char* name);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    ~OutputFile();

    // All `length` bytes or a fatal error ("can't write file", or "result
    // length not match" for a short write).
    void write(const void* data, std::uint32_t length);
    // `length` bytes of records of `recordSize` bytes each, in as few
    // system calls as the system takes, ending as one write per record
    // would: "can't write file" when the write of a record fails, "result
    // length not match" when one is cut short.
    void writeRecords(const void* data, std::uint32_t length, std::uint32_t recordSize);
    // All `length` bytes at byte `offset` of the file, or a fatal error that
    // names the file `name` and the system's reason.
    void writeAt(std::uint64_t offset, const void* data, std::uint32_t length, const std::string& name);
    // What was written reaches the medium, or a fatal error as for writeAt.
    void flush(const std::string& name);

private:
    explicit OutputFile(FileHandle handle) : handle_(handle) {}
    FileHandle handle_;
};

// Size of the Windows device path buffer.
constexpr std::size_t kDevicePathSize = 520;

// The Windows device path for a drive argument: "\\.\" + argument, then ":"
// unless the whole string already ends with one. False when it (with its
// terminating zero) does not fit in `size` bytes.
bool makeWindowsDevicePath(const char* argument, char* path, std::size_t size);

// The device path for the drive argument on this platform; a fatal error
// when the argument is too long for it.
std::string devicePath(const char* argument);

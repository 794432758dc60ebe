#include "support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "report.h"

std::uint32_t readLe8(const void* bytes, std::size_t offset)
{
    return static_cast<const std::uint8_t*>(bytes)[offset];
}

std::uint32_t readLe16(const void* bytes, std::size_t offset)
{
    const auto* b = static_cast<const std::uint8_t*>(bytes) + offset;
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8);
}

std::uint32_t readLe32(const void* bytes, std::size_t offset)
{
    const auto* b = static_cast<const std::uint8_t*>(bytes) + offset;
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

std::uint32_t readBe16(const void* bytes, std::size_t offset)
{
    const auto* b = static_cast<const std::uint8_t*>(bytes) + offset;
    return (static_cast<std::uint32_t>(b[0]) << 8) | static_cast<std::uint32_t>(b[1]);
}

std::uint32_t readBe32(const void* bytes, std::size_t offset)
{
    return (readBe16(bytes, offset) << 16) | readBe16(bytes, offset + 2);
}

void writeBe16(void* bytes, std::size_t offset, std::uint32_t value)
{
    auto* b = static_cast<std::uint8_t*>(bytes) + offset;
    b[0] = static_cast<std::uint8_t>(value >> 8);
    b[1] = static_cast<std::uint8_t>(value);
}

void writeBe32(void* bytes, std::size_t offset, std::uint32_t value)
{
    writeBe16(bytes, offset, value >> 16);
    writeBe16(bytes, offset + 2, value);
}

std::uint32_t parseNumber(const char* text)
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
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
}

OutputFile OutputFile::createNew(const char* name)
{
    FileHandle handle = nullptr;
    if (!platformCreateNewFile(name, &handle)) {
        fail("can't open file");
    }
    return OutputFile(handle);
}

OutputFile OutputFile::openExisting(const char* name)
{
    FileHandle handle = nullptr;
    if (!platformOpenExistingFile(name, &handle)) {
        fail("can't open file");
    }
    return OutputFile(handle);
}

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_)
{
    other.handle_ = nullptr;
}

OutputFile::~OutputFile()
{
    if (handle_ != nullptr) {
        platformCloseFile(handle_);
    }
}

void OutputFile::write(const void* data, std::uint32_t length)
{
    std::uint32_t written = 0;
    if (!platformWriteFile(handle_, data, length, &written)) {
        fail("can't write file");
    }
    if (written != length) {
        fail("result length not match");
    }
}

void OutputFile::writeRecords(const void* data, std::uint32_t length, std::uint32_t recordSize)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        std::uint32_t written = 0;
        if (!platformWriteFile(handle_, bytes + done, length - done, &written)) {
            fail("can't write file");
        }
        done += written;
        if (written == 0 || done % recordSize != 0) {
            fail("result length not match");
        }
    }
}

namespace {

[[noreturn]] void failWriting(const std::string& name, std::uint32_t code)
{
    // A short write that the system gave no reason for is a full medium.
    const std::string reason = code != 0 ? platformErrorText(code) : "the medium is full";
    throw fatalSystemError(("can't write " + name).c_str(), std::to_string(code) + " (" + reason + ")");
}

}  // namespace

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::uint32_t length, const std::string& name)
{
    if (!platformSeekFile(handle_, offset)) {
        failWriting(name, platformLastError());
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t done = 0;
    while (done < length) {
        std::uint32_t written = 0;
        if (!platformWriteFile(handle_, bytes + done, length - done, &written)) {
            failWriting(name, platformLastError());
        }
        if (written == 0) {
            // Asked again, the system says why the last write fell short.
            std::uint32_t again = 0;
            const bool failed = !platformWriteFile(handle_, bytes + done, length - done, &again);
            failWriting(name, failed ? platformLastError() : 0);
        }
        done += written;
    }
}

void OutputFile::flush(const std::string& name)
{
    if (!platformFlushFile(handle_)) {
        failWriting(name, platformLastError());
    }
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

std::string devicePath(const char* argument)
{
    std::string path(kPlatformDevicePathSize, '\0');
    if (!platformDevicePath(argument, path.data(), path.size())) {
        fail("drive argument too long");
    }
    path.resize(std::strlen(path.c_str()));
    return path;
}

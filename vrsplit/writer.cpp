// Output files: sector ranges of the movie data copied into a new file, never over an
// existing one.
#include "vrsplit.h"

#include <algorithm>
#include <fstream>

#include "platform/platform.h"

namespace vrsplit {

namespace {

constexpr std::uint64_t kChunkSectors = 256;

struct OutputFile {
    FileHandle handle = nullptr;
    ~OutputFile()
    {
        if (handle != nullptr)
            platformCloseFile(handle);
    }
};

}  // namespace

bool copySectors(const std::string& source, const std::vector<Range>& ranges, const std::string& path,
                 CopyResult& result, std::string& error)
{
    result = CopyResult{};
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        error = source + ": cannot open";
        return false;
    }
    in.seekg(0, std::ios::end);
    auto sourceSectors = static_cast<std::uint64_t>(in.tellg()) / kSectorSize;
    OutputFile out;
    if (!platformCreateNewFileUtf8(path.c_str(), &out.handle)) {
        out.handle = nullptr;
        std::uint32_t code = platformLastError();
        error = std::ifstream(path) ? path + ": exists already; vrsplit never overwrites a file"
                                    : path + ": cannot create (system error " + std::to_string(code) + ")";
        return false;
    }
    std::vector<std::uint8_t> buffer(kChunkSectors * kSectorSize);
    for (const Range& range : ranges) {
        std::uint64_t end = std::min(range.end, sourceSectors);
        if (end < range.end)
            result.complete = false;
        for (std::uint64_t at = range.first; at < end; at += kChunkSectors) {
            std::uint64_t count = std::min(kChunkSectors, end - at);
            auto bytes = static_cast<std::streamsize>(count * kSectorSize);
            in.seekg(static_cast<std::streamoff>(at * kSectorSize));
            if (!in.read(reinterpret_cast<char*>(buffer.data()), bytes)) {
                error = source + ": read failed at sector " + std::to_string(at);
                return false;
            }
            if (at == range.first && !readPack(std::span<const std::uint8_t>(buffer).first(kSectorSize)).valid)
                result.startsAtPacks = false;
            for (std::size_t s = 0; s < count; ++s) {
                auto sector = std::span<const std::uint8_t>(buffer).subspan(s * kSectorSize, kSectorSize);
                result.scrambled = result.scrambled || readPack(sector).scrambled;
            }
            auto length = static_cast<std::uint32_t>(bytes);
            std::uint32_t written = 0;
            if (!platformWriteFile(out.handle, buffer.data(), length, &written) || written != length) {
                error = path + ": write failed (error " + std::to_string(platformLastError()) + ")";
                return false;
            }
            result.bytes += written;
        }
    }
    return true;
}

}  // namespace vrsplit

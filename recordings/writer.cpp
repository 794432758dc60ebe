// Output files: sector ranges of the movie data copied into a file under a temporary
// name (the final name + kPartialSuffix) in the same folder, flushed to the disk and
// renamed to the final name only when complete, so that a file under a final name is
// always whole. A file of the final name that exists already is never overwritten.
#include "recordings.h"

#include <algorithm>
#include <fstream>

#include "platform/platform.h"

namespace vrsplit {

namespace {

constexpr std::uint64_t kChunkSectors = 256;

struct OutputFile {
    FileHandle handle = nullptr;
    ~OutputFile() { close(); }
    void close()
    {
        if (handle != nullptr)
            platformCloseFile(handle);
        handle = nullptr;
    }
};

// Bytes that the ranges cover inside a source of `sourceSectors` sectors.
std::uint64_t bytesInside(const std::vector<Range>& ranges, std::uint64_t sourceSectors)
{
    std::uint64_t bytes = 0;
    for (const Range& range : ranges) {
        std::uint64_t end = std::min(range.end, sourceSectors);
        bytes += end > range.first ? (end - range.first) * kSectorSize : 0;
    }
    return bytes;
}

}  // namespace

std::string systemReason()
{
    return " (" + platformErrorText(platformLastError()) + ")";
}

bool finishPartialFile(const std::string& partial, const std::string& path, std::optional<std::int64_t> modifiedAt,
                       std::string& error)
{
    if (modifiedAt && !platformSetModifiedTimeUtf8(partial.c_str(), *modifiedAt)) {
        error = partial + ": cannot set the modification time" + systemReason();
        platformRemoveFileUtf8(partial.c_str());
        return false;
    }
    if (!platformRenameNoReplaceUtf8(partial.c_str(), path.c_str())) {
        error = partial + ": cannot rename to " + path + systemReason();
        return false;
    }
    return true;
}

bool copySectors(const std::string& source, const std::vector<Range>& ranges, const std::string& path,
                 std::optional<std::int64_t> modifiedAt, CopyResult& result, std::string& error)
{
    result = CopyResult{};
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        error = source + ": cannot open" + systemReason();
        return false;
    }
    in.seekg(0, std::ios::end);
    auto sourceSectors = static_cast<std::uint64_t>(in.tellg()) / kSectorSize;
    std::uint64_t wanted = bytesInside(ranges, sourceSectors);

    // A file of the final name is left alone: kept when it has this recording's size (a
    // complete file of an earlier run), else an error. The data is still read below, for
    // what the table says of it.
    std::uint64_t existing = 0;
    const bool writing = !path.empty();
    if (writing && platformFileSizeUtf8(path.c_str(), &existing)) {
        if (existing != wanted) {
            error = path + ": exists already (" + std::to_string(existing) + " bytes, not " + std::to_string(wanted) +
                    "); vrsplit never overwrites a file";
            return false;
        }
        result.kept = true;
    }
    const std::string partial = path + kPartialSuffix;
    OutputFile out;
    if (writing && !result.kept && !platformCreateOrEmptyFileUtf8(partial.c_str(), &out.handle)) {
        out.handle = nullptr;
        error = partial + ": cannot create" + systemReason();
        return false;
    }
    auto abandon = [&](const std::string& message) {
        error = message;
        if (out.handle != nullptr) {
            out.close();
            platformRemoveFileUtf8(partial.c_str());
            error += "; the partial file was removed";
        }
        return false;
    };

    std::vector<std::uint8_t> buffer(kChunkSectors * kSectorSize);
    for (const Range& range : ranges) {
        std::uint64_t end = std::min(range.end, sourceSectors);
        if (end < range.end)
            result.complete = false;
        for (std::uint64_t at = range.first; at < end; at += kChunkSectors) {
            std::uint64_t count = std::min(kChunkSectors, end - at);
            auto bytes = static_cast<std::streamsize>(count * kSectorSize);
            in.seekg(static_cast<std::streamoff>(at * kSectorSize));
            if (!in.read(reinterpret_cast<char*>(buffer.data()), bytes))
                return abandon(source + ": read failed at sector " + std::to_string(at));
            if (at == range.first && !readPack(std::span<const std::uint8_t>(buffer).first(kSectorSize)).valid)
                result.startsAtPacks = false;
            for (std::size_t s = 0; s < count; ++s) {
                auto sector = std::span<const std::uint8_t>(buffer).subspan(s * kSectorSize, kSectorSize);
                result.scrambled = result.scrambled || readPack(sector).scrambled;
            }
            auto length = static_cast<std::uint32_t>(bytes);
            std::uint32_t written = 0;
            if (writing && !result.kept &&
                (!platformWriteFile(out.handle, buffer.data(), length, &written) || written != length))
                return abandon(partial + ": write failed after " + std::to_string(result.bytes + written) + " of " +
                               std::to_string(wanted) + " bytes" + systemReason());
            result.bytes += length;
        }
    }
    if (!writing || result.kept)
        return true;
    if (!platformFlushFile(out.handle))
        return abandon(partial + ": cannot write to the disk" + systemReason());
    out.close();
    return finishPartialFile(partial, path, modifiedAt, error);
}

}  // namespace vrsplit

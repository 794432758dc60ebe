#include "udf_file.h"

#include <cstring>

#include "report.h"
#include "udf.h"

std::uint32_t descriptorSize(std::uint32_t adType)
{
    switch (adType) {
        case kAdShort: return 8;
        case kAdLong: return 16;
        default: return 20;
    }
}

Extent decodeDescriptor(const std::uint8_t* descriptor, std::uint32_t adType)
{
    const std::uint32_t lengthField = GetDWord(descriptor, 0);
    Extent extent{};
    extent.type = lengthField >> 30;
    extent.length = lengthField & 0x3FFFFFFFu;
    extent.location = GetDWord(descriptor, adType == kAdExtended ? 12 : 4);
    return extent;
}

const std::uint8_t* fileEntryDescriptors(const void* fileEntry, std::uint32_t* adType, std::uint32_t* areaLength)
{
    const std::uint32_t type = GetByte(fileEntry, kFileEntryAdTypeOffset) & 7u;
    const std::uint32_t lea = GetDWord(fileEntry, kFileEntryLeaOffset);
    const std::uint32_t lad = GetDWord(fileEntry, kFileEntryLadOffset);
    if (type > kAdEmbedded) {
        error("bad AD Type");
    }
    if (std::uint64_t{kFileEntryDescriptorsOffset} + lea + lad > kFileEntrySize) {
        error("allocation descriptors beyond the File Entry");
    }
    *adType = type;
    *areaLength = lad;
    return static_cast<const std::uint8_t*>(fileEntry) + kFileEntryDescriptorsOffset + lea;
}

std::uint8_t* readContinuation(DriveHandle drive, std::uint32_t partitionStart, const Extent& extent,
                               std::uint32_t depth, std::uint32_t* areaLength)
{
    if (depth >= kMaxContinuationDepth) {
        error("too many allocation extents");
    }
    if (extent.length < kAedHeadSize || extent.length > kMaxAedExtentLength) {
        error("bad allocation extent");
    }
    auto* block = static_cast<std::uint8_t*>(platformAlloc(extent.length));
    if (block == nullptr) {
        error("GlobalAlloc() failed\n");
    }
    readFromSector(drive, partitionStart + extent.location, extent.length, block);
    const std::uint32_t lad = GetDWord(block, kAedLadOffset);
    if (lad > extent.length - kAedHeadSize) {
        platformFree(block);
        error("bad allocation extent");
    }
    *areaLength = lad;
    return block;
}

void readFile(DriveHandle drive, std::uint32_t partitionStart, const void* fileEntry, std::uint32_t offset,
              std::uint32_t length, void* destination)
{
    std::uint32_t adType = 0;
    std::uint32_t areaLength = 0;
    const std::uint8_t* area = fileEntryDescriptors(fileEntry, &adType, &areaLength);
    if (adType == kAdEmbedded) {
        if (offset >= areaLength || std::uint64_t{offset} + length > areaLength) {
            error("out of range");
        }
        std::memcpy(destination, area + offset, length);
        return;
    }
    readFileSub(drive, partitionStart, offset, length, destination, adType, area, areaLength, 0, 0, 0);
}

namespace {

// Copies `count` bytes of an extent, from byte `skip` of it on, reading only
// the sectors that hold them. Without a skip this is one readFromSector.
void readExtentPart(DriveHandle drive, std::uint32_t lba, std::uint32_t skip, std::uint32_t count,
                    std::uint8_t* destination)
{
    if (skip == 0) {
        readFromSector(drive, lba, count, destination);
        return;
    }
    const std::uint32_t first = lba + skip / 2048;
    const std::uint32_t inner = skip % 2048;
    alignas(16) std::uint8_t sector[2048] = {};
    readFromSector(drive, first, 2048, sector);
    const std::uint32_t head = count < 2048 - inner ? count : 2048 - inner;
    std::memcpy(destination, sector + inner, head);
    if (count > head) {
        readFromSector(drive, first + 1, count - head, destination + head);
    }
}

}  // namespace

// Extents that are not recorded (type 1 once copying has begun, and type 2)
// take their place in the file like any other extent: their length counts
// into the file position and their bytes in the requested range read as
// zeros, as ECMA-167 reads an unrecorded extent. So a later extent always
// lands at its own file position, and no byte of the destination is left
// unwritten.
void readFileSub(DriveHandle drive, std::uint32_t partitionStart, std::uint32_t offset, std::uint32_t length,
                 void* destination, std::uint32_t adType, const std::uint8_t* descriptors, std::uint32_t areaLength,
                 std::uint64_t filePosition, std::uint32_t started, std::uint32_t depth)
{
    auto* out = static_cast<std::uint8_t*>(destination);
    const std::uint64_t end = std::uint64_t{offset} + length;
    const std::uint32_t size = descriptorSize(adType);
    const std::uint32_t count = areaLength / size;

    for (std::uint32_t i = 0; i < count; i++) {
        const Extent extent = decodeDescriptor(descriptors + static_cast<std::size_t>(i) * size, adType);
        const std::uint32_t lba = partitionStart + extent.location;
        const std::uint64_t extentEnd = filePosition + extent.length;

        if (extent.type == kExtentContinuation) {
            std::uint32_t lad = 0;
            std::uint8_t* block = readContinuation(drive, partitionStart, extent, depth, &lad);
            readFileSub(drive, partitionStart, offset, length, destination, adType, block + kAedHeadSize, lad,
                        filePosition, started, depth + 1);
            platformFree(block);
            return;
        }
        if (extent.type == kExtentNotRecorded && started == 0) {
            error("allocated but not recorded");
        }
        const bool recorded = extent.type == kExtentRecorded;

        if (started == 0) {
            if (filePosition <= offset && offset < extentEnd) {
                const auto skip = static_cast<std::uint32_t>(offset - filePosition);
                if (end <= extentEnd) {
                    if (recorded) {
                        readExtentPart(drive, lba, skip, length, out);
                    } else {
                        std::memset(out, 0, length);
                    }
                    return;
                }
                const std::uint32_t part = extent.length - skip;
                if (recorded) {
                    readExtentPart(drive, lba, skip, part, out);
                } else {
                    std::memset(out, 0, part);
                }
                started = 1;
            }
            filePosition = extentEnd;
            continue;
        }

        // Copying has begun: this extent's data belong right after the last.
        std::uint8_t* place = out + (filePosition - offset);
        if (end <= extentEnd) {
            const auto rest = static_cast<std::uint32_t>(end - filePosition);
            if (recorded) {
                readFromSector(drive, lba, rest, place);
            } else {
                std::memset(place, 0, rest);
            }
            return;
        }
        if (recorded) {
            readFromSector(drive, lba, extent.length, place);
        } else {
            std::memset(place, 0, extent.length);
        }
        filePosition = extentEnd;
    }
    error("file out of range");
}

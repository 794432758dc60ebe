// "-r" mode: marks a file's allocated-but-unrecorded extents in the map and
// writes the blocks that the map calls reusable into the recovery file.
#include <cstdio>
#include <cstring>

#include "mmc.h"
#include "report.h"
#include "support.h"
#include "udf.h"
#include "udf_file.h"
#include "vrsalvage.h"

namespace {

bool isReusable(const std::uint8_t* map, std::uint32_t n, std::uint64_t block)
{
    // Blocks beyond the map have no bit: they are not reusable.
    return block < 8 * std::uint64_t{n} && (map[block / 8] & (1u << (block % 8))) != 0;
}

// Sets the bits of an allocated-but-unrecorded extent's whole blocks. Blocks
// at or beyond 8 n have no bit and are left out; for the movie file the tail
// copies every recorded block there anyway.
void markExtent(std::uint8_t* map, std::uint32_t n, const Extent& extent)
{
    const std::uint64_t mapBlocks = 8 * std::uint64_t{n};
    const std::uint64_t first = extent.location;
    const std::uint64_t end = first + extent.length / kSectorSize;
    for (std::uint64_t block = first; block < end && block < mapBlocks; block++) {
        map[block / 8] = static_cast<std::uint8_t>(map[block / 8] | (1u << (block % 8)));
    }
}

void markList(DriveHandle drive, std::uint32_t start, std::uint8_t* map, std::uint32_t n, std::uint32_t adType,
              const std::uint8_t* list, std::uint32_t listLength, std::uint32_t depth)
{
    const std::uint32_t size = descriptorSize(adType);
    const std::uint32_t count = listLength / size;
    for (std::uint32_t i = 0; i < count; i++) {
        const Extent extent = decodeDescriptor(list + static_cast<std::size_t>(i) * size, adType);
        if (extent.type == kExtentNotRecorded) {
            markExtent(map, n, extent);
        } else if (extent.type == kExtentContinuation) {
            std::uint32_t lad = 0;
            std::uint8_t* block = readContinuation(drive, start, extent, depth, &lad);
            markList(drive, start, map, n, adType, block + kAedHeadSize, lad, depth + 1);
            platformFree(block);
            return;
        }
    }
}

// Shows the share of a phase done before block `index` of `count`, when it
// grew by 5 or more since it was last shown.
void showProgress(std::uint64_t index, std::uint64_t count, std::uint32_t* lastShown)
{
    const auto percent = static_cast<std::uint32_t>(index * 100 / count);
    if (percent > *lastShown + 4) {
        std::printf("%d %%\r", static_cast<int>(percent));
        std::fflush(stdout);
        *lastShown = percent;
    }
}

void copyBlock(DriveHandle drive, FileHandle file, std::uint32_t lba, std::uint8_t* sector)
{
    std::memset(sector, 0, kSectorSize);
    ReadASector(drive, lba, sector);
    saveFile(file, sector, kSectorSize);
}

}  // namespace

void make(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
          std::uint8_t* map, std::uint32_t n, std::int32_t tail)
{
    alignas(16) std::uint8_t fileEntry[kFileEntrySize] = {};
    ReadASector(drive, GetDWord(partitionDescriptor, 188) + GetDWord(icb, 4), fileEntry);
    msub1(drive, partitionDescriptor, ifo, map, n, tail, fileEntry);
}

void msub1(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail, const std::uint8_t* fileEntry)
{
    std::uint32_t adType = 0;
    std::uint32_t listLength = 0;
    const std::uint8_t* list = fileEntryDescriptors(fileEntry, &adType, &listLength);
    if (adType == kAdEmbedded) {
        return;
    }
    msub2(drive, partitionDescriptor, ifo, map, n, tail, adType, list, listLength);
}

void msub2(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail, std::uint32_t adType, const std::uint8_t* list, std::uint32_t listLength)
{
    markList(drive, GetDWord(partitionDescriptor, 188), map, n, adType, list, listLength, 0);
    msub3(drive, partitionDescriptor, ifo, map, n, tail);
}

// Phase 1 covers the file's area of the fixed layout, as far as the map
// reaches and (for the movie file) no further than the recorded area; Phase 2
// (movie file only) every block beyond the map up to the last recorded sector.
void msub3(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, std::uint8_t* map,
           std::uint32_t n, std::int32_t tail)
{
    const std::uint32_t start = GetDWord(partitionDescriptor, 188);
    const std::uint64_t mapBlocks = 8 * std::uint64_t{n};
    const char* name;
    std::uint64_t first;
    std::uint64_t end;
    if (ifo != 0) {
        name = "VR_MANGR_R.IFO";
        first = start <= kManagementFirstSector ? kManagementFirstSector - start : 0;
        end = start <= kMovieFirstSector ? kMovieFirstSector - start : 0;
        if (start > kManagementFirstSector) {
            end = first;
        }
    } else {
        name = "VR_MOVIE_R.VRO";
        first = start <= kMovieFirstSector ? kMovieFirstSector - start : 0;
        // A recorded area that ends inside the map ends Phase 1 there: the
        // blocks after it hold nothing and may not be readable.
        const std::int64_t recordedEnd = static_cast<std::int64_t>(mapBlocks) + tail;
        end = tail >= 0 ? mapBlocks : static_cast<std::uint64_t>(recordedEnd > 0 ? recordedEnd : 0);
        if (start > kMovieFirstSector || end < first) {
            end = first;
        }
    }

    FileHandle file = nullptr;
    openFileForOutput(name, &file);
    alignas(16) std::uint8_t sector[kSectorSize];

    std::printf("Phase-1\n");
    std::uint32_t lastShown = 0;
    for (std::uint64_t block = first; block < end; block++) {
        showProgress(block - first, end - first, &lastShown);
        if (isReusable(map, n, block)) {
            copyBlock(drive, file, static_cast<std::uint32_t>(start + block), sector);
        }
    }

    if (ifo == 0) {
        std::printf("Phase-2\n");
        lastShown = 0;
        const std::uint64_t count = tail > 0 ? static_cast<std::uint64_t>(tail) : 0;
        for (std::uint64_t i = 0; i < count; i++) {
            showProgress(i, count, &lastShown);
            copyBlock(drive, file, static_cast<std::uint32_t>(start + mapBlocks + i), sector);
        }
    }
    closeFile(file);
}

void msub9(DriveHandle /*drive*/, const std::uint8_t* /*partitionDescriptor*/, const std::uint8_t* map, std::uint32_t n)
{
    std::printf("          ");
    for (unsigned digit = 0; digit < 16; digit++) {
        std::printf("%1X", digit);
        if (digit == 7) {
            std::printf(" ");
        }
    }
    std::printf("\n");
    for (std::uint64_t k = 0; k < n; k += 2) {
        std::printf("%08X  ", static_cast<unsigned>(8 * k));
        for (unsigned bit = 0; bit < 8; bit++) {
            std::printf("%c", (map[k] & (1u << bit)) != 0 ? 'O' : 'X');
        }
        // With an odd n the last row has one byte; nothing beyond the map is read.
        if (k + 1 < n) {
            std::printf(" ");
            for (unsigned bit = 0; bit < 8; bit++) {
                std::printf("%c", (map[k + 1] & (1u << bit)) != 0 ? 'O' : 'X');
            }
        }
        std::printf("\n");
    }
}

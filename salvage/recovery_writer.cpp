// "-r" mode: marks a file's allocated-but-unrecorded extents in the map and
// writes the blocks that the map calls reusable into the recovery file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "report.h"
#include "report_sink.h"
#include "salvage.h"
#include "support.h"

namespace {

// Sets the bits of an allocated-but-unrecorded extent's whole blocks, each
// where the map counts it: the block of the partition beneath that holds it
// (`through` is the partition the extent lies in). A virtual block that the
// Virtual Allocation Table does not hold was never written and has no sector:
// there is nothing of it to recover, and it is left out. Blocks at or beyond
// the map's end have no bit and are left out too; for the movie file the copy
// beyond the map takes every recorded block there anyway.
void markExtent(ReusableMap& map, const Partition& through, const Extent& extent)
{
    // No block from the map's end on (from the table's end on, for a virtual
    // extent) has a bit: the walk stops there.
    const std::uint64_t held = through.kind == PartitionKind::Virtual ? through.virtualBlocks.size() : map.blocks();
    const std::uint64_t end = std::min(std::uint64_t{extent.location} + extent.length / kSectorSize, held);
    for (std::uint64_t block = extent.location; block < end; block++) {
        const std::optional<std::uint32_t> mapped = physicalBlock(through, static_cast<std::uint32_t>(block));
        if (mapped && *mapped < map.blocks()) {
            std::uint8_t& bits = map.bits[*mapped / 8];
            bits = static_cast<std::uint8_t>(bits | (1u << (*mapped % 8)));
        }
    }
}

// Shows the share of a phase done before block `index` of `count`, when it
// grew by 5 or more since it was last shown; what `copier` gathered is
// written first.
void showProgress(std::uint64_t index, std::uint64_t count, std::uint32_t* lastShown, SectorCopier& copier)
{
    const auto percent = static_cast<std::uint32_t>(index * 100 / count);
    if (percent > *lastShown + 4) {
        copier.flush();
        reportf("%d %%\r", static_cast<int>(percent));
        reportFlush();
        *lastShown = percent;
    }
}

// The blocks of the file's area in the fixed layout that Phase 1 goes over,
// relative to the partition.
struct BlockRange {
    std::uint64_t first;
    std::uint64_t end;
};

BlockRange phaseOneRange(const Volume& volume, RecordingFile file, const ReusableMap& map)
{
    if (!volume.fixedAreas) {
        const std::uint64_t boundary = std::min<std::uint64_t>(volume.movieStart, map.blocks());
        return file == RecordingFile::Management ? BlockRange{0, boundary} : BlockRange{boundary, map.blocks()};
    }
    const std::uint32_t start = volume.partition.start;
    if (file == RecordingFile::Management) {
        const std::uint64_t first = start <= kManagementFirstSector ? kManagementFirstSector - start : 0;
        std::uint64_t end = start <= kMovieFirstSector ? kMovieFirstSector - start : 0;
        if (start > kManagementFirstSector) {
            end = first;
        }
        return BlockRange{first, end};
    }
    // The movie file's area runs to the end of the map, even where the
    // recorded area ends before it: its free blocks are read all the same.
    const std::uint64_t first = start <= kMovieFirstSector ? kMovieFirstSector - start : 0;
    std::uint64_t end = map.blocks();
    if (start > kMovieFirstSector || end < first) {
        end = first;
    }
    return BlockRange{first, end};
}

}  // namespace

void markUnrecordedExtents(Volume& volume, const AllocationDescriptors& descriptors, ReusableMap& map,
                           std::uint32_t* extentSector)
{
    const auto visit = [&](const Extent& extent) {
        Partition inPlace;
        if (extent.type == ExtentType::NotRecorded) {
            markExtent(map, extentPartition(volume.partition, extent, inPlace), extent);
        }
        if (extent.type == ExtentType::Continuation && extentSector != nullptr) {
            *extentSector = partitionSector(extentPartition(volume.partition, extent, inPlace), extent.location);
        }
        return true;
    };
    forEachExtent(volume.drive, volume.partition, descriptors, visit, volume.keepGoing);
}

// Phase 1 covers the file's area of the fixed layout as far as the map
// reaches; Phase 2 (movie file only) every block beyond the map up to the
// last recorded sector.
void copyReusableBlocks(Volume& volume, RecordingFile file, const ReusableMap& map)
{
    const Partition partition = spacePartition(volume.partition);
    const BlockRange range = phaseOneRange(volume, file, map);
    OutputFile output = OutputFile::createNew(file == RecordingFile::Management ? "VR_MANGR_R.IFO" : "VR_MOVIE_R.VRO");
    SectorCopier copier(volume.drive, output);

    reportf("Phase-1\n");
    std::uint32_t lastShown = 0;
    for (std::uint64_t block = range.first; block < range.end; block++) {
        showProgress(block - range.first, range.end - range.first, &lastShown, copier);
        if (map.isReusable(block)) {
            const std::uint32_t lba = partitionSector(partition, static_cast<std::uint32_t>(block));
            std::uint32_t following = 0;
            while (!copier.holds(lba) && following < kMaxTransferSectors && block + following + 1 < range.end &&
                   map.isReusable(block + following + 1) &&
                   partitionSector(partition, static_cast<std::uint32_t>(block + following + 1)) ==
                       lba + following + 1) {
                following++;
            }
            copier.copy(lba, following);
        }
    }
    copier.flush();

    if (file == RecordingFile::Movie) {
        reportf("Phase-2\n");
        lastShown = 0;
        const std::uint64_t count = map.blocksBeyond > 0 ? static_cast<std::uint64_t>(map.blocksBeyond) : 0;
        for (std::uint64_t i = 0; i < count; i++) {
            showProgress(i, count, &lastShown, copier);
            const auto following =
                static_cast<std::uint32_t>(std::min<std::uint64_t>(count - i - 1, kMaxTransferSectors));
            copier.copy(partitionSector(partition, static_cast<std::uint32_t>(map.blocks() + i)), following);
        }
        copier.flush();
    }
}

CopyTarget reusableBlocksTarget(const Volume& volume, RecordingFile file, const ReusableMap& map)
{
    const BlockRange range = phaseOneRange(volume, file, map);
    const Partition partition = spacePartition(volume.partition);
    CopyTarget target{file == RecordingFile::Management ? "VR_MANGR_R.IFO" : "VR_MOVIE_R.VRO", {}};
    const auto add = [&](std::uint64_t lba, std::uint32_t count) {
        const auto sector = static_cast<std::uint32_t>(lba);
        if (!target.runs.empty() && target.runs.back().first + target.runs.back().count == sector) {
            target.runs.back().count += count;
        } else {
            target.runs.push_back(SectorRun{sector, count});
        }
    };
    for (std::uint64_t block = range.first; block < range.end; block++) {
        if (map.isReusable(block)) {
            add(partitionSector(partition, static_cast<std::uint32_t>(block)), 1);
        }
    }
    // One run, however far a drive says the recorded area reaches: the
    // session refuses more sectors than a DVD holds without going through them.
    if (file == RecordingFile::Movie && map.blocksBeyond > 0) {
        add(partitionSector(partition, static_cast<std::uint32_t>(map.blocks())),
            static_cast<std::uint32_t>(map.blocksBeyond));
    }
    return target;
}

void printReusableMap(const ReusableMap& map)
{
    const std::size_t n = map.bits.size();
    reportf("          ");
    for (unsigned digit = 0; digit < 16; digit++) {
        reportf("%1X", digit);
        if (digit == 7) {
            reportf(" ");
        }
    }
    reportf("\n");
    for (std::size_t k = 0; k < n; k += 2) {
        reportf("%08X  ", static_cast<unsigned>(8 * k));
        for (unsigned bit = 0; bit < 8; bit++) {
            reportf("%c", (map.bits[k] & (1u << bit)) != 0 ? 'O' : 'X');
        }
        // With an odd count the last row has one byte.
        if (k + 1 < n) {
            reportf(" ");
            for (unsigned bit = 0; bit < 8; bit++) {
                reportf("%c", (map.bits[k + 1] & (1u << bit)) != 0 ? 'O' : 'X');
            }
        }
        reportf("\n");
    }
}

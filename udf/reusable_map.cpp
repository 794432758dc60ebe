// "-r" mode: the partition's free space (its Unallocated Space Bitmap or Table,
// and the Freed Space Bitmap or Table) and the recorded blocks beyond its reach.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "report.h"
#include "report_sink.h"
#include "support.h"
#include "udf_walk.h"

namespace {

// The map of a DVD takes some 300 KB; at most this much of an extent is read
// (8 MiB of map cover 64 Mi blocks). A longer extent can only come from a
// damaged Partition Descriptor, and its map is used as far as it was read.
constexpr std::uint32_t kMaxMapExtentLength = SpaceBitmapLayout::kBitmap + 8u * 1024 * 1024;

}  // namespace

namespace {

// The map is used only as far as it was read: Number of Bytes is limited to
// the extent less the 24-byte head (0 when the extent is shorter than the
// head). Blocks that a longer claim would have covered then count as beyond
// the map, so for the movie file they are copied with the tail.
ReusableMap decodeSpaceBitmap(const std::vector<std::uint8_t>& descriptor)
{
    ReusableMap map;
    constexpr std::uint32_t head = SpaceBitmapLayout::kBitmap;
    const auto length = static_cast<std::uint32_t>(descriptor.size());
    if (length >= head) {
        std::uint32_t bytes = readLe32(descriptor.data(), SpaceBitmapLayout::kNumberOfBytes);
        if (bytes > length - head) {
            bytes = length - head;
        }
        map.bits.assign(descriptor.begin() + head, descriptor.begin() + head + bytes);
    }
    return map;
}

std::uint32_t mapExtentLength(const Partition& partition)
{
    return partition.bitmapLength > kMaxMapExtentLength ? kMaxMapExtentLength : partition.bitmapLength;
}

// The sector of a space table's block, for its notices: where the
// translation has none, where a plain partition would have put it.
std::uint32_t tableSector(const Partition& partition, std::uint32_t block)
{
    try {
        return partitionSector(partition, block);
    } catch (const FatalError&) {
        return partition.start + block;
    }
}

enum class TableRead { Marked, Unreadable, Damaged };

// Sets in `map` the blocks of the free extents that the Unallocated Space
// Entry at partition block `block` names, the map first grown to the
// partition's length (as far as a map is held at all). The entry is checked
// as the other descriptors are, and a continuation of its list is followed
// as a file's is. Extents that leave the partition, or that name more blocks
// together than the partition has, make the table damaged; `map` is then
// unchanged. A read the drive cannot carry out is Unreadable with keep-going
// and ends the run without.
TableRead markSpaceTable(Volume& volume, const Partition& partition, std::uint32_t block, ReusableMap& map)
{
    alignas(16) SectorBuffer entry{};
    ReusableMap marked = map;
    bool damaged = false;
    const auto readTable = [&] {
        readPartitionBytes(volume.drive, partition, block, kSectorSize, entry.data());
        const auto form = static_cast<AllocationForm>(
            readLe16(entry.data(), UnallocatedSpaceEntryLayout::kIcbTag + IcbTagLayout::kFlags) &
            IcbTagLayout::kAllocationFormMask);
        const std::uint32_t listLength =
            readLe32(entry.data(), UnallocatedSpaceEntryLayout::kLengthOfAllocationDescriptors);
        if (!hasValidTag(entry.data(), TagIdentifier::kUnallocatedSpaceEntry, block) ||
            (form != AllocationForm::Short && form != AllocationForm::Long) ||
            listLength > kSectorSize - UnallocatedSpaceEntryLayout::kAllocationDescriptors) {
            damaged = true;
            return;
        }
        const std::uint64_t held = 8 * std::uint64_t{kMaxMapExtentLength - SpaceBitmapLayout::kBitmap};
        const std::uint64_t blocks = std::min<std::uint64_t>(partition.length, held);
        if (marked.blocks() < blocks) {
            marked.bits.resize(static_cast<std::size_t>((blocks + 7) / 8), 0);
        }
        std::uint64_t named = 0;
        const std::span<const std::uint8_t> list(entry.data() + UnallocatedSpaceEntryLayout::kAllocationDescriptors,
                                                 listLength);
        forEachExtent(
            volume.drive, partition, form, list,
            [&](const Extent& extent) {
                if (extent.type == ExtentType::Continuation) {
                    return true;
                }
                const std::uint64_t count = (std::uint64_t{extent.length} + kSectorSize - 1) / kSectorSize;
                named += count;
                if (std::uint64_t{extent.location} + count > partition.length || named > partition.length) {
                    damaged = true;
                    return false;
                }
                for (std::uint64_t b = extent.location; b < extent.location + count && b < marked.blocks(); b++) {
                    marked.bits[static_cast<std::size_t>(b / 8)] |= static_cast<std::uint8_t>(1u << (b % 8));
                }
                return true;
            },
            true);
    };
    try {
        if (!driveCouldRead(volume, readTable)) {
            return TableRead::Unreadable;
        }
    } catch (const FatalError& error) {
        if (error.cause == FatalError::Cause::Drive) {
            throw;
        }
        damaged = true;
    }
    if (damaged) {
        return TableRead::Damaged;
    }
    map = std::move(marked);
    return TableRead::Marked;
}

// Adds the blocks of the Freed Space Bitmap and the Freed Space Table, where
// the partition has them, to the map's free blocks (the bitmap's within the
// map only). One that cannot be read or is damaged adds nothing; with
// keep-going that is a notice.
void addFreedSpace(Volume& volume, const Partition& partition, ReusableMap& map)
{
    if (partition.freedTableLength != 0) {
        const TableRead read = markSpaceTable(volume, partition, partition.freedTableBlock, map);
        if (read != TableRead::Marked && volume.keepGoing) {
            noteLoss(volume, structureLoss(read == TableRead::Unreadable, "Freed Space Table",
                                           tableSector(partition, partition.freedTableBlock)) +
                                 ": its blocks are not copied");
        }
    }
    if (partition.freedBitmapLength == 0) {
        return;
    }
    const std::uint32_t length = std::min(partition.freedBitmapLength, kMaxMapExtentLength);
    std::vector<std::uint8_t> descriptor = allocateBuffer(length);
    const std::uint32_t sector = partitionSector(partition, partition.freedBitmapBlock);
    const bool read = driveCouldRead(volume, [&] {
        readPartitionBytes(volume.drive, partition, partition.freedBitmapBlock, length, descriptor.data());
    });
    if (!read || length < SpaceBitmapLayout::kBitmap ||
        !hasValidTag(descriptor.data(), TagIdentifier::kSpaceBitmap, partition.freedBitmapBlock)) {
        if (volume.keepGoing) {
            noteLoss(volume, structureLoss(!read, "Freed Space Bitmap", sector) + ": its blocks are not copied");
        }
        return;
    }
    const ReusableMap freed = decodeSpaceBitmap(descriptor);
    for (std::size_t i = 0; i < map.bits.size() && i < freed.bits.size(); i++) {
        map.bits[i] = static_cast<std::uint8_t>(map.bits[i] | freed.bits[i]);
    }
}

bool hasSpaceMap(const Partition& partition)
{
    return partition.bitmapLength != 0 || partition.tableLength != 0;
}

// The descriptor is read sector by sector. Its first sector holds the head,
// without which there is no map; a later one holds only bits, so when it
// cannot be read its blocks count as in use (they are not copied) and the
// rest of the map is still used.
SpaceBitmap readBitmapKeepingGoing(Volume& volume, const Partition& partition)
{
    const std::uint32_t block = partition.bitmapBlock;
    const std::uint32_t sector = partitionSector(partition, block);
    std::vector<std::uint8_t> descriptor = allocateBuffer(mapExtentLength(partition));
    const auto length = static_cast<std::uint32_t>(descriptor.size());
    std::vector<std::uint32_t> unreadable;  // byte offsets of the sectors that cannot be read
    for (std::uint32_t offset = 0; offset < length; offset += kSectorSize) {
        const std::uint32_t part = length - offset < kSectorSize ? length - offset : kSectorSize;
        if (!driveCouldRead(volume, [&] {
                readPartitionBytes(volume.drive, partition, block + offset / kSectorSize, part,
                                   descriptor.data() + offset);
            })) {
            if (offset == 0) {
                return SpaceBitmap{std::nullopt, structureLoss(true, "Space Bitmap Descriptor", sector)};
            }
            unreadable.push_back(offset);
        }
    }
    if (length < SpaceBitmapLayout::kBitmap ||
        !hasValidTag(descriptor.data(), TagIdentifier::kSpaceBitmap, partition.bitmapBlock)) {
        return SpaceBitmap{std::nullopt, structureLoss(false, "Space Bitmap Descriptor", sector)};
    }
    SpaceBitmap bitmap{decodeSpaceBitmap(descriptor), ""};
    for (const std::uint32_t offset : unreadable) {
        const std::uint64_t first = 8 * (std::uint64_t{offset} - SpaceBitmapLayout::kBitmap);
        std::uint64_t end = first + 8 * std::uint64_t{kSectorSize};
        if (first >= bitmap.map->blocks()) {
            break;
        }
        if (end > bitmap.map->blocks()) {
            end = bitmap.map->blocks();
        }
        noteLoss(volume, "can't read sector " +
                             std::to_string(partitionSector(partition, block + offset / kSectorSize)) +
                             " of the Space Bitmap Descriptor: the free blocks among partition blocks " +
                             std::to_string(first) + " to " + std::to_string(end - 1) + " are not copied");
    }
    return bitmap;
}

}  // namespace

std::optional<ReusableMap> readSpaceBitmap(Volume& volume)
{
    const Partition partition = spacePartition(volume.partition);
    if (!hasSpaceMap(partition)) {
        // Kept for compatibility: "no Map" has never had a line end.
        reportf("no Map");
        return std::nullopt;
    }
    ReusableMap map;
    if (partition.bitmapLength != 0) {
        const std::uint32_t length = mapExtentLength(partition);
        std::vector<std::uint8_t> descriptor = allocateBuffer(length);
        readPartitionBytes(volume.drive, partition, partition.bitmapBlock, length, descriptor.data());
        map = decodeSpaceBitmap(descriptor);
    }
    if (partition.tableLength != 0 &&
        markSpaceTable(volume, partition, partition.tableBlock, map) != TableRead::Marked) {
        fail(structureLoss(false, "Unallocated Space Table", tableSector(partition, partition.tableBlock)).c_str());
    }
    addFreedSpace(volume, partition, map);
    return map;
}

SpaceBitmap readSpaceBitmapKeepingGoing(Volume& volume)
{
    const Partition partition = spacePartition(volume.partition);
    if (!hasSpaceMap(partition)) {
        return SpaceBitmap{std::nullopt, "the partition has no space bitmap"};
    }
    SpaceBitmap bitmap{ReusableMap{}, ""};
    if (partition.bitmapLength != 0) {
        bitmap = readBitmapKeepingGoing(volume, partition);
        if (!bitmap.map) {
            return bitmap;
        }
    }
    if (partition.tableLength != 0) {
        const TableRead read = markSpaceTable(volume, partition, partition.tableBlock, *bitmap.map);
        if (read != TableRead::Marked) {
            return SpaceBitmap{std::nullopt, structureLoss(read == TableRead::Unreadable, "Unallocated Space Table",
                                                           tableSector(partition, partition.tableBlock))};
        }
    }
    addFreedSpace(volume, partition, *bitmap.map);
    return bitmap;
}

// The last recorded sector, -1 when the recorded area is empty (a Next
// Writable Address or Track Size of 0), and the count counted exactly in 64
// bits, then held to the signed 32-bit range: a drive that reports an end far
// beyond the disc gets a count that runs into the disc's end and stops there
// with the drive's report, instead of a count that wrapped.
std::int32_t countBlocksBeyondMap(Volume& volume, const ReusableMap& map)
{
    const TrackInformation track = readLastTrackInformationOrCapacity(volume.drive);
    const std::int64_t last = static_cast<std::int64_t>(recordedEnd(track).value_or(track.trackSize)) - 1;
    std::int64_t beyond = (last + 1 - volume.partition.start) - static_cast<std::int64_t>(map.blocks());
    if (beyond > INT32_MAX) {
        beyond = INT32_MAX;
    } else if (beyond < INT32_MIN) {
        beyond = INT32_MIN;
    }
    return static_cast<std::int32_t>(beyond);
}

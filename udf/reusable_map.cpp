// "-r" mode: the partition's Unallocated Space Bitmap and the recorded blocks
// beyond its reach.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
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

// Adds the blocks of the Freed Space Bitmap, where the partition has one, to
// the map's free blocks (within the map only). A freed bitmap that cannot be
// read or carries another tag adds nothing; with keep-going that is a notice.
void addFreedSpace(Volume& volume, ReusableMap& map)
{
    const Partition& partition = volume.partition;
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

}  // namespace

std::optional<ReusableMap> readSpaceBitmap(Volume& volume)
{
    if (volume.partition.bitmapLength == 0) {
        // Kept for compatibility: "no Map" has never had a line end.
        reportf("no Map");
        return std::nullopt;
    }
    const std::uint32_t length = mapExtentLength(volume.partition);
    std::vector<std::uint8_t> descriptor = allocateBuffer(length);
    readPartitionBytes(volume.drive, volume.partition, volume.partition.bitmapBlock, length, descriptor.data());
    ReusableMap map = decodeSpaceBitmap(descriptor);
    addFreedSpace(volume, map);
    return map;
}

// The descriptor is read sector by sector. Its first sector holds the head,
// without which there is no map; a later one holds only bits, so when it
// cannot be read its blocks count as in use (they are not copied) and the
// rest of the map is still used.
SpaceBitmap readSpaceBitmapKeepingGoing(Volume& volume)
{
    if (volume.partition.bitmapLength == 0) {
        return SpaceBitmap{std::nullopt, "the partition has no space bitmap"};
    }
    const std::uint32_t block = volume.partition.bitmapBlock;
    const std::uint32_t sector = partitionSector(volume.partition, block);
    std::vector<std::uint8_t> descriptor = allocateBuffer(mapExtentLength(volume.partition));
    const auto length = static_cast<std::uint32_t>(descriptor.size());
    std::vector<std::uint32_t> unreadable;  // byte offsets of the sectors that cannot be read
    for (std::uint32_t offset = 0; offset < length; offset += kSectorSize) {
        const std::uint32_t part = length - offset < kSectorSize ? length - offset : kSectorSize;
        if (!driveCouldRead(volume, [&] {
                readPartitionBytes(volume.drive, volume.partition, block + offset / kSectorSize, part,
                                   descriptor.data() + offset);
            })) {
            if (offset == 0) {
                return SpaceBitmap{std::nullopt, structureLoss(true, "Space Bitmap Descriptor", sector)};
            }
            unreadable.push_back(offset);
        }
    }
    if (length < SpaceBitmapLayout::kBitmap ||
        !hasValidTag(descriptor.data(), TagIdentifier::kSpaceBitmap, volume.partition.bitmapBlock)) {
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
                             std::to_string(partitionSector(volume.partition, block + offset / kSectorSize)) +
                             " of the Space Bitmap Descriptor: the free blocks among partition blocks " +
                             std::to_string(first) + " to " + std::to_string(end - 1) + " are not copied");
    }
    addFreedSpace(volume, *bitmap.map);
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

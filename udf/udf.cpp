#include "udf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "report.h"
#include "report_sink.h"
#include "support.h"
#include "udf_file.h"

void readBytes(Drive& drive, std::uint32_t lba, std::uint32_t count, void* destination)
{
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint32_t remaining = count;
    std::uint32_t index = 0;
    while (remaining > kSectorSize) {
        std::uint8_t* sector = out + static_cast<std::size_t>(index) * kSectorSize;
        std::memset(sector, 0, kSectorSize);
        readSector(drive, lba + index, sector);
        remaining -= kSectorSize;
        index++;
    }
    alignas(16) SectorBuffer last{};
    readSector(drive, lba + index, last.data());
    if (remaining != 0) {
        std::memcpy(out + static_cast<std::size_t>(index) * kSectorSize, last.data(), remaining);
    }
}

std::uint32_t tagIdentifier(const void* descriptor)
{
    return readLe16(descriptor, DescriptorTagLayout::kTagIdentifier);
}

bool hasTag(const void* descriptor, TagIdentifier tag)
{
    return tagIdentifier(descriptor) == static_cast<std::uint32_t>(tag);
}

std::uint16_t descriptorCrc(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; i++) {
        crc ^= std::uint32_t{bytes[i]} << 8;
        for (int bit = 0; bit < 8; bit++) {
            crc = (crc & 0x8000u) != 0 ? (crc << 1) ^ 0x1021u : crc << 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

std::uint8_t tagChecksum(const std::uint8_t* tag)
{
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < DescriptorTagLayout::kSize; i++) {
        sum += i == DescriptorTagLayout::kTagChecksum ? 0 : tag[i];
    }
    return static_cast<std::uint8_t>(sum);
}

bool hasValidTag(const void* descriptor, TagIdentifier tag, std::optional<std::uint32_t> location,
                 std::size_t available)
{
    const auto* d = static_cast<const std::uint8_t*>(descriptor);
    if (available < DescriptorTagLayout::kSize || !hasTag(d, tag)) {
        return false;
    }
    if (tagChecksum(d) != d[DescriptorTagLayout::kTagChecksum]) {
        return false;
    }
    if (location && readLe32(d, DescriptorTagLayout::kTagLocation) != *location) {
        return false;
    }
    const std::size_t covered = readLe16(d, DescriptorTagLayout::kDescriptorCrcLength);
    return DescriptorTagLayout::kSize + covered > available ||
           descriptorCrc(d + DescriptorTagLayout::kSize, covered) == readLe16(d, DescriptorTagLayout::kDescriptorCrc);
}

void requireDvdMedium(Drive& drive)
{
    const std::uint16_t profile = currentProfile(drive);
    if (profile == 0) {
        fail("no Media");
    }
    if (profile < 0x0010 || profile > 0x001B) {
        fail("not DVD");
    }
}

void requireExtendedArea(Drive& drive)
{
    alignas(16) SectorBuffer sector;
    for (std::uint32_t lba = 16;; lba++) {
        sector.fill(0);
        readSector(drive, lba, sector.data());
        const std::uint8_t* identifier = sector.data() + VolumeStructureLayout::kStandardIdentifier;
        if (std::memcmp(identifier, "CD001", VolumeStructureLayout::kStandardIdentifierLength) == 0) {
            if (lba + 1 >= kCd001ScanEnd) {
                fail("not found CD001");
            }
            continue;
        }
        if (std::memcmp(identifier, "BEA01", VolumeStructureLayout::kStandardIdentifierLength) == 0) {
            return;
        }
        fail("no BEA01");
    }
}

AnchorPointer readAnchor(Drive& drive, std::uint32_t sector)
{
    alignas(16) SectorBuffer descriptor{};
    readSector(drive, sector, descriptor.data());
    if (!hasValidTag(descriptor.data(), TagIdentifier::kAnchorVolumeDescriptorPointer, sector)) {
        fail("not AVDP");
    }
    const auto extent = [&](std::uint32_t field) {
        return SectorExtent{readLe32(descriptor.data(), field + ExtentAdLayout::kExtentLength),
                            readLe32(descriptor.data(), field + ExtentAdLayout::kExtentLocation)};
    };
    return AnchorPointer{extent(AnchorLayout::kMainVolumeDescriptorSequenceExtent),
                         extent(AnchorLayout::kReserveVolumeDescriptorSequenceExtent)};
}

bool findInSequence(Drive& drive, const SectorExtent& sequence, TagIdentifier tag, SectorBuffer& sector)
{
    std::uint32_t sectors = sequence.length / kSectorSize;
    if (sectors > kMaxVolumeDescriptorSectors) {
        sectors = kMaxVolumeDescriptorSectors;
    }
    for (std::uint32_t i = 0; i < sectors; i++) {
        sector.fill(0);
        readSector(drive, sequence.location + i, sector.data());
        if (hasValidTag(sector.data(), tag, sequence.location + i)) {
            return true;
        }
    }
    return false;
}

Partition decodePartition(const SectorBuffer& descriptor)
{
    const std::uint8_t* d = descriptor.data();
    constexpr std::uint32_t bitmap =
        PartitionLayout::kPartitionContentsUse + PartitionHeaderLayout::kUnallocatedSpaceBitmap;
    Partition partition;
    partition.start = readLe32(d, PartitionLayout::kPartitionStartingLocation);
    partition.length = readLe32(d, PartitionLayout::kPartitionLength);
    partition.bitmapLength = readLe32(d, bitmap + ShortAdLayout::kExtentLength) & kExtentLengthMask;
    partition.bitmapBlock = readLe32(d, bitmap + ShortAdLayout::kExtentPosition);
    constexpr std::uint32_t freed = PartitionLayout::kPartitionContentsUse + PartitionHeaderLayout::kFreedSpaceBitmap;
    partition.freedBitmapLength = readLe32(d, freed + ShortAdLayout::kExtentLength) & kExtentLengthMask;
    partition.freedBitmapBlock = readLe32(d, freed + ShortAdLayout::kExtentPosition);
    constexpr std::uint32_t table =
        PartitionLayout::kPartitionContentsUse + PartitionHeaderLayout::kUnallocatedSpaceTable;
    partition.tableLength = readLe32(d, table + ShortAdLayout::kExtentLength) & kExtentLengthMask;
    partition.tableBlock = readLe32(d, table + ShortAdLayout::kExtentPosition);
    constexpr std::uint32_t freedTable =
        PartitionLayout::kPartitionContentsUse + PartitionHeaderLayout::kFreedSpaceTable;
    partition.freedTableLength = readLe32(d, freedTable + ShortAdLayout::kExtentLength) & kExtentLengthMask;
    partition.freedTableBlock = readLe32(d, freedTable + ShortAdLayout::kExtentPosition);
    return partition;
}

std::optional<std::uint32_t> physicalBlock(const Partition& partition, std::uint32_t block)
{
    if (partition.kind != PartitionKind::Virtual) {
        return block;
    }
    if (block >= partition.virtualBlocks.size() || partition.virtualBlocks[block] == kVatUnused) {
        return std::nullopt;
    }
    return partition.virtualBlocks[block];
}

Partition spacePartition(const Partition& partition)
{
    if (partition.kind != PartitionKind::Virtual) {
        return partition;
    }
    Partition physical;
    physical.start = partition.start;
    physical.length = partition.length;
    physical.bitmapLength = partition.bitmapLength;
    physical.bitmapBlock = partition.bitmapBlock;
    physical.freedBitmapLength = partition.freedBitmapLength;
    physical.freedBitmapBlock = partition.freedBitmapBlock;
    physical.tableLength = partition.tableLength;
    physical.tableBlock = partition.tableBlock;
    physical.freedTableLength = partition.freedTableLength;
    physical.freedTableBlock = partition.freedTableBlock;
    return physical;
}

std::uint32_t partitionSector(const Partition& partition, std::uint32_t block)
{
    if (partition.kind == PartitionKind::Virtual) {
        const std::optional<std::uint32_t> physical = physicalBlock(partition, block);
        if (!physical) {
            fail(("block " + std::to_string(block) + " beyond the Virtual Allocation Table").c_str());
        }
        block = *physical;
    } else if (partition.kind == PartitionKind::Sparable && partition.packetLength != 0) {
        const std::uint32_t offset = block % partition.packetLength;
        const auto spare = partition.spared.find(block - offset);
        if (spare != partition.spared.end()) {
            return spare->second + offset;
        }
    }
    // Sector arithmetic wraps as the drive's 32-bit addresses do; a read
    // beyond the disc ends at the drive.
    return partition.start + block;
}

std::uint32_t consecutiveBlocks(const Partition& partition, std::uint32_t block, std::uint32_t count)
{
    if (partition.kind == PartitionKind::Physical || count <= 1) {
        return std::max<std::uint32_t>(count, 1);
    }
    const std::uint32_t first = partitionSector(partition, block);
    std::uint32_t n = 1;
    while (n < count && partitionSector(partition, block + n) == first + n) {
        n++;
    }
    return n;
}

void readPartitionBytes(Drive& drive, const Partition& partition, std::uint32_t block, std::uint32_t count,
                        void* destination)
{
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint32_t done = 0;
    do {
        const std::uint32_t blocks = (count - done + kSectorSize - 1) / kSectorSize;
        const std::uint32_t run = consecutiveBlocks(partition, block, blocks);
        const std::uint32_t bytes = std::min(count - done, run * kSectorSize);
        readBytes(drive, partitionSector(partition, block), bytes, out + done);
        done += bytes;
        block += run;
    } while (done < count);
}

Partition readPartition(Drive& drive, const SectorExtent& sequence)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, sequence, TagIdentifier::kPartition, descriptor)) {
        fail("not found PD");
    }
    return decodePartition(descriptor);
}

namespace {

// A regid's identifier, without the zeros that pad it.
std::string regidIdentifier(const std::uint8_t* regid)
{
    std::string identifier(reinterpret_cast<const char*>(regid + 1), PartitionMapLayout::kIdentifierLength);
    identifier.resize(std::strlen(identifier.c_str()));
    return identifier;
}

// The Sparing Table's moved packets, from the first of its copies that can
// be read and carries its identifier ("no usable Sparing Table" otherwise).
void loadSparingTable(Drive& drive, const std::uint8_t* map, std::uint32_t mapLength, Partition& partition)
{
    partition.packetLength = readLe16(map, PartitionMapLayout::kPacketLength);
    const std::uint32_t tables = readLe8(map, PartitionMapLayout::kNumberOfSparingTables);
    // A table of 4,096 entries or so fits in a few sectors; a longer size is damaged.
    const std::uint32_t size =
        std::min<std::uint32_t>(readLe32(map, PartitionMapLayout::kSizeOfEachSparingTable), 16 * kSectorSize);
    if (partition.packetLength == 0 || size < SparingTableLayout::kMapEntries) {
        fail("bad sparable partition map");
    }
    std::vector<std::uint8_t> table(size);
    for (std::uint32_t i = 0; i < tables && PartitionMapLayout::kLocationsOfSparingTables + 4 * (i + 1) <= mapLength;
         i++) {
        const std::uint32_t sector = readLe32(map, PartitionMapLayout::kLocationsOfSparingTables + 4 * i);
        try {
            readBytes(drive, sector, size, table.data());
        } catch (const FatalError& error) {
            if (error.cause != FatalError::Cause::Drive) {
                throw;
            }
            continue;
        }
        if (regidIdentifier(table.data() + SparingTableLayout::kSparingIdentifier) != kSparingTableIdentifier) {
            continue;
        }
        const std::uint32_t entries =
            std::min<std::uint32_t>(readLe16(table.data(), SparingTableLayout::kReallocationTableLength),
                                    (size - SparingTableLayout::kMapEntries) / SparingTableLayout::kMapEntrySize);
        for (std::uint32_t e = 0; e < entries; e++) {
            const std::uint8_t* entry =
                table.data() + SparingTableLayout::kMapEntries + e * SparingTableLayout::kMapEntrySize;
            const std::uint32_t original = readLe32(entry, 0);
            // The entries are sorted: the first unused or defective one ends
            // those in use, as the Linux kernel reads them.
            if (original >= SparingTableLayout::kFirstUnusedOriginal) {
                break;
            }
            if (original % partition.packetLength == 0) {
                partition.spared[original] = readLe32(entry, 4);
            }
        }
        partition.kind = PartitionKind::Sparable;
        return;
    }
    fail("no usable Sparing Table");
}

// A Virtual Allocation Table holds a few entries per file; one of more
// entries than a DVD has blocks is damaged.
constexpr std::uint32_t kMaxVatBytes = 4u * 1024 * 1024 * 4;

// The Virtual Allocation Table whose File Entry is the last recorded sector.
void loadVirtualAllocationTable(Drive& drive, Partition& partition)
{
    const TrackInformation track = readLastTrackInformationOrCapacity(drive);
    const std::optional<std::uint64_t> recorded = recordedEnd(track);
    if (!recorded || *recorded == 0) {
        fail("no Virtual Allocation Table: the recorded area is empty");
    }
    const auto sector = static_cast<std::uint32_t>(*recorded - 1);
    const FileEntry entry = readFileEntry(drive, sector);
    if (!isAnyFileEntry(entry.sector.data(), std::nullopt) || entry.informationLength > kMaxVatBytes) {
        fail(("no Virtual Allocation Table at sector " + std::to_string(sector)).c_str());
    }
    // Its own data lie in the physical partition beneath.
    Partition physical;
    physical.start = partition.start;
    // Never a null buffer, also for a table of no bytes.
    std::vector<std::uint8_t> data = allocateBuffer(static_cast<std::uint32_t>(entry.informationLength));
    readFileData(drive, physical, entry, 0, static_cast<std::uint32_t>(data.size()), data.data());
    const std::uint32_t fileType = readLe8(entry.sector.data(), FileEntryLayout::kIcbTag + IcbTagLayout::kFileType);
    std::size_t first = 0;
    std::size_t end = data.size();
    if (fileType == kFileTypeVirtualAllocationTable) {
        first = data.size() >= 2 ? readLe16(data.data(), VirtualAllocationTableLayout::kLengthOfHeader) : data.size();
    } else if (data.size() >= VirtualAllocationTableLayout::kTrailerLength &&
               regidIdentifier(data.data() + data.size() - VirtualAllocationTableLayout::kTrailerLength) ==
                   kVirtualAllocationTableIdentifier) {
        end = data.size() - VirtualAllocationTableLayout::kTrailerLength;
    } else {
        fail(("no Virtual Allocation Table at sector " + std::to_string(sector)).c_str());
    }
    if (first > end) {
        fail("bad Virtual Allocation Table");
    }
    partition.virtualBlocks.clear();
    for (std::size_t p = first; p + 4 <= end; p += 4) {
        partition.virtualBlocks.push_back(readLe32(data.data(), static_cast<std::uint32_t>(p)));
    }
    partition.kind = PartitionKind::Virtual;
}

// Applies the partition map that the File Set Descriptor's address names
// to `partition`. A volume without maps, or whose map there is of type 1,
// reads its blocks in place; a map of another type or identifier ends the
// run with a message that names it.
void applyPartitionMap(Drive& drive, const SectorBuffer& volume, Partition& partition)
{
    const std::uint8_t* d = volume.data();
    const std::uint32_t reference =
        readLe16(d, LogicalVolumeLayout::kLogicalVolumeContentsUse + LongAdLayout::kExtentLocation + 4);
    const std::uint32_t count = readLe32(d, LogicalVolumeLayout::kNumberOfPartitionMaps);
    const std::uint32_t tableEnd = LogicalVolumeLayout::kPartitionMaps +
                                   std::min<std::uint32_t>(readLe32(d, LogicalVolumeLayout::kMapTableLength),
                                                           kSectorSize - LogicalVolumeLayout::kPartitionMaps);
    partition.reference = static_cast<std::uint16_t>(reference);
    partition.mapsRead = count != 0;
    // The type 1 maps first, as far as the table can be followed.
    std::uint32_t p = LogicalVolumeLayout::kPartitionMaps;
    for (std::uint32_t i = 0; i < count && i < 32 && p + 2 <= tableEnd; i++) {
        const std::uint32_t length = readLe8(d, p + PartitionMapLayout::kPartitionMapLength);
        if (length < 2 || p + length > tableEnd) {
            break;
        }
        if (readLe8(d, p + PartitionMapLayout::kPartitionMapType) == 1) {
            partition.inPlaceReferences |= 1u << i;
        }
        p += length;
    }
    p = LogicalVolumeLayout::kPartitionMaps;
    for (std::uint32_t i = 0; i < count && p + 2 <= tableEnd; i++) {
        const std::uint32_t type = readLe8(d, p + PartitionMapLayout::kPartitionMapType);
        const std::uint32_t length = readLe8(d, p + PartitionMapLayout::kPartitionMapLength);
        if (length < 2 || p + length > tableEnd) {
            fail("bad partition map");
        }
        if (i == reference) {
            if (type == 1) {
                return;
            }
            if (type != 2 || length < 64) {
                fail(("partition map of type " + std::to_string(type) + " not supported").c_str());
            }
            const std::string identifier = regidIdentifier(d + p + PartitionMapLayout::kPartitionTypeIdentifier);
            if (identifier == kSparablePartitionIdentifier) {
                loadSparingTable(drive, d + p, length, partition);
            } else if (identifier == kVirtualPartitionIdentifier) {
                loadVirtualAllocationTable(drive, partition);
            } else {
                fail(("partition map \"" + identifier + "\" not supported").c_str());
            }
            return;
        }
        p += length;
    }
}

}  // namespace

std::uint32_t readFileSetBlock(Drive& drive, const SectorExtent& sequence, Partition& partition)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, sequence, TagIdentifier::kLogicalVolume, descriptor)) {
        fail("not found LVD");
    }
    applyPartitionMap(drive, descriptor, partition);
    return readLe32(descriptor.data(), LogicalVolumeLayout::kLogicalVolumeContentsUse + LongAdLayout::kExtentLocation);
}

void applyVolumePartitionMap(Drive& drive, const SectorExtent& sequence, Partition& partition)
{
    alignas(16) SectorBuffer descriptor;
    if (findInSequence(drive, sequence, TagIdentifier::kLogicalVolume, descriptor)) {
        applyPartitionMap(drive, descriptor, partition);
    }
}

VolumeDescriptors readVolumeDescriptorsFromAnyAnchor(Drive& drive)
{
    const TrackInformation track = readLastTrackInformationOrCapacity(drive);
    const auto end = static_cast<std::uint32_t>(recordedEnd(track).value_or(track.trackSize));
    std::vector<std::uint32_t> anchors = {kAnchorSector};
    if (end > kAnchorSector + 1) {
        anchors.push_back(end - 1);
    }
    if (end > 2 * kAnchorSector + 1) {
        anchors.push_back(end - 1 - kAnchorSector);
    }
    std::optional<FatalError> last;
    std::optional<Partition> partitionAlone;
    for (const std::uint32_t sector : anchors) {
        std::optional<AnchorPointer> anchor;
        try {
            anchor = readAnchor(drive, sector);
        } catch (FatalError& error) {
            reportf("? no usable anchor at sector %u\n", sector);
            last = std::move(error);
            continue;
        }
        for (const SectorExtent& sequence : {anchor->mainSequence, anchor->reserveSequence}) {
            std::optional<Partition> partition;
            try {
                partition = readPartition(drive, sequence);
                const std::uint32_t fileSetBlock = readFileSetBlock(drive, sequence, *partition);
                return VolumeDescriptors{*partition, fileSetBlock};
            } catch (FatalError& error) {
                reportf("? no usable volume descriptors at sector %u\n", sequence.location);
                if (partition && !partitionAlone) {
                    partitionAlone = partition;
                }
                last = std::move(error);
            }
        }
    }
    if (partitionAlone) {
        return VolumeDescriptors{*partitionAlone, 0, false};
    }
    throw *last;
}

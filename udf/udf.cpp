#include "udf.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "report.h"
#include "report_sink.h"
#include "support.h"

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
    if (!hasTag(descriptor.data(), TagIdentifier::kAnchorVolumeDescriptorPointer)) {
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
        if (hasTag(sector.data(), tag)) {
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
    return Partition{readLe32(d, PartitionLayout::kPartitionStartingLocation),
                     readLe32(d, PartitionLayout::kPartitionLength),
                     readLe32(d, bitmap + ShortAdLayout::kExtentLength) & kExtentLengthMask,
                     readLe32(d, bitmap + ShortAdLayout::kExtentPosition)};
}

Partition readPartition(Drive& drive, const SectorExtent& sequence)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, sequence, TagIdentifier::kPartition, descriptor)) {
        fail("not found PD");
    }
    return decodePartition(descriptor);
}

std::uint32_t readFileSetBlock(Drive& drive, const SectorExtent& sequence)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, sequence, TagIdentifier::kLogicalVolume, descriptor)) {
        fail("not found LVD");
    }
    return readLe32(descriptor.data(), LogicalVolumeLayout::kLogicalVolumeContentsUse + LongAdLayout::kExtentLocation);
}

VolumeDescriptors readVolumeDescriptorsFromAnyAnchor(Drive& drive)
{
    const TrackInformation track = readLastTrackInformation(drive);
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
                return VolumeDescriptors{*partition, readFileSetBlock(drive, sequence)};
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

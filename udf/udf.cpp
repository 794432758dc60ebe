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

bool hasValidTag(const void* descriptor, TagIdentifier tag, std::optional<std::uint32_t> location,
                 std::size_t available)
{
    const auto* d = static_cast<const std::uint8_t*>(descriptor);
    if (available < DescriptorTagLayout::kSize || !hasTag(d, tag)) {
        return false;
    }
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < DescriptorTagLayout::kSize; i++) {
        sum += i == DescriptorTagLayout::kTagChecksum ? 0 : d[i];
    }
    if ((sum & 0xFFu) != d[DescriptorTagLayout::kTagChecksum]) {
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

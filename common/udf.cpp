#include "udf.h"

#include <cstring>

#include "report.h"
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

AnchorPointer readAnchor(Drive& drive)
{
    alignas(16) SectorBuffer sector{};
    readSector(drive, kAnchorSector, sector.data());
    if (!hasTag(sector.data(), TagIdentifier::kAnchorVolumeDescriptorPointer)) {
        fail("not AVDP");
    }
    constexpr std::uint32_t main = AnchorLayout::kMainVolumeDescriptorSequenceExtent;
    return AnchorPointer{{readLe32(sector.data(), main + ExtentAdLayout::kExtentLength),
                          readLe32(sector.data(), main + ExtentAdLayout::kExtentLocation)}};
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

Partition readPartition(Drive& drive, const AnchorPointer& anchor)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, anchor.mainSequence, TagIdentifier::kPartition, descriptor)) {
        fail("not found PD");
    }
    return decodePartition(descriptor);
}

std::uint32_t readFileSetBlock(Drive& drive, const AnchorPointer& anchor)
{
    alignas(16) SectorBuffer descriptor;
    if (!findInSequence(drive, anchor.mainSequence, TagIdentifier::kLogicalVolume, descriptor)) {
        fail("not found LVD");
    }
    return readLe32(descriptor.data(), LogicalVolumeLayout::kLogicalVolumeContentsUse + LongAdLayout::kExtentLocation);
}

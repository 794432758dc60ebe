#include "udf_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "report.h"
#include "support.h"

FileEntry decodeFileEntry(const std::uint8_t* sector)
{
    FileEntry entry;
    std::memcpy(entry.sector.data(), sector, kSectorSize);
    static_assert(FileEntryLayout::kInformationLength == ExtendedFileEntryLayout::kInformationLength);
    entry.informationLength = readLe32(sector, FileEntryLayout::kInformationLength) |
                              (std::uint64_t{readLe32(sector, FileEntryLayout::kInformationLength + 4)} << 32);
    entry.extended = hasTag(sector, TagIdentifier::kExtendedFileEntry);
    if (entry.extended) {
        entry.extendedAttributesLength = readLe32(sector, ExtendedFileEntryLayout::kLengthOfExtendedAttributes);
        entry.descriptorsLength = readLe32(sector, ExtendedFileEntryLayout::kLengthOfAllocationDescriptors);
        entry.extendedAttributesOffset = ExtendedFileEntryLayout::kExtendedAttributes;
    } else {
        entry.extendedAttributesLength = readLe32(sector, FileEntryLayout::kLengthOfExtendedAttributes);
        entry.descriptorsLength = readLe32(sector, FileEntryLayout::kLengthOfAllocationDescriptors);
    }
    return entry;
}

bool isAnyFileEntry(const void* descriptor, std::optional<std::uint32_t> block)
{
    return hasValidTag(descriptor, TagIdentifier::kFileEntry, block) ||
           hasValidTag(descriptor, TagIdentifier::kExtendedFileEntry, block);
}

FileEntry readFileEntry(Drive& drive, std::uint32_t lba, std::optional<std::uint16_t> partitionReference)
{
    alignas(16) SectorBuffer sector{};
    readSector(drive, lba, sector.data());
    FileEntry entry = decodeFileEntry(sector.data());
    entry.partitionReference = partitionReference;
    return entry;
}

AllocationDescriptors allocationDescriptors(const FileEntry& entry)
{
    const std::uint8_t* s = entry.sector.data();
    static_assert(FileEntryLayout::kIcbTag == ExtendedFileEntryLayout::kIcbTag);
    const std::uint32_t form =
        readLe8(s, FileEntryLayout::kIcbTag + IcbTagLayout::kFlags) & IcbTagLayout::kAllocationFormMask;
    if (form > static_cast<std::uint32_t>(AllocationForm::Embedded)) {
        fail("bad AD Type");
    }
    // The extended attributes are skipped by their length, unread.
    if (std::uint64_t{entry.extendedAttributesOffset} + entry.extendedAttributesLength + entry.descriptorsLength >
        entry.sector.size()) {
        fail("allocation descriptors beyond the File Entry");
    }
    return AllocationDescriptors{
        static_cast<AllocationForm>(form),
        std::span(entry.sector)
            .subspan(entry.extendedAttributesOffset + entry.extendedAttributesLength, entry.descriptorsLength),
        entry.partitionReference};
}

std::uint32_t descriptorSize(AllocationForm form)
{
    switch (form) {
        case AllocationForm::Short: return ShortAdLayout::kSize;
        case AllocationForm::Long: return LongAdLayout::kSize;
        default: return ExtAdLayout::kSize;
    }
}

Extent decodeAllocationDescriptor(const std::uint8_t* descriptor, AllocationForm form)
{
    // The Extent Length comes first in all three forms.
    const std::uint32_t lengthField = readLe32(descriptor, ShortAdLayout::kExtentLength);
    std::uint32_t location = 0;
    std::optional<std::uint16_t> reference;
    switch (form) {
        case AllocationForm::Short: location = readLe32(descriptor, ShortAdLayout::kExtentPosition); break;
        case AllocationForm::Long:
            location = readLe32(descriptor, LongAdLayout::kExtentLocation);
            reference = static_cast<std::uint16_t>(readLe16(descriptor, LongAdLayout::kExtentLocation + 4));
            break;
        default:
            location = readLe32(descriptor, ExtAdLayout::kExtentLocation);
            reference = static_cast<std::uint16_t>(readLe16(descriptor, ExtAdLayout::kExtentLocation + 4));
            break;
    }
    return Extent{static_cast<ExtentType>(lengthField >> kExtentTypeShift), lengthField & kExtentLengthMask, location,
                  reference};
}

bool namesPartition(const Partition& partition, std::optional<std::uint16_t> reference)
{
    return !partition.mapsRead || !reference || *reference == partition.reference ||
           (*reference < 32 && (partition.inPlaceReferences & (1u << *reference)) != 0);
}

const Partition& extentPartition(const Partition& partition, const Extent& extent, Partition& inPlace)
{
    if (!partition.mapsRead || !extent.partitionReference || *extent.partitionReference == partition.reference) {
        return partition;
    }
    const std::uint32_t reference = *extent.partitionReference;
    if (!namesPartition(partition, extent.partitionReference)) {
        fail(("bad partition reference " + std::to_string(reference)).c_str());
    }
    inPlace = Partition{};
    inPlace.start = partition.start;
    inPlace.length = partition.length;
    inPlace.reference = static_cast<std::uint16_t>(reference);
    inPlace.inPlaceReferences = partition.inPlaceReferences;
    inPlace.mapsRead = true;
    return inPlace;
}

LongAddress decodeLongAddress(const std::uint8_t* longAd)
{
    return LongAddress{readLe32(longAd, LongAdLayout::kExtentLocation),
                       static_cast<std::uint16_t>(readLe16(longAd, LongAdLayout::kExtentLocation + 4))};
}

std::uint32_t addressSector(const Partition& partition, const LongAddress& address)
{
    Partition inPlace;
    const Extent extent{ExtentType::Recorded, 0, address.block, address.partitionReference};
    return partitionSector(extentPartition(partition, extent, inPlace), address.block);
}

std::vector<std::uint8_t> allocateBuffer(std::uint32_t size)
{
    try {
        std::vector<std::uint8_t> buffer;
        // Never a null data pointer, also for a size of 0.
        buffer.reserve(size == 0 ? 1 : size);
        buffer.resize(size);
        return buffer;
    } catch (const std::bad_alloc&) {
        // Kept for compatibility: the Windows call's name on every platform,
        // and the line end inside the message, as the report has always had.
        fail("GlobalAlloc() failed\n");
    }
}

AllocationExtent readAllocationExtent(Drive& drive, const Partition& partition, const Extent& extent,
                                      std::uint32_t depth, bool checkTag)
{
    if (depth >= kMaxContinuationDepth) {
        fail("too many allocation extents");
    }
    constexpr std::uint32_t head = AllocationExtentLayout::kAllocationDescriptors;
    if (extent.length < head || extent.length > kMaxAllocationExtentLength) {
        fail("bad allocation extent");
    }
    AllocationExtent result{allocateBuffer(extent.length), {}};
    Partition inPlace;
    readPartitionBytes(drive, extentPartition(partition, extent, inPlace), extent.location, extent.length,
                       result.bytes.data());
    const std::uint32_t listLength =
        readLe32(result.bytes.data(), AllocationExtentLayout::kLengthOfAllocationDescriptors);
    if (listLength > extent.length - head ||
        (checkTag && !hasValidTag(result.bytes.data(), TagIdentifier::kAllocationExtent, extent.location,
                                  std::min<std::size_t>(extent.length, kSectorSize)))) {
        fail("bad allocation extent");
    }
    result.list = std::span<const std::uint8_t>(result.bytes).subspan(head, listLength);
    return result;
}

namespace {

// Copies `count` bytes of an extent, from byte `skip` of it on, reading only
// the sectors that hold them.
void readExtentPart(Drive& drive, const Partition& partition, std::uint32_t block, std::uint32_t skip,
                    std::uint32_t count, std::uint8_t* destination)
{
    if (skip == 0) {
        readPartitionBytes(drive, partition, block, count, destination);
        return;
    }
    const std::uint32_t first = block + skip / kSectorSize;
    const std::uint32_t inner = skip % kSectorSize;
    alignas(16) SectorBuffer sector{};
    readPartitionBytes(drive, partition, first, kSectorSize, sector.data());
    const std::uint32_t head = count < kSectorSize - inner ? count : kSectorSize - inner;
    std::memcpy(destination, sector.data() + inner, head);
    if (count > head) {
        readPartitionBytes(drive, partition, first + 1, count - head, destination + head);
    }
}

}  // namespace

// Extents that are not recorded (allocated-but-unrecorded ones once copying
// has begun, and unallocated ones) take their place in the file like any
// other extent: their length counts into the file position and their bytes
// in the requested range read as zeros, as ECMA-167 reads an unrecorded
// extent. So a later extent always lands at its own file position, and no
// byte of the destination is left unwritten.
void readFileData(Drive& drive, const Partition& partition, const FileEntry& entry, std::uint32_t offset,
                  std::uint32_t length, std::uint8_t* destination)
{
    const AllocationDescriptors descriptors = allocationDescriptors(entry);
    if (descriptors.form == AllocationForm::Embedded) {
        const std::size_t size = descriptors.area.size();
        if (offset >= size || std::uint64_t{offset} + length > size) {
            fail("out of range");
        }
        std::memcpy(destination, descriptors.area.data() + offset, length);
        return;
    }

    const std::uint64_t end = std::uint64_t{offset} + length;
    std::uint64_t filePosition = 0;
    bool copying = false;
    const bool exhausted = forEachExtent(drive, partition, descriptors, [&](const Extent& extent) {
        if (extent.type == ExtentType::Continuation) {
            return true;
        }
        if (extent.type == ExtentType::NotRecorded && !copying) {
            fail("allocated but not recorded");
        }
        const bool recorded = extent.type == ExtentType::Recorded;
        const std::uint64_t extentEnd = filePosition + extent.length;
        Partition inPlace;
        const Partition& through = recorded ? extentPartition(partition, extent, inPlace) : partition;

        if (!copying) {
            if (filePosition <= offset && offset < extentEnd) {
                // The extent that holds the first byte asked for.
                const auto skip = static_cast<std::uint32_t>(offset - filePosition);
                const std::uint32_t part = end <= extentEnd ? length : extent.length - skip;
                if (recorded) {
                    readExtentPart(drive, through, extent.location, skip, part, destination);
                } else {
                    std::memset(destination, 0, part);
                }
                if (end <= extentEnd) {
                    return false;
                }
                copying = true;
            }
            filePosition = extentEnd;
            return true;
        }

        // Copying has begun: this extent's data belong right after the last.
        std::uint8_t* place = destination + (filePosition - offset);
        const std::uint32_t part = end <= extentEnd ? static_cast<std::uint32_t>(end - filePosition) : extent.length;
        if (recorded) {
            readPartitionBytes(drive, through, extent.location, part, place);
        } else {
            std::memset(place, 0, part);
        }
        filePosition = extentEnd;
        return end > extentEnd;
    });
    if (exhausted) {
        fail("file out of range");
    }
}

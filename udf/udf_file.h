// A file's data through the allocation descriptors of its File Entry, and the
// checked walk over descriptor lists that every reader of them shares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "udf.h"

// An extent of allocation descriptors never exceeds one logical block.
constexpr std::uint32_t kMaxAllocationExtentLength = 2048;
// Continuation extents followed below one descriptor list at the most. A
// chain on a real disc is a handful of blocks long; the bound ends a chain
// that leads back to itself.
constexpr std::uint32_t kMaxContinuationDepth = 1024;

enum class AllocationForm : std::uint32_t { Short = 0, Long = 1, Extended = 2, Embedded = 3 };

enum class ExtentType : std::uint32_t {
    Recorded = 0,
    NotRecorded = 1,  // allocated but not recorded
    Unallocated = 2,
    Continuation = 3,  // the next extent of allocation descriptors
};

struct Extent {
    ExtentType type;
    std::uint32_t length;    // bytes
    std::uint32_t location;  // partition block
    // The Partition Reference Number of a long_ad's or ext_ad's location;
    // a short_ad's extent lies in the partition of its descriptor list.
    std::optional<std::uint16_t> partitionReference = std::nullopt;
};

// The partition an extent's blocks are read through: `partition` itself, or
// the partition's blocks in place (in `inPlace`) when the extent names a
// type 1 map of the volume while `partition` reads through another; a
// reference to a map the volume does not have ends the run ("bad partition
// reference N"), as a damaged descriptor does. Without a map table every
// extent lies in `partition`.
const Partition& extentPartition(const Partition& partition, const Extent& extent, Partition& inPlace);
// Whether extentPartition takes a location with this reference (none: the
// descriptor list's own partition).
bool namesPartition(const Partition& partition, std::optional<std::uint16_t> reference);

// Where a long_ad (a File Identifier's or the File Set's ICB) puts a
// descriptor: its block in the partition its Partition Reference Number names.
struct LongAddress {
    std::uint32_t block = 0;
    std::uint16_t partitionReference = 0;
};
LongAddress decodeLongAddress(const std::uint8_t* longAd);
// The disc sector of the block at `address`, through the partition that
// extentPartition gives for it ("bad partition reference N").
std::uint32_t addressSector(const Partition& partition, const LongAddress& address);

// A File Entry or an Extended File Entry as read: its sector, and the fields
// the programs use, taken from where the entry's tag says they are.
struct FileEntry {
    alignas(16) SectorBuffer sector{};
    std::uint64_t informationLength = 0;
    bool extended = false;  // an Extended File Entry
    std::uint32_t extendedAttributesLength = 0;
    std::uint32_t descriptorsLength = 0;
    std::uint32_t extendedAttributesOffset = FileEntryLayout::kExtendedAttributes;
    // The partition the entry was read through, in which its short_ads lie
    // (none: the volume's own partition).
    std::optional<std::uint16_t> partitionReference;
};

// Whether a descriptor is a File Entry of either kind.
bool isAnyFileEntry(const void* descriptor, std::optional<std::uint32_t> block);

FileEntry readFileEntry(Drive& drive, std::uint32_t lba,
                        std::optional<std::uint16_t> partitionReference = std::nullopt);
// The same from the 2048 bytes of a sector already read.
FileEntry decodeFileEntry(const std::uint8_t* sector);

// The descriptor area of a File Entry: its form and its bytes, checked to lie
// within the entry's sector.
struct AllocationDescriptors {
    AllocationForm form;
    std::span<const std::uint8_t> area;
    std::optional<std::uint16_t> partitionReference;  // the entry's
};

// Ends the run with "bad AD Type" for forms 4 to 7, and with "allocation
// descriptors beyond the File Entry" when L_EA and L_AD reach past its sector.
AllocationDescriptors allocationDescriptors(const FileEntry& entry);

// 8, 16 or 20 bytes for short_ad, long_ad and ext_ad.
std::uint32_t descriptorSize(AllocationForm form);
Extent decodeAllocationDescriptor(const std::uint8_t* descriptor, AllocationForm form);

// The descriptor list of an Allocation Extent Descriptor, read from the
// continuation extent and checked to lie within the bytes read; `depth`
// counts the continuations already followed. With `checkTag`, a descriptor
// that carries another tag is a "bad allocation extent" too.
struct AllocationExtent {
    std::vector<std::uint8_t> bytes;
    std::span<const std::uint8_t> list;
};
AllocationExtent readAllocationExtent(Drive& drive, const Partition& partition, const Extent& extent,
                                      std::uint32_t depth, bool checkTag = false);

// Calls visit(extent) for each descriptor of the list in order, following a
// continuation extent (after visiting it) to the list it leads to; the rest
// of a list after a continuation is not read. A visit that returns false
// ends the walk. Returns false when a visit ended it. `checkTags` goes to
// readAllocationExtent. A short_ad's extent gets the reference of the
// partition its list lies in: `listReference` for the first list, a
// continuation's own for the list it leads to.
template <typename Visit>
bool forEachExtent(Drive& drive, const Partition& partition, AllocationForm form, std::span<const std::uint8_t> list,
                   Visit&& visit, bool checkTags = false, std::optional<std::uint16_t> listReference = std::nullopt)
{
    const std::uint32_t size = descriptorSize(form);
    AllocationExtent continuation;
    for (std::uint32_t depth = 0;; depth++) {
        const std::size_t count = list.size() / size;
        bool followed = false;
        for (std::size_t i = 0; i < count && !followed; i++) {
            Extent extent = decodeAllocationDescriptor(list.data() + i * size, form);
            if (!extent.partitionReference) {
                extent.partitionReference = listReference;
            }
            if (!visit(extent)) {
                return false;
            }
            if (extent.type == ExtentType::Continuation) {
                continuation = readAllocationExtent(drive, partition, extent, depth, checkTags);
                list = continuation.list;
                listReference = extent.partitionReference;
                followed = true;
            }
        }
        if (!followed) {
            return true;
        }
    }
}

// The same over a File Entry's descriptors, in the partition it was read through.
template <typename Visit>
bool forEachExtent(Drive& drive, const Partition& partition, const AllocationDescriptors& descriptors, Visit&& visit,
                   bool checkTags = false)
{
    return forEachExtent(drive, partition, descriptors.form, descriptors.area, std::forward<Visit>(visit), checkTags,
                         descriptors.partitionReference);
}

// Copies `length` bytes of the file from byte `offset` on into `destination`.
// Unrecorded extents read as zeros; the range must lie within the extents
// ("out of range", "file out of range").
void readFileData(Drive& drive, const Partition& partition, const FileEntry& entry, std::uint32_t offset,
                  std::uint32_t length, std::uint8_t* destination);

// A buffer of `size` bytes for data whose size the disc gives, already
// bounded by the caller ("GlobalAlloc() failed" when it cannot be had).
std::vector<std::uint8_t> allocateBuffer(std::uint32_t size);

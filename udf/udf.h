// Sector access, medium and volume recognition, and the volume descriptors
// that lead to a UDF partition, each decoded where it is read.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "mmc.h"
#include "udf_layout.h"

using SectorBuffer = std::array<std::uint8_t, kSectorSize>;

// Reads `count` bytes from the start of sector `lba` on, one READ (10) per
// sector, into `destination` (never written beyond `count` bytes). At least
// one sector is read, even for a count of 0. A short transfer leaves zeros.
void readBytes(Drive& drive, std::uint32_t lba, std::uint32_t count, void* destination);

// The Tag Identifier of a descriptor.
std::uint32_t tagIdentifier(const void* descriptor);
bool hasTag(const void* descriptor, TagIdentifier tag);
// Whether a descriptor read from `location` (its sector, or its logical block
// in the partition) is the one its tag says, as the Linux kernel checks it:
// the identifier, the tag checksum, the location the tag gives (unless none is
// given here) and the CRC over the bytes it covers when they lie within the
// `available` bytes read (at most a block: a descriptor's CRC over more is not
// checked, so that a map with an unreadable sector keeps its other sectors).
bool hasValidTag(const void* descriptor, TagIdentifier tag, std::optional<std::uint32_t> location,
                 std::size_t available = kSectorSize);
// CRC-ITU-T (x^16 + x^12 + x^5 + 1, initial value 0), as descriptor tags carry it.
std::uint16_t descriptorCrc(const std::uint8_t* bytes, std::size_t length);
// The tag checksum of the 16-byte descriptor tag at `tag`: its bytes other than
// the checksum itself added up, modulo 256.
std::uint8_t tagChecksum(const std::uint8_t* tag);

// Ends the run unless the drive holds a DVD medium.
void requireDvdMedium(Drive& drive);

// Sectors 16 to this bound (exclusive) may carry ISO 9660 descriptors before
// the Beginning Extended Area Descriptor: a disc bridging two file systems
// never needs more, and the skip must not run over the whole disc.
constexpr std::uint32_t kCd001ScanEnd = 4096;

// Ends the run unless a Beginning Extended Area Descriptor follows sector 16
// and any ISO 9660 descriptors there.
void requireExtendedArea(Drive& drive);

// A Volume Descriptor Sequence holds a handful of descriptors in an extent of
// 16 sectors or so; a scan for one of them stops after this many sectors
// rather than run across the disc.
constexpr std::uint32_t kMaxVolumeDescriptorSectors = 256;

constexpr std::uint32_t kAnchorSector = 256;

struct SectorExtent {
    std::uint32_t length;    // bytes
    std::uint32_t location;  // sector
};

struct AnchorPointer {
    SectorExtent mainSequence;
    SectorExtent reserveSequence;
};

// The Anchor Volume Descriptor Pointer at sector 256, or at another sector
// that may hold one ("not AVDP" otherwise).
AnchorPointer readAnchor(Drive& drive, std::uint32_t sector = kAnchorSector);

// Reads the sectors of the sequence, at most kMaxVolumeDescriptorSectors,
// into `sector` until one carries `tag`; false when none does.
bool findInSequence(Drive& drive, const SectorExtent& sequence, TagIdentifier tag, SectorBuffer& sector);

// How the partition map of the Logical Volume Descriptor makes partition
// blocks of disc sectors: in place (a type 1 map), through a Sparing Table
// (a packet that was spared is read from its spare location), or through a
// Virtual Allocation Table (each block where the table puts it).
enum class PartitionKind { Physical, Sparable, Virtual };

struct Partition {
    std::uint32_t start = 0;   // sector of partition block 0
    std::uint32_t length = 0;  // blocks
    // Extent Length and Position of the Unallocated Space Bitmap named in
    // the Partition Header (a length of 0: none).
    std::uint32_t bitmapLength = 0;
    std::uint32_t bitmapBlock = 0;
    // The same of the Freed Space Bitmap: blocks freed but not yet erased,
    // which are free all the same.
    std::uint32_t freedBitmapLength = 0;
    std::uint32_t freedBitmapBlock = 0;
    // The same of the Unallocated and the Freed Space Table, whose extents
    // are free blocks as the bitmaps' set bits are.
    std::uint32_t tableLength = 0;
    std::uint32_t tableBlock = 0;
    std::uint32_t freedTableLength = 0;
    std::uint32_t freedTableBlock = 0;
    PartitionKind kind = PartitionKind::Physical;
    // The Partition Reference Number of the map this translation is, and the
    // numbers (below 32) of the volume's type 1 maps: blocks of the same
    // partition read in place, as a long_ad may name them.
    // A partition known without a map table (no Logical Volume Descriptor
    // read, or one without maps) reads every extent in place, whatever its
    // reference.
    std::uint16_t reference = 0;
    std::uint32_t inPlaceReferences = 0;
    bool mapsRead = false;
    std::uint32_t packetLength = 0;                 // sparable: blocks of a packet
    std::map<std::uint32_t, std::uint32_t> spared;  // sparable: a packet's first block -> its spare's sector
    std::vector<std::uint32_t> virtualBlocks;       // virtual: the physical block of each block
};

Partition decodePartition(const SectorBuffer& descriptor);

// The disc sector of partition block `block`: the one translation that every
// read of the file system goes through. A block that the Virtual Allocation
// Table does not hold ends the run ("block N beyond the Virtual Allocation Table").
std::uint32_t partitionSector(const Partition& partition, std::uint32_t block);
// The block of the partition beneath, the Partition Descriptor's own, that
// holds `block`: the block itself, but for a virtual partition the Virtual
// Allocation Table's entry, and nothing for a virtual block that the table
// does not hold (one never written, which has no sector).
std::optional<std::uint32_t> physicalBlock(const Partition& partition, std::uint32_t block);
// The partition whose blocks the space bitmaps and tables of the Partition
// Header count and hold: `partition` itself, but beneath a virtual partition
// the physical one, read in place (the Virtual Allocation Table maps the
// file system's blocks, not the partition's free space).
Partition spacePartition(const Partition& partition);
// How many of the blocks from `block` on, up to `count`, lie on consecutive
// sectors from partitionSector(partition, block) on (at least 1).
std::uint32_t consecutiveBlocks(const Partition& partition, std::uint32_t block, std::uint32_t count);
// `count` bytes of the partition from the start of block `block` on, as
// readBytes reads them, each block from its own sector.
void readPartitionBytes(Drive& drive, const Partition& partition, std::uint32_t block, std::uint32_t count,
                        void* destination);

// The Partition Descriptor of a Volume Descriptor Sequence ("not found PD"
// when it has none).
Partition readPartition(Drive& drive, const SectorExtent& sequence);

// The partition block of the File Set Descriptor, from the Logical Volume
// Descriptor of a Volume Descriptor Sequence ("not found LVD").
// Applies the partition map the File Set Descriptor is addressed through to
// `partition` (a Sparing Table or a Virtual Allocation Table read from the
// disc), and ends the run with a message naming a map that is not supported.
std::uint32_t readFileSetBlock(Drive& drive, const SectorExtent& sequence, Partition& partition);

// The same map applied to `partition` when the sequence holds a Logical
// Volume Descriptor; without one the partition's blocks are read in place.
void applyVolumePartitionMap(Drive& drive, const SectorExtent& sequence, Partition& partition);

// What leads from the anchor to the file set.
struct VolumeDescriptors {
    Partition partition;
    std::uint32_t fileSetBlock;
    bool fileSetFound = true;  // false: the partition alone, no Logical Volume Descriptor
};

// As UDF readers do for a damaged volume: the anchor at 256, then at the last
// recorded sector and 256 before it, and for each the Main, then the Reserve
// Volume Descriptor Sequence, until one of them can be read and holds both
// descriptors; a notice for each that could not. When none does, the first
// Partition Descriptor found without its Logical Volume Descriptor, with
// fileSetFound false; without one, the last failure ends the run.
VolumeDescriptors readVolumeDescriptorsFromAnyAnchor(Drive& drive);

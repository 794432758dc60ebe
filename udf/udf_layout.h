// ECMA-167 (and UDF) descriptor layouts that the programs read: byte offsets
// of the fields, named as ECMA-167 names them. Every descriptor field is read
// through these; no other file knows an offset into a descriptor.
#pragma once

#include <cstdint>

// Tag Identifier values (ECMA-167 3/7.2.1 and 4/7.2.1).
enum class TagIdentifier : std::uint16_t {
    kPrimaryVolume = 1,
    kAnchorVolumeDescriptorPointer = 2,
    kPartition = 5,
    kLogicalVolume = 6,
    kTerminating = 8,
    kFileSet = 256,
    kFileIdentifier = 257,
    kAllocationExtent = 258,
    kFileEntry = 261,
    kUnallocatedSpaceEntry = 263,
    kSpaceBitmap = 264,
    kExtendedFileEntry = 266,
};

// Descriptor Tag (3/7.2), at the start of every descriptor.
struct DescriptorTagLayout {
    static constexpr std::uint32_t kTagIdentifier = 0;         // Uint16
    static constexpr std::uint32_t kTagChecksum = 4;           // Uint8: bytes 0-3 and 5-15, modulo 256
    static constexpr std::uint32_t kDescriptorCrc = 8;         // Uint16
    static constexpr std::uint32_t kDescriptorCrcLength = 10;  // Uint16: bytes from 16 on
    static constexpr std::uint32_t kTagLocation = 12;          // Uint32
    static constexpr std::uint32_t kSize = 16;
};

// Volume Structure Descriptor (2/9.1): the Volume Recognition Sequence.
struct VolumeStructureLayout {
    static constexpr std::uint32_t kStandardIdentifier = 1;  // 5 bytes: "BEA01", "CD001", ...
    static constexpr std::uint32_t kStandardIdentifierLength = 5;
};

// extent_ad (3/7.1).
struct ExtentAdLayout {
    static constexpr std::uint32_t kExtentLength = 0;    // Uint32, bytes
    static constexpr std::uint32_t kExtentLocation = 4;  // Uint32, sector
};

// short_ad (4/14.14.1), long_ad (4/14.14.2), ext_ad (4/14.14.3): the Extent
// Length's top two bits give the extent type, the low 30 bits its bytes.
struct ShortAdLayout {
    static constexpr std::uint32_t kExtentLength = 0;
    static constexpr std::uint32_t kExtentPosition = 4;  // logical block
    static constexpr std::uint32_t kSize = 8;
};
struct LongAdLayout {
    static constexpr std::uint32_t kExtentLength = 0;
    static constexpr std::uint32_t kExtentLocation = 4;  // lb_addr: logical block number first
    static constexpr std::uint32_t kSize = 16;
};
struct ExtAdLayout {
    static constexpr std::uint32_t kExtentLength = 0;
    static constexpr std::uint32_t kExtentLocation = 12;  // lb_addr
    static constexpr std::uint32_t kSize = 20;
};
constexpr std::uint32_t kExtentLengthMask = 0x3FFFFFFFu;
// A Virtual Allocation Table entry of a block that is not in use.
constexpr std::uint32_t kVatUnused = 0xFFFFFFFFu;
constexpr std::uint32_t kExtentTypeShift = 30;

// Anchor Volume Descriptor Pointer (3/10.2).
struct AnchorLayout {
    static constexpr std::uint32_t kMainVolumeDescriptorSequenceExtent = 16;     // extent_ad
    static constexpr std::uint32_t kReserveVolumeDescriptorSequenceExtent = 24;  // extent_ad
};

// Partition Descriptor (3/10.5).
struct PartitionLayout {
    static constexpr std::uint32_t kPartitionContentsUse = 56;  // 128 bytes: the Partition Header
    static constexpr std::uint32_t kPartitionStartingLocation = 188;
    static constexpr std::uint32_t kPartitionLength = 192;
};

// Partition Header Descriptor (4/14.3), in the Partition Contents Use.
struct PartitionHeaderLayout {
    static constexpr std::uint32_t kUnallocatedSpaceTable = 0;   // short_ad
    static constexpr std::uint32_t kUnallocatedSpaceBitmap = 8;  // short_ad
    static constexpr std::uint32_t kFreedSpaceTable = 24;        // short_ad
    static constexpr std::uint32_t kFreedSpaceBitmap = 32;       // short_ad
};

// Logical Volume Descriptor (3/10.6).
struct LogicalVolumeLayout {
    static constexpr std::uint32_t kLogicalVolumeContentsUse = 248;  // long_ad of the File Set Descriptor
    static constexpr std::uint32_t kMapTableLength = 264;
    static constexpr std::uint32_t kNumberOfPartitionMaps = 268;
    static constexpr std::uint32_t kPartitionMaps = 440;
};

// Partition maps (3/10.7): type 1 in place, type 2 named by its Partition
// Type Identifier; the sparable map's fields as UDF lays them out.
struct PartitionMapLayout {
    static constexpr std::uint32_t kPartitionMapType = 0;
    static constexpr std::uint32_t kPartitionMapLength = 1;
    static constexpr std::uint32_t kPartitionTypeIdentifier = 4;  // regid: the identifier from byte 1, 23 bytes
    static constexpr std::uint32_t kIdentifierLength = 23;
    static constexpr std::uint32_t kPacketLength = 40;              // Uint16, blocks
    static constexpr std::uint32_t kNumberOfSparingTables = 42;     // Uint8
    static constexpr std::uint32_t kSizeOfEachSparingTable = 44;    // Uint32, bytes
    static constexpr std::uint32_t kLocationsOfSparingTables = 48;  // Uint32 each, sectors
};
constexpr const char* kSparablePartitionIdentifier = "*UDF Sparable Partition";
constexpr const char* kVirtualPartitionIdentifier = "*UDF Virtual Partition";

// Sparing Table: the packets that were moved to spare locations.
struct SparingTableLayout {
    static constexpr std::uint32_t kSparingIdentifier = 16;        // regid
    static constexpr std::uint32_t kReallocationTableLength = 48;  // Uint16, entries
    static constexpr std::uint32_t kMapEntries = 56;               // 8 bytes each: Original Location, Mapped Location
    static constexpr std::uint32_t kMapEntrySize = 8;
    // An Original Location from here on marks a spare packet that is free
    // or defective, not a moved one.
    static constexpr std::uint32_t kFirstUnusedOriginal = 0xFFFFFFF0u;
};
constexpr const char* kSparingTableIdentifier = "*UDF Sparing Table";

// Virtual Allocation Table: a file whose File Entry is the last recorded
// sector. From UDF 2.00 on its File Type is 248 and a header comes first;
// before, the entries come first and an identifier with the previous VAT's
// location ends the file.
constexpr std::uint32_t kFileTypeVirtualAllocationTable = 248;
struct VirtualAllocationTableLayout {
    static constexpr std::uint32_t kLengthOfHeader = 0;  // Uint16
    static constexpr std::uint32_t kTrailerLength = 36;  // the UDF 1.50 regid and previous VAT location
};
constexpr const char* kVirtualAllocationTableIdentifier = "*UDF Virtual Alloc Tbl";

// File Set Descriptor (4/14.1).
struct FileSetLayout {
    static constexpr std::uint32_t kRootDirectoryIcb = 400;  // long_ad
};

// ICB Tag (4/14.6), at byte 16 of a File Entry.
struct IcbTagLayout {
    static constexpr std::uint32_t kFileType = 11;
    static constexpr std::uint32_t kFlags = 18;  // Uint16; bits 0-2: allocation descriptor form
    static constexpr std::uint32_t kAllocationFormMask = 7;
};

// File Entry (4/14.9).
struct FileEntryLayout {
    static constexpr std::uint32_t kIcbTag = 16;
    static constexpr std::uint32_t kInformationLength = 56;  // Uint64
    static constexpr std::uint32_t kLengthOfExtendedAttributes = 168;
    static constexpr std::uint32_t kLengthOfAllocationDescriptors = 172;
    static constexpr std::uint32_t kExtendedAttributes = 176;  // then the allocation descriptors
};

// Extended File Entry (4/14.17): the File Entry's fields up to the
// Information Length at the same offsets, then the Object Size, a Creation
// Time and the Stream Directory ICB, so that its lengths and its extended
// attributes lie 40 bytes further on. Named streams are not followed.
struct ExtendedFileEntryLayout {
    static constexpr std::uint32_t kIcbTag = 16;
    static constexpr std::uint32_t kInformationLength = 56;    // Uint64
    static constexpr std::uint32_t kStreamDirectoryIcb = 152;  // long_ad
    static constexpr std::uint32_t kLengthOfExtendedAttributes = 208;
    static constexpr std::uint32_t kLengthOfAllocationDescriptors = 212;
    static constexpr std::uint32_t kExtendedAttributes = 216;  // then the allocation descriptors
};

// File Identifier Descriptor (4/14.4).
struct FileIdentifierLayout {
    static constexpr std::uint32_t kFileCharacteristics = 18;
    static constexpr std::uint32_t kLengthOfFileIdentifier = 19;
    static constexpr std::uint32_t kIcb = 20;  // long_ad
    static constexpr std::uint32_t kLengthOfImplementationUse = 36;
    static constexpr std::uint32_t kImplementationUse = 38;  // then the File Identifier
    static constexpr std::uint32_t kCharacteristicDirectory = 0x02;
    static constexpr std::uint32_t kCharacteristicParent = 0x08;
};

// Allocation Extent Descriptor (4/14.5).
struct AllocationExtentLayout {
    static constexpr std::uint32_t kLengthOfAllocationDescriptors = 20;
    static constexpr std::uint32_t kAllocationDescriptors = 24;
};

// Unallocated Space Entry (4/14.11): a space table, its allocation
// descriptors naming the free extents (in the form its ICB Tag gives).
struct UnallocatedSpaceEntryLayout {
    static constexpr std::uint32_t kIcbTag = 16;
    static constexpr std::uint32_t kLengthOfAllocationDescriptors = 36;
    static constexpr std::uint32_t kAllocationDescriptors = 40;
};

// Space Bitmap Descriptor (4/14.12).
struct SpaceBitmapLayout {
    static constexpr std::uint32_t kNumberOfBits = 16;
    static constexpr std::uint32_t kNumberOfBytes = 20;
    static constexpr std::uint32_t kBitmap = 24;
};

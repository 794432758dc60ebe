// Reading a file's data through the allocation descriptors of its File Entry,
// and the checked access to descriptor lists that every walker shares.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// A File Entry is read into one sector; its descriptor area must lie inside.
constexpr std::uint32_t kFileEntrySize = 2048;
constexpr std::uint32_t kFileEntryAdTypeOffset = 34;
constexpr std::uint32_t kFileEntryLeaOffset = 168;
constexpr std::uint32_t kFileEntryLadOffset = 172;
constexpr std::uint32_t kFileEntryDescriptorsOffset = 176;
// An Allocation Extent Descriptor: its list length at 20, the list from 24.
constexpr std::uint32_t kAedLadOffset = 20;
constexpr std::uint32_t kAedHeadSize = 24;
// An extent of allocation descriptors never exceeds one logical block.
constexpr std::uint32_t kMaxAedExtentLength = 2048;
// Continuation extents followed below one descriptor list at the most. A
// chain on a real disc is a handful of blocks long; the bound ends a chain
// that leads back to itself.
constexpr std::uint32_t kMaxContinuationDepth = 1024;

constexpr std::uint32_t kAdShort = 0;
constexpr std::uint32_t kAdLong = 1;
constexpr std::uint32_t kAdExtended = 2;
constexpr std::uint32_t kAdEmbedded = 3;

constexpr std::uint32_t kExtentRecorded = 0;
constexpr std::uint32_t kExtentNotRecorded = 1;
constexpr std::uint32_t kExtentUnallocated = 2;
constexpr std::uint32_t kExtentContinuation = 3;

struct Extent {
    std::uint32_t type;      // top two bits of the Extent Length
    std::uint32_t length;    // low 30 bits: bytes
    std::uint32_t location;  // partition block
};

// 8, 16 or 20 bytes for short_ad, long_ad and ext_ad.
std::uint32_t descriptorSize(std::uint32_t adType);
Extent decodeDescriptor(const std::uint8_t* descriptor, std::uint32_t adType);

// The allocation descriptor type and the descriptor area of a File Entry held
// in a buffer of kFileEntrySize bytes. Ends the process with "bad AD Type" for
// types 4 to 7, and when L_EA and L_AD reach beyond the File Entry.
const std::uint8_t* fileEntryDescriptors(const void* fileEntry, std::uint32_t* adType, std::uint32_t* areaLength);

// Reads the continuation extent into a new block (release it with
// platformFree) and returns it; its descriptor list starts at kAedHeadSize and
// is *areaLength bytes long, checked to lie within the bytes read. `depth`
// counts the continuations already followed.
std::uint8_t* readContinuation(DriveHandle drive, std::uint32_t partitionStart, const Extent& extent,
                               std::uint32_t depth, std::uint32_t* areaLength);

void readFile(DriveHandle drive, std::uint32_t partitionStart, const void* fileEntry, std::uint32_t offset,
              std::uint32_t length, void* destination);

void readFileSub(DriveHandle drive, std::uint32_t partitionStart, std::uint32_t offset, std::uint32_t length,
                 void* destination, std::uint32_t adType, const std::uint8_t* descriptors, std::uint32_t areaLength,
                 std::uint64_t filePosition, std::uint32_t started, std::uint32_t depth);

// Sector access, little-endian field access, medium and volume recognition.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Reads `count` bytes from the start of sector `lba` on, one READ (10) per
// sector, into `destination` (never written beyond `count` bytes). At least
// one sector is read, even for a count of 0.
void readFromSector(DriveHandle drive, std::uint32_t lba, std::uint32_t count, void* destination);

std::uint32_t GetByte(const void* buffer, std::uint32_t offset);
std::uint32_t GetWord(const void* buffer, std::uint32_t offset);
std::uint32_t GetDWord(const void* buffer, std::uint32_t offset);

// Returns only when the drive holds a DVD medium.
void checkMedia(DriveHandle drive);

// Sectors 16 to this bound (exclusive) may carry ISO 9660 descriptors before
// the Beginning Extended Area Descriptor: a disc bridging two file systems
// never needs more, and the skip must not run over the whole disc.
constexpr std::uint32_t kCd001ScanEnd = 4096;

// A Volume Descriptor Sequence holds a handful of descriptors in an extent of
// 16 sectors or so; a scan for one of them stops after this many sectors
// rather than run across the disc.
constexpr std::uint32_t kMaxVolumeDescriptorSectors = 256;

// Returns only when a Beginning Extended Area Descriptor follows sector 16
// and any ISO 9660 descriptors there.
void checkBea(DriveHandle drive);

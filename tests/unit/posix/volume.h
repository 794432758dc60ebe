// Small UDF volumes for tests, laid down descriptor by descriptor. Only what
// the programs read is filled in: tag identifiers, locations and lengths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "child.h"

using Bytes = std::vector<std::uint8_t>;

Bytes shortAd(std::uint32_t type, std::uint32_t length, std::uint32_t position);
Bytes longAd(std::uint32_t type, std::uint32_t length, std::uint32_t block, std::uint16_t partition = 0);
Bytes extAd(std::uint32_t type, std::uint32_t length, std::uint32_t block);
Bytes join(const std::vector<Bytes>& parts);

Sector anchor(std::uint32_t sequenceLocation, std::uint32_t sequenceLength);
Sector partitionDescriptor(std::uint32_t start, std::uint32_t bitmapLength = 0, std::uint32_t bitmapBlock = 0);
Sector logicalVolume(std::uint32_t fileSetBlock);
Sector fileSet(std::uint32_t rootBlock, std::uint16_t rootPartition = 0);
// A File Entry whose descriptor area (or embedded data) is `area`.
Sector fileEntry(std::uint64_t informationLength, std::uint32_t adType, const Bytes& area, std::uint32_t lea = 0);
// The same as an Extended File Entry (tag 266), its other fields non-zero.
Sector extendedFileEntry(std::uint64_t informationLength, std::uint32_t adType, const Bytes& area,
                         std::uint32_t lea = 0);
Sector allocationExtent(const Bytes& descriptors, std::uint32_t lad);
Sector allocationExtent(const Bytes& descriptors);
// A File Identifier Descriptor, padded to a multiple of 4; its ICB names
// partition `icbPartition`.
Bytes identifier(const std::string& name, std::uint8_t characteristics, std::uint32_t icbBlock,
                 std::uint16_t useLength = 0, std::uint16_t icbPartition = 0);
Bytes parentIdentifier(std::uint32_t icbBlock);
Sector spaceBitmap(std::uint32_t numberOfBytes, const Bytes& bits);
// An Unallocated Space Entry (a space table) whose allocation descriptors,
// of form `adType`, are `descriptors`.
Sector spaceTable(const Bytes& descriptors, std::uint32_t adType = 0);
Sector recognition(const char* identifier);

// A complete small volume: recognition sequence at 16, anchor at 256, the
// main sequence at 32 (PD at 32, LVD at 33), the partition at `start`, the
// File Set Descriptor at block 1 and the root File Entry at block 2.
struct VolumeImage {
    std::map<std::uint32_t, Sector> sectors;
    std::uint32_t start;
    std::uint64_t total;

    void block(std::uint32_t partitionBlock, Sector sector)
    {
        placeTag(sector, partitionBlock);
        sectors[start + partitionBlock] = sector;
    }
    std::string write(const std::string& name) const { return writeImage(name, total, sectors); }
};

VolumeImage basicVolume(std::uint32_t start, std::uint64_t total, std::uint32_t bitmapLength = 0,
                        std::uint32_t bitmapBlock = 0);

// Printed reports of UDF descriptor fields and the allocation listing.
#pragma once

#include <cstdint>

#include "platform/platform.h"

void displaySerial(std::uint32_t value);
void displayLengthInSectors(const char* label, std::uint32_t length);
void displayDCharactersX(const char* label, const void* field, std::uint32_t length);
void displayDStringX(const char* label, const void* field, std::uint32_t length);
void printDCharacters(const void* field, std::uint32_t length);
void printDString(const void* field, std::uint32_t length);

void displayAllocation(std::uint32_t extentType, std::uint32_t location, std::uint32_t length);
void displayAllocationsSub(DriveHandle drive, std::uint32_t partitionStart, std::uint32_t adType,
                           const std::uint8_t* descriptors, std::uint32_t areaLength, std::uint32_t depth = 0);
void displayAllocationsFe(DriveHandle drive, std::uint32_t partitionStart, const void* fileEntry);
void displayAllocations(DriveHandle drive, const void* partitionDescriptor, const void* icb);

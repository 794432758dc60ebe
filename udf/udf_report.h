// Printed reports of UDF descriptor fields and of allocation lists.
#pragma once

#include <cstdint>

#include "udf_file.h"

void printSerial(std::uint32_t value);
void printLengthInSectors(const char* label, std::uint32_t length);
void printDCharactersField(const char* label, const void* field, std::uint32_t length);
void printDStringField(const char* label, const void* field, std::uint32_t length);
void printDCharacters(const void* field, std::uint32_t length);
void printDString(const void* field, std::uint32_t length);

// One line per extent: first and last block, a mark for its type.
void printAllocation(ExtentType type, std::uint32_t location, std::uint32_t length);
// Every extent of a descriptor list, continuation extents followed.
void printAllocationList(Drive& drive, std::uint32_t partitionStart, AllocationForm form,
                         std::span<const std::uint8_t> list);
void printFileEntryAllocations(Drive& drive, std::uint32_t partitionStart, const FileEntry& entry);
// The allocation of the file whose File Entry is at partition block `block`.
void printAllocations(Drive& drive, const Partition& partition, std::uint32_t block);

#include "udf_report.h"

#include <cstdio>

#include "mmc.h"
#include "report.h"
#include "udf.h"
#include "udf_file.h"

void displaySerial(std::uint32_t value)
{
    printIndent();
    std::printf("[0x%08X]\n", value);
}

void displayLengthInSectors(const char* label, std::uint32_t length)
{
    const std::uint32_t sectors = length / 2048;
    const std::uint32_t rest = length % 2048;
    printIndent();
    std::printf("%s = ", label);
    std::printf("0x%08X", length);
    if (sectors != 0 && rest != 0) {
        std::printf(" (0x%08X sectors and 0x%08X bytes)", sectors, rest);
    } else if (sectors != 0) {
        std::printf(" (0x%08X sectors)", sectors);
    }
    std::printf("\n");
}

void printDCharacters(const void* field, std::uint32_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(field);
    for (std::uint32_t i = 1; i < length && bytes[i] != 0; i++) {
        std::printf("%c", bytes[i]);
    }
}

void printDString(const void* field, std::uint32_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(field);
    for (std::uint32_t i = 1; i + 1 < length && bytes[i] != 0; i++) {
        std::printf("%c", bytes[i]);
    }
}

void displayDCharactersX(const char* label, const void* field, std::uint32_t length)
{
    printIndent();
    std::printf("%s = \"", label);
    printDCharacters(field, length);
    std::printf("\"\n");
}

void displayDStringX(const char* label, const void* field, std::uint32_t length)
{
    printIndent();
    std::printf("%s = \"", label);
    printDString(field, length);
    std::printf("\"\n");
}

void displayAllocation(std::uint32_t extentType, std::uint32_t location, std::uint32_t length)
{
    static const char* const marks[] = {"AR", "A ", "  ", ""};
    const std::uint32_t blocks = length / 2048 + (length % 2048 != 0 ? 1 : 0);
    printIndent();
    std::printf("0x%08X - ", location);
    std::printf("0x%08X ", location + blocks - 1);
    std::printf("%s", marks[extentType & 3u]);
    if (length % 2048 != 0) {
        std::printf(" : byte count in last block = 0x%08X\n", length % 2048);
    }
    std::printf("\n");
}

void displayAllocationsSub(DriveHandle drive, std::uint32_t partitionStart, std::uint32_t adType,
                           const std::uint8_t* descriptors, std::uint32_t areaLength, std::uint32_t depth)
{
    const std::uint32_t size = descriptorSize(adType);
    const std::uint32_t count = areaLength / size;
    for (std::uint32_t i = 0; i < count; i++) {
        const Extent extent = decodeDescriptor(descriptors + static_cast<std::size_t>(i) * size, adType);
        displayAllocation(extent.type, extent.location, extent.length);
        if (extent.type == kExtentContinuation) {
            std::uint32_t lad = 0;
            std::uint8_t* block = readContinuation(drive, partitionStart, extent, depth, &lad);
            displayAllocationsSub(drive, partitionStart, adType, block + kAedHeadSize, lad, depth + 1);
            platformFree(block);
            return;
        }
    }
}

void displayAllocationsFe(DriveHandle drive, std::uint32_t partitionStart, const void* fileEntry)
{
    std::uint32_t adType = 0;
    std::uint32_t areaLength = 0;
    const std::uint8_t* area = fileEntryDescriptors(fileEntry, &adType, &areaLength);
    if (adType == kAdEmbedded) {
        return;
    }
    displayAllocationsSub(drive, partitionStart, adType, area, areaLength);
}

void displayAllocations(DriveHandle drive, const void* partitionDescriptor, const void* icb)
{
    const std::uint32_t partitionStart = GetDWord(partitionDescriptor, 188);
    alignas(16) std::uint8_t fileEntry[kFileEntrySize] = {};
    ReadASector(drive, partitionStart + GetDWord(icb, 4), fileEntry);
    displayAllocationsFe(drive, partitionStart, fileEntry);
}

#include "udf_report.h"

#include <cstdio>

#include "report.h"
#include "report_sink.h"

void printSerial(std::uint32_t value)
{
    printIndent();
    reportf("[0x%08X]\n", value);
}

void printLengthInSectors(const char* label, std::uint32_t length)
{
    const std::uint32_t sectors = length / kSectorSize;
    const std::uint32_t rest = length % kSectorSize;
    printIndent();
    reportf("%s = ", label);
    reportf("0x%08X", length);
    if (sectors != 0 && rest != 0) {
        reportf(" (0x%08X sectors and 0x%08X bytes)", sectors, rest);
    } else if (sectors != 0) {
        reportf(" (0x%08X sectors)", sectors);
    }
    reportf("\n");
}

void printDCharacters(const void* field, std::uint32_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(field);
    for (std::uint32_t i = 1; i < length && bytes[i] != 0; i++) {
        reportf("%c", bytes[i]);
    }
}

void printDString(const void* field, std::uint32_t length)
{
    const auto* bytes = static_cast<const std::uint8_t*>(field);
    for (std::uint32_t i = 1; i + 1 < length && bytes[i] != 0; i++) {
        reportf("%c", bytes[i]);
    }
}

void printDCharactersField(const char* label, const void* field, std::uint32_t length)
{
    printIndent();
    reportf("%s = \"", label);
    printDCharacters(field, length);
    reportf("\"\n");
}

void printDStringField(const char* label, const void* field, std::uint32_t length)
{
    printIndent();
    reportf("%s = \"", label);
    printDString(field, length);
    reportf("\"\n");
}

void printAllocation(ExtentType type, std::uint32_t location, std::uint32_t length)
{
    static const char* const marks[] = {"AR", "A ", "  ", ""};
    const std::uint32_t blocks = length / kSectorSize + (length % kSectorSize != 0 ? 1 : 0);
    printIndent();
    reportf("0x%08X - ", location);
    reportf("0x%08X ", location + blocks - 1);
    reportf("%s", marks[static_cast<std::uint32_t>(type) & 3u]);
    if (length % kSectorSize != 0) {
        reportf(" : byte count in last block = 0x%08X\n", length % kSectorSize);
    }
    reportf("\n");
}

void printAllocationList(Drive& drive, std::uint32_t partitionStart, AllocationForm form,
                         std::span<const std::uint8_t> list)
{
    forEachExtent(drive, partitionStart, form, list, [](const Extent& extent) {
        printAllocation(extent.type, extent.location, extent.length);
        return true;
    });
}

void printFileEntryAllocations(Drive& drive, std::uint32_t partitionStart, const FileEntry& entry)
{
    const AllocationDescriptors descriptors = allocationDescriptors(entry);
    if (descriptors.form == AllocationForm::Embedded) {
        return;
    }
    printAllocationList(drive, partitionStart, descriptors.form, descriptors.area);
}

void printAllocations(Drive& drive, const Partition& partition, std::uint32_t block)
{
    const FileEntry entry = readFileEntry(drive, partition.start + block);
    printFileEntryAllocations(drive, partition.start, entry);
}

// "-r" mode, front half: from the anchor to the two recording files.
#include <cstdio>
#include <cstring>

#include "mmc.h"
#include "report.h"
#include "scsi.h"
#include "support.h"
#include "udf.h"
#include "udf_file.h"
#include "vrsalvage.h"

std::uint32_t g_bIFO_Processed = 0;
std::uint32_t g_bVRO_Processed = 0;

namespace {

constexpr std::uint32_t kAnchorSector = 256;
constexpr std::uint32_t kTagAnchor = 2;
constexpr std::uint32_t kTagPartition = 5;
constexpr std::uint32_t kTagLogicalVolume = 6;
constexpr std::uint32_t kTagFileIdentifier = 257;
constexpr std::uint32_t kIdentifierHeadSize = 38;
constexpr std::uint32_t kNameLength = 12;

// A DVD-VR disc keeps its files one directory below the root; the walk goes
// no deeper than this, which also bounds the recursion of the walk.
constexpr std::uint32_t kMaxDirectoryDepth = 64;
// The data of the directories being walked, together: each level holds its
// directory's data while it goes deeper. Thousands of entries fit in far
// less; a length beyond it can only come from a damaged File Entry.
constexpr std::uint32_t kMaxDirectoryDataHeld = 64u * 1024 * 1024;
std::uint32_t g_directoryDataHeld = 0;
// The directory data read in one walk, counting each directory as at least
// one block: a directory named by many entries is read again for each, and
// this bounds what a disc can make the walk read to 32768 blocks.
constexpr std::uint32_t kMaxDirectoryDataRead = 64u * 1024 * 1024;
std::uint32_t g_directoryDataRead = 0;

// The File Entry sectors of the directories being walked, root first, so
// that an entry leading back to one of them is not followed.
std::uint32_t g_directoryPath[kMaxDirectoryDepth + 1];
std::uint32_t g_directoryDepth = 0;

std::uint32_t partitionStart(const std::uint8_t* partitionDescriptor)
{
    return GetDWord(partitionDescriptor, 188);
}

// Finds the first sector of the sequence whose tag identifier is `tag`.
bool findDescriptor(DriveHandle drive, std::uint32_t location, std::uint32_t sectors, std::uint32_t tag,
                    std::uint8_t* buffer)
{
    for (std::uint32_t i = 0; i < sectors; i++) {
        std::memset(buffer, 0, kSectorSize);
        ReadASector(drive, location + i, buffer);
        if (GetWord(buffer, 0) == tag) {
            return true;
        }
    }
    return false;
}

}  // namespace

void rsub2(const char* path)
{
    DriveHandle drive = nullptr;
    openDevice(path, &drive);
    checkProfile(drive);
    rsub3(drive);
    closeDevice(drive);
}

void rsub3(DriveHandle drive)
{
    checkMedia(drive);
    rsub4(drive);
}

void rsub4(DriveHandle drive)
{
    checkBea(drive);
    rsub5(drive);
}

void rsub5(DriveHandle drive)
{
    alignas(16) std::uint8_t anchor[kSectorSize] = {};
    ReadASector(drive, kAnchorSector, anchor);
    if (GetWord(anchor, 0) != kTagAnchor) {
        error("not AVDP");
    }
    rsub6(drive, GetDWord(anchor, 20), GetDWord(anchor, 16));
}

void rsub6(DriveHandle drive, std::uint32_t sequenceLocation, std::uint32_t sequenceLength)
{
    std::uint32_t sectors = sequenceLength >> 11;
    if (sectors > kMaxVolumeDescriptorSectors) {
        sectors = kMaxVolumeDescriptorSectors;
    }
    alignas(16) std::uint8_t partitionDescriptor[kSectorSize];
    alignas(16) std::uint8_t logicalVolume[kSectorSize];
    if (!findDescriptor(drive, sequenceLocation, sectors, kTagPartition, partitionDescriptor)) {
        error("not found PD");
    }
    if (!findDescriptor(drive, sequenceLocation, sectors, kTagLogicalVolume, logicalVolume)) {
        error("not found LVD");
    }
    rsub7(drive, partitionDescriptor, logicalVolume);
}

void rsub7(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* logicalVolume)
{
    alignas(16) std::uint8_t fileSet[kSectorSize] = {};
    ReadASector(drive, partitionStart(partitionDescriptor) + GetDWord(logicalVolume, 252), fileSet);
    rsub8(drive, partitionDescriptor, fileSet);
}

void rsub8(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* fileSet)
{
    alignas(16) std::uint8_t rootEntry[kFileEntrySize] = {};
    const std::uint32_t lba = partitionStart(partitionDescriptor) + GetDWord(fileSet, 404);
    ReadASector(drive, lba, rootEntry);
    g_directoryDepth = 0;
    g_directoryDataHeld = 0;
    g_directoryDataRead = 0;
    g_directoryPath[0] = lba;
    rsub9(drive, partitionDescriptor, rootEntry);
}

void rsub9(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* fileEntry)
{
    if (GetDWord(fileEntry, 60) != 0) {
        error("data size too long");
    }
    const std::uint32_t size = GetDWord(fileEntry, 56);
    const std::uint32_t cost = size > kSectorSize ? size : kSectorSize;
    if (size > kMaxDirectoryDataHeld - g_directoryDataHeld || cost > kMaxDirectoryDataRead - g_directoryDataRead) {
        error("data size too long");
    }
    g_directoryDataRead += cost;
    auto* data = static_cast<std::uint8_t*>(platformAlloc(size));
    if (data == nullptr) {
        error("GlobalAlloc() failed\n");
    }
    g_directoryDataHeld += size;
    readFile(drive, partitionStart(partitionDescriptor), fileEntry, 0, size, data);
    rsub10(drive, partitionDescriptor, data, size);
    g_directoryDataHeld -= size;
    platformFree(data);
}

// Every entry is checked against the end of the data before any of it is
// read: its 38-byte head, then its whole length (38 + L_IU + L_FI), then the
// 13 bytes of the File Identifier that the name test compares.
void rsub10(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* data, std::uint32_t size)
{
    std::uint64_t p = 0;
    while (p + kIdentifierHeadSize <= size) {
        const std::uint8_t* entry = data + p;
        if (GetWord(entry, 0) != kTagFileIdentifier) {
            display("? Not File Entry\n");
            return;
        }
        const std::uint32_t characteristics = GetByte(entry, 18);
        const std::uint32_t identifierLength = GetByte(entry, 19);
        const std::uint32_t useLength = GetWord(entry, 36);
        const std::uint64_t entryLength = kIdentifierHeadSize + std::uint64_t{useLength} + identifierLength;
        if (p + entryLength > size) {
            // An entry that runs past the end of the directory is no entry.
            display("? Not File Entry\n");
            return;
        }
        if ((characteristics & 2u) != 0) {
            if ((characteristics & 8u) == 0) {
                inc_indent();
                rsub11(drive, partitionDescriptor, entry);
                dec_indent();
            }
        } else {
            const std::uint64_t nameOffset = p + kIdentifierHeadSize + useLength + 1;
            const bool nameInside = nameOffset + kNameLength <= size;
            const std::uint8_t* name = data + nameOffset;
            if (nameInside && std::memcmp(name, "VR_MANGR.IFO", kNameLength) == 0 && g_bIFO_Processed == 0) {
                std::printf("IFO Processing\n");
                process(drive, partitionDescriptor, 1, entry + 20);
                g_bIFO_Processed = 1;
            } else if (nameInside && std::memcmp(name, "VR_MOVIE.VRO", kNameLength) == 0 && g_bVRO_Processed == 0) {
                std::printf("VRO Processing\n");
                process(drive, partitionDescriptor, 0, entry + 20);
                g_bVRO_Processed = 1;
            }
            if (g_bIFO_Processed == 1 && g_bVRO_Processed == 1) {
                return;
            }
        }
        p += (entryLength + 3) & ~std::uint64_t{3};
    }
}

void rsub11(DriveHandle drive, const std::uint8_t* partitionDescriptor, const std::uint8_t* identifier)
{
    const std::uint32_t lba = partitionStart(partitionDescriptor) + GetDWord(identifier, 24);
    for (std::uint32_t i = 0; i <= g_directoryDepth; i++) {
        if (g_directoryPath[i] == lba) {
            display("? Directory loop\n");
            return;
        }
    }
    if (g_directoryDepth >= kMaxDirectoryDepth) {
        display("? Directory tree too deep\n");
        return;
    }
    alignas(16) std::uint8_t fileEntry[kFileEntrySize] = {};
    ReadASector(drive, lba, fileEntry);
    g_directoryPath[++g_directoryDepth] = lba;
    rsub9(drive, partitionDescriptor, fileEntry);
    g_directoryDepth--;
}

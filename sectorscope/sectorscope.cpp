#include "sectorscope.h"

#include <cstdio>
#include <cstring>

#include "mmc.h"
#include "report.h"
#include "scsi.h"
#include "support.h"
#include "udf.h"

int sectorscopeMain(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("parameters: <Drive Letter> <Block Number>");
        return 0;
    }
    sub1(argv[1], argv[2]);
    return 0;
}

void sub1(const char* driveArgument, const char* blockNumberText)
{
    char path[kDevicePathSize];
    buildDevicePath(driveArgument, path);
    std::uint32_t blockNumber = 0;
    str2dword(&blockNumber, blockNumberText);
    sub2(path, blockNumber);
}

void sub2(const char* path, std::uint32_t blockNumber)
{
    DriveHandle drive = nullptr;
    openDevice(path, &drive);
    sub3(drive, blockNumber);
    closeDevice(drive);
}

void sub3(DriveHandle drive, std::uint32_t blockNumber)
{
    checkMedia(drive);
    sub4(drive, blockNumber);
}

void sub4(DriveHandle drive, std::uint32_t blockNumber)
{
    checkBea(drive);
    sub5(drive, blockNumber);
}

void sub5(DriveHandle drive, std::uint32_t blockNumber)
{
    alignas(16) std::uint8_t sector[kSectorSize] = {};
    ReadASector(drive, 256, sector);
    if (GetWord(sector, 0) != 2) {
        error("not AVDP");
    }
    sub6(drive, blockNumber, GetDWord(sector, 20), GetDWord(sector, 16));
}

void sub6(DriveHandle drive, std::uint32_t blockNumber, std::uint32_t sequenceLocation, std::uint32_t sequenceLength)
{
    alignas(16) std::uint8_t sector[kSectorSize] = {};
    std::uint32_t sectors = sequenceLength / kSectorSize;
    if (sectors > kMaxVolumeDescriptorSectors) {
        sectors = kMaxVolumeDescriptorSectors;
    }
    for (std::uint32_t i = 0; i < sectors; i++) {
        std::memset(sector, 0, sizeof sector);
        ReadASector(drive, sequenceLocation + i, sector);
        if (GetWord(sector, 0) == 5) {
            sub7(drive, blockNumber, sector);
            return;
        }
    }
    error("not found PD");
}

void sub7(DriveHandle drive, std::uint32_t blockNumber, const std::uint8_t* partitionDescriptor)
{
    std::uint8_t discInformation[kDiscInformationLength] = {};
    ReadDiscInformation(drive, discInformation);
    const std::uint32_t track = discInformation[6] + 256u * discInformation[11];
    std::uint8_t trackInformation[kTrackInformationLength] = {};
    ReadTrackInformation(drive, track, trackInformation);

    std::uint32_t end;
    if ((trackInformation[7] & 2u) != 0) {
        end = ReverseEndianDWord(GetDWord(trackInformation, 28)) + 1;
    } else if ((trackInformation[7] & 1u) != 0) {
        end = ReverseEndianDWord(GetDWord(trackInformation, 12));
    } else {
        end = ReverseEndianDWord(GetDWord(trackInformation, 24));
    }
    const std::uint32_t start = GetDWord(partitionDescriptor, 188);
    // A partition that starts at or beyond the end of the recorded area has
    // no recorded block; the unsigned difference alone would wrap round.
    if (start >= end || blockNumber >= end - start) {
        error("Block Number error");
    }
    alignas(16) std::uint8_t block[kSectorSize] = {};
    ReadASector(drive, start + blockNumber, block);
    dump(block, kSectorSize);
}

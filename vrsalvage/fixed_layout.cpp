// The default mode: the recording files copied from their fixed positions.
#include <cstdio>
#include <cstring>

#include "mmc.h"
#include "report.h"
#include "scsi.h"
#include "support.h"
#include "udf.h"
#include "vrsalvage.h"

namespace {

const std::uint8_t kManagementSignature[12] = {'D', 'V', 'D', '_', 'R', 'T', 'R', '_', 'V', 'M', 'G', '0'};
const std::uint8_t kMovieSignature[5] = {0x00, 0x00, 0x01, 0xBA, 0x44};

}  // namespace

void sub2(const char* path)
{
    DriveHandle drive = nullptr;
    openDevice(path, &drive);
    checkProfile(drive);

    alignas(16) std::uint8_t sector[kSectorSize] = {};
    readSec(drive, kManagementFirstSector, 1, sector);
    if (std::memcmp(sector, kManagementSignature, sizeof kManagementSignature) != 0) {
        std::printf("? not found IFO\n");
    }
    std::memset(sector, 0, sizeof sector);
    readSec(drive, kMovieFirstSector, 1, sector);
    if (std::memcmp(sector, kMovieSignature, sizeof kMovieSignature) != 0) {
        std::printf("? not found VRO\n");
    }

    std::uint32_t endLba = 0;
    getLastSectorLBA(drive, &endLba);

    std::printf("# = %d sectors\n", static_cast<int>(kProgressMarkSectors));
    std::printf("Writing VR_MANGR.IFO\n");
    std::printf("sector count = %d\n", static_cast<int>(kManagementSectors));
    saveSec(drive, kManagementFirstSector, kManagementSectors, "VR_MANGR.IFO");

    const auto movieCount = static_cast<std::int32_t>(endLba - kMovieFirstSector);
    std::printf("Writing VR_MOVIE.VRO\n");
    std::printf("sector count = %d\n", movieCount);
    saveSec(drive, kMovieFirstSector, static_cast<std::uint32_t>(movieCount), "VR_MOVIE.VRO");

    closeDevice(drive);
}

void checkProfile(DriveHandle drive)
{
    alignas(16) std::uint8_t header[kFeatureHeaderLength] = {};
    GetConfiguration(drive, 0, header, kFeatureHeaderLength);
    const std::uint32_t profile = ReverseEndianWord(GetWord(header, 6));
    if (profile == 0) {
        error("No disk");
    }
    if (profile != kProfileDvdRwRestrictedOverwrite) {
        error("Not DVD-RW VR");
    }
}

void readSec(DriveHandle drive, std::uint32_t lba, std::uint32_t count, void* buffer)
{
    ReadSectors(drive, lba, buffer, static_cast<std::uint16_t>(count));
}

std::uint32_t getLastTrackNumber(DriveHandle drive, std::uint32_t* trackNumber)
{
    alignas(16) std::uint8_t information[kDiscInformationLength] = {};
    ReadDiscInformation(drive, information);
    *trackNumber = information[6] + 256u * information[11];
    return *trackNumber;
}

void getLastSectorLBA(DriveHandle drive, std::uint32_t* endLba)
{
    std::uint32_t track = 0;
    getLastTrackNumber(drive, &track);
    alignas(16) std::uint8_t information[kTrackInformationLength] = {};
    ReadTrackInformation(drive, track, information);
    if ((information[7] & 2u) != 0) {
        *endLba = ReverseEndianDWord(GetDWord(information, 28)) + 1;
    } else if ((information[7] & 1u) != 0) {
        *endLba = ReverseEndianDWord(GetDWord(information, 12));
    } else {
        error("Can't find Last Sector Address");
    }
}

void saveSec(DriveHandle drive, std::uint32_t firstLba, std::uint32_t count, const char* fileName)
{
    FileHandle file = nullptr;
    openFileForOutput(fileName, &file);
    saveSec_sub__sub1(drive, firstLba, count, file);
    closeFile(file);
}

void saveSec_sub__sub1(DriveHandle drive, std::uint32_t firstLba, std::uint32_t count, FileHandle file)
{
    bool marked = false;
    alignas(16) std::uint8_t sector[kSectorSize];
    const std::uint32_t end = firstLba + count;
    for (std::uint32_t i = firstLba; i < end; i++) {
        // Cleared before each read: a short transfer leaves zeros, never the
        // previous sector's bytes, in the rest of the buffer.
        std::memset(sector, 0, sizeof sector);
        ReadASector(drive, i, sector);
        saveFile(file, sector, kSectorSize);
        if (((i - firstLba) & (kProgressMarkSectors - 1)) == kProgressMarkSectors - 1) {
            std::printf("#");
            std::fflush(stdout);
            marked = true;
        }
    }
    if (marked) {
        std::printf("\n");
    }
}

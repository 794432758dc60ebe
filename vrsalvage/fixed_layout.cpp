// The default mode: the recording files copied from their fixed positions.
#include <cstdio>
#include <cstring>
#include <string>

#include "report.h"
#include "support.h"
#include "vrsalvage.h"

namespace {

const std::uint8_t kManagementSignature[12] = {'D', 'V', 'D', '_', 'R', 'T', 'R', '_', 'V', 'M', 'G', '0'};
const std::uint8_t kMovieSignature[5] = {0x00, 0x00, 0x01, 0xBA, 0x44};

}  // namespace

void copyFixedLayout(const char* devicePath)
{
    Drive drive = Drive::open(devicePath);
    requireRestrictedOverwrite(drive);
    checkSignatures(drive);
    const std::uint32_t end = recordedAreaEnd(drive);

    std::printf("# = %d sectors\n", static_cast<int>(kProgressMarkSectors));
    std::printf("Writing VR_MANGR.IFO\n");
    std::printf("sector count = %d\n", static_cast<int>(kManagementSectors));
    copySectorsToFile(drive, kManagementFirstSector, kManagementSectors, "VR_MANGR.IFO");

    const auto movieCount = static_cast<std::int32_t>(end - kMovieFirstSector);
    std::printf("Writing VR_MOVIE.VRO\n");
    std::printf("sector count = %d\n", movieCount);
    copySectorsToFile(drive, kMovieFirstSector, static_cast<std::uint32_t>(movieCount), "VR_MOVIE.VRO");
}

void requireRestrictedOverwrite(Drive& drive)
{
    const std::uint16_t profile = currentProfile(drive);
    if (profile == 0) {
        fail("No disk");
    }
    if (profile != kProfileDvdRwRestrictedOverwrite) {
        fail("Not DVD-RW VR");
    }
}

void checkSignatures(Drive& drive)
{
    alignas(16) SectorBuffer sector{};
    read10(drive, kManagementFirstSector, sector.data(), 1);
    if (std::memcmp(sector.data(), kManagementSignature, sizeof kManagementSignature) != 0) {
        std::printf("? not found IFO\n");
    }
    sector.fill(0);
    read10(drive, kMovieFirstSector, sector.data(), 1);
    if (std::memcmp(sector.data(), kMovieSignature, sizeof kMovieSignature) != 0) {
        std::printf("? not found VRO\n");
    }
}

std::uint32_t recordedAreaEnd(Drive& drive)
{
    const std::optional<std::uint64_t> end = recordedEnd(readLastTrackInformation(drive));
    if (!end) {
        fail("Can't find Last Sector Address");
    }
    // Held to 32 bits as a sector number: a Last Recorded Address of
    // 0xFFFFFFFF gives an end of 0.
    return static_cast<std::uint32_t>(*end);
}

void copySectorsToFile(Drive& drive, std::uint32_t first, std::uint32_t count, const char* fileName)
{
    OutputFile file = OutputFile::createNew(fileName);
    bool marked = false;
    alignas(16) SectorBuffer sector;
    const std::uint32_t end = first + count;
    for (std::uint32_t lba = first; lba < end; lba++) {
        // Cleared before each read: a short transfer leaves zeros, never the
        // previous sector's bytes, in the rest of the buffer.
        sector.fill(0);
        readSector(drive, lba, sector.data());
        file.write(sector.data(), kSectorSize);
        if (((lba - first) & (kProgressMarkSectors - 1)) == kProgressMarkSectors - 1) {
            std::printf("#");
            std::fflush(stdout);
            marked = true;
        }
    }
    if (marked) {
        std::printf("\n");
    }
}

// vrsalvage's default mode: the copy of the two recording files from their
// fixed positions (copyFixedLayout), on a disc image taken from the input.
//
// A normal return is checked against the image: VR_MANGR.IFO must hold
// sectors 8752-10111 and VR_MOVIE.VRO sectors 10112 up to the end of the
// recorded area that the emulated drive reports (nothing when that end lies
// below 10112), and the program may get that far only on a DVD-RW in
// Restricted Overwrite mode whose recorded area it could find.
#include <cstddef>
#include <cstdint>
#include <string>

#include "harness.h"
#include "vrsalvage.h"

namespace {

// 32 MiB of image: the movie area still holds more than 4096 sectors (a
// progress mark), and one input costs at most some 7600 sector copies.
constexpr std::uint32_t kMaxSectors = 16384;

void copyFiles(const char* imagePath, const fuzz::Disc& /*disc*/)
{
    copyFixedLayout(imagePath, RunOptions{});
}

void expectFile(const char* name, std::uint32_t first, std::uint32_t count, std::uint32_t sectors)
{
    if (std::uint64_t{first} + count > sectors) {
        fuzz::finding("%s: sectors %u-%u copied from an image of %u sectors", name, first, first + count - 1, sectors);
    }
    if (!fuzz::outputEqualsImage(name, first, count)) {
        std::uint64_t size = 0;
        const bool exists = fuzz::outputSize(name, &size);
        fuzz::finding("%s: %s, not sectors %u-%u of the image", name,
                      exists ? (std::to_string(size) + " bytes").c_str() : "missing", first, first + count - 1);
    }
}

void check(const fuzz::Disc& disc, const fuzz::Outcome& outcome)
{
    if (outcome.ended || disc.dataFault) {
        return;
    }
    const ImageDriveSettings& s = disc.settings;
    if (s.profile != kProfileDvdRwRestrictedOverwrite) {
        fuzz::finding("copy completed for profile 0x%04X", s.profile);
    }
    const std::uint32_t lastSector = disc.sectors == 0 ? 0 : disc.sectors - 1;
    std::uint32_t end = 0;
    if (s.lraValid) {
        end = s.lastRecordedAddress.value_or(lastSector) + 1;
    } else if (s.nwaValid) {
        end = s.nextWritableAddress.value_or(disc.sectors);
    } else {
        fuzz::finding("copy completed without a valid LRA or NWA");
    }
    expectFile("VR_MANGR.IFO", kManagementFirstSector, kManagementSectors, disc.sectors);
    expectFile("VR_MOVIE.VRO", kMovieFirstSector, end > kMovieFirstSector ? end - kMovieFirstSector : 0, disc.sectors);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Disc disc;
    fuzz::loadDisc(data, size, kMaxSectors, &disc);
    fuzz::runProgram(disc, copyFiles, check);
    return 0;
}

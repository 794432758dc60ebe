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

// A disc of 512 movie sectors at the most, so that one input costs some
// 1900 sector copies and the harness runs over a thousand inputs a second.
// An input whose flags byte has bit 0x80 set gets 32 MiB of image: the movie
// area then holds more than 4096 sectors (a progress mark).
constexpr std::uint32_t kMaxSectors = 10112 + 512;
constexpr std::uint32_t kMaxLargeSectors = 16384;
constexpr std::uint8_t kLargeDisc = 0x80;

void copyFiles(const char* imagePath, const fuzz::Disc& /*disc*/, DriveHooks& /*hooks*/)
{
    copyFixedLayout(imagePath, RunOptions{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::keepFilesInMemory();
    fuzz::Disc disc;
    const bool large = size > 0 && (data[0] & kLargeDisc) != 0;
    fuzz::loadDisc(data, size, large ? kMaxLargeSectors : kMaxSectors, &disc);
    fuzz::runProgram(disc, copyFiles, fuzz::checkFixedLayoutCopy);
    return 0;
}

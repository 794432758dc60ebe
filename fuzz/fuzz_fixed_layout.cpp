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

void copyFiles(const char* imagePath, const fuzz::Disc& /*disc*/, DriveHooks& /*hooks*/)
{
    copyFixedLayout(imagePath, RunOptions{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Disc disc;
    fuzz::loadDisc(data, size, kMaxSectors, &disc);
    fuzz::runProgram(disc, copyFiles, fuzz::checkFixedLayoutCopy);
    return 0;
}

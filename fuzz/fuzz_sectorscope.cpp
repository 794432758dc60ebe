// sectorscope: the chain from the device path to the block dump (dumpPartitionBlock), on a
// disc image and a block number taken from the input.
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "sectorscope.h"

namespace {

// 64 MiB of image.
constexpr std::uint32_t kMaxSectors = 32768;

void showBlock(const char* imagePath, const fuzz::Disc& disc, DriveHooks& /*hooks*/)
{
    dumpPartitionBlock(imagePath, disc.blockNumber);
}

void check(const fuzz::Disc& disc, const fuzz::Outcome& outcome)
{
    // Only a DVD medium gets as far as a dump.
    if (!outcome.ended && (disc.settings.profile < 0x0010 || disc.settings.profile > 0x001B)) {
        fuzz::finding("block shown for profile 0x%04X", disc.settings.profile);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Disc disc;
    fuzz::loadDisc(data, size, kMaxSectors, &disc);
    fuzz::runProgram(disc, showBlock, check);
    return 0;
}

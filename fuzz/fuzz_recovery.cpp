// vrsalvage -r: the UDF walk to the recording files, the reusable-area map
// and the recovery writer (recoverReusableAreas), on a disc image taken from the input.
// Inputs whose byte sum is odd run with --keep-going: every structure that
// cannot be read or used is then passed over with a notice.
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "vrsalvage.h"

namespace {

// 64 MiB of image.
constexpr std::uint32_t kMaxSectors = 32768;

bool g_keepGoing = false;

void salvage(const char* imagePath, const fuzz::Disc& /*disc*/, DriveHooks& /*hooks*/)
{
    RunOptions options;
    options.keepGoing = g_keepGoing;
    recoverReusableAreas(imagePath, options);
}

void check(const fuzz::Disc& disc, const fuzz::Outcome& outcome)
{
    if (outcome.ended) {
        return;
    }
    if (disc.settings.profile < kFirstDvdVrProfile || disc.settings.profile > kLastDvdVrProfile) {
        fuzz::finding("recovery completed for profile 0x%04X", disc.settings.profile);
    }
    // Whole sectors only; with the fixed layout the management file's Phase 1
    // spans the 1360 sectors of its area at the most, and it has no Phase 2.
    const bool fixedLayout = disc.settings.profile == kProfileDvdRwRestrictedOverwrite;
    std::uint64_t size = 0;
    if (fuzz::outputSize("VR_MANGR_R.IFO", &size) &&
        (size % fuzz::kSector != 0 || (fixedLayout && size > std::uint64_t{kManagementSectors} * fuzz::kSector))) {
        fuzz::finding("VR_MANGR_R.IFO of %llu bytes", static_cast<unsigned long long>(size));
    }
    if (fuzz::outputSize("VR_MOVIE_R.VRO", &size) && size % fuzz::kSector != 0) {
        fuzz::finding("VR_MOVIE_R.VRO of %llu bytes", static_cast<unsigned long long>(size));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Disc disc;
    fuzz::loadDisc(data, size, kMaxSectors, &disc);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; i++) {
        sum += data[i];
    }
    g_keepGoing = (sum & 1) != 0;
    fuzz::runProgram(disc, salvage, check);
    return 0;
}

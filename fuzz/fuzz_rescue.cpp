// vrsalvage --keep-going with a mapfile: the default mode's copy through the
// read engine on a disc with the input's fault and up to eight unreadable
// sectors more, then the same run again on the same disc without them.
//
// The resumed run must leave exactly what a clean run leaves: both files
// hold the image's sectors, whatever the first run read, skipped, zeroed or
// wrote into the mapfile. Byte 1's high bits choose the retries (0 to 3);
// the unreadable sectors come from the input's checksum.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "harness.h"
#include "report.h"
#include "vrsalvage.h"

namespace {

// 32 MiB of image, as for the default mode's harness.
constexpr std::uint32_t kMaxSectors = 16384;
constexpr int kExtraFaults = 8;

void rescueTwice(const char* imagePath, const fuzz::Disc& disc)
{
    RunOptions options;
    options.keepGoing = true;
    options.mapfile = "rescue.map";
    options.retries = disc.retries;
    try {
        copyFixedLayout(imagePath, options);
    } catch (const FatalError&) {
        // What it left behind is the second run's to resume.
    }
    imageDriveSettings().faults.clear();
    copyFixedLayout(imagePath, options);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Disc disc;
    fuzz::loadDisc(data, size, kMaxSectors, &disc);
    disc.retries = size > 1 ? (data[1] >> 6) : 0;
    // A recorded area reported far past the image is read, skipped and
    // scraped sector by sector all the same, at a few thousand sectors a
    // second: it is kept to a few ECC blocks past the end.
    const std::uint32_t farthest = disc.sectors + 64;
    std::optional<std::uint32_t>& lra = disc.settings.lastRecordedAddress;
    std::optional<std::uint32_t>& nwa = disc.settings.nextWritableAddress;
    if (lra && *lra >= farthest) {
        lra = farthest - 1;
    }
    if (nwa && *nwa > farthest) {
        nwa = farthest;
    }
    std::uint64_t hash = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; i++) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    for (int i = 0; i < kExtraFaults && disc.sectors > kManagementFirstSector; i++) {
        ImageFault fault;
        fault.opcode = 0x28;
        fault.lba = kManagementFirstSector + static_cast<std::int64_t>(hash % (disc.sectors - kManagementFirstSector));
        fault.times = static_cast<std::uint32_t>((hash >> 20) % 4);  // 0: never; 3: past one retry
        disc.settings.faults.push_back(fault);
        hash = hash * 6364136223846793005ull + 1442695040888963407ull;
    }
    // A fault that hands over wrong data with GOOD status (disc.dataFault)
    // is marked rescued like good data: then the check proves nothing.
    fuzz::runProgram(disc, rescueTwice, fuzz::checkRescuedFixedLayoutCopy);
    return 0;
}

#include "sectorscope.h"

#include <cstdio>
#include <string>

#include "report.h"
#include "support.h"
#include "udf.h"

namespace {

// One past the last recorded sector; the Track Size when the track gives
// neither address.
std::uint32_t recordedAreaEnd(Drive& drive)
{
    const TrackInformation track = readLastTrackInformation(drive);
    return static_cast<std::uint32_t>(recordedEnd(track).value_or(track.trackSize));
}

}  // namespace

int runSectorscope(int argc, char** argv)
{
    if (argc != 3) {
        std::printf("parameters: <Drive Letter> <Block Number>");
        return 0;
    }
    return runReportingFatalErrors([&] {
        const std::string path = devicePath(argv[1]);
        dumpPartitionBlock(path.c_str(), parseNumber(argv[2]));
        return 0;
    });
}

void dumpPartitionBlock(const char* devicePath, std::uint32_t blockNumber)
{
    Drive drive = Drive::open(devicePath);
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const Partition partition = readPartition(drive, readAnchor(drive));
    const std::uint32_t end = recordedAreaEnd(drive);
    // A partition that starts at or beyond the end of the recorded area has
    // no recorded block; the unsigned difference alone would wrap round.
    if (partition.start >= end || blockNumber >= end - partition.start) {
        fail("Block Number error");
    }
    alignas(16) SectorBuffer block{};
    readSector(drive, partition.start + blockNumber, block.data());
    printHexDump(block.data(), kSectorSize);
}

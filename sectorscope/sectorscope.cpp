#include "sectorscope.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "report.h"
#include "support.h"
#include "udf.h"
#include "version.h"

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
    // Options go before the drive argument; without them the arguments keep
    // their meaning.
    std::vector<char*> arguments;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "usage: sectorscope [--help] [--version] <Drive Letter> <Block Number>\n"
                "Prints a hexadecimal dump of block <Block Number> (decimal, or hexadecimal\n"
                "after 0x) of the disc's UDF partition. The drive argument is a drive letter\n"
                "on Windows; elsewhere a device node (/dev/sr0, /dev/sg1) or a disc image file.\n"
                "Exit status: 0 done, 2 usage error, 255 fatal error.\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("sectorscope %s\n", kVersion);
            return 0;
        }
        if (std::strncmp(argv[i], "--", 2) == 0) {
            std::printf("unknown option: %s\n", argv[i]);
            return 2;
        }
        arguments.push_back(argv[i]);
    }
    if (arguments.size() != 2) {
        std::printf("parameters: <Drive Letter> <Block Number>");
        return 0;
    }
    return runReportingFatalErrors([&] {
        const std::string path = devicePath(arguments[0]);
        dumpPartitionBlock(path.c_str(), parseNumber(arguments[1]));
        return 0;
    });
}

void dumpPartitionBlock(const char* devicePath, std::uint32_t blockNumber)
{
    Drive drive = Drive::open(devicePath);
    requireDvdMedium(drive);
    requireExtendedArea(drive);
    const SectorExtent sequence = readAnchor(drive).mainSequence;
    Partition partition = readPartition(drive, sequence);
    // The block is read where the file system reads it: a spared packet
    // from its spare location, a virtual block where its table puts it.
    applyVolumePartitionMap(drive, sequence, partition);
    const std::uint32_t end = recordedAreaEnd(drive);
    // A partition that starts at or beyond the end of the recorded area has
    // no recorded block; the unsigned difference alone would wrap round.
    if (partition.start >= end || blockNumber >= end - partition.start) {
        fail("Block Number error");
    }
    const std::uint32_t sector = partitionSector(partition, blockNumber);
    if (sector >= end) {
        fail("Block Number error");
    }
    alignas(16) SectorBuffer block{};
    readSector(drive, sector, block.data());
    printHexDump(block.data(), kSectorSize);
}

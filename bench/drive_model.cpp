// The modelled drive time of copying a whole disc through the emulated drive:
// one READ (10) per sector, one per 16-sector ECC block, and the longer reads
// the copies make (64 KiB when the platform cannot tell the adapter's limit,
// and the longest they ask for). The drive model adds a fixed latency per
// command and the data at the media rate; the host time is what the emulated
// drive itself took. The media-rate bound is the data alone at the media rate.
//
// Usage: drive_model [--latency MS] [--rate MB/S] [--sectors N] [--dir DIR]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "drive_hooks.h"
#include "mmc.h"
#include "read_engine.h"
#include "report.h"
#include "scsi.h"

namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;

struct Pattern {
    const char* name;
    std::uint32_t sectorsPerCommand;
};

struct Figures {
    std::uint64_t commands = 0;
    std::uint64_t failed = 0;
    double modelled = 0;
    double host = 0;
};

Figures copyDisc(DriveHooks& hooks, Drive& drive, std::uint32_t sectors, std::uint32_t perCommand)
{
    std::vector<std::uint8_t> buffer(std::size_t{perCommand} * kSectorSize);
    hooks.settings.modelledSeconds = 0;
    Figures figures;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t lba = 0; lba < sectors; lba += perCommand) {
        const std::uint32_t count = sectors - lba < perCommand ? sectors - lba : perCommand;
        const CommandOutcome outcome = tryRead10(drive, lba, buffer.data(), static_cast<std::uint16_t>(count));
        figures.commands++;
        figures.failed += outcome.complete() ? 0 : 1;
    }
    figures.host = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.modelled = hooks.settings.modelledSeconds;
    return figures;
}

std::string minutes(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d min %02d s", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
    return text;
}

int usage()
{
    std::fprintf(stderr, "usage: drive_model [--latency MS] [--rate MB/S] [--sectors N] [--dir DIR]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    double latencyMs = 0.2;
    double rateMBs = 11.0;
    std::uint32_t sectors = 2298496;  // a single-layer DVD of 4.7 GB
    std::string dir = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return usage();
        }
        const char* value = argv[++i];
        if (option == "--latency") {
            latencyMs = std::strtod(value, nullptr);
        } else if (option == "--rate") {
            rateMBs = std::strtod(value, nullptr);
        } else if (option == "--sectors") {
            sectors = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (option == "--dir") {
            dir = value;
        } else {
            return usage();
        }
    }
    if (latencyMs < 0 || rateMBs <= 0 || sectors == 0) {
        return usage();
    }

    // A sparse image: its sectors read as zeros from the page cache.
    std::string image = dir + "/drive_model.XXXXXX";
    const int fd = mkstemp(image.data());
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(std::uint64_t{sectors} * kSectorSize)) != 0) {
        std::perror("drive_model: image");
        return 1;
    }
    close(fd);

    DriveHooks hooks;
    hooks.settings.commandLatency = latencyMs / 1000;
    hooks.settings.mediaRate = rateMBs * 1e6;
    const Pattern patterns[] = {{"one sector per READ (10)", 1},
                                {"16-sector ECC blocks", kEccBlockSectors},
                                {"32 sectors (64 KiB)", kDefaultTransferSectors},
                                {"512 sectors (1 MiB)", kMaxTransferSectors}};
    const double bytes = static_cast<double>(std::uint64_t{sectors} * kSectorSize);
    const double gib = bytes / kGiB;
    const int status = runReportingFatalErrors([&] {
        Drive drive = Drive::open(image.c_str());
        std::printf("Drive model: %.3f ms a command, %.1f MB/s; disc of %u sectors (%.2f GB)\n\n", latencyMs, rateMBs,
                    sectors, bytes / 1e9);
        const double bound = bytes / (rateMBs * 1e6);
        std::printf("Media-rate bound: %.1f s (%s)\n\n", bound, minutes(bound).c_str());
        std::printf(
            "| Reads | Commands | Commands per GiB | Modelled drive time | Over the bound | Host time of the emulated "
            "drive |\n");
        std::printf("|---|--:|--:|--:|--:|--:|\n");
        for (const Pattern& pattern : patterns) {
            const Figures f = copyDisc(hooks, drive, sectors, pattern.sectorsPerCommand);
            if (f.failed != 0) {
                std::printf("%llu commands failed\n", static_cast<unsigned long long>(f.failed));
                return 1;
            }
            std::printf("| %s | %llu | %.0f | %.1f s (%s) | %.1f %% | %.2f s |\n", pattern.name,
                        static_cast<unsigned long long>(f.commands), static_cast<double>(f.commands) / gib, f.modelled,
                        minutes(f.modelled).c_str(), 100 * (f.modelled / bound - 1), f.host);
        }
        return 0;
    });
    unlink(image.c_str());
    return status;
}

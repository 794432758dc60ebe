// The keep-going rescue engine over a small disc: up to four target files
// whose sector runs come from the input, faults, a crash at a chosen READ,
// a resume with another disc, and a last resume on a good day.
//
// What must hold, whatever the input:
// - after the crashed run, every sector the mapfile marks rescued holds the
//   disc's bytes in its file;
// - a run with another disc (other content, or another size) is refused and
//   leaves the files and the mapfile byte for byte as they were;
// - the last run, without faults, leaves every file holding exactly the
//   disc's sectors, and never writes a sector the mapfile marked rescued
//   (the engine checks that itself and ends the run with an internal error).
//
// Input: the format of harness.h, with these fields read differently:
//   1   u8   high two bits: retries (0 to 3)
//   8   8 x u16  runs: first sector (low byte times 2, modulo the disc) and
//            count (high byte), dealt to the targets in turn after sorting
//   20  u8   the READ (10) at which the first run crashes (0: none)
//   21  u8   bit 0: the other disc is of another size, not other content
// The disc holds at most kMaxSectors sectors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "read_engine.h"
#include "report.h"

namespace {

constexpr std::uint32_t kMaxSectors = 128;
constexpr int kExtraFaults = 8;
constexpr int kTargets = 4;
const char* const kMapfile = "rescue.map";
const char* const kNames[kTargets] = {"T0.BIN", "T1.BIN", "T2.BIN", "T3.BIN"};

struct Crash {};

std::uint32_t g_crashAt = 0;

void crashAtChosenRead(std::uint32_t number)
{
    if (number == g_crashAt) {
        throw Crash{};
    }
}

std::string readAll(const char* name)
{
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return "(none)";
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t n = pread(fd, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    close(fd);
    return bytes;
}

// Whether the file holds the image's sector `lba` at `offset` (zeros past
// the image's end).
bool holdsSector(const std::string& file, std::uint64_t offset, const std::string& image, std::uint64_t lba)
{
    static const std::string zeros(fuzz::kSector, '\0');
    const std::uint64_t at = lba * fuzz::kSector;
    if (file.size() < offset + fuzz::kSector) {
        return false;
    }
    return at < image.size() ? file.compare(offset, fuzz::kSector, image, at, fuzz::kSector) == 0
                             : file.compare(offset, fuzz::kSector, zeros) == 0;
}

std::map<std::string, std::string> snapshot()
{
    std::map<std::string, std::string> files;
    files[kMapfile] = readAll(kMapfile);
    for (const char* name : kNames) {
        files[name] = readAll(name);
    }
    return files;
}

struct Plan {
    std::vector<CopyTarget> targets;
    std::uint32_t retries = 0;
    std::uint32_t crashAt = 0;
    bool otherSize = false;
};

Plan planFrom(const std::uint8_t* data, std::size_t size, std::uint32_t sectors)
{
    std::uint8_t h[fuzz::kHeaderSize] = {};
    std::memcpy(h, data, std::min(size, fuzz::kHeaderSize));
    Plan plan;
    plan.retries = h[1] >> 6;
    plan.crashAt = h[20];
    plan.otherSize = (h[21] & 1u) != 0;
    std::vector<SectorRun> runs;
    for (int i = 0; i < 8 && sectors > 0; i++) {
        const std::uint32_t first = (2u * h[8 + 2 * i]) % sectors;
        const std::uint32_t count = std::min<std::uint32_t>(h[9 + 2 * i], sectors + 8 - first);
        if (count > 0) {
            runs.push_back(SectorRun{first, count});
        }
    }
    // Sorted and cut where they overlap, so that no two targets share a
    // sector; each target's runs stay in order on the disc.
    std::sort(runs.begin(), runs.end(), [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
    std::uint32_t end = 0;
    plan.targets.resize(kTargets);
    for (int i = 0; i < kTargets; i++) {
        plan.targets[static_cast<std::size_t>(i)].fileName = kNames[i];
    }
    std::size_t next = 0;
    for (SectorRun run : runs) {
        if (run.first < end) {
            const std::uint32_t cut = std::min(run.count, end - run.first);
            run.first += cut;
            run.count -= cut;
        }
        if (run.count == 0) {
            continue;
        }
        plan.targets[next++ % kTargets].runs.push_back(run);
        end = run.first + run.count;
    }
    return plan;
}

// One run of the engine over the targets; false when it crashed.
bool rescue(const char* imagePath, const Plan& plan, const DiscIdentity& identity)
{
    try {
        Drive drive = Drive::open(imagePath);
        RescueSettings settings;
        settings.retries = plan.retries;
        settings.mapfile = kMapfile;
        RescueSession session(drive, settings, identity);
        for (const CopyTarget& target : plan.targets) {
            if (!session.copy(target)) {
                break;
            }
        }
        session.finish();
    } catch (const Crash&) {
        return false;
    }
    return true;
}

// Every sector of a target that the mapfile marks rescued holds the disc's
// bytes in the file; with `all`, every sector must.
void checkTargets(const char* imagePath, const Plan& plan, std::uint32_t sectors, bool all, const char* when)
{
    std::string error;
    const std::optional<RescueMap> map = parseRescueMap(readAll(kMapfile), &error);
    if (!map) {
        fuzz::finding("%s: the mapfile does not parse: %s", when, error.c_str());
    }
    if (std::getenv("VRS_FUZZ_DEBUG")) {
        std::fprintf(stderr, "--- %s\n%s\n", when, readAll(kMapfile).c_str());
    }
    const std::string image = readAll(imagePath);
    for (const CopyTarget& target : plan.targets) {
        const std::string file = readAll(target.fileName.c_str());
        std::uint64_t offset = 0;
        for (const SectorRun& run : target.runs) {
            for (std::uint64_t lba = run.first; lba < run.first + run.count; lba++, offset += fuzz::kSector) {
                const bool rescued = rescuedThroughout(*map, lba * fuzz::kSector, fuzz::kSector);
                if (lba >= sectors) {
                    // Past the image: no drive reads it, and it is zeros in its place.
                    if (rescued || (all && !holdsSector(file, offset, image, lba))) {
                        fuzz::finding("%s: sector %llu past the disc in %s", when, static_cast<unsigned long long>(lba),
                                      target.fileName.c_str());
                    }
                    continue;
                }
                if (!all && !rescued) {
                    continue;
                }
                if (all && !rescued) {
                    fuzz::finding("%s: sector %llu of %s not rescued", when, static_cast<unsigned long long>(lba),
                                  target.fileName.c_str());
                }
                if (!holdsSector(file, offset, image, lba)) {
                    fuzz::finding("%s: %s does not hold rescued sector %llu", when, target.fileName.c_str(),
                                  static_cast<unsigned long long>(lba));
                }
            }
        }
    }
}

fuzz::Disc g_disc;
Plan g_plan;

void crashRefuseResume(const char* imagePath, const fuzz::Disc& disc, DriveHooks& hooks)
{
    const DiscIdentity identity{"fuzz", 0x0013, disc.sectors, "disc", 1};
    g_crashAt = g_plan.crashAt;
    hooks.settings.onRead = crashAtChosenRead;
    bool ended = false;
    try {
        rescue(imagePath, g_plan, identity);
    } catch (const FatalError&) {
        ended = true;  // what it left behind is the next runs' to resume
    }
    hooks.settings.onRead = nullptr;
    if (!disc.dataFault) {
        checkTargets(imagePath, g_plan, disc.sectors, false, ended ? "after a fatal end" : "after the first run");
    }

    // Another disc in the drive: refused before anything is written.
    const std::map<std::string, std::string> before = snapshot();
    DiscIdentity other = identity;
    if (g_plan.otherSize) {
        other.recordedEnd++;
    } else {
        other.fingerprint = 2;
    }
    bool refused = false;
    try {
        rescue(imagePath, g_plan, other);
    } catch (const FatalError& error) {
        refused = error.report.find("describes another disc") != std::string::npos;
    }
    if (!refused) {
        fuzz::finding("a mapfile of another disc was not refused");
    }
    if (snapshot() != before) {
        fuzz::finding("a refused resume changed the files or the mapfile");
    }

    // A good day: no faults, no crash; everything read.
    hooks.settings.faults.clear();
    rescue(imagePath, g_plan, identity);
    if (!disc.dataFault) {
        checkTargets(imagePath, g_plan, disc.sectors, true, "after the last run");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::loadDisc(data, size, kMaxSectors, &g_disc);
    g_disc.retries = size > 1 ? (data[1] >> 6) : 0;
    // A drive with a disc in it: the engine is not the one to ask for one.
    g_disc.settings.profile = 0x0013;
    g_plan = planFrom(data, size, g_disc.sectors);
    std::uint64_t hash = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; i++) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    for (int i = 0; i < kExtraFaults && g_disc.sectors > 0; i++) {
        ImageFault fault;
        fault.opcode = 0x28;
        fault.lba = static_cast<std::int64_t>(hash % (g_disc.sectors + 8));
        fault.times = static_cast<std::uint32_t>((hash >> 20) % 4);  // 0: never; 3: past one retry
        g_disc.settings.faults.push_back(fault);
        hash = hash * 6364136223846793005ull + 1442695040888963407ull;
    }
    fuzz::runProgram(g_disc, crashRefuseResume);
    return 0;
}

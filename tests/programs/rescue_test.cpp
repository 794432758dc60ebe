// vrsalvage --keep-going and --mapfile: unreadable sectors through the
// emulated drive, the files and the mapfile they leave, and the resumed run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "report_sink.h"
#include "rescue_map.h"
#include "version.h"
#include "vrdisc.h"
#include "vrsalvage.h"

namespace {

using Lbas = std::set<std::uint32_t>;

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

ImageFault unreadable(std::uint32_t lba, std::uint32_t times = UINT32_MAX)
{
    ImageFault fault;
    fault.opcode = 0x28;
    fault.lba = lba;
    fault.times = times;
    return fault;
}

Lbas span(std::uint32_t first, std::uint32_t end)
{
    const std::vector<std::uint32_t> lbas = range(first, end);
    return Lbas(lbas.begin(), lbas.end());
}

// The sectors a mapfile marks bad ('-').
Lbas badInMapfileText(const std::string& text)
{
    std::string error;
    const std::optional<RescueMap> map = parseRescueMap(text, &error);
    EXPECT_TRUE(map.has_value()) << error;
    Lbas bad;
    for (const RescueBlock& block : map ? map->blocks : std::vector<RescueBlock>{}) {
        for (std::uint64_t p = block.position;
             block.status == RescueStatus::BadSector && p < block.position + block.size; p += 2048) {
            bad.insert(static_cast<std::uint32_t>(p / 2048));
        }
    }
    return bad;
}

// The bad sectors GNU ddrescuelog reads from a mapfile; without the tool,
// those the test expects, so that only its own check is skipped.
Lbas ddrescuelogBadSectors(const std::string& mapfile)
{
    if (std::system("ddrescuelog --version > /dev/null 2>&1") != 0) {
        return badInMapfileText(readFile(mapfile));
    }
    Lbas bad;
    std::FILE* list = popen(("ddrescuelog -b 2048 -l- " + mapfile).c_str(), "r");
    unsigned long lba = 0;
    while (list != nullptr && std::fscanf(list, "%lu", &lba) == 1) {
        bad.insert(static_cast<std::uint32_t>(lba));
    }
    EXPECT_EQ(list != nullptr ? pclose(list) : -1, 0);
    return bad;
}

class Rescue : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        image = standardDisc().write("rescue.img");
        disc = readFile(image);
    }
    void TearDown() override { hooks.reset(); }

    // Image sectors [first, end) with zeros in place of `bad` ones.
    std::string expected(std::uint32_t first, std::uint32_t end, const Lbas& bad) const
    {
        std::string bytes;
        for (std::uint32_t lba = first; lba < end; lba++) {
            bytes += bad.count(lba) != 0 ? std::string(2048, '\0') : disc.substr(std::size_t{lba} * 2048, 2048);
        }
        return bytes;
    }

    static Lbas badInMapfile(const std::string& text) { return badInMapfileText(text); }

    std::string image;
    std::string disc;
};

TEST_F(Rescue, UnreadableSectorsAreZerosInPlaceMappedAndResumed)
{
    struct Case {
        const char* name;
        std::vector<std::uint32_t> faults;  // sectors that never read
        bool reusable;                      // -r
        Lbas bad;                           // sectors lost in the files
    };
    const std::vector<Case> cases = {
        {"single sectors", {9000, 10200}, false, {9000, 10200}},
        {"an ECC block", {}, false, span(10240, 10256)},
        {"100 blocks across both files", {}, false, span(8768, 10368)},
        {"the last sector", {10411}, false, {10411}},
        {"the movie file's first sector", {10112}, false, {10112}},
        {"free blocks of both areas", {9800, 10220, 10221}, true, {9800, 10220, 10221}},
    };
    // Drives that take 16 and 64 sectors a read behind an adapter of 128 KiB
    // (the other tests read 32, the length tried when the platform cannot tell).
    const auto useDrive = [this](std::uint32_t limit) {
        hooks.settings.maxTransferSectors = limit;
        hooks.settings.adapterMaxTransferBytes = 128 * 1024;
    };
    for (const std::uint32_t limit : {16u, 64u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(limit) + " sectors a read");
            useDrive(limit);
            std::vector<std::uint32_t> faults = c.faults;
            if (faults.empty()) {
                faults.assign(c.bad.begin(), c.bad.end());
            }
            for (const std::uint32_t lba : faults) {
                hooks.settings.faults.push_back(unreadable(lba));
            }
            std::vector<std::string> arguments = {"--mapfile=run.map", "IMG"};
            if (c.reusable) {
                arguments.insert(arguments.begin() + 1, "-r");
            }
            hooks.settings.record = true;
            const Result damaged = runVrsalvage(image, arguments);
            EXPECT_EQ(damaged.outcome.status, 1) << damaged.outcome.out;
            EXPECT_NE(damaged.outcome.out.find("completed\n"), std::string::npos);
            if (c.reusable) {
                std::vector<std::uint32_t> free = range(9752, 10112);
                std::string management;
                std::string movie;
                for (const std::uint32_t lba : free) {
                    management += expected(lba, lba + 1, c.bad);
                }
                for (const std::uint32_t lba : range(10212, 10262)) {
                    movie += expected(lba, lba + 1, c.bad);
                }
                EXPECT_TRUE(damaged.file("VR_MANGR_R.IFO") == management);
                EXPECT_TRUE(damaged.file("VR_MOVIE_R.VRO") == movie);
            } else {
                EXPECT_TRUE(damaged.file("VR_MANGR.IFO") == expected(8752, 10112, c.bad));
                EXPECT_TRUE(damaged.file("VR_MOVIE.VRO") == expected(10112, 10412, c.bad));
            }
            EXPECT_EQ(badInMapfile(damaged.file("run.map")), c.bad);
            EXPECT_EQ(ddrescuelogBadSectors(damaged.directory + "/run.map"), c.bad);

            // The same run again without the faults reads only what is missing.
            hooks.reset();
            useDrive(limit);
            hooks.settings.record = true;
            const Result resumed = runVrsalvage(image, arguments, damaged.directory);
            EXPECT_EQ(resumed.outcome.status, 0) << resumed.outcome.out;
            const Result clean = runVrsalvage(image, {c.reusable ? "-r" : "--keep-going", "IMG"});
            for (const char* name : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
                EXPECT_TRUE(resumed.file(name) == clean.file(name)) << name;
            }
            EXPECT_TRUE(badInMapfile(resumed.file("run.map")).empty()) << resumed.file("run.map");
            hooks.reset();
        }
    }
}

TEST_F(Rescue, SectorsThatReadOnALaterTryAndAShortTransfer)
{
    // 10200 fails once (read by the sector-by-sector pass), 10300 twice (read
    // by the one retry), 10301 always; 10350 always comes back short.
    ImageFault shortRead;
    shortRead.kind = ImageFault::Kind::ShortTransfer;
    shortRead.lba = 10350;
    shortRead.transfer = 100;
    hooks.settings.faults = {unreadable(10200, 1), unreadable(10300, 2), unreadable(10301), shortRead};
    const Result r = runVrsalvage(image, {"--keep-going", "--retries=1", "IMG"});
    EXPECT_EQ(r.outcome.status, 1);
    EXPECT_TRUE(r.file("VR_MOVIE.VRO") == expected(10112, 10412, {10301, 10350}));
    EXPECT_NE(r.outcome.out.find("VR_MOVIE.VRO: 298 of 300 sectors read, 2 unreadable (4096 bytes lost, written as "
                                 "zeros) at sectors 10301, 10350\n"),
              std::string::npos)
        << r.outcome.out;
}

TEST_F(Rescue, RecordedAreaLargerThanADvdIsRefused)
{
    // Past 2^31 sectors the movie file's count reads as negative when signed.
    for (const std::uint32_t lra : {4u * 1024 * 1024 + 10112, 4294508799u}) {
        hooks.settings.lastRecordedAddress = lra;
        const Result r = runVrsalvage(image, {"--keep-going", "IMG"});
        EXPECT_EQ(r.outcome.status, 255) << lra;
        EXPECT_NE(r.outcome.out.find("VR_MOVIE.VRO: more sectors than a DVD holds\n"), std::string::npos)
            << r.outcome.out;
    }
}

TEST_F(Rescue, SectorsPastTheDisc)
{
    // The image ends at 10411. A drive that reports its recorded area far
    // beyond that and refuses reads there as out of range, with READ
    // CAPACITY agreeing, has those sectors unreadable without being asked
    // for each; one that refuses a sector within its capacity so is read on.
    ImageFault outOfRange = unreadable(10300);
    outOfRange.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x00, 0, 0, 0, 0};
    struct Case {
        const char* name;
        std::uint32_t beyond;  // sectors reported past the image
        std::vector<ImageFault> faults;
        Lbas bad;           // within the image
        const char* where;  // the bad sectors as the summary lists them
    };
    const std::vector<Case> cases = {
        {"a recorded area 100000 sectors past the disc", 100000, {}, {}, "sectors 10412-110411"},
        {"a sector within the capacity refused as out of range", 0, {outOfRange}, {10300}, "sector 10300"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hooks.reset();
        hooks.settings.record = true;
        hooks.settings.faults = c.faults;
        hooks.settings.lastRecordedAddress = kVrSectors - 1 + c.beyond;
        const std::string directory = freshDirectory();
        const ChildOutcome run = runChild([&] {
            std::string words[] = {"vrsalvage", "--keep-going", image};
            char* argv[] = {words[0].data(), words[1].data(), words[2].data(), nullptr};
            if (chdir(directory.c_str()) != 0) {
                return;
            }
            runVrsalvage(3, argv);
            std::printf("%zu commands\n", hooks.log.size());
        });
        const std::uint64_t bad = c.beyond + c.bad.size();
        const std::uint64_t total = kVrSectors - 10112 + c.beyond;
        const std::string summary = "VR_MOVIE.VRO: " + std::to_string(total - bad) + " of " + std::to_string(total) +
                                    " sectors read, " + std::to_string(bad) + " unreadable (" +
                                    std::to_string(bad * 2048) + " bytes lost, written as zeros) at " + c.where + "\n";
        EXPECT_NE(run.out.find(summary), std::string::npos) << run.out;
        const std::size_t commands = std::stoul(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1));
        EXPECT_LT(commands, 200u);
        std::ifstream movie(directory + "/VR_MOVIE.VRO", std::ios::binary);
        std::string held(std::size_t{kVrSectors - 10112} * 2048, '\0');
        movie.read(held.data(), static_cast<std::streamsize>(held.size()));
        EXPECT_TRUE(held == expected(10112, kVrSectors, c.bad));
        movie.seekg(0, std::ios::end);
        EXPECT_EQ(static_cast<std::uint64_t>(movie.tellg()), total * 2048);
    }
}

TEST_F(Rescue, LongReadsUpToWhatTheDriveTakesWithOrWithoutKeepGoing)
{
    // Sector 10203 never reads. The movie area is 10112-10411: 300 sectors,
    // 18 whole ECC blocks and 12 sectors of a last one; the management file
    // is read first, so a drive's limit is learned before the movie area.
    // With --keep-going the read that holds 10203 is read again by ECC block
    // and the failed block 10192-10207 sector by sector; without, the run
    // ends at 10203 after 10192-10202. The signature check reads 10112 alone.
    struct Case {
        const char* name;
        std::uint32_t driveLimit;    // sectors (0: any)
        bool refusedInTransport;     // a longer read cannot be passed
        std::uint32_t adapterBytes;  // 0: the platform cannot tell
        const char* keepGoing;       // long reads (> 16 sectors), blocks, singles of the movie area
        const char* stopping;
        std::uint32_t refused;  // reads over the drive's limit in the whole run
    };
    const std::vector<Case> cases = {
        // 64 KiB: 10112, 10144, 10176 (fails; blocks 10176, 10192), 10208 ... 10368, then 10400-10411.
        {"64 KiB when the platform cannot tell", 0, false, 0, "9 long, 3 blocks, 17 singles",
         "3 long, 2 blocks, 13 singles", 0},
        {"a drive of 16 sectors, refusing 64 and 32", 16, false, 128 * 1024, "0 long, 19 blocks, 17 singles",
         "0 long, 6 blocks, 13 singles", 2},
        {"a drive of 32 sectors, refusing 64", 32, false, 128 * 1024, "9 long, 3 blocks, 17 singles",
         "3 long, 2 blocks, 13 singles", 1},
        // 10112, 10176 (fails; blocks 10176 ... 10224), 10240, 10304, 10368-10411.
        {"a drive of 64 sectors", 64, false, 128 * 1024, "5 long, 4 blocks, 17 singles", "2 long, 2 blocks, 13 singles",
         0},
        {"an adapter that fails long reads", 16, true, 0, "0 long, 19 blocks, 17 singles",
         "0 long, 6 blocks, 13 singles", 1},
        {"an adapter of 16 sectors", 0, false, 32 * 1024, "0 long, 19 blocks, 17 singles",
         "0 long, 6 blocks, 13 singles", 0},
    };
    for (const Case& c : cases) {
        for (const bool keepGoing : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (keepGoing ? ", keep going" : ", stopping"));
            hooks.reset();
            hooks.settings.record = true;
            hooks.settings.faults = {unreadable(10203)};
            hooks.settings.maxTransferSectors = c.driveLimit;
            hooks.settings.longReadsFailToPass = c.refusedInTransport;
            hooks.settings.adapterMaxTransferBytes = c.adapterBytes;
            const std::string directory = freshDirectory();
            const ChildOutcome counted = runChild([&] {
                std::string program = "vrsalvage";
                std::string optionWord = keepGoing ? "--keep-going" : "--retries=0";
                std::string imageWord = image;
                char* argv[] = {program.data(), optionWord.data(), imageWord.data(), nullptr};
                if (chdir(directory.c_str()) != 0) {
                    return;
                }
                runVrsalvage(3, argv);
                std::uint32_t longReads = 0;
                std::uint32_t blocks = 0;
                std::uint32_t singles = 0;
                std::uint32_t refused = 0;
                for (const ReceivedCommand& command : hooks.log) {
                    if (command.cdb[0] != 0x28) {
                        continue;
                    }
                    const std::uint32_t lba = (std::uint32_t{command.cdb[2]} << 24) | (command.cdb[3] << 16) |
                                              (command.cdb[4] << 8) | command.cdb[5];
                    const std::uint32_t count = (command.cdb[7] << 8) | command.cdb[8];
                    const bool over = c.driveLimit != 0 && count > c.driveLimit;
                    refused += over ? 1 : 0;
                    if (lba >= 10112 && !over) {
                        (count == 1 ? singles : count > 16 ? longReads : blocks)++;
                    }
                }
                std::printf("%u long, %u blocks, %u singles\n%u refused\n", longReads, blocks, singles, refused);
            });
            const std::string counts =
                std::string(keepGoing ? c.keepGoing : c.stopping) + "\n" + std::to_string(c.refused) + " refused\n";
            EXPECT_NE(counted.out.find(counts), std::string::npos) << counted.out;
            const std::string movie = readFile(directory + "/VR_MOVIE.VRO");
            EXPECT_TRUE(movie == (keepGoing ? expected(10112, 10412, {10203}) : expected(10112, 10203, {})));
            EXPECT_TRUE(readFile(directory + "/VR_MANGR.IFO") == expected(8752, 10112, {}));
        }
    }
}

TEST_F(Rescue, SpeedAskedOfDrivesThatTakeIgnoreOrRefuseIt)
{
    using Speed = DriveHookSettings::SpeedCommands;
    ImageFault noStreaming;
    noStreaming.opcode = 0xB6;
    noStreaming.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
    struct Case {
        Speed drive;
        std::vector<ImageFault> faults;
        const char* option;
        const char* line;
        bool slower;  // the model's media rate held below the drive's own
    };
    // The drive offers 16x, 8x, 4x and 2x and takes the fastest at or below what is asked.
    const std::vector<Case> cases = {
        {Speed::Accept,
         {},
         "--speed=4",
         "speed: 5540 kB/s (4.0x) by SET STREAMING; the drive reports 5540 kB/s (4.0x)\n",
         true},
        {Speed::Accept,
         {},
         "--speed=3",
         "speed: 4155 kB/s (3.0x) by SET STREAMING; the drive reports 2770 kB/s (2.0x)\n",
         true},
        {Speed::Accept,
         {noStreaming},
         "--speed=4",
         "speed: 5540 kB/s (4.0x) by SET CD SPEED; the drive reports 5540 kB/s (4.0x)\n",
         true},
        {Speed::Accept,
         {},
         "--speed=max",
         "speed: the drive's own speed by SET STREAMING; the drive reports 22160 kB/s (16.0x)\n",
         false},
        {Speed::Ignore,
         {},
         "--speed=4",
         "speed: the drive ignored SET STREAMING for 5540 kB/s (4.0x); the drive reports 22160 kB/s (16.0x)\n",
         false},
        {Speed::Refuse,
         {},
         "--speed=4",
         "speed: the drive refused SET STREAMING and SET CD SPEED for 5540 kB/s (4.0x); it reads at its own "
         "speed\n",
         false},
    };
    const auto modelled = [&](const std::vector<std::string>& arguments, const std::string& directory) {
        return runChild([&] {
            std::vector<std::string> words = {"vrsalvage"};
            words.insert(words.end(), arguments.begin(), arguments.end());
            words.push_back(image);
            std::vector<char*> argv;
            for (std::string& word : words) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            if (chdir(directory.c_str()) != 0) {
                return;
            }
            const int status = runVrsalvage(static_cast<int>(words.size()), argv.data());
            std::printf("status %d, %.3f s\n", status, hooks.settings.modelledSeconds);
        });
    };
    hooks.settings.mediaRate = 22.16e6;
    const std::string own = modelled({}, freshDirectory()).out;
    const double ownSeconds = std::stod(own.substr(own.rfind(", ") + 2));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.option) + ", " + c.line);
        hooks.settings.speedCommands = c.drive;
        hooks.settings.faults = c.faults;
        const std::string directory = freshDirectory();
        const std::string out = modelled({c.option}, directory).out;
        // The run without the option and this line.
        std::string rest = out;
        const std::size_t at = rest.find(c.line);
        ASSERT_NE(at, std::string::npos) << out;
        rest.erase(at, std::strlen(c.line));
        EXPECT_EQ(rest.substr(0, rest.rfind("status")), own.substr(0, own.rfind("status")));
        EXPECT_NE(out.find("status 0, "), std::string::npos);
        const double seconds = std::stod(out.substr(out.rfind(", ") + 2));
        EXPECT_EQ(seconds > ownSeconds * 1.5, c.slower) << seconds << " against " << ownSeconds;
        EXPECT_TRUE(readFile(directory + "/VR_MOVIE.VRO") == expected(10112, 10412, {}));
    }
}

TEST_F(Rescue, SlowRetriesReadTheFailedBlockAtTheLowestSpeed)
{
    hooks.settings.record = true;
    hooks.settings.faults = {unreadable(10203)};
    const std::string directory = freshDirectory();
    const ChildOutcome run = runChild([&] {
        std::string words[] = {"vrsalvage", "--keep-going", "--slow-retries", "--speed=8", image};
        char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), words[4].data(), nullptr};
        if (chdir(directory.c_str()) != 0) {
            return;
        }
        runVrsalvage(5, argv);
        // The speed commands and the single reads of the failed block, in order.
        std::string last;
        for (const ReceivedCommand& command : hooks.log) {
            const std::uint32_t lba = (std::uint32_t{command.cdb[4]} << 8) | command.cdb[5];
            const std::string word = command.cdb[0] == 0xB6                                          ? "speed"
                                     : command.cdb[0] == 0x28 && command.cdb[8] == 1 && lba >= 10192 ? "single"
                                                                                                     : "";
            if (!word.empty() && (word != last || word == "speed")) {
                std::printf("%s ", word.c_str());
            }
            last = word.empty() ? last : word;
        }
        std::printf("\n");
    });
    EXPECT_NE(run.out.find("\nspeed: 2770 kB/s (2.0x) by SET STREAMING; the drive reports 2770 kB/s (2.0x)\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nspeed: 11080 kB/s (8.0x) by SET STREAMING; the drive reports 11080 kB/s (8.0x)\n"),
              std::string::npos);
    // Only the movie file has a failed block: its passes alone go slow.
    EXPECT_NE(run.out.find("\nspeed speed single speed \n"), std::string::npos) << run.out;
    EXPECT_TRUE(readFile(directory + "/VR_MOVIE.VRO") == expected(10112, 10412, {10203}));
}

TEST_F(Rescue, RateLogInGnuDdrescueFormat)
{
    // Two bad areas: 9000 alone, and 10203-10204 together.
    hooks.settings.faults = {unreadable(9000), unreadable(10203), unreadable(10204)};
    const Result r = runVrsalvage(image, {"--keep-going", "--log-rates=rates.log", "IMG"});
    EXPECT_EQ(r.outcome.status, 1) << r.outcome.out;
    std::vector<std::string> lines;
    std::istringstream text(r.file("rates.log"));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 7u) << r.file("rates.log");
    EXPECT_EQ(lines[0], std::string("# Rates Logfile. Created by vrsalvage version ") + kVersion);
    EXPECT_EQ(lines[1], "# Command line: vrsalvage --keep-going --log-rates=rates.log " + image);
    EXPECT_EQ(lines[2].rfind("# Start time:   ", 0), 0u);
    EXPECT_EQ(lines[2].size(), 16u + 19u);
    EXPECT_EQ(lines[3], "#Time  Ipos  Current_rate  Average_rate  Bad_areas  Bad_size");
    EXPECT_EQ(lines[4], " 0  0x00000000         0         0        0         0");
    EXPECT_EQ(lines.back().rfind("# End time:     ", 0), 0u);
    // The last line: the last pass read the failed block 10192-10207 sector by sector.
    unsigned long long seconds = 0, position = 0, current = 0, average = 0, areas = 0, size = 0;
    const std::string& last = lines[lines.size() - 2];
    EXPECT_EQ(std::sscanf(last.c_str(), "%llu 0x%llX %llu %llu %llu %llu", &seconds, &position, &current, &average,
                          &areas, &size),
              6)
        << last;
    EXPECT_EQ(position, 10207ull * 2048);
    EXPECT_EQ(areas, 2u);
    EXPECT_EQ(size, 3u * 2048);
}

TEST_F(Rescue, InterruptedRunEndsCleanlyAndResumes)
{
    hooks.settings.interruptAt = 9500;
    const Result interrupted = runVrsalvage(image, {"--mapfile=run.map", "IMG"});
    EXPECT_EQ(interrupted.outcome.status, 1);
    EXPECT_NE(interrupted.outcome.out.find("interrupted: run again with the same --mapfile to resume\n"),
              std::string::npos);
    EXPECT_EQ(interrupted.outcome.out.find("completed"), std::string::npos);
    EXPECT_FALSE(interrupted.has("VR_MOVIE.VRO"));
    hooks.reset();
    const Result resumed = runVrsalvage(image, {"--mapfile=run.map", "IMG"}, interrupted.directory);
    EXPECT_EQ(resumed.outcome.status, 0) << resumed.outcome.out;
    EXPECT_TRUE(resumed.file("VR_MANGR.IFO") == expected(8752, 10112, {}));
    EXPECT_TRUE(resumed.file("VR_MOVIE.VRO") == expected(10112, 10412, {}));
    // A mapfile that describes another disc is refused, and nothing changes.
    std::string map = resumed.file("run.map");
    const std::size_t layout = map.find("VR_MOVIE.VRO sectors=300 layout=") + 33;
    map[layout] = map[layout] == '0' ? '1' : '0';
    writeFile(interrupted.directory + "/run.map", map);
    const Result other = runVrsalvage(image, {"--mapfile=run.map", "IMG"}, interrupted.directory);
    EXPECT_EQ(other.outcome.status, 255);
    EXPECT_NE(other.outcome.out.find("the mapfile describes another VR_MOVIE.VRO than this disc gives\n"),
              std::string::npos);
    EXPECT_TRUE(other.file("VR_MOVIE.VRO") == expected(10112, 10412, {}));
}

TEST_F(Rescue, DamagedVolumeStructuresWithKeepGoing)
{
    struct Case {
        const char* name;
        std::vector<std::uint32_t> unreadable;
        std::uint32_t anchorCopy;  // a copy of the anchor at this sector (0: none)
        std::uint32_t reserveAt;   // the anchor names a Reserve sequence there (0: none)
        std::string notices;       // printed before the walk
    };
    const std::vector<Case> cases = {
        {"anchor at 256 unreadable", {256}, 10411, 0, "? no usable anchor at sector 256\n"},
        {"main sequence unreadable", {32}, 0, 48, "? no usable volume descriptors at sector 32\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VrDisc damaged = standardDisc();
        if (c.anchorCopy != 0) {
            damaged.volume.sectors[c.anchorCopy] = damaged.volume.sectors[256];
        }
        if (c.reserveAt != 0) {
            put32(damaged.volume.sectors[256], 24, 16 * 2048);
            put32(damaged.volume.sectors[256], 28, c.reserveAt);
            for (std::uint32_t i = 0; i < 3; i++) {
                damaged.volume.sectors[c.reserveAt + i] = damaged.volume.sectors[32 + i];
            }
        }
        const std::string damagedImage = damaged.write("volume.img");
        const Result clean = runVrsalvage(damagedImage, {"-r", "IMG"});
        for (const std::uint32_t lba : c.unreadable) {
            hooks.settings.faults.push_back(unreadable(lba));
        }
        const Result r = runVrsalvage(damagedImage, {"--keep-going", "-r", "IMG"});
        hooks.reset();
        EXPECT_EQ(r.outcome.out.rfind(c.notices, 0), 0u) << r.outcome.out;
        EXPECT_EQ(r.outcome.status, 0) << r.outcome.out;
        EXPECT_TRUE(r.file("VR_MANGR_R.IFO") == clean.file("VR_MANGR_R.IFO"));
        EXPECT_TRUE(r.file("VR_MOVIE_R.VRO") == clean.file("VR_MOVIE_R.VRO"));
    }
}

// The standard disc with DVD_RTAV's identifiers in a block of their own
// (block 7), an allocated-but-unrecorded extent in each file, and the movie
// file's second half listed in an Allocation Extent Descriptor (block 6).
VrDisc discWithEveryStructure()
{
    VrDisc disc = standardDisc();
    const Bytes identifiers =
        join({parentIdentifier(2), identifier("VR_MANGR.IFO", 0, 4), identifier("VR_MOVIE.VRO", 0, 5)});
    Sector data(2048);
    std::copy(identifiers.begin(), identifiers.end(), data.begin());
    const auto length = static_cast<std::uint32_t>(identifiers.size());
    disc.volume.block(3, fileEntry(length, 0, shortAd(0, length, 7)));
    disc.volume.block(7, data);
    disc.volume.block(
        4, fileEntry(1000 * 2048, 0,
                     join({shortAd(0, 990 * 2048, 8752 - kVrStart), shortAd(1, 10 * 2048, 9742 - kVrStart)})));
    disc.volume.block(5,
                      fileEntry(250 * 2048, 0, join({shortAd(0, 100 * 2048, 10112 - kVrStart), shortAd(3, 2048, 6)})));
    disc.volume.block(
        6, allocationExtent(join({shortAd(0, 140 * 2048, 10262 - kVrStart), shortAd(1, 10 * 2048, 10402 - kVrStart)})));
    return disc;
}

TEST_F(Rescue, EachStructureOnTheWayLostWithKeepGoing)
{
    enum class Got { Clean, FreeOnly, Nothing };
    constexpr std::uint32_t kRead = UINT32_MAX;  // the sector never reads
    struct Case {
        const char* name;
        std::uint32_t sector;
        std::uint32_t zeroed;  // kRead, or the offset of two bytes set to 0: a tag, a name, a length
        std::string notices;   // the lines that name the losses, in order
        Got management;
        Got movie;
    };
    const std::string onlyFree = " has the free blocks of its area only, not the file's unrecorded extents\n";
    const std::string bothNotFound =
        "? VR_MANGR.IFO not found: VR_MANGR_R.IFO" + onlyFree + "? VR_MOVIE.VRO not found: VR_MOVIE_R.VRO" + onlyFree;
    const auto noBitmap = [](const std::string& loss) {
        return "? " + loss + ": VR_MANGR_R.IFO not written\n? " + loss + ": VR_MOVIE_R.VRO not written\n";
    };
    const auto movieIdentifier =
        static_cast<std::uint32_t>(parentIdentifier(2).size() + identifier("VR_MANGR.IFO", 0, 4).size());
    const std::uint32_t bitmapLength =
        PartitionLayout::kPartitionContentsUse + PartitionHeaderLayout::kUnallocatedSpaceBitmap;
    const std::uint32_t s = kVrStart;
    // Every anchor and sequence is tried (the Reserve sequence of the disc is empty).
    const std::string anchorSearch =
        "? no usable volume descriptors at sector 32\n? no usable volume descriptors at sector 0\n"
        "? no usable anchor at sector 10411\n? no usable anchor at sector 10155\n";
    const std::vector<Case> cases = {
        // Without a partition there is nothing to do: a fatal error.
        {"Partition Descriptor unreadable", 32, kRead, anchorSearch, Got::Nothing, Got::Nothing},
        {"Logical Volume Descriptor unreadable", 33, kRead,
         anchorSearch + "? no usable Logical Volume Descriptor: the directory tree cannot be walked\n" + bothNotFound,
         Got::FreeOnly, Got::FreeOnly},
        {"File Set Descriptor unreadable", s + 1, kRead,
         "? can't read the File Set Descriptor (sector 101)\n" + bothNotFound, Got::FreeOnly, Got::FreeOnly},
        {"File Set Descriptor damaged", s + 1, 0, "? bad File Set Descriptor (sector 101)\n" + bothNotFound,
         Got::FreeOnly, Got::FreeOnly},
        {"root File Entry unreadable", s + 2, kRead, "? can't read the root File Entry (sector 102)\n" + bothNotFound,
         Got::FreeOnly, Got::FreeOnly},
        {"root File Entry damaged", s + 2, 0, "? bad root File Entry (sector 102)\n" + bothNotFound, Got::FreeOnly,
         Got::FreeOnly},
        {"DVD_RTAV's File Entry unreadable", s + 3, kRead,
         "  ? can't read the directory File Entry (sector 103)\n" + bothNotFound, Got::FreeOnly, Got::FreeOnly},
        {"DVD_RTAV's File Entry damaged", s + 3, 0, "  ? bad directory File Entry (sector 103)\n" + bothNotFound,
         Got::FreeOnly, Got::FreeOnly},
        {"DVD_RTAV's data unreadable", s + 7, kRead,
         "  ? can't read the directory data (File Entry at sector 103)\n" + bothNotFound, Got::FreeOnly, Got::FreeOnly},
        {"DVD_RTAV's allocation descriptors damaged", s + 3, FileEntryLayout::kLengthOfAllocationDescriptors,
         "  ? bad directory data (File Entry at sector 103)\n" + bothNotFound, Got::FreeOnly, Got::FreeOnly},
        {"VR_MOVIE.VRO's File Identifier damaged", s + 7, movieIdentifier,
         "  ? Not File Entry\n? VR_MOVIE.VRO not found: VR_MOVIE_R.VRO" + onlyFree, Got::Clean, Got::FreeOnly},
        {"no name VR_MOVIE.VRO", s + 7, movieIdentifier + 39, "? VR_MOVIE.VRO not found: VR_MOVIE_R.VRO" + onlyFree,
         Got::Clean, Got::FreeOnly},
        {"VR_MANGR.IFO's File Entry unreadable", s + 4, kRead,
         "? can't read the File Entry of VR_MANGR.IFO (sector 104): VR_MANGR_R.IFO" + onlyFree, Got::FreeOnly,
         Got::Clean},
        {"VR_MOVIE.VRO's File Entry damaged", s + 5, 0,
         "? bad File Entry of VR_MOVIE.VRO (sector 105): VR_MOVIE_R.VRO" + onlyFree, Got::Clean, Got::FreeOnly},
        {"VR_MOVIE.VRO's allocation extent unreadable", s + 6, kRead,
         "? can't read the Allocation Extent Descriptor of VR_MOVIE.VRO (sector 106): VR_MOVIE_R.VRO" + onlyFree,
         Got::Clean, Got::FreeOnly},
        {"VR_MOVIE.VRO's allocation extent damaged", s + 6, 0,
         "? bad Allocation Extent Descriptor of VR_MOVIE.VRO (sector 106): VR_MOVIE_R.VRO" + onlyFree, Got::Clean,
         Got::FreeOnly},
        {"Space Bitmap Descriptor unreadable", s, kRead,
         noBitmap("can't read the Space Bitmap Descriptor (sector 100)"), Got::Nothing, Got::Nothing},
        {"Space Bitmap Descriptor damaged", s, 0, noBitmap("bad Space Bitmap Descriptor (sector 100)"), Got::Nothing,
         Got::Nothing},
        {"no space bitmap", 32, bitmapLength, noBitmap("the partition has no space bitmap"), Got::Nothing,
         Got::Nothing},
    };
    VrDisc whole = discWithEveryStructure();
    const Result clean = runVrsalvage(whole.write("clean.img"), {"-r", "IMG"});
    // Without the File Entries, the free blocks of each area in the bitmap.
    std::vector<std::uint32_t> managementFree;
    std::vector<std::uint32_t> movieFree;
    for (const std::uint32_t lba : whole.free) {
        (lba < kMovieFirstSector ? managementFree : movieFree).push_back(lba);
    }
    std::erase_if(managementFree, [](std::uint32_t lba) { return lba < kManagementFirstSector; });
    const std::string freeOnly[] = {sectorsText(managementFree), sectorsText(movieFree)};
    ASSERT_NE(clean.file("VR_MANGR_R.IFO"), freeOnly[0]);
    ASSERT_NE(clean.file("VR_MOVIE_R.VRO"), freeOnly[1]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VrDisc damaged = discWithEveryStructure();
        damaged.writeBitmap();
        if (c.zeroed == kRead) {
            hooks.settings.faults.push_back(unreadable(c.sector));
        } else {
            put16(damaged.volume.sectors[c.sector], c.zeroed, 0);
        }
        const Result r = runVrsalvage(damaged.volume.write("damaged.img"), {"--keep-going", "-r", "IMG"});
        hooks.reset();
        const bool fatal = c.notices == anchorSearch;
        EXPECT_EQ(r.outcome.status, fatal ? 255 : 1) << r.outcome.out;
        EXPECT_TRUE(r.outcome.out.ends_with(fatal ? "*** Error!\nnot AVDP\n" : "completed\n")) << r.outcome.out;
        // Each loss is named once, in order, and nothing else is.
        std::string notices;
        std::istringstream lines(r.outcome.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("? ") != std::string::npos) {
                notices += line + "\n";
            }
        }
        EXPECT_EQ(notices, c.notices);
        const char* names[] = {"VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"};
        const Got got[] = {c.management, c.movie};
        for (int file = 0; file < 2; file++) {
            SCOPED_TRACE(names[file]);
            EXPECT_EQ(r.has(names[file]), got[file] != Got::Nothing);
            if (got[file] != Got::Nothing) {
                EXPECT_TRUE(r.file(names[file]) ==
                            (got[file] == Got::Clean ? clean.file(names[file]) : freeOnly[file]));
            }
        }
    }
}

TEST_F(Rescue, UnreadableSectorOfTheSpaceBitmapLeavesOutOnlyItsBlocks)
{
    // A map of three sectors at sector 200 (partition block 100 of a
    // partition at 100); the given sectors never read.
    constexpr std::uint32_t kBytes = 3 * 2048 - 24;
    Bytes bits(kBytes);
    for (std::uint32_t i = 0; i < kBytes; i++) {
        bits[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    Bytes descriptor = spaceBitmap(kBytes, {});
    descriptor.resize(24);
    descriptor.insert(descriptor.end(), bits.begin(), bits.end());
    placeTag(descriptor, 100);
    std::map<std::uint32_t, Sector> sectors;
    for (std::uint32_t i = 0; i < 3; i++) {
        sectors[200 + i] = Sector(descriptor.begin() + i * 2048, descriptor.begin() + (i + 1) * 2048);
    }
    const std::string bitmapImage = writeImage("bitmap.img", 300, sectors);
    struct Case {
        std::uint32_t unreadable;
        std::string out;
    };
    const auto blocks = [](std::uint32_t sector) {
        const std::uint32_t first = 8 * (2048 * sector - 24);
        return std::to_string(first) + " to " + std::to_string(first + 8 * 2048 - 1);
    };
    const std::vector<Case> cases = {
        {201, "? can't read sector 201 of the Space Bitmap Descriptor: the free blocks among partition blocks " +
                  blocks(1) + " are not copied\nmap: 1 loss\n"},
        {202, "? can't read sector 202 of the Space Bitmap Descriptor: the free blocks among partition blocks " +
                  blocks(2) + " are not copied\nmap: 1 loss\n"},
        {200, "no map: can't read the Space Bitmap Descriptor (sector 200)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unreadable);
        hooks.settings.faults = {unreadable(c.unreadable)};
        const ChildOutcome child = runChild([&] {
            Drive drive = Drive::open(bitmapImage.c_str());
            Partition partition;
            partition.start = 100;
            partition.length = 200;
            partition.bitmapLength = 3 * 2048;
            partition.bitmapBlock = 100;
            Volume volume{drive, partition, true};
            const SpaceBitmap bitmap = readSpaceBitmapKeepingGoing(volume);
            if (!bitmap.map) {
                std::printf("no map: %s\n", bitmap.loss.c_str());
                return;
            }
            // The bits of the lost sector are clear, the others as on the disc.
            Bytes expected = bits;
            std::fill(expected.begin() + (2048 * (c.unreadable - 200) - 24),
                      expected.begin() + std::min<std::uint32_t>(2048 * (c.unreadable - 199) - 24, kBytes), 0);
            std::printf("%s: %u loss\n", bitmap.map->bits == expected ? "map" : "wrong map", volume.losses);
        });
        EXPECT_EQ(child.out, c.out);
    }
}

TEST_F(Rescue, ImageMapfileMarksWhatDdrescueCouldNotRead)
{
    const std::string directory = freshDirectory();
    // ddrescue's own layout: comments, status line, blocks; 10300-10301 bad.
    writeFile(directory + "/image.map",
              "# Mapfile. Created by GNU ddrescue version 1.27\n# current_pos  current_status  current_pass\n"
              "0x00000000     +               1\n"
              "#      pos        size  status\n"
              "0x00000000  0x0141E000  +\n0x0141E000  0x00001000  -\n0x0141F000  0x00037000  +\n");
    const Result r = runVrsalvage(image, {"--image-mapfile=image.map", "--keep-going", "IMG"}, directory);
    EXPECT_EQ(r.outcome.status, 1) << r.outcome.out;
    EXPECT_TRUE(r.file("VR_MOVIE.VRO") == expected(10112, 10412, {10300, 10301}));
    const Result refused = runVrsalvage(image, {"--image-mapfile=missing.map", "IMG"}, directory);
    EXPECT_EQ(refused.outcome.status, 255);
    EXPECT_EQ(refused.outcome.out.rfind("*** Error!\n", 0), 0u);
}

// A program that sets its own sink (a window, a report) gets the whole report
// of a run and its progress there, and nothing reaches standard output.
TEST_F(Rescue, RunsReportThroughTheSinkOnly)
{
    struct Collector final : ReportSink {
        std::string text_;
        std::vector<ProgressEvent> events;
        std::vector<std::string> targets;
        void text(std::string_view text) override { text_ += text; }
        void progress(const ProgressEvent& event) override
        {
            events.push_back(event);
            targets.emplace_back(event.target);
        }
    };
    for (const bool reusable : {false, true}) {
        SCOPED_TRACE(reusable ? "-r" : "default mode");
        hooks.settings.faults.push_back(unreadable(reusable ? 9800 : 9000));
        const std::vector<std::string> arguments = reusable ? std::vector<std::string>{"-r", "--keep-going", "IMG"}
                                                            : std::vector<std::string>{"--keep-going", "IMG"};
        const Result console = runVrsalvage(image, arguments);
        const std::string directory = freshDirectory();
        const ChildOutcome sunk = runChild([&] {
            if (chdir(directory.c_str()) != 0) {
                std::exit(3);
            }
            Collector collector;
            RunOptions options;
            options.keepGoing = true;
            {
                ReportSinkScope scope(collector);
                reusable ? recoverReusableAreas(image.c_str(), options) : copyFixedLayout(image.c_str(), options);
            }
            // What the console printed of the run ends with the command line's own "completed".
            std::printf("--- sink\n%scompleted\n", collector.text_.c_str());
            const ProgressEvent& last = collector.events.back();
            std::printf("--- last event: %s %d %llu/%llu\n", collector.targets.back().c_str(), last.last ? 1 : 0,
                        static_cast<unsigned long long>(last.done), static_cast<unsigned long long>(last.total));
        });
        ASSERT_EQ(sunk.status, 0) << sunk.out;
        const std::size_t end = sunk.out.find("--- ", 8);
        // The console's status lines, each rewritten in place, come from the progress events.
        const std::string consoleText = std::regex_replace(console.outcome.out, std::regex("\r[^\r\n]*"), "");
        EXPECT_EQ(sunk.out.substr(0, end), "--- sink\n" + consoleText);
        EXPECT_EQ(sunk.out.substr(end),
                  reusable ? "--- last event: VR_MOVIE_R.VRO 1 50/50\n" : "--- last event: VR_MOVIE.VRO 1 300/300\n");
        hooks.reset();
    }
}

// A drive whose disc is gone, or was changed, says nothing of the sectors it
// was asked for: the run ends with the drive's error and marks none of them
// bad; the same run with the disc back goes on from the mapfile.
TEST_F(Rescue, DriveNotReadyEndsTheRunWithoutMarkingSectors)
{
    struct Case {
        const char* name;
        std::vector<std::uint8_t> sense;
        std::uint32_t lba;
        bool reusable;
    };
    const auto fixedSense = [](std::uint8_t key, std::uint8_t asc) {
        std::vector<std::uint8_t> sense(18);
        sense[0] = 0x70;
        sense[2] = key;
        sense[7] = 10;
        sense[12] = asc;
        return sense;
    };
    const std::vector<Case> cases = {
        {"medium not present", fixedSense(0x02, 0x3A), 9000, false},
        {"medium may have changed", fixedSense(0x06, 0x28), 10300, false},
        {"not ready in -r", fixedSense(0x02, 0x04), 10220, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageFault fault = unreadable(c.lba);
        fault.sense = c.sense;
        hooks.settings.faults.push_back(fault);
        std::vector<std::string> arguments = {"--mapfile=run.map", "IMG"};
        if (c.reusable) {
            arguments.insert(arguments.begin(), "-r");
        }
        const Result stopped = runVrsalvage(image, arguments);
        EXPECT_EQ(stopped.outcome.status, 255) << stopped.outcome.out;
        EXPECT_NE(stopped.outcome.out.find("\nSCSI Error\n"), std::string::npos) << stopped.outcome.out;
        EXPECT_TRUE(badInMapfile(stopped.file("run.map")).empty()) << stopped.file("run.map");
        hooks.reset();
        const Result resumed = runVrsalvage(image, arguments, stopped.directory);
        EXPECT_EQ(resumed.outcome.status, 0) << resumed.outcome.out;
        const Result clean = runVrsalvage(image, {c.reusable ? "-r" : "--keep-going", "IMG"});
        for (const char* name : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
            EXPECT_TRUE(resumed.file(name) == clean.file(name)) << name;
        }
    }
}

}  // namespace

// What a keep-going run keeps safe whichever way it ends: kills at points of
// every pass, a full disk, another disc in the drive, a short image, and
// paths that would destroy data.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "rescue_map.h"
#include "vrdisc.h"
#include "vrsalvage.h"

namespace {

struct OutputArea {
    const char* name;
    std::uint32_t first;  // disc sector of the file's first sector
};
const OutputArea kFixedFiles[] = {{"VR_MANGR.IFO", 8752}, {"VR_MOVIE.VRO", 10112}};

ImageFault unreadable(std::uint32_t lba, std::uint32_t times = UINT32_MAX)
{
    ImageFault fault;
    fault.opcode = 0x28;
    fault.lba = lba;
    fault.times = times;
    return fault;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::set<std::uint64_t> rescuedSectors(const std::string& mapfileText)
{
    std::set<std::uint64_t> rescued;
    std::string error;
    const std::optional<RescueMap> map = parseRescueMap(mapfileText, &error);
    for (const RescueBlock& block : map ? map->blocks : std::vector<RescueBlock>{}) {
        for (std::uint64_t p = block.position; block.status == RescueStatus::Rescued && p < block.position + block.size;
             p += 2048) {
            rescued.insert(p / 2048);
        }
    }
    return rescued;
}

class Safety : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        // SIGQUIT dumps no core into the test's folders.
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        const char* sectors = std::getenv("VRS_KILL_MATRIX_SECTORS");
        image = standardDisc().write("safety.img");
        if (sectors != nullptr && std::strtoul(sectors, nullptr, 10) > kVrSectors) {
            // A larger movie area for a manual run of the matrix: numbered
            // sectors after the standard disc's.
            std::ofstream out(image, std::ios::binary | std::ios::app);
            for (std::uint32_t lba = kVrSectors; lba < std::strtoul(sectors, nullptr, 10); lba++) {
                const Sector s = numbered(lba);
                out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(s.size()));
            }
        }
        disc = readFile(image);
    }
    void TearDown() override { hooks.reset(); }

    std::string sector(std::uint64_t lba) const { return disc.substr(lba * 2048, 2048); }

    // Every sector that any mapfile so far marked rescued is still marked
    // so, and the file holds the disc's bytes there: a stop never turns what
    // was read into zeros, and never loses it from the mapfile.
    void expectRescuedHeld(const std::string& directory, std::set<std::uint64_t>* everRescued, const char* when)
    {
        const std::set<std::uint64_t> now = rescuedSectors(readFile(directory + "/run.map"));
        for (const std::uint64_t lba : *everRescued) {
            ASSERT_EQ(now.count(lba), 1u) << when << ": sector " << lba << " no longer marked rescued";
        }
        for (const OutputArea& file : kFixedFiles) {
            const std::string bytes = readFile(directory + "/" + file.name);
            const std::uint64_t end = file.first == 8752 ? 10112 : disc.size() / 2048;
            for (auto it = now.lower_bound(file.first); it != now.end() && *it < end; ++it) {
                const std::uint64_t offset = (*it - file.first) * 2048;
                ASSERT_TRUE(bytes.size() >= offset + 2048 && bytes.compare(offset, 2048, sector(*it)) == 0)
                    << when << ": " << file.name << " does not hold rescued sector " << *it;
            }
        }
        everRescued->insert(now.begin(), now.end());
    }

    std::string image;
    std::string disc;
};

TEST_F(Safety, EveryStopOfEveryPassResumesToTheCleanRunsFiles)
{
    // 9000 never reads, 10200 reads on the sector-by-sector pass, 10300 on
    // the first retry, 10301-10302 never.
    const std::vector<ImageFault> faults = {unreadable(9000), unreadable(10200, 1), unreadable(10300, 2),
                                            unreadable(10301), unreadable(10302)};
    const Result clean = runVrsalvage(image, {"--keep-going", "IMG"});
    ASSERT_EQ(clean.outcome.status, 0) << clean.outcome.out;

    // The READ commands of a whole damaged run, to choose the stops from:
    // the signature reads, and the middle of each file's block passes and
    // of its sector-by-sector passes.
    hooks.settings.faults = faults;
    hooks.settings.record = true;
    const std::string logDirectory = freshDirectory();
    const ChildOutcome logged = runChild([&] {
        std::vector<std::string> words = {"vrsalvage", "--mapfile=run.map", "--retries=1", image};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        if (chdir(logDirectory.c_str()) != 0) {
            return;
        }
        runVrsalvage(static_cast<int>(words.size()), argv.data());
        std::uint32_t number = 0;
        std::map<std::string, std::vector<std::uint32_t>> groups;
        for (const ReceivedCommand& command : hooks.log) {
            if (command.cdb[0] != 0x28) {
                continue;
            }
            number++;
            const std::uint32_t lba =
                (std::uint32_t{command.cdb[2]} << 24) | (command.cdb[3] << 16) | (command.cdb[4] << 8) | command.cdb[5];
            const char* group = number <= 2 ? "signatures" : lba < 10112 ? "IFO" : "VRO";
            groups[std::string(group) + (command.cdb[8] == 1 && number > 2 ? " singly" : " blocks")].push_back(number);
        }
        for (const auto& [name, numbers] : groups) {
            std::printf("\nstop %u\n", numbers[numbers.size() / 2]);
        }
    });
    hooks.reset();
    std::vector<std::uint32_t> stops;
    for (std::size_t at = logged.out.find("\nstop "); at != std::string::npos;
         at = logged.out.find("\nstop ", at + 1)) {
        stops.push_back(static_cast<std::uint32_t>(std::stoul(logged.out.substr(at + 6))));
    }
    ASSERT_EQ(stops.size(), 5u) << logged.out;

    for (const int signal : {SIGKILL, SIGHUP, SIGQUIT, SIGTERM, SIGINT}) {
        for (const std::uint32_t stop : stops) {
            SCOPED_TRACE("signal " + std::to_string(signal) + " at READ " + std::to_string(stop));
            std::set<std::uint64_t> everRescued;
            const std::string directory = freshDirectory();
            // Stopped, then stopped again while it resumes; then resumed with
            // the faults, with more retries, and on a good day.
            struct Run {
                std::vector<std::string> arguments;
                bool faulty;
                std::uint32_t stopAt;
            };
            const std::vector<Run> chain = {
                {{"--mapfile=run.map", "IMG"}, true, stop}, {{"--mapfile=run.map", "IMG"}, true, stop / 2 + 1},
                {{"--mapfile=run.map", "IMG"}, true, 0},    {{"--mapfile=run.map", "--retries=2", "IMG"}, true, 0},
                {{"--mapfile=run.map", "IMG"}, false, 0},
            };
            Result last;
            for (const Run& run : chain) {
                hooks.reset();
                if (run.faulty) {
                    hooks.settings.faults = faults;
                }
                hooks.settings.signalAtRead = run.stopAt;
                hooks.settings.signal = signal;
                last = runVrsalvage(image, run.arguments, directory);
                // Interrupts end a run cleanly once its copy has begun, after
                // the two signature reads; a kill or a crash ends it anywhere.
                const bool caught = signal != SIGKILL && signal != SIGQUIT && run.stopAt > 2;
                const int expected = run.stopAt == 0 ? (run.faulty ? 1 : 0) : caught ? 1 : 1000 + signal;
                if (run.stopAt != 0 && last.outcome.status != expected && last.outcome.status == 1) {
                    // The second stop may come after the resume's last read.
                    EXPECT_NE(last.outcome.out.find("completed"), std::string::npos);
                } else {
                    ASSERT_EQ(last.outcome.status, expected) << last.outcome.out;
                }
                if (fileExists(directory + "/run.map")) {
                    expectRescuedHeld(directory, &everRescued, last.outcome.out.c_str());
                    const std::optional<RescueMap> map = parseRescueMap(readFile(directory + "/run.map"), nullptr);
                    ASSERT_TRUE(map.has_value());
                    EXPECT_EQ(map->currentStatus == '+', last.outcome.out.find("completed") != std::string::npos);
                }
            }
            EXPECT_EQ(last.outcome.status, 0) << last.outcome.out;
            for (const OutputArea& file : kFixedFiles) {
                EXPECT_TRUE(last.file(file.name) == clean.file(file.name)) << file.name;
            }
        }
    }
}

TEST_F(Safety, AFullDiskStopsTheRunAndARunWithRoomCompletesIt)
{
    const std::string directory = freshDirectory();
    if (mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "can't mount a tmpfs here (not root?)";
    }
    hooks.settings.faults = {unreadable(10300)};
    const Result full = runVrsalvage(image, {"--mapfile=run.map", "IMG"}, directory);
    EXPECT_EQ(full.outcome.status, 255) << full.outcome.out;
    EXPECT_NE(full.outcome.out.find("can't write VR_MANGR.IFO\n"), std::string::npos) << full.outcome.out;
    EXPECT_NE(full.outcome.out.find("(No space left on device)"), std::string::npos) << full.outcome.out;
    std::set<std::uint64_t> everRescued;
    expectRescuedHeld(directory, &everRescued, "full");

    ASSERT_EQ(mount("tmpfs", directory.c_str(), "tmpfs", MS_REMOUNT, "size=64m"), 0);
    hooks.reset();
    const Result resumed = runVrsalvage(image, {"--mapfile=run.map", "IMG"}, directory);
    expectRescuedHeld(directory, &everRescued, "with room");
    const Result clean = runVrsalvage(image, {"--keep-going", "IMG"});
    for (const OutputArea& file : kFixedFiles) {
        EXPECT_TRUE(resumed.file(file.name) == clean.file(file.name)) << file.name;
    }
    EXPECT_EQ(resumed.outcome.status, 0) << resumed.outcome.out;
    umount2(directory.c_str(), MNT_DETACH);
}

TEST_F(Safety, AFullDiskWithoutOptionsEndsAsWithOneWriteASector)
{
    // Runs of sectors go out in one write; the file holds every whole sector
    // that fitted and the run ends as the write of the next sector would.
    struct Case {
        const char* size;
        std::uint64_t bytes;
    };
    for (const Case& c : {Case{"size=1m", 1024 * 1024}, Case{"size=1000k", 1000 * 1024}}) {
        SCOPED_TRACE(c.size);
        const std::string directory = freshDirectory();
        if (mount("tmpfs", directory.c_str(), "tmpfs", 0, c.size) != 0) {
            GTEST_SKIP() << "can't mount a tmpfs here (not root?)";
        }
        const Result full = runVrsalvage(image, {"IMG"}, directory);
        const std::string ifo = full.file("VR_MANGR.IFO");
        umount2(directory.c_str(), MNT_DETACH);
        EXPECT_EQ(full.outcome.status, 255);
        EXPECT_NE(full.outcome.out.find("sector count = 1360\n*** Error!\ncan't write file\n"), std::string::npos)
            << full.outcome.out;
        EXPECT_EQ(ifo.size(), c.bytes);
        EXPECT_TRUE(ifo == disc.substr(8752 * 2048, c.bytes));
    }
}

TEST_F(Safety, AMapfileOfAnotherDiscChangesNothing)
{
    struct Case {
        const char* name;
        const char* mode;
        std::uint32_t sectorChanged;  // of the second disc (0: none)
        std::uint64_t sectors;        // of the second disc
        const char* why;
    };
    const std::vector<Case> cases = {
        {"same size, other recordings", "--keep-going", 10112, kVrSectors, "the disc's signatures differ"},
        {"larger", "--keep-going", 0, kVrSectors + 64, "the disc's recorded size differs"},
        {"-r, same size, other volume", "-r", 33, kVrSectors, "the disc's volume differ"},
        {"-r, smaller", "-r", 0, kVrSectors - 64, "the disc's recorded size differs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hooks.reset();
        hooks.settings.interruptAt = c.mode == std::string("-r") ? 10230 : 10200;
        const Result first = runVrsalvage(image, {"--mapfile=run.map", c.mode, "IMG"});
        ASSERT_EQ(first.outcome.status, 1) << first.outcome.out;
        VrDisc other = standardDisc();
        other.volume.total = c.sectors;
        other.volume.sectors.erase(other.volume.sectors.lower_bound(static_cast<std::uint32_t>(c.sectors)),
                                   other.volume.sectors.end());
        if (c.sectorChanged != 0) {
            other.volume.sectors[c.sectorChanged][100] ^= 0xFF;
        }
        const std::string otherImage = other.write("other.img");
        std::map<std::string, std::string> before;
        for (const char* name : {"run.map", "VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
            before[name] = first.has(name) ? first.file(name) : "(none)";
        }
        hooks.reset();
        const Result refused = runVrsalvage(otherImage, {"--mapfile=run.map", c.mode, "IMG"}, first.directory);
        EXPECT_EQ(refused.outcome.status, 255) << refused.outcome.out;
        EXPECT_NE(refused.outcome.out.find("the mapfile run.map describes another disc (" + std::string(c.why) +
                                           "); nothing was changed\n"),
                  std::string::npos)
            << refused.outcome.out;
        for (const auto& [name, bytes] : before) {
            EXPECT_TRUE((refused.has(name.c_str()) ? refused.file(name.c_str()) : "(none)") == bytes) << name;
        }
    }
}

TEST_F(Safety, AnImageShorterThanItsMapfileHasAnUnreadableTail)
{
    const std::string directory = freshDirectory();
    const std::string shortImage = directory + "/short.img";
    writeFile(shortImage, disc.substr(0, 10300 * 2048));
    // What an interrupted ddrescue run leaves: the rest never tried.
    writeFile(directory + "/image.map",
              "# Mapfile. Created by GNU ddrescue version 1.27\n0x0141E000     ?               1\n"
              "0x00000000  0x0141E000  +\n0x0141E000  0x00038000  ?\n");
    const Result r = runVrsalvage(shortImage, {"--image-mapfile=image.map", "--keep-going", "IMG"}, directory);
    EXPECT_EQ(r.outcome.status, 1) << r.outcome.out;
    EXPECT_NE(r.outcome.out.find("VR_MOVIE.VRO: 188 of 300 sectors read, 112 unreadable (229376 bytes lost, written "
                                 "as zeros) at sectors 10300-10411\n"),
              std::string::npos)
        << r.outcome.out;
    EXPECT_EQ(r.file("VR_MOVIE.VRO").size(), 300u * 2048);
}

TEST_F(Safety, PathsThatWouldDestroyDataAreRefusedFirst)
{
    const std::string ddrescueMap =
        "# Mapfile. Created by GNU ddrescue version 1.27\n0x00000000     +               1\n"
        "0x00000000  0x01456000  +\n";
    struct Case {
        std::vector<std::string> arguments;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{"--mapfile=VR_MANGR.IFO", "IMG"}, "--mapfile=VR_MANGR.IFO would replace the output file VR_MANGR.IFO\n"},
        {{"--mapfile=./VR_MOVIE_R.VRO", "-r", "IMG"},
         "--mapfile=./VR_MOVIE_R.VRO would replace the output file VR_MOVIE_R.VRO\n"},
        {{"--mapfile=image.map", "--image-mapfile=image.map", "IMG"},
         "--mapfile and --image-mapfile name the same file: the image's mapfile is only read\n"},
        {{"--mapfile=image.map", "IMG"},
         "the mapfile image.map was not written by vrsalvage; it is only read, never rewritten: give --mapfile a "
         "new file\n"},
        {{"--mapfile=missing/run.map", "IMG"}, "--mapfile=missing/run.map: no such folder\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string directory = freshDirectory();
        writeFile(directory + "/image.map", ddrescueMap);
        const Result r = runVrsalvage(image, c.arguments, directory);
        EXPECT_EQ(r.outcome.status, 2);
        EXPECT_EQ(r.outcome.out, c.message);
        EXPECT_EQ(r.file("image.map"), ddrescueMap);
        for (const char* name : {"VR_MANGR.IFO", "VR_MOVIE.VRO", "VR_MANGR_R.IFO", "VR_MOVIE_R.VRO"}) {
            EXPECT_FALSE(r.has(name)) << name;
        }
    }
}

}  // namespace

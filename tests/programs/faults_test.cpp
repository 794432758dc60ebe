// Whole runs of vrsalvage against a drive that fails at each stage, and
// against replies that contradict the disc.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstring>

#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "vrdisc.h"
#include "vrsalvage.h"

namespace {

const std::string kMediumError =
    "SCSI Error\nStatus = 0x00000002\nSense Data:\n"
    "00000000  70 00 03 00 00 00 00 0A  00 00 00 00 11 00 00 00  p...............\n"
    "00000010  00 00                                             ..              \n";

Result salvage(const std::string& image, bool reusable)
{
    return reusable ? runVrsalvage(image, {"-r", "IMG"}) : runVrsalvage(image, {"IMG"});
}

// The output of a whole run up to (not including) the point of failure.
std::string prefixOf(const std::string& out, const std::string& failure)
{
    const std::size_t at = out.find(failure);
    return at == std::string::npos ? "<not found>" : out.substr(0, at);
}

class Faults : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        image = standardDisc().write("faults.img");
        clean = salvage(image, true);
        cleanFixed = salvage(image, false);
        ASSERT_EQ(clean.outcome.status, 0);
        ASSERT_EQ(cleanFixed.outcome.status, 0);
    }
    void TearDown() override { hooks.reset(); }

    static ImageFault readFault(std::int64_t lba)
    {
        ImageFault fault;
        fault.lba = lba;
        return fault;
    }

    std::string image;
    Result clean;
    Result cleanFixed;
};

TEST_F(Faults, ReadErrorAtEachStageOfTheWalk)
{
    struct Stage {
        const char* name;
        std::int64_t lba;
        const char* before;  // what the run printed before the failure
    };
    const std::vector<Stage> stages = {
        {"volume recognition", 16, ""},        {"anchor", 256, ""},
        {"descriptor sequence", 33, ""},       {"file set", kVrStart + 1, ""},
        {"root directory", kVrStart + 2, ""},  {"subdirectory", kVrStart + 3, ""},
        {"map", kVrStart, "IFO Processing\n"}, {"management File Entry", kVrStart + 4, "IFO Processing\n"},
        {"management copy", 9800, nullptr},    {"movie File Entry", kVrStart + 5, nullptr},
        {"movie copy", 10230, nullptr},
    };
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        hooks.settings.faults = {readFault(stage.lba)};
        const Result failed = salvage(image, true);
        EXPECT_EQ(failed.outcome.status, 255);
        const std::string before = prefixOf(failed.outcome.out, kMediumError);
        EXPECT_EQ(failed.outcome.out, before + kMediumError);
        if (stage.before != nullptr) {
            EXPECT_EQ(before, stage.before);
        } else {
            // The clean run printed the same up to here.
            EXPECT_EQ(clean.outcome.out.substr(0, before.size()), before);
        }
    }
    // Files are kept as far as they got: the management file up to 9799.
    hooks.settings.faults = {readFault(9800)};
    Result failed = salvage(image, true);
    EXPECT_EQ(failed.file("VR_MANGR_R.IFO"), sectorsText(range(9752, 9800)));
    EXPECT_FALSE(failed.has("VR_MOVIE_R.VRO"));
    hooks.settings.faults = {readFault(10230)};
    failed = salvage(image, true);
    EXPECT_EQ(failed.file("VR_MANGR_R.IFO"), clean.file("VR_MANGR_R.IFO"));
    EXPECT_EQ(failed.file("VR_MOVIE_R.VRO"), sectorsText(range(10212, 10230)));
}

TEST_F(Faults, ReadErrorInEachCopyOfTheFixedLayout)
{
    for (const std::int64_t lba : {8752 + 1, 10112 + 3}) {
        hooks.settings.faults = {readFault(lba)};
        const Result failed = salvage(image, false);
        EXPECT_EQ(failed.outcome.status, 255);
        const std::string before = prefixOf(failed.outcome.out, kMediumError);
        EXPECT_EQ(cleanFixed.outcome.out.substr(0, before.size()), before);
        if (lba < 10112) {
            EXPECT_EQ(failed.file("VR_MANGR.IFO"), cleanFixed.file("VR_MANGR.IFO").substr(0, 2048));
            EXPECT_FALSE(failed.has("VR_MOVIE.VRO"));
        } else {
            EXPECT_EQ(failed.file("VR_MANGR.IFO"), cleanFixed.file("VR_MANGR.IFO"));
            EXPECT_EQ(failed.file("VR_MOVIE.VRO"), cleanFixed.file("VR_MOVIE.VRO").substr(0, 3 * 2048));
        }
    }
}

TEST_F(Faults, OtherKindsOfFailureInBothModes)
{
    ImageFault bare;
    bare.kind = ImageFault::Kind::StatusOnly;
    bare.status = 0x18;  // RESERVATION CONFLICT
    bare.opcode = 0x51;
    ImageFault pass;
    pass.kind = ImageFault::Kind::PassFailure;
    pass.errorCode = 121;
    pass.opcode = 0x52;
    for (const bool reusable : {false, true}) {
        hooks.settings.faults = {bare};
        Result failed = salvage(image, reusable);
        EXPECT_EQ(failed.outcome.status, 255);
        EXPECT_NE(failed.outcome.out.find("SCSI Error\nStatus = 0x00000018\n"), std::string::npos);
        const std::string report = "SCSI Error\nStatus = 0x00000018\n";
        EXPECT_EQ(failed.outcome.out.substr(failed.outcome.out.size() - report.size()), report);

        hooks.settings.faults = {pass};
        failed = salvage(image, reusable);
        EXPECT_EQ(failed.outcome.status, 255);
        const std::string message = "ioctl(SG_IO) failed: the command did not reach the drive\n";
        EXPECT_NE(failed.outcome.out.find(message), std::string::npos);
        const std::string code = "error code = 121 (" + std::string(std::strerror(121)) + ")\n";
        EXPECT_EQ(failed.outcome.out.substr(failed.outcome.out.size() - code.size()), code);
    }
    // A short transfer of a descriptor is a warning; the run goes on.
    ImageFault shortRead;
    shortRead.kind = ImageFault::Kind::ShortTransfer;
    shortRead.lba = 256;
    shortRead.transfer = 2047;
    hooks.settings.faults = {shortRead};
    const Result warned = salvage(image, true);
    EXPECT_EQ(warned.outcome.status, 0);
    EXPECT_EQ(warned.outcome.out, "No error. But data length not match\nq" + clean.outcome.out);
}

TEST_F(Faults, RepliesThatContradictTheDisc)
{
    DriveHookSettings& settings = hooks.settings;
    // A Last Recorded Address beyond the image: the copy fails there, with
    // every sector before it written.
    settings.lastRecordedAddress = kVrSectors + 9;
    Result fixed = salvage(image, false);
    EXPECT_EQ(fixed.outcome.status, 255);
    EXPECT_NE(fixed.outcome.out.find("21 00 00 00"), std::string::npos);  // LBA out of range
    EXPECT_EQ(fixed.file("VR_MOVIE.VRO"), cleanFixed.file("VR_MOVIE.VRO"));
    // Huge: 0xFFFFFFFF + 1 wraps to an end of 0, below the movie area: nothing to copy.
    settings.lastRecordedAddress = 0xFFFFFFFF;
    fixed = salvage(image, false);
    EXPECT_EQ(fixed.outcome.status, 0);
    EXPECT_NE(fixed.outcome.out.find("sector count = -10112\n"), std::string::npos);
    EXPECT_EQ(fixed.file("VR_MOVIE.VRO"), "");
    settings.lastRecordedAddress.reset();

    // A zero or huge Track Size with neither flag set: -r takes it as the end.
    settings.lraValid = false;
    settings.trackSize = 0;
    Result r = salvage(image, true);
    EXPECT_EQ(r.outcome.status, 0);
    // The recorded area ends before the movie area: the map's free blocks
    // there are read all the same.
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), clean.file("VR_MOVIE_R.VRO"));
    EXPECT_EQ(r.file("VR_MANGR_R.IFO"), clean.file("VR_MANGR_R.IFO"));
    settings.trackSize = 0xFFFFFFFF;
    r = salvage(image, true);
    EXPECT_EQ(r.outcome.status, 255);  // the tail runs into the end of the image
    EXPECT_EQ(r.file("VR_MOVIE_R.VRO"), clean.file("VR_MOVIE_R.VRO"));
    settings.lraValid = true;
    settings.trackSize.reset();

    // A last track number of 0, which the drive then refuses to describe:
    // nothing is written. One of 65535 is asked for as it is.
    settings.lastTrack = 0;
    for (const bool reusable : {false, true}) {
        const Result refused = salvage(image, reusable);
        EXPECT_EQ(refused.outcome.status, 255);
        EXPECT_NE(refused.outcome.out.find("00 00 00 00 24 00"), std::string::npos);
        EXPECT_FALSE(refused.has("VR_MANGR.IFO"));
        EXPECT_FALSE(refused.has("VR_MANGR_R.IFO"));
    }
    settings.lastTrack = 65535;
    EXPECT_EQ(salvage(image, false).outcome.out, cleanFixed.outcome.out);
    EXPECT_EQ(salvage(image, true).outcome.out, clean.outcome.out);
}

TEST(MapPrint, RowsOfBlocksWithOddAndEvenSizes)
{
    const auto print = [](std::vector<std::uint8_t> bits) {
        ReusableMap map;
        map.bits = std::move(bits);
        return runChild([&] { printReusableMap(map); }).out;
    };
    const std::string header = "          01234567 89ABCDEF\n";
    EXPECT_EQ(print({0x0F, 0x80}), header + "00000000  OOOOXXXX XXXXXXXO\n");
    EXPECT_EQ(print({0x0F, 0x80, 0xFF}), header + "00000000  OOOOXXXX XXXXXXXO\n00000010  OOOOOOOO\n");
    EXPECT_EQ(print({}), header);
}

}  // namespace

// vrsalvage in both modes, run in a child process through the emulated drive.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "version.h"
#include "vrdisc.h"
#include "vrsalvage.h"

namespace {

class Vrsalvage : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override { hooks.reset(); }
    void TearDown() override { hooks.reset(); }

    static Result run(const std::string& image, std::vector<std::string> arguments, std::string directory = "")
    {
        return runVrsalvage(image, std::move(arguments), std::move(directory));
    }
};

// ---- the command line ------------------------------------------------------

TEST_F(Vrsalvage, UsageAndParameterErrors)
{
    const std::string usage = "parameters: [<switch>] <Drive Letter>\nswitches: -r=only reusable area\n";
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{}, {"-r", "E", "F"}}) {
        const Result r = run("", arguments);
        EXPECT_EQ(r.outcome.out, usage);
        EXPECT_EQ(r.outcome.status, 0);
    }
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-R", "E"}, {"-rx", "E"}, {"E", "-r"}}) {
        const Result r = run("", arguments);
        EXPECT_EQ(r.outcome.out, "parameter error\n");
        EXPECT_EQ(r.outcome.status, 2);
    }
    // Long options before the drive argument: usage errors name the option.
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const std::vector<Case> cases = {
        {{"--version"}, "vrsalvage " + std::string(kVersion) + "\n", 0},
        {{"--keep-going", "--version", "E"}, "vrsalvage " + std::string(kVersion) + "\n", 0},
        {{"--frobnicate", "E"}, "unknown option: --frobnicate\n", 2},
        {{"-r", "--keep-going=yes", "E"}, "unknown option: --keep-going=yes\n", 2},
        {{"--retries=x", "E"}, "bad value for --retries: \"x\" (a number of passes, 0 to 999999)\n", 2},
        {{"--retries=", "E"}, "bad value for --retries: \"\" (a number of passes, 0 to 999999)\n", 2},
        {{"--mapfile=", "-r", "E"}, "bad value for --mapfile: a file name is needed\n", 2},
        {{"--speed=0", "E"}, "bad value for --speed: \"0\" (1 to 47, or max)\n", 2},
        {{"--speed=48", "E"}, "bad value for --speed: \"48\" (1 to 47, or max)\n", 2},
        {{"--speed=fast", "E"}, "bad value for --speed: \"fast\" (1 to 47, or max)\n", 2},
        {{"--slow-retries", "E"}, "--slow-retries needs --keep-going or --mapfile\n", 2},
        {{"--log-rates=r.log", "E"}, "--log-rates needs --keep-going or --mapfile\n", 2},
        {{"--log-rates=", "--keep-going", "E"}, "bad value for --log-rates: a file name is needed\n", 2},
    };
    for (const Case& c : cases) {
        const Result r = run("", c.arguments);
        EXPECT_EQ(r.outcome.out, c.out) << c.arguments[0];
        EXPECT_EQ(r.outcome.status, c.status) << c.arguments[0];
    }
    const Result help = run("", {"--help"});
    EXPECT_EQ(help.outcome.status, 0);
    EXPECT_EQ(help.outcome.out.rfind("usage: vrsalvage [options] [-r] <Drive Letter>\n" + usage, 0), 0u);
    EXPECT_NE(help.outcome.out.find("--mapfile=FILE"), std::string::npos);
    // An option does not change what the other arguments mean.
    EXPECT_EQ(run("", {"--keep-going", "-R", "E"}).outcome.out, "parameter error\n");
    // "-r" alone is the drive argument.
    const Result alone = run("", {"-r"});
    EXPECT_EQ(alone.outcome.out, "*** Error!\ncan't open device\n");
    EXPECT_EQ(alone.outcome.status, 255);
    // Paths as long as the system allows them: 600 bytes are a path like any.
    const Result longPath = run("", {"-r", std::string(600, 'x')});
    EXPECT_EQ(longPath.outcome.out, "*** Error!\ncan't open device\n");
    const Result tooLong = run("", {"-r", std::string(5000, 'x')});
    EXPECT_EQ(tooLong.outcome.out, "*** Error!\ndrive argument too long\n");
    EXPECT_EQ(tooLong.outcome.status, 255);
}

// ---- the default mode --------------------------------------------------------

class FixedLayout : public Vrsalvage {
protected:
    void SetUp() override
    {
        Vrsalvage::SetUp();
        disc = standardDisc();
        Sector ifo = numbered(8752);
        std::copy_n("DVD_RTR_VMG0", 12, ifo.begin());
        disc.volume.sectors[8752] = ifo;
        Sector vro = numbered(10112);
        const std::uint8_t pack[5] = {0x00, 0x00, 0x01, 0xBA, 0x44};
        std::copy_n(pack, 5, vro.begin());
        disc.volume.sectors[10112] = vro;
    }
    std::string image() { return disc.write("fixed.img"); }
    std::string managementText() const { return bytesOf(range(8752, 10112)); }
    std::string bytesOf(const std::vector<std::uint32_t>& lbas) const
    {
        std::string text;
        for (std::uint32_t lba : lbas) {
            const Sector& s = disc.volume.sectors.at(lba);
            text.append(reinterpret_cast<const char*>(s.data()), 2048);
        }
        return text;
    }
    static std::string output(int movieCount, const std::string& marks = "")
    {
        return "# = 4096 sectors\nWriting VR_MANGR.IFO\nsector count = 1360\nWriting VR_MOVIE.VRO\nsector count = " +
               std::to_string(movieCount) + "\n" + marks + "completed\n";
    }
    VrDisc disc;
};

TEST_F(FixedLayout, CopiesBothFilesFromTheirFixedPlaces)
{
    const Result r = run(image(), {"IMG"});
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, output(300));
    EXPECT_EQ(r.file("VR_MANGR.IFO").size(), 2785280u);
    EXPECT_EQ(r.file("VR_MANGR.IFO"), managementText());
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), bytesOf(range(10112, kVrSectors)));
}

TEST_F(FixedLayout, SignatureNoticesOnlyWarn)
{
    disc.volume.sectors[8752] = numbered(8752);
    disc.volume.sectors[10112] = numbered(10112);
    const Result r = run(image(), {"IMG"});
    EXPECT_EQ(r.outcome.out, "? not found IFO\n? not found VRO\n" + output(300));
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.file("VR_MOVIE.VRO").size(), 300u * 2048);
}

TEST_F(FixedLayout, ProfilesOtherThanRestrictedOverwrite)
{
    const std::string path = image();
    for (int profile : {0x0014, 0x0012, 0x001A, 0x0010}) {
        hooks.settings.profile = static_cast<std::uint16_t>(profile);
        const Result r = run(path, {"IMG"});
        EXPECT_EQ(r.outcome.out, "*** Error!\nNot DVD-RW VR\n");
        EXPECT_EQ(r.outcome.status, 255);
        EXPECT_FALSE(r.has("VR_MANGR.IFO"));
    }
    hooks.settings.profile = 0;
    EXPECT_EQ(run(path, {"IMG"}).outcome.out, "*** Error!\nNo disk\n");
}

TEST_F(FixedLayout, EndOfTheRecordedArea)
{
    const std::string path = image();
    DriveHookSettings& settings = hooks.settings;
    settings.lastRecordedAddress = 10200;
    settings.nextWritableAddress = 10300;
    settings.lraValid = true;
    settings.nwaValid = true;  // LRA wins
    Result r = run(path, {"IMG"});
    EXPECT_EQ(r.outcome.out, output(89));
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), bytesOf(range(10112, 10201)));
    settings.lraValid = false;  // NWA alone
    r = run(path, {"IMG"});
    EXPECT_EQ(r.outcome.out, output(188));
    settings.nwaValid = false;  // neither: no file at all
    r = run(path, {"IMG"});
    EXPECT_EQ(r.outcome.out, "*** Error!\nCan't find Last Sector Address\n");
    EXPECT_EQ(r.outcome.status, 255);
    EXPECT_FALSE(r.has("VR_MANGR.IFO"));
    EXPECT_FALSE(r.has("VR_MOVIE.VRO"));
}

TEST_F(FixedLayout, EmptyMovieAtAndBelowTheMovieArea)
{
    const std::string path = image();
    hooks.settings.lastRecordedAddress = 10111;
    Result r = run(path, {"IMG"});
    EXPECT_EQ(r.outcome.out, output(0));
    EXPECT_TRUE(r.has("VR_MOVIE.VRO"));
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), "");
    hooks.settings.lastRecordedAddress = 9999;
    r = run(path, {"IMG"});
    EXPECT_EQ(r.outcome.out, output(-112));
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), "");
    EXPECT_EQ(r.outcome.status, 0);
}

TEST_F(FixedLayout, ProgressMarksEvery4096Sectors)
{
    for (const auto& [movie, marks] :
         std::vector<std::pair<int, std::string>>{{4095, ""}, {4096, "#\n"}, {8191, "#\n"}, {8192, "##\n"}}) {
        VrDisc big = disc;
        big.volume.total = 10112 + static_cast<std::uint32_t>(movie);
        const std::string path = big.write("marks.img");
        const Result r = run(path, {"IMG"});
        EXPECT_EQ(r.outcome.out, output(movie, marks)) << movie;
        EXPECT_EQ(r.file("VR_MOVIE.VRO").size(), static_cast<std::size_t>(movie) * 2048);
    }
}

TEST_F(FixedLayout, ExistingFilesAreNeverOverwritten)
{
    const std::string path = image();
    const Result first = run(path, {"IMG"});
    ASSERT_EQ(first.outcome.status, 0);
    const Result second = run(path, {"IMG"}, first.directory);
    EXPECT_EQ(second.outcome.out,
              "# = 4096 sectors\nWriting VR_MANGR.IFO\nsector count = 1360\n"
              "*** Error!\ncan't open file\n");
    EXPECT_EQ(second.outcome.status, 255);
    EXPECT_EQ(second.file("VR_MANGR.IFO"), managementText());

    // A movie file in the way: the management file is complete, the movie
    // file untouched.
    const std::string directory = freshDirectory();
    std::FILE* f = std::fopen((directory + "/VR_MOVIE.VRO").c_str(), "wb");
    std::fputs("keep me", f);
    std::fclose(f);
    const Result third = run(path, {"IMG"}, directory);
    EXPECT_EQ(third.outcome.out,
              "# = 4096 sectors\nWriting VR_MANGR.IFO\nsector count = 1360\n"
              "Writing VR_MOVIE.VRO\nsector count = 300\n*** Error!\ncan't open file\n");
    EXPECT_EQ(third.file("VR_MANGR.IFO"), managementText());
    EXPECT_EQ(third.file("VR_MOVIE.VRO"), "keep me");
}

TEST_F(FixedLayout, ReadFailureKeepsTheFileAsFarAsItGot)
{
    ImageFault fault;
    fault.lba = 10112 + 5;
    hooks.settings.faults = {fault};
    const Result r = run(image(), {"IMG"});
    EXPECT_EQ(r.outcome.status, 255);
    EXPECT_EQ(r.outcome.out, output(300).substr(0, output(300).size() - 10) +
                                 "SCSI Error\nStatus = 0x00000002\nSense Data:\n"
                                 "00000000  70 00 03 00 00 00 00 0A  00 00 00 00 11 00 00 00  p...............\n"
                                 "00000010  00 00                                             ..              \n");
    EXPECT_EQ(r.file("VR_MANGR.IFO"), managementText());
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), bytesOf(range(10112, 10117)));
}

TEST_F(FixedLayout, ShortReadWarnsAndLeavesZerosNotStaleBytes)
{
    ImageFault fault;
    fault.kind = ImageFault::Kind::ShortTransfer;
    fault.lba = 10113;
    fault.transfer = 1000;
    hooks.settings.faults = {fault};
    const Result r = run(image(), {"IMG"});
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out,
              "# = 4096 sectors\nWriting VR_MANGR.IFO\nsector count = 1360\nWriting VR_MOVIE.VRO\n"
              "sector count = 300\nNo error. But data length not match\nqcompleted\n");
    std::string expected = bytesOf(range(10112, kVrSectors));
    std::fill(expected.begin() + 2048 + 1000, expected.begin() + 4096, '\0');
    EXPECT_EQ(r.file("VR_MOVIE.VRO"), expected);
}

}  // namespace

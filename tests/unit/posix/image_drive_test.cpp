// The emulated drive's model of a damaged disc: the mapfile that came with an
// image, the GOOD fault inside a multi-sector read, the modelled command time
// and the notice for an image that ends in a partial sector.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "mmc.h"
#include "platform/platform.h"
#include "scsi.h"

namespace {

class ImageDriveModel : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        std::map<std::uint32_t, Sector> content;
        for (std::uint32_t s = 0; s < 40; s++) {
            content[s] = sectorWithText("SECTOR " + std::to_string(s));
        }
        image = writeImage("model.img", 40, content);
    }
    void TearDown() override { hooks.reset(); }

    std::string image;
};

std::string textAt(const std::vector<std::uint8_t>& buffer, std::uint32_t index)
{
    const char* text = reinterpret_cast<const char*>(buffer.data() + index * kSectorSize);
    return std::string(text, strnlen(text, 16));
}

TEST_F(ImageDriveModel, SectorsNotRescuedInTheMapfileReadAsMediumError)
{
    // Sectors 10 and 11 bad, 20 half rescued, 30 on never tried.
    const std::string mapfile = image + ".map";
    std::ofstream(mapfile) << "# Mapfile. Created by GNU ddrescue version 1.27\n"
                              "0x00010000     +               1\n"
                              "0x00000000  0x00005000  +\n"
                              "0x00005000  0x00001000  -\n"
                              "0x00006000  0x00004400  +\n"
                              "0x0000A400  0x00000400  /\n"
                              "0x0000A800  0x00004800  +\n";
    std::string error;
    ASSERT_TRUE(platformUseImageMapfile(mapfile.c_str(), &error)) << error;
    const struct {
        std::uint32_t lba;
        std::uint16_t count;
        bool good;
    } cases[] = {
        {0, 10, true}, {9, 1, true},   {10, 1, false}, {11, 1, false}, {12, 1, true},  {8, 4, false},  {11, 2, false},
        {12, 8, true}, {20, 1, false}, {19, 2, false}, {21, 9, true},  {29, 2, false}, {30, 1, false}, {39, 1, false},
    };
    Drive drive = Drive::open(image.c_str());
    for (const auto& c : cases) {
        std::vector<std::uint8_t> buffer(c.count * kSectorSize);
        const CommandOutcome outcome = tryRead10(drive, c.lba, buffer.data(), c.count);
        EXPECT_EQ(outcome.complete(), c.good) << c.lba << "+" << c.count;
        if (c.good) {
            EXPECT_EQ(textAt(buffer, c.count - 1), "SECTOR " + std::to_string(c.lba + c.count - 1));
        } else {
            ASSERT_TRUE(outcome.passed);
            EXPECT_EQ(outcome.result.scsiStatus, 2);
            EXPECT_EQ(std::vector<std::uint8_t>(outcome.result.sense, outcome.result.sense + 18), mediumErrorSense());
            EXPECT_EQ(outcome.result.transferred, 0u);
        }
    }

    std::ofstream(mapfile) << "0x0 + 1\n0x0 0x800 +\n0x1000 0x800 -\n";
    EXPECT_FALSE(platformUseImageMapfile(mapfile.c_str(), &error));
    EXPECT_EQ(error, mapfile + ": line 3: gap before block");
    EXPECT_FALSE(platformUseImageMapfile((image + ".none").c_str(), &error));
    EXPECT_EQ(error, "can't open " + image + ".none");
}

TEST_F(ImageDriveModel, GoodFaultLeavesOnlyItsSectorOfAMultiSectorRead)
{
    ImageFault good;
    good.kind = ImageFault::Kind::Good;
    good.lba = 5;
    hooks.settings.faults = {good};
    Drive drive = Drive::open(image.c_str());
    std::vector<std::uint8_t> buffer(16 * kSectorSize, 0xAA);
    EXPECT_TRUE(tryRead10(drive, 0, buffer.data(), 16).complete());
    for (std::uint32_t s = 0; s < 16; s++) {
        if (s == 5) {
            EXPECT_EQ(
                std::vector<std::uint8_t>(buffer.begin() + s * kSectorSize, buffer.begin() + (s + 1) * kSectorSize),
                std::vector<std::uint8_t>(kSectorSize, 0xAA));
        } else {
            EXPECT_EQ(textAt(buffer, s), "SECTOR " + std::to_string(s));
        }
    }
    // The fault's sector alone: nothing moved into the buffer.
    std::vector<std::uint8_t> one(kSectorSize, 0xBB);
    EXPECT_TRUE(tryRead10(drive, 5, one.data(), 1).complete());
    EXPECT_EQ(one, std::vector<std::uint8_t>(kSectorSize, 0xBB));
    // A read that reaches past the image still fails there.
    std::vector<std::uint8_t> tail(16 * kSectorSize);
    hooks.settings.faults[0].lba = 30;
    const CommandOutcome past = tryRead10(drive, 28, tail.data(), 16);
    EXPECT_FALSE(past.good());
    EXPECT_EQ(past.result.sense[12], 0x21);
}

TEST_F(ImageDriveModel, EveryCommandAddsItsModelledTime)
{
    hooks.settings.commandLatency = 0.0002;
    hooks.settings.mediaRate = 11e6;
    Drive drive = Drive::open(image.c_str());
    std::vector<std::uint8_t> buffer(16 * kSectorSize);
    tryRead10(drive, 0, buffer.data(), 1);
    EXPECT_DOUBLE_EQ(hooks.settings.modelledSeconds, 0.0002 + 2048 / 11e6);
    tryRead10(drive, 16, buffer.data(), 16);
    EXPECT_DOUBLE_EQ(hooks.settings.modelledSeconds, 2 * 0.0002 + 17 * 2048 / 11e6);
    // A failed command costs its latency alone.
    tryRead10(drive, 39, buffer.data(), 2);
    EXPECT_DOUBLE_EQ(hooks.settings.modelledSeconds, 3 * 0.0002 + 17 * 2048 / 11e6);
}

TEST_F(ImageDriveModel, PartialLastSectorGetsANotice)
{
    const struct {
        std::uint64_t extra;
        const char* out;
    } cases[] = {
        {0, ""},
        {123, "image size is not a multiple of 2048 bytes: the last 123 bytes are ignored\n"},
        {2047, "image size is not a multiple of 2048 bytes: the last 2047 bytes are ignored\n"},
    };
    for (const auto& c : cases) {
        std::ofstream(image, std::ios::app) << std::string(c.extra, 'x');
        const ChildOutcome opened = runChild([&] {
            Drive drive = Drive::open(image.c_str());
            std::uint8_t sector[kSectorSize];
            // The partial sector is not part of the disc.
            if (tryRead10(drive, 39, sector, 1).complete() && !tryRead10(drive, 40, sector, 1).good()) {
                std::printf("40 sectors\n");
            }
        });
        EXPECT_EQ(opened.status, 0);
        EXPECT_EQ(opened.out, std::string(c.out) + "40 sectors\n") << c.extra;
        SetUp();
    }
}

}  // namespace

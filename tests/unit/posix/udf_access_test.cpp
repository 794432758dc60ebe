// Sector runs, field access, the medium test and volume recognition.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "scsi.h"
#include "support.h"
#include "udf.h"
#include "volume.h"

namespace {

std::vector<std::uint32_t> readLbas(const std::vector<ReceivedCommand>& log)
{
    std::vector<std::uint32_t> lbas;
    for (const ReceivedCommand& command : log) {
        if (command.cdb[0] == 0x28) {
            lbas.push_back((std::uint32_t{command.cdb[2]} << 24) | (command.cdb[3] << 16) | (command.cdb[4] << 8) |
                           command.cdb[5]);
        }
    }
    return lbas;
}

class Udf : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override { hooks.reset(); }
    void TearDown() override { hooks.reset(); }
};

TEST_F(Udf, ReadFromSectorReadsWholeSectorsAndCopiesOnlyTheCount)
{
    std::map<std::uint32_t, Sector> content;
    for (std::uint32_t lba = 0; lba < 8; lba++) {
        Sector s(2048, static_cast<std::uint8_t>(0x10 + lba));
        content[lba] = s;
    }
    const std::string image = writeImage("run.img", 8, content);
    struct Case {
        std::uint32_t count;
        std::vector<std::uint32_t> reads;
    };
    for (const Case& c : std::vector<Case>{{2048, {2}}, {2049, {2, 3}}, {0, {2}}, {4096, {2, 3}}, {5000, {2, 3, 4}}}) {
        SCOPED_TRACE(c.count);
        hooks.log.clear();
        hooks.settings.record = true;
        std::vector<std::uint8_t> destination(c.count + 64, 0xEE);
        Drive drive = Drive::open(image.c_str());
        readBytes(drive, 2, c.count, destination.data());
        EXPECT_EQ(readLbas(hooks.log), c.reads);
        for (std::uint32_t i = 0; i < c.count; i++) {
            ASSERT_EQ(destination[i], 0x12 + i / 2048) << i;
        }
        for (std::size_t i = c.count; i < destination.size(); i++) {
            ASSERT_EQ(destination[i], 0xEE) << "written beyond the count at " << i;
        }
    }
}

TEST_F(Udf, FieldAccessIsLittleEndianAtAnyOffset)
{
    const std::uint8_t bytes[] = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFF};
    EXPECT_EQ(readLe16(bytes, 0), 0x1234u);
    EXPECT_EQ(readLe32(bytes, 2), 0x12345678u);
    EXPECT_EQ(readLe32(bytes, 1), 0x34567812u);
    EXPECT_EQ(readLe8(bytes, 6), 0xFFu);
    EXPECT_EQ(readLe16(bytes, 5), 0xFF12u);
}

TEST_F(Udf, CheckMediaAcceptsTheDvdProfiles)
{
    const std::string image = writeImage("media.img", 32, {});
    struct Case {
        std::uint16_t profile;
        const char* out;
        int status;
    };
    const std::vector<Case> cases = {
        {0x0013, "", 0},
        {0x001B, "", 0},
        {0x0010, "", 0},
        {0x000A, "*** Error!\nnot DVD\n", 255},
        {0x002A, "*** Error!\nnot DVD\n", 255},
        {0x0041, "*** Error!\nnot DVD\n", 255},
        {0x001C, "*** Error!\nnot DVD\n", 255},
        {0x000F, "*** Error!\nnot DVD\n", 255},
        {0x0000, "*** Error!\nno Media\n", 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        hooks.settings.profile = c.profile;
        const ChildOutcome outcome = runChild([&] {
            Drive drive = Drive::open(image.c_str());
            requireDvdMedium(drive);
        });
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.status, c.status);
    }
}

TEST_F(Udf, CheckBeaSkipsIsoDescriptorsAndNeedsABeginning)
{
    struct Case {
        std::vector<const char*> identifiers;  // from sector 16 on
        const char* out;
        std::size_t reads;
    };
    const std::vector<Case> cases = {
        {{"BEA01", "NSR02", "TEA01"}, "", 1},
        {{"CD001", "CD001", "BEA01"}, "", 3},
        {{"NSR02"}, "*** Error!\nno BEA01\n", 1},
        {{}, "*** Error!\nno BEA01\n", 1},
        {{"CD001", "TEA01"}, "*** Error!\nno BEA01\n", 2},
        {{"cd001", "BEA01"}, "*** Error!\nno BEA01\n", 1},
    };
    for (const Case& c : cases) {
        std::map<std::uint32_t, Sector> content;
        for (std::size_t i = 0; i < c.identifiers.size(); i++) {
            content[static_cast<std::uint32_t>(16 + i)] = recognition(c.identifiers[i]);
        }
        const std::string image = writeImage("vrs.img", 64, content);
        const ChildOutcome outcome = runChild([&] {
            hooks.settings.record = true;
            Drive drive = Drive::open(image.c_str());
            requireExtendedArea(drive);
            std::printf("%zu", readLbas(hooks.log).size());
        });
        EXPECT_EQ(outcome.out, std::string(c.out) + (c.out[0] == '\0' ? std::to_string(c.reads) : ""));
    }
}

TEST_F(Udf, CheckBeaReadsNoFurtherThanSector4095)
{
    std::map<std::uint32_t, Sector> content;
    for (std::uint32_t lba = 16; lba < 4095; lba++) {
        content[lba] = recognition("CD001");
    }
    content[4095] = recognition("BEA01");
    const std::string found = writeImage("cd001-4095.img", 5000, content);
    content[4095] = recognition("CD001");
    content[4096] = recognition("BEA01");
    const std::string notFound = writeImage("cd001-4096.img", 5000, content);

    const auto run = [this](const std::string& image) {
        return runChild([&] {
            hooks.settings.record = true;
            Drive drive = Drive::open(image.c_str());
            requireExtendedArea(drive);
            std::printf("ok %zu", readLbas(hooks.log).size());
        });
    };
    EXPECT_EQ(run(found).out, "ok 4080");
    const ChildOutcome limit = run(notFound);
    EXPECT_EQ(limit.out, "*** Error!\nnot found CD001\n");
    EXPECT_EQ(limit.status, 255);
}

}  // namespace

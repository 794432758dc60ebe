// sectorscope's chain, run in a child process through the emulated drive.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "report.h"
#include "sectorscope.h"
#include "version.h"
#include "volume.h"

namespace {

constexpr std::uint32_t kStart = 300;
constexpr std::uint32_t kSectors = 1000;

Sector numbered(std::uint32_t lba)
{
    Sector s(2048);
    for (std::uint32_t i = 0; i < 2048; i++) {
        s[i] = static_cast<std::uint8_t>(lba + i);
    }
    return s;
}

std::string dumpText(const Sector& sector)
{
    return runChild([&] { printHexDump(sector.data(), 2048); }).out;
}

class Sectorscope : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        volume = basicVolume(kStart, kSectors);
        for (std::uint32_t lba = kStart + 3; lba < kSectors; lba++) {
            volume.sectors[lba] = numbered(lba);
        }
    }
    void TearDown() override { hooks.reset(); }

    ChildOutcome run(std::vector<std::string> arguments)
    {
        const std::string image = volume.write("scope.img");
        std::vector<std::string> words{"sectorscope"};
        for (std::string& argument : arguments) {
            words.push_back(argument == "IMG" ? image : argument);
        }
        return runChild([&] {
            std::vector<char*> argv;
            for (std::string& word : words) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            std::exit(runSectorscope(static_cast<int>(words.size()), argv.data()));
        });
    }

    VolumeImage volume{};
};

TEST_F(Sectorscope, UsageWithoutTwoArguments)
{
    hooks.settings.record = true;
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{}, {"IMG"}, {"IMG", "1", "2"}}) {
        const ChildOutcome outcome = run(arguments);
        EXPECT_EQ(outcome.out, "parameters: <Drive Letter> <Block Number>");
        EXPECT_EQ(outcome.status, 0);
    }
    EXPECT_EQ(run({"--version"}).out, "sectorscope " + std::string(kVersion) + "\n");
    EXPECT_EQ(run({"--help", "IMG", "0"}).out.rfind("usage: sectorscope", 0), 0u);
    const ChildOutcome unknown = run({"--dump-all", "IMG", "0"});
    EXPECT_EQ(unknown.out, "unknown option: --dump-all\n");
    EXPECT_EQ(unknown.status, 2);
}

TEST_F(Sectorscope, DumpsThePartitionBlockInEveryNotation)
{
    const std::string block16 = dumpText(numbered(kStart + 16));
    for (const char* text : {"16", "0x10", "0X10", "0x10trailing"}) {
        const ChildOutcome outcome = run({"IMG", text});
        EXPECT_EQ(outcome.status, 0) << text;
        EXPECT_EQ(outcome.out, block16) << text;
    }
    // No digits: block 0, the partition's first block (here: no data, zeros).
    EXPECT_EQ(run({"IMG", "abc"}).out, dumpText(Sector(2048)));
}

TEST_F(Sectorscope, BoundIsTheEndOfTheRecordedArea)
{
    const std::uint32_t last = kSectors - kStart - 1;
    const ChildOutcome lastBlock = run({"IMG", std::to_string(last)});
    EXPECT_EQ(lastBlock.status, 0);
    EXPECT_EQ(lastBlock.out, dumpText(numbered(kSectors - 1)));
    for (const std::string& text : {std::to_string(last + 1), std::string("-1"), std::string("0x7FFFFFFF")}) {
        const ChildOutcome beyond = run({"IMG", text});
        EXPECT_EQ(beyond.status, 255) << text;
        EXPECT_EQ(beyond.out, "*** Error!\nBlock Number error\n") << text;
    }
}

TEST_F(Sectorscope, ReadsTheBlockThroughThePartitionMap)
{
    // Sparable: packets of 4 blocks, the one of blocks 8-11 spared to sector
    // 700 (the Sparing Table at sector 200). Virtual: block 10 at physical
    // block 650 by the table whose File Entry is the last sector, 999.
    Bytes sparable(64, 0);
    Bytes virtualMap(64, 0);
    sparable[0] = virtualMap[0] = 2;
    sparable[1] = virtualMap[1] = 64;
    const std::string sparableName = "*UDF Sparable Partition";
    const std::string virtualName = "*UDF Virtual Partition";
    std::copy(sparableName.begin(), sparableName.end(), sparable.begin() + 5);
    std::copy(virtualName.begin(), virtualName.end(), virtualMap.begin() + 5);
    sparable[40] = 4;
    sparable[42] = 1;
    put32(sparable, 44, 2048);
    put32(sparable, 48, 200);
    Sector sparing(2048);
    const std::string sparingName = "*UDF Sparing Table";
    std::copy(sparingName.begin(), sparingName.end(), sparing.begin() + 17);
    put16(sparing, 48, 1);
    put32(sparing, 56, 8);
    put32(sparing, 60, 700);
    Bytes vat(152 + 4 * 11, 0);
    put16(vat, 0, 152);
    for (std::uint32_t block = 0; block < 11; block++) {
        put32(vat, 152 + 4 * block, block == 10 ? 650 : block);
    }
    Sector vatData(2048);
    std::copy(vat.begin(), vat.end(), vatData.begin());
    Sector vatEntry = fileEntry(vat.size(), 0, shortAd(0, static_cast<std::uint32_t>(vat.size()), 600));
    vatEntry[27] = 248;
    const Bytes physical = {1, 6, 0, 0, 0, 0};
    struct Case {
        const char* name;
        Bytes maps;
        std::uint32_t count, reference, block, sector;
    };
    for (const Case& c :
         {Case{"sparable", sparable, 1, 0, 9, 701}, Case{"virtual", join({physical, virtualMap}), 2, 1, 10, 950}}) {
        volume = basicVolume(kStart, kSectors);
        for (std::uint32_t lba = kStart + 3; lba < kSectors; lba++) {
            volume.sectors[lba] = numbered(lba);
        }
        Sector lvd = logicalVolume(1);
        put16(lvd, 256, static_cast<std::uint16_t>(c.reference));
        put32(lvd, 264, static_cast<std::uint32_t>(c.maps.size()));
        put32(lvd, 268, c.count);
        std::copy(c.maps.begin(), c.maps.end(), lvd.begin() + 440);
        volume.sectors[33] = lvd;
        volume.sectors[200] = sparing;
        volume.sectors[kStart + 600] = vatData;
        volume.sectors[kSectors - 1] = vatEntry;
        const ChildOutcome outcome = run({"IMG", std::to_string(c.block)});
        EXPECT_EQ(outcome.status, 0) << c.name << outcome.out;
        EXPECT_EQ(outcome.out, dumpText(numbered(c.sector))) << c.name;
    }
}

TEST_F(Sectorscope, TrackInformationCasesForTheBound)
{
    DriveHookSettings& settings = hooks.settings;
    settings.lastRecordedAddress = 599;
    settings.nextWritableAddress = 500;
    settings.trackSize = 400;
    settings.lraValid = true;
    settings.nwaValid = true;  // LRA wins: end 600, 300 blocks
    EXPECT_EQ(run({"IMG", "299"}).status, 0);
    EXPECT_EQ(run({"IMG", "300"}).out, "*** Error!\nBlock Number error\n");
    settings.lraValid = false;  // NWA alone: end 500
    EXPECT_EQ(run({"IMG", "199"}).status, 0);
    EXPECT_EQ(run({"IMG", "200"}).out, "*** Error!\nBlock Number error\n");
    settings.nwaValid = false;  // neither: the track size, 400
    EXPECT_EQ(run({"IMG", "99"}).status, 0);
    EXPECT_EQ(run({"IMG", "100"}).out, "*** Error!\nBlock Number error\n");
    settings.trackSize = 300;  // the partition starts at the end: nothing recorded
    EXPECT_EQ(run({"IMG", "0"}).out, "*** Error!\nBlock Number error\n");
    settings.trackSize = 200;  // and before it: no wrap round to a huge bound
    EXPECT_EQ(run({"IMG", "5"}).out, "*** Error!\nBlock Number error\n");
}

TEST_F(Sectorscope, TrackNumberHasAHighByte)
{
    hooks.settings.lastTrack = 300;
    const ChildOutcome outcome = runChild([&] {
        hooks.settings.record = true;
        const std::string image = volume.write("scope300.img");
        dumpPartitionBlock(image.c_str(), 16);
        for (const ReceivedCommand& command : hooks.log) {
            if (command.cdb[0] == 0x52) {
                std::printf("track %u\n", (command.cdb[4] << 8) | command.cdb[5]);
            }
        }
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_NE(outcome.out.find("track 300\n"), std::string::npos);
}

TEST_F(Sectorscope, VolumeStructureFailures)
{
    VolumeImage original = volume;
    volume.sectors[256] = Sector(2048);
    EXPECT_EQ(run({"IMG", "0"}).out, "*** Error!\nnot AVDP\n");
    volume = original;
    volume.sectors[256] = anchor(32, 2047);
    EXPECT_EQ(run({"IMG", "0"}).out, "*** Error!\nnot found PD\n");
    volume = original;
    volume.sectors[32] = logicalVolume(1);
    volume.sectors[33] = logicalVolume(1);
    const ChildOutcome none = run({"IMG", "0"});
    EXPECT_EQ(none.out, "*** Error!\nnot found PD\n");
    EXPECT_EQ(none.status, 255);
    // Of two Partition Descriptors the first counts.
    volume = original;
    volume.sectors[32] = logicalVolume(1);
    volume.sectors[33] = partitionDescriptor(kStart + 10);
    volume.sectors[34] = partitionDescriptor(kStart + 20);
    EXPECT_TRUE(run({"IMG", "0"}).out == dumpText(numbered(kStart + 10)));
    volume = original;
    volume.sectors[16] = recognition("NSR02");
    EXPECT_EQ(run({"IMG", "0"}).out, "*** Error!\nno BEA01\n");
    volume = original;
    hooks.settings.profile = 0x000A;
    EXPECT_EQ(run({"IMG", "0"}).out, "*** Error!\nnot DVD\n");
}

TEST_F(Sectorscope, SequenceScanStopsAfter256Sectors)
{
    // A sequence extent that claims the whole disc: the Partition Descriptor
    // in its 256th sector is found, one in its 257th is not.
    volume.sectors[256] = anchor(300, 0xFFFFF800u);
    volume.sectors[32] = Sector(2048);
    volume.sectors[300 + 255] = partitionDescriptor(kStart);
    EXPECT_EQ(run({"IMG", "16"}).status, 0);
    volume.sectors.erase(300 + 255);
    volume.sectors[300 + 256] = partitionDescriptor(kStart);
    EXPECT_EQ(run({"IMG", "16"}).out, "*** Error!\nnot found PD\n");
}

TEST_F(Sectorscope, DriveArgumentsThatOpenNothing)
{
    const ChildOutcome missing = run({"/nonexistent/drive", "0"});
    EXPECT_EQ(missing.out, "*** Error!\ncan't open device\n");
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(run({std::string(600, 'E'), "0"}).out, "*** Error!\ncan't open device\n");
    const ChildOutcome tooLong = run({std::string(5000, 'E'), "0"});
    EXPECT_EQ(tooLong.out, "*** Error!\ndrive argument too long\n");
    EXPECT_EQ(tooLong.status, 255);
}

}  // namespace

// Reading a file's data through its allocation descriptors, and the listing
// of those descriptors, through the emulated drive.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "report.h"
#include "scsi.h"
#include "udf_file.h"
#include "udf_report.h"
#include "volume.h"

namespace {

constexpr std::uint32_t kStart = 100;  // partition start of every image here
const Partition kPartition = [] {
    Partition partition;
    partition.start = kStart;
    return partition;
}();

SectorBuffer asSector(const Sector& bytes)
{
    SectorBuffer sector{};
    std::memcpy(sector.data(), bytes.data(), sector.size());
    return sector;
}

// Every data byte tells its sector and its place in it.
std::uint8_t patternByte(std::uint32_t lba, std::uint32_t offset)
{
    return static_cast<std::uint8_t>(lba * 7 + offset * 13 + offset / 256);
}

Sector patternSector(std::uint32_t lba)
{
    Sector s(2048);
    for (std::uint32_t i = 0; i < 2048; i++) {
        s[i] = patternByte(lba, i);
    }
    return s;
}

class FileReader : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        for (std::uint32_t block = 10; block < 60; block++) {
            disc[kStart + block] = patternSector(kStart + block);
        }
    }
    void TearDown() override { hooks.reset(); }

    std::string image() { return writeImage("file.img", 400, disc); }

    // Reads through readFileData in this process (so leak checks see every
    // block) and returns the bytes and the sectors read.
    std::vector<std::uint8_t> read(const Sector& fe, std::uint32_t offset, std::uint32_t length,
                                   std::vector<std::uint32_t>* lbas = nullptr)
    {
        const std::string path = image();
        hooks.settings.record = true;
        hooks.log.clear();
        std::vector<std::uint8_t> destination(length + 32, 0xEE);
        Drive drive = Drive::open(path.c_str());
        readFileData(drive, kPartition, decodeFileEntry(fe.data()), offset, length, destination.data());
        for (std::size_t i = length; i < destination.size(); i++) {
            EXPECT_EQ(destination[i], 0xEE) << "written beyond the length at " << i;
        }
        destination.resize(length);
        if (lbas != nullptr) {
            lbas->clear();
            for (const ReceivedCommand& command : hooks.log) {
                lbas->push_back((std::uint32_t{command.cdb[2]} << 24) | (command.cdb[3] << 16) | (command.cdb[4] << 8) |
                                command.cdb[5]);
            }
        }
        return destination;
    }

    ChildOutcome fails(const Sector& fe, std::uint32_t offset, std::uint32_t length)
    {
        const std::string path = image();
        return runChild([&] {
            // The refusals come before anything is copied.
            std::vector<std::uint8_t> destination(length < 65536 ? length + 1 : 65536);
            Drive drive = Drive::open(path.c_str());
            readFileData(drive, kPartition, decodeFileEntry(fe.data()), offset, length, destination.data());
        });
    }

    // The bytes of the file whose extents are (block, length) runs.
    static std::vector<std::uint8_t> expected(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& runs)
    {
        std::vector<std::uint8_t> bytes;
        for (const auto& [block, length] : runs) {
            for (std::uint32_t i = 0; i < length; i++) {
                bytes.push_back(block == 0 ? 0 : patternByte(kStart + block + i / 2048, i % 2048));
            }
        }
        return bytes;
    }

    std::map<std::uint32_t, Sector> disc;
};

TEST_F(FileReader, OneShortExtent)
{
    std::vector<std::uint32_t> lbas;
    const auto data = read(fileEntry(5000, 0, shortAd(0, 5000, 10)), 0, 5000, &lbas);
    EXPECT_EQ(data, expected({{10, 5000}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 111, 112}));
}

TEST_F(FileReader, SecondExtentFollowsTheFirstWithoutAGap)
{
    const Sector fe = fileEntry(4196, 0, join({shortAd(0, 4096, 10), shortAd(0, 100, 20)}));
    std::vector<std::uint32_t> lbas;
    EXPECT_EQ(read(fe, 0, 4196, &lbas), expected({{10, 4096}, {20, 100}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 111, 120}));
}

TEST_F(FileReader, ReadStopsAtTheExtentHoldingTheLastByte)
{
    // The second descriptor would fail if it were looked at.
    const Sector fe = fileEntry(9000, 0, join({shortAd(0, 6144, 10), shortAd(3, 2048, 399)}));
    std::vector<std::uint32_t> lbas;
    EXPECT_EQ(read(fe, 0, 3000, &lbas), expected({{10, 3000}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 111}));
}

TEST_F(FileReader, ContinuationExtentsCarryOnTheList)
{
    disc[kStart + 70] = allocationExtent(join({shortAd(0, 2048, 30), shortAd(3, 2048, 71)}));
    disc[kStart + 71] = allocationExtent(shortAd(0, 3000, 40));
    const Sector fe = fileEntry(0, 0, join({shortAd(0, 2048, 10), shortAd(3, 2048, 70), shortAd(0, 2048, 50)}));
    std::vector<std::uint32_t> lbas;
    EXPECT_EQ(read(fe, 0, 7096, &lbas), expected({{10, 2048}, {30, 2048}, {40, 3000}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 170, 130, 171, 140, 141}));
}

TEST_F(FileReader, LongAndExtendedDescriptors)
{
    const Sector longs = fileEntry(0, 1, join({longAd(0, 2048, 10, 7), longAd(0, 10, 12, 0xFFFF)}));
    EXPECT_EQ(read(longs, 0, 2058), expected({{10, 2048}, {12, 10}}));
    const Sector exts = fileEntry(0, 2, join({extAd(0, 4096, 15), extAd(0, 1, 30)}));
    EXPECT_EQ(read(exts, 0, 4097), expected({{15, 4096}, {30, 1}}));
    // A remainder of the descriptor area is ignored: 20 bytes are two short_ads.
    Bytes area = join({shortAd(0, 2048, 10), shortAd(0, 2048, 11)});
    area.resize(20, 0xFF);
    EXPECT_EQ(read(fileEntry(0, 0, area), 0, 4096), expected({{10, 4096}}));
}

// Both kinds of File Entry, every allocation form, with and without extended
// attributes before the descriptors, give the same bytes; and each kind's
// lengths are checked against its own offsets.
TEST_F(FileReader, ExtendedFileEntriesReadAsFileEntries)
{
    Bytes content(300);
    for (std::size_t i = 0; i < content.size(); i++) {
        content[i] = static_cast<std::uint8_t>(i * 3 + 1);
    }
    struct Case {
        std::uint32_t form;
        Bytes area;
        std::uint32_t length;
        std::vector<std::uint8_t> want;
    };
    const std::vector<Case> cases = {
        {0, join({shortAd(0, 2048, 10), shortAd(2, 2048, 0), shortAd(0, 100, 30)}), 4196,
         expected({{10, 2048}, {0, 2048}, {30, 100}})},
        {1, join({longAd(0, 4096, 12, 3), longAd(0, 10, 40)}), 4106, expected({{12, 4096}, {40, 10}})},
        {2, join({extAd(0, 2048, 15), extAd(0, 1, 31)}), 2049, expected({{15, 2048}, {31, 1}})},
        {3, content, 300, content},
    };
    for (const Case& c : cases) {
        for (const std::uint32_t lea : {0u, 24u, 1000u}) {
            SCOPED_TRACE("form " + std::to_string(c.form) + ", L_EA " + std::to_string(lea));
            EXPECT_EQ(read(extendedFileEntry(c.length, c.form, c.area, lea), 0, c.length), c.want);
            EXPECT_EQ(read(fileEntry(c.length, c.form, c.area, lea), 0, c.length), c.want);
            EXPECT_EQ(decodeFileEntry(extendedFileEntry(c.length, c.form, c.area, lea).data()).informationLength,
                      c.length);
        }
    }
    // 1832 bytes of descriptors fit after a File Entry's head, not after an
    // Extended one's.
    const Bytes area(2048 - 176, 0);
    EXPECT_EQ(fails(extendedFileEntry(0, 0, area), 0, 10).out,
              "*** Error!\nallocation descriptors beyond the File Entry\n");
    EXPECT_EQ(fails(extendedFileEntry(0, 0, Bytes(2048 - 216 - 8, 0), 9), 0, 10).out,
              "*** Error!\nallocation descriptors beyond the File Entry\n");
    EXPECT_EQ(fails(fileEntry(0, 0, area), 0, 10).out, "*** Error!\nfile out of range\n");
}

TEST_F(FileReader, ZeroLengthRecordedExtent)
{
    std::vector<std::uint32_t> lbas;
    // Before copying: no read. After: one sector read, no bytes.
    const Sector fe =
        fileEntry(0, 0, join({shortAd(0, 0, 20), shortAd(0, 2048, 10), shortAd(0, 0, 25), shortAd(0, 100, 30)}));
    EXPECT_EQ(read(fe, 0, 2148, &lbas), expected({{10, 2048}, {30, 100}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 125, 130}));
}

TEST_F(FileReader, EmbeddedData)
{
    Bytes content(100);
    for (std::size_t i = 0; i < content.size(); i++) {
        content[i] = static_cast<std::uint8_t>(i + 1);
    }
    std::vector<std::uint32_t> lbas;
    EXPECT_EQ(read(fileEntry(100, 3, content, 12), 0, 100, &lbas), content);
    EXPECT_TRUE(lbas.empty());
    EXPECT_EQ(read(fileEntry(100, 3, content), 40, 60), Bytes(content.begin() + 40, content.end()));

    const ChildOutcome longer = fails(fileEntry(100, 3, content), 0, 101);
    EXPECT_EQ(longer.out, "*** Error!\nout of range\n");
    EXPECT_EQ(longer.status, 255);
    EXPECT_EQ(fails(fileEntry(0, 3, {}), 0, 0).out, "*** Error!\nout of range\n");
    EXPECT_EQ(fails(fileEntry(100, 3, content), 100, 0).out, "*** Error!\nout of range\n");
    EXPECT_EQ(fails(fileEntry(100, 3, content), 50, 0xFFFFFFF0u).out, "*** Error!\nout of range\n");
}

TEST_F(FileReader, FailuresOfTheDescriptors)
{
    EXPECT_EQ(fails(fileEntry(0, 0, join({shortAd(1, 2048, 10), shortAd(0, 2048, 11)})), 0, 4096).out,
              "*** Error!\nallocated but not recorded\n");
    EXPECT_EQ(fails(fileEntry(0, 0, shortAd(0, 2048, 10)), 0, 2049).out, "*** Error!\nfile out of range\n");
    EXPECT_EQ(fails(fileEntry(0, 0, {}), 0, 0).out, "*** Error!\nfile out of range\n");
    for (std::uint32_t type = 4; type < 8; type++) {
        const ChildOutcome outcome = fails(fileEntry(0, type, shortAd(0, 2048, 10)), 0, 10);
        EXPECT_EQ(outcome.out, "*** Error!\nbad AD Type\n");
        EXPECT_EQ(outcome.status, 255);
    }
}

TEST_F(FileReader, LengthsBeyondTheFileEntryAreRefused)
{
    Sector fe = fileEntry(0, 0, shortAd(0, 2048, 10));
    put32(fe, 172, 2048 - 176 + 1);  // L_AD one past the sector
    EXPECT_EQ(fails(fe, 0, 10).out, "*** Error!\nallocation descriptors beyond the File Entry\n");
    put32(fe, 172, 8);
    put32(fe, 168, 0xFFFFFFF8u);  // L_EA + L_AD wraps round in 32 bits
    EXPECT_EQ(fails(fe, 0, 10).out, "*** Error!\nallocation descriptors beyond the File Entry\n");
    put32(fe, 168, 2048 - 176 - 8);  // the last 8 bytes of the sector: fine
    const Sector last = fe;
    EXPECT_EQ(fails(last, 0, 10).status, 255);  // they hold zeros: a file of one empty extent
    Sector embedded = fileEntry(0, 3, Bytes(10, 1));
    put32(embedded, 172, 5000);
    EXPECT_EQ(fails(embedded, 0, 10).out, "*** Error!\nallocation descriptors beyond the File Entry\n");
}

TEST_F(FileReader, HostileContinuationChains)
{
    // A continuation extent that names itself never ends on its own.
    disc[kStart + 70] = allocationExtent(shortAd(3, 2048, 70));
    const ChildOutcome loop = fails(fileEntry(0, 0, shortAd(3, 2048, 70)), 0, 10);
    EXPECT_EQ(loop.out, "*** Error!\ntoo many allocation extents\n");
    EXPECT_EQ(loop.status, 255);

    // A list length beyond the extent that holds it.
    disc[kStart + 71] = allocationExtent(shortAd(0, 2048, 10), 2048 - 24 + 8);
    EXPECT_EQ(fails(fileEntry(0, 0, shortAd(3, 2048, 71)), 0, 10).out, "*** Error!\nbad allocation extent\n");
    disc[kStart + 72] = allocationExtent(shortAd(0, 2048, 10), 16);
    EXPECT_EQ(fails(fileEntry(0, 0, shortAd(3, 30, 72)), 0, 10).out, "*** Error!\nbad allocation extent\n");
    // Extents too short for the head, or longer than a block.
    EXPECT_EQ(fails(fileEntry(0, 0, shortAd(3, 23, 72)), 0, 10).out, "*** Error!\nbad allocation extent\n");
    EXPECT_EQ(fails(fileEntry(0, 0, shortAd(3, 0x3FFFFFFF, 72)), 0, 10).out, "*** Error!\nbad allocation extent\n");
    // An exactly fitting list is fine.
    disc[kStart + 73] = allocationExtent(shortAd(0, 2048, 10));
    EXPECT_EQ(read(fileEntry(0, 0, shortAd(3, 32, 73)), 0, 2048), expected({{10, 2048}}));
}

TEST_F(FileReader, StartInsideARecordedExtent)
{
    const Sector fe = fileEntry(0, 0, join({shortAd(0, 5000, 10), shortAd(0, 3000, 20)}));
    std::vector<std::uint32_t> lbas;
    const auto whole = expected({{10, 5000}, {20, 3000}});
    EXPECT_EQ(read(fe, 2100, 1000, &lbas), Bytes(whole.begin() + 2100, whole.begin() + 3100));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{111}));
    EXPECT_EQ(read(fe, 3000, 4000, &lbas), Bytes(whole.begin() + 3000, whole.begin() + 7000));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{111, 112, 120}));
    EXPECT_EQ(read(fe, 5001, 10), Bytes(whole.begin() + 5001, whole.begin() + 5011));
}

TEST_F(FileReader, UnrecordedExtentsReadAsZerosInTheirPlace)
{
    // A hole (neither recorded nor allocated) and, once copying has begun,
    // an allocated but unrecorded extent both take their length in the file.
    const Sector fe =
        fileEntry(0, 0, join({shortAd(0, 2048, 10), shortAd(2, 4096, 0), shortAd(1, 100, 0), shortAd(0, 2048, 20)}));
    std::vector<std::uint32_t> lbas;
    EXPECT_EQ(read(fe, 0, 8292, &lbas), expected({{10, 2048}, {0, 4196}, {20, 2048}}));
    EXPECT_EQ(lbas, (std::vector<std::uint32_t>{110, 120}));
    // A read that starts inside a hole starts with zeros.
    const Sector hole = fileEntry(0, 0, join({shortAd(2, 4096, 0), shortAd(0, 2048, 20)}));
    EXPECT_EQ(read(hole, 4000, 200), expected({{0, 96}, {20, 104}}));
    EXPECT_EQ(read(hole, 4096, 100), expected({{20, 100}}));
}

TEST_F(FileReader, AllocationListingThroughAContinuation)
{
    disc[kStart + 70] = allocationExtent(join({shortAd(0, 5000, 0x30), shortAd(1, 2048, 0x40)}));
    const Sector fe = fileEntry(0, 0, join({shortAd(0, 4096, 0x10), shortAd(3, 40, 70), shortAd(0, 2048, 0x99)}));
    disc[kStart + 5] = fe;
    const std::string path = image();
    const ChildOutcome outcome = runChild([&] {
        Drive drive = Drive::open(path.c_str());
        increaseIndent();
        printAllocations(drive, decodePartition(asSector(partitionDescriptor(kStart))), 5);
        printFileEntryAllocations(drive, kPartition, decodeFileEntry(fileEntry(0, 3, Bytes(8, 0)).data()));
    });
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out,
              "  0x00000010 - 0x00000011 AR\n"
              "  0x00000046 - 0x00000046  : byte count in last block = 0x00000028\n\n"
              "  0x00000030 - 0x00000032 AR : byte count in last block = 0x00000388\n\n"
              "  0x00000040 - 0x00000040 A \n");
    // The listing keeps to the same bounds as the reader.
    disc[kStart + 70] = allocationExtent(shortAd(3, 2048, 70));
    const std::string loop = image();
    const ChildOutcome looped = runChild([&] {
        Drive drive = Drive::open(loop.c_str());
        printFileEntryAllocations(drive, kPartition, decodeFileEntry(fileEntry(0, 0, shortAd(3, 2048, 70)).data()));
    });
    EXPECT_EQ(looped.status, 255);
    EXPECT_NE(looped.out.find("*** Error!\ntoo many allocation extents\n"), std::string::npos);
    EXPECT_EQ(runChild([&] {
                  Drive drive = Drive::open(loop.c_str());
                  printFileEntryAllocations(drive, kPartition, decodeFileEntry(fileEntry(0, 5, {}).data()));
              }).out,
              "*** Error!\nbad AD Type\n");
}

}  // namespace

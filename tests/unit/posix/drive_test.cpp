// The command blocks of every MMC command, the pass-through's error reports
// and the SG_IO request, checked through the emulated drive and the SG_IO
// helpers.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "drive_hooks.h"
#include "mmc.h"
#include "platform/sg_io.h"
#include "report.h"
#include "scsi.h"

namespace {

using Cdb = std::array<std::uint8_t, 12>;

class DriveCommands : public ::testing::Test {
protected:
    DriveHooks hooks;

protected:
    void SetUp() override
    {
        hooks.reset();
        image = writeImage("drive.img", 20, {{3, sectorWithText("THREE")}, {4, sectorWithText("FOUR")}});
    }
    void TearDown() override { hooks.reset(); }

    // The drive over the test's image, open until close() or the end of the test.
    Drive& open()
    {
        opened_.reset();
        opened_.emplace(Drive::open(image.c_str()));
        return *opened_;
    }
    void close() { opened_.reset(); }

    // Sends `send` to a drive that accepts every command, and returns the
    // one command block it received with its direction and data length.
    ReceivedCommand only(const std::function<void(Drive&)>& send)
    {
        ImageFault good;
        good.kind = ImageFault::Kind::Good;
        hooks.settings.faults = {good};
        hooks.settings.record = true;
        hooks.log.clear();
        send(open());
        close();
        EXPECT_EQ(hooks.log.size(), 1u);
        return hooks.log.empty() ? ReceivedCommand{} : hooks.log.front();
    }

    static Cdb cdbOf(const ReceivedCommand& command)
    {
        EXPECT_EQ(command.cdbLength, 12);
        Cdb cdb{};
        std::memcpy(cdb.data(), command.cdb.data(), 12);
        return cdb;
    }

    std::string image;
    std::optional<Drive> opened_;
    std::uint8_t buffer[65536] = {};
};

TEST_F(DriveCommands, CommandBlocksOfEveryCommand)
{
    struct Case {
        const char* name;
        std::function<void(Drive&, void*)> send;
        Cdb cdb;
        std::uint8_t direction;
        std::uint32_t length;
    };
    const std::vector<Case> cases = {
        {"ModeSense",
         [](Drive& d, void* b) { modeSense10(d, 0x2A, b, 0x1234); },
         {0x5A, 0, 0x2A, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0},
         kDirectionIn,
         0x1234},
        {"ModeSelect",
         [](Drive& d, void* b) { modeSelect10(d, b, 0x0102); },
         {0x55, 0x10, 0, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0},
         kDirectionOut,
         0x0102},
        {"ReserveTrack",
         [](Drive& d, void*) { reserveTrack(d, 0x11223344); },
         {0x53, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0, 0, 0},
         kDirectionNone,
         0},
        {"WriteASector",
         [](Drive& d, void* b) { writeSector(d, 0x01020304, b); },
         {0x2A, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 1, 0, 0, 0},
         kDirectionOut,
         2048},
        {"WriteSectors",
         [](Drive& d, void* b) { write10(d, 0x10, b, 3); },
         {0x2A, 0, 0, 0, 0, 0x10, 0, 0, 3, 0, 0, 0},
         kDirectionOut,
         3 * 2048},
        {"SynchronizeCache",
         [](Drive& d, void*) { synchronizeCache(d); },
         {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirectionNone,
         0},
        {"ReadASector",
         [](Drive& d, void* b) { readSector(d, 0xA0B0C0D0, b); },
         {0x28, 0, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 1, 0, 0, 0},
         kDirectionIn,
         2048},
        {"ReadSectors",
         [](Drive& d, void* b) { read10(d, 7, b, 0x0102); },
         {0x28, 0, 0, 0, 0, 7, 0, 0x01, 0x02, 0, 0, 0},
         kDirectionIn,
         0x0102 * 2048},
        {"ReadTrackInformation",
         [](Drive& d, void*) { readTrackInformation(d, 300); },
         {0x52, 0x01, 0, 0, 0x01, 0x2C, 0, 0, 48, 0, 0, 0},
         kDirectionIn,
         48},
        {"ReadDiscInformation",
         [](Drive& d, void*) { readDiscInformation(d); },
         {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0, 0, 0},
         kDirectionIn,
         34},
        {"Inquiry", [](Drive& d, void*) { inquiry(d); }, {0x12, 0, 0, 0, 96, 0, 0, 0, 0, 0, 0, 0}, kDirectionIn, 96},
        {"Blank",
         [](Drive& d, void*) { blank(d, 7, 0x00ABCDEF); },
         {0xA1, 7, 0x00, 0xAB, 0xCD, 0xEF, 0, 0, 0, 0, 0, 0},
         kDirectionNone,
         0},
        {"FormatUnit",
         [](Drive& d, void* b) { formatUnit(d, b); },
         {0x04, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         kDirectionOut,
         12},
        {"GetConfiguration",
         [](Drive& d, void* b) { getConfiguration(d, 0x0107, b, 8); },
         {0x46, 0x02, 0x01, 0x07, 0, 0, 0, 0, 8, 0, 0, 0},
         kDirectionIn,
         8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReceivedCommand command = only([&](Drive& d) { c.send(d, buffer); });
        EXPECT_EQ(cdbOf(command), c.cdb);
        EXPECT_EQ(command.direction, c.direction);
        EXPECT_EQ(command.dataLength, c.length);
    }
}

TEST_F(DriveCommands, SingleSectorFormsSendTheSameBlocks)
{
    EXPECT_EQ(cdbOf(only([&](Drive& d) { read10(d, 5, buffer, 1); })),
              cdbOf(only([&](Drive& d) { readSector(d, 5, buffer); })));
    EXPECT_EQ(cdbOf(only([&](Drive& d) { write10(d, 5, buffer, 1); })),
              cdbOf(only([&](Drive& d) { writeSector(d, 5, buffer); })));
    // The 16-bit count gives the largest transfer: 65535 sectors.
    EXPECT_EQ(only([&](Drive& d) { read10(d, 0, nullptr, 0xFFFF); }).dataLength, 134215680u);
}

TEST_F(DriveCommands, WriteSectorsOneCommandASector)
{
    ImageFault good;
    good.kind = ImageFault::Kind::Good;
    hooks.settings.faults = {good};
    hooks.settings.record = true;
    Drive& drive = open();
    writeSectorsOneByOne(drive, 0xFF, buffer, 3);
    writeSectorsOneByOne(drive, 0, buffer, 0);
    close();
    ASSERT_EQ(hooks.log.size(), 3u);
    for (std::uint32_t i = 0; i < 3; i++) {
        const Cdb cdb = cdbOf(hooks.log[i]);
        const std::uint32_t lba = (std::uint32_t{cdb[2]} << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
        EXPECT_EQ(cdb[0], 0x2A);
        EXPECT_EQ(lba, 0xFF + i);
        EXPECT_EQ(cdb[8], 1);
        EXPECT_EQ(hooks.log[i].dataLength, 2048u);
    }
}

TEST_F(DriveCommands, RefusalsBeforeAnythingIsSent)
{
    hooks.settings.record = true;
    for (unsigned page : {0u, 63u}) {
        const ChildOutcome ok = runChild([&] {
            ImageFault good;
            good.kind = ImageFault::Kind::Good;
            hooks.settings.faults = {good};
            Drive& drive = open();
            modeSense10(drive, static_cast<std::uint8_t>(page), buffer, 8);
            close();
        });
        EXPECT_EQ(ok.status, 0) << page;
    }
    const ChildOutcome page = runChild([&] { modeSense10(open(), 64, buffer, 8); });
    EXPECT_EQ(page.status, 255);
    EXPECT_EQ(page.out, "*** Error!\nin ModeSense(): bad page code\n");
    const ChildOutcome blanking = runChild([&] { blank(open(), 8, 0); });
    EXPECT_EQ(blanking.status, 255);
    EXPECT_EQ(blanking.out, "*** Error!\nBad Blanking Type\n");
    // Nothing reached the drive in the parent either.
    EXPECT_TRUE(hooks.log.empty());
}

TEST_F(DriveCommands, ReadsTheImageAndRefusesWhatTheDriveDoesNot)
{
    Drive& drive = open();
    readSector(drive, 3, buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "THREE");
    read10(drive, 3, buffer, 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer) + 2048, 4), "FOUR");
    close();

    const ChildOutcome beyond = runChild([&] { readSector(open(), 20, buffer); });
    EXPECT_EQ(beyond.status, 255);
    EXPECT_EQ(beyond.out,
              "SCSI Error\nStatus = 0x00000002\nSense Data:\n"
              "00000000  70 00 05 00 00 00 00 0A  00 00 00 00 21 00 00 00  p...........!...\n"
              "00000010  00 00                                             ..              \n");
    const ChildOutcome write = runChild([&] { writeSector(open(), 0, buffer); });
    EXPECT_EQ(write.status, 255);
    EXPECT_NE(write.out.find("05 00 00 00 00 0A  00 00 00 00 20 00"), std::string::npos);
}

TEST_F(DriveCommands, ErrorReportsOfThePassThrough)
{
    ImageFault sense;
    sense.kind = ImageFault::Kind::CheckCondition;
    sense.opcode = 0x28;
    sense.lba = 4;
    sense.sense = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x05, 0, 0, 0, 0, 0xAA, 0xBB};
    const ChildOutcome checked = runChild([&] {
        hooks.settings.faults = {sense};
        Drive& drive = open();
        readSector(drive, 3, buffer);
        std::printf("read 3\n");
        readSector(drive, 4, buffer);
        std::printf("not reached\n");
    });
    EXPECT_EQ(checked.status, 255);
    EXPECT_EQ(checked.out,
              "read 3\nSCSI Error\nStatus = 0x00000002\nSense Data:\n"
              "00000000  70 00 03 00 00 00 00 0A  00 00 00 00 11 05 00 00  p...............\n"
              "00000010  00 00 AA BB                                       ....            \n");

    ImageFault busy;
    busy.kind = ImageFault::Kind::StatusOnly;
    busy.status = 0x08;
    const ChildOutcome bare = runChild([&] {
        hooks.settings.faults = {busy};
        synchronizeCache(open());
    });
    EXPECT_EQ(bare.status, 255);
    EXPECT_EQ(bare.out, "SCSI Error\nStatus = 0x00000008\n");

    ImageFault failed;
    failed.kind = ImageFault::Kind::PassFailure;
    failed.errorCode = 50;
    const ChildOutcome passFailed = runChild([&] {
        hooks.settings.faults = {failed};
        increaseIndent();
        readSector(open(), 0, buffer);
    });
    EXPECT_EQ(passFailed.status, 255);
    EXPECT_EQ(passFailed.out,
              "  *** Error!\n  ioctl(SG_IO) failed: the command did not reach the drive\n  error code = 50 (" +
                  std::string(std::strerror(50)) + ")\n");

    const ChildOutcome missing = runChild([&] { Drive::open("/nonexistent/drive"); });
    EXPECT_EQ(missing.status, 255);
    EXPECT_EQ(missing.out, "*** Error!\ncan't open device\n");
}

TEST_F(DriveCommands, ShortTransferWarnsAndGoesOn)
{
    ImageFault shortRead;
    shortRead.kind = ImageFault::Kind::ShortTransfer;
    shortRead.opcode = 0x46;
    shortRead.transfer = 6;
    const ChildOutcome outcome = runChild([&] {
        hooks.settings.faults = {shortRead};
        Drive& drive = open();
        std::uint8_t header[8];
        std::memset(header, 0xCC, sizeof header);
        getConfiguration(drive, 0, header, 8);
        std::printf("[%02X %02X]", header[5], header[6]);
        synchronizeCache(drive);  // refused, but no length warning: no data phase
    });
    EXPECT_EQ(outcome.status, 255);
    const std::string expected = "No error. But data length not match\nq[00 CC]SCSI Error\n";
    EXPECT_EQ(outcome.out.substr(0, expected.size()), expected);
}

TEST_F(DriveCommands, EmulatedDriveAnswersAsADvdRw)
{
    Drive& drive = open();
    std::uint8_t header[8] = {};
    getConfiguration(drive, 0, header, 8);
    EXPECT_EQ(header[6] * 256 + header[7], 0x13);
    EXPECT_EQ(currentProfile(drive), 0x13);
    const DiscInformation disc = readDiscInformation(drive);
    EXPECT_EQ(disc.reply[6], 1);
    EXPECT_EQ(disc.lastTrackInLastSession, 1u);
    const TrackInformation track = readTrackInformation(drive, 1);
    EXPECT_EQ(track.reply[7], 0x02);
    EXPECT_TRUE(track.lastRecordedAddressValid);
    EXPECT_FALSE(track.nextWritableAddressValid);
    EXPECT_EQ(track.lastRecordedAddress, 19u);  // last sector of 20
    EXPECT_EQ(track.trackSize, 20u);
    EXPECT_EQ(recordedEnd(track), std::optional<std::uint64_t>(20));
    EXPECT_EQ(inquiry(drive)[0], 5);
    close();

    hooks.settings.profile = 0;
    const ChildOutcome empty = runChild([&] { readSector(open(), 0, buffer); });
    EXPECT_NE(empty.out.find("70 00 02 00 00 00 00 0A  00 00 00 00 3A 00"), std::string::npos);
}

TEST(SgIo, HeaderCarriesTheRequest)
{
    std::uint8_t cdb[12] = {0x28, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    std::uint8_t data[2048];
    std::uint8_t sense[32];
    sg_io_hdr_t header;
    std::memset(&header, 0x5A, sizeof header);
    sgFillHeader(&header, kDirectionIn, cdb, 12, data, sizeof data, sense);
    EXPECT_EQ(header.interface_id, 'S');
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(header.cmd_len, 12);
    EXPECT_EQ(header.mx_sb_len, 32);
    EXPECT_EQ(header.dxfer_len, 2048u);
    EXPECT_EQ(header.dxferp, data);
    EXPECT_EQ(header.cmdp, cdb);
    EXPECT_EQ(header.sbp, sense);
    EXPECT_EQ(header.timeout, 30000u);
    EXPECT_EQ(header.iovec_count, 0);
    EXPECT_EQ(header.flags, 0u);

    sgFillHeader(&header, kDirectionOut, cdb, 10, data, 12, sense);
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(header.cmd_len, 10);
    sgFillHeader(&header, kDirectionNone, cdb, 12, nullptr, 0, sense);
    EXPECT_EQ(header.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(header.dxfer_len, 0u);
    EXPECT_EQ(header.dxferp, nullptr);
}

TEST(SgIo, ResultMapsStatusSenseResidAndTransportFailures)
{
    std::uint8_t cdb[12] = {};
    std::uint8_t data[48];
    std::uint8_t sense[32];
    sg_io_hdr_t header;
    sgFillHeader(&header, kDirectionIn, cdb, 12, data, 48, sense);
    PassResult result{};
    int errorCode = 0;

    header.resid = 0;
    ASSERT_TRUE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(result.scsiStatus, 0);
    EXPECT_EQ(result.transferred, 48u);

    header.resid = 20;  // a short Track Information Block
    ASSERT_TRUE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(result.transferred, 28u);

    header.resid = 0;
    header.status = 2;
    header.driver_status = 0x08;  // DRIVER_SENSE: the sense bytes came back
    header.sb_len_wr = 18;
    ASSERT_TRUE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(result.scsiStatus, 2);
    EXPECT_EQ(result.senseLength, 18);
    EXPECT_EQ(result.transferred, 0u);

    header.sb_len_wr = 200;  // never more than the buffer holds
    ASSERT_TRUE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(result.senseLength, 32);

    header.status = 0;
    header.driver_status = 0;
    header.host_status = 0x01;  // DID_NO_CONNECT
    EXPECT_FALSE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(errorCode, EIO);
    header.host_status = 0x03;  // DID_TIME_OUT
    EXPECT_FALSE(sgTakeResult(header, 48, &result, &errorCode));
    EXPECT_EQ(errorCode, ETIMEDOUT);
    header.host_status = 0;
    header.driver_status = 0x04;  // DRIVER_ERROR
    EXPECT_FALSE(sgTakeResult(header, 48, &result, &errorCode));
}

TEST(SgIo, PassThroughToADeviceNodeThatIsNoScsiDevice)
{
    // /dev/null opens like a device node, but SG_IO on it fails: a
    // pass-through that could not be passed, reported with its errno.
    const ChildOutcome outcome = runChild([] {
        Drive drive = Drive::open("/dev/null");
        std::uint8_t sector[2048];
        readSector(drive, 0, sector);
    });
    EXPECT_EQ(outcome.status, 255);
    EXPECT_EQ(outcome.out,
              "*** Error!\nioctl(SG_IO) failed: the path is not a SCSI generic or CD device\nerror code = " +
                  std::to_string(ENOTTY) + " (Inappropriate ioctl for device)\n");
}

}  // namespace

#include "drive_hooks.h"

#include <algorithm>
#include <csignal>
#include <cstring>

#include "platform/image_file.h"
#include "support.h"

namespace {

constexpr std::uint32_t kSector = 2048;

// Sets reply byte `at` to `value` when the reply reached it.
void patch(void* data, const PassResult& result, std::uint32_t at, std::uint8_t value)
{
    if (result.scsiStatus == 0 && at < result.transferred) {
        static_cast<std::uint8_t*>(data)[at] = value;
    }
}

void patch32(void* data, const PassResult& result, std::uint32_t at, std::uint32_t value)
{
    for (std::uint32_t i = 0; i < 4; i++) {
        patch(data, result, at + i, static_cast<std::uint8_t>(value >> (8 * (3 - i))));
    }
}

// The drive's answer, with the profile, tracks and speed commands of `s`.
void answerAsSet(const DriveHookSettings& s, ImageDrive* drive, const std::uint8_t* cdb, void* data,
                 std::uint32_t dataLength, PassResult* result)
{
    using SpeedCommands = DriveHookSettings::SpeedCommands;
    const std::uint8_t op = cdb[0];
    if (s.profile == 0 && (op == 0x00 || op == 0x25 || op == 0x28 || op == 0x51 || op == 0x52)) {
        setCheckCondition(result, 0x02, 0x3A, 0x00);  // medium not present
        return;
    }
    if (op == 0xAC || op == 0xB6 || op == 0xBB) {
        if (s.speedCommands == SpeedCommands::Refuse) {
            setCheckCondition(result, 0x05, 0x20, 0x00);
            return;
        }
        if (s.speedCommands == SpeedCommands::Ignore && op != 0xAC) {
            result->transferred = op == 0xB6 ? dataLength : 0;
            return;
        }
    }
    std::uint8_t asked[10];
    const std::uint8_t* sent = cdb;
    std::uint32_t track = 0;
    if (op == 0x52) {
        track = readBe32(cdb, 2);
        if ((cdb[1] & 3u) != 1 || track == 0 || track > s.lastTrack) {
            setCheckCondition(result, 0x05, 0x24, 0x00);  // invalid field in CDB
            return;
        }
        // The drive knows one track; every other one reads as that.
        std::memcpy(asked, cdb, sizeof asked);
        writeBe32(asked, 2, 1);
        sent = asked;
    }
    imageDriveAnswer(drive, kDirectionIn, sent, op == 0x52 ? 10 : 12, data, dataLength, result);
    switch (op) {
        case 0x46:  // GET CONFIGURATION: the current profile and the profile list's
            patch(data, *result, 6, static_cast<std::uint8_t>(s.profile >> 8));
            patch(data, *result, 7, static_cast<std::uint8_t>(s.profile));
            patch(data, *result, 12, static_cast<std::uint8_t>(s.profile >> 8));
            patch(data, *result, 13, static_cast<std::uint8_t>(s.profile));
            break;
        case 0x51:  // READ DISC INFORMATION: the last track in the last session
            patch(data, *result, 6, static_cast<std::uint8_t>(s.lastTrack & 0xFF));
            patch(data, *result, 11, static_cast<std::uint8_t>(s.lastTrack >> 8));
            break;
        case 0x52:
            patch(data, *result, 2, static_cast<std::uint8_t>(track & 0xFF));
            patch(data, *result, 32, static_cast<std::uint8_t>(track >> 8));
            patch(data, *result, 7, static_cast<std::uint8_t>((s.lraValid ? 2u : 0u) | (s.nwaValid ? 1u : 0u)));
            if (s.nextWritableAddress) {
                patch32(data, *result, 12, *s.nextWritableAddress);
            }
            if (s.trackSize) {
                patch32(data, *result, 24, *s.trackSize);
            }
            if (s.lastRecordedAddress) {
                patch32(data, *result, 28, *s.lastRecordedAddress);
            }
            break;
        default: break;
    }
}

// A GOOD fault on one sector of a READ (10) of several: the other sectors
// are read one by one into their place in the buffer, the faulted one is
// left as it was. The first of them that fails is the command's answer.
void readAroundSector(const DriveHookSettings& s, ImageDrive* drive, const std::uint8_t* cdb, std::uint64_t skipped,
                      void* data, std::uint32_t dataLength, PassResult* result)
{
    const std::uint64_t lba = readBe32(cdb, 2);
    const std::uint64_t count = readBe16(cdb, 7);
    auto* out = static_cast<std::uint8_t*>(data);
    for (std::uint64_t i = 0; i < count && (i + 1) * kSector <= dataLength; i++) {
        if (lba + i == skipped) {
            continue;
        }
        std::uint8_t one[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        writeBe32(one, 2, static_cast<std::uint32_t>(lba + i));
        answerAsSet(s, drive, one, out + i * kSector, kSector, result);
        if (result->scsiStatus != 0) {
            return;
        }
    }
    *result = PassResult{};
    result->transferred = dataLength;
}

// The modelled time of one command: its latency and its data at the media rate.
void addModelledTime(DriveHookSettings& s, const ImageDrive* drive, std::uint32_t transferred)
{
    s.modelledSeconds += s.commandLatency;
    double rate = s.mediaRate;
    const std::uint32_t speed = imageDriveReadSpeed(drive);
    if (rate > 0 && speed != 0) {
        rate = std::min(rate, speed * 1000.0);
    }
    if (rate > 0) {
        s.modelledSeconds += transferred / rate;
    }
}

bool faultMatches(ImageFault& fault, const std::uint8_t* cdb)
{
    if (fault.opcode >= 0 && fault.opcode != cdb[0]) {
        return false;
    }
    if (fault.lba >= 0) {
        if (cdb[0] != 0x28) {
            return false;
        }
        const std::int64_t first = readBe32(cdb, 2);
        const std::int64_t count = readBe16(cdb, 7);
        if (fault.lba < first || fault.lba >= first + (count == 0 ? 1 : count)) {
            return false;
        }
    }
    if (fault.skip > 0) {
        fault.skip--;
        return false;
    }
    if (fault.times == 0) {
        return false;
    }
    fault.times--;
    return true;
}

bool readsSector(const std::uint8_t* cdb, std::int64_t lba)
{
    const std::int64_t first = readBe32(cdb, 2);
    const std::int64_t count = readBe16(cdb, 7);
    return cdb[0] == 0x28 && lba >= first && lba < first + count;
}

// The command with the first fault that matches it, or as the drive answers it.
bool answer(DriveHookSettings& s, ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength,
            PassResult* result)
{
    for (ImageFault& fault : s.faults) {
        if (!faultMatches(fault, cdb)) {
            continue;
        }
        switch (fault.kind) {
            case ImageFault::Kind::PassFailure: platformSetLastError(fault.errorCode); return false;
            case ImageFault::Kind::CheckCondition: {
                result->scsiStatus = fault.status;
                const std::size_t length =
                    fault.sense.size() < kSenseBufferLength ? fault.sense.size() : kSenseBufferLength;
                std::memcpy(result->sense, fault.sense.data(), length);
                result->senseLength = static_cast<std::uint8_t>(length);
                return true;
            }
            case ImageFault::Kind::Good:
                if (fault.lba >= 0 && readBe16(cdb, 7) > 1) {
                    readAroundSector(s, drive, cdb, static_cast<std::uint64_t>(fault.lba), data, dataLength, result);
                } else {
                    result->transferred = dataLength;
                }
                return true;
            case ImageFault::Kind::StatusOnly: result->scsiStatus = fault.status; return true;
            case ImageFault::Kind::ShortTransfer: {
                // The command runs, then reports fewer bytes moved; the bytes
                // beyond keep what the caller's buffer held before.
                std::vector<std::uint8_t> full(dataLength);
                answerAsSet(s, drive, cdb, full.data(), dataLength, result);
                if (result->scsiStatus == 0) {
                    const std::uint32_t moved = fault.transfer < dataLength ? fault.transfer : dataLength;
                    if (moved != 0) {
                        std::memcpy(data, full.data(), moved);
                    }
                    result->transferred = moved;
                }
                return true;
            }
        }
    }
    answerAsSet(s, drive, cdb, data, dataLength, result);
    return true;
}

}  // namespace

std::vector<std::uint8_t> mediumErrorSense()
{
    return {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0};
}

DriveHooks::DriveHooks() : before_(imageDriveInstallHooks(this)) {}

DriveHooks::DriveHooks(const DriveHookSettings& initial) : settings(initial), before_(imageDriveInstallHooks(this)) {}

DriveHooks::~DriveHooks()
{
    imageDriveInstallHooks(before_);
}

void DriveHooks::reset()
{
    settings = DriveHookSettings{};
    log.clear();
    reads_ = 0;
}

bool DriveHooks::pass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                      std::uint32_t dataLength, PassResult* result)
{
    *result = PassResult{};
    if (cdbLength < 1 || cdbLength > kMaxCdbLength) {
        platformSetLastError(kPlatformErrorInvalidArgument);
        return false;
    }
    DriveHookSettings& s = settings;
    if (s.record) {
        ReceivedCommand command{};
        std::memcpy(command.cdb.data(), cdb, static_cast<std::size_t>(cdbLength));
        command.cdbLength = cdbLength;
        command.direction = direction;
        command.dataLength = dataLength;
        log.push_back(command);
    }
    if (cdb[0] == 0x28) {
        ++reads_;
        if (reads_ == s.signalAtRead && s.signal != 0) {
            std::raise(s.signal);
        }
        if (s.onRead != nullptr) {
            s.onRead(reads_);
        }
    }
    if (s.interruptAt >= 0 && readsSector(cdb, s.interruptAt)) {
        s.interruptAt = -1;
        std::raise(SIGINT);
    }
    if (cdb[0] == 0x28 && s.maxTransferSectors != 0 && readBe16(cdb, 7) > s.maxTransferSectors) {
        if (s.longReadsFailToPass) {
            platformSetLastError(kPlatformErrorIo);
            return false;
        }
        setCheckCondition(result, 0x05, 0x24, 0x00);  // invalid field in CDB
        addModelledTime(s, drive, 0);
        return true;
    }
    const bool passed = answer(s, drive, cdb, data, dataLength, result);
    if (passed) {
        addModelledTime(s, drive, result->transferred);
    }
    return passed;
}

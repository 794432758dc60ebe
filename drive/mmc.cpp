#include "mmc.h"

#include <algorithm>
#include <cstring>

#include "report.h"
#include "support.h"

namespace {

using Cdb = std::array<std::uint8_t, kCdbLength>;

// Fields of the replies that are decoded (big-endian).
constexpr std::size_t kDiscLastTrackInLastSessionLow = 6;
constexpr std::size_t kDiscLastTrackInLastSessionHigh = 11;
constexpr std::size_t kTrackAddressFlags = 7;  // bit 1 LRA_V, bit 0 NWA_V
constexpr std::size_t kTrackNextWritableAddress = 12;
constexpr std::size_t kTrackSize = 24;
constexpr std::size_t kTrackLastRecordedAddress = 28;
constexpr std::size_t kFeatureHeaderCurrentProfile = 6;

constexpr std::uint8_t kOpSetStreaming = 0xB6;
constexpr std::uint8_t kOpSetCdSpeed = 0xBB;
constexpr std::uint8_t kOpGetPerformance = 0xAC;
// SET STREAMING's performance descriptor.
constexpr std::uint32_t kPerformanceDescriptorLength = 28;
constexpr std::uint8_t kPerformanceRestoreDefaults = 0x04;  // RDD
constexpr std::size_t kPerformanceStartLba = 4;
constexpr std::size_t kPerformanceEndLba = 8;
constexpr std::size_t kPerformanceReadSize = 12;  // kB
constexpr std::size_t kPerformanceReadTime = 16;  // ms
constexpr std::size_t kPerformanceWriteSize = 20;
constexpr std::size_t kPerformanceWriteTime = 24;
// GET PERFORMANCE: the reply's header, then descriptors of 16 bytes.
constexpr std::uint32_t kPerformanceHeaderLength = 8;
constexpr std::uint32_t kPerformanceReplyDescriptorLength = 16;
constexpr std::uint32_t kPerformanceDescriptorsAsked = 16;
constexpr std::uint8_t kPerformanceTypeNominal = 0x00;
constexpr std::uint8_t kPerformanceTypeWriteSpeed = 0x03;
constexpr std::uint8_t kPerformanceNominalTolerance = 0x10;  // tolerance 10b, read, nominal
constexpr std::size_t kNominalStartPerformance = 4;
constexpr std::size_t kNominalEndPerformance = 12;
constexpr std::size_t kWriteSpeedReadSpeed = 8;

Cdb commandBlock(std::uint8_t operationCode)
{
    Cdb cdb{};
    cdb[0] = operationCode;
    return cdb;
}

Cdb read10Block(std::uint32_t lba, std::uint16_t count)
{
    Cdb cdb = commandBlock(0x28);
    writeBe32(cdb.data(), 2, lba);
    writeBe16(cdb.data(), 7, count);
    return cdb;
}

Cdb write10Block(std::uint32_t lba, std::uint16_t count)
{
    Cdb cdb = commandBlock(0x2A);
    writeBe32(cdb.data(), 2, lba);
    writeBe16(cdb.data(), 7, count);
    return cdb;
}

Cdb discInformationBlock()
{
    Cdb cdb = commandBlock(0x51);
    writeBe16(cdb.data(), 7, kDiscInformationLength);
    return cdb;
}

Cdb trackInformationBlock(std::uint32_t trackNumber)
{
    Cdb cdb = commandBlock(0x52);
    cdb[1] = 0x01;  // the address is a track number
    writeBe32(cdb.data(), 2, trackNumber);
    writeBe16(cdb.data(), 7, kTrackInformationLength);
    return cdb;
}

// The fields of a READ DISC INFORMATION reply.
DiscInformation decodedDiscInformation(DiscInformation information)
{
    const auto& b = information.reply;
    information.lastTrackInLastSession = b[kDiscLastTrackInLastSessionLow] + 256u * b[kDiscLastTrackInLastSessionHigh];
    return information;
}

// The fields of a READ TRACK INFORMATION reply.
TrackInformation decodedTrackInformation(TrackInformation information)
{
    const auto* b = information.reply.data();
    information.lastRecordedAddressValid = (b[kTrackAddressFlags] & 2u) != 0;
    information.nextWritableAddressValid = (b[kTrackAddressFlags] & 1u) != 0;
    information.nextWritableAddress = readBe32(b, kTrackNextWritableAddress);
    information.trackSize = readBe32(b, kTrackSize);
    information.lastRecordedAddress = readBe32(b, kTrackLastRecordedAddress);
    return information;
}

void sendForRead(Drive& drive, const Cdb& cdb, void* data, std::uint32_t length)
{
    sendCommand(drive, kDirectionIn, cdb.data(), kCdbLength, data, length);
}

void sendForWrite(Drive& drive, const Cdb& cdb, void* data, std::uint32_t length)
{
    sendCommand(drive, kDirectionOut, cdb.data(), kCdbLength, data, length);
}

void sendWithoutData(Drive& drive, const Cdb& cdb)
{
    sendCommand(drive, kDirectionNone, cdb.data(), kCdbLength, nullptr, 0);
}

}  // namespace

std::optional<std::uint64_t> recordedEnd(const TrackInformation& track)
{
    if (track.lastRecordedAddressValid) {
        return std::uint64_t{track.lastRecordedAddress} + 1;
    }
    if (track.nextWritableAddressValid) {
        return track.nextWritableAddress;
    }
    return std::nullopt;
}

void modeSense10(Drive& drive, std::uint8_t pageCode, void* buffer, std::uint16_t allocationLength)
{
    if (pageCode > 0x3F) {
        fail("in ModeSense(): bad page code");
    }
    Cdb cdb = commandBlock(0x5A);
    cdb[2] = pageCode;
    writeBe16(cdb.data(), 7, allocationLength);
    sendForRead(drive, cdb, buffer, allocationLength);
}

void modeSelect10(Drive& drive, void* parameterList, std::uint16_t parameterListLength)
{
    Cdb cdb = commandBlock(0x55);
    cdb[1] = 0x10;
    writeBe16(cdb.data(), 7, parameterListLength);
    sendForWrite(drive, cdb, parameterList, parameterListLength);
}

void reserveTrack(Drive& drive, std::uint32_t reservationSize)
{
    Cdb cdb = commandBlock(0x53);
    writeBe32(cdb.data(), 5, reservationSize);
    sendWithoutData(drive, cdb);
}

void writeSector(Drive& drive, std::uint32_t lba, void* buffer)
{
    sendForWrite(drive, write10Block(lba, 1), buffer, kSectorSize);
}

void write10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count)
{
    sendForWrite(drive, write10Block(lba, count), buffer, std::uint32_t{count} * kSectorSize);
}

void writeSectorsOneByOne(Drive& drive, std::uint32_t lba, void* buffer, std::uint32_t count)
{
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < count; i++) {
        writeSector(drive, lba + i, bytes + static_cast<std::size_t>(i) * kSectorSize);
    }
}

void synchronizeCache(Drive& drive)
{
    sendWithoutData(drive, commandBlock(0x35));
}

void readSector(Drive& drive, std::uint32_t lba, void* buffer)
{
    sendForRead(drive, read10Block(lba, 1), buffer, kSectorSize);
}

void read10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count)
{
    const Cdb cdb = read10Block(lba, count);
    const CommandOutcome outcome =
        passCommand(drive, kDirectionIn, cdb.data(), kCdbLength, buffer, std::uint32_t{count} * kSectorSize);
    if (!outcome.good()) {
        failCommand(outcome, lba);
    }
    noteShortTransfer(outcome);
}

CommandOutcome tryRead10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count)
{
    const Cdb cdb = read10Block(lba, count);
    return passCommand(drive, kDirectionIn, cdb.data(), kCdbLength, buffer, std::uint32_t{count} * kSectorSize);
}

DiscInformation readDiscInformation(Drive& drive)
{
    DiscInformation information;
    sendForRead(drive, discInformationBlock(), information.reply.data(), kDiscInformationLength);
    return decodedDiscInformation(information);
}

TrackInformation readTrackInformation(Drive& drive, std::uint32_t trackNumber)
{
    TrackInformation information;
    sendForRead(drive, trackInformationBlock(trackNumber), information.reply.data(), kTrackInformationLength);
    return decodedTrackInformation(information);
}

TrackInformation readLastTrackInformation(Drive& drive)
{
    return readTrackInformation(drive, readDiscInformation(drive).lastTrackInLastSession);
}

CommandOutcome tryReadCapacity(Drive& drive, std::uint32_t* lastBlock)
{
    const Cdb cdb = commandBlock(0x25);
    alignas(16) std::array<std::uint8_t, 8> reply{};
    const CommandOutcome outcome =
        passCommand(drive, kDirectionIn, cdb.data(), 10, reply.data(), static_cast<std::uint32_t>(reply.size()));
    *lastBlock = readBe32(reply.data(), 0);
    return outcome;
}

TrackInformation readLastTrackInformationOrCapacity(Drive& drive)
{
    DiscInformation disc;
    const Cdb discBlock = discInformationBlock();
    CommandOutcome outcome =
        passCommand(drive, kDirectionIn, discBlock.data(), kCdbLength, disc.reply.data(), kDiscInformationLength);
    if (outcome.good()) {
        noteShortTransfer(outcome);
        TrackInformation track;
        const Cdb trackBlock = trackInformationBlock(decodedDiscInformation(disc).lastTrackInLastSession);
        outcome = passCommand(drive, kDirectionIn, trackBlock.data(), kCdbLength, track.reply.data(),
                              kTrackInformationLength);
        if (outcome.good()) {
            noteShortTransfer(outcome);
            return decodedTrackInformation(track);
        }
    }
    // Only a drive that does not know the command at all; one that refuses what was
    // asked of it (a track it does not have) has said something of the disc.
    const std::optional<SenseCode> sense = outcome.passed ? senseCode(outcome.result) : std::nullopt;
    if (classifyFailure(outcome) != FatalError::DriveFailure::IllegalRequest || !sense || sense->asc != 0x20)
        failCommand(outcome);
    std::uint32_t lastBlock = 0;
    if (!tryReadCapacity(drive, &lastBlock).complete())
        failCommand(outcome);
    TrackInformation capacity;
    capacity.lastRecordedAddressValid = true;
    capacity.lastRecordedAddress = lastBlock;
    capacity.trackSize = lastBlock + 1;
    return capacity;
}

std::array<std::uint8_t, kInquiryLength> inquiry(Drive& drive)
{
    Cdb cdb = commandBlock(0x12);
    writeBe16(cdb.data(), 3, kInquiryLength);
    alignas(16) std::array<std::uint8_t, kInquiryLength> reply{};
    sendForRead(drive, cdb, reply.data(), kInquiryLength);
    return reply;
}

void blank(Drive& drive, std::uint8_t blankingType, std::uint32_t startAddress)
{
    if (blankingType > 7) {
        fail("Bad Blanking Type");
    }
    Cdb cdb = commandBlock(0xA1);
    cdb[1] = blankingType;
    writeBe32(cdb.data(), 2, startAddress);
    sendWithoutData(drive, cdb);
}

void formatUnit(Drive& drive, void* parameterList)
{
    Cdb cdb = commandBlock(0x04);
    cdb[1] = 0x11;  // FmtData, format code 1
    sendForWrite(drive, cdb, parameterList, 12);
}

void getConfiguration(Drive& drive, std::uint16_t startingFeature, void* buffer, std::uint16_t allocationLength)
{
    Cdb cdb = commandBlock(0x46);
    cdb[1] = 0x02;  // the one feature descriptor named
    writeBe16(cdb.data(), 2, startingFeature);
    writeBe16(cdb.data(), 7, allocationLength);
    sendForRead(drive, cdb, buffer, allocationLength);
}

std::uint16_t currentProfile(Drive& drive)
{
    alignas(16) std::uint8_t header[kFeatureHeaderLength] = {};
    getConfiguration(drive, 0, header, kFeatureHeaderLength);
    return static_cast<std::uint16_t>(readBe16(header, kFeatureHeaderCurrentProfile));
}

const char* profileName(std::uint16_t profile)
{
    switch (profile) {
        case 0x00: return "No disk";
        case 0x01: return "Non-removable disk";
        case 0x02: return "Removable disk";
        case 0x08: return "CD-ROM";
        case 0x09: return "CD-R";
        case 0x0A: return "CD-RW";
        case 0x10: return "DVD-ROM";
        case 0x11: return "DVD-R Sequential recording";
        case 0x12: return "DVD-RAM";
        case 0x13: return "DVD-RW Restricted Overwrite";
        case 0x14: return "DVD-RW Sequential recording";
        case 0x15: return "DVD-R Dual Layer Sequential recording";
        case 0x16: return "DVD-R Dual Layer Jump recording";
        case 0x1A: return "DVD+RW";
        case 0x1B: return "DVD+R";
        default: return "?";
    }
}

CommandOutcome trySetStreaming(Drive& drive, std::uint32_t startLba, std::uint32_t endLba, std::uint32_t readKBs,
                               bool restoreDefaults)
{
    alignas(16) std::array<std::uint8_t, kPerformanceDescriptorLength> descriptor{};
    descriptor[0] = restoreDefaults ? kPerformanceRestoreDefaults : 0;
    writeBe32(descriptor.data(), kPerformanceStartLba, startLba);
    writeBe32(descriptor.data(), kPerformanceEndLba, endLba);
    // So many kB in a second; the write side the same, as some drives want it set.
    writeBe32(descriptor.data(), kPerformanceReadSize, readKBs);
    writeBe32(descriptor.data(), kPerformanceReadTime, 1000);
    writeBe32(descriptor.data(), kPerformanceWriteSize, readKBs);
    writeBe32(descriptor.data(), kPerformanceWriteTime, 1000);
    Cdb cdb = commandBlock(kOpSetStreaming);
    writeBe16(cdb.data(), 9, kPerformanceDescriptorLength);
    return passCommand(drive, kDirectionOut, cdb.data(), kCdbLength, descriptor.data(), kPerformanceDescriptorLength);
}

CommandOutcome trySetCdSpeed(Drive& drive, std::uint16_t readKBs)
{
    Cdb cdb = commandBlock(kOpSetCdSpeed);
    writeBe16(cdb.data(), 2, readKBs);
    writeBe16(cdb.data(), 4, kCdSpeedHighest);
    return passCommand(drive, kDirectionNone, cdb.data(), kCdbLength, nullptr, 0);
}

namespace {

using PerformanceReply = std::array<std::uint8_t, kPerformanceHeaderLength +
                                                      kPerformanceDescriptorsAsked * kPerformanceReplyDescriptorLength>;

// GET PERFORMANCE of `type`: the descriptors it returned (at most the
// number asked for), or nothing when it failed.
std::optional<std::uint32_t> getPerformance(Drive& drive, std::uint8_t dataType, std::uint8_t type,
                                            PerformanceReply& reply)
{
    Cdb cdb = commandBlock(kOpGetPerformance);
    cdb[1] = dataType;
    writeBe16(cdb.data(), 8, kPerformanceDescriptorsAsked);
    cdb[10] = type;
    const CommandOutcome outcome = passCommand(drive, kDirectionIn, cdb.data(), kCdbLength, reply.data(),
                                               static_cast<std::uint32_t>(reply.size()));
    if (!outcome.good() || outcome.result.transferred < kPerformanceHeaderLength) {
        return std::nullopt;
    }
    // The data length counts the bytes after its own four.
    const std::uint32_t length = std::min<std::uint32_t>(readBe32(reply.data(), 0) + 4, outcome.result.transferred);
    return length < kPerformanceHeaderLength ? 0
                                             : (length - kPerformanceHeaderLength) / kPerformanceReplyDescriptorLength;
}

}  // namespace

std::optional<ReadPerformance> tryGetReadPerformance(Drive& drive)
{
    alignas(16) PerformanceReply reply{};
    const std::optional<std::uint32_t> count =
        getPerformance(drive, kPerformanceNominalTolerance, kPerformanceTypeNominal, reply);
    if (!count || *count == 0) {
        return std::nullopt;
    }
    const std::uint8_t* first = reply.data() + kPerformanceHeaderLength;
    return ReadPerformance{readBe32(first, kNominalStartPerformance), readBe32(first, kNominalEndPerformance)};
}

std::optional<std::uint32_t> tryGetLowestReadSpeed(Drive& drive)
{
    alignas(16) PerformanceReply reply{};
    const std::optional<std::uint32_t> count = getPerformance(drive, 0, kPerformanceTypeWriteSpeed, reply);
    std::optional<std::uint32_t> lowest;
    for (std::uint32_t i = 0; count && i < *count; i++) {
        const std::uint32_t speed = readBe32(
            reply.data() + kPerformanceHeaderLength + i * kPerformanceReplyDescriptorLength, kWriteSpeedReadSpeed);
        if (speed != 0 && (!lowest || speed < *lowest)) {
            lowest = speed;
        }
    }
    return lowest;
}

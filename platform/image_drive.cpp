#include "image_drive.h"
#include "report_sink.h"

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "image_file.h"

struct ImageDrive {
    ImageFileHandle file;
    std::uint64_t sectors;
};

namespace {

constexpr std::uint32_t kSector = 2048;

ImageDriveSettings g_settings;
std::vector<ReceivedCommand> g_log;
std::uint32_t g_reads = 0;  // READ (10) commands received

std::uint32_t bigEndian32(const std::uint8_t* b)
{
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

std::uint32_t bigEndian16(const std::uint8_t* b)
{
    return (std::uint32_t{b[0]} << 8) | b[1];
}

void putBig32(std::uint8_t* b, std::uint32_t v)
{
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}

void putBig16(std::uint8_t* b, std::uint32_t v)
{
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}

void checkCondition(PassResult* result, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq)
{
    const std::uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
    result->scsiStatus = 2;
    result->senseLength = sizeof sense;
    std::memcpy(result->sense, sense, sizeof sense);
    result->transferred = 0;
}

// Copies a reply into the caller's buffer, no more than it asked for.
void reply(const std::uint8_t* bytes, std::uint32_t size, void* data, std::uint32_t dataLength, PassResult* result)
{
    const std::uint32_t moved = size < dataLength ? size : dataLength;
    if (moved != 0) {
        std::memcpy(data, bytes, moved);
    }
    result->transferred = moved;
}

std::uint32_t lastSector(const ImageDrive* drive)
{
    return drive->sectors == 0 ? 0 : static_cast<std::uint32_t>(drive->sectors - 1);
}

void readTen(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    const std::uint64_t lba = bigEndian32(cdb + 2);
    const std::uint64_t count = bigEndian16(cdb + 7);
    if (lba + count > drive->sectors) {
        checkCondition(result, 0x05, 0x21, 0x00);
        return;
    }
    if (g_settings.imageMap && !rescuedThroughout(*g_settings.imageMap, lba * kSector, count * kSector)) {
        // A sector the image's rescue could not read, or never tried.
        const std::vector<std::uint8_t> sense = mediumErrorSense();
        checkCondition(result, sense[2], sense[12], sense[13]);
        return;
    }
    std::uint64_t bytes = count * kSector;
    if (bytes > dataLength) {
        bytes = dataLength;
    }
    auto* out = static_cast<std::uint8_t*>(data);
    if (!imageFileRead(drive->file, out, static_cast<std::uint32_t>(bytes), lba * kSector)) {
        checkCondition(result, 0x03, 0x11, 0x00);  // unrecovered read error
        return;
    }
    result->transferred = static_cast<std::uint32_t>(bytes);
}

// READ CAPACITY (10): the image's last sector and the block length.
void capacity(const ImageDrive* drive, void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[8] = {};
    putBig32(b, lastSector(drive));
    putBig32(b + 4, 2048);
    reply(b, sizeof b, data, dataLength, result);
}

void discInformation(void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[34] = {};
    putBig16(b, 32);
    b[2] = 0x10 | (3u << 2) | 2u;  // erasable, complete session, complete disc
    b[3] = 1;
    b[4] = 1;
    b[5] = 1;
    b[6] = static_cast<std::uint8_t>(g_settings.lastTrack & 0xFF);
    b[11] = static_cast<std::uint8_t>(g_settings.lastTrack >> 8);
    b[7] = 0x20;  // unrestricted use
    b[8] = 0x00;  // disc type
    reply(b, sizeof b, data, dataLength, result);
}

void trackInformation(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength,
                      PassResult* result)
{
    const std::uint32_t track = bigEndian32(cdb + 2);
    if ((cdb[1] & 3u) != 1 || track == 0 || track > g_settings.lastTrack) {
        checkCondition(result, 0x05, 0x24, 0x00);  // invalid field in CDB
        return;
    }
    const auto sectors = static_cast<std::uint32_t>(drive->sectors);
    std::uint8_t b[48] = {};
    putBig16(b, 46);
    b[2] = static_cast<std::uint8_t>(track & 0xFF);
    b[32] = static_cast<std::uint8_t>(track >> 8);
    b[3] = 1;
    b[5] = 0x04;  // track mode: data, recorded uninterrupted
    b[6] = 0x01;  // data mode 1
    b[7] = static_cast<std::uint8_t>((g_settings.lraValid ? 2u : 0u) | (g_settings.nwaValid ? 1u : 0u));
    putBig32(b + 8, 0);
    putBig32(b + 12, g_settings.nextWritableAddress.value_or(sectors));
    putBig32(b + 16, 0);
    putBig32(b + 20, 16);  // one ECC block
    putBig32(b + 24, g_settings.trackSize.value_or(sectors));
    putBig32(b + 28, g_settings.lastRecordedAddress.value_or(lastSector(drive)));
    reply(b, sizeof b, data, dataLength, result);
}

void configuration(void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[16] = {};
    putBig32(b, sizeof b - 4);
    putBig16(b + 6, g_settings.profile);
    // Feature 0, the profile list, with the current profile alone.
    b[10] = 0x03;
    b[11] = 4;
    putBig16(b + 12, g_settings.profile);
    b[14] = 0x01;
    reply(b, sizeof b, data, dataLength, result);
}

void inquiry(void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[96] = {};
    b[0] = 0x05;  // Multi-Media logical unit
    b[1] = 0x80;  // removable
    b[2] = 0x05;
    b[3] = 0x02;
    b[4] = 91;
    std::memcpy(b + 8, "EMULATED", 8);
    std::memcpy(b + 16, "DISC IMAGE DRIVE", 16);
    std::memcpy(b + 32, "1.0 ", 4);
    reply(b, sizeof b, data, dataLength, result);
}

void execute(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result);

// The speed taken for `kBs` asked (0 or 0xFFFF: the drive's own).
void takeReadSpeed(std::uint32_t kBs)
{
    if (kBs == 0 || kBs == 0xFFFF || g_settings.readSpeeds.empty()) {
        g_settings.readSpeed = 0;
        return;
    }
    std::uint32_t taken = g_settings.readSpeeds.back();
    for (const std::uint32_t offered : g_settings.readSpeeds) {
        if (offered <= kBs && offered > taken) {
            taken = offered;
        }
    }
    g_settings.readSpeed = taken == g_settings.readSpeeds.front() ? 0 : taken;
}

void speedCommand(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    using SpeedCommands = ImageDriveSettings::SpeedCommands;
    if (g_settings.speedCommands == SpeedCommands::Refuse) {
        checkCondition(result, 0x05, 0x20, 0x00);
        return;
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (cdb[0] == 0xB6) {  // SET STREAMING, one performance descriptor
        if (cdb[8] != 0 || bigEndian16(cdb + 9) < 28 || dataLength < 28) {
            checkCondition(result, 0x05, 0x24, 0x00);
            return;
        }
        const std::uint32_t size = bigEndian32(in + 12);
        const std::uint32_t time = bigEndian32(in + 16);
        if ((in[0] & 0x04) == 0 && time == 0) {
            checkCondition(result, 0x05, 0x26, 0x00);  // invalid field in parameter list
            return;
        }
        if (g_settings.speedCommands == SpeedCommands::Accept) {
            takeReadSpeed((in[0] & 0x04) != 0 ? 0 : static_cast<std::uint32_t>(std::uint64_t{size} * 1000 / time));
        }
        result->transferred = dataLength;
        return;
    }
    if (cdb[0] == 0xBB) {  // SET CD SPEED
        if (g_settings.speedCommands == SpeedCommands::Accept) {
            takeReadSpeed(bigEndian16(cdb + 2));
        }
        return;
    }
    // GET PERFORMANCE: nominal performance (type 0) or write speeds (type 3).
    std::vector<std::uint8_t> b(8);
    const std::uint32_t own = g_settings.readSpeeds.empty() ? 0 : g_settings.readSpeeds.front();
    const std::uint32_t current = g_settings.readSpeed != 0 ? g_settings.readSpeed : own;
    const auto descriptor = [&](std::uint32_t first, std::uint32_t second, std::uint32_t third, std::uint32_t fourth) {
        std::uint8_t d[16] = {};
        putBig32(d, first);
        putBig32(d + 4, second);
        putBig32(d + 8, third);
        putBig32(d + 12, fourth);
        b.insert(b.end(), d, d + 16);
    };
    if (cdb[10] == 0x00) {
        descriptor(0, current, lastSector(drive), current);
    } else if (cdb[10] == 0x03) {
        for (const std::uint32_t offered : g_settings.readSpeeds) {
            descriptor(0, lastSector(drive), offered, offered);
        }
    } else {
        checkCondition(result, 0x05, 0x24, 0x00);
        return;
    }
    putBig32(b.data(), static_cast<std::uint32_t>(b.size() - 4));
    reply(b.data(), static_cast<std::uint32_t>(b.size()), data, dataLength, result);
}

// A GOOD fault on one sector of a READ (10) of several: the other sectors
// are read one by one into their place in the buffer, the faulted one is
// left as it was. The first of them that fails is the command's answer.
void readAroundSector(ImageDrive* drive, const std::uint8_t* cdb, std::uint64_t skipped, void* data,
                      std::uint32_t dataLength, PassResult* result)
{
    const std::uint64_t lba = bigEndian32(cdb + 2);
    const std::uint64_t count = bigEndian16(cdb + 7);
    auto* out = static_cast<std::uint8_t*>(data);
    for (std::uint64_t i = 0; i < count && (i + 1) * kSector <= dataLength; i++) {
        if (lba + i == skipped) {
            continue;
        }
        std::uint8_t one[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        putBig32(one + 2, static_cast<std::uint32_t>(lba + i));
        execute(drive, one, out + i * kSector, kSector, result);
        if (result->scsiStatus != 0) {
            return;
        }
    }
    *result = PassResult{};
    result->transferred = dataLength;
}

// The modelled time of one command: its latency and its data at the media rate.
void addModelledTime(std::uint32_t transferred)
{
    g_settings.modelledSeconds += g_settings.commandLatency;
    double rate = g_settings.mediaRate;
    if (rate > 0 && g_settings.readSpeed != 0) {
        rate = std::min(rate, g_settings.readSpeed * 1000.0);
    }
    if (rate > 0) {
        g_settings.modelledSeconds += transferred / rate;
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
        const std::int64_t first = bigEndian32(cdb + 2);
        const std::int64_t count = bigEndian16(cdb + 7);
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
    const std::int64_t first = bigEndian32(cdb + 2);
    const std::int64_t count = bigEndian16(cdb + 7);
    return cdb[0] == 0x28 && lba >= first && lba < first + count;
}

void execute(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    const bool medium = g_settings.profile != 0;
    switch (cdb[0]) {
        case 0x00:  // TEST UNIT READY
            if (!medium) {
                checkCondition(result, 0x02, 0x3A, 0x00);
            }
            return;
        case 0x12: inquiry(data, dataLength, result); return;
        case 0x46: configuration(data, dataLength, result); return;
        default: break;
    }
    if (!medium && (cdb[0] == 0x25 || cdb[0] == 0x28 || cdb[0] == 0x51 || cdb[0] == 0x52)) {
        checkCondition(result, 0x02, 0x3A, 0x00);  // medium not present
        return;
    }
    switch (cdb[0]) {
        case 0x25: capacity(drive, data, dataLength, result); return;
        case 0x28: readTen(drive, cdb, data, dataLength, result); return;
        case 0x51: discInformation(data, dataLength, result); return;
        case 0x52: trackInformation(drive, cdb, data, dataLength, result); return;
        case 0xAC:
        case 0xB6:
        case 0xBB: speedCommand(drive, cdb, data, dataLength, result); return;
        default:
            checkCondition(result, 0x05, 0x20, 0x00);  // invalid command operation code
            return;
    }
}

}  // namespace

std::vector<std::uint8_t> mediumErrorSense()
{
    return {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0};
}

ImageDriveSettings& imageDriveSettings()
{
    return g_settings;
}

std::vector<ReceivedCommand>& imageDriveLog()
{
    return g_log;
}

void imageDriveReset()
{
    g_settings = ImageDriveSettings{};
    g_log.clear();
    g_reads = 0;
}

bool imageDriveUseMapfile(const char* path, std::string* error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = std::string("can't open ") + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        *error = std::string("can't read ") + path;
        return false;
    }
    std::string reason;
    std::optional<RescueMap> map = parseRescueMap(text.str(), &reason);
    if (!map) {
        *error = std::string(path) + ": " + reason;
        return false;
    }
    g_settings.imageMap = std::move(map);
    return true;
}

ImageDrive* imageDriveOpen(const char* path)
{
    ImageFileHandle file = nullptr;
    std::uint64_t size = 0;
    if (!imageFileOpen(path, &file, &size)) {
        return nullptr;
    }
    if (size % kSector != 0) {
        reportf("image size is not a multiple of %" PRIu32 " bytes: the last %" PRIu64 " bytes are ignored\n", kSector,
                size % kSector);
    }
    // An image that ddrescue has not finished is shorter than its mapfile:
    // the disc is as large as the mapfile says, and what lies beyond the
    // file reads as unreadable.
    std::uint64_t sectors = size / kSector;
    if (g_settings.imageMap && !g_settings.imageMap->blocks.empty()) {
        const RescueBlock& last = g_settings.imageMap->blocks.back();
        sectors = std::max(sectors, (last.position + last.size) / kSector);
    }
    auto* drive = new ImageDrive{file, sectors};
    return drive;
}

void imageDriveClose(ImageDrive* drive)
{
    if (drive != nullptr) {
        imageFileClose(drive->file);
        delete drive;
    }
}

namespace {

// The command with the first fault that matches it, or as the drive answers it.
bool answer(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    for (ImageFault& fault : g_settings.faults) {
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
                if (fault.lba >= 0 && bigEndian16(cdb + 7) > 1) {
                    readAroundSector(drive, cdb, static_cast<std::uint64_t>(fault.lba), data, dataLength, result);
                } else {
                    result->transferred = dataLength;
                }
                return true;
            case ImageFault::Kind::StatusOnly: result->scsiStatus = fault.status; return true;
            case ImageFault::Kind::ShortTransfer: {
                // The command runs, then reports fewer bytes moved; the bytes
                // beyond keep what the caller's buffer held before.
                std::vector<std::uint8_t> full(dataLength);
                execute(drive, cdb, full.data(), dataLength, result);
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
    execute(drive, cdb, data, dataLength, result);
    return true;
}

}  // namespace

bool imageDrivePass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                    std::uint32_t dataLength, PassResult* result)
{
    *result = PassResult{};
    if (cdbLength < 1 || cdbLength > kMaxCdbLength) {
        platformSetLastError(kPlatformErrorInvalidArgument);
        return false;
    }
    if (g_settings.record) {
        ReceivedCommand command{};
        std::memcpy(command.cdb.data(), cdb, static_cast<std::size_t>(cdbLength));
        command.cdbLength = cdbLength;
        command.direction = direction;
        command.dataLength = dataLength;
        g_log.push_back(command);
    }
    if (cdb[0] == 0x28) {
        ++g_reads;
        if (g_reads == g_settings.signalAtRead && g_settings.signal != 0) {
            std::raise(g_settings.signal);
        }
        if (g_settings.onRead != nullptr) {
            g_settings.onRead(g_reads);
        }
    }
    if (g_settings.interruptAt >= 0 && readsSector(cdb, g_settings.interruptAt)) {
        g_settings.interruptAt = -1;
        std::raise(SIGINT);
    }
    if (cdb[0] == 0x28 && g_settings.maxTransferSectors != 0 && bigEndian16(cdb + 7) > g_settings.maxTransferSectors) {
        if (g_settings.longReadsFailToPass) {
            platformSetLastError(kPlatformErrorIo);
            return false;
        }
        checkCondition(result, 0x05, 0x24, 0x00);  // invalid field in CDB
        addModelledTime(0);
        return true;
    }
    const bool passed = answer(drive, cdb, data, dataLength, result);
    if (passed) {
        addModelledTime(result->transferred);
    }
    return passed;
}

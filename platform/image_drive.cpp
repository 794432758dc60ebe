#include "image_drive.h"
#include "report_sink.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "image_file.h"
#include "rescue_map.h"
#include "support.h"

namespace {

// The read speeds offered, kB/s, fastest first: the first is the drive's own.
constexpr std::array<std::uint32_t, 4> kReadSpeeds = {22160, 11080, 5540, 2770};

}  // namespace

struct ImageDrive {
    ImageFileHandle file;
    std::uint64_t sectors;
    std::optional<RescueMap> imageMap;  // the mapfile that came with the image
    std::uint32_t readSpeed = 0;        // kB/s taken; 0: its own
};

namespace {

constexpr std::uint32_t kSector = 2048;
constexpr std::uint16_t kProfile = 0x0013;  // DVD-RW Restricted Overwrite

// The mapfile for the next image opened.
std::optional<RescueMap> g_nextImageMap;
ImageDriveHooks* g_hooks = nullptr;

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
    const std::uint64_t lba = readBe32(cdb, 2);
    const std::uint64_t count = readBe16(cdb, 7);
    if (lba + count > drive->sectors) {
        setCheckCondition(result, 0x05, 0x21, 0x00);
        return;
    }
    if (drive->imageMap && !rescuedThroughout(*drive->imageMap, lba * kSector, count * kSector)) {
        // A sector the image's rescue could not read, or never tried.
        setCheckCondition(result, 0x03, 0x11, 0x00);  // unrecovered read error
        return;
    }
    std::uint64_t bytes = count * kSector;
    if (bytes > dataLength) {
        bytes = dataLength;
    }
    auto* out = static_cast<std::uint8_t*>(data);
    if (!imageFileRead(drive->file, out, static_cast<std::uint32_t>(bytes), lba * kSector)) {
        setCheckCondition(result, 0x03, 0x11, 0x00);  // unrecovered read error
        return;
    }
    result->transferred = static_cast<std::uint32_t>(bytes);
}

// READ CAPACITY (10): the image's last sector and the block length.
void capacity(const ImageDrive* drive, void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[8] = {};
    writeBe32(b, 0, lastSector(drive));
    writeBe32(b, 4, 2048);
    reply(b, sizeof b, data, dataLength, result);
}

void discInformation(void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[34] = {};
    writeBe16(b, 0, 32);
    b[2] = 0x10 | (3u << 2) | 2u;  // erasable, complete session, complete disc
    b[3] = 1;
    b[4] = 1;
    b[5] = 1;
    b[6] = 1;     // last track in the last session
    b[7] = 0x20;  // unrestricted use
    b[8] = 0x00;  // disc type
    reply(b, sizeof b, data, dataLength, result);
}

void trackInformation(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength,
                      PassResult* result)
{
    const std::uint32_t track = readBe32(cdb, 2);
    if ((cdb[1] & 3u) != 1 || track != 1) {
        setCheckCondition(result, 0x05, 0x24, 0x00);  // invalid field in CDB
        return;
    }
    const auto sectors = static_cast<std::uint32_t>(drive->sectors);
    std::uint8_t b[48] = {};
    writeBe16(b, 0, 46);
    b[2] = static_cast<std::uint8_t>(track);
    b[3] = 1;
    b[5] = 0x04;  // track mode: data, recorded uninterrupted
    b[6] = 0x01;  // data mode 1
    b[7] = 0x02;  // LRA_V
    writeBe32(b, 8, 0);
    writeBe32(b, 12, sectors);  // next writable address
    writeBe32(b, 16, 0);
    writeBe32(b, 20, 16);  // one ECC block
    writeBe32(b, 24, sectors);
    writeBe32(b, 28, lastSector(drive));
    reply(b, sizeof b, data, dataLength, result);
}

void configuration(void* data, std::uint32_t dataLength, PassResult* result)
{
    std::uint8_t b[16] = {};
    writeBe32(b, 0, sizeof b - 4);
    writeBe16(b, 6, kProfile);
    // Feature 0, the profile list, with the current profile alone.
    b[10] = 0x03;
    b[11] = 4;
    writeBe16(b, 12, kProfile);
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

// The speed taken for `kBs` asked (0 or 0xFFFF: the drive's own).
void takeReadSpeed(ImageDrive* drive, std::uint32_t kBs)
{
    if (kBs == 0 || kBs == 0xFFFF) {
        drive->readSpeed = 0;
        return;
    }
    std::uint32_t taken = kReadSpeeds.back();
    for (const std::uint32_t offered : kReadSpeeds) {
        if (offered <= kBs && offered > taken) {
            taken = offered;
        }
    }
    drive->readSpeed = taken == kReadSpeeds.front() ? 0 : taken;
}

// SET STREAMING and SET CD SPEED: a speed asked for is taken as the fastest
// offered at or below it, the slowest at least; GET PERFORMANCE tells it.
void speedCommand(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (cdb[0] == 0xB6) {  // SET STREAMING, one performance descriptor
        if (cdb[8] != 0 || readBe16(cdb, 9) < 28 || dataLength < 28) {
            setCheckCondition(result, 0x05, 0x24, 0x00);
            return;
        }
        const std::uint32_t size = readBe32(in, 12);
        const std::uint32_t time = readBe32(in, 16);
        if ((in[0] & 0x04) == 0 && time == 0) {
            setCheckCondition(result, 0x05, 0x26, 0x00);  // invalid field in parameter list
            return;
        }
        takeReadSpeed(drive, (in[0] & 0x04) != 0 ? 0 : static_cast<std::uint32_t>(std::uint64_t{size} * 1000 / time));
        result->transferred = dataLength;
        return;
    }
    if (cdb[0] == 0xBB) {  // SET CD SPEED
        takeReadSpeed(drive, readBe16(cdb, 2));
        return;
    }
    // GET PERFORMANCE: nominal performance (type 0) or write speeds (type 3).
    std::vector<std::uint8_t> b(8);
    const std::uint32_t current = drive->readSpeed != 0 ? drive->readSpeed : kReadSpeeds.front();
    const auto descriptor = [&](std::uint32_t first, std::uint32_t second, std::uint32_t third, std::uint32_t fourth) {
        std::uint8_t d[16] = {};
        writeBe32(d, 0, first);
        writeBe32(d, 4, second);
        writeBe32(d, 8, third);
        writeBe32(d, 12, fourth);
        b.insert(b.end(), d, d + 16);
    };
    if (cdb[10] == 0x00) {
        descriptor(0, current, lastSector(drive), current);
    } else if (cdb[10] == 0x03) {
        for (const std::uint32_t offered : kReadSpeeds) {
            descriptor(0, lastSector(drive), offered, offered);
        }
    } else {
        setCheckCondition(result, 0x05, 0x24, 0x00);
        return;
    }
    writeBe32(b.data(), 0, static_cast<std::uint32_t>(b.size() - 4));
    reply(b.data(), static_cast<std::uint32_t>(b.size()), data, dataLength, result);
}

void execute(ImageDrive* drive, const std::uint8_t* cdb, void* data, std::uint32_t dataLength, PassResult* result)
{
    switch (cdb[0]) {
        case 0x00: return;  // TEST UNIT READY
        case 0x12: inquiry(data, dataLength, result); return;
        case 0x46: configuration(data, dataLength, result); return;
        case 0x25: capacity(drive, data, dataLength, result); return;
        case 0x28: readTen(drive, cdb, data, dataLength, result); return;
        case 0x51: discInformation(data, dataLength, result); return;
        case 0x52: trackInformation(drive, cdb, data, dataLength, result); return;
        case 0xAC:
        case 0xB6:
        case 0xBB: speedCommand(drive, cdb, data, dataLength, result); return;
        default:
            setCheckCondition(result, 0x05, 0x20, 0x00);  // invalid command operation code
            return;
    }
}

}  // namespace

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
    g_nextImageMap = std::move(map);
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
    auto* drive = new ImageDrive{file, size / kSector, std::move(g_nextImageMap)};
    g_nextImageMap.reset();
    // An image that ddrescue has not finished is shorter than its mapfile:
    // the disc is as large as the mapfile says, and what lies beyond the
    // file reads as unreadable.
    if (drive->imageMap && !drive->imageMap->blocks.empty()) {
        const RescueBlock& last = drive->imageMap->blocks.back();
        drive->sectors = std::max(drive->sectors, (last.position + last.size) / kSector);
    }
    return drive;
}

void imageDriveClose(ImageDrive* drive)
{
    if (drive != nullptr) {
        imageFileClose(drive->file);
        delete drive;
    }
}

bool imageDrivePass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                    std::uint32_t dataLength, PassResult* result)
{
    if (g_hooks != nullptr) {
        return g_hooks->pass(drive, direction, cdb, cdbLength, data, dataLength, result);
    }
    return imageDriveAnswer(drive, direction, cdb, cdbLength, data, dataLength, result);
}

std::uint32_t imageDriveMaxTransferBytes(const ImageDrive* /*drive*/)
{
    return g_hooks != nullptr ? g_hooks->maxTransferBytes() : 0;
}

bool imageDriveAnswer(ImageDrive* drive, std::uint8_t /*direction*/, const std::uint8_t* cdb, int cdbLength, void* data,
                      std::uint32_t dataLength, PassResult* result)
{
    *result = PassResult{};
    if (cdbLength < 1 || cdbLength > kMaxCdbLength) {
        platformSetLastError(kPlatformErrorInvalidArgument);
        return false;
    }
    execute(drive, cdb, data, dataLength, result);
    return true;
}

void setCheckCondition(PassResult* result, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq)
{
    const std::uint8_t sense[18] = {0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0};
    result->scsiStatus = 2;
    result->senseLength = sizeof sense;
    std::memcpy(result->sense, sense, sizeof sense);
    result->transferred = 0;
}

std::uint32_t imageDriveReadSpeed(const ImageDrive* drive)
{
    return drive->readSpeed;
}

ImageDriveHooks* imageDriveInstallHooks(ImageDriveHooks* hooks)
{
    ImageDriveHooks* before = g_hooks;
    g_hooks = hooks;
    return before;
}

// sgprobe: sends READ (10) through the platform layer and prints what came
// back, so that the bytes a real drive returned through SG_IO can be compared
// with the disc image itself (dd | od) and with the emulated drive.
//
//   sgprobe DEVICE read LBA COUNT LENGTH
//       One READ (10) of COUNT sectors at LBA into a buffer of LENGTH bytes.
//       Prints one line with the status and, for GOOD, the bytes moved, which
//       follow as `od -An -v -tx1` prints them; otherwise the sense data.
//   sgprobe DEVICE dump LBA
//       One READ (10) of the sector at LBA, printed with the programs' own
//       hex dump, as sectorscope prints a block.
//   sgprobe DEVICE rate SECTORS COMMANDS AREA
//       COMMANDS READ (10) commands of SECTORS sectors each, one after the
//       other through the first AREA sectors and round again; prints the
//       commands per second. Any status other than GOOD, or a short
//       transfer, ends the run with exit status 1.
//
// DEVICE is a drive argument as the programs take it: a device node or an
// image file here, a drive letter on Windows.
//
// Exit status: 0 when the drive answered (whatever its status), 1 when the
// device could not be opened or the request could not be passed, 2 on usage.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "report.h"

namespace {

// The programs send every command block with 12 bytes.
constexpr int kProbeCdbLength = 12;
constexpr std::uint32_t kSector = 2048;
constexpr std::uint32_t kMaxLength = 1024 * 1024;

bool parseNumber(const char* text, std::uint32_t* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed > 0xFFFFFFFFull) {
        return false;
    }
    *value = static_cast<std::uint32_t>(parsed);
    return true;
}

void readTenCdb(std::uint8_t* cdb, std::uint32_t lba, std::uint32_t count)
{
    std::memset(cdb, 0, kProbeCdbLength);
    cdb[0] = 0x28;
    cdb[2] = static_cast<std::uint8_t>(lba >> 24);
    cdb[3] = static_cast<std::uint8_t>(lba >> 16);
    cdb[4] = static_cast<std::uint8_t>(lba >> 8);
    cdb[5] = static_cast<std::uint8_t>(lba);
    cdb[7] = static_cast<std::uint8_t>(count >> 8);
    cdb[8] = static_cast<std::uint8_t>(count);
}

void printOctets(const std::uint8_t* bytes, std::uint32_t length)
{
    for (std::uint32_t i = 0; i < length; i++) {
        std::printf(" %02x", bytes[i]);
        if (i % 16 == 15 || i + 1 == length) {
            std::printf("\n");
        }
    }
}

int usage()
{
    std::printf(
        "usage: sgprobe DEVICE read LBA COUNT LENGTH\n"
        "       sgprobe DEVICE dump LBA\n"
        "       sgprobe DEVICE rate SECTORS COMMANDS AREA\n");
    return 2;
}

// The rate run: COMMANDS reads of SECTORS sectors through the first AREA.
int measureRate(DriveHandle drive, std::uint32_t sectors, std::uint32_t commands, std::uint32_t area)
{
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(sectors) * kSector);
    std::uint8_t cdb[kProbeCdbLength];
    std::uint32_t lba = 0;
    const auto started = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < commands; i++) {
        if (lba + sectors > area) {
            lba = 0;
        }
        readTenCdb(cdb, lba, sectors);
        PassResult result{};
        const std::uint32_t length = sectors * kSector;
        if (!platformPassCommand(drive, kDirectionIn, cdb, kProbeCdbLength, buffer.data(), length, &result)) {
            std::printf("command %u at %u: pass-through failed: error %u\n", i, lba, platformLastError());
            return 1;
        }
        if (result.scsiStatus != 0 || result.transferred != length) {
            std::printf("command %u at %u: status=0x%02x transferred=%u\n", i, lba, result.scsiStatus,
                        result.transferred);
            return 1;
        }
        lba += sectors;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    const double seconds = took.count() > 0 ? took.count() : 1e-9;
    std::printf("%u sectors per command: %u commands in %.3f s, %.0f commands/s, %.2f MiB/s\n", sectors, commands,
                seconds, commands / seconds, commands * static_cast<double>(sectors) * kSector / seconds / 1048576.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        return usage();
    }
    const bool dumpMode = std::strcmp(argv[2], "dump") == 0;
    const bool rateMode = std::strcmp(argv[2], "rate") == 0;
    std::uint32_t lba = 0;
    std::uint32_t count = 1;
    std::uint32_t length = kSector;
    std::uint32_t commands = 0;
    std::uint32_t area = 0;
    if (rateMode) {
        // count sectors per command, through an area of at least one command
        if (argc != 6 || !parseNumber(argv[3], &count) || !parseNumber(argv[4], &commands) ||
            !parseNumber(argv[5], &area) || count == 0 || count > kMaxLength / kSector || area < count) {
            return usage();
        }
    } else if (dumpMode) {
        if (argc != 4 || !parseNumber(argv[3], &lba)) {
            return usage();
        }
    } else if (std::strcmp(argv[2], "read") == 0) {
        if (argc != 6 || !parseNumber(argv[3], &lba) || !parseNumber(argv[4], &count) ||
            !parseNumber(argv[5], &length) || count > 0xFFFF || length > kMaxLength) {
            return usage();
        }
    } else {
        return usage();
    }

    char path[600];
    DriveHandle drive = nullptr;
    if (!platformDevicePath(argv[1], path, sizeof path) || !platformOpenDrive(path, &drive)) {
        std::printf("can't open %s: error %u\n", argv[1], platformLastError());
        return 1;
    }
    if (rateMode) {
        const int status = measureRate(drive, count, commands, area);
        platformCloseDrive(drive);
        return status;
    }
    // Filled with a pattern, so that bytes the drive did not move are never
    // mistaken for zeros it sent.
    std::vector<std::uint8_t> buffer(length != 0 ? length : 1, 0xA5);
    std::uint8_t cdb[kProbeCdbLength];
    readTenCdb(cdb, lba, count);
    PassResult result{};
    if (!platformPassCommand(drive, kDirectionIn, cdb, kProbeCdbLength, buffer.data(), length, &result)) {
        std::printf("pass-through failed: error %u\n", platformLastError());
        platformCloseDrive(drive);
        return 1;
    }
    platformCloseDrive(drive);

    if (dumpMode) {
        if (result.scsiStatus != 0 || result.transferred != kSector) {
            std::printf("status=0x%02x transferred=%u\n", result.scsiStatus, result.transferred);
            return 1;
        }
        printHexDump(buffer.data(), kSector);
        return 0;
    }
    std::printf("READ (10) lba=%u count=%u length=%u: status=0x%02x", lba, count, length, result.scsiStatus);
    if (result.scsiStatus != 0) {
        // The count of a failed command says nothing: QEMU reports no residue
        // for it (SG_IO then gives the whole length), the emulated drive 0.
        std::printf(" sense=%u", result.senseLength);
        if (result.senseLength >= 14) {
            std::printf(" key=0x%02x asc=0x%02x ascq=0x%02x", result.sense[2] & 0x0Fu, result.sense[12],
                        result.sense[13]);
        }
        std::printf("\n");
        return 0;
    }
    std::printf(" transferred=%u sense=%u\n", result.transferred, result.senseLength);
    printOctets(buffer.data(), result.transferred <= length ? result.transferred : length);
    return 0;
}

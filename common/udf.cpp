#include "udf.h"

#include <cstring>

#include "mmc.h"
#include "report.h"
#include "support.h"

void readFromSector(DriveHandle drive, std::uint32_t lba, std::uint32_t count, void* destination)
{
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint32_t remaining = count;
    std::uint32_t index = 0;
    while (remaining > kSectorSize) {
        std::uint8_t* sector = out + static_cast<std::size_t>(index) * kSectorSize;
        // A short transfer leaves zeros, never stale bytes, behind.
        std::memset(sector, 0, kSectorSize);
        ReadASector(drive, lba + index, sector);
        remaining -= kSectorSize;
        index++;
    }
    alignas(16) std::uint8_t last[kSectorSize] = {};
    ReadASector(drive, lba + index, last);
    std::memcpy(out + static_cast<std::size_t>(index) * kSectorSize, last, remaining);
}

std::uint32_t GetByte(const void* buffer, std::uint32_t offset)
{
    return static_cast<const std::uint8_t*>(buffer)[offset];
}

std::uint32_t GetWord(const void* buffer, std::uint32_t offset)
{
    const auto* b = static_cast<const std::uint8_t*>(buffer) + offset;
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8);
}

std::uint32_t GetDWord(const void* buffer, std::uint32_t offset)
{
    const auto* b = static_cast<const std::uint8_t*>(buffer) + offset;
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

void checkMedia(DriveHandle drive)
{
    std::uint8_t header[kFeatureHeaderLength] = {};
    GetConfiguration(drive, 0, header, kFeatureHeaderLength);
    const std::uint32_t profile = ReverseEndianWord(GetWord(header, 6));
    if (profile == 0) {
        error("no Media");
    }
    if (profile < 0x0010 || profile > 0x001B) {
        error("not DVD");
    }
}

void checkBea(DriveHandle drive)
{
    alignas(16) std::uint8_t sector[kSectorSize];
    for (std::uint32_t lba = 16;; lba++) {
        std::memset(sector, 0, sizeof sector);
        ReadASector(drive, lba, sector);
        if (std::memcmp(sector + 1, "CD001", 5) == 0) {
            if (lba + 1 >= kCd001ScanEnd) {
                error("not found CD001");
            }
            continue;
        }
        if (std::memcmp(sector + 1, "BEA01", 5) == 0) {
            return;
        }
        error("no BEA01");
    }
}

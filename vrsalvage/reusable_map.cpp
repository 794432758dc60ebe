// "-r" mode: the partition's Unallocated Space Bitmap and the recorded blocks
// beyond its reach, for one recording file.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mmc.h"
#include "report.h"
#include "support.h"
#include "udf.h"
#include "vrsalvage.h"

namespace {

constexpr std::uint32_t kPartitionContentsUse = 56;
constexpr std::uint32_t kBitmapAdOffset = 8;  // in the Partition Header Descriptor
constexpr std::uint32_t kBitmapHeadSize = 24;
// The map of a DVD takes some 300 KB; at most this much of an extent is read
// (8 MiB of map cover 64 Mi blocks). A longer extent can only come from a
// damaged Partition Descriptor, and its map is used as far as it was read.
constexpr std::uint32_t kMaxMapExtentLength = kBitmapHeadSize + 8u * 1024 * 1024;

}  // namespace

void process(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb)
{
    psub7(drive, partitionDescriptor, ifo, icb);
}

void psub7(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb)
{
    psub8(drive, partitionDescriptor, ifo, icb, partitionDescriptor + kPartitionContentsUse + kBitmapAdOffset);
}

void psub8(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
           const std::uint8_t* bitmapAd)
{
    std::uint32_t length = GetDWord(bitmapAd, 0) & 0x3FFFFFFFu;
    if (length == 0) {
        std::printf("no Map");
        return;
    }
    if (length > kMaxMapExtentLength) {
        length = kMaxMapExtentLength;
    }
    auto* descriptor = static_cast<std::uint8_t*>(platformAlloc(length));
    if (descriptor == nullptr) {
        error("GlobalAlloc() failed\n");
    }
    readFromSector(drive, GetDWord(partitionDescriptor, 188) + GetDWord(bitmapAd, 4), length, descriptor);
    psub9(drive, partitionDescriptor, ifo, icb, descriptor, length);
    platformFree(descriptor);
}

// The map is used only as far as it was read: Number of Bytes is limited to
// the extent less the 24-byte head (0 when the extent is shorter than the
// head). Blocks that a longer claim would have covered then count as beyond
// the map, so for the movie file they are copied with the tail.
void psub9(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
           std::uint8_t* descriptor, std::uint32_t bytesRead)
{
    std::uint32_t n = 0;
    if (bytesRead >= kBitmapHeadSize) {
        n = GetDWord(descriptor, 20);
        if (n > bytesRead - kBitmapHeadSize) {
            n = bytesRead - kBitmapHeadSize;
        }
    }
    std::uint8_t* map = descriptor + kBitmapHeadSize;

    alignas(16) std::uint8_t discInformation[kDiscInformationLength] = {};
    ReadDiscInformation(drive, discInformation);
    const std::uint32_t track = discInformation[6] + 256u * discInformation[11];
    alignas(16) std::uint8_t trackInformation[kTrackInformationLength] = {};
    ReadTrackInformation(drive, track, trackInformation);

    // The last recorded sector, -1 when the recorded area is empty (a Next
    // Writable Address or Track Size of 0), and the tail counted exactly in
    // 64 bits, then held to the signed 32-bit range: a drive that reports an
    // end far beyond the disc gets a tail that runs into the disc's end and
    // stops there with the drive's report, instead of a count that wrapped.
    std::int64_t last;
    if ((trackInformation[7] & 2u) != 0) {
        last = ReverseEndianDWord(GetDWord(trackInformation, 28));
    } else if ((trackInformation[7] & 1u) != 0) {
        last = std::int64_t{ReverseEndianDWord(GetDWord(trackInformation, 12))} - 1;
    } else {
        last = std::int64_t{ReverseEndianDWord(GetDWord(trackInformation, 24))} - 1;
    }
    const std::uint32_t start = GetDWord(partitionDescriptor, 188);
    std::int64_t tail = (last - start + 1) - 8 * std::int64_t{n};
    if (tail > INT32_MAX) {
        tail = INT32_MAX;
    } else if (tail < INT32_MIN) {
        tail = INT32_MIN;
    }
    psub10(drive, partitionDescriptor, ifo, icb, map, n, static_cast<std::int32_t>(tail));
}

void psub10(DriveHandle drive, const std::uint8_t* partitionDescriptor, std::int32_t ifo, const std::uint8_t* icb,
            std::uint8_t* map, std::uint32_t n, std::int32_t tail)
{
    make(drive, partitionDescriptor, ifo, icb, map, n, tail);
}

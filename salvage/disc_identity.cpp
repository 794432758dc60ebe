// What a mapfile of "-r" mode records of the disc, so that a resumed run
// can tell it is the same one.
#include <algorithm>

#include "mmc.h"
#include "read_engine.h"
#include "salvage.h"
#include "udf_layout.h"

namespace {

// The anchor at sector 256 and the sectors of the Main Volume Descriptor
// Sequence it names (up to 16): the volume's identifiers and its time of
// recording. Nothing when one of them cannot be read.
std::optional<std::uint64_t> volumeFingerprint(Drive& drive)
{
    constexpr std::uint32_t kMaxSequenceSectors = 16;
    alignas(16) SectorBuffer sector{};
    if (!tryRead10(drive, kAnchorSector, sector.data(), 1).complete()) {
        return std::nullopt;
    }
    std::uint64_t hash = fingerprintBytes(kFingerprintSeed, sector.data(), kSectorSize);
    if (readLe16(sector.data(), DescriptorTagLayout::kTagIdentifier) !=
        static_cast<std::uint16_t>(TagIdentifier::kAnchorVolumeDescriptorPointer)) {
        return hash;
    }
    constexpr std::uint32_t kMain = AnchorLayout::kMainVolumeDescriptorSequenceExtent;
    const std::uint32_t location = readLe32(sector.data(), kMain + ExtentAdLayout::kExtentLocation);
    const std::uint32_t length = readLe32(sector.data(), kMain + ExtentAdLayout::kExtentLength);
    const std::uint32_t count = std::min(kMaxSequenceSectors, length / kSectorSize);
    for (std::uint32_t i = 0; i < count; i++) {
        sector.fill(0);
        if (!tryRead10(drive, location + i, sector.data(), 1).complete()) {
            return std::nullopt;
        }
        hash = fingerprintBytes(hash, sector.data(), kSectorSize);
    }
    return hash;
}

}  // namespace

DiscIdentity reusableDiscIdentity(Drive& drive, std::uint16_t profile)
{
    const TrackInformation track = readLastTrackInformationOrCapacity(drive);
    return DiscIdentity{"reusable", profile, recordedEnd(track).value_or(track.trackSize), "volume",
                        volumeFingerprint(drive)};
}

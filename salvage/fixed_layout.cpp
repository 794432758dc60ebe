// The default mode: the recording files copied from their fixed positions.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "read_speed.h"
#include "report.h"
#include "report_sink.h"
#include "salvage.h"
#include "support.h"

namespace {

const std::uint8_t kManagementSignature[12] = {'D', 'V', 'D', '_', 'R', 'T', 'R', '_', 'V', 'M', 'G', '0'};
const std::uint8_t kMovieSignature[5] = {0x00, 0x00, 0x01, 0xBA, 0x44};

}  // namespace

RunResult copyFixedLayout(const char* devicePath, const RunOptions& options)
{
    Drive drive = Drive::open(devicePath);
    const std::uint16_t profile = requireRestrictedOverwrite(drive);
    const std::optional<std::uint64_t> signatures = checkSignatures(drive, options.keepGoing);
    const std::uint32_t end = recordedAreaEnd(drive);
    const auto movieCount = static_cast<std::int32_t>(end - kMovieFirstSector);
    const RescueSettings settings = prepareReads(drive, options);

    if (!options.keepGoing) {
        reportf("# = %d sectors\n", static_cast<int>(kProgressMarkSectors));
        reportf("Writing VR_MANGR.IFO\n");
        reportf("sector count = %d\n", static_cast<int>(kManagementSectors));
        copySectorsToFile(drive, kManagementFirstSector, kManagementSectors, "VR_MANGR.IFO");
        reportf("Writing VR_MOVIE.VRO\n");
        reportf("sector count = %d\n", movieCount);
        copySectorsToFile(drive, kMovieFirstSector, static_cast<std::uint32_t>(movieCount), "VR_MOVIE.VRO");
        return RunResult::Complete;
    }

    RescueSession rescue(drive, settings, DiscIdentity{"fixed", profile, end, "signatures", signatures});
    reportf("Writing VR_MANGR.IFO\n");
    reportf("sector count = %d\n", static_cast<int>(kManagementSectors));
    bool going = rescue.copy(CopyTarget{"VR_MANGR.IFO", {{kManagementFirstSector, kManagementSectors}}});
    if (going) {
        reportf("Writing VR_MOVIE.VRO\n");
        reportf("sector count = %d\n", movieCount);
        // A recorded area that ends before the movie area leaves an empty
        // file; one that ends far beyond a DVD's size is refused by the session.
        const std::uint32_t count = end > kMovieFirstSector ? end - kMovieFirstSector : 0;
        going = rescue.copy(CopyTarget{"VR_MOVIE.VRO", {{kMovieFirstSector, count}}});
    }
    rescue.finish();
    if (!going) {
        return RunResult::Interrupted;
    }
    return rescue.unreadable() ? RunResult::Unreadable : RunResult::Complete;
}

RescueSettings prepareReads(Drive& drive, const RunOptions& options)
{
    RescueSettings settings;
    settings.retries = options.retries;
    settings.mapfile = options.mapfile;
    settings.rateLog = options.rateLog;
    settings.commandLine = options.commandLine;
    if (!options.speedKBs && !options.slowRetries) {
        return settings;
    }
    settings.slowRetries = options.slowRetries;
    settings.speedKBs = options.speedKBs.value_or(0);
    const std::optional<std::uint64_t> end = recordedEnd(readLastTrackInformation(drive));
    settings.discEnd = static_cast<std::uint32_t>(std::min<std::uint64_t>(end.value_or(0), UINT32_MAX));
    if (options.speedKBs) {
        const SpeedResult result =
            setReadSpeed(drive, *options.speedKBs, settings.discEnd == 0 ? 0 : settings.discEnd - 1);
        reportf("%s\n", speedReport(result, *options.speedKBs).c_str());
    }
    return settings;
}

std::uint16_t requireRestrictedOverwrite(Drive& drive)
{
    const std::uint16_t profile = currentProfile(drive);
    if (profile == 0) {
        fail("No disk");
    }
    if (profile != kProfileDvdRwRestrictedOverwrite) {
        fail("Not DVD-RW VR");
    }
    return profile;
}

std::uint16_t requireDvdVrProfile(Drive& drive)
{
    const std::uint16_t profile = currentProfile(drive);
    if (profile == 0) {
        fail("No disk");
    }
    if (profile < kFirstDvdVrProfile || profile > kLastDvdVrProfile) {
        char text[96];
        std::snprintf(text, sizeof text, "Not a DVD-VR disc: profile 0x%04X (%s)", profile, profileName(profile));
        fail(text);
    }
    return profile;
}

namespace {

// Sector `lba` into `sector`; with `keepGoing` false when it cannot be read,
// else as a fatal error.
bool readSignatureSector(Drive& drive, std::uint32_t lba, bool keepGoing, SectorBuffer& sector)
{
    sector.fill(0);
    if (!keepGoing) {
        read10(drive, lba, sector.data(), 1);
        return true;
    }
    return tryRead10(drive, lba, sector.data(), 1).complete();
}

}  // namespace

std::optional<std::uint64_t> checkSignatures(Drive& drive, bool keepGoing)
{
    alignas(16) SectorBuffer sector{};
    std::uint64_t hash = kFingerprintSeed;
    bool read = readSignatureSector(drive, kManagementFirstSector, keepGoing, sector);
    hash = fingerprintBytes(hash, sector.data(), kSectorSize);
    if (!read || std::memcmp(sector.data(), kManagementSignature, sizeof kManagementSignature) != 0) {
        reportf("? not found IFO\n");
    }
    sector.fill(0);
    const bool movieRead = readSignatureSector(drive, kMovieFirstSector, keepGoing, sector);
    read = read && movieRead;
    hash = fingerprintBytes(hash, sector.data(), kSectorSize);
    if (!movieRead || std::memcmp(sector.data(), kMovieSignature, sizeof kMovieSignature) != 0) {
        reportf("? not found VRO\n");
    }
    return read ? std::optional<std::uint64_t>(hash) : std::nullopt;
}

namespace {

std::uint32_t recordedAreaEndOf(const TrackInformation& track)
{
    const std::optional<std::uint64_t> end = recordedEnd(track);
    if (!end) {
        fail("Can't find Last Sector Address");
    }
    // Held to 32 bits as a sector number: a Last Recorded Address of
    // 0xFFFFFFFF gives an end of 0.
    return static_cast<std::uint32_t>(*end);
}

}  // namespace

std::uint32_t recordedAreaEnd(Drive& drive)
{
    return recordedAreaEndOf(readLastTrackInformation(drive));
}

std::uint32_t recordedAreaEndOfAnyDisc(Drive& drive)
{
    return recordedAreaEndOf(readLastTrackInformationOrCapacity(drive));
}

void copySectorsToFile(Drive& drive, std::uint32_t first, std::uint32_t count, const char* fileName)
{
    OutputFile file = OutputFile::createNew(fileName);
    SectorCopier copier(drive, file);
    bool marked = false;
    const std::uint32_t end = first + count;
    for (std::uint32_t lba = first; lba < end; lba++) {
        copier.copy(lba, end - lba - 1);
        if (((lba - first) & (kProgressMarkSectors - 1)) == kProgressMarkSectors - 1) {
            copier.flush();
            reportf("#");
            reportFlush();
            marked = true;
        }
    }
    copier.flush();
    if (marked) {
        reportf("\n");
    }
}

// One function per MMC command. Each builds its 12-byte command block and
// returns only when the drive completed the command; a failure ends the run
// (tryRead10 hands it back instead). Replies come back decoded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "scsi.h"

constexpr std::uint32_t kSectorSize = 2048;
constexpr int kCdbLength = 12;
constexpr std::uint32_t kDiscInformationLength = 34;
constexpr std::uint32_t kTrackInformationLength = 48;
constexpr std::uint32_t kInquiryLength = 96;
constexpr std::uint32_t kFeatureHeaderLength = 8;

// READ DISC INFORMATION, standard disc information.
struct DiscInformation {
    alignas(16) std::array<std::uint8_t, kDiscInformationLength> reply{};
    std::uint32_t lastTrackInLastSession = 0;
};

// READ TRACK INFORMATION of one track.
struct TrackInformation {
    alignas(16) std::array<std::uint8_t, kTrackInformationLength> reply{};
    bool lastRecordedAddressValid = false;  // LRA_V
    bool nextWritableAddressValid = false;  // NWA_V
    std::uint32_t nextWritableAddress = 0;
    std::uint32_t trackSize = 0;
    std::uint32_t lastRecordedAddress = 0;
};

// One past the last recorded sector of the track: Last Recorded Address + 1
// when it is valid, else the Next Writable Address when that is; nothing
// when neither is.
std::optional<std::uint64_t> recordedEnd(const TrackInformation& track);

void modeSense10(Drive& drive, std::uint8_t pageCode, void* buffer, std::uint16_t allocationLength);
void modeSelect10(Drive& drive, void* parameterList, std::uint16_t parameterListLength);
void reserveTrack(Drive& drive, std::uint32_t reservationSize);
void writeSector(Drive& drive, std::uint32_t lba, void* buffer);
void write10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count);
// `count` sectors from `lba` on, one WRITE (10) per sector.
void writeSectorsOneByOne(Drive& drive, std::uint32_t lba, void* buffer, std::uint32_t count);
void synchronizeCache(Drive& drive);
// READ (10) of one sector into a 2048-byte buffer.
void readSector(Drive& drive, std::uint32_t lba, void* buffer);
void read10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count);
// READ (10) whose outcome comes back to the caller, whatever it is.
CommandOutcome tryRead10(Drive& drive, std::uint32_t lba, void* buffer, std::uint16_t count);
DiscInformation readDiscInformation(Drive& drive);
TrackInformation readTrackInformation(Drive& drive, std::uint32_t trackNumber);
// Track information of the last track in the last session.
TrackInformation readLastTrackInformation(Drive& drive);
// The same, or for a drive that does not know READ DISC INFORMATION or READ TRACK
// INFORMATION (ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE: 05/20, as emulated
// DVD-ROM drives answer), one made from
// READ CAPACITY: the whole capacity recorded, its last block the Last Recorded Address.
// Another failure of either, or of READ CAPACITY then, ends the run with the track
// command's error.
TrackInformation readLastTrackInformationOrCapacity(Drive& drive);
// READ CAPACITY (10): the address of the last logical block; its outcome comes back too.
CommandOutcome tryReadCapacity(Drive& drive, std::uint32_t* lastBlock);
std::array<std::uint8_t, kInquiryLength> inquiry(Drive& drive);
void blank(Drive& drive, std::uint8_t blankingType, std::uint32_t startAddress);
void formatUnit(Drive& drive, void* parameterList);
void getConfiguration(Drive& drive, std::uint16_t startingFeature, void* buffer, std::uint16_t allocationLength);
// The Current Profile of the feature header (0: no medium).
std::uint16_t currentProfile(Drive& drive);
// The name MMC gives a profile ("DVD-RAM"); "?" for one without a name here.
const char* profileName(std::uint16_t profile);

// DVD 1x: 1,385 kB/s (kB of 1000 bytes, as the speed commands count them).
constexpr std::uint32_t kDvdSpeedKBs = 1385;

// SET STREAMING with one performance descriptor over sectors `startLba` to
// `endLba`: reading at `readKBs` kB/s, or with `restoreDefaults` (RDD) at
// the drive's own speed. Its outcome comes back to the caller.
CommandOutcome trySetStreaming(Drive& drive, std::uint32_t startLba, std::uint32_t endLba, std::uint32_t readKBs,
                               bool restoreDefaults);
// SET CD SPEED: reading at `readKBs` kB/s (0xFFFF: as fast as it can).
CommandOutcome trySetCdSpeed(Drive& drive, std::uint16_t readKBs);
constexpr std::uint16_t kCdSpeedHighest = 0xFFFF;

// GET PERFORMANCE, nominal read performance: the speeds at the start and
// the end of the first descriptor, kB/s; nothing when the drive does not
// answer it.
struct ReadPerformance {
    std::uint32_t startKBs;
    std::uint32_t endKBs;
};
std::optional<ReadPerformance> tryGetReadPerformance(Drive& drive);
// GET PERFORMANCE, write speed descriptors: the lowest read speed they
// list, kB/s; nothing when the drive does not answer it or lists none.
std::optional<std::uint32_t> tryGetLowestReadSpeed(Drive& drive);

// An MMC drive emulated over a disc image file of 2048-byte sectors.
//
// It answers as a DVD-RW in Restricted Overwrite mode would: GET CONFIGURATION,
// READ DISC INFORMATION, READ TRACK INFORMATION, READ CAPACITY, READ (10), INQUIRY, TEST
// UNIT READY, SET STREAMING, SET CD SPEED and GET PERFORMANCE; anything else, or an address beyond the image, ends in
// CHECK CONDITION with fixed-format sense data. Tests change what it reports and inject faults through
// imageDriveSettings(), and can read back every command block it received.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "rescue_map.h"

// Fixed-format sense data: MEDIUM ERROR, UNRECOVERED READ ERROR (03/11/00).
std::vector<std::uint8_t> mediumErrorSense();

struct ImageFault {
    enum class Kind {
        CheckCondition,  // the status and sense bytes below
        StatusOnly,      // the status below and no sense bytes
        ShortTransfer,   // GOOD, but only `transfer` bytes moved
        PassFailure,     // the request cannot be passed; error code `errorCode`
        Good,            // GOOD with every byte moved, the buffer left as it was
                         // (with an lba: only that sector's 2048 bytes of it;
                         // the others of a READ (10) are read as usual)
    };
    Kind kind = Kind::CheckCondition;
    int opcode = -1;                   // the command it hits; -1: any
    std::int64_t lba = -1;             // READ (10) only: the sector it hits; -1: any
    std::uint32_t skip = 0;            // matching commands to let through first
    std::uint32_t times = UINT32_MAX;  // how often it hits, after those
    std::uint8_t status = 2;
    std::vector<std::uint8_t> sense = mediumErrorSense();
    std::uint32_t transfer = 0;
    std::uint32_t errorCode = 5;
};

struct ImageDriveSettings {
    std::uint16_t profile = 0x0013;  // current profile; 0: no medium
    std::uint16_t lastTrack = 1;     // last track number in the last session
    bool lraValid = true;
    bool nwaValid = false;
    // Unset: derived from the image size (last sector, one past it, sectors).
    std::optional<std::uint32_t> lastRecordedAddress;
    std::optional<std::uint32_t> nextWritableAddress;
    std::optional<std::uint32_t> trackSize;
    std::vector<ImageFault> faults;
    // The longest READ (10) it takes, in sectors (0: any); a longer one ends
    // in ILLEGAL REQUEST, INVALID FIELD IN CDB (05/24/00), or with
    // `longReadsFailToPass` cannot be passed at all, as an adapter that
    // refuses the transfer would.
    std::uint32_t maxTransferSectors = 0;
    bool longReadsFailToPass = false;
    // What the platform tells of the adapter's longest transfer, in bytes
    // (0: it cannot tell).
    std::uint32_t adapterMaxTransferBytes = 0;
    bool record = false;  // keep every command block received
    // READ (10) of this sector raises SIGINT first, as a user's Ctrl-C would.
    std::int64_t interruptAt = -1;
    // The READ (10) command of this number (1: the first) raises `signal`
    // first: a kill, a closed terminal or a crash at a chosen point of a run.
    std::uint32_t signalAtRead = 0;
    int signal = 0;
    // Called with the number of every READ (10) before it is answered; it
    // may throw, as a crash at that point would end the run.
    void (*onRead)(std::uint32_t number) = nullptr;
    // The mapfile that came with the image: a READ (10) of any sector whose
    // bytes are not all Rescued ends in MEDIUM ERROR (03/11/00).
    std::optional<RescueMap> imageMap;
    // SET STREAMING, SET CD SPEED and GET PERFORMANCE: accepted (a speed
    // asked for is taken as the fastest offered at or below it, the slowest
    // at least), accepted and ignored, or refused (05/20/00).
    enum class SpeedCommands { Accept, Ignore, Refuse };
    SpeedCommands speedCommands = SpeedCommands::Accept;
    // The read speeds offered, kB/s, fastest first: the first is the
    // drive's own. The model's media rate is held to the speed taken.
    std::vector<std::uint32_t> readSpeeds = {22160, 11080, 5540, 2770};
    std::uint32_t readSpeed = 0;  // kB/s taken; 0: its own
    // The drive model: every command costs `commandLatency` seconds plus its
    // data bytes at `mediaRate` bytes a second (0: free), added up in
    // `modelledSeconds` without waiting.
    double commandLatency = 0;
    double mediaRate = 0;
    double modelledSeconds = 0;
};

struct ReceivedCommand {
    std::array<std::uint8_t, 16> cdb;
    int cdbLength;
    std::uint8_t direction;
    std::uint32_t dataLength;
};

// Global, so that a test can set it before the program under test opens the
// drive; read afresh for every command.
ImageDriveSettings& imageDriveSettings();
std::vector<ReceivedCommand>& imageDriveLog();
// Back to the defaults, with an empty log.
void imageDriveReset();

// Reads a ddrescue mapfile for the next image opened (imageMap above);
// false, with the reason in `error`, when it cannot be read or parsed.
bool imageDriveUseMapfile(const char* path, std::string* error);

struct ImageDrive;
// Prints a notice when the image ends in a partial sector, which is ignored.
ImageDrive* imageDriveOpen(const char* path);
void imageDriveClose(ImageDrive* drive);
bool imageDrivePass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                    std::uint32_t dataLength, PassResult* result);

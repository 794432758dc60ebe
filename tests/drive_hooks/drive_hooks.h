// What tests, the fuzz harnesses and the benchmark put between the programs
// and the emulated drive: injected faults, a log of the command blocks, a
// signal or a callback at a chosen read, another profile or track, speed
// commands ignored or refused, a transfer limit, and a model of the time each
// command takes. A DriveHooks object is installed while it lives; the drive
// answers as itself when none is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image_drive.h"

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

struct DriveHookSettings {
    std::uint16_t profile = 0x0013;  // current profile; 0: no medium
    std::uint16_t lastTrack = 1;     // last track number in the last session
    bool lraValid = true;
    bool nwaValid = false;
    // Unset: as the drive reports them (last sector, one past it, sectors).
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
    // SET STREAMING, SET CD SPEED and GET PERFORMANCE: as the drive answers
    // them, accepted and ignored, or refused (05/20/00).
    enum class SpeedCommands { Accept, Ignore, Refuse };
    SpeedCommands speedCommands = SpeedCommands::Accept;
    // The drive model: every command costs `commandLatency` seconds plus its
    // data bytes at `mediaRate` bytes a second (0: free), held to the read
    // speed the drive took, added up in `modelledSeconds` without waiting.
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

// Installed from construction to destruction (the hooks installed before come
// back then); read afresh for every command, so a test may change `settings`
// between runs.
class DriveHooks final : public ImageDriveHooks {
public:
    DriveHooks();
    explicit DriveHooks(const DriveHookSettings& initial);
    ~DriveHooks() override;
    DriveHooks(const DriveHooks&) = delete;
    DriveHooks& operator=(const DriveHooks&) = delete;

    // Back to the defaults, with an empty log.
    void reset();

    bool pass(ImageDrive* drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
              std::uint32_t dataLength, PassResult* result) override;
    std::uint32_t maxTransferBytes() const override { return settings.adapterMaxTransferBytes; }

    DriveHookSettings settings;
    std::vector<ReceivedCommand> log;

private:
    ImageDriveHooks* before_;
    std::uint32_t reads_ = 0;  // READ (10) commands received
};

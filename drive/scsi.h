// The drive and the pass-through of one command block.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"
#include "report.h"

// An open drive, closed by its owner on every path.
class Drive {
public:
    // "can't open device" when the path cannot be opened.
    static Drive open(const char* path);

    Drive(Drive&& other) noexcept;
    Drive& operator=(Drive&&) = delete;
    Drive(const Drive&) = delete;
    ~Drive();

    DriveHandle handle() const { return handle_; }

    // The adapter's longest transfer in bytes, as the platform told it when
    // the drive was opened; 0 when it could not tell.
    std::uint32_t adapterMaxTransferBytes() const { return adapterMaxTransferBytes_; }
    // The longest READ the drive is asked for, in sectors, as the read
    // engine learns it (0: not set yet).
    std::uint32_t readLimitSectors() const { return readLimitSectors_; }
    void setReadLimitSectors(std::uint32_t sectors) { readLimitSectors_ = sectors; }

private:
    Drive(DriveHandle handle, std::uint32_t adapterMaxTransferBytes)
        : handle_(handle), adapterMaxTransferBytes_(adapterMaxTransferBytes)
    {
    }
    DriveHandle handle_;
    std::uint32_t adapterMaxTransferBytes_;
    std::uint32_t readLimitSectors_ = 0;
};

// What became of one command.
struct CommandOutcome {
    bool passed = false;            // false: the request never reached the drive
    std::uint32_t systemError = 0;  // the reason, when it did not
    PassResult result{};            // the drive's answer, when it did
    std::uint32_t asked = 0;        // data bytes asked for

    bool good() const { return passed && result.scsiStatus == 0; }
    bool complete() const { return good() && result.transferred == asked; }
};

// The sense key, additional sense code and qualifier of a reply's sense
// data, fixed or descriptor format; nothing when it has none.
struct SenseCode {
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
};
std::optional<SenseCode> senseCode(const PassResult& result);

// What a command's outcome says of the drive, by its sense key; None for GOOD.
FatalError::DriveFailure classifyFailure(const CommandOutcome& outcome);
// Whether a read that failed so says nothing of the sector: the drive has no
// disc ready, or the disc may have been changed. A rescue cannot go on then.
bool failureEndsTheRun(const CommandOutcome& outcome);

// Passes one command and hands back what became of it; never fails the run.
CommandOutcome passCommand(Drive& drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                           std::uint32_t dataLength);

// The fatal error for a command that did not end with GOOD status: the
// pass-through failure with its system error code, or "SCSI Error" with the
// status and the sense data; classified, with the sector it was about.
[[noreturn]] void failCommand(const CommandOutcome& outcome, std::int64_t sector = -1);

// Prints the notice for a GOOD command that moved fewer bytes than asked.
void noteShortTransfer(const CommandOutcome& outcome);

// Passes one command and returns only when the drive completed it with GOOD
// status (a short transfer gets its notice); anything else ends the run.
void sendCommand(Drive& drive, std::uint8_t direction, const std::uint8_t* cdb, int cdbLength, void* data,
                 std::uint32_t dataLength);

// The read speed asked of a drive: SET STREAMING, else SET CD SPEED, and
// what the drive says through GET PERFORMANCE that it made of it. A drive
// that refuses or ignores them reads on at its own speed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mmc.h"

enum class SpeedAnswer {
    Took,     // a command was accepted and the drive reports the speed asked for, or cannot tell
    Ignored,  // a command was accepted, but the drive reports the speed it had before
    Refused,  // both commands ended in CHECK CONDITION or could not be passed
};

struct SpeedResult {
    SpeedAnswer answer = SpeedAnswer::Refused;
    const char* command = "";  // the command accepted
    std::optional<ReadPerformance> reported;
};

// Asks the drive to read sectors 0 to `endLba` at `readKBs` kB/s; 0: at its
// own speed again.
SpeedResult setReadSpeed(Drive& drive, std::uint32_t readKBs, std::uint32_t endLba);

// The line that tells what became of it, e.g. "speed: 5540 kB/s (4.0x) by
// SET STREAMING; the drive reports 5540 kB/s (4.0x)".
std::string speedReport(const SpeedResult& result, std::uint32_t readKBs);

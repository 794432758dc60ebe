#include "read_speed.h"

#include <algorithm>
#include <cstdio>

namespace {

bool sameSpeed(const std::optional<ReadPerformance>& a, const std::optional<ReadPerformance>& b)
{
    return a && b && a->startKBs == b->startKBs && a->endKBs == b->endKBs;
}

std::string describeSpeed(std::uint32_t kBs)
{
    char text[48];
    std::snprintf(text, sizeof text, "%u kB/s (%.1fx)", static_cast<unsigned>(kBs),
                  static_cast<double>(kBs) / kDvdSpeedKBs);
    return text;
}

}  // namespace

SpeedResult setReadSpeed(Drive& drive, std::uint32_t readKBs, std::uint32_t endLba)
{
    const std::optional<ReadPerformance> before = tryGetReadPerformance(drive);
    SpeedResult result;
    if (trySetStreaming(drive, 0, endLba, readKBs, readKBs == 0).good()) {
        result.command = "SET STREAMING";
    } else {
        const std::uint16_t cdSpeed =
            readKBs == 0 || readKBs >= kCdSpeedHighest ? kCdSpeedHighest : static_cast<std::uint16_t>(readKBs);
        if (!trySetCdSpeed(drive, cdSpeed).good()) {
            return result;
        }
        result.command = "SET CD SPEED";
    }
    result.reported = tryGetReadPerformance(drive);
    // Unchanged and faster than asked: the drive let the command pass and
    // went on as before.
    const bool ignored = readKBs != 0 && sameSpeed(before, result.reported) &&
                         std::max(result.reported->startKBs, result.reported->endKBs) > readKBs;
    result.answer = ignored ? SpeedAnswer::Ignored : SpeedAnswer::Took;
    return result;
}

std::string speedReport(const SpeedResult& result, std::uint32_t readKBs)
{
    const std::string asked = readKBs == 0 ? "the drive's own speed" : describeSpeed(readKBs);
    std::string reported = "the drive does not report its speed";
    if (result.reported) {
        reported = "the drive reports " + describeSpeed(result.reported->startKBs);
        if (result.reported->endKBs != result.reported->startKBs) {
            reported += " to " + describeSpeed(result.reported->endKBs);
        }
    }
    switch (result.answer) {
        case SpeedAnswer::Took: return std::string("speed: ") + asked + " by " + result.command + "; " + reported;
        case SpeedAnswer::Ignored:
            return std::string("speed: the drive ignored ") + result.command + " for " + asked + "; " + reported;
        case SpeedAnswer::Refused: break;
    }
    return std::string("speed: the drive refused SET STREAMING and SET CD SPEED for ") + asked +
           "; it reads at its own speed";
}

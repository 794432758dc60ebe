// The counts a run shows while it reads: of the sectors of its targets, how many are read
// or found unreadable so far (an earlier run's count included), at what rate, with how
// long to go.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "mmc.h"
#include "read_engine.h"
#include "recordings_run.h"
#include "rescue_areas.h"

namespace pipeline {

// The counts of ReadProgress over the sectors of a run's targets, kept up to date read by read.
class ProgressCount {
public:
    ProgressCount(const std::vector<CopyTarget>& targets, RescueAreas earlier) : areas_(std::move(earlier))
    {
        for (const CopyTarget& target : targets)
            for (const SectorRun& run : target.runs) {
                wanted_.set(run.first, run.first + run.count, RescueStatus::Rescued);
                progress_.total += run.count;
            }
        forWanted(0, areas_.end(), [&](const RescueAreas::Area& area) { count(area, +1); });
    }

    // The areas of the earlier run, one by one.
    void replay(const RecordingsSink& sink)
    {
        forWanted(0, areas_.end(), [&](const RescueAreas::Area& area) {
            if (area.status == RescueStatus::Rescued || area.status == RescueStatus::BadSector)
                tell(area, sink);
        });
    }

    void observe(const ReadTiming& read, const RecordingsSink& sink)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            start_ = now;
        }
        if (read.complete)
            bytesRead_ += static_cast<double>(read.count) * kSectorSize;
        const RescueStatus status = read.complete ? RescueStatus::Rescued : RescueStatus::BadSector;
        const std::uint64_t end = read.first + read.count;
        forWanted(read.first, end, [&](const RescueAreas::Area& area) { count(area, -1); });
        areas_.set(read.first, end, status);
        forWanted(read.first, end, [&](const RescueAreas::Area& area) { count(area, +1); });
        const double seconds = std::chrono::duration<double>(now - start_).count();
        progress_.bytesPerSecond = seconds > 0 ? bytesRead_ / seconds : 0;
        progress_.secondsLeft = progress_.bytesPerSecond > 0 ? static_cast<double>(progress_.total - progress_.done) *
                                                                   kSectorSize / progress_.bytesPerSecond
                                                             : -1;
        tell(RescueAreas::Area{read.first, end, status}, sink);
    }

private:
    // Calls `visit` for each part of [first, end) among the targets' sectors, in its status.
    template <typename Visit>
    void forWanted(std::uint64_t first, std::uint64_t end, Visit&& visit) const
    {
        wanted_.forEach(first, end, [&](const RescueAreas::Area& wanted) {
            if (wanted.status == RescueStatus::Rescued)
                areas_.forEach(wanted.first, wanted.end, visit);
        });
    }

    void count(const RescueAreas::Area& area, int sign)
    {
        const std::uint64_t n = area.end - area.first;
        const auto add = [&](std::uint64_t& counter) { counter = sign > 0 ? counter + n : counter - n; };
        if (area.status == RescueStatus::Rescued || area.status == RescueStatus::BadSector)
            add(progress_.done);
        if (area.status == RescueStatus::BadSector)
            add(progress_.unreadable);
    }

    void tell(const RescueAreas::Area& area, const RecordingsSink& sink)
    {
        progress_.first = area.first;
        progress_.count = area.end - area.first;
        progress_.status = area.status;
        sink.progress(progress_);
    }

    RescueAreas wanted_;  // Rescued: a sector of a target
    RescueAreas areas_;   // what became of the sectors
    ReadProgress progress_;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_;
    double bytesRead_ = 0;
};

}  // namespace pipeline

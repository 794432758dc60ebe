// The window's counts of a run: read by read, and resumed from an earlier run's areas.
#include <gtest/gtest.h>

#include "progress_count.h"

namespace {

using pipeline::ProgressCount;
using pipeline::ReadProgress;

struct Step {
    std::uint64_t first;
    std::uint32_t count;
    bool complete;
    std::uint64_t done, unreadable;  // the counts told after it
};

struct Case {
    const char* name;
    std::vector<RescueAreas::Area> earlier;
    std::uint64_t doneAtStart, unreadableAtStart;
    std::vector<Step> reads;
};

// Two targets: sectors 100-199 and 300-349 (150 sectors); 200-299 is read but no target's.
std::vector<CopyTarget> targets()
{
    return {CopyTarget{"A", {{100, 100}}}, CopyTarget{"B", {{300, 50}}}};
}

TEST(ProgressCount, CountsTheTargetsSectorsReadAndUnreadableReadByRead)
{
    const Case cases[] = {
        {"a clean run, block by block across both targets and the gap between",
         {},
         0,
         0,
         {{100, 64, true, 64, 0}, {164, 64, true, 100, 0}, {228, 64, true, 100, 0}, {292, 64, true, 150, 0}}},
        {"a failed block, its sectors one by one, then a retry that reads one",
         {},
         0,
         0,
         {{100, 16, false, 16, 16},
          {100, 1, true, 16, 15},
          {101, 1, false, 16, 15},
          {116, 84, true, 100, 15},
          {300, 50, true, 150, 15},
          {101, 1, true, 150, 14}}},
        {"reads outside every target count nothing", {}, 0, 0, {{0, 100, false, 0, 0}, {200, 100, true, 0, 0}}},
        {"resumed: the earlier run's read and unreadable sectors count from the start",
         {{0, 150, RescueStatus::Rescued}, {150, 152, RescueStatus::BadSector}, {152, 400, RescueStatus::NonTried}},
         52,
         2,
         {{150, 2, true, 52, 0}, {152, 48, true, 100, 0}, {300, 50, true, 150, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RescueAreas earlier;
        for (const RescueAreas::Area& area : c.earlier)
            earlier.set(area.first, area.end, area.status);
        std::vector<ReadProgress> told;
        pipeline::RecordingsSink sink;
        sink.progress = [&](const ReadProgress& progress) { told.push_back(progress); };
        ProgressCount count(targets(), earlier);
        count.replay(sink);
        const ReadProgress atStart = told.empty() ? ReadProgress{} : told.back();
        EXPECT_EQ(atStart.done, c.doneAtStart);
        EXPECT_EQ(atStart.unreadable, c.unreadableAtStart);
        for (const ReadProgress& replayed : told)
            EXPECT_NE(replayed.status, RescueStatus::NonTried);
        for (const Step& step : c.reads) {
            told.clear();
            count.observe(ReadTiming{step.first, step.count, step.complete, 0.01}, sink);
            ASSERT_EQ(told.size(), 1u);
            EXPECT_EQ(told[0].total, 150u);
            EXPECT_EQ(told[0].done, step.done) << "after the read of " << step.first << "+" << step.count;
            EXPECT_EQ(told[0].unreadable, step.unreadable) << "after the read of " << step.first << "+" << step.count;
            EXPECT_EQ(told[0].first, step.first);
            EXPECT_EQ(told[0].count, step.count);
            EXPECT_EQ(told[0].status, step.complete ? RescueStatus::Rescued : RescueStatus::BadSector);
            EXPECT_GE(told[0].secondsLeft, step.done == 150 ? 0.0 : -1.0);
        }
    }
}

}  // namespace

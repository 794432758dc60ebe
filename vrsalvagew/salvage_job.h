// One run of the recordings pipeline on a worker thread, and what the window reads of
// it while it runs and when it has ended.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "recordings_run.h"
#include "rescue_areas.h"

struct JobRequest {
    std::string source;  // a drive letter or a disc image file, UTF-8
    std::string folder;  // the output folder, relative to the working folder the job is started in
    bool erasedRecordings = true;
};

// What the window shows; copied out under the job's lock.
struct JobView {
    bool running = false;
    bool ended = false;  // since the last start
    std::string stage;
    pipeline::ReadProgress progress;
    std::uint64_t discSectors = 0;
    std::vector<pipeline::MapArea> areas;  // the layout while it runs, the report's map at the end
    RescueAreas statuses;                  // of the sectors read so far
    std::string text;                      // the console's lines so far, the status line left out
    // At the end: the exit status the console program would give (0, 1, or 255 after a
    // fatal error) and the outcome.
    int status = 0;
    pipeline::RecordingsOutcome outcome;
};

class SalvageJob {
public:
    SalvageJob() = default;
    SalvageJob(const SalvageJob&) = delete;
    SalvageJob& operator=(const SalvageJob&) = delete;
    ~SalvageJob();

    // Starts the run; `changed` is called on the worker thread whenever the view changed
    // (the window posts itself a message there).
    void start(const JobRequest& request, void (*changed)(void*), void* context);
    // Asks the run to stop between two drive commands: the mapfile keeps what was read.
    void stop();
    // Waits for the worker thread of a run that has ended.
    void join();
    JobView view();
    // The statuses of the map only when they changed since the last call (cheap to poll).
    bool takeMapChange();

private:
    void run(JobRequest request);
    void notify();

    std::mutex mutex_;
    JobView view_;
    bool mapChanged_ = false;
    std::thread worker_;
    void (*changed_)(void*) = nullptr;
    void* context_ = nullptr;
};

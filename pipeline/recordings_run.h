// A disc to a folder of recordings in one run: the live recording files and the free
// blocks read with the keep-going rescue and a mapfile, the recordings cut out of them,
// and the disc report. A second run into the same folder resumes from the mapfile and
// brings the recordings and the report up to date.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "read_engine.h"

namespace pipeline {

struct RecordingsSettings {
    std::string folder;  // DIR: the recordings, disc/ (raw files, mapfile), report.html, report.json
    std::uint32_t retries = 0;
    std::string version;  // of the program, for the report
};

// Where the run tells what it is doing: each stage as it starts.
struct RecordingsSink {
    std::function<void(const std::string&)> stage;
};

struct RecordingsOutcome {
    bool interrupted = false;
    bool everythingRead = false;  // and every recording cut cleanly
    unsigned live = 0, erased = 0;
    std::uint64_t unreadableSectors = 0;
    double secondsAffected = 0;
    std::string report;        // the HTML report's path
    double reportSeconds = 0;  // the time it took to make the report
};

// The live recording files' copy targets. The fixed layout of a DVD-RW in Restricted
// Overwrite mode where its signatures are in place; otherwise none, with `problem`
// saying why: the copy through the file system will yield them there.
struct LiveFiles {
    std::vector<CopyTarget> targets;
    bool fixedLayout = false;
    std::string problem;
};
LiveFiles liveFileTargets(Drive& drive, std::uint32_t recordedEnd);

// Fatal errors (the drive, a file this run did not write in its way) are thrown as
// FatalError, as the other runs of the program do.
RecordingsOutcome runRecordings(const char* devicePath, const RecordingsSettings& settings, const RecordingsSink& sink);

}  // namespace pipeline

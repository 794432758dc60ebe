// A disc to a folder of recordings in one run: the live recording files and the free
// blocks read with the keep-going rescue and a mapfile, the recordings cut out of them,
// and the disc report. A second run into the same folder resumes from the mapfile and
// brings the recordings and the report up to date.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "disc_report.h"
#include "read_engine.h"
#include "rescue_areas.h"
#include "salvage.h"

namespace pipeline {

struct RecordingsSettings {
    std::string folder;  // DIR: the recordings, disc/ (raw files, mapfile), report.html, report.json
    std::uint32_t retries = 0;
    std::string version;           // of the program, for the report
    bool erasedRecordings = true;  // false: the free blocks are neither read nor cut
};

// How far the reading of the disc has come, after each read of it.
struct ReadProgress {
    std::uint64_t total = 0;       // sectors of the files read from the disc
    std::uint64_t done = 0;        // of them: read, or found unreadable (an earlier run's count too)
    std::uint64_t unreadable = 0;  // of them
    double bytesPerSecond = 0;     // read by this run, over its time so far
    double secondsLeft = -1;       // at that rate; negative: not known yet
    // The sectors whose status changed: Rescued or BadSector. Before the first read of a
    // run that resumes, each area an earlier run read or found unreadable comes once.
    std::uint64_t first = 0, count = 0;
    RescueStatus status = RescueStatus::NonTried;
};

// Where the run tells what it is doing. Each may be empty.
struct RecordingsSink {
    std::function<void(const std::string&)> stage;  // each stage as it starts
    // Before the disc is read: the disc's size in sectors and what lies where, as far as
    // the layout and the file system tell (the report's map without the recordings).
    std::function<void(std::uint64_t, const std::vector<MapArea>&)> layout;
    std::function<void(const ReadProgress&)> progress;
};

struct RecordingsOutcome {
    bool interrupted = false;
    bool everythingRead = false;  // and every recording cut cleanly
    unsigned live = 0, erased = 0;
    std::uint64_t unreadableSectors = 0;
    double secondsAffected = 0;
    std::string report;                      // the HTML report's path
    double reportSeconds = 0;                // the time it took to make the report
    std::vector<MapArea> areas;              // the report's map
    std::vector<RecordingEntry> recordings;  // the report's table
};

// The live recording files' copy targets. The fixed layout on a DVD-RW in Restricted
// Overwrite mode where its signatures are in place (or the file system puts the two files
// where it does), and there the walk's place of the
// management file's backup copy; otherwise the files of DVD_RTAV through the file system,
// or none, with `problem` saying why.
struct LiveFiles {
    std::vector<CopyTarget> targets;        // read from the disc
    std::vector<DirectoryTarget> embedded;  // data held in their File Entries
    std::optional<CopyTarget> backup;       // the fixed layout's VR_MANGR.BUP, where the walk found it
    bool fixedLayout = false;
    std::uint32_t partitionStart = 0;  // where the walk found the partition; 0: not known
    std::uint32_t losses = 0;          // structures the walk could not use
    std::string problem;
};
LiveFiles liveFileTargets(Drive& drive, std::uint16_t profile, std::uint32_t recordedEnd);

// The files of a disc that the recordings are cut from, and where their sectors lie on it.
struct DiscFiles {
    std::string management, movie;  // the live files; empty: none
    std::vector<SectorRun> movieRuns;
    std::vector<std::uint64_t> movieFileSectors;  // where each run starts in the file; empty: one after the other
    std::string freeManagement, freeMovie;        // the recovery files of the free blocks; empty: none
    std::vector<SectorRun> freeMovieRuns;         // empty: not known (the recordings stay off the map)
};
struct CutSummary {
    int status = 0;  // as vrsplit's: 0, or some recordings not cut cleanly
    unsigned live = 0, erased = 0;
    double secondsAffected = 0;
    std::map<std::string, bool> files;  // the recording files written or kept: whole, or with holes
};
// Cuts the recordings into `folder` and enters them in the report (rows, thumbnails and
// their map areas); `areas` says which disc sectors could not be read.
CutSummary cutIntoReport(const DiscFiles& files, const std::string& folder, const RescueAreas& areas,
                         DiscReport& report);
// The file-system area, the management file and the movie file of the fixed layout, up
// to the end of the recorded area, first in the map.
void addFixedLayoutAreas(std::uint64_t end, DiscReport& report);
// The unreadable areas of a mapfile, and its untried ones in [from, end), into the report.
void addRescueAreas(const RescueMap& map, std::uint64_t from, std::uint64_t end, DiscReport& report);

// Fatal errors (the drive, a file this run did not write in its way) are thrown as
// FatalError, as the other runs of the program do.
RecordingsOutcome runRecordings(const char* devicePath, const RecordingsSettings& settings, const RecordingsSink& sink);

}  // namespace pipeline

// The salvage runs over a disc: the recording files from their fixed positions,
// and the reusable areas of the two recording files ("-r").
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "read_engine.h"
#include "udf_walk.h"

// Fixed layout of a DVD-VR disc on a DVD-RW in Restricted Overwrite mode.
constexpr std::uint32_t kManagementFirstSector = 8752;  // 0x2230
constexpr std::uint32_t kManagementSectors = 1360;      // 0x550
constexpr std::uint32_t kMovieFirstSector = 10112;      // 0x2780
constexpr std::uint16_t kProfileDvdRwRestrictedOverwrite = 0x0013;
// What a drive may report for a disc a recorder wrote in VR mode: DVD-ROM (a
// finalised disc in many drives), DVD-R, DVD-RAM, DVD-RW in either mode and
// the dual-layer DVD-Rs.
constexpr std::uint16_t kFirstDvdVrProfile = 0x0010;
constexpr std::uint16_t kLastDvdVrProfile = 0x0016;
constexpr std::uint32_t kProgressMarkSectors = 4096;

// What the options ask of a run.
struct RunOptions {
    bool keepGoing = false;  // go on past unreadable sectors
    std::uint32_t retries = 0;
    std::string mapfile;       // empty: none; implies keepGoing
    std::string imageMapfile;  // empty: none
    bool files = false;        // "--files" ("-f")
    // --speed: kB/s, 0 for the drive's own speed; unset: not asked.
    std::optional<std::uint32_t> speedKBs;
    bool slowRetries = false;  // with keepGoing
    std::string rateLog;       // --log-rates, with keepGoing; empty: none
    std::string commandLine;   // the arguments, for the rate log
    std::string recordings;    // empty: none; the folder of the one-step run
};

enum class RunResult {
    Complete,    // every sector read
    Unreadable,  // completed with unreadable sectors (keep-going)
    Interrupted,
};

// Both modes, once the disc is known: asks the drive for the speed of
// --speed and prints what it made of it, and gives the settings of a
// keep-going run.
RescueSettings prepareReads(Drive& drive, const RunOptions& options);

// Both modes: ends the run unless the disc is a DVD-RW in Restricted
// Overwrite mode; the profile.
std::uint16_t requireRestrictedOverwrite(Drive& drive);
// "-r" and "--files": ends the run unless the disc is one of the DVD-VR
// profiles ("No disk", "Not a DVD-VR disc: profile 0x001A (DVD+RW)"); the
// profile.
std::uint16_t requireDvdVrProfile(Drive& drive);

// ---- default mode: the recording files from their fixed positions ----------

RunResult copyFixedLayout(const char* devicePath, const RunOptions& options);
// Prints a notice for each signature of the fixed layout that is missing
// (with `keepGoing`, also for one that cannot be read). A fingerprint of the
// two sectors that hold them, which tell one disc from another; nothing
// when one could not be read.
std::optional<std::uint64_t> checkSignatures(Drive& drive, bool keepGoing);
// One past the last recorded sector ("Can't find Last Sector Address").
std::uint32_t recordedAreaEnd(Drive& drive);
// Copies `count` sectors from `first` on into a new file, a progress mark
// per kProgressMarkSectors sectors.
void copySectorsToFile(Drive& drive, std::uint32_t first, std::uint32_t count, const char* fileName);

// ---- "--files" mode: the files of DVD_RTAV through the file system --------

// Walks to the DVD_RTAV directory of the root and copies every file in it
// into a new file of the same name: recorded extents as read, the others as
// zeros, exactly the file's information length.
RunResult copyDirectoryFiles(const char* devicePath, const RunOptions& options);
// The same files as keep-going copy targets, without copying them: each
// file's recorded extents at their places in it (what lies between them is
// zeros), or its data when they are embedded in the File Entry. A file whose
// File Entry cannot be used is left out after a notice, counted in `losses`;
// `problem` says why none were found when the directory cannot be reached.
struct DirectoryTarget {
    CopyTarget target;  // its name, runs, file sectors and size in bytes
    bool embedded = false;
    std::vector<std::uint8_t> embeddedData;
};
struct DirectoryTargets {
    std::vector<DirectoryTarget> files;
    std::uint32_t partitionStart = 0;  // the sector of partition block 0
    std::uint32_t losses = 0;
    std::string problem;
};
DirectoryTargets findDirectoryTargets(Drive& drive);

// ---- "-r" mode: the reusable areas of the two recording files --------------

RunResult recoverReusableAreas(const char* devicePath, const RunOptions& options);
// The recovery files' copy targets as a keep-going "-r" run finds them (with its
// notices), without copying them; the losses on the way are counted.
struct ReusableTargets {
    std::vector<CopyTarget> targets;
    std::uint32_t losses = 0;
};
// `profile` as "-r" takes it: only a DVD-RW in Restricted Overwrite mode has
// the fixed areas.
ReusableTargets findReusableTargets(Drive& drive, std::uint16_t profile);
// What the mapfile of a "-r" run records of the disc: its profile, its
// recorded size, and a fingerprint of its anchor and volume descriptors.
DiscIdentity reusableDiscIdentity(Drive& drive, std::uint16_t profile);

// Marks the allocated-but-unrecorded extents of a file's descriptors (not
// embedded ones) as reusable. `extentSector`, when given, is set to the
// sector of each Allocation Extent Descriptor before it is read, so that a
// failure can name it; with keep-going their tags are checked.
void markUnrecordedExtents(Volume& volume, const AllocationDescriptors& descriptors, ReusableMap& map,
                           std::uint32_t* extentSector = nullptr);
// Writes the recovery file: the reusable blocks of the file's area, and for
// the movie file the recorded blocks beyond the map.
void copyReusableBlocks(Volume& volume, RecordingFile file, const ReusableMap& map);
// The same blocks as a copy target for the keep-going rescue.
CopyTarget reusableBlocksTarget(const Volume& volume, RecordingFile file, const ReusableMap& map);
// The map as rows of O (reusable) and X, 16 blocks a row.
void printReusableMap(const ReusableMap& map);

// Copying sectors of the disc into files: by ECC block (16 sectors, aligned
// on the disc) with a sector-by-sector fallback, and the keep-going rescue
// that goes on past unreadable sectors in passes, keeps a GNU ddrescue
// mapfile and resumes from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "rescue_map.h"
#include "support.h"
#include "udf.h"

// A DVD drive reads and corrects 16 sectors at a time.
constexpr std::uint32_t kEccBlockSectors = 16;

// Reads wanted sectors one at a time, as the copy loops ask for them, but
// through one READ (10) per run of consecutive wanted sectors inside an ECC
// block. A block read that fails or comes back short is not reported: its
// sectors are then read one by one as they are asked for, each with the
// notice or the fatal report a single read gives. So what a run prints and
// writes is the same as with one command per sector.
class BlockReader {
public:
    explicit BlockReader(Drive& drive) : drive_(drive) {}

    // Reads sector `lba` into `sector`; `following` counts the wanted sectors
    // right after it on the disc, which may be read with it.
    void read(std::uint32_t lba, std::uint32_t following, SectorBuffer& sector);

private:
    Drive& drive_;
    std::vector<std::uint8_t> block_ = std::vector<std::uint8_t>(kEccBlockSectors * kSectorSize);
    std::uint32_t first_ = 0;  // sectors held in block_
    std::uint32_t count_ = 0;
    std::uint32_t singlyFrom_ = 0;  // sectors whose block read failed: read one by one
    std::uint32_t singlyEnd_ = 0;
};

// Disc sectors that follow one another in an output file.
struct SectorRun {
    std::uint32_t first;
    std::uint32_t count;
};

// An output file and the disc sectors it holds, in order.
struct CopyTarget {
    std::string fileName;
    std::vector<SectorRun> runs;
};

struct RescueSettings {
    std::uint32_t retries = 0;  // passes over the sectors still unreadable
    std::string mapfile;        // empty: none
};

// The keep-going copy of one run of the program: any number of targets, one
// after the other, sharing one mapfile.
class RescueSession {
public:
    // Reads the mapfile when it exists (a fatal error when it cannot be read
    // as one), and from then on catches interrupts.
    RescueSession(Drive& drive, RescueSettings settings);

    // Copies the target into its file: a new file, or, when the mapfile
    // describes this very target, the existing one, reading only what the
    // mapfile does not mark rescued. False when interrupted.
    bool copy(const CopyTarget& target);

    // Writes the mapfile a last time and prints how the run ended.
    void finish();

    bool interrupted() const { return interrupted_; }
    bool unreadable() const { return unreadable_; }

private:
    struct TargetState {
        CopyTarget target;
        std::vector<std::uint32_t> lbas;  // the disc sector of each file sector
        std::string statuses;             // a RescueStatus character per file sector
    };

    void copyBlocks(TargetState& state, OutputFile& file, bool skipAfterFailures);
    void readSingly(TargetState& state, OutputFile& file, RescueStatus from, RescueStatus failed, const char* phase);
    bool stopRequested();
    void showStatus(const TargetState& state, const char* phase, bool force);
    void saveMapfile();
    void summarize(const TargetState& state);

    Drive& drive_;
    RescueSettings settings_;
    std::optional<RescueMap> previous_;  // the mapfile this run resumes
    std::vector<TargetState> targets_;
    bool interrupted_ = false;
    bool unreadable_ = false;
    std::uint64_t bytesRead_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastStatus_;
    std::chrono::steady_clock::time_point lastSave_;
};

// The line a mapfile keeps for a target: its name, its size in sectors and a
// checksum of its sector list, so that a resumed run can tell the same disc.
std::string layoutLine(const CopyTarget& target);

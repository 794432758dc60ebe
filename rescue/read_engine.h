// Copying sectors of the disc into files: by ECC block (16 sectors, aligned
// on the disc) with a sector-by-sector fallback, and the keep-going rescue
// that goes on past unreadable sectors in passes, keeps a GNU ddrescue
// mapfile and resumes from it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rescue_areas.h"
#include "rescue_map.h"
#include "support.h"
#include "udf.h"

// A DVD drive reads and corrects 16 sectors at a time.
constexpr std::uint32_t kEccBlockSectors = 16;

// The longest READ (10) asked for: 32 ECC blocks (1 MiB).
constexpr std::uint32_t kMaxTransferSectors = 32 * kEccBlockSectors;
// The first length tried when the platform cannot tell the adapter's limit:
// 64 KiB, which nearly every drive and adapter takes.
constexpr std::uint32_t kDefaultTransferSectors = 2 * kEccBlockSectors;

// The longest READ (10) to ask of the drive now, in whole ECC blocks: the
// adapter's limit at first (kDefaultTransferSectors when the platform
// cannot tell), at most kMaxTransferSectors, at least one ECC block, and
// less once the drive has refused a longer one.
std::uint32_t transferLimit(Drive& drive);

// The sectors one READ (10) at `lba` asks for, of the `wanted` ones from
// there: up to `limit`, ending at an ECC block's end unless `wanted` ends first.
std::uint32_t transferSectors(std::uint32_t lba, std::uint32_t wanted, std::uint32_t limit);

struct LongRead {
    CommandOutcome outcome;
    std::uint32_t sectors;  // what the READ (10) that answered asked for
};

// One READ (10) of transferSectors(lba, wanted, transferLimit(drive))
// sectors into `buffer`. A read that the drive or the adapter refuses as
// too long (ILLEGAL REQUEST, INVALID FIELD IN CDB, or a pass-through
// failure) is asked again at half the length, down to one ECC block, and
// the drive keeps the length that worked for its later reads.
LongRead readLong(Drive& drive, std::uint32_t lba, std::uint32_t wanted, std::uint8_t* buffer);

// Copies wanted sectors to the end of a file, one at a time as the copy
// loops ask for them, but reading each run of consecutive wanted sectors in
// as few READ (10) commands as the drive takes and writing them in as few
// writes. A long read that fails or comes back short is not reported: its
// ECC blocks are read one by one, and the sectors of a block that fails too
// are read one by one as they are asked for, each with the notice or the
// fatal report a single read gives. Whatever was asked for before a command
// is in the file when that command is sent. So what a run prints and writes
// is the same as with one command and one write per sector, as long as the
// caller calls flush() before it prints and at the end.
class SectorCopier {
public:
    SectorCopier(Drive& drive, OutputFile& file);

    // Whether sector `lba` has been read already, so that `following` is
    // not looked at.
    bool holds(std::uint32_t lba) const { return lba >= first_ && lba - first_ < count_; }
    // Appends sector `lba` to the file; `following` counts the wanted
    // sectors right after it on the disc, which may be read with it.
    void copy(std::uint32_t lba, std::uint32_t following);
    // Writes the sectors gathered so far.
    void flush();

private:
    void readSingly(std::uint32_t lba);

    Drive& drive_;
    OutputFile& file_;
    std::uint32_t capacity_;  // sectors of buffer_
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t first_ = 0;  // sectors held in buffer_
    std::uint32_t count_ = 0;
    std::uint32_t pendingFirst_ = 0;  // held sectors asked for, not written yet
    std::uint32_t pendingEnd_ = 0;
    std::uint32_t blockwiseFirst_ = 0;  // sectors whose long read failed: read by ECC block
    std::uint32_t blockwiseEnd_ = 0;
    std::uint32_t singlyFirst_ = 0;  // sectors whose block read failed: read one by one
    std::uint32_t singlyEnd_ = 0;
};

// Disc sectors that follow one another in an output file.
struct SectorRun {
    std::uint32_t first;
    std::uint32_t count;
};

// An output file and the disc sectors it holds, in order.
struct CopyTarget {
    CopyTarget() = default;
    CopyTarget(std::string name, std::vector<SectorRun> sectorRuns)
        : fileName(std::move(name)), runs(std::move(sectorRuns))
    {
    }

    std::string fileName;
    std::vector<SectorRun> runs;
    // Where each run starts in the file, in sectors, for a file whose runs
    // do not follow one another there: what lies between them is zeros.
    // Empty: each run follows the one before, from the file's start.
    std::vector<std::uint64_t> fileSectors;
    // The file's size in bytes, for a file that does not end with its last
    // run's last whole sector; 0: it does.
    std::uint64_t bytes = 0;
};

// One read of the rescue, as it went: for a record of the read rate along the disc.
struct ReadTiming {
    std::uint64_t first = 0;  // disc sector
    std::uint32_t count = 0;
    bool complete = false;
    double seconds = 0;
};

struct RescueSettings {
    std::uint32_t retries = 0;  // passes over the sectors still unreadable
    std::string mapfile;        // empty: none
    // The sector-by-sector and retry passes at the lowest speed the drive
    // offers, the others at `speedKBs` (0: the drive's own).
    bool slowRetries = false;
    std::uint32_t speedKBs = 0;
    std::uint32_t discEnd = 0;  // one past the last recorded sector, for the speed commands
    // A rate log in GNU ddrescue's format, once a second (empty: none),
    // with the command line it names.
    std::string rateLog;
    std::string commandLine;
};

// What tells one disc from another in a mapfile: a resumed run must find
// the same. `fingerprint` hashes sectors that differ from disc to disc (the
// caller's choice, named by `fingerprintOf`); nothing when they could not be
// read, and then it is not compared.
struct DiscIdentity {
    std::string mode;  // the kind of run: its targets and their layout
    std::uint16_t profile = 0;
    std::uint64_t recordedEnd = 0;  // one past the last recorded sector
    std::string fingerprintOf;
    std::optional<std::uint64_t> fingerprint;
};

// The comment line that records an identity in the mapfile, and back.
std::string identityLine(const DiscIdentity& identity);
std::optional<DiscIdentity> parseIdentityLine(const std::string& line);

// FNV-1a over bytes, for fingerprints.
std::uint64_t fingerprintBytes(std::uint64_t hash, const std::uint8_t* bytes, std::size_t length);
constexpr std::uint64_t kFingerprintSeed = 1469598103934665603ull;

// Whether `text` is a mapfile this program wrote (its first line).
bool isOwnMapfile(const std::string& text);

// The keep-going copy of one run of the program: any number of targets, one
// after the other, sharing one mapfile.
//
// What it keeps safe, whichever way a run ends (a crash, a kill, a full
// disk, a power cut): a file's data are flushed before a mapfile that says
// they are rescued, and the mapfile is replaced whole; a sector a mapfile
// marks rescued is never written again, read or zero-filled; every area of
// the earlier mapfile that this run has not reached is kept as it was; and
// a mapfile of another disc changes nothing.
class RescueSession {
public:
    // Reads the mapfile when it exists and checks it against `identity`
    // (a fatal error, with nothing written, when it is not this program's,
    // cannot be read, or describes another disc), writes it (which shows
    // early that its folder can take it), and from then on catches interrupts.
    RescueSession(Drive& drive, RescueSettings settings, DiscIdentity identity);
    RescueSession(const RescueSession&) = delete;
    RescueSession& operator=(const RescueSession&) = delete;
    ~RescueSession();

    // Copies the target into its file: a new file, or, when the mapfile
    // describes this very target, the existing one, reading only what the
    // mapfile does not mark rescued and the file holds. The targets of a run
    // must not share sectors. False when interrupted.
    bool copy(const CopyTarget& target);

    // Writes the mapfile a last time and prints how the run ended.
    void finish();

    // From now on `observer` is called after each read.
    void observeReads(std::function<void(const ReadTiming&)> observer) { readObserver_ = std::move(observer); }

    bool interrupted() const { return interrupted_; }
    bool unreadable() const { return unreadable_; }

private:
    // Where a target's sectors are in its file.
    struct Placed {
        std::uint64_t first;  // disc sector
        std::uint64_t end;
        std::uint64_t offset;  // file sector of `first`
    };
    struct Progress {
        std::uint64_t total = 0;
        std::uint64_t rescued = 0;
        std::uint64_t nonTried = 0;
        std::uint64_t badSectors = 0;
    };
    struct Current {
        std::string fileName;
        std::vector<Placed> runs;
        std::uint64_t size = 0;  // bytes of the whole file
        OutputFile* file = nullptr;
        std::uint64_t fileSize = 0;  // bytes the file holds so far
        Progress progress;
    };

    void prepareTarget(const CopyTarget& target, std::uint64_t total);
    void copyBlocks(bool skipAfterFailures);
    void readSingly(RescueStatus from, RescueStatus failed, const char* phase, char phaseStatus);
    void noteAddressOutOfRange(const CommandOutcome& outcome, std::uint64_t lba, std::uint64_t count);
    void changeSpeed(std::uint32_t readKBs);
    CommandOutcome timedRead(std::uint64_t lba, std::uint8_t* data, std::uint64_t count);
    void writeRescued(const Placed& run, std::uint64_t lba, const std::uint8_t* data, std::uint64_t count);
    void mark(std::uint64_t first, std::uint64_t end, RescueStatus status);
    void fillToSize();
    bool stopRequested();
    void showStatus(const char* phase, bool force);
    [[noreturn]] void endForTheDrive(const CommandOutcome& outcome, std::uint64_t lba);
    void saveMapfile();
    void logRates(std::chrono::steady_clock::time_point now);
    void writeRateLog(const std::string& text);
    void writeMapfile(const std::string& text);
    void summarize();

    Drive& drive_;
    std::unique_ptr<std::uint8_t[]> buffer_;  // one transfer, for the whole run
    RescueSettings settings_;
    DiscIdentity identity_;
    RescueAreas areas_;
    // The layout lines of the mapfile: those of this run's targets, then
    // those of an earlier run's that this one has not reached.
    std::vector<std::string> layouts_;
    std::size_t ownLayouts_ = 0;
    std::string savedText_;                           // what the mapfile holds since the last save
    std::map<std::uint64_t, std::uint64_t> claimed_;  // the sectors of this run's targets: first -> end
    Current current_;
    std::uint64_t position_ = 0;  // the sector being read, for the mapfile
    // The first sector past the disc's last one, once the drive has refused
    // a read as out of range and READ CAPACITY agreed; no sector from here on
    // is read.
    std::uint64_t discEnd_ = UINT64_MAX;
    bool capacityAsked_ = false;
    char phaseStatus_ = '?';  // the mapfile's current status
    int pass_ = 1;
    bool finished_ = false;
    bool interrupted_ = false;
    bool unreadable_ = false;
    std::uint64_t bytesRead_ = 0;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastStatus_;
    std::chrono::steady_clock::time_point lastSave_;
    FileHandle rateLog_ = nullptr;
    std::chrono::steady_clock::time_point lastRates_;
    std::uint64_t bytesAtLastRates_ = 0;
    std::function<void(const ReadTiming&)> readObserver_;
};

// The line a mapfile keeps for a target: its name, its size in sectors and a
// checksum of its sector list, so that a resumed run can tell its layout.
std::string layoutLine(const CopyTarget& target);

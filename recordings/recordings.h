// vrsplit: recordings out of a DVD-VR management file and its movie data, and
// out of raw movie data that no management entry describes any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vrsplit {

constexpr std::uint64_t kSectorSize = 2048;
constexpr std::uint32_t kClockRate = 90000;  // presentation times and the SCR base count 90 kHz ticks

// ---- big-endian fields (management file) -----------------------------------------

inline std::uint32_t be16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] << 8 | b[at + 1]);
}
inline std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

// ---- the management file (management.cpp) ------------------------------------------

// The largest management file read: the whole management area of the disc.
constexpr std::size_t kMaxManagementSize = 1360 * kSectorSize;
constexpr std::size_t kMaxVobs = 999;  // a disc holds at most 999 recordings as written
constexpr std::size_t kMaxPrograms = 999;
constexpr std::size_t kMaxCells = 9999;

enum class Charset { Latin1, ShiftJis, Other };

struct RecordedAt {  // the recorder's local time
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct Vob {
    unsigned type = 0;
    RecordedAt recordedAt;
    bool pal = false;
    unsigned aspect = 0;                       // of the stream information: 0 4:3, 1 16:9, else unknown
    std::uint32_t startTime = 0, endTime = 0;  // presentation times, 90 kHz
    std::uint32_t firstSector = 0;             // in the movie file
    std::vector<std::uint16_t> vobuSectors;    // size of each VOBU in sectors
    std::vector<std::uint8_t> vobuFields;      // playback time of each VOBU in video fields
    std::uint64_t sectorCount() const;
};

struct Cell {
    unsigned vob = 0;  // 1-based
    std::uint32_t startTime = 0, endTime = 0;
};

struct Program {
    std::vector<Cell> cells;
    std::vector<std::uint8_t> nameAscii, nameText;  // 64 bytes each, as recorded
};

struct Management {
    Charset charset = Charset::Latin1;
    std::optional<int> zoneMinutes;  // the recorder's offset from UTC; none when the field is empty
    bool copyOnceKey = false;        // the disc carries a CPRM title key
    std::vector<Vob> vobs;
    std::vector<Program> programs;
};

// Decodes a whole management file; on damage returns false with `error` saying which
// structure at which offset. `file` must hold no more than kMaxManagementSize bytes.
bool parseManagement(std::span<const std::uint8_t> file, Management& out, std::string& error);

// The VOBU range [first, end) of a VOB that a cell's presentation times cover.
struct VobuRange {
    std::size_t first = 0, end = 0;
};
VobuRange cellVobus(const Vob& vob, const Cell& cell);
// Sector of VOBU `index` in the movie file (index == count: the end of the VOB).
std::uint64_t vobuSector(const Vob& vob, std::size_t index);
// Presentation time (90 kHz, the VOB's clock) at which VOBU `index` starts, by the time map.
std::uint64_t vobuTime(const Vob& vob, std::size_t index);

// ---- packs of the program stream (packs.cpp) ----------------------------------------

struct Pack {
    bool valid = false;      // a pack header with its marker bits
    std::uint64_t scr = 0;   // system clock reference base, 90 kHz
    bool vobuStart = false;  // holds a private stream 2 packet (navigation / real-time data)
    bool endCode = false;    // a program end code or a video sequence end code
    bool scrambled = false;  // a video or audio packet with scrambling-control bits set
};
Pack readPack(std::span<const std::uint8_t> sector);

// The erased-data cutter: fed the sectors of raw movie data in order, it keeps runs of
// valid packs that start at a VOBU start and cuts them where a recording ends. A run of
// zero sectors (what a keep-going salvage writes for sectors it could not read) between
// two packs whose clock continues is a hole inside the recording, kept in place.
enum class CutReason { None, ClockBack, ClockJump, EndCode, NotMpeg, EndOfData };
const char* cutReasonText(CutReason reason);

struct Piece {
    std::uint64_t first = 0, end = 0;  // sectors [first, end) of the data
    std::uint64_t firstScr = 0, lastScr = 0;
    std::uint64_t vobus = 0;
    bool scrambled = false;
    CutReason reason = CutReason::None;        // why it ends where it ends
    bool cutInsideVobu = false;                // the clock broke inside a VOBU: the rest of it was dropped
    std::uint64_t holes = 0, holeSectors = 0;  // runs of zero sectors kept inside the piece
    std::uint64_t firstHoleSector = 0;
    std::uint64_t holeTicks = 0;  // system clock from the pack before each hole to the pack after it
    double seconds() const { return static_cast<double>(lastScr - firstScr) / kClockRate; }
    double holeSeconds() const { return static_cast<double>(holeTicks) / kClockRate; }
};

constexpr std::uint64_t kMaxClockStep = 3 * kClockRate;       // a larger jump forward starts a recording
constexpr std::uint64_t kMinPieceTicks = kClockRate * 2 / 5;  // below about one VOBU: too short to play
// A DVD program stream carries at most 10.08 Mbit/s, 615.2 packs a second: a run of zero
// sectors is a hole only when the clock across it leaves time for that many packs.
constexpr std::uint64_t kMaxPacksPerSecond = 616;

struct Cutter {
    std::vector<Piece> pieces;
    std::uint64_t droppedPieces = 0;
    std::uint64_t droppedSectors = 0;  // valid packs outside any kept piece
    std::uint64_t sector = 0;          // sectors fed so far
    std::optional<Piece> open;         // the piece being built
    std::uint64_t zerosAfterOpen = 0;  // zero sectors since its last pack: a hole or its end
};
void feedSector(Cutter& cutter, std::span<const std::uint8_t> sector);
void finishCutting(Cutter& cutter);

// ---- names and character sets (names.cpp) -------------------------------------------

// Text of a fixed-size field, up to its first NUL, trailing blanks removed, as UTF-8.
std::string textToUtf8(std::span<const std::uint8_t> field, Charset charset);
std::string programTitle(const Program& program, Charset charset);
std::string formatRecordedAt(const RecordedAt& at);  // "YYYY-MM-DD HH:MM:SS"

// The header's time zone field: the low 12 bits a signed count of minutes east of UTC;
// none when the field is empty.
std::optional<int> decodeTimeZone(std::uint32_t field);
// A recording time as seconds since 1970-01-01 00:00:00 UTC: through the recorder's
// offset from UTC, or, without one, as a local time of this computer (so that the file
// shows the time the recorder showed). None for a time that is no date.
std::optional<std::int64_t> unixTimeOf(const RecordedAt& at, std::optional<int> zoneMinutes);
// A file-name part: characters that file systems refuse become '_'.
std::string safeFileNamePart(const std::string& utf8);
std::string recordingFileName(unsigned number, const RecordedAt& at, const std::string& title);

// ---- output files (writer.cpp) --------------------------------------------------------

struct Range {
    std::uint64_t first = 0, end = 0;  // sectors
};

// The system's reason for the call that failed last, as " (text)", for a message that
// names the file.
std::string systemReason();

// An output file is written as its name + this, and renamed when complete.
constexpr char kPartialSuffix[] = ".part";

// The end of an output file written whole under `partial`: its modification time
// set when one is given, then the name `path`, which must not exist yet. False with
// the reason in `error`; a file whose time could not be set is removed.
bool finishPartialFile(const std::string& partial, const std::string& path, std::optional<std::int64_t> modifiedAt,
                       std::string& error);

// Copies sector ranges of `source` into a new file `path`, through `path` + kPartialSuffix
// (emptied when it exists); a file `path` of the size the copy would have is kept as it
// is, one of another size is an error. Also tells whether a packet in the ranges has its
// scrambling bits set. False with `error`, naming the file and the system's reason.
struct CopyResult {
    std::uint64_t bytes = 0;
    bool scrambled = false;
    bool complete = true;       // every range lay inside the source
    bool startsAtPacks = true;  // every range begins with a pack header
    bool kept = false;          // `path` was there already, complete, and was left alone
};
// An empty `path` only reads the ranges, for what the result says of them.
// A written file gets `modifiedAt` (seconds since 1970, UTC) as its modification time.
bool copySectors(const std::string& source, const std::vector<Range>& ranges, const std::string& path,
                 std::optional<std::int64_t> modifiedAt, CopyResult& result, std::string& error);

// ---- other containers (remux_module.cpp; remux_none.cpp in a build without FFmpeg) ------

enum class OutputFormat { Mpeg, Matroska, Mp4 };

struct Ratio {
    int num = 0, den = 0;  // 0/0: not known
};

struct RemuxCell {
    Range sectors;                           // of the source
    std::optional<std::uint64_t> startTime;  // presentation times (90 kHz) of the data's start and
    std::uint64_t endTime = 0;               // end in its VOB's clock, when the time map gives them
};

struct RemuxJob {
    std::string source;
    std::vector<RemuxCell> cells;  // played one after the other; one chapter each when timed
    OutputFormat format = OutputFormat::Matroska;
    std::string title, dateRecorded;  // dateRecorded: "YYYY-MM-DD HH:MM:SS", UTC when the zone is known
    unsigned programNumber = 0;
    Ratio displayAspect, frameRate;  // by the management file; the stream's own when not known
    std::optional<std::int64_t> modifiedAt;
};

struct RemuxProgress {
    std::uint64_t frames = 0;  // video frames written
    double fraction = 0;       // of the input read
    double seconds = 0;        // since the start
};

struct RemuxResult {
    bool kept = false;          // the file was there already
    std::uint64_t frames = 0;   // video frames written
    double seconds = 0;         // the time the conversion took
    std::uint64_t dropped = 0;  // packets left out: without time, or overlapping the one before
    std::string streamDiffers;  // what the stream's own header says where the management file differs
};

constexpr char kNoRemuxLibraries[] = "this build of vrsplit has no FFmpeg libraries";

// False where the build has no FFmpeg, or its media module cannot be loaded.
bool remuxAvailable();
// Why the media module cannot be loaded; empty where it can, or where the build has none.
std::string remuxModuleProblem();
// Writes the cells of `job.source` into `path` as Matroska (the streams copied; LPCM as
// plain PCM) or MP4 (H.264 and AAC), through `path` + kPartialSuffix like copySectors;
// an existing `path` is kept. Timestamps run on across the cells. `progress` is called
// now and then. False with `error` naming the file.
bool remuxRecording(const RemuxJob& job, const std::string& path,
                    const std::function<void(const RemuxProgress&)>& progress, RemuxResult& result, std::string& error);

// The remuxer in the media module (remux_ffmpeg.cpp; remux_module.cpp loads it): the
// module's entry point kRemuxEntry returns this table.
struct RemuxFunctions {
    const char* version;  // of the sources the module was built from
    bool (*remuxRecording)(const RemuxJob& job, const std::string& path,
                           const std::function<void(const RemuxProgress&)>& progress, RemuxResult& result,
                           std::string& error);
};
constexpr char kRemuxEntry[] = "vrsalvageRemuxFunctions";

// ---- the table (table.cpp) ------------------------------------------------------------

struct Row {
    unsigned number = 0;
    std::string recordedAt;  // empty when unknown
    double seconds = 0;
    std::uint64_t firstSector = 0, lastSector = 0;
    std::uint64_t size = 0;
    std::string title;
    bool copyOnce = false;
    std::string file;
    bool kept = false;  // the file was there already from an earlier run
    std::string note;   // erased data: why it was cut there; or what went wrong
};

struct OldRecording {  // a recording described by an older copy of the management file
    std::uint64_t copySector = 0;
    std::string recordedAt;
    std::optional<std::int64_t> recordedUnix;  // the time as seconds since 1970, UTC
    bool recordedZone = false;                 // the copy gives the recorder's time zone
    double seconds = 0;
    std::uint64_t firstSector = 0, sectors = 0;
    std::string title;  // of the first program that plays it
};

struct Report {
    bool erased = false;
    std::vector<Row> rows;
    std::vector<OldRecording> old;
    std::uint64_t droppedPieces = 0;
    std::vector<std::string> notes;
};
std::string tableText(const Report& report);
std::string tableJson(const Report& report);

// ---- cutting the recordings (split.cpp) ------------------------------------------------

constexpr int kSplitNotClean = 1;    // some recordings could not be cut cleanly
constexpr int kSplitBadInput = 255;  // an input that is not what it claims to be

struct SplitSettings {
    bool list = false;  // the table only, no files
    OutputFormat format = OutputFormat::Mpeg;
    std::string outputDir;  // empty: the current directory
    // Called now and then while a recording is encoded (MP4) with its number.
    std::function<void(unsigned, const RemuxProgress&)> progress;
};

struct SplitResult {
    Report report;
    int status = 0;     // 0, kSplitNotClean or kSplitBadInput
    std::string fatal;  // with kSplitBadInput: why nothing was cut
    // The sectors of the source that each row's recording holds, row by row.
    std::vector<std::vector<Range>> rowRanges;
};

// The recordings that the management file `ifo` describes, cut out of `movie` (empty with
// `list`).
SplitResult splitLive(const SplitSettings& settings, const std::string& ifo, const std::string& movie);
// The recordings found in raw movie data `data` by their packs, named by the older copies
// of the management file in `management` (empty: none) that match them.
SplitResult splitErased(const SplitSettings& settings, const std::string& data, const std::string& management);

// ".mpg", ".mkv" or ".mp4".
const char* extensionOf(OutputFormat format);
// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, UTC.
std::string formatUtc(std::int64_t unixSeconds);

}  // namespace vrsplit

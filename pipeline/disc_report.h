// The disc report: what a run found on a disc and what became of it, as plain values,
// written as one self-contained HTML page (inline CSS and SVG, pictures as data URIs) and
// as JSON with the same content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pipeline {

// What lies in an area of the disc.
enum class AreaKind {
    FileSystem,  // the volume's structures before the management area
    Management,  // the management file's area
    Live,        // a recording the management file describes
    Movie,       // movie data of the live file that no recording plays
    Free,        // free blocks
    Erased,      // an erased recording found in free blocks
    Unreadable,
    NotTried,
};
const char* areaKindName(AreaKind kind);    // "file-system", "management", ...
const char* areaLegendText(AreaKind kind);  // "file system", "management file", ...

// The colours an area is drawn in, 0xRRGGBB: erased recordings are hatched and untried
// sectors checked in the two; the other kinds are plain `main`. Live recordings take
// their colour in turn by their number in the table.
struct AreaColours {
    std::uint32_t main, second;
};
AreaColours areaColours(AreaKind kind, unsigned recording);

struct MapArea {
    AreaKind kind = AreaKind::Free;
    std::uint64_t first = 0, count = 0;  // disc sectors
    unsigned recording = 0;              // Live and Erased: the number in the table
    std::string label;                   // what lies there, for the hover text
};

// The read rate over a stretch of the disc, from the run's own read times.
struct RatePoint {
    std::uint64_t first = 0, count = 0;  // disc sectors
    double bytesPerSecond = 0;
};

struct RecordingEntry {
    unsigned number = 0;  // in the table, live ones first
    bool erased = false;
    std::string recordedAt;  // "YYYY-MM-DD HH:MM:SS"; empty when unknown
    double seconds = 0;
    std::string title;
    std::uint64_t size = 0;                          // bytes
    std::string file;                                // relative to the report; empty when none was written
    std::uint64_t firstSector = 0, sectorCount = 0;  // on the disc, the first run's start and the total
    std::uint64_t unreadableSectors = 0;
    double secondsAffected = 0;
    std::string note;
    std::string thumbnail;  // JPEG bytes; empty when there is none
};

struct DiscReport {
    std::string volume;  // the volume identifier
    std::string medium;
    std::uint64_t recordedSectors = 0;
    std::string readAt;  // when the run ended, "YYYY-MM-DD HH:MM:SS UTC"
    std::string version;
    std::uint64_t unreadableSectors = 0;
    std::uint64_t notTriedSectors = 0;
    std::vector<MapArea> areas;  // in any order; unreadable ones are drawn over the rest
    std::vector<RatePoint> rate;
    std::vector<RecordingEntry> recordings;
    std::string thumbnailsNote;  // why there are no thumbnails; empty when there are
    std::vector<std::string> notes;
};

// One line: everything read, or what was lost.
std::string outcomeText(const DiscReport& report);
std::string reportHtml(const DiscReport& report);
std::string reportJson(const DiscReport& report);

}  // namespace pipeline

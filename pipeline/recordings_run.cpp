#include "recordings_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "disc_report.h"
#include "mmc.h"
#include "progress_count.h"
#include "recordings.h"
#include "report.h"
#include "rescue_areas.h"
#include "salvage.h"
#include "thumbnail.h"
#include "udf_layout.h"

namespace fs = std::filesystem;

namespace pipeline {

namespace {

constexpr char kDiscFolder[] = "disc";
constexpr char kMapfileName[] = "mapfile";
constexpr char kManagementName[] = "VR_MANGR.IFO";
constexpr char kBackupName[] = "VR_MANGR.BUP";
constexpr char kMovieName[] = "VR_MOVIE.VRO";
// The files this program wrote into the folder, relative to it, one a line with
// "whole" or "holes" before the name: only those are ever replaced.
constexpr char kWrittenList[] = "disc/written.list";
constexpr std::uint64_t kRatePoints = 400;
constexpr double kThumbnailAt = 0.1;

using Written = std::map<std::string, bool>;  // name -> whole

Written readWritten(const fs::path& folder)
{
    Written written;
    std::ifstream in(folder / kWrittenList);
    std::string state, name;
    while (in >> state && std::getline(in >> std::ws, name))
        written[name] = state == "whole";
    return written;
}

void saveWritten(const fs::path& folder, const Written& written)
{
    std::ofstream out(folder / kWrittenList, std::ios::trunc);
    for (const auto& [name, whole] : written)
        out << (whole ? "whole " : "holes ") << name << "\n";
}

// A file of the folder that this run may write: absent, or written by an earlier run.
void requireOwn(const fs::path& folder, const Written& written, const std::string& name)
{
    std::error_code error;
    if (fs::exists(folder / name, error) && written.count(name) == 0)
        fail((fs::absolute(folder / name).string() + " exists and was not written by vrsalvage; nothing was changed")
                 .c_str());
}

// Written whole under a temporary name, then renamed over the old one.
void writeWholeFile(const fs::path& path, const std::string& bytes)
{
    const fs::path partial = path.string() + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush())
            fail(("can't write " + fs::absolute(partial).string()).c_str());
    }
    std::error_code error;
    fs::rename(partial, path, error);
    if (error)
        fail(("can't rename " + fs::absolute(partial).string() + ": " + error.message()).c_str());
}

// The working folder for the rescue, whose files are named as in the mapfile, and
// back to the one before on every path.
class WorkingFolder {
public:
    explicit WorkingFolder(const fs::path& folder) : before_(fs::current_path()) { fs::current_path(folder); }
    ~WorkingFolder()
    {
        std::error_code error;
        fs::current_path(before_, error);
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    fs::path before_;
};

bool startsWith(const SectorBuffer& sector, const char* bytes, std::size_t length)
{
    return std::memcmp(sector.data(), bytes, length) == 0;
}

// The Primary Volume Descriptor's Volume Identifier, by the anchor at sector 256.
std::string volumeIdentifier(Drive& drive)
{
    alignas(16) SectorBuffer sector{};
    if (!tryRead10(drive, kAnchorSector, sector.data(), 1).complete())
        return "(unreadable)";
    constexpr std::uint32_t kMain = AnchorLayout::kMainVolumeDescriptorSequenceExtent;
    const std::uint32_t location = readLe32(sector.data(), kMain + ExtentAdLayout::kExtentLocation);
    for (std::uint32_t i = 0; i < 16; ++i) {
        sector.fill(0);
        if (!tryRead10(drive, location + i, sector.data(), 1).complete())
            break;
        if (readLe16(sector.data(), DescriptorTagLayout::kTagIdentifier) != 1)
            continue;
        // A dstring of 32 bytes: compression id, characters, length in the last byte.
        const std::uint32_t length = std::min<std::uint32_t>(sector[24 + 31], 31);
        std::string name;
        if (length > 1 && sector[24] == 8)
            name.assign(reinterpret_cast<const char*>(sector.data() + 25), length - 1);
        return name.empty() ? "(no name)" : name;
    }
    return "(not found)";
}

std::string utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (std::tm* at = std::gmtime(&now))
        utc = *at;
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// A run of a copy target with its place in the file.
struct PlacedRun {
    std::uint64_t first = 0, count = 0;  // disc sectors
    std::uint64_t fileSector = 0;
};

std::vector<PlacedRun> placedRuns(const std::vector<SectorRun>& runs, const std::vector<std::uint64_t>& fileSectors)
{
    std::vector<PlacedRun> placed;
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const std::uint64_t at = i < fileSectors.size() ? fileSectors[i] : offset;
        placed.push_back(PlacedRun{runs[i].first, runs[i].count, at});
        offset = at + runs[i].count;
    }
    return placed;
}

std::vector<PlacedRun> placedRuns(const CopyTarget& target)
{
    return placedRuns(target.runs, target.fileSectors);
}

// Disc sectors of a file's sectors [first, end), in the file's order.
std::vector<SectorRun> discRuns(const std::vector<PlacedRun>& runs, std::uint64_t first, std::uint64_t end)
{
    std::vector<SectorRun> out;
    for (const PlacedRun& run : runs) {
        const std::uint64_t from = std::max(first, run.fileSector);
        const std::uint64_t to = std::min(end, run.fileSector + run.count);
        if (from < to)
            out.push_back(SectorRun{static_cast<std::uint32_t>(run.first + (from - run.fileSector)),
                                    static_cast<std::uint32_t>(to - from)});
    }
    return out;
}

std::uint64_t unreadIn(const RescueAreas& areas, const std::vector<SectorRun>& runs)
{
    std::uint64_t count = 0;
    for (const SectorRun& run : runs) {
        areas.forEach(run.first, std::uint64_t{run.first} + run.count, [&](const RescueAreas::Area& area) {
            if (area.status != RescueStatus::Rescued)
                count += area.end - area.first;
        });
    }
    return count;
}

// A file made of disc sectors that the copies of the live files may hold already, so that
// each sector is read once: the sectors they do not hold are read into it as a target of
// its own (with their places in the file), the others taken from the copies after.
struct DerivedFile {
    struct FromCopy {
        std::uint64_t fileSector = 0, count = 0;
        std::string source;  // the live file's name
        std::uint64_t sourceSector = 0;
    };
    CopyTarget read;  // no runs: nothing to read
    std::vector<FromCopy> fromCopies;
    std::uint64_t bytes = 0;  // of the whole file
};

DerivedFile deriveFromCopies(const CopyTarget& target, const std::vector<CopyTarget>& copies)
{
    struct Held {
        std::uint64_t end;
        const std::string* source;
        std::uint64_t sourceSector;
    };
    std::map<std::uint64_t, Held> held;  // by the first disc sector
    for (const CopyTarget& copy : copies)
        for (const PlacedRun& run : placedRuns(copy))
            if (run.count > 0)
                held[run.first] = Held{run.first + run.count, &copy.fileName, run.fileSector};
    DerivedFile derived;
    derived.read.fileName = target.fileName;
    std::uint64_t sectors = 0;
    for (const PlacedRun& run : placedRuns(target)) {
        const std::uint64_t end = run.first + run.count;
        for (std::uint64_t at = run.first; at < end;) {
            auto it = held.upper_bound(at);
            if (it != held.begin() && std::prev(it)->second.end > at)
                --it;
            const std::uint64_t heldFirst = it == held.end() ? end : std::max(at, it->first);
            const std::uint64_t fileSector = run.fileSector + (at - run.first);
            if (at < heldFirst) {
                const std::uint64_t to = std::min(end, heldFirst);
                derived.read.runs.push_back(
                    SectorRun{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(to - at)});
                derived.read.fileSectors.push_back(fileSector);
                at = to;
                continue;
            }
            const std::uint64_t to = std::min(end, it->second.end);
            derived.fromCopies.push_back(DerivedFile::FromCopy{fileSector, to - at, *it->second.source,
                                                               it->second.sourceSector + (at - it->first)});
            at = to;
        }
        sectors = std::max(sectors, run.fileSector + run.count);
    }
    derived.bytes = target.bytes != 0 ? target.bytes : sectors * kSectorSize;
    if (derived.fromCopies.empty())
        derived.read = target;  // the target itself, as an earlier run's mapfile knows it
    else
        derived.read.bytes = derived.bytes;
    return derived;
}

// The sectors of a derived file that the copies hold, written into it over what was read
// into it (zeros where neither put anything), in place, and the file cut to its size.
void fillFromCopies(const fs::path& disc, const DerivedFile& derived)
{
    const fs::path path = disc / derived.read.fileName;
    std::error_code error;
    if (!fs::exists(path, error))
        std::ofstream(path, std::ios::binary).flush();
    {
        std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
        std::map<std::string, std::ifstream> sources;
        std::vector<char> buffer;
        constexpr std::uint64_t kChunkSectors = 256;
        for (const DerivedFile::FromCopy& piece : derived.fromCopies) {
            auto [source, opened] = sources.try_emplace(piece.source);
            if (opened)
                source->second.open(disc / piece.source, std::ios::binary);
            for (std::uint64_t done = 0; done < piece.count; done += kChunkSectors) {
                const std::uint64_t count = std::min(kChunkSectors, piece.count - done);
                buffer.assign(static_cast<std::size_t>(count * kSectorSize), '\0');
                source->second.clear();
                source->second.seekg(static_cast<std::streamoff>((piece.sourceSector + done) * kSectorSize));
                source->second.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                out.seekp(static_cast<std::streamoff>((piece.fileSector + done) * kSectorSize));
                out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            }
        }
        if (!out.flush())
            fail(("can't write " + fs::absolute(path).string()).c_str());
    }
    fs::resize_file(path, derived.bytes, error);
    if (error)
        fail(("can't write " + fs::absolute(path).string() + ": " + error.message()).c_str());
}

// What a copy of the management file is worth: read whole as far as its header says the
// file reaches, and a management file that decodes.
struct ManagementState {
    bool whole = false, valid = false;
    std::string problem;
};

ManagementState managementState(const fs::path& path, const CopyTarget& target, const RescueAreas& areas)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(vrsplit::kMaxManagementSize);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    ManagementState state;
    vrsplit::Management decoded;
    state.valid = !bytes.empty() && vrsplit::parseManagement(bytes, decoded, state.problem);
    if (bytes.empty())
        state.problem = "it was not copied";
    constexpr std::size_t kLastByteAddress = 12;
    std::uint64_t length = bytes.size();
    if (bytes.size() >= kLastByteAddress + 4)
        length = std::min<std::uint64_t>(length, std::uint64_t{vrsplit::be32(bytes, kLastByteAddress)} + 1);
    const std::uint64_t sectors = (length + kSectorSize - 1) / kSectorSize;
    std::uint64_t unread = 0;
    for (const PlacedRun& run : placedRuns(target)) {
        if (run.fileSector >= sectors)
            continue;
        const std::uint64_t count = std::min(run.count, sectors - run.fileSector);
        areas.forEach(run.first, run.first + count, [&](const RescueAreas::Area& area) {
            if (area.status != RescueStatus::Rescued)
                unread += area.end - area.first;
        });
    }
    state.whole = !bytes.empty() && unread == 0;
    if (!bytes.empty() && unread > 0)
        state.problem = std::to_string(unread) + " of its sectors could not be read";
    return state;
}

struct RateBucket {
    double bytes = 0, seconds = 0;
};
using RateBuckets = std::map<std::uint64_t, RateBucket>;

// The read times of every run into the folder, so that a resumed run still shows the
// rate of the sectors an earlier one read: "BUCKET_SECTORS" then "INDEX BYTES SECONDS"
// lines; those of another bucket size are dropped.
constexpr char kRatesFile[] = "disc/rates.txt";

RateBuckets readRates(const fs::path& folder, std::uint64_t bucketSectors)
{
    RateBuckets rates;
    std::ifstream in(folder / kRatesFile);
    std::uint64_t size = 0;
    if (!(in >> size) || size != bucketSectors)
        return rates;
    std::uint64_t index = 0;
    RateBucket bucket;
    while (in >> index >> bucket.bytes >> bucket.seconds)
        rates[index] = bucket;
    return rates;
}

void saveRates(const fs::path& folder, std::uint64_t bucketSectors, const RateBuckets& rates)
{
    std::ostringstream out;
    out.precision(17);
    out << bucketSectors << "\n";
    for (const auto& [index, bucket] : rates)
        out << index << " " << bucket.bytes << " " << bucket.seconds << "\n";
    writeWholeFile(folder / kRatesFile, out.str());
}

}  // namespace

LiveFiles liveFileTargets(Drive& drive, std::uint16_t profile, std::uint32_t recordedEnd)
{
    LiveFiles live;
    if (profile == kProfileDvdRwRestrictedOverwrite) {
        alignas(16) SectorBuffer management{};
        alignas(16) SectorBuffer movie{};
        live.fixedLayout = tryRead10(drive, kManagementFirstSector, management.data(), 1).complete() &&
                           tryRead10(drive, kMovieFirstSector, movie.data(), 1).complete() &&
                           startsWith(management, "DVD_RTR_VMG0", 12) && startsWith(movie, "\x00\x00\x01\xBA", 4);
    }
    DirectoryTargets directory = findDirectoryTargets(drive);
    live.partitionStart = directory.partitionStart;
    live.losses = directory.losses;
    // Signatures that are damaged or cannot be read leave it to the file system: the two
    // files where the fixed layout puts them.
    const auto startsAt = [&](const char* name, std::uint32_t sector) {
        return std::any_of(directory.files.begin(), directory.files.end(), [&](const DirectoryTarget& file) {
            return file.target.fileName == name && !file.target.runs.empty() &&
                   file.target.runs.front().first == sector && file.target.fileSectors.front() == 0;
        });
    };
    if (profile == kProfileDvdRwRestrictedOverwrite && !live.fixedLayout)
        live.fixedLayout = startsAt(kManagementName, kManagementFirstSector) && startsAt(kMovieName, kMovieFirstSector);
    if (live.fixedLayout) {
        const std::uint32_t movieCount = recordedEnd > kMovieFirstSector ? recordedEnd - kMovieFirstSector : 0;
        live.targets.push_back(CopyTarget{kManagementName, {{kManagementFirstSector, kManagementSectors}}});
        live.targets.push_back(CopyTarget{kMovieName, {{kMovieFirstSector, movieCount}}});
        for (DirectoryTarget& file : directory.files)
            if (file.target.fileName == kBackupName && !file.embedded)
                live.backup = std::move(file.target);
        return live;
    }
    if (!directory.problem.empty()) {
        live.problem = (profile == kProfileDvdRwRestrictedOverwrite
                            ? "the fixed layout's signatures are not in place (or cannot be read), and "
                            : "") +
                       std::string("the recording files cannot be found through the file system: ") + directory.problem;
        ++live.losses;
        return live;
    }
    for (DirectoryTarget& file : directory.files) {
        if (file.embedded)
            live.embedded.push_back(std::move(file));
        else
            live.targets.push_back(std::move(file.target));
    }
    return live;
}

CutSummary cutIntoReport(const DiscFiles& files, const std::string& folder, const RescueAreas& areas,
                         DiscReport& report)
{
    vrsplit::SplitSettings cut;
    cut.outputDir = folder;
    const std::string thumbnailsMissing = thumbnailsUnavailable();
    report.thumbnailsNote = thumbnailsMissing;
    CutSummary summary;
    unsigned number = 0;
    const auto addRows = [&](const vrsplit::SplitResult& result, bool erased, const std::vector<PlacedRun>& placed) {
        summary.status = std::max(summary.status, result.status);
        for (std::size_t i = 0; i < result.report.rows.size(); ++i) {
            const vrsplit::Row& row = result.report.rows[i];
            RecordingEntry entry;
            entry.number = ++number;
            entry.erased = erased;
            entry.recordedAt = row.recordedAt;
            entry.seconds = row.seconds;
            entry.title = row.title;
            entry.size = row.size;
            entry.file = row.file;
            entry.note = erased ? "" : row.note;
            std::vector<SectorRun> onDisc;
            for (const vrsplit::Range& range : result.rowRanges[i]) {
                const std::vector<SectorRun> part = discRuns(placed, range.first, range.end);
                onDisc.insert(onDisc.end(), part.begin(), part.end());
            }
            for (const SectorRun& run : onDisc)
                entry.sectorCount += run.count;
            entry.firstSector = onDisc.empty() ? 0 : onDisc.front().first;
            entry.unreadableSectors = unreadIn(areas, onDisc);
            if (entry.sectorCount > 0)
                entry.secondsAffected = entry.seconds * static_cast<double>(entry.unreadableSectors) /
                                        static_cast<double>(entry.sectorCount);
            for (const SectorRun& run : onDisc)
                report.areas.push_back(
                    MapArea{erased ? AreaKind::Erased : AreaKind::Live, run.first, run.count, entry.number,
                            (erased ? "erased recording " : "recording ") + std::to_string(entry.number) +
                                (entry.title.empty() ? "" : " \"" + entry.title + "\"")});
            if (!entry.file.empty()) {
                summary.files[entry.file] = entry.unreadableSectors == 0;
                if (thumbnailsMissing.empty()) {
                    Thumbnail picture = thumbnailOf((fs::path(folder) / entry.file).string(), kThumbnailAt);
                    entry.thumbnail = std::move(picture.jpeg);
                    if (entry.thumbnail.empty())
                        entry.note += (entry.note.empty() ? "no picture: " : "; no picture: ") + picture.problem;
                }
            }
            summary.secondsAffected += entry.secondsAffected;
            (erased ? summary.erased : summary.live)++;
            report.recordings.push_back(std::move(entry));
        }
        for (const std::string& note : result.report.notes)
            report.notes.push_back((erased ? "erased data: " : "") + note);
    };
    if (!files.management.empty()) {
        const vrsplit::SplitResult result = vrsplit::splitLive(cut, files.management, files.movie);
        if (!result.fatal.empty())
            report.notes.push_back("the management file cannot be used: " + result.fatal);
        addRows(result, false, placedRuns(files.movieRuns, files.movieFileSectors));
    }
    if (!files.freeMovie.empty()) {
        const vrsplit::SplitResult result = vrsplit::splitErased(cut, files.freeMovie, files.freeManagement);
        if (!result.fatal.empty())
            report.notes.push_back("the free blocks cannot be cut: " + result.fatal);
        addRows(result, true, placedRuns(files.freeMovieRuns, {}));
    }
    return summary;
}

void addFixedLayoutAreas(std::uint64_t end, DiscReport& report)
{
    report.areas.insert(
        report.areas.begin(),
        {MapArea{AreaKind::FileSystem, 0, kManagementFirstSector, 0, "file-system structures"},
         MapArea{AreaKind::Management, kManagementFirstSector, kManagementSectors, 0,
                 "the management file VR_MANGR.IFO"},
         MapArea{AreaKind::Movie, kMovieFirstSector, end > kMovieFirstSector ? end - kMovieFirstSector : 0, 0,
                 "the movie file VR_MOVIE.VRO"}});
}

void addRescueAreas(const RescueMap& map, std::uint64_t from, std::uint64_t end, DiscReport& report)
{
    for (const RescueBlock& block : map.blocks) {
        const std::uint64_t first = block.position / kSectorSize;
        const std::uint64_t count = (block.size + kSectorSize - 1) / kSectorSize;
        if (block.status == RescueStatus::BadSector || block.status == RescueStatus::NonTrimmed ||
            block.status == RescueStatus::NonScraped) {
            report.areas.push_back(MapArea{AreaKind::Unreadable, first, count, 0, "unreadable"});
            report.unreadableSectors += count;
        } else if (block.status == RescueStatus::NonTried && first < end && first >= from) {
            report.areas.push_back(MapArea{AreaKind::NotTried, first, std::min(count, end - first), 0, "not read"});
            report.notTriedSectors += std::min(count, end - first);
        }
    }
}

namespace {

// What the layout or the walk put where, then the free blocks.
std::vector<MapArea> layoutAreas(const LiveFiles& live, const ReusableTargets& free, std::uint64_t end)
{
    DiscReport report;
    if (live.fixedLayout) {
        addFixedLayoutAreas(end, report);
    } else if (live.partitionStart > 0) {
        report.areas.push_back(MapArea{AreaKind::FileSystem, 0, live.partitionStart, 0, "file-system structures"});
    }
    const std::vector<std::pair<std::string, std::pair<AreaKind, std::string>>> files = {
        {kManagementName, {AreaKind::Management, "the management file VR_MANGR.IFO"}},
        {kBackupName, {AreaKind::Management, "the management file's backup copy VR_MANGR.BUP"}},
        {kMovieName, {AreaKind::Movie, "the movie file VR_MOVIE.VRO"}},
    };
    for (const auto& file : files) {
        const auto target = std::find_if(live.targets.begin(), live.targets.end(),
                                         [&](const CopyTarget& t) { return t.fileName == file.first; });
        if (live.fixedLayout || target == live.targets.end())
            continue;
        for (const SectorRun& run : target->runs)
            report.areas.push_back(MapArea{file.second.first, run.first, run.count, 0, file.second.second});
    }
    for (const CopyTarget& target : free.targets)
        for (const SectorRun& run : target.runs)
            report.areas.push_back(
                MapArea{AreaKind::Free, run.first, run.count, 0, "free blocks (" + target.fileName + ")"});
    return report.areas;
}

// The management file the live recordings are cut by: VR_MANGR.IFO when it was read
// whole and decodes; otherwise its backup copy VR_MANGR.BUP when that was and does;
// otherwise whichever decodes, the first one first. Empty when there is neither; `note`
// says why the backup copy was taken.
std::string chooseManagement(const fs::path& disc, const std::vector<const CopyTarget*>& copies,
                             const RescueAreas& areas, std::string* note)
{
    std::vector<ManagementState> states;
    states.reserve(copies.size());
    for (const CopyTarget* copy : copies)
        states.push_back(copy != nullptr ? managementState(disc / copy->fileName, *copy, areas)
                                         : ManagementState{false, false, "it was not found"});
    for (const bool needWhole : {true, false}) {
        for (std::size_t i = 0; i < copies.size(); ++i) {
            if (!states[i].valid || (needWhole && !states[i].whole))
                continue;
            if (i > 0)
                *note = std::string(kManagementName) + " cannot be used (" + states[0].problem +
                        "): the live recordings are cut by its backup copy " + copies[i]->fileName;
            return (disc / copies[i]->fileName).string();
        }
    }
    for (const CopyTarget* copy : copies)
        if (copy != nullptr)
            return (disc / copy->fileName).string();
    return "";
}

// The unreadable areas of the mapfile, and the sectors of the run's targets that it has
// not tried, into the report.
void addUnreadAreas(const RescueMap& map, const RescueAreas& areas, const std::vector<CopyTarget>& targets,
                    DiscReport& report)
{
    addRescueAreas(map, 0, 0, report);
    RescueAreas wanted;
    for (const CopyTarget& target : targets)
        for (const SectorRun& run : target.runs)
            wanted.set(run.first, std::uint64_t{run.first} + run.count, RescueStatus::Rescued);
    wanted.forEach(0, wanted.end(), [&](const RescueAreas::Area& want) {
        if (want.status != RescueStatus::Rescued)
            return;
        areas.forEach(want.first, want.end, [&](const RescueAreas::Area& area) {
            if (area.status != RescueStatus::NonTried)
                return;
            report.areas.push_back(MapArea{AreaKind::NotTried, area.first, area.end - area.first, 0, "not read"});
            report.notTriedSectors += area.end - area.first;
        });
    });
}

// The counts at the start: what the mapfile says of an earlier run, told to the sink.
ProgressCount startProgress(const std::vector<CopyTarget>& targets, const fs::path& mapfile, const RecordingsSink& sink)
{
    RescueAreas earlier;
    if (sink.progress) {
        std::ifstream in(mapfile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string problem;
        if (const std::optional<RescueMap> map = parseRescueMap(text.str(), &problem))
            earlier = RescueAreas::fromMap(*map, kSectorSize);
    }
    ProgressCount progress(targets, std::move(earlier));
    if (sink.progress)
        progress.replay(sink);
    return progress;
}

}  // namespace

RecordingsOutcome runRecordings(const char* devicePath, const RecordingsSettings& settings, const RecordingsSink& sink)
{
    // As given: a relative folder stays relative, so that names that the system's narrow
    // encoding cannot hold need not pass through it.
    const fs::path folder = settings.folder;
    const fs::path disc = folder / kDiscFolder;
    std::error_code error;
    fs::create_directories(disc, error);
    if (error)
        fail((fs::absolute(disc).string() + ": can't make the folder (" + error.message() + ")").c_str());
    Written written = readWritten(folder);
    for (const char* name : {"report.html", "report.json", "disc/VR_MANGR_R.IFO", "disc/VR_MOVIE_R.VRO"})
        requireOwn(folder, written, name);
    DiscReport report;
    report.version = settings.version;

    sink.stage("reading the disc");
    Drive drive = Drive::open(devicePath);
    const std::uint16_t profile = requireDvdVrProfile(drive);
    char medium[96];
    std::snprintf(medium, sizeof medium, "%s (profile 0x%04X)", profileName(profile), profile);
    report.medium = medium;
    const std::optional<std::uint64_t> signatures =
        profile == kProfileDvdRwRestrictedOverwrite ? checkSignatures(drive, true) : std::nullopt;
    const std::uint32_t end = recordedAreaEnd(drive);
    report.recordedSectors = end;
    report.volume = volumeIdentifier(drive);
    const LiveFiles live = liveFileTargets(drive, profile, end);
    if (!live.problem.empty())
        report.notes.push_back(live.problem);
    const ReusableTargets free = settings.erasedRecordings ? findReusableTargets(drive, profile) : ReusableTargets{};
    const std::uint32_t losses = free.losses + live.losses;
    if (losses > 0)
        report.notes.push_back(std::to_string(losses) + " file-system structure(s) could not be used");

    // The files made of sectors that the live files' copies may hold: the recovery files of
    // the free blocks, and on the fixed layout the management file's backup copy.
    std::vector<DerivedFile> derived;
    for (const CopyTarget& target : free.targets)
        derived.push_back(deriveFromCopies(target, live.targets));
    if (live.backup)
        derived.push_back(deriveFromCopies(*live.backup, live.targets));
    // Each of them is this program's from now on, whoever stops the run.
    for (const DerivedFile& file : derived)
        requireOwn(folder, written, std::string(kDiscFolder) + "/" + file.read.fileName);
    for (const DerivedFile& file : derived)
        written[std::string(kDiscFolder) + "/" + file.read.fileName] = true;
    saveWritten(folder, written);

    const std::uint64_t bucketSectors = std::max<std::uint64_t>(16, (end + kRatePoints - 1) / kRatePoints);
    RateBuckets rate = readRates(folder, bucketSectors);
    RecordingsOutcome outcome;
    std::vector<CopyTarget> targets = live.targets;
    for (const DerivedFile& file : derived)
        if (!file.read.runs.empty())
            targets.push_back(file.read);
    {
        WorkingFolder working(disc);
        RescueSettings rescueSettings;
        rescueSettings.retries = settings.retries;
        rescueSettings.mapfile = kMapfileName;
        DiscIdentity identity{"recordings", profile, end, "signatures", signatures};
        if (!live.fixedLayout) {
            identity = reusableDiscIdentity(drive, profile);
            identity.mode = "recordings";
        }
        RescueSession rescue(drive, rescueSettings, identity);
        if (sink.layout)
            sink.layout(end, layoutAreas(live, free, end));
        ProgressCount progress = startProgress(targets, kMapfileName, sink);
        rescue.observeReads([&](const ReadTiming& read) {
            if (sink.progress)
                progress.observe(read, sink);
            if (!read.complete || read.seconds <= 0)
                return;
            RateBucket& bucket = rate[read.first / bucketSectors];
            bucket.bytes += static_cast<double>(read.count) * kSectorSize;
            bucket.seconds += read.seconds;
        });
        bool going = true;
        for (const CopyTarget& target : targets)
            going = going && rescue.copy(target);
        rescue.finish();
        outcome.interrupted = !going || rescue.interrupted();
    }
    saveRates(folder, bucketSectors, rate);
    for (const auto& [index, bucket] : rate)
        report.rate.push_back(RatePoint{index * bucketSectors, bucketSectors, bucket.bytes / bucket.seconds});

    std::ifstream mapIn(disc / kMapfileName, std::ios::binary);
    std::stringstream mapText;
    mapText << mapIn.rdbuf();
    std::string problem;
    const std::optional<RescueMap> map = parseRescueMap(mapText.str(), &problem);
    const RescueAreas areas = map ? RescueAreas::fromMap(*map, kSectorSize) : RescueAreas{};

    for (const DerivedFile& file : derived)
        fillFromCopies(disc, file);
    // Data held in a File Entry need no reading: written once, never over anything.
    for (const DirectoryTarget& file : live.embedded) {
        if (fs::exists(disc / file.target.fileName, error))
            continue;
        writeWholeFile(disc / file.target.fileName, std::string(file.embeddedData.begin(), file.embeddedData.end()));
    }
    saveWritten(folder, written);
    if (outcome.interrupted)
        return outcome;

    sink.stage("cutting the recordings");
    // Recordings an earlier run wrote with holes are cut again from what is read now.
    for (auto it = written.begin(); it != written.end();) {
        if (!it->second && it->first.find('/') == std::string::npos) {
            fs::remove(folder / it->first, error);
            it = written.erase(it);
        } else {
            ++it;
        }
    }
    const auto liveTarget = [&](const char* name) -> const CopyTarget* {
        if (name == std::string(kBackupName) && live.backup)
            return &*live.backup;
        const auto found = std::find_if(live.targets.begin(), live.targets.end(),
                                        [&](const CopyTarget& t) { return t.fileName == name; });
        return found == live.targets.end() ? nullptr : &*found;
    };
    DiscFiles files;
    if (const CopyTarget* movie = liveTarget(kMovieName)) {
        std::string note;
        files.management = chooseManagement(disc, {liveTarget(kManagementName), liveTarget(kBackupName)}, areas, &note);
        if (!note.empty())
            report.notes.push_back(note);
        files.movie = (disc / kMovieName).string();
        files.movieRuns = movie->runs;
        files.movieFileSectors = movie->fileSectors;
    }
    for (const CopyTarget& target : free.targets) {
        if (target.fileName == "VR_MOVIE_R.VRO") {
            files.freeMovie = (disc / target.fileName).string();
            files.freeMovieRuns = target.runs;
        } else if (target.fileName == "VR_MANGR_R.IFO") {
            files.freeManagement = (disc / target.fileName).string();
        }
    }
    const CutSummary cut = cutIntoReport(files, folder.string(), areas, report);
    for (const auto& [name, whole] : cut.files)
        written[name] = whole;
    outcome.live = cut.live;
    outcome.erased = cut.erased;
    outcome.secondsAffected = cut.secondsAffected;
    const int cutStatus = cut.status;

    sink.stage("writing the report");
    const auto started = std::chrono::steady_clock::now();
    // The map: what the volume and the layout put where, the recordings over it, then
    // what could not be read.
    const std::vector<MapArea> layout = layoutAreas(live, free, end);
    report.areas.insert(report.areas.begin(), layout.begin(), layout.end());
    if (map)
        addUnreadAreas(*map, areas, targets, report);
    report.readAt = utcNow();
    for (const char* name : {"report.html", "report.json"})
        written[name] = true;
    writeWholeFile(folder / "report.json", reportJson(report));
    writeWholeFile(folder / "report.html", reportHtml(report));
    saveWritten(folder, written);
    outcome.reportSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    outcome.report = fs::absolute(folder / "report.html").string();
    outcome.unreadableSectors = report.unreadableSectors;
    outcome.everythingRead =
        report.unreadableSectors == 0 && report.notTriedSectors == 0 && losses == 0 && cutStatus == 0;
    outcome.areas = std::move(report.areas);
    outcome.recordings = std::move(report.recordings);
    return outcome;
}

}  // namespace pipeline

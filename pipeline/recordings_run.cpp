#include "recordings_run.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "disc_report.h"
#include "mmc.h"
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

// Disc sectors of a file's sectors [first, end), by the runs of its copy target.
std::vector<SectorRun> discRuns(const std::vector<SectorRun>& runs, std::uint64_t first, std::uint64_t end)
{
    std::vector<SectorRun> out;
    std::uint64_t offset = 0;
    for (const SectorRun& run : runs) {
        const std::uint64_t from = std::max(first, offset);
        const std::uint64_t to = std::min(end, offset + run.count);
        if (from < to)
            out.push_back(SectorRun{static_cast<std::uint32_t>(run.first + (from - offset)),
                                    static_cast<std::uint32_t>(to - from)});
        offset += run.count;
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

// A recovery file of the free blocks made from the live files already read: each of
// its sectors from where the fixed layout put it (zeros for what none holds).
void writeFromLiveFiles(const fs::path& disc, const CopyTarget& target, std::uint32_t recordedEnd)
{
    std::ifstream management(disc / "VR_MANGR.IFO", std::ios::binary);
    std::ifstream movie(disc / "VR_MOVIE.VRO", std::ios::binary);
    std::string bytes;
    std::string sector(kSectorSize, '\0');
    for (const SectorRun& run : target.runs) {
        for (std::uint64_t s = run.first; s < std::uint64_t{run.first} + run.count; ++s) {
            std::fill(sector.begin(), sector.end(), '\0');
            std::ifstream* from = nullptr;
            std::uint64_t at = 0;
            if (s >= kManagementFirstSector && s < kMovieFirstSector) {
                from = &management;
                at = s - kManagementFirstSector;
            } else if (s >= kMovieFirstSector && s < recordedEnd) {
                from = &movie;
                at = s - kMovieFirstSector;
            }
            if (from != nullptr) {
                from->clear();
                from->seekg(static_cast<std::streamoff>(at * kSectorSize));
                from->read(sector.data(), static_cast<std::streamsize>(kSectorSize));
            }
            bytes += sector;
        }
    }
    writeWholeFile(disc / target.fileName, bytes);
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

LiveFiles liveFileTargets(Drive& drive, std::uint32_t recordedEnd)
{
    alignas(16) SectorBuffer management{};
    alignas(16) SectorBuffer movie{};
    const bool read = tryRead10(drive, kManagementFirstSector, management.data(), 1).complete() &&
                      tryRead10(drive, kMovieFirstSector, movie.data(), 1).complete();
    LiveFiles live;
    if (!read || !startsWith(management, "DVD_RTR_VMG0", 12) || !startsWith(movie, "\x00\x00\x01\xBA", 4)) {
        live.problem =
            "the fixed layout's signatures are not in place (or cannot be read); the copy through the "
            "file system is not in this program yet, so only the free blocks were read";
        return live;
    }
    live.fixedLayout = true;
    const std::uint32_t movieCount = recordedEnd > kMovieFirstSector ? recordedEnd - kMovieFirstSector : 0;
    live.targets.push_back(CopyTarget{"VR_MANGR.IFO", {{kManagementFirstSector, kManagementSectors}}});
    live.targets.push_back(CopyTarget{"VR_MOVIE.VRO", {{kMovieFirstSector, movieCount}}});
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
    const auto addRows = [&](const vrsplit::SplitResult& result, bool erased, const std::vector<SectorRun>& runs) {
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
                const std::vector<SectorRun> part = discRuns(runs, range.first, range.end);
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
        addRows(result, false, files.movieRuns);
    }
    if (!files.freeMovie.empty()) {
        const vrsplit::SplitResult result = vrsplit::splitErased(cut, files.freeMovie, files.freeManagement);
        if (!result.fatal.empty())
            report.notes.push_back("the free blocks cannot be cut: " + result.fatal);
        addRows(result, true, files.freeMovieRuns);
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

// The fixed layout's areas, then the free blocks.
std::vector<MapArea> layoutAreas(const LiveFiles& live, const ReusableTargets& free, std::uint64_t end)
{
    DiscReport report;
    if (live.fixedLayout)
        addFixedLayoutAreas(end, report);
    for (const CopyTarget& target : free.targets)
        for (const SectorRun& run : target.runs)
            report.areas.push_back(
                MapArea{AreaKind::Free, run.first, run.count, 0, "free blocks (" + target.fileName + ")"});
    return report.areas;
}

// The counts of ReadProgress over the sectors of a run's targets, kept up to date read by read.
class ProgressCount {
public:
    ProgressCount(const std::vector<CopyTarget>& targets, RescueAreas earlier) : areas_(std::move(earlier))
    {
        for (const CopyTarget& target : targets)
            for (const SectorRun& run : target.runs) {
                wanted_.set(run.first, run.first + run.count, RescueStatus::Rescued);
                progress_.total += run.count;
            }
        forWanted(0, areas_.end(), [&](const RescueAreas::Area& area) { count(area, +1); });
    }

    // The areas of the earlier run, one by one.
    void replay(const RecordingsSink& sink)
    {
        forWanted(0, areas_.end(), [&](const RescueAreas::Area& area) {
            if (area.status == RescueStatus::Rescued || area.status == RescueStatus::BadSector)
                tell(area, sink);
        });
    }

    void observe(const ReadTiming& read, const RecordingsSink& sink)
    {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            start_ = now;
        }
        if (read.complete)
            bytesRead_ += static_cast<double>(read.count) * kSectorSize;
        const RescueStatus status = read.complete ? RescueStatus::Rescued : RescueStatus::BadSector;
        const std::uint64_t end = read.first + read.count;
        forWanted(read.first, end, [&](const RescueAreas::Area& area) { count(area, -1); });
        areas_.set(read.first, end, status);
        forWanted(read.first, end, [&](const RescueAreas::Area& area) { count(area, +1); });
        const double seconds = std::chrono::duration<double>(now - start_).count();
        progress_.bytesPerSecond = seconds > 0 ? bytesRead_ / seconds : 0;
        progress_.secondsLeft = progress_.bytesPerSecond > 0 ? static_cast<double>(progress_.total - progress_.done) *
                                                                   kSectorSize / progress_.bytesPerSecond
                                                             : -1;
        tell(RescueAreas::Area{read.first, end, status}, sink);
    }

private:
    // Calls `visit` for each part of [first, end) among the targets' sectors, in its status.
    template <typename Visit>
    void forWanted(std::uint64_t first, std::uint64_t end, Visit&& visit) const
    {
        wanted_.forEach(first, end, [&](const RescueAreas::Area& wanted) {
            if (wanted.status == RescueStatus::Rescued)
                areas_.forEach(wanted.first, wanted.end, visit);
        });
    }

    void count(const RescueAreas::Area& area, int sign)
    {
        const std::uint64_t n = area.end - area.first;
        const auto add = [&](std::uint64_t& counter) { counter = sign > 0 ? counter + n : counter - n; };
        if (area.status == RescueStatus::Rescued || area.status == RescueStatus::BadSector)
            add(progress_.done);
        if (area.status == RescueStatus::BadSector)
            add(progress_.unreadable);
    }

    void tell(const RescueAreas::Area& area, const RecordingsSink& sink)
    {
        progress_.first = area.first;
        progress_.count = area.end - area.first;
        progress_.status = area.status;
        sink.progress(progress_);
    }

    RescueAreas wanted_;  // Rescued: a sector of a target
    RescueAreas areas_;   // what became of the sectors
    ReadProgress progress_;
    bool started_ = false;
    std::chrono::steady_clock::time_point start_;
    double bytesRead_ = 0;
};

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
    const std::uint16_t profile = requireRestrictedOverwrite(drive);
    report.medium = "DVD-RW, Restricted Overwrite (profile 0x0013)";
    const std::optional<std::uint64_t> signatures = checkSignatures(drive, true);
    const std::uint32_t end = recordedAreaEnd(drive);
    report.recordedSectors = end;
    report.volume = volumeIdentifier(drive);
    const LiveFiles live = liveFileTargets(drive, end);
    if (!live.problem.empty())
        report.notes.push_back(live.problem);
    const ReusableTargets free = settings.erasedRecordings ? findReusableTargets(drive) : ReusableTargets{};
    if (free.losses > 0)
        report.notes.push_back(std::to_string(free.losses) + " file-system structure(s) could not be used");

    const std::uint64_t bucketSectors = std::max<std::uint64_t>(16, (end + kRatePoints - 1) / kRatePoints);
    RateBuckets rate = readRates(folder, bucketSectors);
    RecordingsOutcome outcome;
    {
        WorkingFolder working(disc);
        RescueSettings rescueSettings;
        rescueSettings.retries = settings.retries;
        rescueSettings.mapfile = kMapfileName;
        RescueSession rescue(drive, rescueSettings, DiscIdentity{"recordings", profile, end, "signatures", signatures});
        // Without the live files the free blocks are read from the disc; with them they
        // are among the sectors read already.
        std::vector<CopyTarget> targets = live.targets;
        if (!live.fixedLayout)
            targets.insert(targets.end(), free.targets.begin(), free.targets.end());
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

    if (live.fixedLayout) {
        for (const CopyTarget& target : free.targets) {
            writeFromLiveFiles(disc, target, end);
            written["disc/" + target.fileName] = true;
        }
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
    DiscFiles files;
    if (live.fixedLayout) {
        files.management = (disc / "VR_MANGR.IFO").string();
        files.movie = (disc / "VR_MOVIE.VRO").string();
        files.movieRuns = live.targets[1].runs;
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
        addRescueAreas(*map, live.fixedLayout ? kManagementFirstSector : 0, end, report);
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
        report.unreadableSectors == 0 && report.notTriedSectors == 0 && free.losses == 0 && cutStatus == 0;
    outcome.areas = std::move(report.areas);
    outcome.recordings = std::move(report.recordings);
    return outcome;
}

}  // namespace pipeline

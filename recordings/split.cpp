// Cutting the recordings: by the management file, or out of raw movie data. What a
// run made comes back as values; the programs print it.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "recordings.h"

namespace vrsplit {

namespace {

// Older management copies are looked for in at most this much of MANAGEMENT.
constexpr std::uint64_t kMaxOldCopiesScan = 64ull << 20;
constexpr double kMatchSeconds = 1.5;  // clock span against recorded duration

SplitResult& failed(SplitResult& result, const std::string& message)
{
    result.fatal = message;
    result.status = kSplitBadInput;
    return result;
}

std::string outputPath(const SplitSettings& options, const std::string& name)
{
    if (options.outputDir.empty())
        return name;
    char last = options.outputDir.back();
    return options.outputDir + (last == '/' || last == '\\' ? "" : "/") + name;
}

// Reads a whole file of at most `limit` bytes; false with a message otherwise.
bool readWholeFile(const std::string& path, std::uint64_t limit, std::vector<std::uint8_t>& bytes, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open" + systemReason();
        return false;
    }
    in.seekg(0, std::ios::end);
    auto size = static_cast<std::uint64_t>(in.tellg());
    in.seekg(0);
    if (size > limit) {
        error = path + ": " + std::to_string(size) + " bytes, more than the " + std::to_string(limit) +
                " a management file can have";
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size));  // no more than the limit
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
        error = path + ": read failed";
        return false;
    }
    return true;
}

// The date tag of a recording: UTC where the management file gives the zone, else the
// recorder's local time.
std::string dateTag(const RecordedAt& at, std::optional<int> zoneMinutes)
{
    auto unix = unixTimeOf(at, zoneMinutes);
    return zoneMinutes && unix ? formatUtc(*unix) : formatRecordedAt(at);
}

// One recording's file, named `base` + the format's extension: the sectors as recorded,
// or remuxed through `job`. Copy-once data is not remuxed (it cannot be decoded): it is
// cut as recorded, and `remark` says so; `remark` also tells where the video stream's
// header differs from the management file. False with `error` when no file was made.
bool writeRecordingFile(const SplitSettings& options, const std::string& source, const std::vector<Range>& ranges,
                        const RemuxJob& job, const std::string& base, std::string& file, CopyResult& copy,
                        std::string& remark, std::string& error)
{
    file = base + ".mpg";
    if (options.format == OutputFormat::Mpeg)
        return copySectors(source, ranges, outputPath(options, file), job.modifiedAt, copy, error);
    if (!copySectors(source, ranges, "", std::nullopt, copy, error))
        return false;
    if (copy.scrambled) {
        remark = "copy-once: not remuxed, cut as recorded";
        return copySectors(source, ranges, outputPath(options, file), job.modifiedAt, copy, error);
    }
    file = base + extensionOf(options.format);
    RemuxResult remux;
    std::function<void(const RemuxProgress&)> progress;  // MP4 is the slow one: it is encoded
    if (options.format == OutputFormat::Mp4 && options.progress)
        progress = [&](const RemuxProgress& p) { options.progress(job.programNumber, p); };
    if (!remuxRecording(job, outputPath(options, file), progress, remux, error))
        return false;
    copy.kept = remux.kept;
    remark = remux.streamDiffers;
    return true;
}

}  // namespace

SplitResult splitLive(const SplitSettings& options, const std::string& ifo, const std::string& movie)
{
    SplitResult result;
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!readWholeFile(ifo, kMaxManagementSize, bytes, error))
        return failed(result, error);
    Management m;
    if (!parseManagement(bytes, m, error))
        return failed(result, ifo + ": " + error);

    Report& report = result.report;
    int& status = result.status;
    for (std::size_t k = 0; k < m.programs.size(); ++k) {
        const Program& program = m.programs[k];
        Row row;
        row.number = static_cast<unsigned>(k + 1);
        const Vob& firstVob = m.vobs[program.cells.front().vob - 1];
        row.recordedAt = formatRecordedAt(firstVob.recordedAt);
        row.title = programTitle(program, m.charset);
        std::vector<Range> ranges;
        RemuxJob job;
        job.source = movie;
        job.format = options.format;
        job.title = row.title;
        job.dateRecorded = dateTag(firstVob.recordedAt, m.zoneMinutes);
        job.programNumber = row.number;
        job.modifiedAt = unixTimeOf(firstVob.recordedAt, m.zoneMinutes);
        job.frameRate = firstVob.pal ? Ratio{25, 1} : Ratio{30000, 1001};
        if (firstVob.aspect <= 1)
            job.displayAspect = firstVob.aspect == 0 ? Ratio{4, 3} : Ratio{16, 9};
        for (const Cell& cell : program.cells) {
            const Vob& vob = m.vobs[cell.vob - 1];
            if (cell.endTime > cell.startTime)
                row.seconds += static_cast<double>(cell.endTime - cell.startTime) / kClockRate;
            VobuRange vobus = cellVobus(vob, cell);
            Range range{vobuSector(vob, vobus.first), vobuSector(vob, vobus.end)};
            if (range.end == range.first)
                continue;
            job.cells.push_back(RemuxCell{range, vobuTime(vob, vobus.first), vobuTime(vob, vobus.end)});
            if (!ranges.empty() && ranges.back().end == range.first)
                ranges.back().end = range.end;
            else
                ranges.push_back(range);
        }
        if (ranges.empty()) {
            row.note = "no movie data";
        } else {
            row.firstSector = ranges.front().first;
            row.lastSector = ranges.front().end - 1;
            for (const Range& range : ranges) {
                row.size += (range.end - range.first) * kSectorSize;
                row.firstSector = std::min(row.firstSector, range.first);
                row.lastSector = std::max(row.lastSector, range.end - 1);
            }
        }
        row.copyOnce = m.copyOnceKey;
        if (!options.list && !ranges.empty()) {
            row.copyOnce = false;
            std::string name = recordingFileName(row.number, firstVob.recordedAt, row.title);
            CopyResult copy;
            std::string file, remark;
            if (!writeRecordingFile(options, movie, ranges, job, name.substr(0, name.size() - 4), file, copy, remark,
                                    error)) {
                row.note = error;
                status = kSplitNotClean;
            } else {
                row.file = file;
                row.kept = copy.kept;
                row.copyOnce = copy.scrambled;
                if (!copy.complete || !copy.startsAtPacks) {
                    row.note = !copy.complete ? "the movie file ends before this recording does"
                                              : "the time map does not meet a pack in the movie file";
                    status = kSplitNotClean;
                }
                if (!remark.empty()) {
                    row.note += (row.note.empty() ? "" : "; ") + remark;
                    status = copy.scrambled ? kSplitNotClean : status;
                }
            }
        }
        if (!row.note.empty())
            report.notes.push_back("recording " + std::to_string(row.number) + ": " + row.note);
        result.rowRanges.push_back(ranges);
        report.rows.push_back(row);
    }
    return result;
}

namespace {

// Recordings that older copies of the management file describe ("DVD_RTR_VMG0" at a
// sector boundary of MANAGEMENT).
void readOldCopies(const std::string& path, Report& report)
{
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!readWholeFile(path, kMaxOldCopiesScan, bytes, error)) {
        report.notes.push_back(error);
        return;
    }
    std::span<const std::uint8_t> all(bytes);
    for (std::size_t at = 0; at + 12 <= all.size(); at += kSectorSize) {
        if (std::memcmp(all.data() + at, "DVD_RTR_VMG0", 12) != 0)
            continue;
        auto copy = all.subspan(at, std::min(all.size() - at, kMaxManagementSize));
        if (copy.size() >= 16 && be32(copy, 12) < copy.size())
            copy = copy.first(be32(copy, 12) + 1u);
        Management m;
        std::uint64_t sector = at / kSectorSize;
        if (!parseManagement(copy, m, error)) {
            std::string note = path;
            note += ": copy at sector " + std::to_string(sector);
            note += " unreadable: " + error;
            report.notes.push_back(note);
            continue;
        }
        std::vector<std::string> titles(m.vobs.size());
        for (const Program& program : m.programs) {
            for (const Cell& cell : program.cells) {
                if (titles[cell.vob - 1].empty())
                    titles[cell.vob - 1] = programTitle(program, m.charset);
            }
        }
        for (std::size_t v = 0; v < m.vobs.size(); ++v) {
            const Vob& vob = m.vobs[v];
            OldRecording old{sector,
                             formatRecordedAt(vob.recordedAt),
                             unixTimeOf(vob.recordedAt, m.zoneMinutes),
                             m.zoneMinutes.has_value(),
                             0,
                             vob.firstSector,
                             vob.sectorCount(),
                             titles[v]};
            if (vob.endTime > vob.startTime)
                old.seconds = static_cast<double>(vob.endTime - vob.startTime) / kClockRate;
            bool known = false;
            for (const OldRecording& seen : report.old) {
                known = known || (seen.recordedAt == old.recordedAt && seen.firstSector == old.firstSector &&
                                  seen.sectors == old.sectors);
            }
            if (!known)
                report.old.push_back(old);
        }
    }
}

}  // namespace

SplitResult splitErased(const SplitSettings& options, const std::string& data, const std::string& management)
{
    SplitResult result;
    std::ifstream in(data, std::ios::binary);
    if (!in)
        return failed(result, data + ": cannot open" + systemReason());
    Cutter cutter;
    std::vector<std::uint8_t> buffer(256 * kSectorSize);
    while (in) {
        in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
        auto got = static_cast<std::size_t>(in.gcount());
        for (std::size_t at = 0; at < got; at += kSectorSize)
            feedSector(cutter,
                       std::span<const std::uint8_t>(buffer).subspan(at, std::min<std::size_t>(kSectorSize, got - at)));
    }
    finishCutting(cutter);

    Report& report = result.report;
    report.erased = true;
    report.droppedPieces = cutter.droppedPieces;
    if (!management.empty())
        readOldCopies(management, report);

    int& status = result.status;
    for (std::size_t i = 0; i < cutter.pieces.size(); ++i) {
        const Piece& piece = cutter.pieces[i];
        Row row;
        row.number = static_cast<unsigned>(i + 1);
        row.seconds = piece.seconds();
        row.firstSector = piece.first;
        row.lastSector = piece.end - 1;
        row.size = (piece.end - piece.first) * kSectorSize;
        row.note = cutReasonText(piece.reason);
        char name[64];
        std::snprintf(name, sizeof name, "erased_%02u", row.number);
        std::string file = name;
        RemuxJob job;  // the time of writing, no tags and no chapters, unless an older copy names it
        job.source = data;
        job.format = options.format;
        job.programNumber = row.number;
        job.cells.push_back(RemuxCell{Range{piece.first, piece.end}, std::nullopt, 0});
        for (const OldRecording& old : report.old) {
            double difference = old.seconds - row.seconds;
            if (old.sectors == piece.end - piece.first && difference < kMatchSeconds && -difference < kMatchSeconds) {
                row.recordedAt = old.recordedAt;
                job.modifiedAt = old.recordedUnix;
                job.title = old.title;
                job.dateRecorded = old.recordedZone && old.recordedUnix ? formatUtc(*old.recordedUnix) : old.recordedAt;
                std::string date = old.recordedAt;
                date[10] = '_';
                date[13] = date[16] = '-';
                file += "_" + date;
                row.title = old.title;
                std::string part = safeFileNamePart(old.title);
                if (!part.empty())
                    file += "_" + part;
                break;
            }
        }
        CopyResult copy;
        std::string error, written, remark;
        if (!writeRecordingFile(options, data, {Range{piece.first, piece.end}}, job, file, written, copy, remark,
                                error)) {
            row.note += "; " + error;
            report.notes.push_back("piece " + std::to_string(row.number) + ": " + error);
            status = kSplitNotClean;
        } else {
            row.file = written;
            row.kept = copy.kept;
            if (!remark.empty()) {
                row.note += "; " + remark;
                report.notes.push_back("piece " + std::to_string(row.number) + ": " + remark);
            }
        }
        row.copyOnce = piece.scrambled;
        if (piece.holes > 0) {
            char text[160];
            std::snprintf(text, sizeof text, "%.2f s in %llu hole(s)", piece.holeSeconds(),
                          static_cast<unsigned long long>(piece.holes));
            row.note += std::string("; ") + text;
            std::snprintf(text, sizeof text,
                          ": %llu zero sector(s) in %llu hole(s) from sector %llu on, kept in place; about %.2f s "
                          "affected",
                          static_cast<unsigned long long>(piece.holeSectors),
                          static_cast<unsigned long long>(piece.holes),
                          static_cast<unsigned long long>(piece.firstHoleSector), piece.holeSeconds());
            report.notes.push_back("piece " + std::to_string(row.number) + text);
            status = kSplitNotClean;
        }
        if (piece.cutInsideVobu) {
            row.note += "; the next recording began inside a VOBU";
            report.notes.push_back(
                "piece " + std::to_string(row.number) +
                ": the clock broke inside a VOBU; the packs up to the next VOBU start were left out");
            status = kSplitNotClean;
        }
        result.rowRanges.push_back({Range{piece.first, piece.end}});
        report.rows.push_back(row);
    }
    if (cutter.droppedSectors > 0) {
        report.notes.push_back(std::to_string(cutter.droppedSectors) +
                               " pack(s) outside the pieces left out (before a VOBU start, or in pieces too short)");
    }
    return result;
}

// "YYYY-MM-DD HH:MM:SS" of seconds since 1970, UTC.
std::string formatUtc(std::int64_t unixSeconds)
{
    auto t = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    if (std::tm* at = std::gmtime(&t))
        utc = *at;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

const char* extensionOf(OutputFormat format)
{
    return format == OutputFormat::Matroska ? ".mkv" : format == OutputFormat::Mp4 ? ".mp4" : ".mpg";
}

}  // namespace vrsplit

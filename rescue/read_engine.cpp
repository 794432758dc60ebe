#include "read_engine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "read_speed.h"
#include "report.h"
#include "report_sink.h"
#include "version.h"

// ---- long reads, ECC-block reads and a sector-by-sector fallback -----------

namespace {

// Whether the drive or the adapter refused a read for its length.
bool refusedAsTooLong(const CommandOutcome& outcome)
{
    if (!outcome.passed) {
        return true;
    }
    const std::optional<SenseCode> sense = senseCode(outcome.result);
    return outcome.result.scsiStatus == 2 && sense && sense->key == 0x05 && sense->asc == 0x24 && sense->ascq == 0;
}

}  // namespace

std::uint32_t transferLimit(Drive& drive)
{
    if (drive.readLimitSectors() == 0) {
        const std::uint32_t adapter = drive.adapterMaxTransferBytes() / kSectorSize;
        const std::uint32_t blocks = adapter == 0 ? kDefaultTransferSectors : adapter - adapter % kEccBlockSectors;
        drive.setReadLimitSectors(std::clamp(blocks, kEccBlockSectors, kMaxTransferSectors));
    }
    return drive.readLimitSectors();
}

std::uint32_t transferSectors(std::uint32_t lba, std::uint32_t wanted, std::uint32_t limit)
{
    return std::min(wanted, limit - lba % kEccBlockSectors);
}

LongRead readLong(Drive& drive, std::uint32_t lba, std::uint32_t wanted, std::uint8_t* buffer)
{
    for (;;) {
        const std::uint32_t count = transferSectors(lba, wanted, transferLimit(drive));
        const CommandOutcome outcome = tryRead10(drive, lba, buffer, static_cast<std::uint16_t>(count));
        if (count <= kEccBlockSectors || !refusedAsTooLong(outcome)) {
            return LongRead{outcome, count};
        }
        const std::uint32_t half = count / 2 - count / 2 % kEccBlockSectors;
        drive.setReadLimitSectors(std::max(half, kEccBlockSectors));
    }
}

SectorCopier::SectorCopier(Drive& drive, OutputFile& file)
    : drive_(drive),
      file_(file),
      capacity_(transferLimit(drive)),
      buffer_(new std::uint8_t[std::size_t{transferLimit(drive)} * kSectorSize])
{
}

void SectorCopier::flush()
{
    if (pendingEnd_ > pendingFirst_) {
        file_.writeRecords(buffer_.get() + std::size_t{pendingFirst_ - first_} * kSectorSize,
                           (pendingEnd_ - pendingFirst_) * kSectorSize, kSectorSize);
    }
    pendingFirst_ = pendingEnd_;
}

void SectorCopier::copy(std::uint32_t lba, std::uint32_t following)
{
    if (holds(lba)) {
        if (lba != pendingEnd_ || pendingEnd_ == pendingFirst_) {
            flush();
            pendingFirst_ = lba;
        }
        pendingEnd_ = lba + 1;
        return;
    }
    flush();
    count_ = 0;
    const std::uint32_t wanted = std::min(following, capacity_ - 1) + 1;
    while (!(lba >= singlyFirst_ && lba < singlyEnd_)) {
        const bool blockwise = lba >= blockwiseFirst_ && lba < blockwiseEnd_;
        const std::uint32_t limit = blockwise ? kEccBlockSectors : transferLimit(drive_);
        const std::uint32_t count = transferSectors(lba, wanted, limit);
        if (count == 1) {
            break;
        }
        const LongRead read =
            blockwise ? LongRead{tryRead10(drive_, lba, buffer_.get(), static_cast<std::uint16_t>(count)), count}
                      : readLong(drive_, lba, wanted, buffer_.get());
        if (read.outcome.complete()) {
            first_ = lba;
            count_ = read.sectors;
            pendingFirst_ = lba;
            pendingEnd_ = lba + 1;
            return;
        }
        if (!blockwise && read.sectors > kEccBlockSectors - lba % kEccBlockSectors) {
            blockwiseFirst_ = lba;
            blockwiseEnd_ = lba + read.sectors;
        } else {
            singlyFirst_ = lba;
            singlyEnd_ = lba + read.sectors;
        }
    }
    readSingly(lba);
}

// One sector by itself, as readSector() reads it: a failure ends the run, a
// short transfer gets its notice and zeros for the bytes it did not move.
void SectorCopier::readSingly(std::uint32_t lba)
{
    const CommandOutcome outcome = tryRead10(drive_, lba, buffer_.get(), 1);
    if (!outcome.good()) {
        failCommand(outcome, lba);
    }
    noteShortTransfer(outcome);
    const std::uint32_t moved = std::min(outcome.result.transferred, kSectorSize);
    std::memset(buffer_.get() + moved, 0, kSectorSize - moved);
    first_ = lba;
    count_ = 1;
    pendingFirst_ = lba;
    pendingEnd_ = lba + 1;
}

// ---- the keep-going rescue --------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStatusInterval = std::chrono::milliseconds(500);
constexpr auto kMapfileInterval = std::chrono::seconds(5);
constexpr auto kRateLogInterval = std::chrono::seconds(1);
// After two failed blocks in a row the first pass skips ahead, by this many
// sectors at first and twice as many after each further failure: a long
// scratch costs a few timeouts, and the pass comes back for what it skipped.
constexpr std::uint32_t kFirstSkipSectors = 4 * kEccBlockSectors;
constexpr std::uint32_t kMaxSkipSectors = 4096 * kEccBlockSectors;
// A dual-layer DVD holds 4,173,824 sectors; a drive that reports a recorded
// area beyond this is not believed, rather than tried sector by sector.
constexpr std::uint64_t kMaxRescueSectors = 4u * 1024 * 1024;
// Bad areas listed by name in a summary; the rest are counted.
constexpr std::size_t kListedBadAreas = 20;

const char* const kMapfileHeader = "# Mapfile. Created by vrsalvage";
const char* const kLayoutPrefix = "# vrsalvage file ";
const char* const kIdentityPrefix = "# vrsalvage disc ";

std::uint64_t fnv1a(std::uint64_t hash, std::uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFFu)) * 1099511628211ull;
    }
    return hash;
}

// The local time as "2024-05-01 12:00:00".
std::string localTimeText()
{
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (const std::tm* local = std::localtime(&now)) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    }
    return text;
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "key=value" out of the fields of a comment line.
std::optional<std::string> fieldValue(const std::string& line, const std::string& key)
{
    const std::string wanted = " " + key + "=";
    const std::size_t at = line.find(wanted);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t from = at + wanted.size();
    return line.substr(from, line.find(' ', from) - from);
}

std::optional<std::uint64_t> hexValue(const std::optional<std::string>& text)
{
    if (!text || text->empty() || text->size() > 16 ||
        text->find_first_not_of("0123456789abcdef") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(*text, nullptr, 16);
}

// Why `found` (the mapfile's) is another disc than `here`; empty when it is
// the same one as far as both tell.
std::string identityMismatch(const DiscIdentity& found, const DiscIdentity& here)
{
    if (found.mode != here.mode) {
        return "it was written by a run of the other mode";
    }
    if (found.profile != here.profile) {
        return "the disc's profile differs";
    }
    if (found.recordedEnd != here.recordedEnd) {
        return "the disc's recorded size differs";
    }
    if (found.fingerprint && here.fingerprint &&
        (found.fingerprintOf != here.fingerprintOf || *found.fingerprint != *here.fingerprint)) {
        return "the disc's " + here.fingerprintOf + " differ";
    }
    return "";
}

}  // namespace

std::uint64_t fingerprintBytes(std::uint64_t hash, const std::uint8_t* bytes, std::size_t length)
{
    for (std::size_t i = 0; i < length; i++) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

std::string identityLine(const DiscIdentity& identity)
{
    char text[200];
    char fingerprint[24] = "unread";
    if (identity.fingerprint) {
        std::snprintf(fingerprint, sizeof fingerprint, "%016llx",
                      static_cast<unsigned long long>(*identity.fingerprint));
    }
    std::snprintf(text, sizeof text, "%smode=%s profile=0x%04X end=%llu %s=%s", kIdentityPrefix, identity.mode.c_str(),
                  identity.profile, static_cast<unsigned long long>(identity.recordedEnd),
                  identity.fingerprintOf.c_str(), fingerprint);
    return text;
}

std::optional<DiscIdentity> parseIdentityLine(const std::string& line)
{
    if (line.rfind(kIdentityPrefix, 0) != 0) {
        return std::nullopt;
    }
    DiscIdentity identity;
    std::string body(1, ' ');
    body.append(line, std::strlen(kIdentityPrefix), std::string::npos);
    const std::optional<std::string> mode = fieldValue(body, "mode");
    const std::optional<std::string> profile = fieldValue(body, "profile");
    const std::optional<std::string> end = fieldValue(body, "end");
    if (!mode || !profile || profile->size() != 6 || profile->rfind("0x", 0) != 0 || !end || end->empty() ||
        end->size() > 19 || end->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    std::string lower = profile->substr(2);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    const std::optional<std::uint64_t> profileValue = hexValue(lower);
    if (!profileValue) {
        return std::nullopt;
    }
    identity.mode = *mode;
    identity.profile = static_cast<std::uint16_t>(*profileValue);
    identity.recordedEnd = std::stoull(*end);
    // The last field names what the fingerprint hashes.
    const std::size_t last = body.rfind(' ');
    const std::size_t equals = body.find('=', last);
    if (last == std::string::npos || equals == std::string::npos) {
        return std::nullopt;
    }
    identity.fingerprintOf = body.substr(last + 1, equals - last - 1);
    if (identity.fingerprintOf == "mode" || identity.fingerprintOf == "profile" || identity.fingerprintOf == "end") {
        return std::nullopt;
    }
    const std::string value = body.substr(equals + 1);
    if (value != "unread") {
        identity.fingerprint = hexValue(value);
        if (!identity.fingerprint) {
            return std::nullopt;
        }
    }
    return identity;
}

bool isOwnMapfile(const std::string& text)
{
    return text.rfind(kMapfileHeader, 0) == 0 &&
           (text.size() == std::strlen(kMapfileHeader) || text[std::strlen(kMapfileHeader)] == '\n');
}

std::string layoutLine(const CopyTarget& target)
{
    std::uint64_t sectors = 0;
    std::uint64_t hash = kFingerprintSeed;
    for (const SectorRun& run : target.runs) {
        sectors += run.count;
        hash = fnv1a(fnv1a(hash, run.first), run.count);
    }
    // Only a file with zeros between or after its runs adds them, so that
    // the line of any other file stays as it was.
    const auto add64 = [&](std::uint64_t value) {
        hash = fnv1a(fnv1a(hash, static_cast<std::uint32_t>(value >> 32)), static_cast<std::uint32_t>(value));
    };
    for (const std::uint64_t place : target.fileSectors) {
        add64(place);
    }
    if (target.bytes != 0) {
        add64(target.bytes);
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s%s sectors=%llu layout=%016llx", kLayoutPrefix, target.fileName.c_str(),
                  static_cast<unsigned long long>(sectors), static_cast<unsigned long long>(hash));
    return text;
}

RescueSession::RescueSession(Drive& drive, RescueSettings settings, DiscIdentity identity)
    : drive_(drive),
      buffer_(new std::uint8_t[std::size_t{transferLimit(drive)} * kSectorSize]),
      settings_(std::move(settings)),
      identity_(std::move(identity))
{
    if (!settings_.mapfile.empty()) {
        if (const std::optional<std::string> text = readWholeFile(settings_.mapfile)) {
            if (!isOwnMapfile(*text)) {
                fail(("the mapfile " + settings_.mapfile + " was not written by vrsalvage; it is left as it is")
                         .c_str());
            }
            std::string error;
            const std::optional<RescueMap> previous = parseRescueMap(*text, &error);
            if (!previous) {
                fail(("can't read the mapfile " + settings_.mapfile + ": " + error).c_str());
            }
            for (const std::string& line : previous->comments) {
                if (const std::optional<DiscIdentity> found = parseIdentityLine(line)) {
                    const std::string why = identityMismatch(*found, identity_);
                    if (!why.empty()) {
                        fail(("the mapfile " + settings_.mapfile + " describes another disc (" + why +
                              "); nothing was changed")
                                 .c_str());
                    }
                } else if (line.rfind(kLayoutPrefix, 0) == 0) {
                    layouts_.push_back(line);
                }
            }
            areas_ = RescueAreas::fromMap(*previous, kSectorSize);
        }
        saveMapfile();
    }
    if (!settings_.rateLog.empty() && !platformCreateOrTruncateFile(settings_.rateLog.c_str(), &rateLog_)) {
        rateLog_ = nullptr;
        failWithSystemError(("can't write the rate log " + settings_.rateLog).c_str());
    }
    platformCatchInterrupts();
    started_ = Clock::now();
    lastStatus_ = started_ - kStatusInterval;
    lastSave_ = started_;
    if (rateLog_ != nullptr) {
        std::string header = "# Rates Logfile. Created by vrsalvage version ";
        header.append(kVersion).append("\n# Command line: ").append(settings_.commandLine);
        header.append("\n# Start time:   ").append(localTimeText());
        header.append("\n#Time  Ipos  Current_rate  Average_rate  Bad_areas  Bad_size\n");
        writeRateLog(header);
        logRates(started_);
    }
}

RescueSession::~RescueSession()
{
    if (rateLog_ != nullptr) {
        platformCloseFile(rateLog_);
    }
}

void RescueSession::writeRateLog(const std::string& text)
{
    std::uint32_t written = 0;
    if (!platformWriteFile(rateLog_, text.data(), static_cast<std::uint32_t>(text.size()), &written) ||
        written != text.size()) {
        failWithSystemError(("can't write the rate log " + settings_.rateLog).c_str());
    }
}

// One line of the rate log: seconds since the start, the position, the
// bytes read a second since the last line and since the start, and the
// areas found bad so far (not rescued and tried) with their size.
void RescueSession::logRates(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double sinceLast = std::chrono::duration<double>(now - lastRates_).count();
    const auto current =
        sinceLast > 0 && now != started_ ? static_cast<double>(bytesRead_ - bytesAtLastRates_) / sinceLast : 0.0;
    const double average = seconds > 0 ? static_cast<double>(bytesRead_) / seconds : 0.0;
    std::uint64_t badAreas = 0;
    std::uint64_t badSectors = 0;
    std::uint64_t lastBadEnd = 0;
    areas_.forEach(0, UINT64_MAX, [&](const RescueAreas::Area& area) {
        if (area.status == RescueStatus::Rescued || area.status == RescueStatus::NonTried) {
            return;
        }
        badAreas += badSectors == 0 || area.first != lastBadEnd ? 1 : 0;
        badSectors += area.end - area.first;
        lastBadEnd = area.end;
    });
    char line[128];
    std::snprintf(line, sizeof line, "%2llu  0x%08llX  %8llu  %8llu  %7llu  %8llu\n",
                  static_cast<unsigned long long>(seconds), static_cast<unsigned long long>(position_) * kSectorSize,
                  static_cast<unsigned long long>(current), static_cast<unsigned long long>(average),
                  static_cast<unsigned long long>(badAreas), static_cast<unsigned long long>(badSectors) * kSectorSize);
    writeRateLog(line);
    lastRates_ = now;
    bytesAtLastRates_ = bytesRead_;
}

// Claims the target's sectors for this run, checks its layout against the
// mapfile's, and sets what the mapfile says of its sectors to what the file
// can be trusted to hold.
void RescueSession::prepareTarget(const CopyTarget& target, std::uint64_t total)
{
    const bool placed = !target.fileSectors.empty();
    if (placed && target.fileSectors.size() != target.runs.size()) {
        fail((target.fileName + ": internal error: not every run has its place in the file").c_str());
    }
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < target.runs.size(); i++) {
        const SectorRun& run = target.runs[i];
        const std::uint64_t first = run.first;
        const std::uint64_t end = first + run.count;
        if (placed) {
            if (target.fileSectors[i] < offset || target.fileSectors[i] > kMaxRescueSectors) {
                fail((target.fileName + ": its runs overlap in the file").c_str());
            }
            offset = target.fileSectors[i];
        }
        if (run.count == 0) {
            continue;
        }
        auto next = claimed_.lower_bound(first);
        const bool overlaps = (next != claimed_.end() && next->first < end) ||
                              (next != claimed_.begin() && std::prev(next)->second > first) ||
                              (!placed && !current_.runs.empty() && current_.runs.back().end > first);
        if (overlaps) {
            fail((target.fileName + ": its sectors overlap another file's or are out of order").c_str());
        }
        // Claimed at once, so that runs of one file may come in any order but never share a sector.
        claimed_[first] = end;
        current_.runs.push_back(Placed{first, end, offset});
        offset += run.count;
    }
    const std::uint64_t fileSectors = std::max<std::uint64_t>(offset, (target.bytes + kSectorSize - 1) / kSectorSize);
    current_.size = target.bytes != 0 ? target.bytes : fileSectors * kSectorSize;
    if (current_.size > fileSectors * kSectorSize) {
        fail((target.fileName + ": internal error: its size is beyond its sectors").c_str());
    }

    const std::string layout = layoutLine(target);
    const std::string prefix = kLayoutPrefix + target.fileName + " ";
    const auto found = std::find_if(layouts_.begin(), layouts_.end(),
                                    [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
    std::error_code error;
    const bool exists = std::filesystem::exists(target.fileName, error);
    std::uint64_t held = 0;  // file sectors the file holds
    const bool known = found != layouts_.end();
    if (known) {
        if (*found != layout) {
            fail(("the mapfile describes another " + target.fileName + " than this disc gives").c_str());
        }
        if (exists) {
            const std::uint64_t size = std::filesystem::file_size(target.fileName, error);
            if (error || size > current_.size) {
                fail(("the mapfile describes " + target.fileName + ", but that file is missing or of another size")
                         .c_str());
            }
            // A whole file holds its last sector even where that is cut short.
            held = size == current_.size ? fileSectors : size / kSectorSize;
            current_.fileSize = size;
        }
        layouts_.erase(found);
    } else if (exists) {
        // Never overwritten: the same report as for any output file.
        OutputFile::createNew(target.fileName.c_str());
    }
    layouts_.insert(layouts_.begin() + static_cast<std::ptrdiff_t>(ownLayouts_++), layout);
    // A file the mapfile does not describe starts afresh. Of one it does,
    // what an earlier run could not read is tried afresh, from the start
    // (this may be another drive, or the same one on a better day), and so
    // is what the mapfile marks rescued past the end of the file (a run that
    // stopped before its data reached the file).
    std::vector<RescueAreas::Area> stale;
    for (const Placed& run : current_.runs) {
        const std::uint64_t firstMissing = held > run.offset ? run.first + (held - run.offset) : run.first;
        areas_.forEach(run.first, run.end, [&](const RescueAreas::Area& area) {
            if (!known || area.status != RescueStatus::Rescued) {
                stale.push_back(area);
            } else if (area.end > firstMissing) {
                stale.push_back(RescueAreas::Area{std::max(area.first, firstMissing), area.end, area.status});
            }
        });
    }
    for (const RescueAreas::Area& area : stale) {
        areas_.set(area.first, area.end, RescueStatus::NonTried);
    }
    current_.progress = Progress{};
    current_.progress.total = total;
    for (const Placed& run : current_.runs) {
        areas_.forEach(run.first, run.end, [&](const RescueAreas::Area& area) {
            const std::uint64_t n = area.end - area.first;
            current_.progress.rescued += area.status == RescueStatus::Rescued ? n : 0;
            current_.progress.nonTried += area.status == RescueStatus::NonTried ? n : 0;
            current_.progress.badSectors += area.status == RescueStatus::BadSector ? n : 0;
        });
    }
}

bool RescueSession::copy(const CopyTarget& target)
{
    std::uint64_t total = 0;
    for (const SectorRun& run : target.runs) {
        total += run.count;
    }
    if (total > kMaxRescueSectors) {
        fail((target.fileName + ": more sectors than a DVD holds").c_str());
    }
    current_ = Current{};
    current_.fileName = target.fileName;
    prepareTarget(target, total);
    const bool resume = current_.fileSize > 0 || std::filesystem::exists(target.fileName);
    OutputFile file =
        resume ? OutputFile::openExisting(target.fileName.c_str()) : OutputFile::createNew(target.fileName.c_str());
    current_.file = &file;
    try {
        phaseStatus_ = '?';
        pass_ = 1;
        saveMapfile();
        // The mapfile is saved after each pass as well as every few seconds:
        // a stop in one pass never costs what the passes before it read.
        copyBlocks(true);
        saveMapfile();
        pass_ = 2;
        copyBlocks(false);
        saveMapfile();
        pass_ = 3;
        const bool slow =
            settings_.slowRetries && current_.progress.rescued + current_.progress.nonTried < current_.progress.total;
        if (slow) {
            changeSpeed(tryGetLowestReadSpeed(drive_).value_or(kDvdSpeedKBs));
        }
        readSingly(RescueStatus::NonTrimmed, RescueStatus::BadSector, "scraping", '/');
        for (std::uint32_t pass = 0; pass < settings_.retries; pass++) {
            saveMapfile();
            pass_ = static_cast<int>(4 + pass);
            readSingly(RescueStatus::BadSector, RescueStatus::BadSector, "retrying", '-');
        }
        if (slow) {
            changeSpeed(settings_.speedKBs);
        }
        fillToSize();
        showStatus(interrupted_ ? "interrupted" : "done", true);
        reportf("\n");
        saveMapfile();
    } catch (const FatalError&) {
        // What reached the file before the failure (a full disk, say) is
        // kept in the mapfile where it can still be written, so that the
        // next run starts from there.
        try {
            saveMapfile();
        } catch (const FatalError&) {
        }
        current_.file = nullptr;
        throw;
    }
    current_.file = nullptr;
    summarize();
    return !interrupted_;
}

bool RescueSession::stopRequested()
{
    if (!interrupted_ && platformInterrupted()) {
        interrupted_ = true;
    }
    return interrupted_;
}

void RescueSession::mark(std::uint64_t first, std::uint64_t end, RescueStatus status)
{
    Progress& p = current_.progress;
    areas_.forEach(first, end, [&](const RescueAreas::Area& area) {
        const std::uint64_t n = area.end - area.first;
        p.rescued -= area.status == RescueStatus::Rescued ? n : 0;
        p.nonTried -= area.status == RescueStatus::NonTried ? n : 0;
        p.badSectors -= area.status == RescueStatus::BadSector ? n : 0;
    });
    const std::uint64_t n = end - first;
    p.rescued += status == RescueStatus::Rescued ? n : 0;
    p.nonTried += status == RescueStatus::NonTried ? n : 0;
    p.badSectors += status == RescueStatus::BadSector ? n : 0;
    areas_.set(first, end, status);
}

// One READ (10) of `count` sectors, reported to the read observer when there is one.
CommandOutcome RescueSession::timedRead(std::uint64_t lba, std::uint8_t* data, std::uint64_t count)
{
    const Clock::time_point before = Clock::now();
    const CommandOutcome outcome =
        tryRead10(drive_, static_cast<std::uint32_t>(lba), data, static_cast<std::uint16_t>(count));
    if (readObserver_) {
        const double seconds = std::chrono::duration<double>(Clock::now() - before).count();
        readObserver_(ReadTiming{lba, static_cast<std::uint32_t>(count), outcome.complete(), seconds});
    }
    return outcome;
}

// Writes sectors that were read into their place in the file and marks them
// rescued. A sector marked rescued already is never written again: the file
// holds it, and nothing this run read may replace it.
void RescueSession::writeRescued(const Placed& run, std::uint64_t lba, const std::uint8_t* data, std::uint64_t count)
{
    areas_.forEach(lba, lba + count, [&](const RescueAreas::Area& area) {
        if (area.status == RescueStatus::Rescued) {
            fail(("internal error: sector " + std::to_string(area.first) + " of " + current_.fileName +
                  " is rescued already")
                     .c_str());
        }
    });
    const std::uint64_t offset = (run.offset + (lba - run.first)) * kSectorSize;
    // A file cut short within its last sector gets only the bytes it holds.
    const std::uint64_t length = std::min(count * kSectorSize, current_.size - offset);
    current_.file->writeAt(offset, data, static_cast<std::uint32_t>(length), current_.fileName);
    current_.fileSize = std::max(current_.fileSize, offset + length);
    bytesRead_ += count * kSectorSize;
    mark(lba, lba + count, RescueStatus::Rescued);
}

// Every sector has its place in the file: what was not read is zeros, up to
// the file's full size. Only a file that does not reach it yet is extended,
// so nothing it holds is written over.
void RescueSession::fillToSize()
{
    const std::uint64_t size = current_.size;
    if (current_.fileSize >= size) {
        return;
    }
    const std::uint64_t lastSector = (size - 1) / kSectorSize;
    for (const Placed& run : current_.runs) {
        if (lastSector >= run.offset && lastSector - run.offset < run.end - run.first &&
            areas_.at(run.first + (lastSector - run.offset)) == RescueStatus::Rescued) {
            fail(("internal error: the last sector of " + current_.fileName + " is rescued but not in the file")
                     .c_str());
        }
    }
    static const SectorBuffer zeros{};
    const std::uint64_t from = lastSector * kSectorSize;
    current_.file->writeAt(from, zeros.data(), static_cast<std::uint32_t>(size - from), current_.fileName);
    current_.fileSize = size;
}

// The first passes: runs of non-tried sectors, as long a READ (10) each as
// the drive takes. A failed long read is read again by ECC block; a failed
// block is left non-trimmed for the sector-by-sector pass; with
// `skipAfterFailures`, two failed blocks in a row make the pass skip ahead,
// further each time, leaving what it skipped non-tried.
void RescueSession::copyBlocks(bool skipAfterFailures)
{
    std::uint32_t failures = 0;
    std::uint32_t skip = 0;
    std::uint64_t skipping = 0;      // target sectors still to pass over
    std::uint64_t blockwiseEnd = 0;  // up to here a long read failed: read by ECC block
    for (const Placed& run : current_.runs) {
        std::uint64_t lba = run.first;
        while (lba < run.end && !stopRequested()) {
            if (skipping > 0) {
                const std::uint64_t n = std::min(skipping, run.end - lba);
                lba += n;
                skipping -= n;
                continue;
            }
            const RescueAreas::Area area = areas_.areaAt(lba);
            if (area.status != RescueStatus::NonTried) {
                lba = std::min(area.end, run.end);
                continue;
            }
            if (lba >= discEnd_) {
                mark(lba, std::min(area.end, run.end), RescueStatus::BadSector);
                lba = std::min(area.end, run.end);
                continue;
            }
            const auto wanted = static_cast<std::uint32_t>(std::min({area.end, run.end, discEnd_}) - lba);
            const auto first = static_cast<std::uint32_t>(lba);
            position_ = lba;
            const bool blockwise = lba < blockwiseEnd;
            const std::uint32_t blockCount = transferSectors(first, wanted, kEccBlockSectors);
            const Clock::time_point before = Clock::now();
            const LongRead read =
                blockwise ? LongRead{tryRead10(drive_, first, buffer_.get(), static_cast<std::uint16_t>(blockCount)),
                                     blockCount}
                          : readLong(drive_, first, wanted, buffer_.get());
            if (readObserver_) {
                const double seconds = std::chrono::duration<double>(Clock::now() - before).count();
                readObserver_(ReadTiming{lba, read.sectors, read.outcome.complete(), seconds});
            }
            if (read.outcome.complete()) {
                writeRescued(run, lba, buffer_.get(), read.sectors);
                failures = 0;
                skip = 0;
            } else if (failureEndsTheRun(read.outcome)) {
                endForTheDrive(read.outcome, lba);
            } else if (!blockwise && read.sectors > blockCount) {
                noteAddressOutOfRange(read.outcome, lba, read.sectors);
                blockwiseEnd = lba + read.sectors;
                continue;
            } else {
                noteAddressOutOfRange(read.outcome, lba, read.sectors);
                mark(lba, lba + read.sectors, RescueStatus::NonTrimmed);
                if (skipAfterFailures && ++failures >= 2) {
                    skip = skip == 0 ? kFirstSkipSectors : std::min(2 * skip, kMaxSkipSectors);
                    skipping = skip;
                }
            }
            lba += read.sectors;
            showStatus(skipAfterFailures ? "copying" : "copying skipped areas", false);
        }
    }
}

// Sector by sector over the sectors in status `from`: rescued, or `failed`.
void RescueSession::readSingly(RescueStatus from, RescueStatus failed, const char* phase, char phaseStatus)
{
    phaseStatus_ = phaseStatus;
    for (const Placed& run : current_.runs) {
        std::uint64_t lba = run.first;
        while (lba < run.end && !stopRequested()) {
            const RescueAreas::Area area = areas_.areaAt(lba);
            if (area.status != from) {
                lba = std::min(area.end, run.end);
                continue;
            }
            if (lba >= discEnd_) {
                mark(lba, std::min(area.end, run.end), failed);
                lba = std::min(area.end, run.end);
                continue;
            }
            position_ = lba;
            const CommandOutcome outcome = timedRead(lba, buffer_.get(), 1);
            if (outcome.complete()) {
                writeRescued(run, lba, buffer_.get(), 1);
            } else if (failureEndsTheRun(outcome)) {
                endForTheDrive(outcome, lba);
            } else {
                noteAddressOutOfRange(outcome, lba, 1);
                mark(lba, lba + 1, failed);
            }
            lba++;
            showStatus(phase, false);
        }
    }
}

// A read refused with ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE
// reached past the drive's last sector. The first time, READ CAPACITY is
// asked where that is; when it agrees (its end lies within what the read
// asked for), nothing from there on is on the disc, however far the drive
// said its recorded area reaches, and it is not read: a drive that answers
// every one of a million such sectors in turn can take hours over them. A
// drive that contradicts itself there is believed in neither, and read on.
void RescueSession::noteAddressOutOfRange(const CommandOutcome& outcome, std::uint64_t lba, std::uint64_t count)
{
    const std::optional<SenseCode> sense = outcome.passed ? senseCode(outcome.result) : std::nullopt;
    if (capacityAsked_ || outcome.result.scsiStatus != 2 || !sense || sense->key != 0x05 || sense->asc != 0x21 ||
        sense->ascq != 0x00) {
        return;
    }
    capacityAsked_ = true;
    std::uint32_t lastSector = 0;
    if (tryReadCapacity(drive_, &lastSector).complete() && std::uint64_t{lastSector} + 1 < lba + count) {
        discEnd_ = std::uint64_t{lastSector} + 1;
    }
}

// A drive without a disc ready, or whose disc may have been changed, says
// nothing of the sector it was asked for: the run ends there, below the
// status line, with nothing marked, and the mapfile keeps what was read.
void RescueSession::endForTheDrive(const CommandOutcome& outcome, std::uint64_t lba)
{
    reportf("\n");
    failCommand(outcome, static_cast<std::int64_t>(lba));
}

// Asks the drive for another read speed and says on a line of its own,
// below the status line, what came of it.
void RescueSession::changeSpeed(std::uint32_t readKBs)
{
    const std::uint32_t end = settings_.discEnd;
    const SpeedResult result = setReadSpeed(drive_, readKBs, end == 0 ? 0 : end - 1);
    reportf("\n%s\n", speedReport(result, readKBs).c_str());
    reportFlush();
}

// One line, rewritten in place: phase, sectors done and in all, bad sectors,
// bytes lost, rate and time left; the mapfile is saved every few seconds too.
void RescueSession::showStatus(const char* phase, bool force)
{
    const Clock::time_point now = Clock::now();
    if (rateLog_ != nullptr && now - lastRates_ >= kRateLogInterval) {
        logRates(now);
    }
    if (!force && now - lastStatus_ < kStatusInterval) {
        return;
    }
    lastStatus_ = now;
    if (now - lastSave_ >= kMapfileInterval) {
        saveMapfile();
    }
    const Progress& p = current_.progress;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    ProgressEvent event;
    event.phase = phase;
    event.target = current_.fileName;
    event.done = p.rescued + p.badSectors;
    event.total = p.total;
    event.bad = p.total - p.rescued - p.nonTried;
    event.bytesPerSecond = seconds > 0 ? static_cast<double>(bytesRead_) / seconds : 0;
    if (event.bytesPerSecond > 0) {
        event.secondsLeft = static_cast<std::int64_t>(static_cast<double>(event.total - event.done) * kSectorSize /
                                                      event.bytesPerSecond);
    }
    event.last = force;
    reportSink().progress(event);
}

// The mapfile of the whole run: this run's targets and what an earlier run
// left of the others, as one set of areas. The file being written is flushed
// first, so that the mapfile never marks rescued what a crash could lose.
void RescueSession::saveMapfile()
{
    lastSave_ = Clock::now();
    if (settings_.mapfile.empty()) {
        return;
    }
    if (current_.file != nullptr) {
        current_.file->flush(current_.fileName);
    }
    RescueMap map;
    map.comments.push_back(kMapfileHeader);
    map.comments.push_back(identityLine(identity_));
    map.comments.insert(map.comments.end(), layouts_.begin(), layouts_.end());
    areas_.toBlocks(kSectorSize, &map);
    map.currentPosition = position_ * kSectorSize;
    map.currentStatus = finished_ ? '+' : phaseStatus_;
    map.currentPass = pass_;
    std::string text = formatRescueMap(map);
    // Nothing new since the last save (a pass that found nothing to do):
    // the mapfile on the medium says it already.
    if (text != savedText_) {
        writeMapfile(text);
        savedText_ = std::move(text);
    }
}

// Written whole to a temporary name, flushed, and moved over the mapfile in
// one step: a stop at any moment leaves the old mapfile or the new one.
void RescueSession::writeMapfile(const std::string& text)
{
    const std::string temporary = settings_.mapfile + ".tmp";
    FileHandle handle = nullptr;
    if (!platformCreateOrTruncateFile(temporary.c_str(), &handle)) {
        failWithSystemError(("can't write the mapfile " + temporary).c_str());
    }
    std::uint32_t written = 0;
    const bool wrote = platformWriteFile(handle, text.data(), static_cast<std::uint32_t>(text.size()), &written) &&
                       written == text.size();
    const std::uint32_t code = platformLastError();
    const bool flushed = wrote && platformFlushFile(handle);
    const std::uint32_t flushCode = platformLastError();
    platformCloseFile(handle);
    if (!wrote || !flushed) {
        throw fatalSystemError(
            ("can't write the mapfile " + temporary).c_str(),
            std::to_string(wrote ? flushCode : code) + " (" + platformErrorText(wrote ? flushCode : code) + ")");
    }
    if (!platformReplaceFile(temporary.c_str(), settings_.mapfile.c_str())) {
        failWithSystemError(("can't replace the mapfile " + settings_.mapfile).c_str());
    }
}

void RescueSession::summarize()
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bad;  // first, last
    for (const Placed& run : current_.runs) {
        areas_.forEach(run.first, run.end, [&](const RescueAreas::Area& area) {
            if (area.status == RescueStatus::Rescued) {
                return;
            }
            if (!bad.empty() && bad.back().second + 1 == area.first) {
                bad.back().second = area.end - 1;
            } else {
                bad.emplace_back(area.first, area.end - 1);
            }
        });
    }
    const Progress& p = current_.progress;
    const std::uint64_t missing = p.total - p.rescued;
    reportf("%s: %llu of %llu sectors read", current_.fileName.c_str(), static_cast<unsigned long long>(p.rescued),
            static_cast<unsigned long long>(p.total));
    if (missing == 0) {
        reportf("\n");
        return;
    }
    unreadable_ = true;
    reportf(", %llu %s (%llu bytes lost, written as zeros) at sector%s", static_cast<unsigned long long>(missing),
            interrupted_ ? "not read" : "unreadable", static_cast<unsigned long long>(missing) * kSectorSize,
            missing == 1 ? "" : "s");
    for (std::size_t k = 0; k < bad.size() && k < kListedBadAreas; k++) {
        if (bad[k].first == bad[k].second) {
            reportf("%s %llu", k == 0 ? "" : ",", static_cast<unsigned long long>(bad[k].first));
        } else {
            reportf("%s %llu-%llu", k == 0 ? "" : ",", static_cast<unsigned long long>(bad[k].first),
                    static_cast<unsigned long long>(bad[k].second));
        }
    }
    if (bad.size() > kListedBadAreas) {
        reportf(" and %llu more areas", static_cast<unsigned long long>(bad.size() - kListedBadAreas));
    }
    reportf("\n");
}

void RescueSession::finish()
{
    finished_ = !interrupted_;
    saveMapfile();
    if (rateLog_ != nullptr) {
        logRates(Clock::now());
        writeRateLog("# End time:     " + localTimeText() + "\n");
    }
    if (interrupted_) {
        reportf("interrupted%s\n", settings_.mapfile.empty() ? "" : ": run again with the same --mapfile to resume");
    }
    if (!settings_.mapfile.empty()) {
        reportf("mapfile: %s\n", settings_.mapfile.c_str());
    }
}

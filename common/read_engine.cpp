#include "read_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "report.h"

// ---- ECC-block reads with a sector-by-sector fallback ----------------------

void BlockReader::read(std::uint32_t lba, std::uint32_t following, SectorBuffer& sector)
{
    if (lba >= first_ && lba - first_ < count_) {
        std::memcpy(sector.data(), block_.data() + std::size_t{lba - first_} * kSectorSize, kSectorSize);
        return;
    }
    const std::uint32_t roomInBlock = kEccBlockSectors - lba % kEccBlockSectors;
    const std::uint32_t count = std::min(roomInBlock, following < roomInBlock ? following + 1 : roomInBlock);
    const bool singly = lba >= singlyFrom_ && lba < singlyEnd_;
    if (!singly && count > 1) {
        std::fill(block_.begin(), block_.end(), std::uint8_t{0});
        const CommandOutcome outcome = tryRead10(drive_, lba, block_.data(), static_cast<std::uint16_t>(count));
        if (outcome.complete()) {
            first_ = lba;
            count_ = count;
            std::memcpy(sector.data(), block_.data(), kSectorSize);
            return;
        }
        count_ = 0;
        singlyFrom_ = lba;
        singlyEnd_ = lba + count;
    }
    // A short transfer leaves zeros, never the previous sector's bytes.
    sector.fill(0);
    readSector(drive_, lba, sector.data());
}

// ---- the keep-going rescue --------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kStatusInterval = std::chrono::milliseconds(500);
constexpr auto kMapfileInterval = std::chrono::seconds(5);
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

const char* const kLayoutPrefix = "# vrsalvage file ";

char statusChar(RescueStatus status)
{
    return static_cast<char>(status);
}

std::uint64_t fnv1a(std::uint64_t hash, std::uint32_t value)
{
    for (int i = 0; i < 4; i++) {
        hash = (hash ^ ((value >> (8 * i)) & 0xFFu)) * 1099511628211ull;
    }
    return hash;
}

std::string formatBytes(std::uint64_t bytes)
{
    char text[32];
    if (bytes < 10ull * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%llu kB", static_cast<unsigned long long>(bytes / 1024));
    } else {
        std::snprintf(text, sizeof text, "%llu MB", static_cast<unsigned long long>(bytes / (1024 * 1024)));
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

}  // namespace

std::string layoutLine(const CopyTarget& target)
{
    std::uint64_t sectors = 0;
    std::uint64_t hash = 1469598103934665603ull;
    for (const SectorRun& run : target.runs) {
        sectors += run.count;
        hash = fnv1a(fnv1a(hash, run.first), run.count);
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s%s sectors=%llu layout=%016llx", kLayoutPrefix, target.fileName.c_str(),
                  static_cast<unsigned long long>(sectors), static_cast<unsigned long long>(hash));
    return text;
}

RescueSession::RescueSession(Drive& drive, RescueSettings settings) : drive_(drive), settings_(std::move(settings))
{
    if (!settings_.mapfile.empty()) {
        if (const std::optional<std::string> text = readWholeFile(settings_.mapfile)) {
            std::string error;
            previous_ = parseRescueMap(*text, &error);
            if (!previous_) {
                fail(("can't read the mapfile " + settings_.mapfile + ": " + error).c_str());
            }
        }
    }
    platformCatchInterrupts();
    started_ = Clock::now();
    lastStatus_ = started_ - kStatusInterval;
    lastSave_ = started_;
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
    TargetState state{target, {}, {}};
    for (const SectorRun& run : target.runs) {
        for (std::uint32_t i = 0; i < run.count; i++) {
            state.lbas.push_back(run.first + i);
        }
    }
    const std::uint64_t size = std::uint64_t{state.lbas.size()} * kSectorSize;

    // Resume only what the mapfile describes as this very file of this disc.
    const std::string layout = layoutLine(target);
    bool resume = false;
    if (previous_) {
        const std::string prefix = kLayoutPrefix + target.fileName + " ";
        for (const std::string& line : previous_->comments) {
            if (line.rfind(prefix, 0) != 0) {
                continue;
            }
            if (line != layout) {
                fail(("the mapfile describes another " + target.fileName + " than this disc gives").c_str());
            }
            std::error_code error;
            if (std::filesystem::file_size(target.fileName, error) != size || error) {
                fail(("the mapfile describes " + target.fileName + ", but that file is missing or of another size")
                         .c_str());
            }
            resume = true;
        }
    }
    state.statuses.assign(state.lbas.size(), statusChar(RescueStatus::NonTried));
    if (resume) {
        // What an earlier run could not read is tried afresh, from the start:
        // this may be another drive, or the same one on a better day.
        for (std::size_t i = 0; i < state.lbas.size(); i++) {
            // A sector counts as rescued only when all of its bytes are.
            if (rescuedThroughout(*previous_, std::uint64_t{state.lbas[i]} * kSectorSize, kSectorSize)) {
                state.statuses[i] = statusChar(RescueStatus::Rescued);
            }
        }
    }
    OutputFile file =
        resume ? OutputFile::openExisting(target.fileName.c_str()) : OutputFile::createNew(target.fileName.c_str());
    targets_.push_back(std::move(state));
    TargetState& current = targets_.back();
    saveMapfile();

    copyBlocks(current, file, true);
    copyBlocks(current, file, false);
    readSingly(current, file, RescueStatus::NonTrimmed, RescueStatus::BadSector, "scraping");
    for (std::uint32_t pass = 0; pass < settings_.retries; pass++) {
        readSingly(current, file, RescueStatus::BadSector, RescueStatus::BadSector, "retrying");
    }

    // Every sector has its place in the file: what was not read is zeros.
    if (!current.statuses.empty() && current.statuses.back() != statusChar(RescueStatus::Rescued)) {
        static const SectorBuffer zeros{};
        file.writeAt(size - kSectorSize, zeros.data(), kSectorSize);
    }
    showStatus(current, interrupted_ ? "interrupted" : "done", true);
    std::printf("\n");
    saveMapfile();
    summarize(current);
    return !interrupted_;
}

bool RescueSession::stopRequested()
{
    if (!interrupted_ && platformInterrupted()) {
        interrupted_ = true;
    }
    return interrupted_;
}

// The first passes: runs of non-tried sectors inside an ECC block, one
// command each. A failed block is left non-trimmed for the sector-by-sector
// pass; with `skipAfterFailures`, two failures in a row make the pass skip
// ahead, further each time, leaving what it skipped non-tried.
void RescueSession::copyBlocks(TargetState& state, OutputFile& file, bool skipAfterFailures)
{
    const char tried = statusChar(RescueStatus::NonTried);
    const std::size_t n = state.lbas.size();
    std::vector<std::uint8_t> block(kEccBlockSectors * kSectorSize);
    std::uint32_t failures = 0;
    std::uint32_t skip = 0;
    for (std::size_t i = 0; i < n && !stopRequested();) {
        if (state.statuses[i] != tried) {
            i++;
            continue;
        }
        std::size_t count = 1;
        const std::uint32_t lba = state.lbas[i];
        while (i + count < n && count < kEccBlockSectors - lba % kEccBlockSectors &&
               state.lbas[i + count] == lba + count && state.statuses[i + count] == tried) {
            count++;
        }
        std::fill(block.begin(), block.end(), std::uint8_t{0});
        const CommandOutcome outcome = tryRead10(drive_, lba, block.data(), static_cast<std::uint16_t>(count));
        const bool read = outcome.complete();
        if (read) {
            file.writeAt(std::uint64_t{i} * kSectorSize, block.data(), static_cast<std::uint32_t>(count) * kSectorSize);
            bytesRead_ += count * kSectorSize;
        }
        std::fill_n(state.statuses.begin() + static_cast<std::ptrdiff_t>(i), count,
                    statusChar(read ? RescueStatus::Rescued : RescueStatus::NonTrimmed));
        i += count;
        if (read) {
            failures = 0;
            skip = 0;
        } else if (skipAfterFailures && ++failures >= 2) {
            skip = skip == 0 ? kFirstSkipSectors : std::min(2 * skip, kMaxSkipSectors);
            i += std::min<std::size_t>(skip, n - i);
        }
        showStatus(state, skipAfterFailures ? "copying" : "copying skipped areas", false);
    }
}

// Sector by sector over the sectors in status `from`: rescued, or `failed`.
void RescueSession::readSingly(TargetState& state, OutputFile& file, RescueStatus from, RescueStatus failed,
                               const char* phase)
{
    alignas(16) SectorBuffer sector;
    for (std::size_t i = 0; i < state.lbas.size() && !stopRequested(); i++) {
        if (state.statuses[i] != statusChar(from)) {
            continue;
        }
        sector.fill(0);
        const CommandOutcome outcome = tryRead10(drive_, state.lbas[i], sector.data(), 1);
        if (outcome.complete()) {
            file.writeAt(std::uint64_t{i} * kSectorSize, sector.data(), kSectorSize);
            bytesRead_ += kSectorSize;
            state.statuses[i] = statusChar(RescueStatus::Rescued);
        } else {
            state.statuses[i] = statusChar(failed);
        }
        showStatus(state, phase, false);
    }
}

// One line, rewritten in place: phase, sectors done and in all, bad sectors,
// bytes lost, rate and time left; the mapfile is saved every few seconds too.
void RescueSession::showStatus(const TargetState& state, const char* phase, bool force)
{
    const Clock::time_point now = Clock::now();
    if (!force && now - lastStatus_ < kStatusInterval) {
        return;
    }
    lastStatus_ = now;
    if (now - lastSave_ >= kMapfileInterval) {
        saveMapfile();
    }
    std::uint64_t done = 0;
    std::uint64_t bad = 0;
    for (const char status : state.statuses) {
        done += status == statusChar(RescueStatus::Rescued) || status == statusChar(RescueStatus::BadSector) ? 1 : 0;
        bad += status != statusChar(RescueStatus::Rescued) && status != statusChar(RescueStatus::NonTried) ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(bytesRead_) / seconds : 0;
    const std::uint64_t total = state.statuses.size();
    char left[32] = "?";
    if (rate > 0) {
        const auto remaining = static_cast<unsigned long long>(static_cast<double>(total - done) * kSectorSize / rate);
        std::snprintf(left, sizeof left, "%llu:%02llu", remaining / 60, remaining % 60);
    }
    std::printf("\r%s: %llu/%llu sectors, %llu bad, %s lost, %.1f MB/s, %s left   ", phase,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(bad), formatBytes(bad * kSectorSize).c_str(), rate / 1e6, left);
    std::fflush(stdout);
}

// The mapfile of every target so far, written to a temporary name and moved
// over the mapfile in one step, so that an interruption never leaves half a
// mapfile behind.
void RescueSession::saveMapfile()
{
    lastSave_ = Clock::now();
    if (settings_.mapfile.empty()) {
        return;
    }
    struct Piece {
        std::uint32_t lba;
        char status;
    };
    std::vector<Piece> pieces;
    RescueMap map;
    map.comments.push_back("# Mapfile. Created by vrsalvage");
    for (const TargetState& state : targets_) {
        map.comments.push_back(layoutLine(state.target));
        for (std::size_t i = 0; i < state.lbas.size(); i++) {
            pieces.push_back(Piece{state.lbas[i], state.statuses[i]});
        }
    }
    // Targets from an earlier run that this one has not reached yet keep
    // their lines and their blocks.
    if (previous_) {
        for (const std::string& line : previous_->comments) {
            if (line.rfind(kLayoutPrefix, 0) != 0) {
                continue;
            }
            const bool current = std::any_of(targets_.begin(), targets_.end(), [&](const TargetState& state) {
                return line.rfind(kLayoutPrefix + state.target.fileName + " ", 0) == 0;
            });
            if (!current) {
                map.comments.push_back(line);
            }
        }
    }
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.lba < b.lba; });
    std::uint64_t position = 0;
    const auto add = [&](std::uint64_t at, std::uint64_t size, char status) {
        if (!map.blocks.empty() && map.blocks.back().status == static_cast<RescueStatus>(status) &&
            map.blocks.back().position + map.blocks.back().size == at) {
            map.blocks.back().size += size;
        } else {
            map.blocks.push_back(RescueBlock{at, size, static_cast<RescueStatus>(status)});
        }
    };
    for (const Piece& piece : pieces) {
        const std::uint64_t at = std::uint64_t{piece.lba} * kSectorSize;
        if (at < position) {
            continue;  // a sector in two targets: the first one's status stands
        }
        if (at > position) {
            // Sectors of no target: those of an earlier run as it left them.
            for (std::uint64_t p = position; p < at; p += kSectorSize) {
                RescueStatus old = previous_ ? rescueStatusAt(*previous_, p) : RescueStatus::NonTried;
                if (old == RescueStatus::Rescued && !rescuedThroughout(*previous_, p, kSectorSize)) {
                    old = RescueStatus::NonTried;  // rescued only in part
                }
                add(p, std::min<std::uint64_t>(kSectorSize, at - p), statusChar(old));
            }
        }
        add(at, kSectorSize, piece.status);
        position = at + kSectorSize;
    }
    map.currentPosition = position;
    map.currentStatus = interrupted_ || targets_.empty() ? '?' : '+';
    const std::string text = formatRescueMap(map);
    const std::string temporary = settings_.mapfile + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
            fail(("can't write the mapfile " + temporary).c_str());
        }
    }
    if (!platformReplaceFile(temporary.c_str(), settings_.mapfile.c_str())) {
        failWithSystemError(("can't replace the mapfile " + settings_.mapfile).c_str());
    }
}

void RescueSession::summarize(const TargetState& state)
{
    std::uint64_t read = 0;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> bad;  // first, last
    for (std::size_t i = 0; i < state.lbas.size(); i++) {
        if (state.statuses[i] == statusChar(RescueStatus::Rescued)) {
            read++;
            continue;
        }
        const std::uint32_t lba = state.lbas[i];
        if (!bad.empty() && bad.back().second + 1 == lba) {
            bad.back().second = lba;
        } else {
            bad.emplace_back(lba, lba);
        }
    }
    const std::uint64_t missing = state.lbas.size() - read;
    std::printf("%s: %llu of %llu sectors read", state.target.fileName.c_str(), static_cast<unsigned long long>(read),
                static_cast<unsigned long long>(state.lbas.size()));
    if (missing == 0) {
        std::printf("\n");
        return;
    }
    unreadable_ = true;
    std::printf(", %llu %s (%llu bytes lost, written as zeros) at sector%s", static_cast<unsigned long long>(missing),
                interrupted_ ? "not read" : "unreadable", static_cast<unsigned long long>(missing) * kSectorSize,
                missing == 1 ? "" : "s");
    for (std::size_t k = 0; k < bad.size() && k < kListedBadAreas; k++) {
        if (bad[k].first == bad[k].second) {
            std::printf("%s %u", k == 0 ? "" : ",", bad[k].first);
        } else {
            std::printf("%s %u-%u", k == 0 ? "" : ",", bad[k].first, bad[k].second);
        }
    }
    if (bad.size() > kListedBadAreas) {
        std::printf(" and %zu more areas", bad.size() - kListedBadAreas);
    }
    std::printf("\n");
}

void RescueSession::finish()
{
    saveMapfile();
    if (interrupted_) {
        std::printf("interrupted%s\n",
                    settings_.mapfile.empty() ? "" : ": run again with the same --mapfile to resume");
    }
    if (!settings_.mapfile.empty()) {
        std::printf("mapfile: %s\n", settings_.mapfile.c_str());
    }
}

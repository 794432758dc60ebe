// VR_MANGR.IFO in the recorder's format for the recipe's recordings: the header, the
// movie file table with one M_VOBI per recording (its time map from the VOBU starts of
// the MPEG data) and the original program chain (one program per recording, of one or
// two cells, with its title). All fields big-endian.
#include "mkvrdisc.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kHeaderSize = 512;
constexpr size_t kStreamInfoSize = 60;
constexpr size_t kProgramSize = 142;
constexpr size_t kCellSize = 18;
constexpr double kFieldTicks = 90000.0 / (60000.0 / 1001.0);  // one NTSC field: 1501.5 ticks
constexpr uint64_t kFrameTicks = 3003;

void Be16(std::vector<uint8_t>& b, size_t at, uint64_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void Be32(std::vector<uint8_t>& b, size_t at, uint64_t v)
{
    Be16(b, at, v >> 16);
    Be16(b, at + 2, v & 0xFFFF);
}

struct Vobu {
    uint64_t sectors = 0;
    bool has_pts = false;
    uint64_t first_pts = 0;  // earliest video presentation time in it
};

struct Stream {
    std::vector<Vobu> vobus;
    std::vector<unsigned> fields;  // playback time of each VOBU
    uint64_t start = 0, end = 0;   // presentation times of the video
};

// The VOBUs of an MPEG-2 program stream: each begins with a pack holding a private
// stream 2 packet (the navigation pack that `ffmpeg -f dvd` writes).
Stream ScanStream(const Recording& r)
{
    FILE* f = std::fopen(r.path.c_str(), "rb");
    if (!f)
        FailAt(r.line, r.path + ": " + std::strerror(errno));
    Stream s;
    uint64_t last_pts = 0;
    uint8_t p[kSectorSize];
    size_t got;
    while ((got = std::fread(p, 1, kSectorSize, f)) > 0) {
        if (got != kSectorSize || p[0] != 0 || p[1] != 0 || p[2] != 1 || p[3] != 0xBA)
            FailAt(r.line, r.path + ": not a program stream of 2048-byte packs");
        bool vobu_start = false;
        bool has_pts = false;
        uint64_t pts = 0;
        size_t at = 14 + (p[13] & 7);
        while (at + 9 <= kSectorSize && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1) {
            uint8_t id = p[at + 3];
            if (id == 0xBF)
                vobu_start = true;
            if (id >= 0xE0 && id <= 0xEF && (p[at + 7] & 0x80) && at + 14 <= kSectorSize && !has_pts) {
                const uint8_t* t = p + at + 9;
                pts = (uint64_t{t[0]} >> 1 & 7) << 30 | uint64_t{t[1]} << 22 | (uint64_t{t[2]} >> 1) << 15 |
                      uint64_t{t[3]} << 7 | uint64_t{t[4]} >> 1;
                has_pts = true;
            }
            at += 6 + (size_t{p[at + 4]} << 8 | p[at + 5]);
        }
        if (vobu_start || s.vobus.empty())
            s.vobus.push_back(Vobu{});
        Vobu& v = s.vobus.back();
        ++v.sectors;
        if (has_pts) {
            if (!v.has_pts || pts < v.first_pts)
                v.first_pts = pts;
            v.has_pts = true;
            last_pts = std::max(last_pts, pts);
        }
    }
    std::fclose(f);
    if (s.vobus.empty() || !s.vobus[0].has_pts)
        FailAt(r.line, r.path + ": no video in the first VOBU");
    s.start = s.vobus[0].first_pts;
    uint64_t total_fields = 0;
    for (size_t i = 0; i < s.vobus.size(); ++i) {
        uint64_t next =
            i + 1 < s.vobus.size() && s.vobus[i + 1].has_pts ? s.vobus[i + 1].first_pts : last_pts + kFrameTicks;
        uint64_t from = s.vobus[i].has_pts ? s.vobus[i].first_pts : next;
        auto fields =
            static_cast<unsigned>(std::lround(static_cast<double>(next - std::min(next, from)) / kFieldTicks));
        if (fields > 63 || s.vobus[i].sectors > 1023)
            FailAt(r.line, r.path + ": a VOBU longer than a time map entry holds (63 fields, 1023 sectors)");
        s.fields.push_back(fields);
        total_fields += fields;
    }
    s.end = s.start + static_cast<uint64_t>(std::llround(static_cast<double>(total_fields) * kFieldTicks));
    return s;
}

uint64_t FieldsToTicks(const Stream& s, size_t vobus)
{
    uint64_t fields = 0;
    for (size_t i = 0; i < vobus; ++i)
        fields += s.fields[i];
    return static_cast<uint64_t>(std::llround(static_cast<double>(fields) * kFieldTicks));
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        Fail(path + ": " + std::strerror(errno));
}

}  // namespace

std::vector<uint8_t> BuildManagementFile(const Recipe& recipe, const std::vector<uint64_t>& first_sectors)
{
    std::vector<Stream> streams;
    for (const Recording& r : recipe.recordings)
        streams.push_back(ScanStream(r));

    std::vector<uint8_t> b(kHeaderSize + 8 + kStreamInfoSize + 2 + 4 * streams.size());
    std::memcpy(b.data(), "DVD_RTR_VMG0", 12);
    b[33] = 0x11;
    Be16(b, 64, 0x021C);  // +9 h
    b[67] = static_cast<uint8_t>(recipe.charset);
    const size_t table = kHeaderSize;
    Be32(b, 256, table);
    b[table + 2] = 1;  // one movie AV file
    b[table + 3] = 1;  // one stream information: MPEG-2 video, NTSC, 4:3
    Be16(b, table + 8, 0x4000);
    size_t count_at = table + 8 + kStreamInfoSize;
    Be16(b, count_at, streams.size());

    uint64_t first_sector = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const Recording& r = recipe.recordings[i];
        Be32(b, count_at + 2 + 4 * i, b.size() - table);
        size_t at = b.size();
        b.resize(at + 2 + 7 + 12 + 2 + 10 + 3 * s.vobus.size());
        uint64_t when = uint64_t{r.year} << 26 | uint64_t{r.month} << 22 | uint64_t{r.day} << 17 |
                        uint64_t{r.hour} << 12 | uint64_t{r.minute} << 6 | r.second;
        for (size_t k = 0; k < 5; ++k)
            b[at + 2 + k] = static_cast<uint8_t>(when >> (8 * (4 - k)));
        b[at + 8] = 1;  // stream information 1
        Be32(b, at + 9, s.start);
        Be32(b, at + 15, s.end);
        Be16(b, at + 21, 0x021C);
        Be16(b, at + 25, s.vobus.size());
        if (i < first_sectors.size())
            first_sector = first_sectors[i];
        Be32(b, at + 29, first_sector);
        for (size_t v = 0; v < s.vobus.size(); ++v) {
            b[at + 33 + 3 * v] = 1;
            Be16(b, at + 34 + 3 * v, uint64_t{s.fields[v]} << 10 | s.vobus[v].sectors);
            first_sector += s.vobus[v].sectors;
        }
    }
    Be32(b, table + 4, b.size() - 1 - table);

    const size_t chain = b.size();
    Be32(b, 304, chain);
    size_t cells = 0;
    for (const Recording& r : recipe.recordings)
        cells += r.cells;
    b.resize(chain + 4 + kProgramSize * streams.size() + 4 * cells + kCellSize * cells);
    Be16(b, chain, streams.size());
    Be16(b, chain + 2, cells);
    size_t cell_offsets = chain + 4 + kProgramSize * streams.size();
    size_t cell = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const Recording& r = recipe.recordings[i];
        size_t at = chain + 4 + kProgramSize * i;
        b[at + 1] = 1;
        Be16(b, at + 2, r.cells);
        std::memset(&b[at + 4], ' ', 64);  // the ASCII name blank, as recorders leave it
        std::copy(r.title.begin(), r.title.end(), b.begin() + static_cast<std::ptrdiff_t>(at + 68));
        Be16(b, at + 134, cell + 1);  // representative picture: the program's first cell
        Be32(b, at + 136, s.start);
        // Two cells meet at the start of the middle VOBU.
        uint64_t split = s.start + FieldsToTicks(s, s.vobus.size() / 2);
        for (unsigned c = 0; c < r.cells; ++c, ++cell) {
            size_t p = cell_offsets + 4 * cells + kCellSize * cell;
            Be32(b, cell_offsets + 4 * cell, p - chain);
            b[p + 1] = 1;
            Be16(b, p + 2, i + 1);
            Be32(b, p + 6, r.cells == 2 && c == 1 ? split : s.start);
            Be32(b, p + 12, r.cells == 2 && c == 0 ? split : s.end);
        }
    }
    Be32(b, 12, b.size() - 1);
    return b;
}

void ResolveManagementContent(Recipe& recipe, const std::string& image_path)
{
    bool wanted = false;
    for (const Entry& e : recipe.entries)
        wanted = wanted || e.content.kind == ContentKind::Mangr;
    if (!wanted)
        return;
    if (recipe.recordings.empty())
        Fail(g_recipe_name + ": content=mangr needs 'recording' lines");
    std::string path = image_path + ".ifo";
    WriteFile(path, BuildManagementFile(recipe, {}));
    for (Entry& e : recipe.entries) {
        if (e.content.kind == ContentKind::Mangr) {
            e.content.kind = ContentKind::File;
            e.content.path = path;
        }
    }
}

void PlaceManagementContent(const Recipe& recipe, const std::string& image_path)
{
    bool wanted = false;
    const Entry* movie = nullptr;
    for (const Entry& e : recipe.entries) {
        wanted = wanted || (e.content.kind == ContentKind::File && e.content.path == image_path + ".ifo");
        if (!e.is_dir && !e.deleted && e.name == "VR_MOVIE.VRO" && !movie)
            movie = &e;
    }
    if (!wanted || !movie)
        return;
    // The recordings follow each other in the movie file. One that would begin in an extent
    // that is not recorded (the place an erased recording kept) begins where the next recorded
    // extent does; its first sector is counted in the movie file's own sectors.
    auto next_recorded = [&](uint64_t offset, uint64_t& start) {
        for (const Ad& ad : movie->ads) {
            if (ad.type != 0 || ad.file_offset + ad.length <= offset)
                continue;
            start = std::max(offset, ad.file_offset);
            return true;
        }
        return false;
    };
    std::vector<uint64_t> first_sectors;
    uint64_t offset = 0;
    for (const Recording& r : recipe.recordings) {
        if (!next_recorded(offset, offset))
            FailAt(r.line, "the recording lies beyond the movie file's recorded extents");
        first_sectors.push_back(offset / kSectorSize);
        FILE* f = std::fopen(r.path.c_str(), "rb");
        if (!f || std::fseek(f, 0, SEEK_END) != 0)
            FailAt(r.line, r.path + ": " + std::strerror(errno));
        offset += static_cast<uint64_t>(std::ftell(f));
        std::fclose(f);
    }
    WriteFile(image_path + ".ifo", BuildManagementFile(recipe, first_sectors));
}

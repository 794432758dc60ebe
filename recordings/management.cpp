// VR_MANGR.IFO: the header, the movie file table (one entry per VOB with its time map)
// and the original program chain (programs made of cells), decoded into values. Every
// offset and length is checked against the file before it is used, every count bounded.
#include "recordings.h"

#include <cstdio>

namespace vrsplit {

namespace {

constexpr std::size_t kHeaderSize = 512;
constexpr std::size_t kStreamInfoSize = 60;
constexpr std::size_t kProgramSize = 142;
constexpr std::size_t kCellSize = 18;
constexpr std::size_t kTimeEntrySize = 7;
constexpr std::size_t kVobuEntrySize = 3;
constexpr unsigned kVobContinuesClock = 0x0080;  // 12 bytes of clock hand-over follow the type

struct Failure {};

// Reads fields of one structure; a field beyond the file ends the parse with a message
// naming the structure and the offset.
struct Reader {
    std::span<const std::uint8_t> file;
    std::string& error;

    void need(std::size_t at, std::size_t length, const std::string& what)
    {
        if (at > file.size() || length > file.size() - at) {
            fail(what, at,
                 "runs past the end of the file (" + std::to_string(length) + " bytes needed, file of " +
                     std::to_string(file.size()) + ")");
        }
    }
    [[noreturn]] void fail(const std::string& what, std::size_t at, const std::string& problem)
    {
        error = what + " at offset " + std::to_string(at) + ": " + problem;
        throw Failure{};
    }
    std::uint32_t u8(std::size_t at, const std::string& what)
    {
        need(at, 1, what);
        return file[at];
    }
    std::uint32_t u16(std::size_t at, const std::string& what)
    {
        need(at, 2, what);
        return be16(file, at);
    }
    std::uint32_t u32(std::size_t at, const std::string& what)
    {
        need(at, 4, what);
        return be32(file, at);
    }
    void count(std::uint32_t value, std::size_t limit, std::size_t at, const std::string& what)
    {
        if (value > limit)
            fail(what, at, std::to_string(value) + " is more than the " + std::to_string(limit) + " allowed");
    }
};

RecordedAt decodeRecordedAt(std::span<const std::uint8_t> b, std::size_t at)
{
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 5; ++i)
        v = v << 8 | b[at + i];
    RecordedAt t;
    t.year = static_cast<unsigned>(v >> 26 & 0x3FFF);
    t.month = static_cast<unsigned>(v >> 22 & 0xF);
    t.day = static_cast<unsigned>(v >> 17 & 0x1F);
    t.hour = static_cast<unsigned>(v >> 12 & 0x1F);
    t.minute = static_cast<unsigned>(v >> 6 & 0x3F);
    t.second = static_cast<unsigned>(v & 0x3F);
    return t;
}

std::string name(const char* structure, std::size_t index)
{
    return std::string(structure) + " " + std::to_string(index);
}

void readMovieTable(Reader& r, std::size_t table, Management& out)
{
    r.need(table, 8, "M_AVFIT");
    std::size_t streams = r.u8(table + 3, "M_AVFIT");
    std::vector<bool> palByStream;
    std::vector<unsigned> aspectByStream;
    std::size_t at = table + 8;
    for (std::size_t s = 0; s < streams; ++s) {
        std::uint32_t video = r.u16(at, name("M_AVFIT stream information", s + 1));
        r.need(at, kStreamInfoSize, name("M_AVFIT stream information", s + 1));
        palByStream.push_back((video >> 12 & 3) == 1);
        aspectByStream.push_back(video >> 10 & 3);
        at += kStreamInfoSize;
    }
    std::uint32_t vobCount = r.u16(at, "M_AVFIT VOB count");
    r.count(vobCount, kMaxVobs, at, "M_AVFIT VOB count");
    r.need(at + 2, std::size_t{4} * vobCount, "M_AVFIT VOB offsets");
    for (std::size_t v = 0; v < vobCount; ++v) {
        std::string what = name("M_VOBI", v + 1);
        std::size_t offset = r.u32(at + 2 + 4 * v, what + " offset");
        std::size_t p = table + offset;
        if (offset >= r.file.size() || p >= r.file.size())
            r.fail(what, at + 2 + 4 * v, "offset " + std::to_string(offset) + " lies outside the file");
        Vob vob;
        vob.type = r.u16(p, what);
        p += 2;
        if (vob.type & kVobContinuesClock)
            p += 12;
        r.need(p, 7 + 12 + 2 + 10, what);
        vob.recordedAt = decodeRecordedAt(r.file, p);
        std::size_t stream = r.file[p + 6];
        if (stream >= 1 && stream <= palByStream.size()) {
            vob.pal = palByStream[stream - 1];
            vob.aspect = aspectByStream[stream - 1];
        }
        vob.startTime = be32(r.file, p + 7);
        vob.endTime = be32(r.file, p + 13);
        p += 7 + 12 + 2;
        std::size_t timeEntries = be16(r.file, p);
        std::size_t vobuEntries = be16(r.file, p + 2);
        vob.firstSector = be32(r.file, p + 6);
        p += 10;
        std::string map = what + " time map";
        r.need(p, timeEntries * kTimeEntrySize + vobuEntries * kVobuEntrySize, map);
        p += timeEntries * kTimeEntrySize;
        vob.vobuSectors.reserve(vobuEntries);
        vob.vobuFields.reserve(vobuEntries);
        for (std::size_t e = 0; e < vobuEntries; ++e, p += kVobuEntrySize) {
            std::uint32_t packed = be16(r.file, p + 1);
            vob.vobuFields.push_back(static_cast<std::uint8_t>(packed >> 10));
            vob.vobuSectors.push_back(static_cast<std::uint16_t>(packed & 0x3FF));
        }
        out.vobs.push_back(std::move(vob));
    }
}

void readProgramChain(Reader& r, std::size_t chain, Management& out)
{
    std::uint32_t programs = r.u16(chain, "ORG_PGCI program count");
    std::uint32_t cells = r.u16(chain + 2, "ORG_PGCI cell count");
    r.count(programs, kMaxPrograms, chain, "ORG_PGCI program count");
    r.count(cells, kMaxCells, chain + 2, "ORG_PGCI cell count");
    std::size_t at = chain + 4;
    r.need(at, kProgramSize * programs, "ORG_PGCI programs");
    std::size_t cellOffsets = at + kProgramSize * programs;
    r.need(cellOffsets, std::size_t{4} * cells, "ORG_PGCI cell offsets");

    std::size_t nextCell = 0;
    for (std::size_t k = 0; k < programs; ++k, at += kProgramSize) {
        std::string what = name("ORG_PGCI program", k + 1);
        Program program;
        std::size_t cellCount = be16(r.file, at + 2);
        if (cellCount == 0 || cellCount > cells - nextCell)
            r.fail(what, at + 2,
                   "names " + std::to_string(cellCount) + " cells, but " + std::to_string(cells - nextCell) +
                       " of the " + std::to_string(cells) + " cells are left");
        auto field = r.file.subspan(at + 4, 64);
        program.nameAscii.assign(field.begin(), field.end());
        field = r.file.subspan(at + 68, 64);
        program.nameText.assign(field.begin(), field.end());
        for (std::size_t c = 0; c < cellCount; ++c, ++nextCell) {
            std::string cellName = name("ORG_PGCI cell", nextCell + 1);
            std::size_t offset = be32(r.file, cellOffsets + 4 * nextCell);
            std::size_t p = chain + offset;
            if (offset >= r.file.size() || p >= r.file.size())
                r.fail(cellName, cellOffsets + 4 * nextCell,
                       "offset " + std::to_string(offset) + " lies outside the file");
            r.need(p, kCellSize, cellName);
            Cell cell;
            cell.vob = be16(r.file, p + 2);
            if (cell.vob == 0 || cell.vob > out.vobs.size())
                r.fail(cellName, p + 2,
                       "plays VOB " + std::to_string(cell.vob) + ", but the movie file table has " +
                           std::to_string(out.vobs.size()));
            cell.startTime = be32(r.file, p + 6);
            cell.endTime = be32(r.file, p + 12);
            program.cells.push_back(cell);
        }
        out.programs.push_back(std::move(program));
    }
}

}  // namespace

std::uint64_t Vob::sectorCount() const
{
    std::uint64_t total = 0;
    for (std::uint16_t s : vobuSectors)
        total += s;
    return total;
}

bool parseManagement(std::span<const std::uint8_t> file, Management& out, std::string& error)
{
    out = Management{};
    Reader r{file, error};
    try {
        r.need(0, kHeaderSize, "header");
        static const char kId[] = "DVD_RTR_VMG0";
        for (std::size_t i = 0; i < 12; ++i) {
            if (file[i] != static_cast<std::uint8_t>(kId[i]))
                r.fail("header", 0, "no \"DVD_RTR_VMG0\" identifier");
        }
        std::uint8_t charset = file[67];
        out.charset = charset == 0x12 ? Charset::ShiftJis : charset == 0x11 ? Charset::Latin1 : Charset::Other;
        out.copyOnceKey = (file[267] & 1) != 0;
        out.zoneMinutes = decodeTimeZone(be16(file, 64));
        std::size_t table = be32(file, 256);
        std::size_t chain = be32(file, 304);
        if (table < kHeaderSize || table >= file.size())
            r.fail("header", 256, "M_AVFIT address " + std::to_string(table) + " lies outside the file");
        readMovieTable(r, table, out);
        if (chain < kHeaderSize || chain >= file.size())
            r.fail("header", 304, "ORG_PGCI address " + std::to_string(chain) + " lies outside the file");
        readProgramChain(r, chain, out);
    } catch (const Failure&) {
        return false;
    }
    return true;
}

VobuRange cellVobus(const Vob& vob, const Cell& cell)
{
    // Times in half ticks of the 90 kHz clock from the VOB's start: an NTSC field lasts
    // 1501.5 ticks, a PAL field 1800. Times before the VOB's start clamp to it; half a
    // field of slack absorbs rounding.
    std::uint64_t field = vob.pal ? 3600 : 3003;
    std::uint64_t slack = field / 2;
    std::uint64_t start = cell.startTime > vob.startTime ? 2ull * (cell.startTime - vob.startTime) : 0;
    std::uint64_t end = cell.endTime > vob.startTime ? 2ull * (cell.endTime - vob.startTime) : 0;
    std::size_t count = vob.vobuSectors.size();
    VobuRange range;
    std::uint64_t at = 0;  // start of VOBU i
    for (std::size_t i = 0; i < count; ++i) {
        if (at <= start + slack)
            range.first = i;
        if (at + slack < end)
            range.end = i + 1;
        at += vob.vobuFields[i] * field;
    }
    if (range.end <= range.first)
        range.end = count == 0 ? 0 : range.first + 1;  // a cell shorter than a VOBU still plays that VOBU
    return range;
}

std::uint64_t vobuTime(const Vob& vob, std::size_t index)
{
    std::uint64_t halfTicks = 0;  // an NTSC field is 1501.5 ticks
    for (std::size_t i = 0; i < index && i < vob.vobuFields.size(); ++i)
        halfTicks += vob.vobuFields[i] * (vob.pal ? 3600u : 3003u);
    return vob.startTime + halfTicks / 2;
}

std::uint64_t vobuSector(const Vob& vob, std::size_t index)
{
    std::uint64_t sector = vob.firstSector;
    for (std::size_t i = 0; i < index && i < vob.vobuSectors.size(); ++i)
        sector += vob.vobuSectors[i];
    return sector;
}

}  // namespace vrsplit

// Writes the sparse image, applies the raw patches and writes the record file.
#include "mkvrdisc.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string g_image_path;

[[noreturn]] void FailIo(const std::string& path)
{
    Fail(path + ": " + std::strerror(errno));
}

void WriteAll(int fd, const uint8_t* p, uint64_t n, uint64_t at)
{
    while (n > 0) {
        ssize_t done = pwrite(fd, p, n, static_cast<off_t>(at));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            FailIo(g_image_path);
        p += done;
        n -= static_cast<uint64_t>(done);
        at += static_cast<uint64_t>(done);
    }
}

void ReadAll(int fd, uint8_t* p, uint64_t n, uint64_t at, const std::string& path)
{
    while (n > 0) {
        ssize_t done = pread(fd, p, n, static_cast<off_t>(at));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            FailIo(path);
        if (done == 0) {  // end of file: the rest reads as zeros
            std::memset(p, 0, n);
            return;
        }
        p += done;
        n -= static_cast<uint64_t>(done);
        at += static_cast<uint64_t>(done);
    }
}

std::map<std::string, int> g_sources;

int Source(const std::string& path)
{
    auto it = g_sources.find(path);
    if (it != g_sources.end())
        return it->second;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        FailIo(path);
    g_sources[path] = fd;
    return fd;
}

// Fills `count` sectors from `first` with the bytes of one data write.
void FillSectors(const DataWrite& w, uint64_t first, uint64_t count, uint8_t* buffer)
{
    uint64_t bytes = std::min(count * kSectorSize, w.length - first * kSectorSize);
    std::memset(buffer, 0, count * kSectorSize);
    switch (w.content.kind) {
        case ContentKind::Packs:
            for (uint64_t i = 0; i < count; ++i)
                FillPack(w.sector + first + i, buffer + i * kSectorSize);
            break;
        case ContentKind::Ifo:
            for (uint64_t i = 0; i < bytes; ++i)
                buffer[i] = IfoByte(w.file_offset + first * kSectorSize + i);
            break;
        case ContentKind::File:
            ReadAll(Source(w.content.path), buffer, bytes, w.file_offset + first * kSectorSize, w.content.path);
            break;
        case ContentKind::Mangr:  // resolved to a file before the layout
        case ContentKind::Zeros:
        case ContentKind::Unset: break;
    }
}

uint64_t PatchSector(const Image& image, const Patch& p)
{
    return p.place.kind == Place::Block ? image.part_start + p.place.value : p.place.value;
}

std::string BaseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// A synthetic MPEG-2 pack: a pack header, the sector's own number at bytes 16 and 2044
// (little-endian), and a fill derived from that number.
void FillPack(uint64_t lba, uint8_t* s)
{
    static const uint8_t kHeader[14] = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                        0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    uint64_t base = 29 * lba + 7 * (lba >> 8) + 3 * (lba >> 16);
    for (uint64_t i = 0; i < kSectorSize; ++i)
        s[i] = static_cast<uint8_t>(i + base);
    std::memcpy(s, kHeader, sizeof kHeader);
    Put32(s + 16, lba);
    Put32(s + 2044, lba);
}

uint8_t IfoByte(uint64_t offset)
{
    static const char kId[] = "DVD_RTR_VMG0";
    if (offset < 12)
        return static_cast<uint8_t>(kId[offset]);
    return static_cast<uint8_t>(7 * offset + offset / kSectorSize);
}

void WriteImage(const Recipe& recipe, const Image& image, const std::string& path)
{
    g_image_path = path;
    uint64_t total = image.sectors * kSectorSize;
    for (const Patch& p : recipe.patches) {
        uint64_t at = PatchSector(image, p) * kSectorSize + p.offset;
        if (at + p.bytes.size() > total)
            FailAt(p.line, "the patch lies beyond the end of the image");
        if (p.fix && PatchSector(image, p) * kSectorSize + p.fix_offset + 16 > total)
            FailAt(p.line, "the tag to fix lies beyond the end of the image");
    }

    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        FailIo(path);
    if (ftruncate(fd, static_cast<off_t>(total)) != 0)
        FailIo(path);

    // Descriptors, coalesced into runs of consecutive sectors.
    std::vector<uint8_t> run;
    uint64_t run_first = 0;
    auto flush = [&]() {
        if (!run.empty())
            WriteAll(fd, run.data(), run.size(), run_first * kSectorSize);
        run.clear();
    };
    for (const auto& [sector, bytes] : image.meta) {
        if (run.empty() || sector != run_first + run.size() / kSectorSize || run.size() >= (1u << 20)) {
            flush();
            run_first = sector;
        }
        run.insert(run.end(), bytes.begin(), bytes.end());
    }
    flush();

    // File content and erased recordings, 512 sectors at a time.
    constexpr uint64_t kChunk = 512;
    std::vector<uint8_t> buffer(kChunk * kSectorSize);
    for (const DataWrite& w : image.writes) {
        uint64_t sectors = (w.length + kSectorSize - 1) / kSectorSize;
        for (uint64_t first = 0; first < sectors; first += kChunk) {
            uint64_t count = std::min(kChunk, sectors - first);
            FillSectors(w, first, count, buffer.data());
            WriteAll(fd, buffer.data(), count * kSectorSize, (w.sector + first) * kSectorSize);
        }
    }
    for (const auto& [name, source] : g_sources)
        close(source);
    g_sources.clear();

    // Raw patches, in recipe order, each optionally followed by a fresh tag checksum and CRC.
    for (const Patch& p : recipe.patches) {
        uint64_t sector = PatchSector(image, p);
        WriteAll(fd, p.bytes.data(), p.bytes.size(), sector * kSectorSize + p.offset);
        if (!p.fix)
            continue;
        uint64_t at = sector * kSectorSize + p.fix_offset;
        std::vector<uint8_t> d(std::min<uint64_t>(16 + 0xFFFF, total - at));
        ReadAll(fd, d.data(), d.size(), at, path);
        RefreshTag(d.data(), d.size());
        WriteAll(fd, d.data(), 16, at);
    }
    if (close(fd) != 0)
        FailIo(path);
}

void WriteRecord(const Recipe& recipe, const Image& image, const std::string& image_path)
{
    std::string record_path = image_path + ".record";
    std::string folder;
    size_t slash = image_path.rfind('/');
    if (slash != std::string::npos)
        folder = image_path.substr(0, slash + 1);
    std::string base = BaseName(image_path);

    std::string out;
    auto line = [&](const std::string& text) { out += text + "\n"; };
    auto n = [](uint64_t v) { return std::to_string(v); };
    line("sectors " + n(image.sectors));
    line("partition " + n(image.part_start) + " " + n(image.part_length));
    if (image.bitmap_none)
        line("bitmap none");
    else if (image.space_table)
        line("table " + n(image.bitmap_block) + " " + n(image.table_length));
    else
        line("bitmap " + n(image.bitmap_block) + " " + n(image.bitmap_nbytes_field));
    if (image.freed_space)
        line("freed-space " + n(image.freed_block) + " " + n(image.freed_length));
    line("fsd " + n(image.fsd_block));
    for (uint64_t a : image.anchors)
        line("anchor " + n(a));
    line("vds " + n(image.vds_main) + " " + n(image.vds_reserve) + " " + n(recipe.vds_length));
    line("lvid " + n(image.lvid));

    for (const Entry& e : recipe.entries) {
        if (e.deleted) {
            line("deleted " + e.path + " " + n(e.fe_block));
            continue;
        }
        std::string form = FormText(e.form);
        if (e.is_dir) {
            std::string data_name = base + ".dir" + n(e.dir_index);
            line("dir " + e.path + " " + n(e.fe_block) + " " + n(e.info_length) + " " + form + " " + data_name);
            std::string data_path = folder + data_name;
            FILE* f = std::fopen(data_path.c_str(), "wb");
            if (!f)
                FailIo(data_path);
            if (!e.data.empty() && std::fwrite(e.data.data(), 1, e.data.size(), f) != e.data.size())
                FailIo(data_path);
            if (std::fclose(f) != 0)
                FailIo(data_path);
        } else {
            line("file " + e.path + " " + n(e.fe_block) + " " + n(e.info_length) + " " + form);
        }
        for (const Ad& ad : e.ads)
            line("extent " + e.path + " " + n(ad.type) + " " + n(ad.block) + " " + n(ad.length));
        for (const Aed& aed : e.aeds)
            line("aed " + e.path + " " + n(aed.block) + " " + n(aed.pointer_length));
    }
    for (const Span& s : image.free_runs)
        line("free " + n(s.first) + " " + n(s.count));
    for (const Span& s : image.freed_runs)
        line("freed " + n(s.first) + " " + n(s.count));
    std::vector<Span> erased;
    for (const Span& s : image.erased_runs) {
        if (!erased.empty() && erased.back().first + erased.back().count == s.first)
            erased.back().count += s.count;
        else
            erased.push_back(s);
    }
    for (const Span& s : erased)
        line("erased " + n(s.first) + " " + n(s.count));
    for (const Patch& p : recipe.patches)
        line("patch " + n(PatchSector(image, p)) + " " + n(p.offset) + " " + n(p.bytes.size()));

    FILE* f = std::fopen(record_path.c_str(), "wb");
    if (!f)
        FailIo(record_path);
    if (std::fwrite(out.data(), 1, out.size(), f) != out.size())
        FailIo(record_path);
    if (std::fclose(f) != 0)
        FailIo(record_path);
}

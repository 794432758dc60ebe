// Places every structure of the recipe on the disc and builds its descriptors.
#include "mkvrdisc.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr uint64_t kIfoSector = 8752;
constexpr uint64_t kIfoSectors = 1360;
constexpr uint64_t kMovieSector = 10112;
constexpr uint64_t kFeFixed = 176;  // File Entry bytes before the extended attributes

struct Claim {
    uint64_t end = 0;
    std::string owner;
    bool allocates = false;  // clears the block's bit in the space bitmap
};

std::map<uint64_t, Claim> g_claims;  // by first sector
uint64_t g_n = 0;                    // sectors in the image
uint64_t g_s = 0, g_l = 0;           // partition start sector and length in blocks

[[noreturn]] void FailLine(int line, const std::string& message)
{
    if (line > 0)
        FailAt(line, message);
    Fail(g_recipe_name + ": " + message);
}

uint64_t Blocks(uint64_t bytes)
{
    return (bytes + kSectorSize - 1) / kSectorSize;
}

// "sector 7" or "sectors 7-9" (unit "block" likewise).
std::string Range(const char* unit, uint64_t first, uint64_t count)
{
    if (count == 1)
        return std::string(unit) + " " + std::to_string(first);
    return std::string(unit) + "s " + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

void ClaimSectors(uint64_t first, uint64_t count, const std::string& owner, bool allocates, int line)
{
    if (count == 0)
        return;
    if (first >= g_n || count > g_n - first)
        FailLine(line, owner + " (" + Range("sector", first, count) + ") lies beyond the end of the image (" +
                           std::to_string(g_n) + " sectors)");
    auto next = g_claims.upper_bound(first);
    auto clash = g_claims.end();
    if (next != g_claims.begin() && std::prev(next)->second.end > first)
        clash = std::prev(next);
    if (clash == g_claims.end() && next != g_claims.end() && next->first < first + count)
        clash = next;
    if (clash != g_claims.end())
        FailLine(line, owner + " (" + Range("sector", first, count) + ") overlaps " + clash->second.owner + " (" +
                           Range("sector", clash->first, clash->second.end - clash->first) + ")");
    g_claims[first] = Claim{first + count, owner, allocates};
}

// Claims partition blocks [block, block + count).
void ClaimBlocks(uint64_t block, uint64_t count, const std::string& owner, bool allocates, int line)
{
    if (count == 0)
        return;
    if (block >= g_l || count > g_l - block)
        FailLine(line, owner + " (" + Range("block", block, count) + ") does not fit in the partition (" +
                           std::to_string(g_l) + " blocks)");
    ClaimSectors(g_s + block, count, owner, allocates, line);
}

// The lowest partition block that starts count unclaimed blocks.
uint64_t FindFree(uint64_t count, const std::string& owner, int line)
{
    uint64_t cursor = g_s;
    for (const auto& [first, claim] : g_claims) {
        if (claim.end <= cursor)
            continue;
        if (first >= cursor + count)
            break;
        cursor = claim.end;
    }
    if (cursor + count > g_s + g_l)
        FailLine(line, "no room for " + owner + " (" + std::to_string(count) + (count == 1 ? " block" : " blocks") +
                           ") in the partition");
    return cursor - g_s;
}

uint64_t ToBlock(const Place& place, const std::string& what, int line)
{
    if (place.kind == Place::Block)
        return place.value;
    if (place.value < g_s)
        FailLine(line, what + " at sector " + std::to_string(place.value) + " lies before the partition (sector " +
                           std::to_string(g_s) + ")");
    return place.value - g_s;
}

uint64_t ToSector(const Place& place)
{
    return place.kind == Place::Block ? g_s + place.value : place.value;
}

const char* FormName(Form form)
{
    switch (form) {
        case Form::Short: return "short";
        case Form::Long: return "long";
        case Form::Ext: return "ext";
        case Form::Embedded: return "embedded";
    }
    return "?";
}

uint64_t AdSize(Form form)
{
    return form == Form::Short ? 8 : form == Form::Long ? 16 : 20;
}

uint64_t FidSize(uint64_t liu, uint64_t name_length)
{
    uint64_t lfi = name_length == 0 ? 0 : name_length + 1;
    return (38 + liu + lfi + 3) / 4 * 4;
}

uint64_t FileSize(const std::string& path, int line)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        FailLine(line, "cannot read content file " + path);
    return static_cast<uint64_t>(st.st_size);
}

// ---- fields ------------------------------------------------------------------------

void PutText(uint8_t* p, const std::string& text, size_t max)
{
    std::memcpy(p, text.data(), std::min(text.size(), max));
}

void PutRegid(uint8_t* p, const std::string& id, uint64_t revision = 0)
{
    PutText(p + 1, id, 23);
    if (revision != 0)
        Put16(p + 24, revision);
}

void PutDstring(uint8_t* p, size_t field, const std::string& text)
{
    if (text.empty())
        return;
    size_t n = std::min(text.size(), field - 2);
    p[0] = 8;
    std::memcpy(p + 1, text.data(), n);
    p[field - 1] = static_cast<uint8_t>(n + 1);
}

void PutCharSet(uint8_t* p)
{
    PutText(p + 1, "OSTA Compressed Unicode", 63);
}

void PutTimestamp(uint8_t* p)
{
    Put16(p + 0, 0x1000);  // local time, offset 0
    Put16(p + 2, 2006);
    p[4] = 3;
    p[5] = 14;
    p[6] = 20;
    p[7] = 15;
}

void PutLongAd(uint8_t* p, uint64_t length, uint64_t block, uint64_t unique_id = 0)
{
    Put32(p, length);
    Put32(p + 4, block);
    Put16(p + 8, 0);
    Put32(p + 12, unique_id);  // implementation use: flags, then the UDF unique id
}

void PutAd(uint8_t* p, Form form, unsigned type, uint64_t block, uint64_t length)
{
    uint64_t field = (uint64_t{type} << 30) | length;
    switch (form) {
        case Form::Short:
            Put32(p, field);
            Put32(p + 4, block);
            break;
        case Form::Long:
            Put32(p, field);
            Put32(p + 4, block);
            break;
        case Form::Ext:
            Put32(p, field);
            Put32(p + 4, type == 0 ? length : 0);  // recorded length
            Put32(p + 8, length);                  // information length
            Put32(p + 12, block);
            break;
        case Form::Embedded: break;
    }
}

// ---- the image under construction ------------------------------------------------------

Image* g_image = nullptr;
uint16_t g_version = 2;
uint64_t g_udf_revision = 0x0102;
const char* kImplementation = "*mkvrdisc";

uint8_t* Sector(uint64_t sector)
{
    std::vector<uint8_t>& s = g_image->meta[sector];
    if (s.empty())
        s.assign(kSectorSize, 0);
    return s.data();
}

void WriteBytes(uint64_t sector, const std::vector<uint8_t>& bytes, uint64_t offset, uint64_t length)
{
    for (uint64_t done = 0; done < length;) {
        uint64_t n = std::min(kSectorSize, length - done);
        std::memcpy(Sector(sector + done / kSectorSize), bytes.data() + offset + done, n);
        done += n;
    }
}

void WriteVrs(uint64_t sector, uint8_t type, const char* id)
{
    uint8_t* p = Sector(sector);
    p[0] = type;
    std::memcpy(p + 1, id, 5);
    p[6] = 1;
}

std::vector<std::vector<uint8_t>> VolumeDescriptors(const Recipe& recipe, uint64_t lvid_extent)
{
    std::vector<std::vector<uint8_t>> seq;
    uint64_t vds_number = 0;

    std::vector<uint8_t> pvd(512, 0);
    Put16(pvd.data(), 1);
    Put32(&pvd[16], vds_number++);
    PutDstring(&pvd[24], 32, recipe.label);
    Put16(&pvd[56], 1);
    Put16(&pvd[58], 1);
    Put16(&pvd[60], 2);
    Put16(&pvd[62], 3);
    Put32(&pvd[64], 1);
    Put32(&pvd[68], 1);
    PutDstring(&pvd[72], 128, "00000000DA7ED15C" + recipe.label);
    PutCharSet(&pvd[200]);
    PutCharSet(&pvd[264]);
    PutRegid(&pvd[344], kImplementation);
    PutTimestamp(&pvd[376]);
    PutRegid(&pvd[388], kImplementation);
    seq.push_back(pvd);

    std::vector<uint8_t> iuvd(512, 0);
    Put16(iuvd.data(), 4);
    Put32(&iuvd[16], vds_number++);
    PutRegid(&iuvd[20], "*UDF LV Info", g_udf_revision);
    PutCharSet(&iuvd[52]);
    PutDstring(&iuvd[116], 128, recipe.label);
    PutRegid(&iuvd[352], kImplementation);
    seq.push_back(iuvd);

    auto pd_of = [&](uint64_t number, uint64_t start, uint64_t length, bool with_header) {
        std::vector<uint8_t> pd(512, 0);
        Put16(pd.data(), 5);
        Put32(&pd[16], vds_number++);
        Put16(&pd[20], 1);  // allocated
        Put16(&pd[22], number);
        PutRegid(&pd[24], recipe.nsr == 2 ? "+NSR02" : "+NSR03");
        if (with_header && g_image->space_table) {
            Put32(&pd[56], g_image->table_length);
            Put32(&pd[60], g_image->bitmap_block);
        } else if (with_header && !g_image->bitmap_none) {
            uint64_t extent = recipe.bitmap_extent_given ? recipe.bitmap_extent : 24 + (g_image->bitmap_bits + 7) / 8;
            Put32(&pd[64], extent);
            Put32(&pd[68], g_image->bitmap_block);
        }
        if (with_header && g_image->freed_space) {
            // The Freed Space Table's short_ad at 24 of the header, the bitmap's at 32.
            uint8_t* freed = &pd[56 + (g_image->space_table ? 24 : 32)];
            Put32(freed, g_image->freed_length);
            Put32(freed + 4, g_image->freed_block);
        }
        Put32(&pd[184], 4);  // overwritable
        Put32(&pd[188], start);
        Put32(&pd[192], length);
        PutRegid(&pd[196], kImplementation);
        return pd;
    };

    auto lvd_of = [&]() {
        std::vector<uint8_t> lvd(446, 0);
        Put16(lvd.data(), 6);
        Put32(&lvd[16], vds_number++);
        PutCharSet(&lvd[20]);
        PutDstring(&lvd[84], 128, recipe.label);
        Put32(&lvd[212], kSectorSize);
        PutRegid(&lvd[216], "*OSTA UDF Compliant", g_udf_revision);
        PutLongAd(&lvd[248], kSectorSize, g_image->fsd_block);
        Put32(&lvd[264], 6);
        Put32(&lvd[268], 1);
        PutRegid(&lvd[272], kImplementation);
        Put32(&lvd[432], 2 * kSectorSize);
        Put32(&lvd[436], lvid_extent);
        lvd[440] = 1;  // type 1 partition map
        lvd[441] = 6;
        Put16(&lvd[442], 1);  // volume sequence number
        Put16(&lvd[444], 0);  // partition number
        return lvd;
    };

    const ExtraPd& extra = recipe.extra_pd;
    if (extra.given && !extra.after)
        seq.push_back(pd_of(extra.number, extra.start, extra.length, false));
    if (recipe.lvd_first) {
        seq.push_back(lvd_of());
        seq.push_back(pd_of(0, g_s, g_l, true));
    } else {
        seq.push_back(pd_of(0, g_s, g_l, true));
        seq.push_back(lvd_of());
    }
    if (extra.given && extra.after)
        seq.push_back(pd_of(extra.number, extra.start, extra.length, false));

    std::vector<uint8_t> usd(24, 0);
    Put16(usd.data(), 7);
    Put32(&usd[16], vds_number++);
    seq.push_back(usd);

    std::vector<uint8_t> td(512, 0);
    Put16(td.data(), 8);
    seq.push_back(td);
    return seq;
}

void WriteSequence(const std::vector<std::vector<uint8_t>>& seq, uint64_t first)
{
    for (size_t i = 0; i < seq.size(); ++i) {
        uint8_t* p = Sector(first + i);
        std::memcpy(p, seq[i].data(), seq[i].size());
        FinishTag(p, Get16(p), g_version, static_cast<uint32_t>(first + i), seq[i].size() - 16);
    }
}

// ---- entries --------------------------------------------------------------------------

void ResolveEntry(Recipe& recipe, Entry& e)
{
    if (e.deleted)
        return;
    bool embedded = e.form == Form::Embedded;
    if (e.is_dir) {
        e.data_length = FidSize(0, 0);
        for (size_t c : e.children) {
            const Entry& child = recipe.entries[c];
            e.data_length += FidSize(child.liu, child.name.size());
        }
        e.info_length = e.size_given ? e.size : e.data_length;
        if (embedded && kFeFixed + e.ea + e.data_length > kSectorSize)
            FailLine(e.line, "the identifiers of " + e.path + " (" + std::to_string(e.data_length) +
                                 " bytes) do not fit in its File Entry");
    } else {
        if (e.content.kind == ContentKind::Unset) {
            e.content.kind = e.name == "VR_MANGR.IFO"   ? ContentKind::Ifo
                             : e.name == "VR_MOVIE.VRO" ? ContentKind::Packs
                                                        : ContentKind::Zeros;
        }
        uint64_t content_size = 0;
        if (e.content.kind == ContentKind::File)
            content_size = FileSize(e.content.path, e.line);
        if (e.at.kind == Place::None && e.extents.empty() && !embedded) {
            if (e.name == "VR_MANGR.IFO")
                e.at = Place{Place::Sector, kIfoSector};
            if (e.name == "VR_MOVIE.VRO")
                e.at = Place{Place::Sector, kMovieSector};
        }
        if (e.size_given) {
            e.info_length = e.size;
        } else if (!e.extents.empty()) {
            for (const ExtentLine& x : e.extents)
                if (!x.is_continue)
                    e.info_length += x.length;
        } else if (e.content.kind == ContentKind::File) {
            e.info_length = content_size;
        } else if (e.name == "VR_MANGR.IFO") {
            e.info_length = kIfoSectors * kSectorSize;
        } else if (e.name == "VR_MOVIE.VRO") {
            uint64_t start = e.at.kind == Place::None ? kMovieSector : ToSector(e.at);
            if (start >= g_s + g_l)
                FailLine(e.line, e.path + " would start at sector " + std::to_string(start) +
                                     ", at or after the end of the partition (sector " + std::to_string(g_s + g_l) +
                                     "); give size= or a larger image");
            e.info_length = (g_s + g_l - start) * kSectorSize;
        }
        if (embedded) {
            if (e.content.kind == ContentKind::Packs)
                FailLine(e.line, "packs cannot be embedded (" + e.path + ")");
            if (kFeFixed + e.ea + e.info_length > kSectorSize)
                FailLine(e.line,
                         e.path + " (" + std::to_string(e.info_length) + " bytes) does not fit in its File Entry");
        }
    }
    if (embedded && (!e.extents.empty() || e.at.kind != Place::None))
        FailLine(e.line, e.path + " is embedded: it takes no at= and no extent lines");
    if (!e.extents.empty() && e.at.kind != Place::None)
        FailLine(e.line, e.path + ": give either at= or extent lines, not both");
}

// Cuts a run of data into descriptors no longer than the longest extent.
void AddChunks(Entry& e, uint64_t block, uint64_t length)
{
    uint64_t offset = 0;
    while (offset < length) {
        uint64_t n = std::min(kMaxAutoExtent, length - offset);
        e.ads.push_back(Ad{0, block + offset / kSectorSize, n, offset, false});
        offset += n;
    }
    e.fe_ad_count = e.ads.size();
}

uint64_t DataLength(const Entry& e)
{
    return e.is_dir ? e.data_length : e.info_length;
}

void ClaimExplicit(Entry& e)
{
    if (e.deleted) {
        if (e.fe.kind != Place::None)
            e.fe_block = ToBlock(e.fe, "the File Entry of deleted " + e.path, e.line);
        return;
    }
    if (e.fe.kind != Place::None) {
        e.fe_block = ToBlock(e.fe, "the File Entry of " + e.path, e.line);
        ClaimBlocks(e.fe_block, 1, "the File Entry of " + e.path, true, e.line);
    }
    if (e.at.kind != Place::None) {
        uint64_t block = ToBlock(e.at, "the data of " + e.path, e.line);
        uint64_t length = DataLength(e);
        ClaimBlocks(block, Blocks(length), "the data of " + e.path, true, e.line);
        AddChunks(e, block, length);
    }
    for (ExtentLine& x : e.extents) {
        if (x.place.kind == Place::Auto || x.place.kind == Place::None)
            continue;
        if (x.is_continue) {
            uint64_t block = ToBlock(x.place, "an allocation extent of " + e.path, x.line);
            ClaimBlocks(block, 1, "an allocation extent of " + e.path, true, x.line);
            x.place = Place{Place::Block, block};
        } else if (x.nodata) {
            if (x.place.kind == Place::Sector && x.place.value < g_s)
                FailLine(x.line, "a nodata extent before the partition needs the form +BLOCK");
            x.place = Place{Place::Block, ToBlock(x.place, "extent", x.line)};
        } else {
            uint64_t block = ToBlock(x.place, "an extent of " + e.path, x.line);
            if (x.type != 2)
                ClaimBlocks(block, Blocks(x.length), "an extent of " + e.path, true, x.line);
            x.place = Place{Place::Block, block};
        }
    }
}

void ClaimAuto(Entry& e)
{
    if (e.deleted)
        return;
    if (e.fe.kind == Place::None || e.fe.kind == Place::Auto) {
        e.fe_block = FindFree(1, "the File Entry of " + e.path, e.line);
        ClaimBlocks(e.fe_block, 1, "the File Entry of " + e.path, true, e.line);
    }
    if (e.form != Form::Embedded && e.extents.empty() && e.at.kind == Place::None && DataLength(e) > 0) {
        uint64_t length = DataLength(e);
        uint64_t block = FindFree(Blocks(length), "the data of " + e.path, e.line);
        ClaimBlocks(block, Blocks(length), "the data of " + e.path, true, e.line);
        AddChunks(e, block, length);
    }
    for (ExtentLine& x : e.extents) {
        if (x.place.kind != Place::Auto)
            continue;
        uint64_t count = x.is_continue ? 1 : Blocks(x.length);
        std::string owner = x.is_continue ? "an allocation extent of " + e.path : "an extent of " + e.path;
        uint64_t block = count == 0 ? 0 : FindFree(count, owner, x.line);
        if (x.type != 2 || x.is_continue)
            ClaimBlocks(block, count, owner, true, x.line);
        x.place = Place{Place::Block, block};
    }
}

// Turns the extent lines into descriptors and continuation extents.
void BuildAds(Entry& e)
{
    if (e.extents.empty())
        return;
    uint64_t offset = 0;
    for (const ExtentLine& x : e.extents) {
        if (x.is_continue) {
            if (e.aeds.empty())
                e.fe_ad_count = e.ads.size();
            Aed aed;
            aed.block = x.place.value;
            aed.pointer_length = x.length;
            aed.first_ad = e.ads.size();
            e.aeds.push_back(aed);
            continue;
        }
        e.ads.push_back(Ad{x.type, x.place.kind == Place::Block ? x.place.value : 0, x.length, offset, x.nodata});
        offset += x.length;
    }
    if (e.aeds.empty())
        e.fe_ad_count = e.ads.size();
    for (size_t i = 0; i < e.aeds.size(); ++i) {
        size_t end = i + 1 < e.aeds.size() ? e.aeds[i + 1].first_ad : e.ads.size();
        e.aeds[i].ad_count = end - e.aeds[i].first_ad;
    }
    if (e.is_dir) {
        uint64_t held = 0;
        for (const Ad& ad : e.ads)
            held += ad.length;
        if (held < e.data_length)
            FailLine(e.line, "the extents of " + e.path + " hold " + std::to_string(held) +
                                 " bytes, its identifiers need " + std::to_string(e.data_length));
    }
    uint64_t size = AdSize(e.form);
    uint64_t in_fe = (e.fe_ad_count + (e.aeds.empty() ? 0 : 1)) * size;
    if (kFeFixed + e.ea + in_fe > kSectorSize)
        FailLine(e.line, "the File Entry of " + e.path + " cannot hold " + std::to_string(in_fe / size) +
                             " allocation descriptors; add continue lines");
    for (size_t i = 0; i < e.aeds.size(); ++i) {
        uint64_t n = e.aeds[i].ad_count + (i + 1 < e.aeds.size() ? 1 : 0);
        if (24 + n * size > kSectorSize)
            FailLine(e.line, "an allocation extent of " + e.path + " cannot hold " + std::to_string(n) +
                                 " allocation descriptors; add continue lines");
    }
}

// Where byte `offset` of an entry's data lies (partition block), for identifier tag locations.
uint64_t BlockOfOffset(const Entry& e, uint64_t offset)
{
    if (e.form == Form::Embedded)
        return e.fe_block;
    for (const Ad& ad : e.ads)
        if (offset >= ad.file_offset && offset - ad.file_offset < ad.length)
            return ad.block + (offset - ad.file_offset) / kSectorSize;
    return 0;
}

void AppendFid(std::vector<uint8_t>& data, const Entry& dir, uint8_t chars, const std::string& name, uint64_t liu,
               uint64_t icb_length, uint64_t icb_block, uint64_t unique_id)
{
    size_t at = data.size();
    uint64_t size = FidSize(liu, name.size());
    data.resize(at + size, 0);
    uint8_t* p = &data[at];
    Put16(p + 16, 1);
    p[18] = chars;
    p[19] = static_cast<uint8_t>(name.empty() ? 0 : name.size() + 1);
    PutLongAd(p + 20, icb_length, icb_block, unique_id);
    Put16(p + 36, liu);
    if (liu >= 32)
        PutRegid(p + 38, kImplementation);
    if (!name.empty()) {
        p[38 + liu] = 8;
        std::memcpy(p + 39 + liu, name.data(), name.size());
    }
    FinishTag(p, 257, g_version, static_cast<uint32_t>(BlockOfOffset(dir, at)), size - 16);
}

void BuildDirData(const Recipe& recipe, Entry& e)
{
    const Entry& parent = recipe.entries[e.parent];
    AppendFid(e.data, e, 10, "", 0, kSectorSize, parent.fe_block, parent.unique_id);
    for (size_t c : e.children) {
        const Entry& child = recipe.entries[c];
        uint8_t chars = child.is_dir ? 2 : 0;
        if (child.deleted)
            chars = static_cast<uint8_t>(chars | 4);
        if (child.chars >= 0)
            chars = static_cast<uint8_t>(child.chars);
        bool no_icb = child.deleted && child.fe.kind == Place::None;
        AppendFid(e.data, e, chars, child.name, child.liu, no_icb ? 0 : kSectorSize, child.fe_block,
                  child.deleted ? 0 : child.unique_id);
    }
}

void WriteAdList(uint8_t* p, const Entry& e, size_t first, size_t count, const Aed* next)
{
    uint64_t size = AdSize(e.form);
    for (size_t i = 0; i < count; ++i) {
        const Ad& ad = e.ads[first + i];
        PutAd(p + i * size, e.form, ad.type, ad.block, ad.length);
    }
    if (next)
        PutAd(p + count * size, e.form, 3, next->block, next->pointer_length);
}

void BuildFileEntry(const Recipe& recipe, const Entry& e)
{
    uint8_t* p = Sector(g_s + e.fe_block);
    uint64_t recorded = 0;
    for (const Ad& ad : e.ads)
        if (ad.type != 2)
            recorded += Blocks(ad.length);
    uint64_t links = 1;
    if (e.is_dir)
        for (size_t c : e.children)
            if (recipe.entries[c].is_dir && !recipe.entries[c].deleted)
                ++links;

    Put16(p + 20, 4);  // strategy
    Put16(p + 24, 1);  // maximum number of entries
    p[27] = e.is_dir ? 4 : 5;
    unsigned ad_type = e.form == Form::Short ? 0 : e.form == Form::Long ? 1 : e.form == Form::Ext ? 2 : 3;
    Put16(p + 34, ad_type);
    Put32(p + 36, 0xFFFFFFFF);
    Put32(p + 40, 0xFFFFFFFF);
    Put32(p + 44, e.is_dir ? 0x7CA5 : 0x7884);
    Put16(p + 48, links);
    Put64(p + 56, e.info_length);
    Put64(p + 64, recorded);
    PutTimestamp(p + 72);
    PutTimestamp(p + 84);
    PutTimestamp(p + 96);
    Put32(p + 108, 1);
    PutRegid(p + 128, kImplementation);
    Put64(p + 160, e.unique_id);
    Put32(p + 168, e.ea);
    uint8_t* area = p + kFeFixed + e.ea;
    if (e.ea > 0) {
        uint8_t* h = p + kFeFixed;
        Put32(h + 16, e.ea);
        Put32(h + 20, e.ea);
        FinishTag(h, 262, g_version, static_cast<uint32_t>(e.fe_block), 8);
    }
    uint64_t lad = 0;
    if (e.form == Form::Embedded) {
        lad = e.is_dir ? e.data_length : e.info_length;
        if (lad > 0)
            std::memcpy(area, e.data.data(), lad);
    } else {
        lad = (e.fe_ad_count + (e.aeds.empty() ? 0 : 1)) * AdSize(e.form);
        WriteAdList(area, e, 0, e.fe_ad_count, e.aeds.empty() ? nullptr : &e.aeds[0]);
    }
    Put32(p + 172, lad);
    FinishTag(p, 261, g_version, static_cast<uint32_t>(e.fe_block), kFeFixed + e.ea + lad - 16);

    uint64_t previous = e.fe_block;
    for (size_t i = 0; i < e.aeds.size(); ++i) {
        const Aed& aed = e.aeds[i];
        uint8_t* q = Sector(g_s + aed.block);
        const Aed* next = i + 1 < e.aeds.size() ? &e.aeds[i + 1] : nullptr;
        uint64_t n = (aed.ad_count + (next ? 1 : 0)) * AdSize(e.form);
        Put32(q + 16, previous);
        Put32(q + 20, n);
        WriteAdList(q + 24, e, aed.first_ad, aed.ad_count, next);
        FinishTag(q, 258, g_version, static_cast<uint32_t>(aed.block), 8 + n);
        previous = aed.block;
    }
}

void FillEmbeddedContent(Entry& e)
{
    e.data.assign(e.info_length, 0);
    if (e.content.kind == ContentKind::Ifo) {
        for (uint64_t i = 0; i < e.info_length; ++i)
            e.data[i] = IfoByte(i);
    } else if (e.content.kind == ContentKind::File) {
        FILE* f = std::fopen(e.content.path.c_str(), "rb");
        if (!f)
            FailLine(e.line, "cannot read content file " + e.content.path);
        size_t got = std::fread(e.data.data(), 1, e.data.size(), f);
        (void)got;  // a shorter file leaves zeros
        std::fclose(f);
    }
}

}  // namespace

Image BuildLayout(Recipe& recipe)
{
    Image image;
    g_image = &image;
    g_claims.clear();
    g_n = image.sectors = recipe.sectors;
    g_version = recipe.nsr == 2 ? 2 : 3;
    g_udf_revision = recipe.nsr == 2 ? 0x0102 : 0x0201;
    if (g_n < 300)
        Fail(g_recipe_name + ": an image needs at least 300 sectors");

    // Volume structures outside the partition.
    unsigned k = recipe.iso9660;
    ClaimSectors(16, k + 3, "the volume recognition sequence", false, 0);
    auto resolve = [&](const SectorRef& ref, const std::string& what) {
        if (ref.from_end && ref.value >= g_n)
            Fail(g_recipe_name + ": " + what + " at last-" + std::to_string(ref.value) + " lies before the image");
        return ref.from_end ? g_n - 1 - ref.value : ref.value;
    };
    for (const SectorRef& a : recipe.anchors) {
        uint64_t sector = resolve(a, "an anchor");
        ClaimSectors(sector, 1, "the anchor at sector " + std::to_string(sector), false, 0);
        image.anchors.push_back(sector);
    }
    image.vds_main = resolve(recipe.vds_main, "the main volume descriptor sequence");
    image.vds_reserve = resolve(recipe.vds_reserve, "the reserve volume descriptor sequence");
    image.lvid = resolve(recipe.lvid, "the logical volume integrity sequence");
    uint64_t seq_length = 6 + (recipe.extra_pd.given ? 1 : 0);
    uint64_t seq_claim = std::max(seq_length, Blocks(recipe.vds_length));
    ClaimSectors(image.vds_main, seq_claim, "the main volume descriptor sequence", false, 0);
    ClaimSectors(image.vds_reserve, seq_claim, "the reserve volume descriptor sequence", false, 0);
    ClaimSectors(image.lvid, 2, "the logical volume integrity sequence", false, 0);

    // The partition.
    g_s = image.part_start = recipe.part_start;
    if (g_s >= g_n)
        Fail(g_recipe_name + ": the partition starts at or after the end of the image");
    if (recipe.part_length_given) {
        g_l = recipe.part_length;
        if (g_l > g_n - g_s)
            Fail(g_recipe_name + ": the partition (" + Range("sector", g_s, g_l) + ") ends beyond the image (" +
                 std::to_string(g_n) + " sectors)");
        auto it = g_claims.upper_bound(g_s);
        if (it != g_claims.begin() && std::prev(it)->second.end > g_s)
            it = std::prev(it);
        if (it != g_claims.end() && it->first < g_s + g_l)
            Fail(g_recipe_name + ": the partition (" + Range("sector", g_s, g_l) + ") overlaps " + it->second.owner);
    } else {
        auto it = g_claims.upper_bound(g_s);
        if (it != g_claims.begin() && std::prev(it)->second.end > g_s)
            Fail(g_recipe_name + ": the partition start " + std::to_string(g_s) + " lies in " +
                 std::prev(it)->second.owner);
        g_l = (it == g_claims.end() ? g_n : it->first) - g_s;
    }
    image.part_length = g_l;

    // The space bitmap.
    image.bitmap_none = recipe.bitmap_none;
    image.space_table = recipe.space_table && !recipe.bitmap_none;
    image.bitmap_bits = recipe.bitmap_bits_given ? recipe.bitmap_bits : g_l;
    if (image.bitmap_bits > g_l)
        Fail(g_recipe_name + ": bitmap-bits " + std::to_string(image.bitmap_bits) + " exceeds the partition length " +
             std::to_string(g_l));
    uint64_t nbytes = (image.bitmap_bits + 7) / 8;
    image.bitmap_nbytes_field = recipe.bitmap_nbytes_given ? recipe.bitmap_nbytes : nbytes;
    uint64_t sbd_blocks = image.space_table ? 1 : Blocks(24 + nbytes);
    if (!image.bitmap_none) {
        image.bitmap_block = ToBlock(recipe.bitmap, "the space bitmap", 0);
        ClaimBlocks(image.bitmap_block, sbd_blocks, "the space bitmap", true, 0);
    }

    // Sizes, then everything placed by the recipe, then everything placed automatically.
    uint64_t unique = 16;
    for (Entry& e : recipe.entries) {
        if (e.deleted)
            continue;
        e.unique_id = e.path == "/" ? 0 : unique++;
    }
    for (Entry& e : recipe.entries)
        ResolveEntry(recipe, e);
    if (recipe.fsd.kind != Place::Auto) {
        image.fsd_block = ToBlock(recipe.fsd, "the file set descriptor", 0);
        ClaimBlocks(image.fsd_block, 1, "the file set descriptor", true, 0);
    }
    for (Entry& e : recipe.entries)
        ClaimExplicit(e);
    for (Erased& x : recipe.erased) {
        x.sector = ToSector(x.place);
        if (!x.length_given) {
            if (x.content.kind != ContentKind::File)
                FailLine(x.line, "erased packs need a length");
            x.length = FileSize(x.content.path, x.line);
            if (x.length == 0)
                FailLine(x.line, "the erased recording's content file is empty");
        }
        if (x.sector < g_s || x.sector - g_s >= g_l || Blocks(x.length) > g_l - (x.sector - g_s))
            FailLine(x.line, "the erased recording (" + Range("sector", x.sector, Blocks(x.length)) +
                                 ") does not lie in the partition (" + Range("sector", g_s, g_l) + ")");
        ClaimSectors(x.sector, Blocks(x.length), "the erased recording of line " + std::to_string(x.line), false,
                     x.line);
        image.erased_runs.push_back(Span{x.sector - g_s, Blocks(x.length)});
    }
    image.freed_space = !recipe.freed.empty();
    if (image.freed_space) {
        if (image.bitmap_none)
            FailAt(recipe.freed[0].line, "there is no bitmap or table to free blocks from");
        image.freed_block = FindFree(sbd_blocks, "the freed space descriptor", 0);
        ClaimBlocks(image.freed_block, sbd_blocks, "the freed space descriptor", true, 0);
    }
    if (recipe.fsd.kind == Place::Auto) {
        image.fsd_block = FindFree(1, "the file set descriptor", 0);
        ClaimBlocks(image.fsd_block, 1, "the file set descriptor", true, 0);
    }
    for (Entry& e : recipe.entries)
        ClaimAuto(e);
    for (Entry& e : recipe.entries) {
        if (e.deleted)
            continue;
        BuildAds(e);
    }

    // The bitmap: a set bit is a free block.
    std::vector<bool> allocated(g_l, false);
    for (const auto& [first, claim] : g_claims) {
        if (!claim.allocates)
            continue;
        for (uint64_t s = first; s < claim.end; ++s)
            allocated[s - g_s] = true;
    }
    std::vector<bool> bits(image.bitmap_bits, false);
    for (uint64_t b = 0; b < image.bitmap_bits; ++b)
        bits[b] = !allocated[b];
    for (const Mark& m : recipe.marks) {
        if (image.bitmap_none)
            FailAt(m.line, "there is no bitmap to mark");
        uint64_t block = ToBlock(m.place, "the marked blocks", m.line);
        if (block >= image.bitmap_bits || m.count > image.bitmap_bits - block)
            FailAt(m.line, Range("block", block, m.count) + (m.count == 1 ? " lies" : " lie") + " beyond the bitmap (" +
                               std::to_string(image.bitmap_bits) + " bits)");
        for (uint64_t b = block; b < block + m.count; ++b)
            bits[b] = m.free;
    }
    // Freed blocks leave the unallocated space for the freed space.
    std::vector<bool> freed(image.bitmap_bits, false);
    for (const Mark& m : recipe.freed) {
        uint64_t block = ToBlock(m.place, "the freed blocks", m.line);
        if (block >= image.bitmap_bits || m.count > image.bitmap_bits - block)
            FailAt(m.line, Range("block", block, m.count) + (m.count == 1 ? " lies" : " lie") + " beyond the bitmap (" +
                               std::to_string(image.bitmap_bits) + " bits)");
        for (uint64_t b = block; b < block + m.count; ++b) {
            bits[b] = false;
            freed[b] = true;
        }
    }
    // The runs of set bits, the bitmap descriptor of those bits, and the
    // table (an Unallocated Space Entry: an ICB tag of file type 1 and
    // short_ads, one per run; an extent holds at most 2^30 - 2048 bytes,
    // so longer runs are cut) at `block`.
    auto runs_of = [](const std::vector<bool>& set) {
        std::vector<Span> runs;
        for (uint64_t b = 0; b < set.size(); ++b) {
            if (!set[b])
                continue;
            if (!runs.empty() && runs.back().first + runs.back().count == b)
                ++runs.back().count;
            else
                runs.push_back(Span{b, 1});
        }
        return runs;
    };
    auto bitmap_of = [&](const std::vector<bool>& set, uint64_t block) {
        std::vector<uint8_t> sbd(24 + nbytes, 0);
        for (uint64_t b = 0; b < set.size(); ++b)
            if (set[b])
                sbd[24 + b / 8] = static_cast<uint8_t>(sbd[24 + b / 8] | (1u << (b % 8)));
        Put32(&sbd[16], image.bitmap_bits);
        Put32(&sbd[20], image.bitmap_nbytes_field);
        FinishTag(sbd.data(), 264, g_version, static_cast<uint32_t>(block), 8);
        return sbd;
    };
    auto table_of = [&](const std::vector<Span>& runs, uint64_t block) {
        std::vector<Span> extents;
        for (const Span& run : runs)
            for (uint64_t done = 0; done < run.count; done += 524287)
                extents.push_back(Span{run.first + done, std::min<uint64_t>(524287, run.count - done)});
        std::vector<uint8_t> table(40 + 8 * extents.size(), 0);
        if (table.size() > 2048)
            Fail(g_recipe_name + ": " + std::to_string(extents.size()) +
                 " free extents do not fit in a space table (at most 251)");
        Put16(&table[16 + 4], 4);  // strategy type
        Put16(&table[16 + 8], 1);  // maximum number of entries
        Put8(&table[16 + 11], 1);  // file type: Unallocated Space Entry
        Put32(&table[36], 8 * extents.size());
        for (size_t i = 0; i < extents.size(); ++i) {
            Put32(&table[40 + 8 * i], extents[i].count * 2048);
            Put32(&table[44 + 8 * i], extents[i].first);
        }
        FinishTag(table.data(), 263, g_version, static_cast<uint32_t>(block), table.size() - 16);
        return table;
    };
    uint64_t free_count = 0;
    if (image.bitmap_none) {
        for (bool a : allocated)
            free_count += a ? 0 : 1;
    } else {
        for (bool b : bits)
            free_count += b ? 1 : 0;
        image.free_runs = runs_of(bits);
        image.freed_runs = runs_of(freed);
        std::vector<uint8_t> space =
            image.space_table ? table_of(image.free_runs, image.bitmap_block) : bitmap_of(bits, image.bitmap_block);
        if (image.space_table)
            image.table_length = space.size();
        WriteBytes(g_s + image.bitmap_block, space, 0, space.size());
        if (image.freed_space) {
            std::vector<uint8_t> freed_space =
                image.space_table ? table_of(image.freed_runs, image.freed_block) : bitmap_of(freed, image.freed_block);
            image.freed_length = freed_space.size();
            WriteBytes(g_s + image.freed_block, freed_space, 0, freed_space.size());
        }
    }
    std::sort(image.erased_runs.begin(), image.erased_runs.end(),
              [](const Span& a, const Span& b) { return a.first < b.first; });

    // Volume recognition, anchors, volume descriptors, integrity.
    for (unsigned i = 0; i < k; ++i)
        WriteVrs(16 + i, i + 1 == k ? 255 : 1, "CD001");
    WriteVrs(16 + k, 0, "BEA01");
    WriteVrs(17 + k, 0, recipe.nsr == 2 ? "NSR02" : "NSR03");
    WriteVrs(18 + k, 0, "TEA01");
    for (uint64_t sector : image.anchors) {
        uint8_t* p = Sector(sector);
        Put32(p + 16, recipe.vds_length);
        Put32(p + 20, image.vds_main);
        Put32(p + 24, recipe.vds_length);
        Put32(p + 28, image.vds_reserve);
        FinishTag(p, 2, g_version, static_cast<uint32_t>(sector), 496);
    }
    std::vector<std::vector<uint8_t>> seq = VolumeDescriptors(recipe, image.lvid);
    WriteSequence(seq, image.vds_main);
    WriteSequence(seq, image.vds_reserve);

    uint64_t files = 0, dirs = 0;
    for (const Entry& e : recipe.entries) {
        if (e.deleted)
            continue;
        if (e.is_dir)
            ++dirs;
        else
            ++files;
    }
    {
        uint8_t* p = Sector(image.lvid);
        PutTimestamp(p + 16);
        Put32(p + 28, 1);  // closed
        Put64(p + 40, unique);
        Put32(p + 72, 1);
        Put32(p + 76, 46);
        Put32(p + 80, free_count);
        Put32(p + 84, g_l);
        uint8_t* iu = p + 88;
        PutRegid(iu, kImplementation);
        Put32(iu + 32, files);
        Put32(iu + 36, dirs);
        Put16(iu + 40, g_udf_revision);
        Put16(iu + 42, g_udf_revision);
        Put16(iu + 44, g_udf_revision);
        FinishTag(p, 9, g_version, static_cast<uint32_t>(image.lvid), 88 + 46 - 16);
        uint8_t* t = Sector(image.lvid + 1);
        FinishTag(t, 8, g_version, static_cast<uint32_t>(image.lvid + 1), 496);
    }

    // The file set, File Entries, directories and file data.
    {
        uint8_t* p = Sector(g_s + image.fsd_block);
        PutTimestamp(p + 16);
        Put16(p + 28, 3);
        Put16(p + 30, 3);
        Put32(p + 32, 1);
        Put32(p + 36, 1);
        PutCharSet(p + 48);
        PutDstring(p + 112, 128, recipe.label);
        PutCharSet(p + 240);
        PutDstring(p + 304, 32, recipe.label);
        PutLongAd(p + 400, kSectorSize, recipe.entries[0].fe_block);
        PutRegid(p + 416, "*OSTA UDF Compliant", g_udf_revision);
        FinishTag(p, 256, g_version, static_cast<uint32_t>(image.fsd_block), 512 - 16);
    }
    size_t dir_index = 0;
    for (Entry& e : recipe.entries) {
        if (e.deleted)
            continue;
        if (e.is_dir) {
            e.dir_index = dir_index++;
            BuildDirData(recipe, e);
            for (const Ad& ad : e.ads) {
                if (ad.type != 0 || ad.nodata || ad.file_offset >= e.data.size())
                    continue;
                uint64_t n = std::min(ad.length, e.data.size() - ad.file_offset);
                WriteBytes(g_s + ad.block, e.data, ad.file_offset, n);
            }
        } else if (e.form == Form::Embedded) {
            FillEmbeddedContent(e);
        } else if (e.content.kind != ContentKind::Zeros) {
            for (const Ad& ad : e.ads) {
                if (ad.type != 0 || ad.nodata || ad.length == 0)
                    continue;
                image.writes.push_back(DataWrite{g_s + ad.block, ad.length, e.content, ad.file_offset});
            }
        }
        BuildFileEntry(recipe, e);
    }
    for (const Erased& x : recipe.erased)
        image.writes.push_back(DataWrite{x.sector, x.length, x.content, 0});
    return image;
}

std::string FormText(Form form)
{
    return FormName(form);
}

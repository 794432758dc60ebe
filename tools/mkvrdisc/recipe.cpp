// The recipe language: one directive per line, words separated by blanks, '#' starts a comment.
#include "mkvrdisc.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace {

int g_line = 0;

[[noreturn]] void Bad(const std::string& message)
{
    FailAt(g_line, message);
}

std::vector<std::string> SplitWords(const std::string& line)
{
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i <= line.size(); ++i) {
        char c = i < line.size() ? line[i] : ' ';
        if (c == '#' && word.empty())
            break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    return words;
}

// Decimal, or hexadecimal with 0x.
bool ToNumber(const std::string& text, uint64_t& value)
{
    if (text.empty())
        return false;
    uint64_t base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    value = 0;
    for (; i < text.size(); ++i) {
        int c = static_cast<unsigned char>(text[i]);
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (base == 16 && std::isxdigit(c))
            digit = static_cast<uint64_t>(std::tolower(c) - 'a' + 10);
        else
            return false;
        if (value > (UINT64_MAX - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

uint64_t Number(const std::string& text, const std::string& what, uint64_t max = UINT64_MAX)
{
    uint64_t value = 0;
    if (!ToNumber(text, value))
        Bad("bad " + what + " '" + text + "' (expected a number)");
    if (value > max)
        Bad(what + " " + text + " is too large (at most " + std::to_string(max) + ")");
    return value;
}

// Bytes, or sectors with the suffix 's'.
uint64_t Size(const std::string& text, const std::string& what, uint64_t max = UINT64_MAX)
{
    uint64_t value = 0;
    bool sectors = !text.empty() && text.back() == 's';
    std::string digits = sectors ? text.substr(0, text.size() - 1) : text;
    if (!ToNumber(digits, value))
        Bad("bad " + what + " '" + text + "' (expected bytes, or sectors with the suffix s)");
    if (sectors) {
        if (value > UINT64_MAX / kSectorSize)
            Bad(what + " " + text + " is too large");
        value *= kSectorSize;
    }
    if (value > max)
        Bad(what + " " + text + " is too large (at most " + std::to_string(max) + " bytes)");
    return value;
}

Place ParsePlace(const std::string& text, const std::string& what, bool allow_auto)
{
    Place place;
    if (text == "auto" && allow_auto) {
        place.kind = Place::Auto;
    } else if (!text.empty() && text[0] == '+') {
        place.kind = Place::Block;
        place.value = Number(text.substr(1), what, kMaxSectors);
    } else {
        place.kind = Place::Sector;
        uint64_t value = 0;
        if (!ToNumber(text, value))
            Bad("bad " + what + " '" + text + "' (expected a sector number or +BLOCK" +
                (allow_auto ? " or auto)" : ")"));
        if (value > kMaxSectors)
            Bad(what + " " + text + " is too large");
        place.value = value;
    }
    return place;
}

SectorRef ParseSectorRef(const std::string& text, const std::string& what)
{
    SectorRef ref;
    if (text == "last") {
        ref.from_end = true;
    } else if (text.rfind("last-", 0) == 0) {
        ref.from_end = true;
        ref.value = Number(text.substr(5), what, kMaxSectors);
    } else {
        ref.value = Number(text, what, kMaxSectors);
    }
    return ref;
}

Content ParseContent(const std::string& text, const Recipe& recipe)
{
    Content content;
    if (text == "ifo") {
        content.kind = ContentKind::Ifo;
    } else if (text == "packs") {
        content.kind = ContentKind::Packs;
    } else if (text == "zeros") {
        content.kind = ContentKind::Zeros;
    } else if (text == "mangr") {
        content.kind = ContentKind::Mangr;
    } else if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        content.kind = ContentKind::File;
        content.path = text.substr(5);
        if (content.path[0] != '/')
            content.path = recipe.base_dir + "/" + content.path;
    } else {
        Bad("bad content '" + text + "' (expected ifo, packs, zeros, mangr or file:PATH)");
    }
    return content;
}

Form ParseForm(const std::string& text)
{
    if (text == "short")
        return Form::Short;
    if (text == "long")
        return Form::Long;
    if (text == "ext")
        return Form::Ext;
    if (text == "embedded")
        return Form::Embedded;
    Bad("bad form '" + text + "' (expected short, long, ext or embedded)");
}

bool SplitOption(const std::string& word, std::string& key, std::string& value)
{
    size_t eq = word.find('=');
    if (eq == std::string::npos)
        return false;
    key = word.substr(0, eq);
    value = word.substr(eq + 1);
    return true;
}

void CheckName(const std::string& name, const std::string& path)
{
    if (name.empty())
        Bad("bad path '" + path + "' (empty name)");
    if (name.size() > 254)
        Bad("name '" + name + "' is longer than 254 characters");
    if (name == "." || name == "..")
        Bad("bad path '" + path + "'");
    for (char c : name)
        if (c < 0x21 || c > 0x7E)
            Bad("name in '" + path + "' has a character that is not printable ASCII");
}

size_t FindEntry(const Recipe& recipe, const std::string& path)
{
    for (size_t i = 0; i < recipe.entries.size(); ++i)
        if (!recipe.entries[i].deleted && recipe.entries[i].path == path)
            return i;
    return SIZE_MAX;
}

// Adds a directory, file or deleted entry below its parent, after the parent's other entries.
size_t AddEntry(Recipe& recipe, const std::string& path, bool is_dir, bool deleted)
{
    if (path.empty() || path[0] != '/')
        Bad("bad path '" + path + "' (must start with /)");
    if (path.size() > 1 && path.back() == '/')
        Bad("bad path '" + path + "' (ends with /)");
    size_t slash = path.rfind('/');
    std::string parent_path = slash == 0 ? "/" : path.substr(0, slash);
    std::string name = path.substr(slash + 1);
    CheckName(name, path);
    size_t parent = FindEntry(recipe, parent_path);
    if (parent == SIZE_MAX || !recipe.entries[parent].is_dir)
        Bad("parent directory " + parent_path + " of " + path + " is not declared (add 'dir " + parent_path +
            "' before this line)");
    if (!deleted && FindEntry(recipe, path) != SIZE_MAX)
        Bad(path + " is declared twice");
    Entry entry;
    entry.path = path;
    entry.name = name;
    entry.line = g_line;
    entry.is_dir = is_dir;
    entry.deleted = deleted;
    entry.parent = parent;
    recipe.entries.push_back(entry);
    size_t index = recipe.entries.size() - 1;
    recipe.entries[parent].children.push_back(index);
    return index;
}

void ParseEntryOptions(Recipe& recipe, Entry& entry, const std::vector<std::string>& words, size_t first)
{
    for (size_t i = first; i < words.size(); ++i) {
        std::string key, value;
        if (entry.deleted && words[i] == "dir") {
            entry.is_dir = true;
            continue;
        }
        if (!SplitOption(words[i], key, value))
            Bad("unexpected word '" + words[i] + "' (expected KEY=VALUE)");
        bool is_root = entry.path == "/";
        if (key == "fe") {
            entry.fe = ParsePlace(value, "fe", false);
        } else if (key == "liu" && !is_root) {
            entry.liu = Number(value, "liu", 1024);
        } else if (key == "chars" && !is_root) {
            entry.chars = static_cast<int>(Number(value, "chars", 255));
        } else if (entry.deleted) {
            Bad("option '" + key + "' does not apply to a deleted entry (fe=, liu=, chars= and dir do)");
        } else if (key == "form") {
            entry.form = ParseForm(value);
            entry.form_given = true;
        } else if (key == "at") {
            entry.at = ParsePlace(value, "at", false);
        } else if (key == "size") {
            entry.size = Size(value, "size", kMaxSectors * kSectorSize);
            entry.size_given = true;
        } else if (key == "ea") {
            entry.ea = Number(value, "ea", 1024);
            if (entry.ea != 0 && (entry.ea < 24 || entry.ea % 4 != 0))
                Bad("ea=" + value + ": the extended attribute space is 0 or at least 24 bytes, a multiple of 4");
        } else if (key == "content" && !entry.is_dir) {
            entry.content = ParseContent(value, recipe);
        } else {
            Bad("unknown option '" + key + "' for " + (entry.is_dir ? "dir" : "file"));
        }
    }
}

void Need(const std::vector<std::string>& words, size_t min, size_t max, const std::string& usage)
{
    if (words.size() < min || words.size() > max)
        Bad("usage: " + usage);
}

// Trailing "fix" or "fix=OFFSET" of patch and set.
void ParseFix(Patch& patch, const std::vector<std::string>& words, size_t index)
{
    if (index >= words.size())
        return;
    const std::string& w = words[index];
    if (w == "nofix")
        return;
    if (w == "fix") {
        patch.fix = true;
        patch.fix_offset = 0;
    } else if (w.rfind("fix=", 0) == 0) {
        patch.fix = true;
        patch.fix_offset = Number(w.substr(4), "fix offset", kSectorSize * 1024);
    } else {
        Bad("unexpected word '" + w + "' (expected fix, fix=OFFSET or nofix)");
    }
}

// The directory that relative 'file' paths of a recipe start from: the recipe
// file's own directory, "." for standard input or a bare file name.
std::string RecipeDirectory(const std::string& recipe_name)
{
    if (recipe_name == "-")
        return ".";
    size_t slash = recipe_name.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return recipe_name.substr(0, slash);
}

void AddDefaultTree(Recipe& recipe)
{
    int saved = g_line;
    g_line = 0;
    AddEntry(recipe, "/DVD_RTAV", true, false);
    AddEntry(recipe, "/DVD_RTAV/VR_MANGR.IFO", false, false);
    AddEntry(recipe, "/DVD_RTAV/VR_MOVIE.VRO", false, false);
    g_line = saved;
}

}  // namespace

Recipe ParseRecipe(const std::string& text)
{
    Recipe recipe;
    recipe.base_dir = RecipeDirectory(g_recipe_name);

    Entry root;
    root.path = "/";
    root.is_dir = true;
    recipe.entries.push_back(root);
    bool root_declared = false;
    size_t current = SIZE_MAX;  // the entry that 'extent' and 'continue' lines describe
    bool anchors_given = false, vds_given = false, order_given = false, bitmap_given = false;

    std::istringstream in(text);
    std::string line;
    g_line = 0;
    while (std::getline(in, line)) {
        ++g_line;
        if (line.find('\0') != std::string::npos)
            Bad("the recipe holds a NUL byte");
        std::vector<std::string> w = SplitWords(line);
        if (w.empty())
            continue;
        const std::string& d = w[0];
        if (d != "extent" && d != "continue")
            current = SIZE_MAX;

        if (d == "sectors" || d == "size") {
            Need(w, 2, 2, d + " N");
            recipe.sectors = Number(w[1], "sector count", kMaxSectors);
            recipe.sectors_given = true;
        } else if (d == "label") {
            Need(w, 2, 2, "label NAME");
            if (w[1].size() > 30)
                Bad("label is longer than 30 characters");
            recipe.label = w[1];
        } else if (d == "iso9660") {
            Need(w, 2, 2, "iso9660 K");
            recipe.iso9660 = static_cast<unsigned>(Number(w[1], "iso9660 sector count", 200));
            if (recipe.iso9660 == 1)
                Bad("iso9660 needs 0 or at least 2 sectors (descriptors and a terminator)");
        } else if (d == "nsr") {
            Need(w, 2, 2, "nsr 2|3");
            if (w[1] != "2" && w[1] != "3")
                Bad("nsr must be 2 or 3");
            recipe.nsr = w[1] == "2" ? 2 : 3;
        } else if (d == "anchors") {
            if (anchors_given)
                Bad("anchors given twice");
            anchors_given = true;
            Need(w, 2, 9, "anchors SECTOR|last|last-N ...");
            recipe.anchors.clear();
            for (size_t i = 1; i < w.size(); ++i)
                recipe.anchors.push_back(ParseSectorRef(w[i], "anchor sector"));
        } else if (d == "vds") {
            if (vds_given)
                Bad("vds given twice");
            vds_given = true;
            Need(w, 3, 3, "vds MAIN RESERVE (sector numbers or last-N)");
            recipe.vds_main = ParseSectorRef(w[1], "main sequence sector");
            recipe.vds_reserve = ParseSectorRef(w[2], "reserve sequence sector");
        } else if (d == "vds-length") {
            Need(w, 2, 2, "vds-length BYTES");
            recipe.vds_length = Size(w[1], "vds-length", 0xFFFFFFFF);
        } else if (d == "vds-order") {
            if (order_given)
                Bad("vds-order given twice");
            order_given = true;
            Need(w, 2, 2, "vds-order pd-lvd|lvd-pd");
            if (w[1] != "pd-lvd" && w[1] != "lvd-pd")
                Bad("vds-order must be pd-lvd or lvd-pd");
            recipe.lvd_first = w[1] == "lvd-pd";
        } else if (d == "extra-pd") {
            Need(w, 4, 5, "extra-pd NUMBER START LENGTH [before|after]");
            if (recipe.extra_pd.given)
                Bad("extra-pd given twice");
            recipe.extra_pd.given = true;
            recipe.extra_pd.line = g_line;
            recipe.extra_pd.number = Number(w[1], "partition number", 0xFFFF);
            recipe.extra_pd.start = Number(w[2], "partition start", 0xFFFFFFFF);
            recipe.extra_pd.length = Number(w[3], "partition length", 0xFFFFFFFF);
            if (w.size() == 5) {
                if (w[4] != "before" && w[4] != "after")
                    Bad("extra-pd: expected before or after, not '" + w[4] + "'");
                recipe.extra_pd.after = w[4] == "after";
            }
        } else if (d == "lvid") {
            Need(w, 2, 2, "lvid SECTOR|last-N");
            recipe.lvid = ParseSectorRef(w[1], "lvid sector");
        } else if (d == "partition") {
            Need(w, 2, 3, "partition START [LENGTH]");
            recipe.part_start = Number(w[1], "partition start", kMaxSectors);
            if (w.size() == 3) {
                recipe.part_length = Number(w[2], "partition length", kMaxSectors);
                recipe.part_length_given = true;
                if (recipe.part_length == 0)
                    Bad("partition length must not be 0");
            }
        } else if (d == "bitmap") {
            Need(w, 2, 2, "bitmap POSITION|none");
            if (bitmap_given)
                Bad("bitmap given twice");
            bitmap_given = true;
            if (w[1] == "none")
                recipe.bitmap_none = true;
            else
                recipe.bitmap = ParsePlace(w[1], "bitmap position", false);
        } else if (d == "space") {
            Need(w, 2, 2, "space bitmap|table");
            if (w[1] != "bitmap" && w[1] != "table")
                Bad("space must be bitmap or table");
            recipe.space_table = w[1] == "table";
        } else if (d == "bitmap-bits") {
            Need(w, 2, 2, "bitmap-bits N");
            recipe.bitmap_bits = Number(w[1], "bitmap-bits", kMaxSectors);
            recipe.bitmap_bits_given = true;
        } else if (d == "bitmap-nbytes") {
            Need(w, 2, 2, "bitmap-nbytes N");
            recipe.bitmap_nbytes = Number(w[1], "bitmap-nbytes", 0xFFFFFFFF);
            recipe.bitmap_nbytes_given = true;
        } else if (d == "bitmap-extent") {
            Need(w, 2, 2, "bitmap-extent BYTES");
            recipe.bitmap_extent = Size(w[1], "bitmap-extent", 0xFFFFFFFF);
            recipe.bitmap_extent_given = true;
        } else if (d == "fsd") {
            Need(w, 2, 2, "fsd POSITION|auto");
            recipe.fsd = ParsePlace(w[1], "fsd position", true);
        } else if (d == "dir" || d == "file") {
            if (w.size() < 2)
                Bad("usage: " + d + " PATH [OPTION=VALUE ...]");
            size_t index;
            if (w[1] == "/") {
                if (d == "file")
                    Bad("the root is a directory");
                if (root_declared)
                    Bad("/ is declared twice");
                root_declared = true;
                index = 0;
                recipe.entries[0].line = g_line;
            } else {
                index = AddEntry(recipe, w[1], d == "dir", false);
            }
            ParseEntryOptions(recipe, recipe.entries[index], w, 2);
            current = index;
        } else if (d == "deleted") {
            if (w.size() < 2)
                Bad("usage: deleted PATH [dir] [fe=POSITION] [liu=N] [chars=N]");
            size_t index = AddEntry(recipe, w[1], false, true);
            ParseEntryOptions(recipe, recipe.entries[index], w, 2);
        } else if (d == "extent") {
            Need(w, 4, 5, "extent TYPE POSITION|auto|- LENGTH [nodata]");
            if (current == SIZE_MAX)
                Bad("extent must follow a dir or file line (or its extent lines)");
            ExtentLine e;
            e.line = g_line;
            e.type = static_cast<unsigned>(Number(w[1], "extent type", 3));
            if (e.type == 3)
                Bad("extent type 3 is written by 'continue'");
            if (w[2] == "-") {
                if (e.type != 2)
                    Bad("only a type-2 extent may omit its position");
            } else {
                e.place = ParsePlace(w[2], "extent position", true);
            }
            e.length = Size(w[3], "extent length", kMaxAdLength);
            if (w.size() == 5) {
                if (w[4] != "nodata")
                    Bad("unexpected word '" + w[4] + "' (expected nodata)");
                e.nodata = true;
                if (e.place.kind == Place::Auto)
                    Bad("a nodata extent needs a position");
            }
            recipe.entries[current].extents.push_back(e);
        } else if (d == "continue") {
            Need(w, 2, 3, "continue POSITION|auto [length=BYTES]");
            if (current == SIZE_MAX)
                Bad("continue must follow a dir or file line (or its extent lines)");
            ExtentLine e;
            e.line = g_line;
            e.is_continue = true;
            e.place = ParsePlace(w[1], "continuation position", true);
            e.length = kSectorSize;
            if (w.size() == 3) {
                std::string key, value;
                if (!SplitOption(w[2], key, value) || key != "length")
                    Bad("unexpected word '" + w[2] + "' (expected length=BYTES)");
                e.length = Size(value, "continuation length", kMaxAdLength);
            }
            recipe.entries[current].extents.push_back(e);
        } else if (d == "erased") {
            Need(w, 2, 4, "erased POSITION [LENGTH] [content=C]");
            Erased e;
            e.line = g_line;
            e.place = ParsePlace(w[1], "erased position", false);
            e.content.kind = ContentKind::Packs;
            for (size_t i = 2; i < w.size(); ++i) {
                std::string key, value;
                if (SplitOption(w[i], key, value)) {
                    if (key != "content")
                        Bad("unknown option '" + key + "' for erased");
                    e.content = ParseContent(value, recipe);
                } else if (!e.length_given) {
                    e.length = Size(w[i], "erased length", kMaxSectors * kSectorSize);
                    e.length_given = true;
                    if (e.length == 0)
                        Bad("erased length must not be 0");
                } else {
                    Bad("unexpected word '" + w[i] + "'");
                }
            }
            if (e.content.kind == ContentKind::Ifo || e.content.kind == ContentKind::Zeros)
                Bad("erased content must be packs or file:PATH");
            recipe.erased.push_back(e);
        } else if (d == "charset") {
            Need(w, 2, 2, "charset latin1|sjis");
            if (w[1] != "latin1" && w[1] != "sjis")
                Bad("charset must be latin1 or sjis");
            recipe.charset = w[1] == "sjis" ? 0x12 : 0x11;
        } else if (d == "recording") {
            if (w.size() < 2)
                Bad("usage: recording FILE [date=YYYY-MM-DD/HH:MM:SS] [title=TEXT] [cells=1|2]");
            Recording r;
            r.line = g_line;
            r.path = w[1][0] == '/' ? w[1] : recipe.base_dir + "/" + w[1];
            for (size_t i = 2; i < w.size(); ++i) {
                std::string key, value;
                if (!SplitOption(w[i], key, value))
                    Bad("unexpected word '" + w[i] + "'");
                if (key == "date") {
                    char tail = 0;
                    if (std::sscanf(value.c_str(), "%u-%u-%u/%u:%u:%u%c", &r.year, &r.month, &r.day, &r.hour, &r.minute,
                                    &r.second, &tail) != 6 ||
                        r.year > 9999 || r.month < 1 || r.month > 12 || r.day < 1 || r.day > 31 || r.hour > 23 ||
                        r.minute > 59 || r.second > 59)
                        Bad("bad date '" + value + "' (expected YYYY-MM-DD/HH:MM:SS)");
                } else if (key == "title") {
                    // %XX is a byte; everything else stands for itself.
                    for (size_t c = 0; c < value.size(); ++c) {
                        uint64_t byte = static_cast<unsigned char>(value[c]);
                        if (value[c] == '%' &&
                            (c + 2 >= value.size() || !ToNumber("0x" + value.substr(c + 1, 2), byte)))
                            Bad("bad %XX escape in title '" + value + "'");
                        if (value[c] == '%')
                            c += 2;
                        r.title.push_back(static_cast<uint8_t>(byte));
                    }
                    if (r.title.size() > 64)
                        Bad("a title holds at most 64 bytes");
                } else if (key == "cells") {
                    r.cells = static_cast<unsigned>(Number(value, "cell count", 2));
                    if (r.cells == 0)
                        Bad("cells must be 1 or 2");
                } else {
                    Bad("unknown option '" + key + "' for recording");
                }
            }
            recipe.recordings.push_back(r);
        } else if (d == "mark-free" || d == "mark-used") {
            Need(w, 3, 3, d + " POSITION COUNT");
            Mark m;
            m.line = g_line;
            m.free = d == "mark-free";
            m.place = ParsePlace(w[1], "position", false);
            m.count = Number(w[2], "block count", kMaxSectors);
            recipe.marks.push_back(m);
        } else if (d == "freed") {
            Need(w, 3, 3, "freed POSITION COUNT");
            Mark m;
            m.line = g_line;
            m.free = true;
            m.place = ParsePlace(w[1], "position", false);
            m.count = Number(w[2], "block count", kMaxSectors);
            if (m.count == 0)
                Bad("freed block count must not be 0");
            recipe.freed.push_back(m);
        } else if (d == "patch") {
            Need(w, 4, 5, "patch POSITION OFFSET HEXBYTES [fix|fix=OFFSET|nofix]");
            Patch p;
            p.line = g_line;
            p.place = ParsePlace(w[1], "patch position", false);
            p.offset = Number(w[2], "patch offset", kSectorSize * 1024);
            const std::string& hex = w[3];
            if (hex.size() % 2 != 0 || hex.size() > 4096)
                Bad("bad byte string '" + hex + "' (an even number of hex digits)");
            for (size_t i = 0; i < hex.size(); i += 2) {
                uint64_t byte = 0;
                if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
                    !std::isxdigit(static_cast<unsigned char>(hex[i + 1])) || !ToNumber("0x" + hex.substr(i, 2), byte))
                    Bad("bad byte string '" + hex + "' (an even number of hex digits)");
                p.bytes.push_back(static_cast<uint8_t>(byte));
            }
            ParseFix(p, w, 4);
            recipe.patches.push_back(p);
        } else if (d == "set") {
            Need(w, 5, 6, "set POSITION OFFSET WIDTH VALUE [fix|fix=OFFSET|nofix]");
            Patch p;
            p.line = g_line;
            p.place = ParsePlace(w[1], "set position", false);
            p.offset = Number(w[2], "set offset", kSectorSize * 1024);
            uint64_t width = Number(w[3], "width", 8);
            if (width != 1 && width != 2 && width != 4 && width != 8)
                Bad("width must be 1, 2, 4 or 8");
            uint64_t value = Number(w[4], "value");
            if (width < 8 && value >> (8 * width) != 0)
                Bad("value " + w[4] + " does not fit in " + w[3] + " bytes");
            for (uint64_t i = 0; i < width; ++i)
                p.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
            ParseFix(p, w, 5);
            recipe.patches.push_back(p);
        } else {
            Bad("unknown directive '" + d + "'");
        }
    }
    if (!recipe.sectors_given) {
        g_line = 0;
        Fail(g_recipe_name + ": the recipe does not give the image size (add a line 'sectors N')");
    }
    if (recipe.entries.size() == 1)
        AddDefaultTree(recipe);
    return recipe;
}

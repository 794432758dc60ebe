// mkvrdisc: writes a DVD-VR disc image (UDF, 2048-byte sectors) as a sparse file
// from a line-based recipe, and a record file that says where everything went.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr uint64_t kSectorSize = 2048;
constexpr uint64_t kMaxSectors = uint64_t{1} << 28;         // 512 GiB of image
constexpr uint64_t kMaxAdLength = (uint64_t{1} << 30) - 1;  // 30-bit extent length
constexpr uint64_t kMaxAutoExtent = (uint64_t{1} << 30) - kSectorSize;

// ---- errors (common.cpp) ------------------------------------------------------

extern std::string g_recipe_name;  // for messages: "RECIPE:LINE: ..."

[[noreturn]] void Fail(const std::string& message);
[[noreturn]] void FailAt(int line, const std::string& message);

// ---- byte fields and tags (common.cpp) ------------------------------------------

void Put8(uint8_t* p, uint64_t v);
void Put16(uint8_t* p, uint64_t v);
void Put32(uint8_t* p, uint64_t v);
void Put64(uint8_t* p, uint64_t v);
uint16_t Get16(const uint8_t* p);
uint32_t Get32(const uint8_t* p);

uint16_t Crc16(const uint8_t* p, size_t n);
uint8_t TagChecksum(const uint8_t* tag);
// Fills the 16-byte tag at d and computes its CRC over crc_length bytes after it.
void FinishTag(uint8_t* d, uint16_t id, uint16_t version, uint32_t location, size_t crc_length);
// Recomputes CRC and checksum of a tag from its own CRC Length field (clamped to avail).
void RefreshTag(uint8_t* d, size_t avail);

// ---- recipe (recipe.cpp) ----------------------------------------------------------

enum class Form { Short, Long, Ext, Embedded };
enum class ContentKind { Unset, Ifo, Packs, Zeros, File, Mangr };

struct Content {
    ContentKind kind = ContentKind::Unset;
    std::string path;  // ContentKind::File, resolved against the recipe's folder
};

// A position: an absolute sector, a partition block ("+N"), "auto" or nothing given.
struct Place {
    enum Kind { None, Sector, Block, Auto } kind = None;
    uint64_t value = 0;
};

struct ExtentLine {
    bool is_continue = false;  // "continue": the next descriptors go into an Allocation Extent
    unsigned type = 0;         // 0 recorded, 1 allocated only, 2 neither
    Place place;
    uint64_t length = 0;  // extent: bytes; continue: the type-3 descriptor's length
    bool nodata = false;  // described only: not claimed, not written, not allocated
    int line = 0;
};

struct Ad {  // one allocation descriptor as written (types 0-2)
    unsigned type = 0;
    uint64_t block = 0;
    uint64_t length = 0;
    uint64_t file_offset = 0;
    bool nodata = false;
};

struct Aed {  // one Allocation Extent Descriptor of a continuation chain
    uint64_t block = 0;
    uint64_t pointer_length = 0;  // length of the type-3 descriptor that points to it
    size_t first_ad = 0;          // its descriptors: ads[first_ad, first_ad + ad_count)
    size_t ad_count = 0;
};

struct Entry {
    std::string path, name;
    int line = 0;
    bool is_dir = false;
    bool deleted = false;
    size_t parent = 0;
    std::vector<size_t> children;  // FIDs in the order they are written
    Form form = Form::Short;
    bool form_given = false;
    Place fe, at;
    bool size_given = false;
    uint64_t size = 0;
    Content content;
    uint64_t liu = 0;
    uint64_t ea = 0;
    int chars = -1;  // File Characteristics override
    std::vector<ExtentLine> extents;

    // Filled in by the layout.
    uint64_t fe_block = 0;
    uint64_t unique_id = 0;
    uint64_t info_length = 0;
    uint64_t data_length = 0;  // directories: bytes of FIDs
    size_t fe_ad_count = 0;    // descriptors in the File Entry itself (before any type 3)
    std::vector<Ad> ads;
    std::vector<Aed> aeds;
    std::vector<uint8_t> data;  // directories: the FIDs; embedded files: the content
    size_t dir_index = 0;
};

struct SectorRef {  // a sector number, or "last" / "last-N" counted from the end of the image
    bool from_end = false;
    uint64_t value = 0;
};

struct ExtraPd {
    bool given = false;
    uint64_t number = 0, start = 0, length = 0;
    bool after = false;
    int line = 0;
};

struct Erased {
    int line = 0;
    Place place;
    bool length_given = false;
    uint64_t length = 0;
    Content content;
    uint64_t sector = 0;  // resolved
};

struct Mark {
    int line = 0;
    bool free = false;
    Place place;
    uint64_t count = 0;
};

struct Patch {
    int line = 0;
    Place place;
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
    bool fix = false;
    uint64_t fix_offset = 0;
};

// A recording that the management file describes ("recording" lines, in movie file order).
struct Recording {
    int line = 0;
    std::string path;  // its MPEG-2 program stream, resolved against the recipe's folder
    unsigned year = 2006, month = 3, day = 14, hour = 20, minute = 15, second = 0;
    std::vector<uint8_t> title;  // bytes in the disc's character set
    unsigned cells = 1;
};

struct Recipe {
    bool sectors_given = false;
    uint64_t sectors = 0;
    std::string label = "DVD_VR";
    unsigned iso9660 = 0;
    unsigned nsr = 2;
    std::vector<SectorRef> anchors{{false, 256}, {true, 0}};
    SectorRef vds_main{false, 32}, vds_reserve{false, 48};
    uint64_t vds_length = 16 * kSectorSize;
    bool lvd_first = false;
    ExtraPd extra_pd;
    SectorRef lvid{false, 64};
    uint64_t part_start = 272;
    bool part_length_given = false;
    uint64_t part_length = 0;
    bool bitmap_none = false;
    bool space_table = false;  // the free runs as an Unallocated Space Table where the bitmap would lie
    Place bitmap{Place::Block, 0};
    bool bitmap_bits_given = false;
    uint64_t bitmap_bits = 0;
    bool bitmap_nbytes_given = false;
    uint64_t bitmap_nbytes = 0;
    bool bitmap_extent_given = false;
    uint64_t bitmap_extent = 0;
    Place fsd{Place::Auto, 0};
    std::vector<Entry> entries;  // [0] is the root
    std::vector<Erased> erased;
    std::vector<Mark> marks;
    std::vector<Mark> freed;  // blocks freed but not yet unallocated
    std::vector<Patch> patches;
    std::string base_dir;     // content files are found relative to this
    unsigned charset = 0x11;  // of the management file's texts: 0x11 ISO 8859-1, 0x12 Shift-JIS
    std::vector<Recording> recordings;
};

Recipe ParseRecipe(const std::string& text);

// ---- layout and descriptors (layout.cpp) ---------------------------------------------

struct DataWrite {  // file content laid into sectors; the last sector is padded
    uint64_t sector = 0;
    uint64_t length = 0;  // bytes
    Content content;
    uint64_t file_offset = 0;
};

struct Span {
    uint64_t first = 0, count = 0;
};

struct Image {
    uint64_t sectors = 0;
    uint64_t part_start = 0, part_length = 0;
    bool bitmap_none = false;
    bool space_table = false;
    uint64_t table_length = 0;  // bytes of the Unallocated Space Entry
    uint64_t bitmap_block = 0, bitmap_nbytes_field = 0, bitmap_bits = 0;
    uint64_t fsd_block = 0;
    std::vector<uint64_t> anchors;
    uint64_t vds_main = 0, vds_reserve = 0, lvid = 0;
    std::map<uint64_t, std::vector<uint8_t>> meta;  // sector -> 2048 bytes
    std::vector<DataWrite> writes;
    std::vector<Span> free_runs;  // partition blocks whose bitmap bit is set
    // The Freed Space Bitmap (with the bitmap) or Table (with the table), when
    // the recipe frees blocks: its block and byte length, and the runs it names.
    bool freed_space = false;
    uint64_t freed_block = 0, freed_length = 0;
    std::vector<Span> freed_runs;
    std::vector<Span> erased_runs;
};

Image BuildLayout(Recipe& recipe);

// ---- the management file (mangr.cpp) ---------------------------------------------------

// A VR_MANGR.IFO describing the recipe's recordings, laid end to end in the movie file;
// first_sectors gives where each begins, counted in the movie file's sectors (empty: end to
// end from 0).
std::vector<uint8_t> BuildManagementFile(const Recipe& recipe, const std::vector<uint64_t>& first_sectors);
// Writes it to IMAGE.ifo and makes every `content=mangr` read that file.
void ResolveManagementContent(Recipe& recipe, const std::string& image_path);
// After the layout: rewrites IMAGE.ifo with the recordings' first sectors in the movie file,
// each past any extent that is not recorded (same size, so the layout stands).
void PlaceManagementContent(const Recipe& recipe, const std::string& image_path);

// ---- output (output.cpp) -------------------------------------------------------------

void FillPack(uint64_t lba, uint8_t* sector);
uint8_t IfoByte(uint64_t offset);
void WriteImage(const Recipe& recipe, const Image& image, const std::string& path);
void WriteRecord(const Recipe& recipe, const Image& image, const std::string& image_path);
std::string FormText(Form form);

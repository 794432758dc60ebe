// The walk over a UDF volume's directories to the recording files, and the
// partition's Unallocated Space Bitmap, read through one Volume.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "udf_file.h"

enum class RecordingFile { Management, Movie };

// What every stage of the "-r" mode reads through.
struct Volume {
    Drive& drive;
    Partition partition;
    // An unreadable or damaged structure costs only what depends on it; each
    // such loss is named in a notice and counted.
    bool keepGoing = false;
    std::uint32_t losses = 0;
    // A DVD-RW in Restricted Overwrite mode has the fixed layout's two areas.
    // Any other disc has none: the management file's area is then every
    // partition block before `movieStart`, the movie file's every block from
    // there on, so that the two recovery files hold every free block.
    bool fixedAreas = true;
    std::uint32_t movieStart = 0;  // partition block; without fixed areas only
};

// "? " and `text` as a line of the report, counted as a loss (with
// keep-going, a run with a loss ends with status 1). The walk's notices of
// damaged directory data have always been followed by an empty line: their
// `text` ends with a line end of its own.
void noteLoss(Volume& volume, const std::string& text);
// Runs `read`; with keep-going, a drive that cannot carry it out is caught and
// gives false. Other errors, and every error without keep-going, go on up.
bool driveCouldRead(const Volume& volume, const std::function<void()>& read);
// "can't read the WHAT (sector N)" after a failed read, "bad WHAT (sector N)"
// for what was read but is not what it should be.
std::string structureLoss(bool unreadable, const std::string& what, std::uint32_t sector);

// The walk's limits and what it has found, for one run.
struct WalkState {
    // A DVD-VR disc keeps its files one directory below the root; the walk
    // goes no deeper than this, which also bounds its recursion.
    static constexpr std::uint32_t kMaxDepth = 64;
    // The data of the directories being walked, together: each level holds
    // its directory's data while it goes deeper. Thousands of entries fit in
    // far less; a length beyond it can only come from a damaged File Entry.
    static constexpr std::uint32_t kMaxDataHeld = 64u * 1024 * 1024;
    // The directory data read in one walk, counting each directory as at
    // least one block: a directory named by many entries is read again for
    // each, and this bounds what a disc can make the walk read to 32768 blocks.
    static constexpr std::uint32_t kMaxDataRead = 64u * 1024 * 1024;

    std::uint32_t dataHeld = 0;
    std::uint32_t dataRead = 0;
    // The File Entry sectors of the directories being walked, root first, so
    // that an entry leading back to one of them is not followed.
    std::uint32_t path[kMaxDepth + 1] = {};
    std::uint32_t depth = 0;
    bool managementFound = false;
    bool movieFound = false;
};

// "IFO Processing" or "VRO Processing": the line that starts a file's part.
void announceRecordingFile(RecordingFile file);

// Called with the address of a recording file's File Entry (its File
// Identifier's ICB), the first time the walk meets an entry of that name.
using RecordingFileVisitor = std::function<void(RecordingFile file, const LongAddress& fileEntry)>;

// The sector of the File Entry at `address`, through the partition it names.
// An address naming no map of the volume ends the run ("bad partition
// reference N"); with keep-going it is a loss ("bad partition reference N
// (WHAT)" and `consequence`) and nothing comes back.
std::optional<std::uint32_t> fileEntrySector(Volume& volume, const LongAddress& address, const std::string& what,
                                             const std::string& consequence = "");

// The root directory: the File Set Descriptor named by the Logical Volume
// Descriptor, and the File Entry it names. `rootSector` is set to its sector.
// With keep-going, nothing after a notice when either cannot be read or
// carries another tag.
std::optional<FileEntry> readRootDirectory(Volume& volume, std::uint32_t fileSetBlock, std::uint32_t* rootSector);
// Depth-first walk of the directory tree from the root.
void walkToRecordingFiles(Volume& volume, const FileEntry& root, std::uint32_t rootSector,
                          const RecordingFileVisitor& visit);

// The partition's free blocks, from its Unallocated Space Bitmap as far as it
// was read and its Unallocated Space Table (which covers the whole partition),
// together with the Freed Space Bitmap's and Table's; and the recorded blocks
// beyond the map's reach.
struct ReusableMap {
    // Bit b of byte k set: block 8 k + b is reusable, a block of the
    // partition the space map counts (spacePartition: beneath a virtual
    // partition, the physical one).
    std::vector<std::uint8_t> bits;
    std::int32_t blocksBeyond = 0;  // recorded blocks past the last one mapped

    std::uint64_t blocks() const { return 8 * std::uint64_t{bits.size()}; }
    bool isReusable(std::uint64_t block) const
    {
        // Blocks beyond the map have no bit: they are not reusable.
        return block < blocks() && (bits[static_cast<std::size_t>(block / 8)] & (1u << (block % 8))) != 0;
    }
};

// The map, or nothing (after the notice "no Map") when the partition has
// neither a bitmap nor a table. A damaged Unallocated Space Table ends the run
// ("bad Unallocated Space Table (sector N)"); a damaged freed table or bitmap
// adds nothing.
std::optional<ReusableMap> readSpaceBitmap(Volume& volume);
// The same for keep-going: the bitmap, or no map and the loss that leaves
// none ("the partition has no space bitmap", "can't read the Space Bitmap
// Descriptor (sector N)" or "bad ..." for another tag, the same of the
// Unallocated Space Table). A sector of the bitmap after the first that cannot
// be read leaves its blocks out, with a notice; so does a freed table or bitmap.
struct SpaceBitmap {
    std::optional<ReusableMap> map;
    std::string loss;
};
SpaceBitmap readSpaceBitmapKeepingGoing(Volume& volume);
// The recorded blocks beyond the map, from the end of the recorded area.
std::int32_t countBlocksBeyondMap(Volume& volume, const ReusableMap& map);

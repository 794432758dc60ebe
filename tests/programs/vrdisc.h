// A small DVD-VR disc for the program tests: the recording files in
// DVD_RTAV, an Unallocated Space Bitmap, and every data sector numbered.
#pragma once

#include <set>

#include <string>
#include <vector>
#include "child.h"

#include "volume.h"

// Sector `lba` of every test disc: each byte depends on the sector number.
Sector numbered(std::uint32_t lba);
// The concatenation of the numbered sectors, in the given order.
std::string sectorsText(const std::vector<std::uint32_t>& lbas);
std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t end);

// "5 %\r10 %\r ... 95 %\r": the progress of a phase of 20 or more blocks.
std::string fullProgress();

struct VrDisc {
    VolumeImage volume;
    std::uint32_t n;               // bytes of the bitmap
    std::set<std::uint32_t> free;  // sectors whose bit is set

    // Sets the bitmap sector(s) from `free` and `n`.
    void writeBitmap();
    std::string write(const std::string& name)
    {
        writeBitmap();
        return volume.write(name);
    }
};

// A directory's File Entry with its entries embedded.
Sector directoryEntry(const std::vector<Bytes>& entries);

// Partition at 100, 10412 sectors; VR_MANGR.IFO at 8752 for 1000 sectors
// (9752-10111 free), VR_MOVIE.VRO from 10112 with 10212-10261 free (an
// erased recording). FSD at block 1, root at block 2, DVD_RTAV at block 3,
// the File Entries of the two files at blocks 4 and 5.
VrDisc standardDisc();

// A run of vrsalvage in a child process, in its own directory.
struct Result {
    ChildOutcome outcome;
    std::string directory;
    std::string file(const char* name) const { return readFile(directory + "/" + name); }
    bool has(const char* name) const { return fileExists(directory + "/" + name); }
};

// Runs vrsalvage's main with `arguments` ("IMG" stands for `image`) in
// `directory`, a fresh one when empty.
Result runVrsalvage(const std::string& image, std::vector<std::string> arguments, std::string directory = "");

constexpr std::uint32_t kVrStart = 100;
constexpr std::uint32_t kVrSectors = 10412;

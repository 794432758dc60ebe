// Runs code that may end the process in a child process, with its standard
// output captured, and builds small disc images sector by sector.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ChildOutcome {
    int status;       // exit status as a shell sees it: 255 for -1
    std::string out;  // standard output
};

// Runs `body` in a forked child whose standard output is captured; the child
// ends with status 0 when `body` returns, and as a program does after a fatal
// error. The emulated drive's settings and the indentation are those of the
// parent at the time of the call.
ChildOutcome runChild(const std::function<void()>& body);

using Sector = std::vector<std::uint8_t>;

// A sparse image file of `sectors` sectors, written with the given ones,
// in the test's own temporary directory. Returns its path.
// A descriptor tag whose location is this has it, and its checksum, set where
// the sector is written: its partition block (VolumeImage::block) or its sector.
constexpr std::uint32_t kTagLocationUnset = 0xFFFFFFFF;
void placeTag(Sector& s, std::uint32_t location);

std::string writeImage(const std::string& name, std::uint64_t sectors, const std::map<std::uint32_t, Sector>& content);

// A fresh, empty temporary directory.
std::string freshDirectory();

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

void put16(Sector& s, std::size_t offset, std::uint32_t value);
void put32(Sector& s, std::size_t offset, std::uint32_t value);
Sector sectorWithText(const std::string& text, std::size_t offset = 0);

// GNU ddrescue's mapfile: which bytes of a disc were rescued, which were
// tried and failed, which were never tried. `ddrescuelog` and ddrescueview
// read what formatRescueMap writes; parseRescueMap reads what ddrescue writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Block status characters of the mapfile.
enum class RescueStatus : char {
    NonTried = '?',
    NonTrimmed = '*',
    NonScraped = '/',
    BadSector = '-',
    Rescued = '+',
};

// One line of the block list: `size` bytes from byte `position` on.
struct RescueBlock {
    std::uint64_t position;
    std::uint64_t size;
    RescueStatus status;
};

struct RescueMap {
    std::vector<std::string> comments;  // the "#" lines, without their line end
    std::uint64_t currentPosition = 0;
    char currentStatus = '+';  // '?' copying, '*' trimming, '/' scraping, '-' retrying, '+' finished
    int currentPass = 1;
    // Ascending, without gaps or overlaps, from byte 0 on; neighbours of the
    // same status are merged when formatted.
    std::vector<RescueBlock> blocks;
};

// The mapfile text: the comment lines, the status line, then one line per
// block, positions and sizes in hexadecimal with "0x" as ddrescue writes them.
std::string formatRescueMap(const RescueMap& map);

// Reads a mapfile: comments kept, blank lines skipped, numbers in
// hexadecimal ("0x") or decimal; the blocks must be in ascending order
// without gaps or overlaps (the first may start after 0: what lies before it
// counts as non-tried). Nothing, with the reason in `error`, for anything else.
std::optional<RescueMap> parseRescueMap(std::string_view text, std::string* error);

// The status of the byte at `position`: NonTried where no block covers it.
RescueStatus rescueStatusAt(const RescueMap& map, std::uint64_t position);

// Whether every byte from `position` on for `size` bytes is Rescued.
bool rescuedThroughout(const RescueMap& map, std::uint64_t position, std::uint64_t size);

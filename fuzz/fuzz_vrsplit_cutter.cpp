// vrsplit --erased: the cutter over arbitrary raw movie data, fed sector by sector
// (a short last sector included), with the properties of the pieces it keeps.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "recordings.h"

using namespace vrsplit;

namespace {

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "==FINDING== %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Cutter cutter;
    std::span<const std::uint8_t> input(data, size);
    for (std::size_t at = 0; at < size; at += kSectorSize)
        feedSector(cutter, input.subspan(at, std::min<std::size_t>(kSectorSize, size - at)));
    finishCutting(cutter);
    if (cutter.open)
        finding("a piece left open after the end");
    std::uint64_t previousEnd = 0;
    std::uint64_t kept = 0;
    for (const Piece& piece : cutter.pieces) {
        if (piece.first < previousEnd || piece.end <= piece.first || piece.end > cutter.sector)
            finding("pieces out of order, empty or beyond the data");
        if (!readPack(input.subspan(piece.first * kSectorSize, kSectorSize)).vobuStart)
            finding("a piece that does not begin at a VOBU start");
        if (piece.lastScr < piece.firstScr || piece.lastScr - piece.firstScr < kMinPieceTicks)
            finding("a piece too short to play was kept");
        if (piece.reason == CutReason::None)
            finding("a piece without a reason for its end");
        if (piece.holes > 0) {
            auto hole = input.subspan(piece.firstHoleSector * kSectorSize, kSectorSize);
            if (piece.firstHoleSector <= piece.first || piece.holeSectors + piece.holes + 1 > piece.end - piece.first ||
                std::any_of(hole.begin(), hole.end(), [](std::uint8_t b) { return b != 0; }))
                finding("a hole that is not zero sectors between packs of its piece");
        }
        previousEnd = piece.end;
        kept += piece.end - piece.first;
    }
    if (kept + cutter.droppedSectors > cutter.sector)
        finding("more sectors accounted for than were fed");
    return 0;
}

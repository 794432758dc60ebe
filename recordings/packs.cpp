// The 2048-byte packs of an MPEG-2 program stream, and the cutter that finds the
// recordings in raw movie data: runs of valid packs from a VOBU start, cut where the
// system clock goes backwards or jumps, after an end code, and at sectors that are
// not packs at all. Zero sectors between packs of one recording are holes, not cuts.
#include "recordings.h"

#include <algorithm>

namespace vrsplit {

namespace {

constexpr std::size_t kPackHeaderSize = 14;

bool isStartCode(std::span<const std::uint8_t> b, std::size_t at)
{
    return b[at] == 0 && b[at + 1] == 0 && b[at + 2] == 1;
}

bool isPesWithHeader(std::uint8_t id)
{
    return id == 0xBD || (id >= 0xC0 && id <= 0xEF);
}

}  // namespace

Pack readPack(std::span<const std::uint8_t> b)
{
    Pack pack;
    if (b.size() != kSectorSize || !isStartCode(b, 0) || b[3] != 0xBA)
        return pack;
    if ((b[4] & 0xC4) != 0x44 || !(b[6] & 4) || !(b[8] & 4) || !(b[9] & 1) || (b[12] & 3) != 3)
        return pack;
    pack.valid = true;
    pack.scr = std::uint64_t{b[4] >> 3 & 7u} << 30 | std::uint64_t{b[4] & 3u} << 28 | std::uint64_t{b[5]} << 20 |
               std::uint64_t{b[6] >> 3 & 0x1Fu} << 15 | std::uint64_t{b[6] & 3u} << 13 | std::uint64_t{b[7]} << 5 |
               std::uint64_t{b[8]} >> 3;

    // The packets of the pack, each stepped over by its own length (at least 6 bytes a
    // step, so the walk ends within the sector).
    std::size_t at = kPackHeaderSize + (b[13] & 7);
    while (at + 6 <= b.size() && isStartCode(b, at)) {
        std::uint8_t id = b[at + 3];
        if (id == 0xB9) {
            pack.endCode = true;
            break;
        }
        std::size_t end = std::min<std::size_t>(b.size(), at + 6 + be16(b, at + 4));
        if (id == 0xBF)
            pack.vobuStart = true;
        if (isPesWithHeader(id) && at + 9 <= end && (b[at + 6] & 0xC0) == 0x80) {
            if (b[at + 6] & 0x30)
                pack.scrambled = true;
            if (id >= 0xE0) {
                for (std::size_t i = at + 9 + b[at + 8]; i + 4 <= end; ++i) {
                    if (isStartCode(b, i) && b[i + 3] == 0xB7)
                        pack.endCode = true;
                }
            }
        }
        at = end;
    }
    return pack;
}

const char* cutReasonText(CutReason reason)
{
    switch (reason) {
        case CutReason::ClockBack: return "clock goes back";
        case CutReason::ClockJump: return "clock jumps";
        case CutReason::EndCode: return "end code";
        case CutReason::NotMpeg: return "not MPEG data";
        case CutReason::EndOfData: return "end of data";
        case CutReason::None: break;
    }
    return "";
}

namespace {

void closePiece(Cutter& cutter, CutReason reason)
{
    Piece piece = *cutter.open;
    cutter.open.reset();
    cutter.zerosAfterOpen = 0;
    piece.reason = reason;
    if (piece.lastScr - piece.firstScr < kMinPieceTicks) {
        ++cutter.droppedPieces;
        cutter.droppedSectors += piece.end - piece.first - piece.holeSectors;
        return;
    }
    cutter.pieces.push_back(piece);
}

bool isZeroSector(std::span<const std::uint8_t> b)
{
    return b.size() == kSectorSize && std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

// Whether `zeros` zero sectors between the open piece's last pack and `pack` are a hole
// in one recording: the clock runs on across them, within the step allowed between two
// packs, and leaves time for that many packs at the highest DVD rate. Otherwise they
// end the piece (a longer run of zeros, or another recording's clock after them).
bool bridgesHole(const Piece& piece, const Pack& pack, std::uint64_t zeros)
{
    if (pack.scr < piece.lastScr || pack.scr - piece.lastScr > kMaxClockStep)
        return false;
    return zeros <= (pack.scr - piece.lastScr) * kMaxPacksPerSecond / kClockRate + 1;
}

}  // namespace

void feedSector(Cutter& cutter, std::span<const std::uint8_t> sector)
{
    std::uint64_t index = cutter.sector++;
    Pack pack = readPack(sector);
    if (!pack.valid) {
        if (cutter.open && isZeroSector(sector))
            ++cutter.zerosAfterOpen;  // decided at the next pack
        else if (cutter.open)
            closePiece(cutter, CutReason::NotMpeg);
        return;
    }
    if (cutter.open && cutter.zerosAfterOpen > 0) {
        Piece& piece = *cutter.open;
        if (bridgesHole(piece, pack, cutter.zerosAfterOpen)) {
            // The hole keeps its place in the piece. Its time is the system clock from
            // the pack before it to the pack after it: the time the lost packs took to
            // arrive (the picture may stay damaged up to the next VOBU start).
            if (piece.holes++ == 0)
                piece.firstHoleSector = index - cutter.zerosAfterOpen;
            piece.holeSectors += cutter.zerosAfterOpen;
            piece.holeTicks += pack.scr - piece.lastScr;
            cutter.zerosAfterOpen = 0;
        } else {
            closePiece(cutter, CutReason::NotMpeg);
        }
    }
    if (cutter.open) {
        Piece& piece = *cutter.open;
        bool back = pack.scr < piece.lastScr;
        if (back || pack.scr - piece.lastScr > kMaxClockStep) {
            // A new recording: it begins here when this pack starts a VOBU; otherwise its
            // packs up to its next VOBU start cannot be played and are left out.
            if (!pack.vobuStart)
                piece.cutInsideVobu = true;
            closePiece(cutter, back ? CutReason::ClockBack : CutReason::ClockJump);
        } else {
            piece.end = index + 1;
            piece.lastScr = pack.scr;
            piece.vobus += pack.vobuStart ? 1 : 0;
            piece.scrambled = piece.scrambled || pack.scrambled;
            if (pack.endCode)
                closePiece(cutter, CutReason::EndCode);
            return;
        }
    }
    if (!pack.vobuStart) {
        ++cutter.droppedSectors;
        return;
    }
    Piece piece;
    piece.first = index;
    piece.end = index + 1;
    piece.firstScr = piece.lastScr = pack.scr;
    piece.vobus = 1;
    piece.scrambled = pack.scrambled;
    cutter.open = piece;
    if (pack.endCode)
        closePiece(cutter, CutReason::EndCode);
}

void finishCutting(Cutter& cutter)
{
    if (cutter.open)
        closePiece(cutter, cutter.zerosAfterOpen > 0 ? CutReason::NotMpeg : CutReason::EndOfData);
}

}  // namespace vrsplit

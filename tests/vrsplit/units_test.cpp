// vrsplit's decoding of texts, names, pack headers and time maps.
#include <gtest/gtest.h>

#include <array>

#include "recordings.h"

using namespace vrsplit;

namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text)
{
    return {text.begin(), text.end()};
}

TEST(VrsplitText, DiscCharactersBecomeUtf8)
{
    struct Case {
        std::string field;
        Charset charset;
        std::string utf8;
    } cases[] = {
        {"\x89\x5E\x93\xAE\x89\xEF", Charset::ShiftJis, "\xE9\x81\x8B\xE5\x8B\x95\xE4\xBC\x9A"},  // 運動会
        {"A\xB1\xDF", Charset::ShiftJis, "A\xEF\xBD\xB1\xEF\xBE\x9F"},                            // half-width katakana
        {"\x82\xA0", Charset::ShiftJis, "\xE3\x81\x82"},                                          // hiragana a
        {"\x85\x40x", Charset::ShiftJis, "\xEF\xBF\xBDx"},  // a lead byte without a row
        {"ab\x89", Charset::ShiftJis, "ab\xEF\xBF\xBD"},    // a lead byte at the end
        {std::string("Caf\xE9  \0junk", 11), Charset::Latin1, "Caf\xC3\xA9"},
        {"\xC4x", Charset::Other, "\xEF\xBF\xBDx"},
    };
    for (const Case& c : cases) {
        auto field = bytesOf(c.field);
        EXPECT_EQ(textToUtf8(field, c.charset), c.utf8) << c.field;
    }
}

TEST(VrsplitNames, RefusedCharactersAndEmptyTitles)
{
    RecordedAt at{2020, 7, 1, 9, 3, 0};
    EXPECT_EQ(formatRecordedAt(at), "2020-07-01 09:03:00");
    struct Case {
        std::string title, name;
    } cases[] = {
        {"Dad's 70th", "02_2020-07-01_09-03-00_Dad's 70th.mpg"},
        {"a/b\\c:d*e?f\"g<h>i|j\x01k", "02_2020-07-01_09-03-00_a_b_c_d_e_f_g_h_i_j_k.mpg"},
        {"End. ", "02_2020-07-01_09-03-00_End.mpg"},
        {"", "02_2020-07-01_09-03-00.mpg"},
        {"...", "02_2020-07-01_09-03-00.mpg"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(recordingFileName(2, at, c.title), c.name);
}

TEST(VrsplitTimes, RecordingTimesInUtc)
{
    struct Case {
        std::uint32_t zoneField;
        std::optional<int> minutes;
        RecordedAt at;
        std::int64_t unixSeconds;  // as Python's calendar.timegm gives it, less the offset
    } cases[] = {
        {0x121C, 540, {2019, 10, 30, 22, 32, 7}, 1572442327},  // as both recorders wrote it
        {0x021C, 540, {2019, 10, 30, 22, 32, 7}, 1572442327},
        {0x1E20, -480, {2020, 2, 29, 23, 59, 59}, 1583049599},  // west of UTC, across a leap day
        {0x1000, 0, {2000, 3, 1, 0, 0, 0}, 951868800},
        {0x114A, 330, {2100, 12, 31, 8, 0, 0}, 4133903400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodeTimeZone(c.zoneField), c.minutes) << c.zoneField;
        EXPECT_EQ(unixTimeOf(c.at, c.minutes), c.unixSeconds) << c.zoneField;
    }
    EXPECT_EQ(decodeTimeZone(0), std::nullopt);
    for (RecordedAt bad : {RecordedAt{2020, 0, 1, 0, 0, 0}, RecordedAt{2020, 1, 32, 0, 0, 0},
                           RecordedAt{2020, 1, 1, 24, 0, 0}, RecordedAt{0, 1, 1, 0, 0, 0}})
        EXPECT_EQ(unixTimeOf(bad, 0), std::nullopt);
}

// A pack header with the system clock reference `scr` laid out as MPEG-2 puts it.
std::array<std::uint8_t, kSectorSize> packWithClock(std::uint64_t scr)
{
    std::array<std::uint8_t, kSectorSize> p{};
    const std::uint8_t head[] = {0x00, 0x00, 0x01, 0xBA};
    std::copy(std::begin(head), std::end(head), p.begin());
    p[4] = static_cast<std::uint8_t>(0x44 | (scr >> 30 & 7) << 3 | (scr >> 28 & 3));
    p[5] = static_cast<std::uint8_t>(scr >> 20);
    p[6] = static_cast<std::uint8_t>((scr >> 15 & 0x1F) << 3 | 4 | (scr >> 13 & 3));
    p[7] = static_cast<std::uint8_t>(scr >> 5);
    p[8] = static_cast<std::uint8_t>((scr & 0x1F) << 3 | 4);
    p[9] = 1;
    p[12] = 3;
    p[13] = 0xF8;
    return p;
}

TEST(VrsplitPacks, ClockMarkersAndScrambling)
{
    for (std::uint64_t scr : {0ull, 1ull, 0x1FFFFFFFFull, 90000ull * 5 + 123, 0x155555555ull}) {
        auto p = packWithClock(scr);
        Pack pack = readPack(p);
        EXPECT_TRUE(pack.valid);
        EXPECT_EQ(pack.scr, scr);
        EXPECT_FALSE(pack.vobuStart);
        p[6] &= 0xFB;  // a marker bit missing
        EXPECT_FALSE(readPack(p).valid);
    }
    auto p = packWithClock(1000);
    // A navigation packet, then a video packet whose scrambling-control bits are 01.
    const std::uint8_t packets[] = {0, 0, 1, 0xBF, 0, 2, 0, 0, 0, 0, 1, 0xE0, 0, 3, 0x90, 0x00, 0x00};
    std::copy(std::begin(packets), std::end(packets), p.begin() + 14);
    Pack pack = readPack(p);
    EXPECT_TRUE(pack.vobuStart);
    EXPECT_TRUE(pack.scrambled);
    p[14 + 14] = 0x80;
    EXPECT_FALSE(readPack(p).scrambled);
    EXPECT_FALSE(readPack(std::span<const std::uint8_t>(p).first(2047)).valid);
}

TEST(VrsplitTimeMap, CellsCoverWholeVobus)
{
    Vob vob;
    vob.startTime = 22000;
    vob.firstSector = 100;
    vob.vobuSectors = {10, 20, 30, 40};
    vob.vobuFields = {30, 30, 30, 20};  // NTSC: 45045 ticks for 30 fields
    vob.endTime = vob.startTime + 165165;
    struct Case {
        std::uint32_t start, end;
        std::size_t first, last;
    } cases[] = {
        {vob.startTime, vob.endTime, 0, 4},
        {0, vob.endTime, 0, 4},                                // before the VOB's start
        {vob.startTime, vob.startTime + 90090, 0, 2},          // the first of two cells
        {vob.startTime + 90090, vob.endTime, 2, 4},            // the second
        {vob.startTime + 50000, vob.startTime + 50001, 1, 2},  // shorter than a VOBU
        {vob.endTime + 1000, vob.endTime + 2000, 3, 4},
    };
    for (const Case& c : cases) {
        VobuRange range = cellVobus(vob, Cell{1, c.start, c.end});
        EXPECT_EQ(range.first, c.first) << c.start;
        EXPECT_EQ(range.end, c.last) << c.start;
    }
    EXPECT_EQ(vobuSector(vob, 2), 130u);
    EXPECT_EQ(vobuSector(vob, 4), 200u);
}

}  // namespace

// GNU ddrescue's mapfile: what formatRescueMap writes, what parseRescueMap
// accepts from ddrescue, and what it refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rescue_areas.h"
#include "rescue_map.h"

namespace {

constexpr auto kGood = RescueStatus::Rescued;
constexpr auto kBad = RescueStatus::BadSector;

TEST(RescueMap, FormatMergesNeighboursAndFillsGapsAsNonTried)
{
    RescueMap map;
    map.comments = {"# made by a test"};
    map.currentPosition = 0x1000;
    map.currentStatus = '-';
    map.currentPass = 2;
    map.blocks = {{0, 0x800, kGood},  {0x800, 0x800, kGood}, {0x1000, 0x800, kBad},
                  {0x1800, 0, kGood}, {0x2000, 0x800, kBad}, {0x2800, 0x100000000, kGood}};
    EXPECT_EQ(formatRescueMap(map),
              "# made by a test\n"
              "0x00001000     -               2\n"
              "0x00000000  0x00001000  +\n"
              "0x00001000  0x00000800  -\n"
              "0x00001800  0x00000800  ?\n"
              "0x00002000  0x00000800  -\n"
              "0x00002800  0x100000000  +\n");
}

TEST(RescueMap, RoundTripAndDdrescueText)
{
    // As ddrescue 1.27 writes it, with a CR LF line, blank lines and decimal numbers.
    const std::string ddrescue =
        "# Mapfile. Created by GNU ddrescue version 1.27\n"
        "# Command line: ddrescue /dev/sr0 disc.img disc.map\n"
        "# current_pos  current_status  current_pass\n"
        "0x00010000     ?               1\r\n"
        "#      pos        size  status\n"
        "\n"
        "0x00000000  0x00008000  +\n"
        "32768  4096  -\n"
        "0x00009000  0x00007000  *\n"
        "  0x00010000  0xFFFF0000  ?  \n";
    std::string error;
    const std::optional<RescueMap> map = parseRescueMap(ddrescue, &error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->comments.size(), 4u);
    EXPECT_EQ(map->comments[3], "#      pos        size  status");
    EXPECT_EQ(map->currentPosition, 0x10000u);
    EXPECT_EQ(map->currentStatus, '?');
    ASSERT_EQ(map->blocks.size(), 4u);
    EXPECT_EQ(map->blocks[1].position, 32768u);
    EXPECT_EQ(map->blocks[1].size, 4096u);

    const struct {
        std::uint64_t position;
        RescueStatus status;
    } at[] = {{0, kGood},
              {0x7FFF, kGood},
              {0x8000, kBad},
              {0x8FFF, kBad},
              {0x9000, RescueStatus::NonTrimmed},
              {0xFFFFFFFF, RescueStatus::NonTried},
              {0x100000000, RescueStatus::NonTried}};
    for (const auto& c : at) {
        EXPECT_EQ(rescueStatusAt(*map, c.position), c.status) << c.position;
    }
    EXPECT_TRUE(rescuedThroughout(*map, 0, 0x8000));
    EXPECT_FALSE(rescuedThroughout(*map, 0x7800, 0x1000));
    EXPECT_FALSE(rescuedThroughout(*map, 0x100000000, 1));

    // What we write reads back as it was, and writes the same text again.
    const std::string text = formatRescueMap(*map);
    const std::optional<RescueMap> again = parseRescueMap(text, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(formatRescueMap(*again), text);
    EXPECT_EQ(again->blocks.size(), 4u);

    // Only a status line: no blocks, every byte non-tried.
    const std::optional<RescueMap> empty = parseRescueMap("0 + 1\n", &error);
    ASSERT_TRUE(empty) << error;
    EXPECT_TRUE(empty->blocks.empty());
    EXPECT_EQ(rescueStatusAt(*empty, 0), RescueStatus::NonTried);
}

TEST(RescueMap, MalformedTextIsRefusedWithItsReason)
{
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"", "line 0: no status line"},
        {"# only comments\n\n", "line 2: no status line"},
        {"0x0 + 1\n0x800 0x800 +\n0x0 0x800 +\n", "line 3: block out of order"},
        {"0x0 + 1\n0x0 0x1000 +\n0x800 0x800 -\n", "line 3: block overlaps the one before"},
        {"0x0 + 1\n0x0 0x800 +\n0x1000 0x800 -\n", "line 3: gap before block"},
        {"0x0 + 1\n0x0 0x800 x\n", "line 2: bad block status 'x'"},
        {"0x0 + 1\n0x0 0x800 ++\n", "line 2: bad block status '++'"},
        {"0x0 x 1\n", "line 1: bad current status 'x'"},
        {"0x0 + 0\n", "line 1: bad current pass"},
        {"garbage\n", "line 1: not a status line"},
        {"0x0 + 1\n0x0 0x800\n", "line 2: not a block line"},
        {"0x0 + 1\n0x0 0x800 + extra\n", "line 2: not a block line"},
        {"0x0 + 1\n0x0 0x8g0 +\n", "line 2: not a number"},
        {"0x0 + 1\n0x 0x800 +\n", "line 2: not a number"},
        {"0x0 + 1\n-1 0x800 +\n", "line 2: not a number"},
        {"0x0 + 1\n0x0 0x10000000000000000 +\n", "line 2: number too large"},
        {"18446744073709551616 + 1\n", "line 1: number too large"},
        {"0x0 + 1\n0xFFFFFFFFFFFFF800 0x1000 +\n", "line 2: block ends beyond 64 bits"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parseRescueMap(c.text, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(RescueAreas, AgreeWithOneStatusPerSectorAndStayMerged)
{
    // Random changes against a plain array of statuses: the areas give the
    // same status for every sector, cover it without gaps, and never leave
    // two neighbours of one status apart.
    std::minstd_rand random(7);
    for (int run = 0; run < 500; run++) {
        RescueAreas areas;
        std::string model(160, '?');
        for (int change = 0; change < 40; change++) {
            const auto first = static_cast<std::uint32_t>(random() % 150);
            const std::uint32_t end = std::min<std::uint32_t>(160, first + static_cast<std::uint32_t>(random() % 30));
            const char status = "?*/-+"[random() % 5];
            areas.set(first, end, static_cast<RescueStatus>(status));
            std::fill(model.begin() + first, model.begin() + end, status);
            std::string seen;
            areas.forEach(0, 160, [&](const RescueAreas::Area& area) {
                seen.append(area.end - area.first, static_cast<char>(area.status));
            });
            ASSERT_EQ(seen, model) << "run " << run << ", change " << change;
            RescueMap map;
            areas.toBlocks(2048, &map);
            for (std::size_t k = 1; k < map.blocks.size(); k++) {
                ASSERT_NE(map.blocks[k].status, map.blocks[k - 1].status) << "run " << run;
            }
        }
    }
}

TEST(RescueAreas, FromAMapASectorIsRescuedOnlyWhenAllOfItIs)
{
    RescueMap map;
    map.blocks = {
        {0, 3000, RescueStatus::Rescued}, {3000, 100, RescueStatus::BadSector}, {3100, 5092, RescueStatus::Rescued}};
    const RescueAreas areas = RescueAreas::fromMap(map, 2048);
    std::string seen;
    areas.forEach(0, 4, [&](const RescueAreas::Area& area) {
        seen.append(area.end - area.first, static_cast<char>(area.status));
    });
    EXPECT_EQ(seen, "+-++");
}

}  // namespace

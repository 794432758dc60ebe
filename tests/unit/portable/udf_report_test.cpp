// Descriptor field reports that need no drive.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "report.h"
#include "udf_report.h"

namespace {

TEST(UdfReport, LengthInSectorsRemarks)
{
    EXPECT_EQ(capture([] { printLengthInSectors("Length", 100); }).out, "Length = 0x00000064\n");
    EXPECT_EQ(capture([] { printLengthInSectors("Length", 2048); }).out, "Length = 0x00000800 (0x00000001 sectors)\n");
    EXPECT_EQ(capture([] { printLengthInSectors("Length", 2049); }).out,
              "Length = 0x00000801 (0x00000001 sectors and 0x00000001 bytes)\n");
    EXPECT_EQ(capture([] { printLengthInSectors("L", 0); }).out, "L = 0x00000000\n");
}

TEST(UdfReport, SerialAndIndentation)
{
    EXPECT_EQ(capture([] {
                  increaseIndent();
                  printSerial(0xAB);
                  decreaseIndent();
              }).out,
              "  [0x000000AB]\n");
}

TEST(UdfReport, DStringStopsAtNulAndBeforeTheLengthByte)
{
    unsigned char field[32] = {};
    field[0] = 8;
    std::memcpy(field + 1, "HELLO", 5);
    field[31] = 6;
    EXPECT_EQ(capture([&] { printDStringField("Volume", field, 32); }).out, "Volume = \"HELLO\"\n");

    unsigned char full[6] = {8, 'A', 'B', 'C', 'D', 'E'};
    // The last byte of a dstring is its recorded length and never printed.
    EXPECT_EQ(capture([&] { printDString(full, 6); }).out, "ABCD");
    // d-characters run to the end of the field.
    EXPECT_EQ(capture([&] { printDCharacters(full, 6); }).out, "ABCDE");
    EXPECT_EQ(capture([&] { printDCharactersField("Id", full, 6); }).out, "Id = \"ABCDE\"\n");
    EXPECT_EQ(capture([&] { printDCharacters(full, 1); }).out, "");
    unsigned char early[6] = {8, 'A', 0, 'C', 'D', 'E'};
    EXPECT_EQ(capture([&] { printDCharacters(early, 6); }).out, "A");
}

TEST(UdfReport, AllocationLineForEachExtentType)
{
    EXPECT_EQ(capture([] { printAllocation(ExtentType::Recorded, 0x120, 5000); }).out,
              "0x00000120 - 0x00000122 AR : byte count in last block = 0x00000388\n\n");
    EXPECT_EQ(capture([] { printAllocation(ExtentType::Recorded, 0x120, 4096); }).out, "0x00000120 - 0x00000121 AR\n");
    EXPECT_EQ(capture([] { printAllocation(ExtentType::NotRecorded, 0x10, 2048); }).out,
              "0x00000010 - 0x00000010 A \n");
    EXPECT_EQ(capture([] { printAllocation(ExtentType::Unallocated, 0x10, 2048); }).out,
              "0x00000010 - 0x00000010   \n");
    EXPECT_EQ(capture([] { printAllocation(ExtentType::Continuation, 0x10, 2048); }).out, "0x00000010 - 0x00000010 \n");
    // A length of 0 shows a last block one below the first.
    EXPECT_EQ(capture([] { printAllocation(ExtentType::Recorded, 0x10, 0); }).out, "0x00000010 - 0x0000000F AR\n");
}

}  // namespace

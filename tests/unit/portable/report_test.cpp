// Indented reports, labelled values, the dump and the fatal reporters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "report.h"

namespace {

std::string dumpOf(const std::vector<unsigned char>& bytes)
{
    return capture([&] { printHexDump(bytes.data(), static_cast<std::uint32_t>(bytes.size())); }).out;
}

TEST(Report, IndentationIsTwoSpacesALevelAndPairsBalance)
{
    const Outcome outcome = capture([] {
        printLine("top");
        increaseIndent();
        increaseIndent();
        increaseIndent();
        printLine("deep");
        decreaseIndent();
        printWordField("Length", 0x1F);
        decreaseIndent();
        decreaseIndent();
        printLine("back");
    });
    EXPECT_EQ(outcome.out, "top\n      deep\n    Length = 0x001F\nback\n");
}

TEST(Report, ValueFormatsTakeTheirWidthOfTheArgument)
{
    const Outcome outcome = capture([] {
        printByteField("B", 0x1234);
        printWordField("W", 0x12345678);
        printDWordField("D", 0x1F);
        printShortField("S", 0x8000);
        printShortField("S", 0xFFFF);
        printLongField("L", 0xFFFFFFFF);
        printLongField("L", 0x7FFFFFFF);
    });
    EXPECT_EQ(outcome.out, "B = 0x34\nW = 0x5678\nD = 0x0000001F\nS = -32768\nS = -1\nL = -1\nL = 2147483647\n");
}

TEST(Report, DisplayPrintsPercentSignsAndItsOwnLineEnds)
{
    EXPECT_EQ(capture([] { printLine("100% %d %s"); }).out, "100% %d %s\n");
    EXPECT_EQ(capture([] { printLine("? Not File Entry\n"); }).out, "? Not File Entry\n\n");
    // Longer than the formatter's buffer on the stack.
    const std::string line(700, 'x');
    EXPECT_EQ(capture([&] { printLine(line.c_str()); }).out, line + "\n");
}

TEST(Report, ErrorPrintsTwoLinesAtTheDepthAndEndsWithMinusOne)
{
    const Outcome top = capture([] { fail("can't write file"); });
    EXPECT_TRUE(top.ended);
    EXPECT_EQ(top.status, -1);
    EXPECT_EQ(top.out, "*** Error!\ncan't write file\n");

    const Outcome nested = capture([] {
        increaseIndent();
        fail("GlobalAlloc() failed\n");
    });
    EXPECT_EQ(nested.out, "  *** Error!\n  GlobalAlloc() failed\n\n");
}

TEST(Dump, EmptyPrintsNothingAndSixteenBytesOneLine)
{
    EXPECT_EQ(dumpOf({}), "");
    std::vector<unsigned char> sixteen(16);
    for (unsigned i = 0; i < 16; i++) {
        sixteen[i] = static_cast<unsigned char>(0x41 + i);
    }
    EXPECT_EQ(dumpOf(sixteen), "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n");
}

TEST(Dump, PartialLineIsPaddedToTheColumns)
{
    std::vector<unsigned char> bytes(17, 0x30);
    bytes[16] = 0x41;
    const std::string out = dumpOf(bytes);
    const std::string second = "00000010  41" + std::string(47, ' ') + " A" + std::string(15, ' ') + "\n";
    EXPECT_EQ(out, "00000000  30 30 30 30 30 30 30 30  30 30 30 30 30 30 30 30  0000000000000000\n" + second);
    // Every line, full or partial, is 76 characters and the line end.
    EXPECT_EQ(second.size(), 77u);
}

TEST(Dump, CharacterColumnShowsOnlyPrintableBytes)
{
    const std::string out = dumpOf({0x41, 0x00, 0x1F, 0x20, 0x7F, 0x80, 0xFF, 0x7E});
    EXPECT_EQ(out, std::string("00000000  41 00 1F 20 7F 80 FF 7E") + std::string(26, ' ') + " A.. \x7F..~" +
                       std::string(8, ' ') + "\n");
}

TEST(Dump, WholeSectorIs128LinesFromOffsetZeroTo7F0)
{
    std::vector<unsigned char> sector(2048);
    for (std::size_t i = 0; i < sector.size(); i++) {
        sector[i] = static_cast<unsigned char>(i * 7);
    }
    const std::string out = dumpOf(sector);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 128u);
    EXPECT_EQ(lines.front().substr(0, 10), "00000000  ");
    EXPECT_EQ(lines.back().substr(0, 10), "000007F0  ");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.size(), 76u);
    }
    // Byte 0x7F0 is 0x7F0 * 7 = 0x3790: 0x90; eight bytes on, the gap.
    EXPECT_EQ(lines.back().substr(10, 27), "90 97 9E A5 AC B3 BA C1  C8");
}

}  // namespace

// Byte order, number parsing, the device path and output files.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "capture.h"
#include "support.h"

namespace {

std::uint32_t parse(const char* text)
{
    return parseNumber(text);
}

std::string path(const char* argument, std::size_t size = kDevicePathSize)
{
    char buffer[kDevicePathSize + 8];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    if (!makeWindowsDevicePath(argument, buffer, size)) {
        return "<too long>";
    }
    return buffer;
}

std::string readAll(const char* name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ByteOrder, FieldsOfBothOrdersAtAnOffset)
{
    const std::uint8_t bytes[] = {0xEE, 0x12, 0x34, 0x56, 0x78, 0xEE};
    EXPECT_EQ(readLe8(bytes, 1), 0x12u);
    EXPECT_EQ(readLe16(bytes, 1), 0x3412u);
    EXPECT_EQ(readLe32(bytes, 1), 0x78563412u);
    EXPECT_EQ(readBe16(bytes, 1), 0x1234u);
    EXPECT_EQ(readBe32(bytes, 1), 0x12345678u);
    std::uint8_t out[7] = {};
    writeBe32(out, 1, 0xA1B2C3D4);
    writeBe16(out, 5, 0x1234);  // only the low 16 bits, the high byte at 5
    EXPECT_EQ(readBe32(out, 1), 0xA1B2C3D4u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[5], 0x12u);
    EXPECT_EQ(out[6], 0x34u);
}

TEST(Str2dword, DecimalAndHexadecimalWithEitherPrefix)
{
    EXPECT_EQ(parse("127"), 127u);
    EXPECT_EQ(parse("0x7F"), 127u);
    EXPECT_EQ(parse("0X7f"), 127u);
    EXPECT_EQ(parse("010"), 10u);  // no octal
    EXPECT_EQ(parse("0x10"), 16u);
}

TEST(Str2dword, SaturatesAtThe32BitSignedRangeAndKeepsTwosComplement)
{
    EXPECT_EQ(parse("0x80000000"), 0x7FFFFFFFu);
    EXPECT_EQ(parse("2147483648"), 0x7FFFFFFFu);
    EXPECT_EQ(parse("99999999999999999999"), 0x7FFFFFFFu);
    EXPECT_EQ(parse("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(parse("-2147483649"), 0x80000000u);
    EXPECT_EQ(parse("0xFFFFFFFF"), 0x7FFFFFFFu);
}

TEST(Str2dword, TrailingTextIsIgnoredAndNoDigitsGiveZero)
{
    EXPECT_EQ(parse("12abc"), 12u);
    EXPECT_EQ(parse("abc"), 0u);
    EXPECT_EQ(parse(""), 0u);
    EXPECT_EQ(parse("  42"), 42u);
    EXPECT_EQ(parse(" 0x10"), 0u);  // the prefix must stand first; base 10 stops at x
}

TEST(DevicePath, PrefixArgumentAndOneColon)
{
    EXPECT_EQ(path("E"), "\\\\.\\E:");
    EXPECT_EQ(path("E:"), "\\\\.\\E:");
    EXPECT_EQ(path("e"), "\\\\.\\e:");
    EXPECT_EQ(path(""), "\\\\.\\:");
    EXPECT_EQ(path("-r"), "\\\\.\\-r:");
    EXPECT_EQ(path("E:\\"), "\\\\.\\E:\\:");
}

TEST(DevicePath, RefusesWhatDoesNotFitTheBuffer)
{
    // Prefix (4) + argument + colon + zero must fit in 520 bytes.
    const std::string fits(514, 'A');
    const std::string tooLong(515, 'A');
    EXPECT_EQ(path(fits.c_str()).size(), 519u);
    EXPECT_EQ(path(tooLong.c_str()), "<too long>");
    // An argument ending in a colon needs no room for another.
    const std::string withColon = std::string(514, 'A') + ":";
    EXPECT_EQ(path(withColon.c_str()).size(), 519u);
    EXPECT_EQ(path("E", 7), "\\\\.\\E:");
    EXPECT_EQ(path("E", 6), "<too long>");
}

TEST(OutputFile, NeverOverwritesAndWritesExactly)
{
    const char* name = "support-test-output.bin";
    std::remove(name);
    const Outcome written = capture([&] {
        OutputFile file = OutputFile::createNew(name);
        file.write("abc", 3);
        file.write("", 0);
    });
    EXPECT_FALSE(written.ended);
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(readAll(name), "abc");

    const Outcome again = capture([&] {
        OutputFile file = OutputFile::createNew(name);
        file.write("xyz", 3);
    });
    EXPECT_TRUE(again.ended);
    EXPECT_EQ(again.status, -1);
    EXPECT_EQ(again.out, "*** Error!\ncan't open file\n");
    EXPECT_EQ(readAll(name), "abc");
    std::remove(name);
}

TEST(OutputFile, OpeningAMissingFileForInputFails)
{
    const Outcome outcome = capture([] { OutputFile::openExisting("support-test-no-such-file.bin"); });
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.out, "*** Error!\ncan't open file\n");
}

}  // namespace

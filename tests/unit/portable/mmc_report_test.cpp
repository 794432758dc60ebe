// The printed reports of MMC replies, compared whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "mmc_report.h"

namespace {

TEST(MmcReport, TrackInformationBlockWholeReport)
{
    unsigned char b[48] = {};
    b[1] = 46;
    b[2] = 2;   // track number low
    b[32] = 1;  // high: 258
    b[3] = 1;
    b[5] = 0x80 | 0x20 | 0x04;  // LJRS 2, damaged, not copied, mode 4
    b[6] = 0x40 | 0x10 | 0x05;  // blank, fixed packet, data mode 5 (no text)
    b[7] = 0x02;                // LRA_V
    b[11] = 0x10;               // track start 0x10
    b[12] = 0x00;
    b[13] = 0x01;
    b[14] = 0x02;
    b[15] = 0x03;
    b[19] = 0xFF;
    b[23] = 16;
    b[24] = 0x00;
    b[25] = 0x23;
    b[26] = 0x12;
    b[27] = 0x80;
    b[28] = 0xFF;
    b[29] = 0xFF;
    b[30] = 0xFF;
    b[31] = 0xFF;
    b[39] = 0x2A;
    const std::string expected =
        "Track Information Length = 46\n"
        "Track Number = 258\n"
        "Session Number = 1\n"
        "LJRS = 2 : Layer Jump - Manual\n"
        "Damage = 1 : Damaged\n"
        "Copy (for CD) = 0 : Not copied\n"
        "Track Mode = 4\n"
        "RT = 0 : Not reserved track\n"
        "Blank = 1 : Data not written\n"
        "Packet/Inc = 0 : Neither Packet(CD) nor Incremental recording(DVD)\n"
        "FP = 1 : Fixed Packet\n"
        "Data Mode (for CD) = 5 : \n"
        "LRA_V = 1 : Last Recorded Address field is valid\n"
        "NWA_V = 0 : Next Writable Address field is not valid\n"
        "Track Start Address = 0x10\n"
        "Next Writable Address = 0x10203\n"
        "Free Blocks = 0xFF\n"
        "Fixed Packet Size/Blocking Factor = 16\n"
        "Track Size/RZone End Address = 0x231280\n"
        "Last Recorded Address = 0xFFFFFFFF\n"
        "Read Compatibility LBA = 0x2A\n";
    EXPECT_EQ(capture([&] { printTrackInformation(b); }).out, expected);
}

TEST(MmcReport, TrackInformationDataModeTexts)
{
    unsigned char b[48] = {};
    const char* const expected[] = {"Reserved", "Mode 1 (ISO/IEC 10149)", "Mode 2 (ISO/IEC 10149 or CD-ROM XA)"};
    for (unsigned mode = 0; mode < 3; mode++) {
        b[6] = static_cast<unsigned char>(mode);
        const std::string out = capture([&] { printTrackInformation(b); }).out;
        EXPECT_NE(out.find("Data Mode (for CD) = " + std::to_string(mode) + " : " + expected[mode] + "\n"),
                  std::string::npos);
    }
    b[6] = 15;
    EXPECT_NE(capture([&] {
                  printTrackInformation(b);
              }).out.find("Data Mode (for CD) = 15 : Data Block Type unknown (No Track Descriptor Block)\n"),
              std::string::npos);
}

TEST(MmcReport, DiscInformationBlockWholeReport)
{
    unsigned char b[34] = {};
    b[1] = 32;
    b[2] = 0x40 | 0x10 | 0x0C | 0x01;  // data type 2, erasable, complete session, incomplete disc
    b[3] = 1;
    b[4] = 3;
    b[9] = 1;  // 259 sessions
    b[5] = 44;
    b[10] = 1;  // 300
    b[6] = 45;
    b[11] = 1;  // 301
    b[7] = 0x20;
    const std::string expected =
        "Disc Information Length = 32\n"
        "Disc Information Data Type = 2\n"
        "Erasable = 1 : CD-RW, DVD-RW, DVD-RAM or HD-DVD-RAM is present\n"
        "Status of Last Session = 3 : Complete Session/Border\n"
        "Disc Status = 1 : Incomplete disc\n"
        "First Track Number on Disc = 1\n"
        "Number of Sessions = 259\n"
        "First Track Number in Last Session = 300\n"
        "Last Track Number in Last Session = 301\n"
        "URU = 1 : Mounted DVD-R, CD-R or CD-RW disc is defined for UnRestricted Use\n";
    EXPECT_EQ(capture([&] { printDiscInformation(b); }).out, expected);
}

TEST(MmcReport, InquiryDataStringsAndDeviceTypes)
{
    unsigned char b[96] = {};
    b[0] = 0x05;
    std::memcpy(b + 8, "VENDOR  ", 8);
    std::memcpy(b + 16, "DVD-RW DRIVE    ", 16);
    std::memcpy(b + 32, "1.0", 3);  // fourth byte NUL
    EXPECT_EQ(capture([&] { printInquiryData(b); }).out,
              "Peripheral Device Type = 5 : Multi-Media logical unit\n"
              "T10 Vendor Identification = \"VENDOR  \"\n"
              "Product Identification = \"DVD-RW DRIVE    \"\n"
              "Product Revision Level = \"1.0\"\n");
    b[0] = 0xFF;  // qualifier bits are not part of the type: 31
    std::memcpy(b + 32, "1.02", 4);
    b[36] = 'X';  // the field ends after four characters
    const std::string out = capture([&] { printInquiryData(b); }).out;
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "Peripheral Device Type = 31 : ?\n");
    EXPECT_NE(out.find("Product Revision Level = \"1.02\"\n"), std::string::npos);
}

TEST(MmcReport, FeatureHeaderProfiles)
{
    unsigned char b[8] = {0, 0, 0, 0x24, 0, 0, 0, 0x13};
    EXPECT_EQ(capture([&] { printFeatureHeader(b); }).out,
              "Data Length = 36\nCurrent Profile = 19 : DVD-RW Restricted Overwrite\n");
    b[7] = 0x2B;
    EXPECT_EQ(capture([&] { printFeatureHeader(b); }).out, "Data Length = 36\nCurrent Profile = 43 : ?\n");
    b[7] = 0x00;
    EXPECT_NE(capture([&] { printFeatureHeader(b); }).out.find("= 0 : No disk\n"), std::string::npos);
    b[7] = 0x1A;
    EXPECT_NE(capture([&] { printFeatureHeader(b); }).out.find("= 26 : DVD+RW\n"), std::string::npos);
    b[6] = 0x01;  // 0x011A: both bytes count
    EXPECT_NE(capture([&] { printFeatureHeader(b); }).out.find("= 282 : ?\n"), std::string::npos);
}

}  // namespace

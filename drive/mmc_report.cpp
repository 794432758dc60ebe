#include "mmc_report.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "report_sink.h"
#include "support.h"

namespace {

using Bytes = const std::uint8_t*;

void number(const char* label, std::uint32_t value)
{
    reportf("%s%d\n", label, static_cast<int>(value));
}

void hexNumber(const char* label, std::uint32_t value)
{
    reportf("%s0x%X\n", label, value);
}

// A coded value: the number, then the text for it (none when text is null).
void coded(const char* label, std::uint32_t value, const char* text)
{
    reportf("%s%d : ", label, static_cast<int>(value));
    if (text != nullptr) {
        reportf("%s", text);
    }
    reportf("\n");
}

void flag(const char* label, std::uint32_t value, const char* clear, const char* set)
{
    coded(label, value, value != 0 ? set : clear);
}

void quoted(const char* label, Bytes field, std::size_t width)
{
    char text[17] = {};
    std::memcpy(text, field, width);
    text[width] = '\0';
    reportf("%s\"%s\"\n", label, text);
}

template <std::size_t N>
const char* pick(const char* const (&texts)[N], std::uint32_t value, const char* fallback)
{
    return value < N ? texts[value] : fallback;
}

}  // namespace

const char* profileName(std::uint32_t profile)
{
    switch (profile) {
        case 0x00: return "No disk";
        case 0x01: return "Non-removable disk";
        case 0x02: return "Removable disk";
        case 0x08: return "CD-ROM";
        case 0x09: return "CD-R";
        case 0x0A: return "CD-RW";
        case 0x10: return "DVD-ROM";
        case 0x11: return "DVD-R Sequential recording";
        case 0x12: return "DVD-RAM";
        case 0x13: return "DVD-RW Restricted Overwrite";
        case 0x14: return "DVD-RW Sequential recording";
        case 0x15: return "DVD-R Dual Layer Sequential recording";
        case 0x16: return "DVD-R Dual Layer Jump recording";
        case 0x1A: return "DVD+RW";
        case 0x1B: return "DVD+R";
    }
    return "?";
}

void printTrackInformation(const void* reply)
{
    const auto* b = static_cast<Bytes>(reply);
    static const char* const ljrs[] = {"DAO/Incremental or Non-Layer jump recording on DVD-RW medium",
                                       "Layer Jump - Unspecified", "Layer Jump - Manual",
                                       "Layer Jump - Regular Interval"};
    number("Track Information Length = ", readBe16(b, 0));
    number("Track Number = ", b[2] + 256u * b[32]);
    number("Session Number = ", b[3] + 256u * b[33]);
    const std::uint32_t ljrsValue = (b[5] >> 6) & 3u;
    coded("LJRS = ", ljrsValue, ljrs[ljrsValue]);
    flag("Damage = ", (b[5] >> 5) & 1u, "Not damaged", "Damaged");
    flag("Copy (for CD) = ", (b[5] >> 4) & 1u, "Not copied", "Second or higher generation copy track");
    number("Track Mode = ", b[5] & 0x0Fu);
    flag("RT = ", (b[6] >> 7) & 1u, "Not reserved track", "Reserved track");
    flag("Blank = ", (b[6] >> 6) & 1u, "Data written", "Data not written");
    flag("Packet/Inc = ", (b[6] >> 5) & 1u, "Neither Packet(CD) nor Incremental recording(DVD)",
         "Packet(CD) or Incremental recording(DVD)");
    flag("FP = ", (b[6] >> 4) & 1u, "Not Fixed Packet", "Fixed Packet");
    const std::uint32_t dataMode = b[6] & 0x0Fu;
    const char* dataModeText = nullptr;
    switch (dataMode) {
        case 0: dataModeText = "Reserved"; break;
        case 1: dataModeText = "Mode 1 (ISO/IEC 10149)"; break;
        case 2: dataModeText = "Mode 2 (ISO/IEC 10149 or CD-ROM XA)"; break;
        case 15: dataModeText = "Data Block Type unknown (No Track Descriptor Block)"; break;
        default: break;
    }
    coded("Data Mode (for CD) = ", dataMode, dataModeText);
    flag("LRA_V = ", (b[7] >> 1) & 1u, "Last Recorded Address field is not valid",
         "Last Recorded Address field is valid");
    flag("NWA_V = ", b[7] & 1u, "Next Writable Address field is not valid", "Next Writable Address field is valid");
    hexNumber("Track Start Address = ", readBe32(b, 8));
    hexNumber("Next Writable Address = ", readBe32(b, 12));
    hexNumber("Free Blocks = ", readBe32(b, 16));
    number("Fixed Packet Size/Blocking Factor = ", readBe32(b, 20));
    hexNumber("Track Size/RZone End Address = ", readBe32(b, 24));
    hexNumber("Last Recorded Address = ", readBe32(b, 28));
    hexNumber("Read Compatibility LBA = ", readBe32(b, 36));
}

void printDiscInformation(const void* reply)
{
    const auto* b = static_cast<Bytes>(reply);
    static const char* const sessionStatus[] = {"Empty Session/Border", "Incomplete Session/Border",
                                                "Damaged Border or Finalization suspended", "Complete Session/Border"};
    static const char* const discStatus[] = {"Empty disc", "Incomplete disc", "Complete disc", "Others"};
    number("Disc Information Length = ", readBe16(b, 0));
    number("Disc Information Data Type = ", (b[2] >> 5) & 7u);
    flag("Erasable = ", (b[2] >> 4) & 1u, "CD-RW, DVD-RW, DVD-RAM or HD-DVD-RAM is not present",
         "CD-RW, DVD-RW, DVD-RAM or HD-DVD-RAM is present");
    const std::uint32_t session = (b[2] >> 2) & 3u;
    coded("Status of Last Session = ", session, sessionStatus[session]);
    const std::uint32_t disc = b[2] & 3u;
    coded("Disc Status = ", disc, discStatus[disc]);
    number("First Track Number on Disc = ", b[3]);
    number("Number of Sessions = ", b[4] + 256u * b[9]);
    number("First Track Number in Last Session = ", b[5] + 256u * b[10]);
    number("Last Track Number in Last Session = ", b[6] + 256u * b[11]);
    flag("URU = ", (b[7] >> 5) & 1u, "Mounted DVD-R, CD-R or CD-RW disc is defined for Restricted Use",
         "Mounted DVD-R, CD-R or CD-RW disc is defined for UnRestricted Use");
}

void printInquiryData(const void* reply)
{
    const auto* b = static_cast<Bytes>(reply);
    static const char* const types[] = {"Direct-access block device",
                                        "Sequential-access device",
                                        "Printer device",
                                        "Processor device",
                                        "Write-once device",
                                        "Multi-Media logical unit",
                                        "Scanner device (obsolete)",
                                        "Optical memory device",
                                        "Medium changer device",
                                        "Communication device (obsolete)"};
    const std::uint32_t type = b[0] & 0x1Fu;
    coded("Peripheral Device Type = ", type, pick(types, type, "?"));
    quoted("T10 Vendor Identification = ", b + 8, 8);
    quoted("Product Identification = ", b + 16, 16);
    // The copy of the revision stops at a NUL byte; quoted() stops there too.
    quoted("Product Revision Level = ", b + 32, 4);
}

void printFeatureHeader(const void* reply)
{
    const auto* b = static_cast<Bytes>(reply);
    number("Data Length = ", readBe32(b, 0));
    const std::uint32_t profile = readBe16(b, 6);
    coded("Current Profile = ", profile, profileName(profile));
}

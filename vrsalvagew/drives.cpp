#include "drives.h"

#include <windows.h>

#include <array>

#include "mmc.h"
#include "mmc_report.h"
#include "report.h"
#include "scsi.h"
#include "support.h"

namespace {

// An INQUIRY field: printable ASCII, trailing blanks dropped.
std::string inquiryText(const std::array<std::uint8_t, kInquiryLength>& data, std::size_t first, std::size_t length)
{
    std::string text;
    for (std::size_t i = first; i < first + length; ++i)
        text += data[i] >= 0x20 && data[i] < 0x7f ? static_cast<char>(data[i]) : ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// The first line of an error's report after "*** Error!".
std::string firstReason(const FatalError& error)
{
    std::string report = error.report;
    const std::string head = "*** Error!\n";
    if (const std::size_t at = report.find(head); at != std::string::npos)
        report.erase(0, at + head.size());
    return report.substr(0, report.find('\n'));
}

std::string describe(const std::string& letter)
{
    std::string label = letter + ":  ";
    try {
        Drive drive = Drive::open(devicePath(letter.c_str()).c_str());
        const std::array<std::uint8_t, kInquiryLength> data = inquiry(drive);
        label += inquiryText(data, 8, 8);
        label += ' ';
        label += inquiryText(data, 16, 16);
        std::string medium;
        try {
            const std::uint16_t profile = currentProfile(drive);
            medium = profile == 0 ? "no disc" : profileName(profile);
        } catch (const FatalError&) {
            medium = "no disc";
        }
        label += "  (";
        label += medium;
        label += ')';
    } catch (const FatalError& error) {
        label += "(";
        label += firstReason(error);
        label += ')';
    }
    return label;
}

}  // namespace

std::vector<OpticalDrive> listOpticalDrives()
{
    std::vector<OpticalDrive> drives;
    const DWORD letters = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((letters & (1u << i)) == 0)
            continue;
        const std::string letter(1, static_cast<char>('A' + i));
        const std::string root = letter + ":\\";
        if (GetDriveTypeA(root.c_str()) != DRIVE_CDROM)
            continue;
        drives.push_back(OpticalDrive{letter, describe(letter)});
    }
    return drives;
}

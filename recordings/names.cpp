// Titles in the disc's character set as UTF-8, recording times, and file names.
#include "recordings.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace vrsplit {

namespace {

#include "shift_jis_table.inc"

void appendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

// The code point of a Shift-JIS double-byte character, 0 when there is none.
std::uint32_t shiftJisPair(std::uint8_t lead, std::uint8_t trail)
{
    if (trail < 0x40 || trail > 0xFC)
        return 0;
    const auto* row = std::find(std::begin(kShiftJisLeads), std::end(kShiftJisLeads), lead);
    if (row == std::end(kShiftJisLeads))
        return 0;
    return kShiftJisRows[row - std::begin(kShiftJisLeads)][trail - 0x40];
}

bool isShiftJisLead(std::uint8_t b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

}  // namespace

std::string textToUtf8(std::span<const std::uint8_t> field, Charset charset)
{
    std::size_t length = std::find(field.begin(), field.end(), 0) - field.begin();
    while (length > 0 && field[length - 1] == ' ')
        --length;
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t b = field[i];
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else if (charset == Charset::Latin1) {
            appendUtf8(out, b);
        } else if (charset == Charset::ShiftJis && b >= 0xA1 && b <= 0xDF) {
            appendUtf8(out, 0xFF61 + (b - 0xA1u));  // half-width katakana
        } else if (charset == Charset::ShiftJis && isShiftJisLead(b) && i + 1 < length) {
            std::uint32_t c = shiftJisPair(b, field[i + 1]);
            appendUtf8(out, c != 0 ? c : kReplacement);
            ++i;
        } else {
            appendUtf8(out, kReplacement);
        }
    }
    return out;
}

std::string programTitle(const Program& program, Charset charset)
{
    std::string title = textToUtf8(program.nameText, charset);
    return title.empty() ? textToUtf8(program.nameAscii, Charset::Latin1) : title;
}

std::string formatRecordedAt(const RecordedAt& at)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", at.year, at.month, at.day, at.hour, at.minute,
                  at.second);
    return text;
}

std::optional<int> decodeTimeZone(std::uint32_t field)
{
    if (field == 0)
        return std::nullopt;
    int minutes = static_cast<int>(field & 0xFFF);
    return minutes >= 0x800 ? minutes - 0x1000 : minutes;
}

std::optional<std::int64_t> unixTimeOf(const RecordedAt& at, std::optional<int> zoneMinutes)
{
    if (at.month < 1 || at.month > 12 || at.day < 1 || at.day > 31 || at.hour > 23 || at.minute > 59 ||
        at.second > 59 || at.year < 1970)
        return std::nullopt;
    if (!zoneMinutes) {
        std::tm local{};
        local.tm_year = static_cast<int>(at.year) - 1900;
        local.tm_mon = static_cast<int>(at.month) - 1;
        local.tm_mday = static_cast<int>(at.day);
        local.tm_hour = static_cast<int>(at.hour);
        local.tm_min = static_cast<int>(at.minute);
        local.tm_sec = static_cast<int>(at.second);
        local.tm_isdst = -1;  // as the computer's rules say for that day
        std::time_t t = std::mktime(&local);
        return t == static_cast<std::time_t>(-1) ? std::nullopt : std::optional<std::int64_t>(t);
    }
    // Days from 1970-01-01 to the date (the proleptic Gregorian calendar, March-based years).
    std::int64_t y = static_cast<std::int64_t>(at.year) - (at.month <= 2 ? 1 : 0);
    std::int64_t era = y / 400;
    std::int64_t yearOfEra = y - era * 400;
    std::int64_t month = at.month > 2 ? at.month - 3 : at.month + 9;
    std::int64_t dayOfYear = (153 * month + 2) / 5 + at.day - 1;
    std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    std::int64_t days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + at.hour * 3600 + at.minute * 60 + at.second - std::int64_t{*zoneMinutes} * 60;
}

std::string safeFileNamePart(const std::string& utf8)
{
    std::string out;
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        bool refused = c < 0x20 || c == 0x7F || std::string_view("<>:\"/\\|?*").find(ch) != std::string_view::npos;
        out += refused ? '_' : ch;
    }
    while (!out.empty() && (out.back() == '.' || out.back() == ' '))  // Windows drops them
        out.pop_back();
    return out;
}

std::string recordingFileName(unsigned number, const RecordedAt& at, const std::string& title)
{
    char text[64];
    std::snprintf(text, sizeof text, "%02u_%04u-%02u-%02u_%02u-%02u-%02u", number, at.year, at.month, at.day, at.hour,
                  at.minute, at.second);
    std::string name = text;
    std::string part = safeFileNamePart(title);
    if (!part.empty())
        name += "_" + part;
    return name + ".mpg";
}

}  // namespace vrsplit

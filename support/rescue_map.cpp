#include "rescue_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace {

// A mapfile describes a disc of at most a few tens of gigabytes; a text far
// larger than any real one is refused before it is split into lines.
constexpr std::size_t kMaxLines = 16u * 1024 * 1024;

bool isBlockStatus(char c)
{
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

// '?' copying, '*' trimming, '/' scraping, '-' retrying, 'F' filling,
// 'G' generating, '+' finished.
bool isCurrentStatus(char c)
{
    return isBlockStatus(c) || c == 'F' || c == 'G';
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The whitespace-separated fields of one line.
std::vector<std::string_view> fieldsOf(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSpace(line[i])) {
            i++;
        }
        const std::size_t start = i;
        while (i < line.size() && !isSpace(line[i])) {
            i++;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

// A number in hexadecimal with "0x" or in decimal; nothing when the field
// holds anything else or the value does not fit in 64 bits.
std::optional<std::uint64_t> parseNumber(std::string_view field, const char** reason)
{
    unsigned base = 10;
    if (field.size() > 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X')) {
        base = 16;
        field.remove_prefix(2);
    }
    if (field.empty()) {
        *reason = "not a number";
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : field) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            *reason = "not a number";
            return std::nullopt;
        }
        if (value > (UINT64_MAX - digit) / base) {
            *reason = "number too large";
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

bool refuse(std::string* error, std::size_t lineNumber, const std::string& reason)
{
    if (error != nullptr) {
        *error = "line " + std::to_string(lineNumber) + ": " + reason;
    }
    return false;
}

void appendBlock(std::string& text, std::uint64_t position, std::uint64_t size, char status)
{
    char line[64];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", position, size, status);
    text += line;
}

}  // namespace

std::string formatRescueMap(const RescueMap& map)
{
    std::string text;
    for (const std::string& comment : map.comments) {
        text += comment;
        text += '\n';
    }
    char line[64];
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", map.currentPosition,
                  map.currentStatus, map.currentPass);
    text += line;

    // Neighbours of one status become one line; what no block covers, before
    // or between blocks, is written as non-tried, so the list starts at 0 and
    // has no gaps whatever the caller handed in.
    std::uint64_t end = 0;  // of what has been written or is pending
    std::uint64_t pendingPosition = 0;
    std::uint64_t pendingSize = 0;
    char pendingStatus = 0;
    auto add = [&](std::uint64_t position, std::uint64_t size, char status) {
        if (size == 0) {
            return;
        }
        if (pendingSize != 0 && status == pendingStatus) {
            pendingSize += size;
        } else {
            if (pendingSize != 0) {
                appendBlock(text, pendingPosition, pendingSize, pendingStatus);
            }
            pendingPosition = position;
            pendingSize = size;
            pendingStatus = status;
        }
        end = position + size;
    };
    for (const RescueBlock& block : map.blocks) {
        if (block.position + block.size <= end) {
            continue;  // nothing new: overlaps what was written
        }
        const std::uint64_t position = std::max(block.position, end);
        add(end, position - end, static_cast<char>(RescueStatus::NonTried));
        add(position, block.position + block.size - position, static_cast<char>(block.status));
    }
    if (pendingSize != 0) {
        appendBlock(text, pendingPosition, pendingSize, pendingStatus);
    }
    return text;
}

std::optional<RescueMap> parseRescueMap(std::string_view text, std::string* error)
{
    RescueMap map;
    bool statusLineSeen = false;
    std::uint64_t end = 0;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        if (++lineNumber > kMaxLines) {
            refuse(error, lineNumber, "too many lines");
            return std::nullopt;
        }
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::vector<std::string_view> fields = fieldsOf(line);
        if (fields.empty()) {
            continue;
        }
        if (fields[0][0] == '#') {
            map.comments.emplace_back(line);
            continue;
        }
        const char* reason = nullptr;
        if (!statusLineSeen) {
            // current_pos current_status [current_pass]
            if (fields.size() < 2 || fields.size() > 3) {
                refuse(error, lineNumber, "not a status line");
                return std::nullopt;
            }
            const std::optional<std::uint64_t> position = parseNumber(fields[0], &reason);
            if (!position) {
                refuse(error, lineNumber, reason);
                return std::nullopt;
            }
            if (fields[1].size() != 1 || !isCurrentStatus(fields[1][0])) {
                refuse(error, lineNumber, "bad current status '" + std::string(fields[1]) + "'");
                return std::nullopt;
            }
            int pass = 1;
            if (fields.size() == 3) {
                const std::optional<std::uint64_t> number = parseNumber(fields[2], &reason);
                if (!number || *number < 1 || *number > 1000000) {
                    refuse(error, lineNumber, "bad current pass");
                    return std::nullopt;
                }
                pass = static_cast<int>(*number);
            }
            map.currentPosition = *position;
            map.currentStatus = fields[1][0];
            map.currentPass = pass;
            statusLineSeen = true;
            continue;
        }
        // pos size status
        if (fields.size() != 3) {
            refuse(error, lineNumber, "not a block line");
            return std::nullopt;
        }
        const std::optional<std::uint64_t> position = parseNumber(fields[0], &reason);
        if (!position) {
            refuse(error, lineNumber, reason);
            return std::nullopt;
        }
        const std::optional<std::uint64_t> size = parseNumber(fields[1], &reason);
        if (!size) {
            refuse(error, lineNumber, reason);
            return std::nullopt;
        }
        if (fields[2].size() != 1 || !isBlockStatus(fields[2][0])) {
            refuse(error, lineNumber, "bad block status '" + std::string(fields[2]) + "'");
            return std::nullopt;
        }
        if (*size > UINT64_MAX - *position) {
            refuse(error, lineNumber, "block ends beyond 64 bits");
            return std::nullopt;
        }
        if (!map.blocks.empty()) {
            if (*position < end) {
                refuse(error, lineNumber,
                       *position < map.blocks.back().position ? "block out of order" : "block overlaps the one before");
                return std::nullopt;
            }
            if (*position > end) {
                refuse(error, lineNumber, "gap before block");
                return std::nullopt;
            }
        }
        map.blocks.push_back(RescueBlock{*position, *size, static_cast<RescueStatus>(fields[2][0])});
        end = *position + *size;
    }
    if (!statusLineSeen) {
        refuse(error, lineNumber, "no status line");
        return std::nullopt;
    }
    return map;
}

RescueStatus rescueStatusAt(const RescueMap& map, std::uint64_t position)
{
    // The last block that starts at or before `position`.
    const auto after = std::upper_bound(map.blocks.begin(), map.blocks.end(), position,
                                        [](std::uint64_t p, const RescueBlock& b) { return p < b.position; });
    if (after == map.blocks.begin()) {
        return RescueStatus::NonTried;
    }
    const RescueBlock& block = *(after - 1);
    return position - block.position < block.size ? block.status : RescueStatus::NonTried;
}

bool rescuedThroughout(const RescueMap& map, std::uint64_t position, std::uint64_t size)
{
    std::uint64_t at = position;
    const std::uint64_t end = size > UINT64_MAX - position ? UINT64_MAX : position + size;
    auto block = std::upper_bound(map.blocks.begin(), map.blocks.end(), at,
                                  [](std::uint64_t p, const RescueBlock& b) { return p < b.position; });
    if (block == map.blocks.begin()) {
        return size == 0;
    }
    --block;
    // Blocks are in order without gaps, so the range is covered by the run of
    // blocks from the one holding `position` on.
    for (; at < end; ++block) {
        if (block == map.blocks.end() || block->position > at || at - block->position >= block->size ||
            block->status != RescueStatus::Rescued) {
            return false;
        }
        at = block->position + block->size;
    }
    return true;
}

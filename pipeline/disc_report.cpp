#include "disc_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace pipeline {

namespace {

constexpr double kMapWidth = 1000;
constexpr unsigned kMapRows = 8;
constexpr double kRowHeight = 30;
constexpr double kRowGap = 12;
constexpr double kRateHeight = 140;

// Colours of the live recordings in turn; erased ones take the same hues, lighter and
// hatched.
const std::uint32_t kLiveColours[] = {0x1f77b4, 0x2ca02c, 0x9467bd, 0xff7f0e, 0x17becf, 0x8c564b, 0xbcbd22};
constexpr std::size_t kLiveColourCount = sizeof kLiveColours / sizeof kLiveColours[0];

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string number(std::uint64_t value)
{
    return std::to_string(value);
}

std::string escapeHtml(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string escapeJson(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A file name as a relative URL: every byte but the unreserved ones percent-encoded.
std::string urlOf(const std::string& file)
{
    std::string out;
    for (char c : file) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", byte);
            out += code;
        }
    }
    return out;
}

std::string base64(const std::string& bytes)
{
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t word = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            word |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            word |= static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[(word >> 18) & 63];
        out += kDigits[(word >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(word >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[word & 63] : '=';
    }
    return out;
}

std::string duration(double seconds)
{
    const auto whole = static_cast<unsigned long long>(std::llround(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    return text;
}

std::string bytesText(std::uint64_t bytes)
{
    if (bytes >= 10ull * 1000 * 1000)
        return format("%.0f MB", static_cast<double>(bytes) / 1e6);
    return format("%.1f MB", static_cast<double>(bytes) / 1e6);
}

std::string fill(const MapArea& area)
{
    if (area.kind == AreaKind::Erased)
        return "url(#erased)";
    if (area.kind == AreaKind::NotTried)
        return "url(#untried)";
    char text[8];
    std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(areaColours(area.kind, area.recording).main));
    return text;
}

}  // namespace

const char* areaLegendText(AreaKind kind)
{
    switch (kind) {
        case AreaKind::FileSystem: return "file system";
        case AreaKind::Management: return "management file";
        case AreaKind::Live: return "recording";
        case AreaKind::Movie: return "movie data of no recording";
        case AreaKind::Free: return "free blocks";
        case AreaKind::Erased: return "erased recording, found again";
        case AreaKind::Unreadable: return "unreadable";
        case AreaKind::NotTried: return "not tried";
    }
    return "";
}

namespace {

std::string sectorRange(std::uint64_t first, std::uint64_t count)
{
    return count == 1 ? "sector " + number(first) : "sectors " + number(first) + "-" + number(first + count - 1);
}

// The areas as drawn: unreadable and untried areas of one kind nearer to each other than
// `nearSectors` drawn as one, counted in its label, so that a disc with thousands of
// scattered bad sectors still makes a small page (the JSON keeps each of them).
std::vector<MapArea> drawnAreas(const DiscReport& report, std::uint64_t nearSectors)
{
    std::vector<MapArea> drawn, scattered;
    for (const MapArea& area : report.areas)
        (area.kind == AreaKind::Unreadable || area.kind == AreaKind::NotTried ? scattered : drawn).push_back(area);
    std::stable_sort(scattered.begin(), scattered.end(), [](const MapArea& a, const MapArea& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.first < b.first;
    });
    std::uint64_t areas = 0, sectors = 0;
    const auto close = [&] {
        if (areas > 1)
            drawn.back().label =
                number(areas) + " areas, " + number(sectors) + " sector(s) in all: " + drawn.back().label;
    };
    for (const MapArea& area : scattered) {
        MapArea* last = drawn.empty() ? nullptr : &drawn.back();
        if (areas > 0 && last->kind == area.kind && area.first <= last->first + last->count + nearSectors) {
            last->count = std::max(last->count, area.first + area.count - last->first);
            ++areas;
            sectors += area.count;
            continue;
        }
        close();
        drawn.push_back(area);
        areas = 1;
        sectors = area.count;
    }
    close();
    return drawn;
}

// Where each area shows on the map: the areas laid down in drawing order, a later one
// over an earlier one, and for each of them the stretches [first, end) left visible.
using Pieces = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Drawing order: the areas as given, unreadable and untried areas over everything.
int drawingRank(AreaKind kind)
{
    return kind == AreaKind::Unreadable || kind == AreaKind::NotTried ? 1 : 0;
}

// Kinds drawn at least 2 units wide, after the others so that no neighbour covers them:
// the management file is small but wanted.
bool drawnWide(AreaKind kind)
{
    return drawingRank(kind) > 0 || kind == AreaKind::Management;
}

std::vector<Pieces> visiblePieces(const std::vector<const MapArea*>& order, std::uint64_t total)
{
    std::map<std::uint64_t, std::pair<std::uint64_t, std::size_t>> painted;  // first -> (end, area)
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::uint64_t first = order[i]->first;
        const std::uint64_t end = std::min(total, first + order[i]->count);
        if (first >= end)
            continue;
        // Cut the pieces that reach over `first` and `end`, then drop those in between.
        for (const std::uint64_t at : {first, end}) {
            auto it = painted.upper_bound(at);
            if (it == painted.begin())
                continue;
            --it;
            if (it->first < at && it->second.first > at) {
                painted[at] = it->second;
                it->second.first = at;
            }
        }
        painted.erase(painted.lower_bound(first), painted.lower_bound(end));
        painted[first] = {end, i};
    }
    std::vector<Pieces> pieces(order.size());
    for (const auto& [first, piece] : painted) {
        Pieces& own = pieces[piece.second];
        if (!own.empty() && own.back().second == first)
            own.back().second = piece.first;
        else
            own.emplace_back(first, piece.first);
    }
    return pieces;
}

// The areas in drawing order, and the parts of each that show.
struct MapLayout {
    std::vector<MapArea> drawn;
    std::vector<const MapArea*> order;
    std::vector<Pieces> pieces;
};

MapLayout mapLayout(const DiscReport& report)
{
    const std::uint64_t total = std::max<std::uint64_t>(report.recordedSectors, 1);
    const std::uint64_t perRow = (total + kMapRows - 1) / kMapRows;
    MapLayout layout;
    // Two units of the map's width: the narrowest an unreadable area is drawn.
    layout.drawn = drawnAreas(report, static_cast<std::uint64_t>(static_cast<double>(perRow) / kMapWidth * 2));
    for (const MapArea& area : layout.drawn)
        layout.order.push_back(&area);
    std::stable_sort(layout.order.begin(), layout.order.end(),
                     [](const MapArea* a, const MapArea* b) { return drawingRank(a->kind) < drawingRank(b->kind); });
    layout.pieces = visiblePieces(layout.order, total);
    return layout;
}

// The disc as rows of sectors drawn to scale, each area a group of rectangles (one per
// row its visible parts touch) with its hover text; unreadable and untried areas and the
// management file are drawn at least 2 units wide, so that a single sector still shows.
std::string mapSvg(const DiscReport& report, const MapLayout& layout)
{
    const std::uint64_t total = std::max<std::uint64_t>(report.recordedSectors, 1);
    const std::uint64_t perRow = (total + kMapRows - 1) / kMapRows;
    const double height = kMapRows * (kRowHeight + kRowGap);
    std::string svg = "<svg class=\"map\" viewBox=\"0 0 " + format("%.0f", kMapWidth) + " " + format("%.0f", height) +
                      "\" role=\"img\" aria-label=\"map of the disc's sectors\">\n"
                      "<defs><pattern id=\"erased\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
                      "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#f4a6c8\"/>"
                      "<rect width=\"3\" height=\"6\" fill=\"#c2185b\"/></pattern>"
                      "<pattern id=\"untried\" width=\"4\" height=\"4\" patternUnits=\"userSpaceOnUse\">"
                      "<rect width=\"4\" height=\"4\" fill=\"#ffffff\"/><rect width=\"2\" height=\"2\" "
                      "fill=\"#555555\"/></pattern></defs>\n";
    for (unsigned row = 0; row < kMapRows; ++row) {
        const double y = row * (kRowHeight + kRowGap) + kRowGap;
        svg += "<rect class=\"row\" x=\"0\" y=\"" + format("%.0f", y) + "\" width=\"" + format("%.0f", kMapWidth) +
               "\" height=\"" + format("%.0f", kRowHeight) + "\"/>\n";
        svg += "<text class=\"axis\" x=\"0\" y=\"" + format("%.0f", y - 2) + "\">" + number(row * perRow) + "</text>\n";
    }
    std::vector<std::size_t> emitted(layout.order.size());
    for (std::size_t i = 0; i < emitted.size(); ++i)
        emitted[i] = i;
    std::stable_sort(emitted.begin(), emitted.end(), [&](std::size_t a, std::size_t b) {
        const auto rank = [&](std::size_t i) {
            return drawingRank(layout.order[i]->kind) * 2 + (drawnWide(layout.order[i]->kind) ? 1 : 0);
        };
        return rank(a) < rank(b);
    });
    for (const std::size_t i : emitted) {
        const MapArea* area = layout.order[i];
        if (layout.pieces[i].empty())
            continue;
        const bool small = drawnWide(area->kind);
        svg += "<g data-kind=\"" + std::string(areaKindName(area->kind)) + "\" data-first=\"" + number(area->first) +
               "\" data-count=\"" + number(area->count) + "\"";
        if (area->recording != 0)
            svg += " data-recording=\"" + number(area->recording) + "\"";
        svg += "><title>" + escapeHtml(sectorRange(area->first, area->count) + ": " + area->label) + "</title>";
        for (const auto& [first, end] : layout.pieces[i]) {
            for (std::uint64_t at = first; at < end;) {
                const std::uint64_t row = at / perRow;
                const std::uint64_t rowEnd = std::min(end, (row + 1) * perRow);
                double x = static_cast<double>(at - row * perRow) / static_cast<double>(perRow) * kMapWidth;
                double width = static_cast<double>(rowEnd - at) / static_cast<double>(perRow) * kMapWidth;
                if (small && width < 2) {
                    x = std::max(0.0, std::min(x, kMapWidth - 2));
                    width = 2;
                }
                const double y = static_cast<double>(row) * (kRowHeight + kRowGap) + kRowGap;
                svg += "<rect x=\"" + format("%.2f", x) + "\" y=\"" + format("%.0f", y) + "\" width=\"" +
                       format("%.2f", std::max(width, 0.3)) + "\" height=\"" + format("%.0f", kRowHeight) +
                       "\" fill=\"" + fill(*area) + "\"/>";
                if (area->recording != 0 && width >= 16)
                    svg += "<text class=\"number\" x=\"" + format("%.2f", x + width / 2) + "\" y=\"" +
                           format("%.0f", y + kRowHeight / 2 + 5) + "\">" + number(area->recording) + "</text>";
                at = rowEnd;
            }
        }
        svg += "</g>\n";
    }
    return svg + "</svg>\n";
}

// The kinds that show on the map, each once: drawn wide, or over a unit of its width.
std::string legendHtml(const MapLayout& layout, std::uint64_t unitSectors)
{
    std::string html = "<ul class=\"legend\">";
    for (AreaKind kind : {AreaKind::FileSystem, AreaKind::Management, AreaKind::Live, AreaKind::Movie, AreaKind::Free,
                          AreaKind::Erased, AreaKind::Unreadable, AreaKind::NotTried}) {
        std::uint64_t sectors = 0;
        for (std::size_t i = 0; i < layout.order.size(); ++i)
            if (layout.order[i]->kind == kind)
                for (const auto& [first, end] : layout.pieces[i])
                    sectors += end - first;
        if (sectors == 0 || (!drawnWide(kind) && sectors < unitSectors))
            continue;
        const MapArea sample{kind, 0, 0, 1, ""};
        html += "<li><svg width=\"14\" height=\"14\" aria-hidden=\"true\"><rect width=\"14\" height=\"14\" fill=\"" +
                fill(sample) + "\" stroke=\"#777\"/></svg> " + areaLegendText(kind) + "</li>";
    }
    return html + "</ul>\n";
}

// The read rate along the disc as a line over the same sector axis as the map's rows
// laid end to end; stretches without a read leave a gap.
std::string rateSvg(const DiscReport& report)
{
    if (report.rate.empty())
        return "<p>No read times: nothing was read from the disc in this run.</p>\n";
    const std::uint64_t total = std::max<std::uint64_t>(report.recordedSectors, 1);
    double top = 0;
    for (const RatePoint& point : report.rate)
        top = std::max(top, point.bytesPerSecond);
    top = top > 0 ? top * 1.1 : 1;
    const double left = 60;
    const double width = kMapWidth - left;
    std::string svg = "<svg class=\"rate\" viewBox=\"0 0 " + format("%.0f", kMapWidth) + " " +
                      format("%.0f", kRateHeight + 24) +
                      "\" role=\"img\" aria-label=\"read rate along the disc\">\n"
                      "<rect class=\"row\" x=\"" +
                      format("%.0f", left) + "\" y=\"4\" width=\"" + format("%.0f", width) + "\" height=\"" +
                      format("%.0f", kRateHeight) + "\"/>\n";
    svg += "<text class=\"axis\" x=\"0\" y=\"24\">" + format("%.1f MB/s", top / 1e6) + "</text>";
    svg += "<text class=\"axis\" x=\"0\" y=\"" + format("%.0f", kRateHeight + 4) + "\">0</text>";
    svg += "<text class=\"axis\" x=\"" + format("%.0f", left) + "\" y=\"" + format("%.0f", kRateHeight + 20) +
           "\">sector 0</text>";
    svg += "<text class=\"axis end\" x=\"" + format("%.0f", kMapWidth) + "\" y=\"" + format("%.0f", kRateHeight + 20) +
           "\">" + number(total) + "</text>\n";
    std::string line;
    std::uint64_t lastEnd = 0;
    const auto flush = [&] {
        if (!line.empty())
            svg += "<polyline class=\"line\" points=\"" + line + "\"/>\n";
        line.clear();
    };
    for (const RatePoint& point : report.rate) {
        if (point.first != lastEnd)
            flush();
        const double middle = static_cast<double>(point.first) + static_cast<double>(point.count) / 2;
        const double x = left + middle / static_cast<double>(total) * width;
        const double y = 4 + kRateHeight - point.bytesPerSecond / top * kRateHeight;
        line += format("%.1f", x) + "," + format("%.1f", y) + " ";
        lastEnd = point.first + point.count;
    }
    flush();
    for (const MapArea& area : drawnAreas(report, static_cast<std::uint64_t>(static_cast<double>(total) / width * 2))) {
        if (area.kind != AreaKind::Unreadable || area.first >= total)
            continue;
        const double x = left + static_cast<double>(area.first) / static_cast<double>(total) * width;
        svg += "<rect class=\"bad\" x=\"" + format("%.1f", x) + "\" y=\"" + format("%.0f", kRateHeight - 6) +
               "\" width=\"2\" height=\"10\"><title>" +
               escapeHtml(sectorRange(area.first, area.count) + ": " + area.label) + "</title></rect>";
    }
    return svg + "</svg>\n";
}

std::string stateText(const RecordingEntry& entry)
{
    std::string state = entry.erased ? "erased, found again" : "live";
    if (entry.unreadableSectors > 0)
        state += "; partly unreadable: " + number(entry.unreadableSectors) + " sector(s), about " +
                 format("%.1f", entry.secondsAffected) + " s affected";
    return state;
}

std::string recordingsHtml(const DiscReport& report)
{
    if (report.recordings.empty())
        return "<p>No recordings were found.</p>\n";
    std::string html;
    if (!report.thumbnailsNote.empty())
        html += "<p class=\"note\">No pictures: " + escapeHtml(report.thumbnailsNote) + ".</p>\n";
    html +=
        "<div class=\"wide\"><table>\n<thead><tr><th>No.</th><th>Picture</th><th>Recorded at</th>"
        "<th>Duration</th><th>Title</th><th>State</th><th>Size</th><th>File</th></tr></thead>\n<tbody>\n";
    for (const RecordingEntry& entry : report.recordings) {
        html += "<tr data-recording=\"" + number(entry.number) + "\" data-kind=\"" +
                (entry.erased ? "erased" : "live") + "\" data-first=\"" + number(entry.firstSector) +
                "\" data-count=\"" + number(entry.sectorCount) + "\" data-file=\"" + escapeHtml(entry.file) + "\"" +
                (entry.unreadableSectors > 0 ? " class=\"damaged\"" : "") + ">";
        html += "<td>" + number(entry.number) + "</td><td>";
        if (!entry.thumbnail.empty())
            html += "<img src=\"data:image/jpeg;base64," + base64(entry.thumbnail) +
                    "\" alt=\"a picture from recording " + number(entry.number) + "\">";
        html += "</td><td data-label=\"Recorded at\">" +
                escapeHtml(entry.recordedAt.empty() ? "unknown" : entry.recordedAt) +
                "</td><td data-label=\"Duration\">" + duration(entry.seconds) + "</td><td data-label=\"Title\">" +
                escapeHtml(entry.title) + "</td><td data-label=\"State\">" + escapeHtml(stateText(entry)) +
                (entry.note.empty() ? "" : "<br><small>" + escapeHtml(entry.note) + "</small>") +
                "</td><td data-label=\"Size\">" + bytesText(entry.size) + "</td><td>";
        if (!entry.file.empty())
            html += "<a href=\"" + urlOf(entry.file) + "\">" + escapeHtml(entry.file) + "</a>";
        html += "</td></tr>\n";
    }
    return html + "</tbody></table></div>\n";
}

const char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;background:#f6f7f9;color:#222}"
    "main{max-width:1100px;margin:0 auto;padding:1rem}"
    "h1{font-size:1.5rem;margin:.5rem 0}h2{font-size:1.15rem;margin:1.5rem 0 .5rem}"
    "section{background:#fff;border:1px solid #ddd;border-radius:6px;padding:.5rem 1rem 1rem;margin-bottom:1rem}"
    "dl{display:grid;grid-template-columns:max-content 1fr;gap:.25rem 1rem;margin:0}dt{color:#666}dd{margin:0}"
    ".outcome{font-weight:bold}.lost{color:#b00020}.ok{color:#1b7a1b}"
    "svg.map,svg.rate{width:100%;height:auto;display:block}"
    ".row{fill:#f0f0f0;stroke:#bbb;stroke-width:.5}.axis{font-size:11px;fill:#666}.end{text-anchor:end}"
    ".number{font-size:13px;fill:#fff;text-anchor:middle;font-weight:bold;pointer-events:none;"
    "stroke:#222;stroke-width:3px;paint-order:stroke}"
    ".line{fill:none;stroke:#1f77b4;stroke-width:1.5}.bad{fill:#d62728}"
    ".legend{list-style:none;padding:0;display:flex;flex-wrap:wrap;gap:.4rem 1.2rem;margin:.5rem 0 0}"
    ".legend svg{vertical-align:-2px}"
    ".wide{overflow-x:auto}table{border-collapse:collapse;width:100%}"
    "th,td{border-bottom:1px solid #e3e3e3;padding:.35rem .5rem;text-align:left;vertical-align:middle}"
    "td img{display:block;width:160px;height:auto}tr.damaged td{background:#fff3f3}"
    ".note{color:#8a5a00}small{color:#666}"
    "@media (max-width:640px){main,section{padding:.5rem}thead{display:none}table,tbody,tr,td{display:block}"
    "tr{border-bottom:1px solid #ccc;padding:.5rem 0}td{border:0;padding:.1rem .25rem}"
    "td[data-label]::before{content:attr(data-label) \": \";color:#666}"
    "td img{width:100%;max-width:320px}"
    "svg.map .axis{display:none}svg.rate .axis{font-size:24px}.number{font-size:26px;stroke-width:5px}}";

}  // namespace

AreaColours areaColours(AreaKind kind, unsigned recording)
{
    switch (kind) {
        case AreaKind::FileSystem: return {0x34495e, 0x34495e};
        case AreaKind::Management: return {0xe6b800, 0xe6b800};
        case AreaKind::Live: {
            const std::uint32_t colour = kLiveColours[(recording + kLiveColourCount - 1) % kLiveColourCount];
            return {colour, colour};
        }
        case AreaKind::Movie: return {0x9ecae1, 0x9ecae1};
        case AreaKind::Free: return {0xdddddd, 0xdddddd};
        case AreaKind::Erased: return {0xf4a6c8, 0xc2185b};
        case AreaKind::Unreadable: return {0xd62728, 0xd62728};
        case AreaKind::NotTried: return {0xffffff, 0x555555};
    }
    return {0xffffff, 0xffffff};
}

const char* areaKindName(AreaKind kind)
{
    switch (kind) {
        case AreaKind::FileSystem: return "file-system";
        case AreaKind::Management: return "management";
        case AreaKind::Live: return "recording";
        case AreaKind::Movie: return "movie";
        case AreaKind::Free: return "free";
        case AreaKind::Erased: return "erased";
        case AreaKind::Unreadable: return "unreadable";
        case AreaKind::NotTried: return "not-tried";
    }
    return "";
}

std::string outcomeText(const DiscReport& report)
{
    if (report.unreadableSectors == 0 && report.notTriedSectors == 0)
        return "everything was read";
    std::string text;
    if (report.unreadableSectors > 0)
        text = number(report.unreadableSectors) + " sector(s) unreadable";
    if (report.notTriedSectors > 0)
        text += (text.empty() ? "" : ", ") + number(report.notTriedSectors) + " not read yet";
    double seconds = 0;
    std::string which;
    for (const RecordingEntry& entry : report.recordings) {
        if (entry.unreadableSectors == 0)
            continue;
        seconds += entry.secondsAffected;
        which += (which.empty() ? "" : ", ") + number(entry.number);
    }
    if (!which.empty())
        text += "; about " + format("%.1f", seconds) + " s of video affected in recording(s) " + which;
    return text;
}

std::string reportHtml(const DiscReport& report)
{
    const bool whole = report.unreadableSectors == 0 && report.notTriedSectors == 0;
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Disc " +
        escapeHtml(report.volume) + ": " + number(report.recordings.size()) + " recording(s)</title>\n<style>" +
        kStyle + "</style>\n</head>\n<body>\n<main>\n";
    html += "<h1>Disc " + escapeHtml(report.volume) + "</h1>\n";
    html += "<section id=\"disc\"><h2>The disc</h2><dl>\n";
    const auto fact = [&](const char* name, const std::string& value) {
        html += "<dt>" + std::string(name) + "</dt><dd>" + escapeHtml(value) + "</dd>\n";
    };
    fact("Volume", report.volume);
    fact("Medium", report.medium);
    fact("Recorded size",
         number(report.recordedSectors) + " sectors (" + bytesText(report.recordedSectors * 2048) + ")");
    fact("Read", report.readAt);
    fact("Program", report.version);
    html += "<dt>Outcome</dt><dd class=\"outcome " + std::string(whole ? "ok" : "lost") + "\">" +
            escapeHtml(outcomeText(report)) + "</dd>\n</dl>\n";
    for (const std::string& note : report.notes)
        html += "<p class=\"note\">" + escapeHtml(note) + "</p>\n";
    html += "</section>\n";
    const MapLayout layout = mapLayout(report);
    html +=
        "<section id=\"map\"><h2>Map of the disc</h2>\n<div class=\"wide\">" + mapSvg(report, layout) + "</div>" +
        legendHtml(layout,
                   static_cast<std::uint64_t>(static_cast<double>(report.recordedSectors) / kMapRows / kMapWidth) + 1) +
        "</section>\n";
    html += "<section id=\"rate\"><h2>Read rate along the disc</h2>\n<div class=\"wide\">" + rateSvg(report) +
            "</div></section>\n";
    html += "<section id=\"recordings\"><h2>Recordings</h2>\n" + recordingsHtml(report) + "</section>\n";
    return html + "</main>\n</body>\n</html>\n";
}

std::string reportJson(const DiscReport& report)
{
    std::string json = "{\n  \"disc\": {\"volume\": " + escapeJson(report.volume) +
                       ", \"medium\": " + escapeJson(report.medium) +
                       ", \"recorded_sectors\": " + number(report.recordedSectors) +
                       ", \"read_at\": " + escapeJson(report.readAt) + ", \"version\": " + escapeJson(report.version) +
                       ", \"unreadable_sectors\": " + number(report.unreadableSectors) +
                       ", \"not_tried_sectors\": " + number(report.notTriedSectors) +
                       ", \"outcome\": " + escapeJson(outcomeText(report)) + "},\n";
    json += "  \"notes\": [";
    for (std::size_t i = 0; i < report.notes.size(); ++i)
        json += (i ? ", " : "") + escapeJson(report.notes[i]);
    json += "],\n  \"thumbnails_note\": " + escapeJson(report.thumbnailsNote) + ",\n  \"areas\": [\n";
    for (std::size_t i = 0; i < report.areas.size(); ++i) {
        const MapArea& area = report.areas[i];
        json += "    {\"kind\": \"" + std::string(areaKindName(area.kind)) + "\", \"first\": " + number(area.first) +
                ", \"count\": " + number(area.count) + ", \"recording\": " + number(area.recording) +
                ", \"label\": " + escapeJson(area.label) + "}" + (i + 1 < report.areas.size() ? ",\n" : "\n");
    }
    json += "  ],\n  \"rate\": [\n";
    for (std::size_t i = 0; i < report.rate.size(); ++i) {
        const RatePoint& point = report.rate[i];
        json += "    {\"first\": " + number(point.first) + ", \"count\": " + number(point.count) +
                ", \"bytes_per_second\": " + format("%.0f", point.bytesPerSecond) + "}" +
                (i + 1 < report.rate.size() ? ",\n" : "\n");
    }
    json += "  ],\n  \"recordings\": [\n";
    for (std::size_t i = 0; i < report.recordings.size(); ++i) {
        const RecordingEntry& entry = report.recordings[i];
        json += "    {\"number\": " + number(entry.number) + ", \"state\": \"" + (entry.erased ? "erased" : "live") +
                "\", \"recorded_at\": " + escapeJson(entry.recordedAt) +
                ", \"seconds\": " + format("%.2f", entry.seconds) + ", \"title\": " + escapeJson(entry.title) +
                ", \"size\": " + number(entry.size) + ", \"file\": " + escapeJson(entry.file) +
                ", \"first_sector\": " + number(entry.firstSector) +
                ", \"sector_count\": " + number(entry.sectorCount) +
                ", \"unreadable_sectors\": " + number(entry.unreadableSectors) +
                ", \"seconds_affected\": " + format("%.2f", entry.secondsAffected) + ", \"thumbnail\": " +
                (entry.thumbnail.empty() ? "null" : "\"data:image/jpeg;base64," + base64(entry.thumbnail) + "\"") +
                ", \"note\": " + escapeJson(entry.note) + "}" + (i + 1 < report.recordings.size() ? ",\n" : "\n");
    }
    return json + "  ]\n}\n";
}

}  // namespace pipeline

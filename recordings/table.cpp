// The table of recordings, as text for people and as JSON for scripts.
#include "recordings.h"

#include <cstdio>

namespace vrsplit {

namespace {

std::string format(const char* pattern, auto... values)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\')
            out += std::string("\\") + ch;
        else if (c < 0x20)
            out += format("\\u%04x", c);
        else
            out += ch;
    }
    return out + "\"";
}

}  // namespace

std::string tableText(const Report& report)
{
    std::string out = format("%3s  %-19s  %8s  %9s  %9s  %12s  %s  %s\n", "#", "recorded at", "seconds", "first",
                             "last", "bytes", "C", report.erased ? "cut at its end   title" : "title");
    bool copyOnce = false;
    for (const Row& row : report.rows) {
        std::string last = report.erased ? format("%-16s ", row.note.c_str()) + row.title : row.title;
        while (!last.empty() && last.back() == ' ')
            last.pop_back();
        if (!report.erased && !row.note.empty())
            last += "  (" + row.note + ")";
        out += format("%3u  %-19s  %8.2f  %9llu  %9llu  %12llu  %s  ", row.number,
                      row.recordedAt.empty() ? "-" : row.recordedAt.c_str(), row.seconds,
                      static_cast<unsigned long long>(row.firstSector), static_cast<unsigned long long>(row.lastSector),
                      static_cast<unsigned long long>(row.size), row.copyOnce ? "*" : " ") +
               last + "\n";
        copyOnce = copyOnce || row.copyOnce;
    }
    if (copyOnce)
        out +=
            "* copy-once (CPRM) recording: cut as recorded, but it plays only with the disc's key; vrsplit does "
            "not decrypt\n";
    for (const Row& row : report.rows) {
        if (!row.file.empty())
            out += (row.kept ? "kept " + row.file + " (exists already, complete)" : "wrote " + row.file) + "\n";
    }
    if (!report.old.empty()) {
        out += "recordings described by older copies of the management file:\n";
        for (const OldRecording& old : report.old) {
            out += format("  copy at sector %llu: recorded %s, %.2f s, sectors %llu-%llu of the movie file",
                          static_cast<unsigned long long>(old.copySector), old.recordedAt.c_str(), old.seconds,
                          static_cast<unsigned long long>(old.firstSector),
                          static_cast<unsigned long long>(old.firstSector + old.sectors - (old.sectors ? 1 : 0)));
            out += (old.title.empty() ? "" : ", " + old.title) + "\n";
        }
    }
    if (report.erased)
        out +=
            format("%llu piece(s) too short to play left out\n", static_cast<unsigned long long>(report.droppedPieces));
    for (const std::string& note : report.notes)
        out += note + "\n";
    return out;
}

std::string tableJson(const Report& report)
{
    std::string out = "{\n  \"mode\": ";
    out += report.erased ? "\"erased\"" : "\"recordings\"";
    out += ",\n  \"recordings\": [";
    const char* separator = "\n";
    for (const Row& row : report.rows) {
        out += separator;
        separator = ",\n";
        out += format("    {\"number\": %u, \"recorded_at\": ", row.number);
        out += row.recordedAt.empty() ? "null" : jsonString(row.recordedAt);
        out += format(", \"seconds\": %.2f, \"first_sector\": %llu, \"last_sector\": %llu, \"bytes\": %llu",
                      row.seconds, static_cast<unsigned long long>(row.firstSector),
                      static_cast<unsigned long long>(row.lastSector), static_cast<unsigned long long>(row.size));
        out += ", \"title\": " + jsonString(row.title);
        out += std::string(", \"copy_once\": ") + (row.copyOnce ? "true" : "false");
        out += ", \"file\": " + (row.file.empty() ? std::string("null") : jsonString(row.file));
        if (row.kept)
            out += ", \"kept\": true";
        out += ", \"note\": " + jsonString(row.note) + "}";
    }
    out += report.rows.empty() ? "],\n" : "\n  ],\n";
    out += "  \"older_copies\": [";
    separator = "\n";
    for (const OldRecording& old : report.old) {
        out += separator;
        separator = ",\n";
        out += format("    {\"copy_sector\": %llu, \"recorded_at\": ", static_cast<unsigned long long>(old.copySector));
        out += jsonString(old.recordedAt);
        out += format(", \"seconds\": %.2f, \"first_sector\": %llu, \"sectors\": %llu, \"title\": ", old.seconds,
                      static_cast<unsigned long long>(old.firstSector), static_cast<unsigned long long>(old.sectors));
        out += jsonString(old.title) + "}";
    }
    out += report.old.empty() ? "],\n" : "\n  ],\n";
    out += format("  \"dropped_pieces\": %llu,\n", static_cast<unsigned long long>(report.droppedPieces));
    out += "  \"notes\": [";
    separator = "";
    for (const std::string& note : report.notes) {
        out += separator + jsonString(note);
        separator = ", ";
    }
    return out + "]\n}\n";
}

}  // namespace vrsplit

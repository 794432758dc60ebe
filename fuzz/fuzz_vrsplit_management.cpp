// vrsplit: the management file parser, and what the program derives from a parsed
// file (the VOBU range of each cell, titles, the table), on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "recordings.h"

using namespace vrsplit;

namespace {

[[noreturn]] void finding(const char* what)
{
    std::fprintf(stderr, "==FINDING== %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kMaxManagementSize)
        return 0;
    Management m;
    std::string error;
    if (!parseManagement(std::span<const std::uint8_t>(data, size), m, error)) {
        if (error.empty())
            finding("a parse failure without a message");
        return 0;
    }
    Report report;
    for (const Program& program : m.programs) {
        if (program.cells.empty())
            finding("a program without cells");
        Row row;
        row.title = programTitle(program, m.charset);
        for (const Cell& cell : program.cells) {
            if (cell.vob == 0 || cell.vob > m.vobs.size())
                finding("a cell naming a VOB that does not exist");
            const Vob& vob = m.vobs[cell.vob - 1];
            VobuRange range = cellVobus(vob, cell);
            if (range.first > range.end || range.end > vob.vobuSectors.size())
                finding("a VOBU range outside the time map");
            row.firstSector = vobuSector(vob, range.first);
            row.lastSector = vobuSector(vob, range.end);
        }
        row.recordedAt = formatRecordedAt(m.vobs[program.cells[0].vob - 1].recordedAt);
        recordingFileName(1, m.vobs[program.cells[0].vob - 1].recordedAt, row.title);
        report.rows.push_back(row);
    }
    tableText(report);
    tableJson(report);
    return 0;
}

// Writes a mapfile for the blocks given as STATUS:FIRST:COUNT in 2048-byte
// sectors, in any order and with gaps, to standard output.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "rescue_map.h"

int main(int argc, char** argv)
{
    RescueMap map;
    map.comments = {"# Mapfile written for a test", "# current_pos  current_status  current_pass"};
    map.currentStatus = '+';
    for (int i = 1; i < argc; i++) {
        char status = 0;
        unsigned long long first = 0;
        unsigned long long count = 0;
        if (std::sscanf(argv[i], "%c:%llu:%llu", &status, &first, &count) != 3) {
            std::fprintf(stderr, "write_map: bad block '%s'\n", argv[i]);
            return 2;
        }
        map.blocks.push_back(RescueBlock{first * 2048, count * 2048, static_cast<RescueStatus>(status)});
    }
    const std::string text = formatRescueMap(map);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

#include <cstdio>
#include <cstring>
#include <string>

#include "report.h"
#include "support.h"
#include "vrsalvage.h"

int runVrsalvage(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::printf("parameters: [<switch>] <Drive Letter>\n");
        std::printf("switches: -r=only reusable area\n");
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "-r") != 0) {
        std::printf("parameter error");
        return 0;
    }
    return runReportingFatalErrors([&] {
        const std::string path = devicePath(argv[argc - 1]);
        if (argc == 2) {
            copyFixedLayout(path.c_str());
        } else {
            recoverReusableAreas(path.c_str());
        }
        std::printf("completed\n");
        return 0;
    });
}

#include <cstdio>
#include <cstring>

#include "support.h"
#include "vrsalvage.h"

int vrsalvageMain(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::printf("parameters: [<switch>] <Drive Letter>\n");
        std::printf("switches: -r=only reusable area\n");
        return 0;
    }
    if (argc == 2) {
        sub1(argv[1]);
    } else if (std::strcmp(argv[1], "-r") == 0) {
        rsub1(argv[2]);
    } else {
        std::printf("parameter error");
        return 0;
    }
    std::printf("completed\n");
    return 0;
}

void sub1(const char* driveArgument)
{
    char path[kDevicePathSize];
    buildDevicePath(driveArgument, path);
    sub2(path);
}

void rsub1(const char* driveArgument)
{
    char path[kDevicePathSize];
    buildDevicePath(driveArgument, path);
    rsub2(path);
}

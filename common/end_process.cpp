#include <cstdio>
#include <cstdlib>

#include "report.h"

void endProcess(int status)
{
    std::fflush(stdout);
    std::exit(status);
}

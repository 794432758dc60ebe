#include "sectorscope.h"

int main(int argc, char** argv)
{
    return runSectorscope(argc, argv);
}

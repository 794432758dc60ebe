#include "sectorscope.h"

int main(int argc, char** argv)
{
    return sectorscopeMain(argc, argv);
}

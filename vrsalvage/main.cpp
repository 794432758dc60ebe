#include "vrsalvage.h"

int main(int argc, char** argv)
{
    return runVrsalvage(argc, argv);
}

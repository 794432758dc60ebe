#include "vrsalvage.h"

int main(int argc, char** argv)
{
    return vrsalvageMain(argc, argv);
}

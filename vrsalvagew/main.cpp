#include <windows.h>

#include <cstdlib>

#include "window.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return runWindow(__argc, __wargv);
}

// vrsalvagew with each READ (10) of the emulated drive held back by
// VRS_READ_DELAY_MS milliseconds, so that a test sees the window mid-run and can
// press Stop there.
#include <windows.h>

#include <cstdlib>

#include "drive_hooks.h"
#include "window.h"

namespace {

DWORD g_delay = 0;

void holdBack(std::uint32_t)
{
    Sleep(g_delay);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (const char* delay = std::getenv("VRS_READ_DELAY_MS"))
        g_delay = static_cast<DWORD>(std::atoi(delay));
    DriveHooks hooks;
    hooks.settings.onRead = holdBack;
    return runWindow(__argc, __wargv);
}

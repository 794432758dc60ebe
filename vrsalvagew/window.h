// The window of vrsalvagew: runs until it is closed, then gives the exit status (that of
// the last run with --exit-when-done: 0, 1, or 255 after a fatal error).
#pragma once

int runWindow(int argc, wchar_t** argv);

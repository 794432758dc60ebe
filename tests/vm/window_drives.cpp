// What the drive list of vrsalvagew's open window holds, one entry a line
// (UTF-8), read from its combo box as another program sees it; then drops the
// list down, so that a screenshot shows it. Exit status 1 when no window is
// open within 60 seconds.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

BOOL CALLBACK findComboBox(HWND child, LPARAM found)
{
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    if (lstrcmpiW(name, L"ComboBox") != 0)
        return TRUE;
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
}

}  // namespace

int main()
{
    // The window first, then its controls and the drives in the list: each comes a
    // moment after the one before.
    HWND list = nullptr;
    for (int tries = 0; tries < 600; tries++) {
        const HWND window = FindWindowW(nullptr, L"vrsalvage: DVD-VR recordings from a disc");
        list = nullptr;
        if (window != nullptr)
            EnumChildWindows(window, findComboBox, reinterpret_cast<LPARAM>(&list));
        if (list != nullptr && SendMessageW(list, CB_GETCOUNT, 0, 0) > 0)
            break;
        Sleep(100);
    }
    if (list == nullptr) {
        std::printf("no window with a drive list\n");
        return 1;
    }
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        std::wstring text(static_cast<std::size_t>(SendMessageW(list, CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        char line[1024] = {};
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, line, sizeof line, nullptr, nullptr);
        std::printf("%s\n", line);
    }
    SendMessageW(list, CB_SHOWDROPDOWN, TRUE, 0);
    return 0;
}

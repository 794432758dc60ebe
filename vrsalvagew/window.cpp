// The window: the disc (a drive or an image file), the output folder, Start and Stop,
// the progress of the run with the disc map, and the recordings found.
#include "window.h"

#include <windows.h>

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "drives.h"
#include "salvage_job.h"
#include "utf8.h"

namespace {

enum ControlId : int {
    kDiscLabel = 100,
    kDiscList,
    kRefresh,
    kBrowse,
    kFolderLabel,
    kFolder,
    kChangeFolder,
    kErased,
    kStart,
    kStop,
    kStage,
    kProgress,
    kFigures,
    kMap,
    kMessages,
    kRecordingsLabel,
    kRecordings,
    kOpenFolder,
    kOpenReport,
};

constexpr UINT kJobChanged = WM_APP + 1;
constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshMilliseconds = 150;
constexpr int kMapRows = 8;
const wchar_t kWindowClass[] = L"VrsalvagewWindow";
const wchar_t kMapClass[] = L"VrsalvagewDiscMap";

// One entry of the disc list: a drive letter or an image file.
struct DiscSource {
    std::string argument;  // UTF-8, as the console program takes it
    std::wstring label;
};

struct Window {
    HWND hwnd = nullptr;
    HFONT font = nullptr;
    UINT dpi = 96;
    std::vector<DiscSource> sources;
    std::wstring folder;
    bool startNow = false;
    bool exitWhenDone = false;
    bool closing = false;
    SalvageJob job;
    JobView view;
    std::wstring runFolder;  // the folder of the run shown
};

Window* g_window = nullptr;

HWND control(int id)
{
    return GetDlgItem(g_window->hwnd, id);
}

int scaled(int value)
{
    return MulDiv(value, static_cast<int>(g_window->dpi), 96);
}

UINT windowDpi(HWND hwnd)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpi != nullptr && hwnd != nullptr)
        return getDpi(hwnd);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return static_cast<UINT>(dpi);
}

std::wstring windowText(HWND hwnd)
{
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
    text.resize(wcslen(text.c_str()));
    return text;
}

// Lines ending in LF as an edit control shows them.
std::wstring withCrLf(const std::string& text)
{
    std::wstring wide;
    for (wchar_t c : widen(text)) {
        if (c == L'\n')
            wide += L'\r';
        wide += c;
    }
    return wide;
}

// The Documents folder, or the working folder where there is none.
std::wstring documentsFolder()
{
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK)
        return path;
    GetCurrentDirectoryW(MAX_PATH, path);
    return path;
}

// A folder under Documents named by the date and time, that does not exist yet.
std::wstring newDatedFolder()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &now);
    wchar_t name[64];
    wcsftime(name, 64, L"vrsalvage %Y-%m-%d %H-%M", &local);
    const std::wstring base = documentsFolder() + L"\\" + name;
    std::wstring folder = base;
    for (int n = 2; GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES; ++n)
        folder = base + L" (" + std::to_wstring(n) + L")";
    return folder;
}

bool isDriveLetter(const std::wstring& text)
{
    return (text.size() == 1 || (text.size() == 2 && text[1] == L':')) && iswalpha(text[0]);
}

// -- the disc list

void fillDiscList(int select)
{
    HWND list = control(kDiscList);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    for (const DiscSource& source : g_window->sources)
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(source.label.c_str()));
    if (g_window->sources.empty())
        SendMessageW(list, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(L"(no CD or DVD drive found: Browse for an image)"));
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(std::max(select, 0)), 0);
}

int selectedSource()
{
    const auto index = static_cast<int>(SendMessageW(control(kDiscList), CB_GETCURSEL, 0, 0));
    return index >= 0 && index < static_cast<int>(g_window->sources.size()) ? index : -1;
}

// The drives afresh; images chosen before stay at the end of the list.
void refreshDrives()
{
    if (g_window->view.running)
        return;
    const int before = selectedSource();
    const std::string selected = before >= 0 ? g_window->sources[static_cast<std::size_t>(before)].argument : "";
    std::vector<DiscSource> sources;
    for (const OpticalDrive& drive : listOpticalDrives())
        sources.push_back(DiscSource{drive.letter, widen(drive.label)});
    for (const DiscSource& source : g_window->sources)
        if (!isDriveLetter(widen(source.argument)) ||
            std::none_of(sources.begin(), sources.end(),
                         [&](const DiscSource& drive) { return drive.argument == source.argument; }))
            sources.push_back(source);
    g_window->sources = sources;
    int select = 0;
    for (std::size_t i = 0; i < sources.size(); ++i)
        if (sources[i].argument == selected)
            select = static_cast<int>(i);
    fillDiscList(select);
}

// Selects a drive letter or an image file, adding it to the list when it is not there.
void chooseSource(const std::wstring& given)
{
    DiscSource source;
    if (isDriveLetter(given)) {
        source.argument = narrow(given.substr(0, 1));
        CharUpperA(source.argument.data());
        source.label = widen(source.argument) + L":";
    } else {
        wchar_t full[MAX_PATH * 4] = {};
        GetFullPathNameW(given.c_str(), MAX_PATH * 4, full, nullptr);
        source.argument = narrow(full);
        source.label = std::wstring(L"image file ") + full;
    }
    auto& sources = g_window->sources;
    auto found = std::find_if(sources.begin(), sources.end(),
                              [&](const DiscSource& known) { return known.argument == source.argument; });
    if (found == sources.end()) {
        sources.push_back(source);
        found = sources.end() - 1;
    }
    fillDiscList(static_cast<int>(found - sources.begin()));
}

void browseForImage()
{
    wchar_t file[MAX_PATH * 4] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = g_window->hwnd;
    dialog.lpstrFilter = L"Disc images (*.img, *.iso, *.bin)\0*.img;*.iso;*.bin\0All files\0*.*\0";
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH * 4;
    dialog.lpstrTitle = L"Disc image to salvage";
    dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&dialog))
        chooseSource(file);
}

void chooseFolder()
{
    BROWSEINFOW browse{};
    browse.hwndOwner = g_window->hwnd;
    browse.lpszTitle = L"Folder for the recordings and the report";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&browse)) {
        wchar_t path[MAX_PATH] = {};
        if (SHGetPathFromIDListW(chosen, path))
            SetWindowTextW(control(kFolder), path);
        CoTaskMemFree(chosen);
    }
}

// -- the run

void jobChanged(void* context)
{
    PostMessageW(static_cast<HWND>(context), kJobChanged, 0, 0);
}

void showRunning(bool running)
{
    for (int id : {kDiscList, kRefresh, kBrowse, kFolder, kChangeFolder, kErased, kStart})
        EnableWindow(control(id), !running);
    EnableWindow(control(kStop), running);
    HWND focus = GetFocus();
    if (running && (focus == nullptr || !IsWindowEnabled(focus)))
        SetFocus(control(kStop));
    if (!running && (focus == nullptr || !IsWindowEnabled(focus)))
        SetFocus(control(kStart));
    SendMessageW(g_window->hwnd, DM_SETDEFID, static_cast<WPARAM>(running ? kStop : kStart), 0);
}

// The system's text for an error code, without its line end.
std::wstring systemMessage(DWORD code)
{
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"error code " + std::to_wstring(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    return message;
}

void startRun()
{
    const int index = selectedSource();
    if (index < 0) {
        SetWindowTextW(control(kMessages), L"Choose a drive, or Browse for a disc image file.");
        return;
    }
    std::wstring folder = windowText(control(kFolder));
    if (folder.empty()) {
        folder = newDatedFolder();
        SetWindowTextW(control(kFolder), folder.c_str());
    }
    // The pipeline gets the folder as the working folder, so that its name never passes
    // through the system's narrow encoding.
    // The folders on its path are made too, as the console program makes them.
    const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) {
        SetWindowTextW(control(kMessages), (L"*** Error!\r\ncan't make the folder " + folder + L" (" +
                                            systemMessage(static_cast<DWORD>(made)) + L")")
                                               .c_str());
        return;
    }
    if (!SetCurrentDirectoryW(folder.c_str())) {
        SetWindowTextW(control(kMessages), (L"*** Error!\r\ncan't open the folder " + folder).c_str());
        return;
    }
    g_window->runFolder = folder;
    JobRequest request;
    request.source = g_window->sources[static_cast<std::size_t>(index)].argument;
    request.folder.push_back('.');
    request.erasedRecordings = SendMessageW(control(kErased), BM_GETCHECK, 0, 0) == BST_CHECKED;
    ListView_DeleteAllItems(control(kRecordings));
    SetWindowTextW(control(kMessages), L"");
    EnableWindow(control(kOpenFolder), TRUE);
    EnableWindow(control(kOpenReport), FALSE);
    g_window->job.start(request, jobChanged, g_window->hwnd);
    g_window->view = g_window->job.view();
    showRunning(true);
    SetTimer(g_window->hwnd, kRefreshTimer, kRefreshMilliseconds, nullptr);
}

std::wstring formatCount(std::uint64_t value)
{
    std::wstring digits = std::to_wstring(value), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += L',';
        text += digits[i];
    }
    return text;
}

void showFigures()
{
    const JobView& view = g_window->view;
    const pipeline::ReadProgress& p = view.progress;
    wchar_t rate[32] = L"-", left[32] = L"-";
    if (p.bytesPerSecond > 0)
        swprintf(rate, 32, L"%.1f MB/s", p.bytesPerSecond / 1e6);
    if (p.secondsLeft >= 0) {
        const auto seconds = static_cast<unsigned long long>(p.secondsLeft + 0.5);
        swprintf(left, 32, L"%llu:%02llu", seconds / 60, seconds % 60);
    }
    const std::wstring figures = L"Read " + formatCount(p.done) + L" of " + formatCount(p.total) +
                                 L" sectors     Unreadable: " + formatCount(p.unreadable) + L"     Rate: " + rate +
                                 L"     Time left: " + left;
    SetWindowTextW(control(kFigures), figures.c_str());
    std::wstring stage = view.stage.empty() ? L"" : L"Stage: " + widen(view.stage);
    if (!view.running && view.ended)
        stage = view.status == 255 ? L"Stopped by an error" : view.outcome.interrupted ? L"Stopped" : L"Done";
    SetWindowTextW(control(kStage), stage.c_str());
    int position = p.total > 0 ? static_cast<int>(p.done * 1000 / p.total) : 0;
    if (view.stage != "reading the disc" && !view.stage.empty())
        position = 1000;
    if (view.ended && view.status == 255)
        position = p.total > 0 ? static_cast<int>(p.done * 1000 / p.total) : 0;
    SendMessageW(control(kProgress), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

std::wstring durationText(double seconds)
{
    const auto whole = static_cast<long long>(seconds + 0.5);
    wchar_t text[32];
    swprintf(text, 32, L"%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

void showRecordings()
{
    HWND list = control(kRecordings);
    ListView_DeleteAllItems(list);
    int row = 0;
    for (const pipeline::RecordingEntry& entry : g_window->view.outcome.recordings) {
        std::wstring number = std::to_wstring(entry.number);
        LVITEMW item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = row;
        item.pszText = number.data();
        item.lParam = row;
        ListView_InsertItem(list, &item);
        std::wstring state = entry.erased ? L"erased" : L"live";
        if (entry.unreadableSectors > 0)
            state += L", " + formatCount(entry.unreadableSectors) + L" sectors unreadable";
        const std::wstring texts[] = {state, widen(entry.recordedAt), durationText(entry.seconds), widen(entry.title),
                                      widen(entry.file)};
        for (int column = 0; column < 5; ++column)
            ListView_SetItemText(list, row, column + 1, const_cast<wchar_t*>(texts[column].c_str()));
        ++row;
    }
}

// The console's lines, the last in sight.
void showMessages()
{
    HWND messages = control(kMessages);
    SetWindowTextW(messages, withCrLf(g_window->view.text).c_str());
    const auto end = static_cast<WPARAM>(GetWindowTextLengthW(messages));
    SendMessageW(messages, EM_SETSEL, end, static_cast<LPARAM>(end));
    SendMessageW(messages, EM_SCROLLCARET, 0, 0);
}

void endRun()
{
    KillTimer(g_window->hwnd, kRefreshTimer);
    g_window->job.join();
    const JobView& view = g_window->view;
    showMessages();
    showRecordings();
    EnableWindow(control(kOpenReport), !view.outcome.report.empty());
    showRunning(false);
    if (g_window->closing) {
        DestroyWindow(g_window->hwnd);
        return;
    }
    if (g_window->exitWhenDone)
        DestroyWindow(g_window->hwnd);
}

void refreshView()
{
    const bool wasRunning = g_window->view.running;
    const std::size_t textBefore = g_window->view.text.size();
    g_window->view = g_window->job.view();
    showFigures();
    if (g_window->view.text.size() != textBefore)
        showMessages();
    if (g_window->job.takeMapChange())
        InvalidateRect(control(kMap), nullptr, FALSE);
    if (wasRunning && !g_window->view.running)
        endRun();
}

void openInShell(const std::wstring& path)
{
    ShellExecuteW(g_window->hwnd, L"open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void openRecording(int row)
{
    const auto& recordings = g_window->view.outcome.recordings;
    if (row < 0 || row >= static_cast<int>(recordings.size()) || recordings[static_cast<std::size_t>(row)].file.empty())
        return;
    openInShell(g_window->runFolder + L"\\" + widen(recordings[static_cast<std::size_t>(row)].file));
}

// -- the disc map

// The colour of a map pixel at (x, y) of its row for an area kind, patterns included.
std::uint32_t areaPixel(pipeline::AreaKind kind, unsigned recording, int x, int y)
{
    const pipeline::AreaColours colours = pipeline::areaColours(kind, recording);
    if (kind == pipeline::AreaKind::Erased)
        return ((x + y) / 3) % 2 == 0 ? colours.main : colours.second;
    if (kind == pipeline::AreaKind::NotTried)
        return (x / 2 + y / 2) % 2 == 0 ? colours.main : colours.second;
    return colours.main;
}

// What a column of the map shows for sectors [first, end): an unreadable sector
// anywhere in it; else not read yet while any of it is untried and none is read; else
// what the map's last area holding its first sector says lies there.
std::uint32_t columnPixel(std::uint64_t first, std::uint64_t end, int x, int y)
{
    const JobView& view = g_window->view;
    bool bad = false, read = false, untried = false;
    view.statuses.forEach(first, end, [&](const RescueAreas::Area& area) {
        bad = bad || area.status == RescueStatus::BadSector;
        read = read || area.status == RescueStatus::Rescued;
        untried = untried || area.status == RescueStatus::NonTried;
    });
    const pipeline::MapArea* shown = nullptr;
    for (const pipeline::MapArea& area : view.areas) {
        if (area.count == 0 || area.first >= end || area.first + area.count <= first)
            continue;
        if (area.kind == pipeline::AreaKind::Unreadable)
            bad = true;
        else if (area.kind == pipeline::AreaKind::NotTried)
            untried = true;
        else if (area.first <= first || shown == nullptr)
            shown = &area;
    }
    if (bad)
        return areaPixel(pipeline::AreaKind::Unreadable, 0, x, y);
    const bool wanted = shown != nullptr && shown->kind != pipeline::AreaKind::FileSystem;
    if (wanted && untried && !read && !view.ended)
        return areaPixel(pipeline::AreaKind::NotTried, 0, x, y);
    if (view.ended && untried && !read && std::any_of(view.areas.begin(), view.areas.end(), [&](const auto& area) {
            return area.kind == pipeline::AreaKind::NotTried && area.first < end && area.first + area.count > first;
        }))
        return areaPixel(pipeline::AreaKind::NotTried, 0, x, y);
    if (shown != nullptr)
        return areaPixel(shown->kind, shown->recording, x, y);
    return 0xf0f0f0;
}

// The kinds the legend names: those on the map now, and unreadable sectors as soon as
// the run found one; while it runs, the sectors still to read are drawn as not tried.
std::vector<pipeline::AreaKind> legendKinds()
{
    const JobView& view = g_window->view;
    bool bad = false;
    view.statuses.forEach(0, view.statuses.end(),
                          [&](const RescueAreas::Area& area) { bad = bad || area.status == RescueStatus::BadSector; });
    std::vector<pipeline::AreaKind> kinds;
    for (pipeline::AreaKind kind :
         {pipeline::AreaKind::FileSystem, pipeline::AreaKind::Management, pipeline::AreaKind::Live,
          pipeline::AreaKind::Movie, pipeline::AreaKind::Free, pipeline::AreaKind::Erased,
          pipeline::AreaKind::Unreadable, pipeline::AreaKind::NotTried}) {
        bool shown = std::any_of(view.areas.begin(), view.areas.end(),
                                 [&](const pipeline::MapArea& area) { return area.kind == kind && area.count > 0; });
        shown = shown || (kind == pipeline::AreaKind::Unreadable && bad) ||
                (kind == pipeline::AreaKind::NotTried && !view.areas.empty() && !view.ended);
        if (shown)
            kinds.push_back(kind);
    }
    return kinds;
}

// One entry of the legend: its swatch's and its text's place in the map control.
struct LegendEntry {
    pipeline::AreaKind kind;
    std::wstring text;
    RECT swatch, label;
};

// The legend's entries flowed from left to right under the map, wrapping at `width`.
std::vector<LegendEntry> layOutLegend(HDC dc, int width, int top)
{
    const int lineHeight = scaled(17), box = scaled(11), space = scaled(5), between = scaled(16);
    std::vector<LegendEntry> entries;
    int x = 0, y = top;
    for (pipeline::AreaKind kind : legendKinds()) {
        LegendEntry entry{kind, widen(pipeline::areaLegendText(kind)), {}, {}};
        SIZE size{};
        GetTextExtentPoint32W(dc, entry.text.c_str(), static_cast<int>(entry.text.size()), &size);
        const int wide = box + space + size.cx + scaled(2);
        if (x > 0 && x + wide > width) {
            x = 0;
            y += lineHeight;
        }
        const int boxTop = y + (lineHeight - box) / 2;
        entry.swatch = RECT{x, boxTop, x + box, boxTop + box};
        entry.label = RECT{x + box + space, y, x + wide, y + lineHeight};
        entries.push_back(entry);
        x += wide + between;
    }
    return entries;
}

int legendHeight(HDC dc, int width)
{
    const std::vector<LegendEntry> entries = layOutLegend(dc, width, 0);
    return entries.empty() ? 0 : static_cast<int>(entries.back().label.bottom);
}

void paintMap(HWND hwnd)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    HGDIOBJ oldFont = SelectObject(dc, g_window->font);
    RECT client;
    GetClientRect(hwnd, &client);
    const int width = std::max<int>(client.right, 1), height = std::max<int>(client.bottom, 1);
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0xffffff);
    const JobView& view = g_window->view;
    const int gap = scaled(3);
    const int rowHeight = std::max(1, (height - legendHeight(dc, width) - 2 * gap) / kMapRows - gap);
    const std::uint64_t total = std::max<std::uint64_t>(view.discSectors, 1);
    const std::uint64_t perRow = (total + kMapRows - 1) / kMapRows;
    for (int row = 0; row < kMapRows; ++row) {
        const int top = gap + row * (rowHeight + gap);
        for (int x = 0; x < width; ++x) {
            const std::uint64_t first = row * perRow + perRow * static_cast<std::uint64_t>(x) / width;
            std::uint64_t end = row * perRow + perRow * static_cast<std::uint64_t>(x + 1) / width;
            end = std::max(end, first + 1);
            const bool onDisc = view.discSectors > 0 && first < total;
            for (int y = 0; y < rowHeight && top + y < height; ++y) {
                const std::uint32_t colour = onDisc ? columnPixel(first, std::min(end, total), x, y) : 0xf0f0f0;
                pixels[static_cast<std::size_t>(top + y) * static_cast<std::size_t>(width) + x] = colour;
            }
        }
    }
    std::vector<LegendEntry> legend = layOutLegend(dc, width, gap + kMapRows * (rowHeight + gap));
    for (const LegendEntry& entry : legend)
        for (int y = std::max<int>(entry.swatch.top, 0); y < entry.swatch.bottom && y < height; ++y)
            for (int x = std::max<int>(entry.swatch.left, 0); x < entry.swatch.right && x < width; ++x) {
                const bool edge = y == entry.swatch.top || y == entry.swatch.bottom - 1 || x == entry.swatch.left ||
                                  x == entry.swatch.right - 1;
                pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] =
                    edge ? 0x777777 : areaPixel(entry.kind, 1, x, y);
            }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, 0, 0, static_cast<DWORD>(width), static_cast<DWORD>(height), 0, 0, 0,
                      static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    for (LegendEntry& entry : legend)
        DrawTextW(dc, entry.text.c_str(), static_cast<int>(entry.text.size()), &entry.label,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
    SelectObject(dc, oldFont);
    EndPaint(hwnd, &paint);
}

LRESULT CALLBACK mapProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        paintMap(hwnd);
        return 0;
    }
    if (message == WM_ERASEBKGND)
        return 1;
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// -- making and placing the controls

HWND makeControl(const wchar_t* type, const wchar_t* text, DWORD style, int id, DWORD extended = 0)
{
    HWND hwnd = CreateWindowExW(extended, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, g_window->hwnd,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
    return hwnd;
}

void makeControls()
{
    makeControl(L"STATIC", L"&Disc:", SS_LEFT, kDiscLabel);
    makeControl(WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kDiscList);
    makeControl(L"BUTTON", L"&Refresh", BS_PUSHBUTTON | WS_TABSTOP, kRefresh);
    makeControl(L"BUTTON", L"&Browse image...", BS_PUSHBUTTON | WS_TABSTOP, kBrowse);
    makeControl(L"STATIC", L"&Output folder:", SS_LEFT, kFolderLabel);
    makeControl(L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, kFolder, WS_EX_CLIENTEDGE);
    makeControl(L"BUTTON", L"&Change...", BS_PUSHBUTTON | WS_TABSTOP, kChangeFolder);
    makeControl(L"BUTTON", L"Also look for &erased recordings", BS_AUTOCHECKBOX | WS_TABSTOP, kErased);
    SendMessageW(control(kErased), BM_SETCHECK, BST_CHECKED, 0);
    makeControl(L"BUTTON", L"&Start", BS_DEFPUSHBUTTON | WS_TABSTOP, kStart);
    makeControl(L"BUTTON", L"S&top", BS_PUSHBUTTON | WS_TABSTOP, kStop);
    EnableWindow(control(kStop), FALSE);
    makeControl(L"STATIC", L"", SS_LEFT | SS_ENDELLIPSIS, kStage);
    makeControl(PROGRESS_CLASSW, L"", 0, kProgress);
    SendMessageW(control(kProgress), PBM_SETRANGE32, 0, 1000);
    makeControl(L"STATIC", L"", SS_LEFT | SS_ENDELLIPSIS, kFigures);
    makeControl(kMapClass, L"", 0, kMap);
    makeControl(L"EDIT", L"", ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_TABSTOP, kMessages, WS_EX_CLIENTEDGE);
    makeControl(L"STATIC", L"Recordings (&double-click or Enter opens one):", SS_LEFT, kRecordingsLabel);
    HWND list = makeControl(WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | WS_TABSTOP, kRecordings,
                            WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT);
    const wchar_t* columns[] = {L"No.", L"State", L"Recorded at", L"Duration", L"Title", L"File"};
    for (int i = 0; i < 6; ++i) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t*>(columns[i]);
        column.cx = 60;
        ListView_InsertColumn(list, i, &column);
    }
    makeControl(L"BUTTON", L"Open &folder", BS_PUSHBUTTON | WS_TABSTOP, kOpenFolder);
    makeControl(L"BUTTON", L"Open re&port", BS_PUSHBUTTON | WS_TABSTOP, kOpenReport);
    EnableWindow(control(kOpenFolder), FALSE);
    EnableWindow(control(kOpenReport), FALSE);
}

void applyFont()
{
    if (g_window->font != nullptr)
        DeleteObject(g_window->font);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    LOGFONTW font = metrics.lfMessageFont;
    font.lfHeight = -MulDiv(9, static_cast<int>(g_window->dpi), 72);
    g_window->font = CreateFontIndirectW(&font);
    for (HWND child = GetWindow(g_window->hwnd, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_window->font), TRUE);
}

void place(int id, int x, int y, int width, int height)
{
    MoveWindow(control(id), x, y, std::max(width, 1), std::max(height, 1), TRUE);
}

void layOut()
{
    RECT client;
    GetClientRect(g_window->hwnd, &client);
    const int margin = scaled(10), gap = scaled(6), line = scaled(23), label = scaled(100);
    const int button = scaled(110), wide = client.right - 2 * margin;
    int y = margin;
    place(kDiscLabel, margin, y + scaled(4), label, line);
    const int discWidth = wide - label - 2 * (button + gap) - gap;
    place(kDiscList, margin + label, y, discWidth, scaled(200));
    place(kRefresh, margin + label + discWidth + gap, y, button, line);
    place(kBrowse, margin + label + discWidth + 2 * gap + button, y, button, line);
    y += line + gap;
    place(kFolderLabel, margin, y + scaled(4), label, line);
    place(kFolder, margin + label, y, wide - label - button - gap, line);
    place(kChangeFolder, client.right - margin - button, y, button, line);
    y += line + gap;
    place(kErased, margin + label, y, wide - label - 2 * (button + gap), line);
    place(kStart, client.right - margin - 2 * button - gap, y, button, line);
    place(kStop, client.right - margin - button, y, button, line);
    y += line + 2 * gap;
    place(kStage, margin, y, wide, scaled(18));
    y += scaled(18) + gap / 2;
    place(kProgress, margin, y, wide, scaled(18));
    y += scaled(18) + gap;
    place(kFigures, margin, y, wide, scaled(18));
    y += scaled(18) + gap;
    const int mapHeight = scaled(8 * 14 + 3 + 2 * 17);  // the rows, and two lines of legend
    place(kMap, margin, y, wide, mapHeight);
    y += mapHeight + gap;
    const int messages = scaled(84);
    place(kMessages, margin, y, wide, messages);
    y += messages + gap;
    place(kRecordingsLabel, margin, y, wide, scaled(18));
    y += scaled(18) + gap / 2;
    const int bottom = client.bottom - margin - line - gap;
    place(kRecordings, margin, y, wide, bottom - y);
    place(kOpenFolder, margin, client.bottom - margin - line, button, line);
    place(kOpenReport, margin + button + gap, client.bottom - margin - line, button, line);
    HWND list = control(kRecordings);
    const int widths[] = {40, 120, 140, 70, 170, 0};
    int used = 0;
    for (int i = 0; i < 5; ++i) {
        ListView_SetColumnWidth(list, i, scaled(widths[i]));
        used += scaled(widths[i]);
    }
    ListView_SetColumnWidth(list, 5, std::max(scaled(120), wide - used - scaled(24)));
}

// -- the window

void onCommand(int id)
{
    switch (id) {
        case kRefresh: refreshDrives(); break;
        case kBrowse: browseForImage(); break;
        case kChangeFolder: chooseFolder(); break;
        case kStart: startRun(); break;
        case kStop:
            g_window->job.stop();
            EnableWindow(control(kStop), FALSE);
            break;
        case kOpenFolder: openInShell(g_window->runFolder); break;
        case kOpenReport: openInShell(g_window->runFolder + L"\\report.html"); break;
        default: break;
    }
}

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
        case WM_CREATE:
            g_window->hwnd = hwnd;
            g_window->dpi = windowDpi(hwnd);
            makeControls();
            applyFont();
            DragAcceptFiles(hwnd, TRUE);
            return 0;
        case WM_SIZE: layOut(); return 0;
        case WM_GETMINMAXINFO: {
            auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
            limits->ptMinTrackSize = POINT{scaled(640), scaled(560)};
            return 0;
        }
        case WM_DPICHANGED: {
            g_window->dpi = HIWORD(wParam);
            applyFont();
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
            layOut();
            return 0;
        }
        case WM_COMMAND: onCommand(LOWORD(wParam)); return 0;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom == kRecordings && (header->code == NM_DBLCLK || header->code == NM_RETURN)) {
                openRecording(ListView_GetNextItem(control(kRecordings), -1, LVNI_SELECTED));
                return 0;
            }
            break;
        }
        case WM_DROPFILES: {
            auto drop = reinterpret_cast<HDROP>(wParam);
            wchar_t file[MAX_PATH * 4] = {};
            if (!g_window->view.running && DragQueryFileW(drop, 0, file, MAX_PATH * 4) > 0)
                chooseSource(file);
            DragFinish(drop);
            return 0;
        }
        case WM_DEVICECHANGE:
            if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)
                refreshDrives();
            return TRUE;
        case WM_TIMER:
            if (wParam == kRefreshTimer)
                refreshView();
            return 0;
        case kJobChanged: refreshView(); return 0;
        case WM_CLOSE:
            // A run is stopped first: its mapfile keeps what was read.
            if (g_window->view.running) {
                g_window->closing = true;
                g_window->job.stop();
                return 0;
            }
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY: PostQuitMessage(g_window->view.ended ? g_window->view.status : 0); return 0;
        default: break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

const char kUsage[] = "usage: vrsalvagew [DRIVE-OR-IMAGE] [--output=DIR] [--start] [--exit-when-done]";

}  // namespace

int runWindow(int argc, wchar_t** argv)
{
    Window window;
    g_window = &window;
    std::wstring source;
    std::string problem;
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument.rfind(L"--output=", 0) == 0) {
            std::wstring full(MAX_PATH * 4, L'\0');
            full.resize(GetFullPathNameW(argument.substr(9).c_str(), MAX_PATH * 4, full.data(), nullptr));
            window.folder = full;
        } else if (argument == L"--start") {
            window.startNow = true;
        } else if (argument == L"--exit-when-done") {
            window.exitWhenDone = true;
        } else if (argument.rfind(L"--", 0) == 0 || !source.empty()) {
            problem = "parameter error: ";
            problem += narrow(argument);
            problem += '\n';
            problem += kUsage;
            problem += '\n';
        } else {
            source = argument;
        }
    }
    if (!problem.empty())
        window.startNow = false;

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW map{};
    map.cbSize = sizeof map;
    map.lpfnWndProc = mapProcedure;
    map.hInstance = instance;
    map.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    map.lpszClassName = kMapClass;
    RegisterClassExW(&map);
    WNDCLASSEXW main{};
    main.cbSize = sizeof main;
    main.lpfnWndProc = windowProcedure;
    main.hInstance = instance;
    main.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    main.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    main.lpszClassName = kWindowClass;
    RegisterClassExW(&main);

    const UINT dpi = windowDpi(nullptr);
    HWND hwnd =
        CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, L"vrsalvage: DVD-VR recordings from a disc",
                        WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, MulDiv(860, static_cast<int>(dpi), 96),
                        MulDiv(720, static_cast<int>(dpi), 96), nullptr, nullptr, instance, nullptr);
    if (hwnd == nullptr)
        return 255;
    refreshDrives();
    if (!source.empty())
        chooseSource(source);
    SetWindowTextW(control(kFolder), (window.folder.empty() ? newDatedFolder() : window.folder).c_str());
    if (!problem.empty())
        SetWindowTextW(control(kMessages), withCrLf(problem).c_str());
    showFigures();
    ShowWindow(hwnd, SW_SHOWDEFAULT);
    UpdateWindow(hwnd);
    SetFocus(control(window.sources.empty() ? kBrowse : kStart));
    if (window.startNow)
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(kStart, BN_CLICKED), 0);

    MSG message;
    int status = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsWindow(hwnd) || !IsDialogMessageW(hwnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    status = static_cast<int>(message.wParam);
    if (window.font != nullptr)
        DeleteObject(window.font);
    g_window = nullptr;
    return status;
}

// Finds a top-level window of this Wine session by caption and works it from
// outside, for the end-to-end tests:
//   window_probe text CAPTION [ms]          print the message box text, press OK
//   window_probe set CAPTION ID=TEXT... [click=ID]...   fill fields, click buttons
//   window_probe gone CAPTION [ms]          exit 0 once no such window exists
//   window_probe command CAPTION ID         send WM_COMMAND ID to that window
//   window_probe notify CAPTION MESSAGE ID MOUSE   post an icon's callback, as the tray does
//   window_probe attributes FILE            print the file's attributes in hex
//   window_probe menu [ms]                  wait for an open pop-up menu, print its left top right bottom
//   window_probe close-menu [ms]            press Escape in an open pop-up menu; exit 0 once none is open
//   window_probe fit CAPTION                print the window's width and height, then
//                                           each label or button whose text does not fit
//   window_probe windows                    list the visible top-level windows (* the foreground)
//   window_probe ended FILE [ms]            exit 0 once no process of that file name runs
//   window_probe balloon [ms]               wait for a notification balloon, print what it says
//   window_probe tip [ms]                   wait for an icon's tip (a tooltip, no balloon), print it
// Exits 1 when the window does not appear within the time (default 15 s).
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND wait_for(const char* caption, DWORD ms)
{
    for (DWORD waited = 0; waited <= ms; waited += 100) {
        HWND window = FindWindowA(nullptr, caption);
        if (window != nullptr && IsWindowVisible(window))
            return window;
        Sleep(100);
    }
    return nullptr;
}

// Measured as the dialog draws it: its 9-point font at the screen's DPI.
static void print_fit(HWND window)
{
    RECT frame;
    GetWindowRect(window, &frame);
    printf("size %ld %ld\n", frame.right - frame.left, frame.bottom - frame.top);
    HDC dc = GetDC(nullptr);
    HFONT font = CreateFontA(-MulDiv(9, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                             SHIFTJIS_CHARSET, 0, 0, 0, 0, "ＭＳ Ｐゴシック");
    HGDIOBJ old = SelectObject(dc, font);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        char kind[32] = "", text[256] = "";
        GetClassNameA(child, kind, sizeof kind);
        SendMessageA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
        if (text[0] == '\0' || lstrcmpiA(kind, "Edit") == 0)
            continue;
        RECT room;
        GetClientRect(child, &room);
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        const bool label = lstrcmpiA(kind, "Static") == 0;
        if (!label)   // a button's frame, and a check box's box, take their part
            room.right -= (style & BS_TYPEMASK) == BS_AUTOCHECKBOX ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : 6;
        RECT need = {0, 0, room.right, 0};
        DrawTextA(dc, text, -1, &need, DT_CALCRECT | (label ? DT_WORDBREAK : DT_SINGLELINE));
        if (need.right > room.right || need.bottom > room.bottom)
            printf("clipped %s (needs %ldx%ld, has %ldx%ld)\n", text, need.right, need.bottom, room.right,
                   room.bottom);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(nullptr, dc);
}

static BOOL CALLBACK print_window(HWND window, LPARAM)
{
    if (!IsWindowVisible(window))
        return TRUE;
    char kind[64] = "", caption[256] = "";
    GetClassNameA(window, kind, sizeof kind);
    GetWindowTextA(window, caption, sizeof caption);
    RECT where;
    GetWindowRect(window, &where);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    printf("%s %p pid %lu class %s caption \"%s\" at %ld %ld %ld %ld\n",
           window == GetForegroundWindow() ? "*" : " ", static_cast<void*>(window), process, kind, caption,
           where.left, where.top, where.right, where.bottom);
    return TRUE;
}

static bool process_running(const char* file)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry))
        found = lstrcmpiA(entry.szExeFile, file) == 0;
    CloseHandle(snapshot);
    return found;
}

// A notification balloon is a visible top-level tooltip with the balloon
// style, an icon's tip one without. Wine's tooltip answers WM_GETTEXT with
// the text it shows.
struct TooltipSearch {
    bool balloon;
    HWND found;
};

BOOL CALLBACK find_tooltip(HWND window, LPARAM parameter)
{
    TooltipSearch* search = reinterpret_cast<TooltipSearch*>(parameter);
    char name[32];
    GetClassNameA(window, name, sizeof name);
    if (lstrcmpiA(name, "tooltips_class32") != 0 || !IsWindowVisible(window)
        || ((GetWindowLongA(window, GWL_STYLE) & 0x40) != 0) != search->balloon)   // TTS_BALLOON
        return TRUE;
    search->found = window;
    return FALSE;
}

int main(int argc, char** argv)
{
    SetProcessDPIAware();   // sizes as they are on the screen
    if (argc >= 2 && strcmp(argv[1], "windows") == 0) {
        EnumWindows(print_window, 0);
        return 0;
    }
    if (argc >= 3 && strcmp(argv[1], "ended") == 0) {
        DWORD ms = argc > 3 ? strtoul(argv[3], nullptr, 10) : 15000;
        for (DWORD waited = 0; waited <= ms; waited += 50) {
            if (!process_running(argv[2]))
                return 0;
            Sleep(50);
        }
        return 1;
    }
    if (argc >= 2 && (strcmp(argv[1], "balloon") == 0 || strcmp(argv[1], "tip") == 0)) {
        DWORD ms = argc > 2 ? strtoul(argv[2], nullptr, 10) : 15000;
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            TooltipSearch search = {strcmp(argv[1], "balloon") == 0, nullptr};
            EnumWindows(find_tooltip, reinterpret_cast<LPARAM>(&search));
            HWND balloon = search.found;
            wchar_t text[512] = L"";
            DWORD_PTR length = 0;
            if (balloon != nullptr
                && SendMessageTimeoutW(balloon, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                                       2000, &length)
                && text[0] != L'\0') {
                char shown[1024];
                WideCharToMultiByte(932, 0, text, -1, shown, sizeof shown, nullptr, nullptr);
                printf("%s\n", shown);
                return 0;
            }
            Sleep(100);
        }
        return 1;
    }
    if (argc >= 2 && strcmp(argv[1], "menu") == 0) {
        DWORD ms = argc > 2 ? strtoul(argv[2], nullptr, 10) : 15000;
        for (DWORD waited = 0; waited <= ms; waited += 50) {
            HWND menu = FindWindowA("#32768", nullptr);
            RECT where;
            if (menu != nullptr && IsWindowVisible(menu) && GetWindowRect(menu, &where)) {
                printf("%ld %ld %ld %ld\n", where.left, where.top, where.right, where.bottom);
                return 0;
            }
            Sleep(50);
        }
        return 1;
    }
    // The key goes to the menu's own queue, as the keyboard would deliver it
    // to the menu's thread: the X server's keyboard focus may be elsewhere.
    if (argc >= 2 && strcmp(argv[1], "close-menu") == 0) {
        DWORD ms = argc > 2 ? strtoul(argv[2], nullptr, 10) : 5000;
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            HWND menu = FindWindowA("#32768", nullptr);
            if (menu == nullptr || !IsWindowVisible(menu))
                return 0;
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 1);
            PostMessageA(menu, WM_KEYUP, VK_ESCAPE, 0xC0000001);
            Sleep(100);
        }
        return 1;
    }
    if (argc < 3)
        return 2;
    const char* command = argv[1];
    const char* caption = argv[2];
    if (strcmp(command, "attributes") == 0) {
        printf("%lx\n", GetFileAttributesA(argv[2]));
        return 0;
    }
    if (strcmp(command, "command") == 0 && argc > 3) {
        HWND window = FindWindowA(nullptr, caption);
        if (window == nullptr)
            return 1;
        SendMessageA(window, WM_COMMAND, strtoul(argv[3], nullptr, 10), 0);
        return 0;
    }
    // Where the tray draws no window of its own to click (Wine 10), the
    // click reaches the program as the tray would hand it over.
    if (strcmp(command, "notify") == 0 && argc > 5) {
        HWND window = FindWindowA(nullptr, caption);
        if (window == nullptr)
            return 1;
        PostMessageA(window, strtoul(argv[3], nullptr, 0), strtoul(argv[4], nullptr, 0),
                     strtoul(argv[5], nullptr, 0));
        return 0;
    }
    if (strcmp(command, "gone") == 0) {
        DWORD ms = argc > 3 ? strtoul(argv[3], nullptr, 10) : 15000;
        for (DWORD waited = 0; waited <= ms; waited += 100) {
            if (FindWindowA(nullptr, caption) == nullptr)
                return 0;
            Sleep(100);
        }
        return 1;
    }
    DWORD ms = (strcmp(command, "text") == 0 && argc > 3) ? strtoul(argv[3], nullptr, 10) : 15000;
    HWND window = wait_for(caption, ms);
    if (window == nullptr)
        return 1;
    if (strcmp(command, "fit") == 0) {
        print_fit(window);
        return 0;
    }
    if (strcmp(command, "text") == 0) {
        char text[1024] = "";
        SendMessageA(GetDlgItem(window, 0xFFFF), WM_GETTEXT, sizeof text,
                     reinterpret_cast<LPARAM>(text));
        printf("%s\n", text);
        fflush(stdout);
        // Press OK, again if the box was not yet listening.
        for (int i = 0; i < 25 && IsWindow(window); ++i) {
            PostMessageA(window, WM_COMMAND, IDOK, 0);
            Sleep(200);
        }
        return 0;
    }
    for (int i = 3; i < argc; ++i) {
        char* equals = strchr(argv[i], '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        if (strcmp(argv[i], "click") == 0) {
            PostMessageA(GetDlgItem(window, atoi(equals + 1)), BM_CLICK, 0, 0);
            Sleep(200);
        } else {
            SendMessageA(GetDlgItem(window, atoi(argv[i])), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(equals + 1));
        }
    }
    return 0;
}

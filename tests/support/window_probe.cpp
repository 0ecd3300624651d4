// Finds a top-level window of this Wine session by caption and works it from
// outside, for the end-to-end tests:
//   window_probe text CAPTION [ms]          print the message box text, press OK
//   window_probe set CAPTION ID=TEXT... [click=ID]...   fill fields, click buttons
//   window_probe gone CAPTION [ms]          exit 0 once no such window exists
//   window_probe command CAPTION ID         send WM_COMMAND ID to that window
//   window_probe notify CAPTION MESSAGE ID MOUSE   post an icon's callback, as the tray does
//   window_probe attributes FILE            print the file's attributes in hex
// Exits 1 when the window does not appear within the time (default 15 s).
#include <windows.h>

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

int main(int argc, char** argv)
{
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

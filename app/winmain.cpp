// Entry point: the single-instance guard, the hidden window and the loop.
#include "app/app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show_command)
{
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "Quillbeam Multiplex starting prevention program");
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBoxA(nullptr, "Quillbeamはもうすでに起動されています", "Exclamation",
                    MB_OK | MB_ICONWARNING);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    module_instance = instance;

    if (previous == nullptr) {
        WNDCLASSA window_class = {};
        window_class.style = CS_HREDRAW | CS_VREDRAW;
        window_class.lpfnWndProc = main_window_proc;
        window_class.hInstance = instance;
        window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        window_class.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        window_class.lpszClassName = "Quillbeam";
        if (RegisterClassA(&window_class) == 0)
            return 0;
    }

    // Start-up, the first check included, runs inside this call.
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, "Quillbeam", "Quillbeam", WS_POPUP,
                                  0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    ShowWindow(window, show_command);
    UpdateWindow(window);

    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return static_cast<int>(message.wParam);
}

#include "app/app.h"

HINSTANCE module_instance;
HWND main_window;

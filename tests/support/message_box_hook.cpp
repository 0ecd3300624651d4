#include "tests/support/message_box_hook.h"

#include <gtest/gtest.h>

namespace {
thread_local MessageBoxHook* current_hook;
}

std::string class_name(HWND window);

namespace {

BoxIcon icon_of(HWND box)
{
    // The box's icon is a Static of the icon kind (its id differs between
    // Windows and Wine) holding one of the shared system icons.
    HWND icon_control = nullptr;
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (class_name(child) == "Static"
            && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            icon_control = child;
            break;
        }
    }
    if (icon_control == nullptr)
        return BoxIcon::none;
    HICON icon = reinterpret_cast<HICON>(SendMessageA(icon_control, STM_GETICON, 0, 0));
    if (icon == nullptr)
        return BoxIcon::none;
    if (icon == LoadIconA(nullptr, IDI_ERROR))
        return BoxIcon::error;
    if (icon == LoadIconA(nullptr, IDI_WARNING))
        return BoxIcon::warning;
    if (icon == LoadIconA(nullptr, IDI_INFORMATION))
        return BoxIcon::information;
    return BoxIcon::other;
}
} // namespace

std::string window_text(HWND window)
{
    char text[2048];
    int length = GetWindowTextA(window, text, sizeof text);
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

std::string class_name(HWND window)
{
    char name[256];
    int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? static_cast<size_t>(length) : 0);
}

// A message box is a dialog with its text in a Static of id 0xFFFF; the
// program's own dialogs have labels of that id too, but also edit fields.
bool is_message_box(HWND window)
{
    return class_name(window) == "#32770" && GetDlgItem(window, 0xFFFF) != nullptr
        && FindWindowExA(window, nullptr, "Edit", nullptr) == nullptr;
}

MessageBoxHook::MessageBoxHook(std::function<bool(HWND)> on_window)
    : hook_(nullptr), on_window_(std::move(on_window)), previous_(current_hook)
{
    current_hook = this;
    // One platform hook serves the whole chain of nested hooks.
    if (previous_ == nullptr)
        hook_ = SetWindowsHookExA(WH_CBT, hook_proc, nullptr, GetCurrentThreadId());
}

MessageBoxHook::~MessageBoxHook()
{
    if (hook_ != nullptr)
        UnhookWindowsHookEx(hook_);
    current_hook = previous_;
}

LRESULT CALLBACK MessageBoxHook::hook_proc(int code, WPARAM wparam, LPARAM lparam)
{
    MessageBoxHook* self = current_hook;
    if (code == HCBT_ACTIVATE && self != nullptr) {
        HWND window = reinterpret_cast<HWND>(wparam);
        // The newest hook is asked first, then the ones it is nested in.
        bool handled = false;
        for (MessageBoxHook* h = self; h != nullptr && !handled; h = h->previous_)
            handled = h->on_window_ && h->on_window_(window);
        if (!handled && is_message_box(window) && self->answered_.insert(window).second) {
            SeenBox box{window_text(window), window_text(GetDlgItem(window, 0xFFFF)),
                        icon_of(window), GetWindow(window, GW_OWNER)};
            self->boxes.push_back(box);
            if (self->on_box)
                self->on_box(box);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

void expect_one_error_box(const MessageBoxHook& hook, const std::string& text, HWND owner)
{
    ASSERT_EQ(hook.boxes.size(), 1u);
    EXPECT_EQ(hook.boxes[0].text, text);
    EXPECT_EQ(hook.boxes[0].caption, "Error");
    EXPECT_EQ(hook.boxes[0].icon, BoxIcon::error);
    EXPECT_EQ(hook.boxes[0].owner, owner);
}

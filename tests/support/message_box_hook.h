// Answers the message boxes (and other windows) that the code under test
// opens on this thread, recording what the user would have seen.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

enum class BoxIcon { none, error, warning, information, other };

struct SeenBox {
    std::string caption;
    std::string text;
    BoxIcon icon;
    HWND owner;
};

class MessageBoxHook {
public:
    // on_window, when given, is called for every window that activates; it
    // returns true when it took care of the window itself.
    explicit MessageBoxHook(std::function<bool(HWND)> on_window = nullptr);
    ~MessageBoxHook();

    // Called when a message box appears, before OK is pressed.
    std::function<void(const SeenBox&)> on_box;

    std::vector<SeenBox> boxes;

private:
    static LRESULT CALLBACK hook_proc(int code, WPARAM wparam, LPARAM lparam);
    HHOOK hook_;
    std::function<bool(HWND)> on_window_;
    MessageBoxHook* previous_;
    std::set<HWND> answered_;   // activation repeats for one box
};

std::string window_text(HWND window);
std::string class_name(HWND window);
bool is_message_box(HWND window);

// Expects exactly one box: an error box with this text and owner, as every
// failed check shows.
void expect_one_error_box(const MessageBoxHook& hook, const std::string& text, HWND owner);

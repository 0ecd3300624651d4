// The resources as the built program carries them: menus, icons, dialog
// templates and the WAVE sound, all tagged Japanese.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/support/pictures.h"
#include "tests/support/test_files.h"

namespace {

const WORD JAPANESE = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

// The built program beside this test.
std::string program_path()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    strcpy(strrchr(path, '\\') + 1, "quillbeam.exe");
    return path;
}

HMODULE program()
{
    static HMODULE module = LoadLibraryExA(program_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    return module;
}

std::string bytes_of(const char* type, const char* name, WORD language = JAPANESE)
{
    HRSRC found = FindResourceExA(program(), type, name, language);
    if (found == nullptr)
        return std::string();
    const char* data = static_cast<const char*>(LockResource(LoadResource(program(), found)));
    return std::string(data, SizeofResource(program(), found));
}

std::string to_cp932(const WCHAR* text)
{
    char out[512];
    int length = WideCharToMultiByte(932, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return std::string(out, length > 0 ? static_cast<size_t>(length - 1) : 0);
}

struct Item { std::string text; UINT id; bool separator; };

std::vector<Item> menu_items(const char* name, std::string* popup_caption)
{
    std::vector<Item> items;
    HMENU menu = LoadMenuA(program(), name);
    if (menu == nullptr)
        return items;
    char caption[128] = "";
    GetMenuStringA(menu, 0, caption, sizeof caption, MF_BYPOSITION);
    *popup_caption = caption;
    HMENU popup = GetSubMenu(menu, 0);
    for (int i = 0; i < GetMenuItemCount(popup); ++i) {
        char text[128] = "";
        MENUITEMINFOA info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_STATE;
        info.dwTypeData = text;
        info.cch = sizeof text;
        GetMenuItemInfoA(popup, i, TRUE, &info);
        if (!(info.fType & MFT_SEPARATOR)) {
            EXPECT_EQ(info.fState & (MFS_CHECKED | MFS_GRAYED | MFS_DEFAULT), 0u) << text;
        }
        items.push_back({text, info.wID, (info.fType & MFT_SEPARATOR) != 0});
    }
    DestroyMenu(menu);
    return items;
}

// "8D 87 ..." as bytes: written out in hex so that nothing of this test's
// own compilation stands between the expectation and the program.
std::string from_hex(const char* hex)
{
    std::string bytes;
    for (const char* p = hex; *p != '\0'; p += p[2] == ' ' ? 3 : 2)
        bytes.push_back(static_cast<char>(strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    return bytes;
}

} // namespace

// The program's own texts, as the built program holds them: code page 932.
TEST(ProgramTexts, AreCodePage932InTheBuiltProgram)
{
    struct Row { const char* text; const char* hex; } rows[] = {
        {"合計%d通のメールが着ています",
         "8D 87 8C 76 25 64 92 CA 82 CC 83 81 81 5B 83 8B 82 AA 92 85 82 C4 82 A2 82 DC 82 B7 00"},
        {"チェックタイムを30秒以上にして下さい",
         "83 60 83 46 83 62 83 4E 83 5E 83 43 83 80 82 F0 33 30 95 62 88 C8 8F E3 82 C9 82 B5 82 C4 "
         "89 BA 82 B3 82 A2 00"},
        {"メールデータ受信に失敗", "83 81 81 5B 83 8B 83 66 81 5B 83 5E 8E F3 90 4D 82 C9 8E B8 94 73 00"},
        {"POPサーバー名取得に失敗", "50 4F 50 83 54 81 5B 83 6F 81 5B 96 BC 8E E6 93 BE 82 C9 8E B8 94 73 00"},
        {"Quillbeamはもうすでに起動されています",
         "51 75 69 6C 6C 62 65 61 6D 82 CD 82 E0 82 A4 82 B7 82 C5 82 C9 8B 4E 93 AE 82 B3 82 EA 82 C4 "
         "82 A2 82 DC 82 B7 00"},
    };
    const std::string program = read_file_bytes(program_path());
    ASSERT_GT(program.size(), 10000u);
    for (const Row& row : rows)
        EXPECT_NE(program.find(from_hex(row.hex)), std::string::npos) << row.text;
}

TEST(Resources, Menus)
{
    std::string caption;
    std::vector<Item> main_items = menu_items("MAINMENU", &caption);
    EXPECT_EQ(caption, "ファイル(&F)");
    ASSERT_EQ(main_items.size(), 5u);
    EXPECT_EQ(main_items[0].text, "バージョン情報(&A)");
    EXPECT_EQ(main_items[0].id, 40003u);
    EXPECT_TRUE(main_items[1].separator);
    EXPECT_EQ(main_items[2].text, "設定(&S)");
    EXPECT_EQ(main_items[2].id, 40004u);
    EXPECT_TRUE(main_items[3].separator);
    EXPECT_EQ(main_items[4].text, "終了(&X)");
    EXPECT_EQ(main_items[4].id, 40001u);

    std::vector<Item> mail_items = menu_items("MAILMENU", &caption);
    ASSERT_EQ(mail_items.size(), 3u);
    EXPECT_EQ(mail_items[0].text, "メーラーを起動(&S)");
    EXPECT_EQ(mail_items[0].id, 40006u);
    EXPECT_TRUE(mail_items[1].separator);
    EXPECT_FALSE(mail_items[0].separator);
    EXPECT_EQ(mail_items[2].text, "閉じる(&X)");
    EXPECT_EQ(mail_items[2].id, 40007u);
    EXPECT_FALSE(bytes_of(MAKEINTRESOURCEA(4), "MAINMENU").empty());   // tagged Japanese
}

TEST(Resources, IconsHoldEverySizeTheTaskbarAsksForClearOnDarkAndLight)
{
    const BYTE sizes[] = {16, 20, 24, 32, 40, 48, 64};
    for (const char* name : {"MAINICON", "MLCKICON"}) {
        std::string group = bytes_of(MAKEINTRESOURCEA(14), name);
        ASSERT_EQ(group.size(), 6u + 14u * 7u) << name;
        for (int i = 0; i < 7; ++i) {
            const int size = sizes[i];
            SCOPED_TRACE(testing::Message() << name << " at " << size);
            const BYTE* entry = reinterpret_cast<const BYTE*>(group.data() + 6 + 14 * i);
            WORD bit_count, id;
            memcpy(&bit_count, entry + 6, 2);
            memcpy(&id, entry + 12, 2);
            EXPECT_EQ(entry[0], size);
            EXPECT_EQ(bit_count, 32);
            // A PNG frame, as Windows takes one: 8 bits per channel with alpha.
            std::string image = bytes_of(MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(id));
            ASSERT_GT(image.size(), 26u);
            EXPECT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
            EXPECT_EQ(static_cast<BYTE>(image[19]), size);
            EXPECT_EQ(image.substr(24, 2), std::string("\x08\x06", 2));
            Picture picture = picture_of(static_cast<HICON>(
                LoadImageA(program(), name, IMAGE_ICON, size, size, 0)), true);
            ASSERT_EQ(picture.size, size);
            // No tile behind the shape, and the shape stands out from a dark
            // and a light taskbar alike.
            int clear = 0, stands_out[2] = {0, 0};
            const int taskbars[2] = {0x20, 0xF3};
            for (uint32_t pixel : picture.pixels) {
                const int alpha = pixel >> 24;
                clear += alpha == 0;
                const int shade = (299 * (pixel >> 16 & 0xFF) + 587 * (pixel >> 8 & 0xFF) + 114 * (pixel & 0xFF)) / 1000;
                for (int t = 0; t < 2; ++t)
                    stands_out[t] += alpha != 0 && abs((shade * alpha + taskbars[t] * (255 - alpha)) / 255 - taskbars[t]) >= 64;
            }
            EXPECT_GE(clear * 4, size * size);
            EXPECT_GE(stands_out[0] * 10, (size * size - clear) * 4) << "on a dark taskbar";
            EXPECT_GE(stands_out[1] * 10, (size * size - clear) * 4) << "on a light taskbar";
        }
    }
}

TEST(Resources, WaveHeader)
{
    std::string wave = bytes_of("WAVE", "WAVE");
    ASSERT_EQ(wave.size(), 7360u);
    struct Format { WORD tag, channels; DWORD rate, bytes_per_second; WORD align, bits; } format;
    DWORD riff_size, fmt_size, data_size;
    memcpy(&riff_size, wave.data() + 4, 4);
    memcpy(&fmt_size, wave.data() + 16, 4);
    memcpy(&format, wave.data() + 20, sizeof format);
    memcpy(&data_size, wave.data() + 40, 4);
    EXPECT_EQ(wave.substr(0, 4), "RIFF");
    EXPECT_EQ(riff_size, 7352u);
    EXPECT_EQ(wave.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(fmt_size, 16u);
    EXPECT_EQ(format.tag, 1);
    EXPECT_EQ(format.channels, 1);
    EXPECT_EQ(format.rate, 11025u);
    EXPECT_EQ(format.bytes_per_second, 11025u);
    EXPECT_EQ(format.align, 1);
    EXPECT_EQ(format.bits, 8);
    EXPECT_EQ(wave.substr(36, 4), "data");
    EXPECT_EQ(data_size, 7316u);
}

namespace {

struct Control {
    DWORD style; short x, y, cx, cy; int id; int kind; std::string text;
};
struct Dialog {
    DWORD style, ex_style; short cx, cy; std::string caption; WORD point_size; std::string font;
    std::vector<Control> controls;
};

const WORD* skip_string(const WORD* p, std::string* text, int* ordinal)
{
    if (*p == 0xFFFF) {
        if (ordinal)
            *ordinal = p[1];
        return p + 2;
    }
    if (text)
        *text = to_cp932(reinterpret_cast<const WCHAR*>(p));
    while (*p != 0)
        ++p;
    return p + 1;
}

Dialog parse_dialog(const char* name)
{
    Dialog dialog = {};
    std::string bytes = bytes_of(MAKEINTRESOURCEA(5), name);
    if (bytes.empty())
        return dialog;
    DLGTEMPLATE header;
    memcpy(&header, bytes.data(), sizeof header);
    dialog.style = header.style;
    dialog.ex_style = header.dwExtendedStyle;
    dialog.cx = header.cx;
    dialog.cy = header.cy;
    const WORD* p = reinterpret_cast<const WORD*>(bytes.data() + 18);
    int ordinal = 0;
    p = skip_string(p, nullptr, &ordinal);   // menu
    p = skip_string(p, nullptr, &ordinal);   // class
    p = skip_string(p, &dialog.caption, nullptr);
    dialog.point_size = *p++;
    p = skip_string(p, &dialog.font, nullptr);
    for (int i = 0; i < header.cdit; ++i) {
        uintptr_t at = reinterpret_cast<uintptr_t>(p);
        p = reinterpret_cast<const WORD*>((at + 3) & ~uintptr_t(3));
        DLGITEMTEMPLATE item;
        memcpy(&item, p, sizeof item);
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const char*>(p) + 18);
        Control control = {item.style, item.x, item.y, item.cx, item.cy,
                           static_cast<short>(item.id), 0, ""};
        // The class is an atom or its name; both mean the same to the platform.
        std::string class_name;
        p = skip_string(p, &class_name, &control.kind);
        if (lstrcmpiA(class_name.c_str(), "Button") == 0)
            control.kind = 0x80;
        else if (lstrcmpiA(class_name.c_str(), "Edit") == 0)
            control.kind = 0x81;
        else if (lstrcmpiA(class_name.c_str(), "Static") == 0)
            control.kind = 0x82;
        p = skip_string(p, &control.text, nullptr);
        WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const char*>(p) + extra);
        dialog.controls.push_back(control);
    }
    return dialog;
}

const int BUTTON = 0x80, EDIT = 0x81, STATIC = 0x82;
const DWORD EDIT_STYLE = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
const DWORD PASSWORD_STYLE = EDIT_STYLE | ES_PASSWORD;
const DWORD PUSH = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
const DWORD DEFAULT = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
const DWORD CHECK = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX | BS_LEFTTEXT;
const DWORD LABEL = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME
    | DS_CENTER | DS_SETFONT;

void expect_dialog(const char* name, const char* caption, short cx, short cy,
                   const std::vector<Control>& expected)
{
    SCOPED_TRACE(name);
    Dialog dialog = parse_dialog(name);
    EXPECT_EQ(dialog.style, DIALOG_STYLE);
    EXPECT_EQ(dialog.ex_style, 0u);
    EXPECT_EQ(dialog.caption, caption);
    EXPECT_EQ(dialog.cx, cx);
    EXPECT_EQ(dialog.cy, cy);
    EXPECT_EQ(dialog.point_size, 9);
    EXPECT_EQ(dialog.font, "ＭＳ Ｐゴシック");
    ASSERT_EQ(dialog.controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Control& got = dialog.controls[i];
        const Control& want = expected[i];
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(got.style, want.style);
        EXPECT_EQ(got.x, want.x);
        EXPECT_EQ(got.y, want.y);
        EXPECT_EQ(got.cx, want.cx);
        EXPECT_EQ(got.cy, want.cy);
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.kind, want.kind);
        EXPECT_EQ(got.text, want.text);
    }
}

} // namespace

TEST(Resources, SettingDialogTemplate)
{
    expect_dialog("SETTINGDIALOG", "設定", 179, 217, {
        {EDIT_STYLE, 15, 20, 148, 14, 1006, EDIT, ""},
        {EDIT_STYLE, 15, 53, 148, 14, 1007, EDIT, ""},
        {PASSWORD_STYLE, 15, 83, 148, 14, 1008, EDIT, ""},
        {EDIT_STYLE, 15, 113, 75, 14, 1005, EDIT, ""},
        {EDIT_STYLE, 15, 145, 123, 14, 1009, EDIT, ""},
        {PUSH, 146, 145, 16, 14, 1010, BUTTON, "....."},
        {CHECK, 15, 171, 146, 10, 1011, BUTTON, "メール受信時に着信音を鳴らす："},
        {DEFAULT, 16, 196, 50, 14, 1003, BUTTON, "OK"},
        {PUSH, 113, 196, 50, 14, 1004, BUTTON, "キャンセル"},
        {LABEL, 15, 7, 121, 8, -1, STATIC, "POPサーバー："},
        {LABEL, 15, 39, 123, 8, -1, STATIC, "アカウント："},
        {LABEL, 15, 72, 88, 8, -1, STATIC, "パスワード："},
        {LABEL, 15, 101, 88, 8, -1, STATIC, "チェックタイム（秒）："},
        {LABEL, 15, 133, 88, 8, -1, STATIC, "メーラー選択："},
    });
}

TEST(Resources, StartupDialogTemplate)
{
    expect_dialog("STARTUPDIALOG", "初期設定", 179, 201, {
        {EDIT_STYLE, 16, 20, 148, 14, 1006, EDIT, ""},
        {EDIT_STYLE, 16, 53, 148, 14, 1007, EDIT, ""},
        {PASSWORD_STYLE, 16, 83, 148, 14, 1008, EDIT, ""},
        {EDIT_STYLE, 16, 113, 123, 14, 1009, EDIT, ""},
        {PUSH, 147, 113, 16, 14, 1010, BUTTON, "....."},
        {CHECK, 16, 137, 146, 10, 1011, BUTTON, "メール受信時着信音を鳴らす；"},
        {CHECK, 16, 157, 146, 10, 1005, BUTTON, "スタートアップに登録する："},
        {DEFAULT, 16, 180, 50, 14, 1003, BUTTON, "OK"},
        {PUSH, 114, 180, 50, 14, 1004, BUTTON, "キャンセル"},
        {LABEL, 16, 7, 121, 8, -1, STATIC, "POPサーバー："},
        {LABEL, 16, 39, 123, 8, -1, STATIC, "アカウント："},
        {LABEL, 16, 72, 88, 8, -1, STATIC, "パスワード："},
        {LABEL, 16, 102, 88, 8, -1, STATIC, "メーラー選択："},
    });
}

// What Explorer's Properties and installers read.
TEST(Resources, VersionInformation)
{
    const std::string path_text = program_path();
    const char* path = path_text.c_str();
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path, &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 1));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(1, 1));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    struct Row { const char* name; const char* value; } rows[] = {
        {"FileVersion", "1.1"}, {"ProductVersion", "1.1"}, {"ProductName", "Quillbeam"},
        {"FileDescription", "Quillbeam POP3 新着メールチェッカー"},
    };
    for (const Row& row : rows) {
        char* value = nullptr;
        std::string key = std::string("\\StringFileInfo\\041103A4\\") + row.name;
        ASSERT_TRUE(VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << row.name;
        EXPECT_STREQ(value, row.value) << row.name;
    }
}

// What Windows reads before the first window opens: themed controls, sharp
// at any scaling, no elevation, every system from Vista on.
TEST(Resources, ManifestOfTheProgram)
{
    const std::string manifest = bytes_of(RT_MANIFEST, MAKEINTRESOURCEA(1), MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
    ASSERT_FALSE(manifest.empty()) << "no language-neutral manifest with id 1";
    const char* const present[] = {
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "publicKeyToken=\"6595b64144ccf1df\"",
        "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2</dpiAwareness>",
        "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>",
        "<v3:requestedExecutionLevel level=\"asInvoker\"/>",
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}",   // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",   // 10 and 11
    };
    for (const char* text : present)
        EXPECT_NE(manifest.find(text), std::string::npos) << text;
    // Left out on purpose: on Windows 10 a locale there may turn the process to UTF-8.
    EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
    EXPECT_NE(manifest.find("xmlns:v3=\"urn:schemas-microsoft-com:asm.v3\""), std::string::npos);
}

#include "tests/support/recording_doubles.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <string.h>

#include "tests/support/import_redirect.h"

#include "mailcheck/mail_check.h"
#include "shell/shell.h"
#include "tray/tray.h"

std::vector<std::string> recorded_calls;
std::vector<std::string> recorded_balloons;
std::function<void()> on_add_mail;

namespace {

// What the user sees must never wait on an open connection: a nested check
// started meanwhile would take the socket over.
int record(const std::string& call)
{
    recorded_calls.push_back(!connection_is_open(&check_connection) ? call : call + " (socket still open)");
    return 1;
}

} // namespace

int play_new_mail_sound() { return record("sound"); }
int add_main_icon(HWND, const char* tip) { return record(std::string("add_main:") + tip); }
int remove_main_icon(HWND) { return record("remove_main"); }
int add_mail_icon(HWND, const char* tip, int)
{
    if (on_add_mail)
        on_add_mail();
    return record(std::string("add_mail:") + tip);
}
int restore_mail_icon(HWND) { return record("restore_mail"); }
int rescale_icons(HWND) { return record("rescale"); }
int remove_mail_icon(HWND) { return record("remove_mail"); }
int show_mail_balloon(HWND, const char* title, const wchar_t* body)
{
    char text[1024];
    WideCharToMultiByte(932, 0, body, -1, text, sizeof text, nullptr, nullptr);
    recorded_balloons.push_back(std::string(title) + "|" + text);
    return 1;
}
int show_popup_menu(HWND, const char* name) { return record(std::string("menu:") + name); }
int launch_mailer() { return record("launch"); }
int select_mailer(HWND) { record("select_mailer"); return 0; }
HRESULT create_startup_shortcut(const char*, const char*, const char*, const char*, const char*,
                                const char*, int, int)
{
    record("shortcut");
    return S_OK;
}

bool network_present = true;
FakeAdapter fake_adapter;

extern "C" ULONG(WINAPI* adapters_slot)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG)
    IMPORT_SLOT(GetAdaptersAddresses, 20);

namespace {

ULONG WINAPI fake_adapters(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES out, PULONG size)
{
    static IP_ADAPTER_UNICAST_ADDRESS unicast;
    static IP_ADAPTER_GATEWAY_ADDRESS gateway;
    if (!network_present)
        return ERROR_NO_DATA;
    if (*size < sizeof *out)
        return ERROR_BUFFER_OVERFLOW;
    memset(out, 0, sizeof *out);
    out->OperStatus = fake_adapter.up ? IfOperStatusUp : IfOperStatusDown;
    out->IfType = fake_adapter.type;
    out->FirstUnicastAddress = fake_adapter.address ? &unicast : nullptr;
    out->FirstGatewayAddress = fake_adapter.gateway ? &gateway : nullptr;
    return NO_ERROR;
}

// Before any test: no test may depend on the machine's own network.
const bool network_faked = (redirect_import(&adapters_slot, fake_adapters), true);

} // namespace

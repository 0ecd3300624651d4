#include "mailcheck/connection/network_presence.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

namespace {

// Room for the adapters of any ordinary PC; more than that and the answer
// is "usable", as when the system cannot say.
alignas(8) BYTE adapters[48 * 1024];

HWND watcher;
UINT watch_message;
HANDLE interface_notice;
HANDLE route_notice;

void tell_window() { PostMessageA(watcher, watch_message, 0, 0); }
void WINAPI interface_changed(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) { tell_window(); }
void WINAPI route_changed(PVOID, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) { tell_window(); }

} // namespace

bool network_usable()
{
    ULONG size = sizeof adapters;
    IP_ADAPTER_ADDRESSES* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(adapters);
    const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST
        | GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    ULONG result = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr, first, &size);
    if (result == ERROR_NO_DATA)
        return false;
    if (result != NO_ERROR)
        return true;
    for (const IP_ADAPTER_ADDRESSES* adapter = first; adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus == IfOperStatusUp && adapter->IfType != IF_TYPE_SOFTWARE_LOOPBACK
            && adapter->FirstUnicastAddress != nullptr && adapter->FirstGatewayAddress != nullptr)
            return true;
    }
    return false;
}

void watch_network(HWND window, UINT message)
{
    watcher = window;
    watch_message = message;
    // A network coming back shows as an interface going up, then its routes.
    NotifyIpInterfaceChange(AF_UNSPEC, interface_changed, nullptr, FALSE, &interface_notice);
    NotifyRouteChange2(AF_UNSPEC, route_changed, nullptr, FALSE, &route_notice);
}

void stop_watching_network()
{
    if (interface_notice != nullptr)
        CancelMibChangeNotify2(interface_notice);
    if (route_notice != nullptr)
        CancelMibChangeNotify2(route_notice);
    interface_notice = route_notice = nullptr;
}

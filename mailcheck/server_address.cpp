#include "mailcheck/server_address.h"

#include <string.h>

#include "mailcheck/pop3_reply.h"
#include "settings/cp932_text.h"

namespace {

bool same_ignoring_case(const char* text, size_t length, const char* lower)
{
    if (strlen(lower) != length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i])
            return false;
    }
    return true;
}

// Decimal 1 to 65535, digits only.
bool parse_port(const char* text, uint16_t* port)
{
    uint32_t value = 0;
    if (*text == '\0')
        return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

bool digits_and_dots_only(const char* text)
{
    for (; *text != '\0'; ++text)
        if (*text != '.' && (*text < '0' || *text > '9'))
            return false;
    return true;
}

// [IPv6][:port]: the address alone goes to the resolver and is the name.
bool parse_bracketed(const char* text, ServerAddress* out)
{
    const char* close = strchr(text, ']');
    if (close == nullptr)
        return false;
    size_t length = static_cast<size_t>(close - text - 1);
    uint8_t bytes[16];
    if (length >= sizeof out->host)
        return false;
    memcpy(out->host, text + 1, length);
    out->host[length] = '\0';
    if (!parse_ipv6(out->host, bytes))
        return false;
    if (close[1] == ':' ? !parse_port(close + 2, &out->port) : close[1] != '\0')
        return false;
    copy_text(out->name, sizeof out->name, out->host);
    out->literal = true;
    return true;
}

// host[:port] after a scheme or alone. The host is not empty and holds no
// colon, slash or blank; written as digits and dots, it is a plain dotted
// address, not something the resolver would read in another base.
bool parse_host_and_port(const char* text, ServerAddress* out)
{
    if (strpbrk(text, " \t") != nullptr)
        return false;
    if (text[0] == '[')
        return parse_bracketed(text, out);
    const char* colon = strchr(text, ':');
    size_t host_length = colon != nullptr ? static_cast<size_t>(colon - text) : strlen(text);
    if (host_length == 0 || host_length >= sizeof out->host)
        return false;
    if (memchr(text, '/', host_length) != nullptr || memchr(text, '[', host_length) != nullptr)
        return false;
    if (colon != nullptr && !parse_port(colon + 1, &out->port))
        return false;
    memcpy(out->host, text, host_length);
    out->host[host_length] = '\0';
    out->literal = is_dotted_ipv4(out->host);
    if (digits_and_dots_only(out->host) && !out->literal)
        return false;
    // One trailing dot is the root of DNS, never part of a certificate's name.
    copy_text(out->name, sizeof out->name, out->host);
    if (host_length > 1 && out->name[host_length - 1] == '.')
        out->name[host_length - 1] = '\0';
    return strcmp(out->name, ".") != 0 && out->name[strlen(out->name) - 1] != '.';
}

} // namespace

int parse_server_address(const char* text, ServerAddress* out)
{
    out->protocol = Protocol::pop3;
    const char* scheme_end = strstr(text, "://");
    if (scheme_end != nullptr) {
        size_t scheme_length = static_cast<size_t>(scheme_end - text);
        // Never plain IMAP: every provider offers it over TLS, and the
        // password would cross the network in clear.
        if (same_ignoring_case(text, scheme_length, "imaps")) {
            out->security = Security::implicit_tls;
            out->protocol = Protocol::imap;
            out->port = IMAPS_PORT;
        } else if (same_ignoring_case(text, scheme_length, "pop3s")) {
            out->security = Security::implicit_tls;
            out->port = POP3S_PORT;
        } else if (same_ignoring_case(text, scheme_length, "starttls")) {
            out->security = Security::starttls;
            out->port = POP3_PORT;
        } else {
            return 0;
        }
        return parse_host_and_port(scheme_end + 3, out) ? 1 : 0;
    }
    out->security = Security::plain;
    out->port = POP3_PORT;
    if (strchr(text, ':') == nullptr && text[0] != '[') {
        // A name as it always was: to the resolver as it stands, blanks and all.
        copy_text(out->host, sizeof out->host, text);
        copy_text(out->name, sizeof out->name, text);
        out->literal = is_dotted_ipv4(text);
        return 1;
    }
    if (!parse_host_and_port(text, out))
        return 0;
    if (out->port == POP3S_PORT || out->port == IMAPS_PORT)
        out->security = Security::implicit_tls;
    if (out->port == IMAPS_PORT)   // plain POP3 there is answered by no server
        out->protocol = Protocol::imap;
    return 1;
}

bool is_dotted_ipv4(const char* host)
{
    const char* p = host;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.')
            return false;
        const char* first = p;
        int digits = 0, value = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + (*p++ - '0');
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && *first == '0'))
            return false;
    }
    return *p == '\0';
}

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

int parse_ipv6(const char* text, uint8_t out[16])
{
    uint8_t bytes[16] = {};
    int filled = 0;      // bytes written before and after the "::"
    int gap = -1;        // where "::" stood, in bytes
    const char* p = text;
    if (p[0] == ':' && p[1] == ':') {
        gap = 0;
        p += 2;
    }
    while (*p != '\0') {
        if (filled == 16)
            return 0;
        // The last 32 bits may be written as a dotted IPv4 address.
        const char* dot = strchr(p, '.');
        if (dot != nullptr && strchr(p, ':') == nullptr) {
            if (filled > 12 || !is_dotted_ipv4(p))
                return 0;
            for (int part = 0; part < 4; ++part) {
                int value = 0;
                while (*p >= '0' && *p <= '9')
                    value = value * 10 + (*p++ - '0');
                bytes[filled++] = static_cast<uint8_t>(value);
                if (*p == '.')
                    ++p;
            }
            break;
        }
        int value = 0, digits = 0;
        for (int v; digits < 5 && (v = hex_value(*p)) >= 0; ++p, ++digits)
            value = value * 16 + v;
        if (digits == 0 || digits > 4)
            return 0;
        bytes[filled++] = static_cast<uint8_t>(value >> 8);
        bytes[filled++] = static_cast<uint8_t>(value);
        if (*p == '\0')
            break;
        if (*p++ != ':')
            return 0;
        if (*p == ':') {
            if (gap >= 0)
                return 0;
            gap = filled;
            ++p;
        } else if (*p == '\0') {
            return 0;   // a single colon at the end
        }
    }
    if (gap < 0 ? filled != 16 : filled > 14)
        return 0;
    memset(out, 0, 16);
    if (gap < 0) {
        memcpy(out, bytes, 16);
    } else {
        memcpy(out, bytes, static_cast<size_t>(gap));
        memcpy(out + 16 - (filled - gap), bytes + gap, static_cast<size_t>(filled - gap));
    }
    return 1;
}

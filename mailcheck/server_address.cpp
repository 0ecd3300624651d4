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
    if (length >= sizeof out->host)
        return false;
    memcpy(out->host, text + 1, length);
    out->host[length] = '\0';
    if (!is_ipv6_address(out->host))
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

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

bool is_ipv6_address(const char* text)
{
    int groups = 0;     // 16-bit groups written; a dotted IPv4 tail counts two
    bool gap = false;   // "::" seen, standing for at least one group of zeros
    const char* p = text;
    if (p[0] == ':' && p[1] == ':') {
        gap = true;
        p += 2;
    }
    while (*p != '\0') {
        if (groups == 8)
            return false;
        if (strchr(p, ':') == nullptr && strchr(p, '.') != nullptr) {
            if (groups > 6 || !is_dotted_ipv4(p))
                return false;
            groups += 2;
            break;
        }
        int digits = 0;
        for (; digits < 5 && is_hex_digit(*p); ++p)
            ++digits;
        if (digits == 0 || digits > 4)
            return false;
        ++groups;
        if (*p == '\0')
            break;
        if (*p++ != ':')
            return false;
        if (*p == ':') {
            if (gap)
                return false;
            gap = true;
            ++p;
        } else if (*p == '\0') {
            return false;   // a single colon at the end
        }
    }
    return gap ? groups <= 7 : groups == 8;
}

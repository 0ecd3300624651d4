#include "signin/oauth_text.h"

#include <string.h>

// The project's registrations, set by a release build (README: "Sign-in").
#ifndef QB_MICROSOFT_CLIENT_ID
#define QB_MICROSOFT_CLIENT_ID ""
#endif
#ifndef QB_GOOGLE_CLIENT_ID
#define QB_GOOGLE_CLIENT_ID ""
#endif
#ifndef QB_GOOGLE_CLIENT_SECRET
#define QB_GOOGLE_CLIENT_SECRET ""
#endif

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// A bounded reader of one JSON text.
struct Json {
    const char* at;
    const char* end;
};

void skip_space(Json* j)
{
    while (j->at < j->end && (*j->at == ' ' || *j->at == '\t' || *j->at == '\r' || *j->at == '\n'))
        ++j->at;
}

bool take(Json* j, char c)
{
    skip_space(j);
    if (j->at >= j->end || *j->at != c)
        return false;
    ++j->at;
    return true;
}

// A string at j (after its opening quote), read to its end and unescaped
// into out when out is given: false when it is malformed or unterminated;
// *fits false when it was longer than out.
bool read_string(Json* j, char* out, size_t capacity, bool* fits)
{
    size_t length = 0;
    *fits = true;
    while (j->at < j->end) {
        char c = *j->at++;
        if (c == '"') {
            if (out != nullptr)
                out[length] = '\0';
            return true;
        }
        if (c == '\\') {
            if (j->at >= j->end)
                return false;
            const char e = *j->at++;
            switch (e) {
            case 'n': c = '\n'; break;
            case 't': c = '\t'; break;
            case 'r': c = '\r'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'u': {
                if (j->end - j->at < 4)
                    return false;
                int code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int v = hex_value(*j->at++);
                    if (v < 0)
                        return false;
                    code = code * 16 + v;
                }
                // Nothing the program reads needs more; a token never has it.
                c = code < 0x80 ? static_cast<char>(code) : '?';
                break;
            }
            default: c = e; break;   // \" \\ \/
            }
        }
        if (out != nullptr) {
            if (length + 1 < capacity)
                out[length++] = c;
            else
                *fits = false;
        }
    }
    return false;
}

bool read_whole_string(Json* j, char* out, size_t capacity)
{
    bool fits;
    return read_string(j, out, capacity, &fits) && fits;
}

// Any value, skipped: strings as strings, brackets counted.
bool skip_value(Json* j)
{
    skip_space(j);
    int depth = 0;
    while (j->at < j->end) {
        const char c = *j->at++;
        if (c == '"') {
            if (!read_whole_string(j, nullptr, 0))
                return false;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (--depth < 0)
                return false;
        } else if (depth == 0 && (c == ',')) {
            --j->at;
            return true;
        }
        if (depth == 0) {
            skip_space(j);
            if (j->at >= j->end || *j->at == ',' || *j->at == '}')
                return true;
        }
    }
    return false;
}

// Positions j at the value of the top-level member key.
bool find_member(const char* json, size_t length, const char* key, Json* j)
{
    *j = {json, json + length};
    if (!take(j, '{'))
        return false;
    char name[64];
    for (;;) {
        bool fits;
        if (!take(j, '"') || !read_string(j, name, sizeof name, &fits) || !take(j, ':'))
            return false;
        skip_space(j);
        if (fits && strcmp(name, key) == 0)
            return true;
        if (!skip_value(j) || !take(j, ','))
            return false;
    }
}

bool is_unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.'
        || c == '_' || c == '~';
}

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Appends text to the terminated out: false (out unchanged) when it does not fit.
bool append(char* out, size_t capacity, const char* text)
{
    const size_t have = strlen(out);
    const size_t more = strlen(text);
    if (have + more + 1 > capacity)
        return false;
    memcpy(out + have, text, more + 1);
    return true;
}

void set_if_empty(char* field, size_t capacity, const char* value)
{
    if (field[0] == '\0' && strlen(value) < capacity)
        strcpy(field, value);
}

// The query parameter key of query (up to a space or the end), percent-
// and plus-decoded into out: false when it is not there or does not fit.
bool query_value(const char* query, const char* key, char* out, size_t capacity)
{
    const size_t key_length = strlen(key);
    for (const char* at = query; *at != '\0' && *at != ' ';) {
        const char* end = at + strcspn(at, "& ");
        if (static_cast<size_t>(end - at) > key_length && strncmp(at, key, key_length) == 0 && at[key_length] == '=') {
            size_t n = 0;
            for (const char* v = at + key_length + 1; v < end; ++v) {
                char c = *v == '+' ? ' ' : *v;
                if (c == '%' && end - v >= 3 && hex_value(v[1]) >= 0 && hex_value(v[2]) >= 0) {
                    c = static_cast<char>(hex_value(v[1]) * 16 + hex_value(v[2]));
                    v += 2;
                }
                if (n + 1 >= capacity)
                    return false;
                out[n++] = c;
            }
            out[n] = '\0';
            return true;
        }
        at = *end == '&' ? end + 1 : end;
    }
    return false;
}

} // namespace

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

size_t base64_encode(const void* data, size_t length, char* out, size_t capacity, bool url)
{
    const size_t needed = url ? (length * 4 + 2) / 3 : (length + 2) / 3 * 4;
    if (needed + 1 > capacity)
        return 0;
    const unsigned char* in = static_cast<const unsigned char*>(data);
    size_t n = 0;
    for (size_t i = 0; i < length; i += 3) {
        const uint32_t group = (uint32_t{in[i]} << 16) | (i + 1 < length ? uint32_t{in[i + 1]} << 8 : 0)
            | (i + 2 < length ? in[i + 2] : 0);
        const size_t chars = length - i >= 3 ? 4 : length - i + 1;
        for (size_t k = 0; k < 4; ++k) {
            if (k < chars) {
                char c = ALPHABET[(group >> (18 - 6 * k)) & 63];
                if (url)
                    c = c == '+' ? '-' : c == '/' ? '_' : c;
                out[n++] = c;
            } else if (!url) {
                out[n++] = '=';
            }
        }
    }
    out[n] = '\0';
    return n;
}

long base64_decode(const char* text, size_t length, uint8_t* out, size_t capacity)
{
    while (length > 0 && text[length - 1] == '=')
        --length;
    if (length % 4 == 1)
        return -1;
    size_t n = 0;
    uint32_t bits = 0;
    int held = 0;
    for (size_t i = 0; i < length; ++i) {
        const int v = base64_value(static_cast<unsigned char>(text[i]));
        if (v < 0)
            return -1;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            if (n >= capacity)
                return -1;
            out[n++] = static_cast<uint8_t>(bits >> held);
        }
    }
    return static_cast<long>(n);
}

bool json_text(const char* json, size_t length, const char* key, char* out, size_t capacity)
{
    Json j;
    return find_member(json, length, key, &j) && take(&j, '"') && read_whole_string(&j, out, capacity);
}

bool json_number(const char* json, size_t length, const char* key, long* value)
{
    Json j;
    if (!find_member(json, length, key, &j))
        return false;
    const bool quoted = take(&j, '"');
    long n = 0;
    const char* first = j.at;
    while (j.at < j.end && *j.at >= '0' && *j.at <= '9') {
        if (n > (0x7FFFFFFFL - 9) / 10)
            return false;
        n = n * 10 + (*j.at++ - '0');
    }
    if (j.at == first || (quoted && (j.at >= j.end || *j.at != '"')))
        return false;
    *value = n;
    return true;
}

size_t sasl_response(SaslMechanism mechanism, const char* account, const char* host, unsigned port,
                     const char* token, char* out, size_t capacity)
{
    char text[TOKEN_SIZE + 3 * OAUTH_URL_SIZE];
    text[0] = '\0';
    char digits[12];
    char* number = digits + sizeof digits - 1;
    *number = '\0';
    do
        *--number = static_cast<char>('0' + port % 10);
    while ((port /= 10) != 0);
    const bool fits = mechanism == SaslMechanism::xoauth2
        ? append(text, sizeof text, "user=") && append(text, sizeof text, account)
            && append(text, sizeof text, "\x01" "auth=Bearer ")
        : append(text, sizeof text, "n,a=") && append(text, sizeof text, account)
            && append(text, sizeof text, ",\x01" "host=") && append(text, sizeof text, host)
            && append(text, sizeof text, "\x01" "port=") && append(text, sizeof text, number)
            && append(text, sizeof text, "\x01" "auth=Bearer ");
    if (!fits || !append(text, sizeof text, token) || !append(text, sizeof text, "\x01\x01"))
        return 0;
    return base64_encode(text, strlen(text), out, capacity);
}

bool sasl_challenge_status(const char* line, char* out, size_t capacity)
{
    if (line[0] == '+')
        ++line;
    while (*line == ' ')
        ++line;
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == '\n' || line[length - 1] == ' '))
        --length;
    uint8_t json[512];
    const long decoded = base64_decode(line, length, json, sizeof json);
    return decoded > 0 && json_text(reinterpret_cast<const char*>(json), static_cast<size_t>(decoded), "status", out,
                                    capacity);
}

bool form_add(char* out, size_t capacity, const char* key, const char* value)
{
    const size_t have = strlen(out);
    size_t n = have;
    auto put = [&](char c) {
        if (n + 1 < capacity)
            out[n] = c;
        ++n;
    };
    if (have > 0)
        put('&');
    for (const char* k = key; *k != '\0'; ++k)
        put(*k);
    put('=');
    for (const unsigned char* v = reinterpret_cast<const unsigned char*>(value); *v != '\0'; ++v) {
        if (is_unreserved(*v)) {
            put(static_cast<char>(*v));
        } else {
            put('%');
            put("0123456789ABCDEF"[*v >> 4]);
            put("0123456789ABCDEF"[*v & 15]);
        }
    }
    if (n + 1 > capacity) {
        out[have] = '\0';
        return false;
    }
    out[n] = '\0';
    return true;
}

SigninError signin_error_of(const char* error, const char* description)
{
    // Microsoft's codes say more than the error's name.
    if (strstr(description, "AADSTS65001") != nullptr || strstr(description, "AADSTS90094") != nullptr)
        return SigninError::admin_approval;
    if (strstr(description, "AADSTS50020") != nullptr)
        return SigninError::work_account_only;
    if (strcmp(error, "access_denied") == 0)
        return SigninError::denied;
    if (strcmp(error, "invalid_grant") == 0)
        return SigninError::expired;
    return SigninError::refused;
}

void read_token_answer(const char* json, size_t length, TokenAnswer* answer)
{
    answer->access_token[0] = answer->refresh_token[0] = '\0';
    answer->expires_in = 0;
    char error[64];
    char description[512];
    if (json_text(json, length, "error", error, sizeof error)) {
        if (!json_text(json, length, "error_description", description, sizeof description))
            description[0] = '\0';
        answer->error = signin_error_of(error, description);
        return;
    }
    answer->error = SigninError::refused;
    if (!json_text(json, length, "access_token", answer->access_token, sizeof answer->access_token)
        || answer->access_token[0] == '\0')
        return;
    if (!json_text(json, length, "refresh_token", answer->refresh_token, sizeof answer->refresh_token))
        answer->refresh_token[0] = '\0';
    if (!json_number(json, length, "expires_in", &answer->expires_in))
        answer->expires_in = 0;
    answer->error = SigninError::none;
}

Provider known_provider(const char* host)
{
    static const char* const microsoft[] = {"outlook.office365.com", "outlook.office.com", "pop-mail.outlook.com",
                                            "imap-mail.outlook.com"};
    static const char* const google[] = {"pop.gmail.com", "imap.gmail.com"};
    for (const char* known : microsoft)
        if (strcmp(host, known) == 0)
            return Provider::microsoft;
    for (const char* known : google)
        if (strcmp(host, known) == 0)
            return Provider::google;
    return Provider::other;
}

void complete_setup(Provider provider, bool imap, OAuthSetup* s)
{
    if (provider == Provider::microsoft) {
        set_if_empty(s->tenant, sizeof s->tenant, "common");
        char base[OAUTH_URL_SIZE] = "https://login.microsoftonline.com/";
        if (append(base, sizeof base, s->tenant) && append(base, sizeof base, "/oauth2/v2.0/")) {
            char url[OAUTH_URL_SIZE];
            strcpy(url, base);
            if (append(url, sizeof url, "authorize"))
                set_if_empty(s->authorize_url, sizeof s->authorize_url, url);
            strcpy(url, base);
            if (append(url, sizeof url, "token"))
                set_if_empty(s->token_url, sizeof s->token_url, url);
        }
        set_if_empty(s->scope, sizeof s->scope,
                     imap ? "https://outlook.office.com/IMAP.AccessAsUser.All offline_access"
                          : "https://outlook.office.com/POP.AccessAsUser.All offline_access");
        set_if_empty(s->client_id, sizeof s->client_id, QB_MICROSOFT_CLIENT_ID);
    } else if (provider == Provider::google) {
        set_if_empty(s->authorize_url, sizeof s->authorize_url, "https://accounts.google.com/o/oauth2/v2/auth");
        set_if_empty(s->token_url, sizeof s->token_url, "https://oauth2.googleapis.com/token");
        set_if_empty(s->scope, sizeof s->scope, "https://mail.google.com/");
        // A Desktop client's secret is no secret: Google documents it so.
        if (s->client_id[0] == '\0') {
            set_if_empty(s->client_id, sizeof s->client_id, QB_GOOGLE_CLIENT_ID);
            set_if_empty(s->client_secret, sizeof s->client_secret, QB_GOOGLE_CLIENT_SECRET);
        }
    }
}

bool acceptable_endpoint(const char* url)
{
    if (starts_with(url, "https://"))
        return url[8] != '\0' && url[8] != '/';
    if (!starts_with(url, "http://"))
        return false;
    const char* host = url + 7;
    // The host ends at the port, the path or the query.
    size_t length = strcspn(host, ":/?#");
    if (starts_with(host, "["))
        return starts_with(host, "[::1]") && strchr(":/?#", host[5]) != nullptr;
    if (length == 9 && strncmp(host, "localhost", 9) == 0)
        return true;
    // 127.x.x.x: only digits and dots after "127."
    if (length < 5 || strncmp(host, "127.", 4) != 0)
        return false;
    for (size_t i = 4; i < length; ++i)
        if (!((host[i] >= '0' && host[i] <= '9') || host[i] == '.'))
            return false;
    return true;
}

bool authorize_address(const OAuthSetup& setup, const char* redirect, const char* state, const char* challenge,
                       const char* account, char* out, size_t capacity)
{
    char query[OAUTH_URL_SIZE * 2] = "";
    const bool fits = form_add(query, sizeof query, "response_type", "code")
        && form_add(query, sizeof query, "client_id", setup.client_id)
        && form_add(query, sizeof query, "redirect_uri", redirect) && form_add(query, sizeof query, "scope", setup.scope)
        && form_add(query, sizeof query, "state", state) && form_add(query, sizeof query, "code_challenge", challenge)
        && form_add(query, sizeof query, "code_challenge_method", "S256")
        && form_add(query, sizeof query, "login_hint", account);
    out[0] = '\0';
    return fits && append(out, capacity, setup.authorize_url)
        && append(out, capacity, strchr(setup.authorize_url, '?') != nullptr ? "&" : "?") && append(out, capacity, query);
}

void read_redirect(const char* request, const char* state, Redirect* out)
{
    out->kind = Redirect::other;
    // Only "/" itself, with its query: the address the provider was given.
    if (strncmp(request, "GET /", 5) != 0 || (request[5] != '?' && request[5] != ' '))
        return;
    const char* query = request + 5 + (request[5] == '?');
    char got[128];
    if (!query_value(query, "state", got, sizeof got) || strcmp(got, state) != 0)
        return;
    if (query_value(query, "code", out->code, sizeof out->code) && out->code[0] != '\0') {
        out->kind = Redirect::with_code;
        return;
    }
    char description[256];
    if (!query_value(query, "error", got, sizeof got))
        return;
    if (!query_value(query, "error_description", description, sizeof description))
        description[0] = '\0';
    out->kind = Redirect::with_error;
    out->error = signin_error_of(got, description);
}

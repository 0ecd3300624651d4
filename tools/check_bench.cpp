// Check latency: check_mailbox beside a minimal client that makes the same
// four-reply exchange with plain Winsock calls, alternating in one run, so
// that what the program adds over the network's own cost shows.
// The TLS rows do the same beside a minimal Schannel client, the IMAP row
// beside a minimal IMAP client over it; the IPv6 rows go to ::1.
// Usage: check_bench DOVECOT_ADDRESS [CHECKS [TLS_DOVECOT_ADDRESS [IPV6_TLS_DOVECOT_PORTS_TOO]]]
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>
#define SECURITY_WIN32
#include <security.h>
#include <schannel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mailcheck/mail_check.h"
#include "settings/user_settings.h"
#include "tests/support/pop3_script_server.h"

namespace {

const char* const SCRIPTED = "127.0.0.27";

// One connection's received bytes: a reply ends at its LF, and what came
// after it is the start of the next one.
struct Lines {
    SOCKET s;
    char buffer[512];
    int begin = 0, end = 0;

    // False unless a whole "+" reply arrived.
    bool read_ok()
    {
        bool first = true, positive = false;
        for (;;) {
            if (begin == end) {
                end = recv(s, buffer, sizeof buffer, 0);
                begin = 0;
                if (end <= 0)
                    return false;
            }
            char c = buffer[begin++];
            if (first)
                positive = c == '+';
            first = false;
            if (c == '\n')
                return positive;
        }
    }
};

// A connect that cannot hang, as any client must make it: non-blocking, a
// select with a bound, blocking again for the exchange.
// The server the minimal clients go to: a loopback address (IPv4 or IPv6) and port.
struct Target {
    const char* address;
    u_short port;
};

SOCKET connect_to(const Target& target);

bool bounded_connect(SOCKET s, const sockaddr* to, int length)
{
    u_long mode = 1;
    ioctlsocket(s, FIONBIO, &mode);
    bool ok = connect(s, to, length) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait = {30, 0};
        ok = select(0, nullptr, &writable, nullptr, &wait) == 1;
    }
    mode = 0;
    ioctlsocket(s, FIONBIO, &mode);
    return ok;
}

SOCKET connect_to(const Target& target)
{
    sockaddr_storage to;
    const int length = test_address(target.address, target.port, &to);
    SOCKET s = socket(to.ss_family, SOCK_STREAM, 0);
    if (!bounded_connect(s, reinterpret_cast<const sockaddr*>(&to), length)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    // No reply is waited for longer than the program waits: a row can fail, never hang.
    const DWORD reply_time = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&reply_time), sizeof reply_time);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&reply_time), sizeof reply_time);
    return s;
}

bool minimal_check(const Target& target)
{
    SOCKET s = connect_to(target);
    Lines lines{s, {}};
    bool ok = s != INVALID_SOCKET && lines.read_ok();
    const std::string commands[] = {std::string("USER ") + user_settings.account + "\r\n",
                                    std::string("PASS ") + user_settings.password + "\r\n",
                                    "STAT\r\n", "UIDL 1\r\n"};   // the newest's id: one round trip, as the program
    for (const std::string& command : commands) {
        ok = ok && send(s, command.data(), static_cast<int>(command.size()), 0) > 0 && lines.read_ok();
    }
    closesocket(s);
    return ok;
}

// The least a TLS client does for the same exchange: handshake, the same
// chain and name check, then the four replies through DecryptMessage.
struct TlsClient {
    SOCKET s;
    CredHandle credentials;
    CtxtHandle context;
    SecPkgContext_StreamSizes sizes;
    std::string in;      // ciphertext received and not yet used
    std::string plain;   // decrypted, not yet read

    bool receive() {
        char buffer[16384];
        int got = recv(s, buffer, sizeof buffer, 0);
        if (got <= 0)
            return false;
        in.append(buffer, static_cast<size_t>(got));
        return true;
    }
    bool handshake(const char* host) {
        SCHANNEL_CRED cred = {};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        char package[] = UNISP_NAME_A;
        if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr,
                                      nullptr, &credentials, nullptr) != SEC_E_OK)
            return false;
        const ULONG request = ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM
            | ISC_REQ_MANUAL_CRED_VALIDATION;
        std::string target = host;
        bool first = true;
        for (SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;;) {
            SecBuffer in_buffers[2] = {{static_cast<ULONG>(in.size()), SECBUFFER_TOKEN, &in[0]},
                                       {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc in_description = {SECBUFFER_VERSION, 2, in_buffers};
            SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
            SecBufferDesc out_description = {SECBUFFER_VERSION, 1, &out};
            ULONG attributes;
            status = InitializeSecurityContextA(&credentials, first ? nullptr : &context, &target[0],
                                                request, 0, 0, first ? nullptr : &in_description, 0,
                                                &context, &out_description, &attributes, nullptr);
            first = false;
            if (out.pvBuffer != nullptr) {
                send(s, static_cast<const char*>(out.pvBuffer), static_cast<int>(out.cbBuffer), 0);
                FreeContextBuffer(out.pvBuffer);
            }
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                if (!receive())
                    return false;
                continue;
            }
            if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
                return false;
            in = in_buffers[1].BufferType == SECBUFFER_EXTRA ? in.substr(in.size() - in_buffers[1].cbBuffer)
                                                             : std::string();
            if (status == SEC_E_OK)
                break;
            if (in.empty() && !receive())
                return false;
        }
        QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes);
        return trusted(host);
    }
    bool trusted(const char* host) {
        PCCERT_CONTEXT certificate = nullptr;
        if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
            return false;
        CERT_CHAIN_PARA para = {};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        // Revocation checked, best effort, as any careful client does.
        const DWORD unknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
        bool ok = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para,
                                          CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT, nullptr, &chain)
            && (chain->TrustStatus.dwErrorStatus & ~unknown) == 0;
        if (ok) {
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.fdwChecks = 0x80;   // revocation judged from the chain above
            CERT_CHAIN_POLICY_PARA policy = {sizeof policy, CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS, &ssl};
            CERT_CHAIN_POLICY_STATUS verdict = {sizeof verdict, 0, 0, 0, nullptr};
            ok = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)
                && verdict.dwError == 0;
        }
        (void)host;   // a dotted address: the program matches it too, a few compares
        if (chain)
            CertFreeCertificateChain(chain);
        CertFreeCertificateContext(certificate);
        return ok;
    }
    void close_notify() {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc control_description = {SECBUFFER_VERSION, 1, &control};
        ApplyControlToken(&context, &control_description);
        SecBuffer out = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_description = {SECBUFFER_VERSION, 1, &out};
        ULONG attributes;
        InitializeSecurityContextA(&credentials, &context, nullptr, ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM, 0,
                                   0, nullptr, 0, nullptr, &out_description, &attributes, nullptr);
        if (out.pvBuffer != nullptr) {
            send(s, static_cast<const char*>(out.pvBuffer), static_cast<int>(out.cbBuffer), 0);
            FreeContextBuffer(out.pvBuffer);
        }
    }
    bool send_line(const std::string& line) {
        std::string record(sizes.cbHeader + line.size() + sizes.cbTrailer, '\0');
        memcpy(&record[sizes.cbHeader], line.data(), line.size());
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
                                {static_cast<ULONG>(line.size()), SECBUFFER_DATA, &record[sizes.cbHeader]},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes.cbHeader + line.size()]},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&context, 0, &message, 0) != SEC_E_OK)
            return false;
        int length = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        return send(s, record.data(), length, 0) == length;
    }
    bool read_ok() {
        std::string line;
        return read_line(&line) && line[0] == '+';
    }
    // IMAP: lines up to the tagged one, which must say OK; the untagged
    // one that begins with `untagged`, if asked for, into *found.
    bool read_tagged(const std::string& tag, const char* untagged = nullptr, std::string* found = nullptr) {
        std::string line;
        while (read_line(&line)) {
            if (untagged != nullptr && line.compare(0, strlen(untagged), untagged) == 0)
                *found = line;
            if (line.compare(0, tag.size() + 1, tag + " ") == 0)
                return line.compare(tag.size() + 1, 2, "OK") == 0;
        }
        return false;
    }
    bool read_line(std::string* line) {
        for (;;) {
            size_t end = plain.find('\n');
            if (end != std::string::npos) {
                *line = plain.substr(0, end + 1);
                plain.erase(0, end + 1);
                return true;
            }
            if (in.empty() && !receive())
                return false;
            SecBuffer buffers[4] = {{static_cast<ULONG>(in.size()), SECBUFFER_DATA, &in[0]},
                                    {0, SECBUFFER_EMPTY, nullptr}, {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
            SECURITY_STATUS status = DecryptMessage(&context, &message, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                if (!receive())
                    return false;
                continue;
            }
            if (status != SEC_E_OK)
                return false;
            std::string extra;
            for (const SecBuffer& buffer : buffers) {
                if (buffer.BufferType == SECBUFFER_DATA)
                    plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
                if (buffer.BufferType == SECBUFFER_EXTRA)
                    extra = in.substr(in.size() - buffer.cbBuffer);
            }
            in = extra;
        }
    }
};

enum class Kind { plain, pop3s, imaps, imaps_headers };

// The newest three unread as a mail program would ask for their senders
// and subjects: read-only, BODY.PEEK.
bool minimal_headers(TlsClient& client)
{
    std::string search;
    if (!client.send_line("b1 EXAMINE INBOX\r\n") || !client.read_tagged("b1")
        || !client.send_line("b2 UID SEARCH UNSEEN\r\n") || !client.read_tagged("b2", "* SEARCH", &search))
        return false;
    std::vector<unsigned long> uids;
    for (const char* p = search.c_str() + 8; *p != '\0';) {
        char* end = nullptr;
        unsigned long uid = strtoul(p, &end, 10);
        if (end == p)
            break;
        uids.push_back(uid);
        p = end;
    }
    std::sort(uids.rbegin(), uids.rend());
    std::string fetch = "b3 UID FETCH ";
    for (size_t i = 0; i < uids.size() && i < 3; ++i)
        fetch += (i > 0 ? "," : "") + std::to_string(uids[i]);
    return !uids.empty() && client.send_line(fetch + " (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])\r\n")
        && client.read_tagged("b3");
}

// imap: LOGIN, STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY), LOGOUT instead of
// USER, PASS, STAT and UIDL; with the headers of the newest unread before LOGOUT.
bool minimal_tls_check(const Target& target, Kind kind)
{
    const bool imap = kind == Kind::imaps || kind == Kind::imaps_headers;
    TlsClient client = {};
    client.s = connect_to(target);
    bool ok = client.s != INVALID_SOCKET && client.handshake(target.address);
    if (imap) {
        std::string greeting;
        ok = ok && client.read_line(&greeting)
            && client.send_line(std::string("a1 LOGIN \"") + user_settings.account + "\" \"" + user_settings.password
                                + "\"\r\n")
            && client.read_tagged("a1") && client.send_line("a2 STATUS INBOX (UNSEEN UIDNEXT UIDVALIDITY)\r\n")
            && client.read_tagged("a2") && (kind != Kind::imaps_headers || minimal_headers(client))
            && client.send_line("a3 LOGOUT\r\n");
    } else {
        ok = ok && client.read_ok();
        for (const std::string& command : {std::string("USER ") + user_settings.account + "\r\n",
                                           std::string("PASS ") + user_settings.password + "\r\n",
                                           std::string("STAT\r\n"), std::string("UIDL 1\r\n")})
            ok = ok && client.send_line(command) && client.read_ok();
    }
    if (ok)
        client.close_notify();
    if (client.context.dwLower || client.context.dwUpper)
        DeleteSecurityContext(&client.context);
    FreeCredentialsHandle(&client.credentials);
    closesocket(client.s);
    return ok;
}

double now_ms()
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Figures {
    double median;
    double p95;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[(samples.size() * 95 + 99) / 100 - 1]};
}

// Runs both clients `checks` times each, alternating which goes first;
// `before` prepares the server for one check (outside the timed part).
bool compare(const char* title, const char* field, Target target, Kind kind, int checks,
             const std::function<std::shared_ptr<void>()>& before)
{
    strcpy(user_settings.pop_server, field);
    std::vector<double> program, minimal;
    int failures = 0;
    for (int i = 0; i < checks; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            bool program_turn = (i + turn) % 2 == 0;
            std::shared_ptr<void> server = before();
            double start = now_ms();
            bool ok = program_turn ? check_mailbox(nullptr) == 1
                : kind == Kind::plain ? minimal_check(target) : minimal_tls_check(target, kind);
            double took = now_ms() - start;
            if (!ok)
                ++failures;
            (program_turn ? program : minimal).push_back(took);
        }
    }
    Figures p = figures(program), m = figures(minimal);
    printf("%-34s quillbeam median %7.3f ms  p95 %7.3f ms | minimal median %7.3f ms  p95 %7.3f ms"
           " | ratio %.2f\n",
           title, p.median, p.p95, m.median, m.p95, p.median / m.median);
    if (failures != 0)
        printf("  %d checks failed\n", failures);
    return failures == 0;
}

std::shared_ptr<void> scripted(int delay_ms)
{
    // The program asks the newest's id after STAT: a script without that
    // step would leave both clients waiting.
    std::vector<ScriptStep> steps = {reply("+OK ready\r\n"), reply("+OK\r\n"), reply("+OK Logged in.\r\n"),
                                     reply("+OK 3 1234\r\n"), {"3", StepEnd::uidl}};
    for (ScriptStep& step : steps)
        step.piece_delay_ms = delay_ms;
    return std::make_shared<ScriptServer>(SCRIPTED, steps);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: check_bench DOVECOT_ADDRESS [CHECKS [TLS_DOVECOT_ADDRESS]]\n"
                        "       check_bench --start-once[-plain] DOVECOT_ADDRESS\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    strcpy(user_settings.account, "poptest");
    strcpy(user_settings.password, "Secr3t");
    const bool plain_start = strcmp(argv[1], "--start-once-plain") == 0;
    if ((plain_start || strcmp(argv[1], "--start-once") == 0) && argc > 2) {
        // The start-up baseline: a minimal Win32 program with a hidden
        // window that makes one check the minimal way and ends; as the
        // program's start does for the user, with an icon added first and a
        // notification after (the plain one: the check alone).
        HWND window = CreateWindowExA(0, "STATIC", "check_bench", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                      nullptr);
        NOTIFYICONDATAA icon = {};
        icon.cbSize = NOTIFYICONDATAA_V1_SIZE;
        icon.hWnd = window;
        icon.uID = 1;
        icon.uFlags = NIF_ICON | NIF_TIP;
        icon.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        strcpy(icon.szTip, "check_bench");
        if (!plain_start)
            Shell_NotifyIconA(NIM_ADD, &icon);
        const bool ok = minimal_check({argv[2], 110});
        if (!plain_start) {
            NOTIFYICONDATAW notice = {};
            notice.cbSize = sizeof notice;
            notice.hWnd = window;
            notice.uID = 1;
            notice.uFlags = NIF_INFO;
            lstrcpyW(notice.szInfoTitle, L"3");
            lstrcpyW(notice.szInfo, L"check_bench");
            Shell_NotifyIconW(NIM_MODIFY, &notice);
            Shell_NotifyIconA(NIM_DELETE, &icon);
        }
        return ok ? 0 : 1;
    }
    const int checks = argc > 2 ? atoi(argv[2]) : 500;
    mail_reply_time_ms = mail_check_time_ms = 10000;   // the program's checks too: a row fails, never hangs
    strcpy(user_settings.check_time, "300");
    user_settings.sound_on = 0;

    printf("%d checks each, alternating\n", checks);
    auto nothing = [] { return std::shared_ptr<void>(); };
    const char* dovecot = argv[1];
    bool ok = compare("Dovecot on loopback", dovecot, {dovecot, 110}, Kind::plain, checks, nothing);
    ok = compare("scripted server, no delay", SCRIPTED, {SCRIPTED, 110}, Kind::plain, checks,
                 [] { return scripted(0); }) && ok;
    ok = compare("scripted server, 20 ms per reply", SCRIPTED, {SCRIPTED, 110}, Kind::plain, checks,
                 [] { return scripted(20); }) && ok;
    if (argc > 3) {
        char field[64];
        snprintf(field, sizeof field, "pop3s://%s", argv[3]);
        ok = compare("Dovecot over TLS (pop3s)", field, {argv[3], 995}, Kind::pop3s, checks, nothing) && ok;
        snprintf(field, sizeof field, "imaps://%s", argv[3]);
        ok = compare("Dovecot over IMAP (imaps)", field, {argv[3], 993}, Kind::imaps, checks, nothing) && ok;
        // Every check finds new mail: the senders and subjects of the newest three too.
        ok = compare("IMAP with the newest three headers", field, {argv[3], 993}, Kind::imaps_headers, checks, [] {
            last_mailbox = {};
            return std::shared_ptr<void>();
        }) && ok;
    }
    if (argc > 4) {   // the same Dovecot on ::1, its ports 1110 and 1995
        ok = compare("Dovecot on ::1", "[::1]:1110", {"::1", 1110}, Kind::plain, checks, nothing) && ok;
        ok = compare("Dovecot over TLS on ::1", "pop3s://[::1]:1995", {"::1", 1995}, Kind::pop3s, checks, nothing)
            && ok;
    }
    WSACleanup();
    return ok ? 0 : 1;
}

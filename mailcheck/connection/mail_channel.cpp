// Plain bytes, or TLS through Schannel (SSPI) with the certificate judged
// here: the system's own TLS, nothing of ours in between.
#include "mailcheck/connection/mail_channel.h"

// The newer credential record (the one that offers TLS 1.3) is declared
// only under this name.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <schannel.h>

#include <string.h>

#include "mailcheck/connection/mail_socket.h"
#include "mailcheck/connection/support_line.h"
#include "settings/user_settings.h"

namespace {

constexpr unsigned char TLS_ALERT_RECORD = 0x15;
constexpr unsigned char TLS_HANDSHAKE_RECORD = 0x16;

// ISC_REQ_USE_SUPPLIED_CREDS from the start: a server that asks for an
// optional client certificate then gets none, instead of a status that
// would have us call again and again.
constexpr ULONG CONTEXT_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT
    | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM
    | ISC_REQ_MANUAL_CRED_VALIDATION | ISC_REQ_USE_SUPPLIED_CREDS;
// What the context must really give before a byte of the login is sealed.
constexpr ULONG CONTEXT_NEEDED = ISC_RET_CONFIDENTIALITY | ISC_RET_SEQUENCE_DETECT
    | ISC_RET_REPLAY_DETECT | ISC_RET_STREAM;
// The certificate is judged by us, so a system whose Schannel checks
// nothing is no weaker; weak suites a system still lists are never offered.
constexpr DWORD CREDENTIAL_FLAGS = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS
    | SCH_USE_STRONG_CRYPTO;
// The first Windows whose TLS 1.3 client is finished (Server 2022, then 11);
// Windows 10's is behind a registry switch and known broken.
constexpr DWORD TLS13_FIRST_BUILD = 20348;
constexpr unsigned long TIMED_OUT = WSAETIMEDOUT;

char* target_name(MailChannel* channel) { return channel->name[0] != '\0' ? channel->name : nullptr; }

// A failed send or receive leaves the connection unfit for anything more.
int receive_raw(MailChannel* channel, char* out, int size, DWORD deadline)
{
    int got = socket_receive(&channel->socket, out, size, deadline);
    if (got <= 0)
        channel->broken = true;
    return got;
}

int send_all(MailChannel* channel, const char* data, int length)
{
    if (!socket_send(&channel->socket, data, length)) {
        channel->broken = true;
        return 0;
    }
    return 1;
}

// More ciphertext after what raw holds; 0 when none came in time.
int receive_more(MailChannel* channel, DWORD deadline)
{
    if (channel->raw_length >= sizeof channel->raw) {   // a record larger than any legal one
        note_failure(&channel->socket.support, "record size", static_cast<unsigned long>(SEC_E_BUFFER_TOO_SMALL));
        return 0;
    }
    int got = receive_raw(channel, channel->raw + channel->raw_length,
                          static_cast<int>(sizeof channel->raw - channel->raw_length), deadline);
    if (got <= 0)
        return 0;
    channel->raw_length += static_cast<size_t>(got);
    return 1;
}

// receive_more while *allowed (-1: always) lasts; past it 0 and *denied.
// Out of line: three places ask it, and the program's size is counted.
__attribute__((noinline)) int more_allowed(MailChannel* channel, DWORD deadline, int* allowed, bool* denied)
{
    if (*allowed == 0) {
        *denied = true;
        return 0;
    }
    --*allowed;
    return receive_more(channel, deadline);
}

// What Schannel left unread is the start of the next record.
void keep_extra(MailChannel* channel, const SecBuffer* extra)
{
    if (extra != nullptr && extra->BufferType == SECBUFFER_EXTRA && extra->cbBuffer > 0
        && extra->cbBuffer <= channel->raw_length) {
        memmove(channel->raw, channel->raw + channel->raw_length - extra->cbBuffer, extra->cbBuffer);
        channel->raw_length = extra->cbBuffer;
    } else {
        channel->raw_length = 0;
    }
}

// Sends what Schannel wrote for the server (on a sound connection) and
// frees it on every path.
int send_token(MailChannel* channel, SecBuffer* token)
{
    int sent = 1;
    if (token->pvBuffer != nullptr) {
        if (token->cbBuffer > 0 && !channel->broken)
            sent = send_all(channel, static_cast<const char*>(token->pvBuffer), static_cast<int>(token->cbBuffer));
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
    }
    return sent;
}

bool tls13_finished()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    // The manifest names Windows 10 and 11, so the build is not hidden.
    return GetVersionExA(&version) && version.dwMajorVersion >= 10 && version.dwBuildNumber >= TLS13_FIRST_BUILD;
}

bool acquire_credentials(MailChannel* channel)
{
    TimeStamp expiry;
    // The newer record is the one that can offer TLS 1.3; a system that
    // does not know it refuses it, and the older one offers TLS 1.2.
    TLS_PARAMETERS parameters = {};
    DWORD enabled = SP_PROT_TLS1_2_CLIENT | (tls13_finished() ? SP_PROT_TLS1_3_CLIENT : 0);
    parameters.grbitDisabledProtocols = ~enabled;
    SCH_CREDENTIALS newer = {};
    newer.dwVersion = SCH_CREDENTIALS_VERSION;
    newer.dwFlags = CREDENTIAL_FLAGS;
    newer.cTlsParameters = 1;
    newer.pTlsParameters = &parameters;
    char package[] = UNISP_NAME_A;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &newer, nullptr,
                                  nullptr, &channel->credentials, &expiry) == SEC_E_OK)
        return channel->have_credentials = true;
    // Never SSL 3 or TLS 1.0/1.1, whatever the system's defaults say.
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = CREDENTIAL_FLAGS;
    SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                       &older, nullptr, nullptr, &channel->credentials,
                                                       &expiry);
    if (status != SEC_E_OK)
        note_failure(&channel->socket.support, "credentials", static_cast<unsigned long>(status));
    return channel->have_credentials = status == SEC_E_OK;
}

TlsFailure handshake_failed(MailChannel* channel, const char* step, SECURITY_STATUS status)
{
    note_failure(&channel->socket.support, step, static_cast<unsigned long>(status));
    return TlsFailure::handshake;
}

// Feeds the server's handshake records to Schannel until it is done. Every
// round takes input, or waits for more bytes behind what it could not take,
// and none starts past the deadline: a status that takes nothing never spins.
TlsFailure handshake(MailChannel* channel, DWORD deadline, bool must_receive, bool first_record)
{
    for (;;) {
        if (past(deadline))
            return handshake_failed(channel, "handshake", TIMED_OUT);
        if (must_receive) {
            if (!receive_more(channel, deadline))
                return TlsFailure::handshake;
            // A server that does not speak TLS answers with text; Schannel
            // would take it for a record header and wait.
            unsigned char type = static_cast<unsigned char>(channel->raw[0]);
            if (first_record && type != TLS_HANDSHAKE_RECORD && type != TLS_ALERT_RECORD) {
                note_failure(&channel->socket.support, "handshake", type);
                return TlsFailure::not_tls;
            }
            first_record = false;
        }
        SecBuffer input[2] = {{static_cast<ULONG>(channel->raw_length), SECBUFFER_TOKEN, channel->raw},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input_description = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc output_description = {SECBUFFER_VERSION, 2, output};
        ULONG attributes = 0;
        // The first call has no context and no input yet: it makes the ClientHello.
        const bool first = !channel->have_context;
        SECURITY_STATUS status = InitializeSecurityContextA(
            &channel->credentials, first ? nullptr : &channel->context, target_name(channel), CONTEXT_REQUEST, 0, 0,
            first ? nullptr : &input_description, 0, first ? &channel->context : nullptr, &output_description,
            &attributes, nullptr);
        if (first && status == SEC_I_CONTINUE_NEEDED)
            channel->have_context = true;
        // On a failure the alert tells the server why; either way it is freed.
        bool sent = send_token(channel, &output[0]);
        if (FAILED(status))
            send_token(channel, &output[1]);
        else if (output[1].pvBuffer != nullptr)
            FreeContextBuffer(output[1].pvBuffer);
        if (!sent)
            return TlsFailure::handshake;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {   // SECBUFFER_MISSING: more of the record to come
            must_receive = true;
            continue;
        }
        // A client certificate asked for although the request says we
        // supply none: calling again with the same input changes nothing.
        if (status == SEC_I_INCOMPLETE_CREDENTIALS)
            return handshake_failed(channel, "client certificate", status);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
            return handshake_failed(channel, "handshake", status);
        const size_t before = channel->raw_length;
        keep_extra(channel, &input[1]);
        if (status == SEC_E_OK) {
            if ((attributes & CONTEXT_NEEDED) != CONTEXT_NEEDED)
                return handshake_failed(channel, "context attributes", static_cast<SECURITY_STATUS>(attributes));
            channel->established = true;
            return TlsFailure::none;
        }
        // Leftover input is the next handshake record: used before waiting,
        // unless none of it was taken.
        must_receive = channel->raw_length == 0 || channel->raw_length == before;
    }
}

// After every handshake: the record sizes may have changed, and the
// certificate, if it is not the one accepted, is judged before anything
// more is sealed.
TlsFailure accept_context(MailChannel* channel, DWORD deadline)
{
    SECURITY_STATUS status = QueryContextAttributesA(&channel->context, SECPKG_ATTR_STREAM_SIZES,
                                                     &channel->sizes);
    if (status != SEC_E_OK)
        return handshake_failed(channel, "stream sizes", status);
    if (channel->sizes.cbHeader + LONGEST_COMMAND + channel->sizes.cbTrailer > sizeof channel->sealed)
        return handshake_failed(channel, "stream sizes", SEC_E_BUFFER_TOO_SMALL);
    PCCERT_CONTEXT certificate = nullptr;
    status = QueryContextAttributesA(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
        note_failure(&channel->socket.support, "server certificate", static_cast<unsigned long>(status));
        return TlsFailure::untrusted;
    }
    const bool known = channel->judged != nullptr
        && channel->judged->cbCertEncoded == certificate->cbCertEncoded
        && memcmp(channel->judged->pbCertEncoded, certificate->pbCertEncoded, certificate->cbCertEncoded) == 0;
    TlsFailure failure = TlsFailure::none;
    if (!known) {
        failure = judge_certificate(certificate, target_name(channel), channel->address, deadline,
                                    &channel->socket.support);
        if (failure == TlsFailure::none) {
            if (channel->judged != nullptr)
                CertFreeCertificateContext(channel->judged);
            channel->judged = CertDuplicateCertificateContext(certificate);
        }
    }
    CertFreeCertificateContext(certificate);
    return failure;
}

void send_close_notify(MailChannel* channel)
{
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc control_description = {SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&channel->context, &control_description) != SEC_E_OK)
        return;
    SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output_description = {SECBUFFER_VERSION, 1, &output};
    ULONG attributes = 0;
    InitializeSecurityContextA(&channel->credentials, &channel->context, target_name(channel), CONTEXT_REQUEST, 0,
                               0, nullptr, 0, nullptr, &output_description, &attributes, nullptr);
    send_token(channel, &output);
}

} // namespace

void channel_reset(MailChannel* channel)
{
    channel_close(channel);
    channel->raw_length = channel->plain_begin = channel->plain_end = 0;
    channel->broken = false;
    channel->failure = TlsFailure::none;
}

void channel_close(MailChannel* channel)
{
    // The server is told the session ends (it logs every other end as a
    // fault); still no QUIT, the mailbox stays untouched.
    if (channel->have_context && channel->established && !channel->broken)
        send_close_notify(channel);
    if (channel->have_context)
        DeleteSecurityContext(&channel->context);
    if (channel->have_credentials)
        FreeCredentialsHandle(&channel->credentials);
    if (channel->judged != nullptr)
        CertFreeCertificateContext(channel->judged);
    channel->judged = nullptr;
    channel->have_context = channel->have_credentials = channel->established = false;
    channel->carrying = Carrying::plain;
}

int channel_send(MailChannel* channel, const char* data, int length)
{
    if (channel->carrying == Carrying::failed || channel->broken)
        return 0;
    if (channel->carrying == Carrying::plain)
        return send_all(channel, data, length);
    // A record for each LONGEST_COMMAND bytes: a command fits one, a
    // sign-in's response (a token of a few KB) takes a few.
    const SecPkgContext_StreamSizes& sizes = channel->sizes;
    for (int sent = 0; sent < length;) {
        const int piece = length - sent < static_cast<int>(LONGEST_COMMAND) ? length - sent : static_cast<int>(LONGEST_COMMAND);
        if (static_cast<ULONG>(piece) > sizes.cbMaximumMessage)
            return 0;
        char* sealed = channel->sealed;
        memcpy(sealed + sizes.cbHeader, data + sent, static_cast<size_t>(piece));
        SecBuffer buffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, sealed},
            {static_cast<ULONG>(piece), SECBUFFER_DATA, sealed + sizes.cbHeader},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, sealed + sizes.cbHeader + piece},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = EncryptMessage(&channel->context, 0, &message, 0);
        if (status != SEC_E_OK) {
            note_failure(&channel->socket.support, "encrypt", static_cast<unsigned long>(status));
            return 0;
        }
        if (!send_all(channel, sealed, static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer)))
            return 0;
        sent += piece;
    }
    return 1;
}

int channel_receive(MailChannel* channel, char* out, int size, DWORD deadline, bool wait)
{
    if (channel->carrying == Carrying::failed)
        return 0;
    if (channel->carrying == Carrying::plain)
        return receive_raw(channel, out, size, deadline);
    // Without waiting: one receive (the socket said it has something), and
    // no second one once the records that came held no data.
    int allowed = wait ? -1 : 1;
    bool not_yet = false;
    channel->raw_incomplete = false;
    while (channel->plain_begin == channel->plain_end) {
        if (past(deadline)) {
            note_failure(&channel->socket.support, "receive", TIMED_OUT);
            return 0;
        }
        if (channel->raw_length == 0 && !more_allowed(channel, deadline, &allowed, &not_yet))
            break;
        SecBuffer buffers[4] = {{static_cast<ULONG>(channel->raw_length), SECBUFFER_DATA, channel->raw},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&channel->context, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!more_allowed(channel, deadline, &allowed, &not_yet))
                break;
            continue;
        }
        // Anything but data or a renewed handshake is the end: the server
        // closed (SEC_I_CONTEXT_EXPIRED), or the record was damaged.
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            note_failure(&channel->socket.support, "decrypt", static_cast<unsigned long>(status));
            return 0;
        }
        // The plaintext is where Windows puts it, in the second buffer;
        // what it left unread may be in any of the others.
        const SecBuffer& data = buffers[1];
        if (data.BufferType == SECBUFFER_DATA && data.cbBuffer > 0
            && data.cbBuffer <= sizeof channel->plain) {
            memcpy(channel->plain, data.pvBuffer, data.cbBuffer);
            channel->plain_begin = 0;
            channel->plain_end = data.cbBuffer;
        }
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& buffer : buffers)
            if (buffer.BufferType == SECBUFFER_EXTRA)
                extra = &buffer;
        size_t before = channel->raw_length;
        keep_extra(channel, extra);
        if (status == SEC_I_RENEGOTIATE) {
            // A TLS 1.3 session ticket (sent by most servers right after the
            // handshake, often two at once) or a TLS 1.2 re-handshake: what
            // was left over goes to the handshake, whatever it leaves is
            // decrypted next.
            before = channel->raw_length;
            TlsFailure failure = handshake(channel, deadline, false, false);
            if (failure == TlsFailure::none)
                failure = accept_context(channel, deadline);
            if (failure != TlsFailure::none) {
                channel->failure = failure;
                channel->carrying = Carrying::failed;
                return 0;
            }
        }
        // Nothing taken: the rest of the record is still to come, and no
        // status is asked again before it is here.
        if (channel->plain_begin == channel->plain_end && channel->raw_length == before
            && !more_allowed(channel, deadline, &allowed, &not_yet))
            break;
    }
    if (channel->plain_begin == channel->plain_end) {
        // Only the start of a record, if anything, is left: the socket
        // signals its rest.
        channel->raw_incomplete = not_yet;
        return not_yet ? -1 : 0;
    }
    size_t count = channel->plain_end - channel->plain_begin;
    if (count > static_cast<size_t>(size))
        count = static_cast<size_t>(size);
    memcpy(out, channel->plain + channel->plain_begin, count);
    channel->plain_begin += count;
    return static_cast<int>(count);
}

TlsFailure channel_start_tls(MailChannel* channel, const char* name, const sockaddr* address, DWORD deadline)
{
    channel_close(channel);
    channel->raw_length = channel->plain_begin = channel->plain_end = 0;
    channel->failure = TlsFailure::none;
    // An address is never sent as SNI (RFC 6066): it is judged by itself.
    copy_text(channel->name, sizeof channel->name, name != nullptr ? name : "");
    channel->address = address;
    if (!acquire_credentials(channel))
        return TlsFailure::handshake;
    TlsFailure failure = handshake(channel, deadline, false, true);
    if (failure == TlsFailure::none)
        failure = accept_context(channel, deadline);
    channel->carrying = failure == TlsFailure::none ? Carrying::tls : Carrying::failed;
    return failure;
}

int channel_unread(const MailChannel* channel)
{
    return static_cast<int>(channel->plain_end - channel->plain_begin + (channel->raw_incomplete ? 0 : channel->raw_length));
}


// Plain bytes, or TLS through Schannel (SSPI) with the certificate checked
// here: the system's own TLS, nothing of ours in between.
#include "mailcheck/mail_channel.h"

#define SECURITY_WIN32
// The newer credential record (the one that offers TLS 1.3) is declared
// only under this name.
#define SCHANNEL_USE_BLACKLISTS
#include <subauth.h>
#include <security.h>
#include <schannel.h>
#include <wincrypt.h>

#include <string.h>

#include "mailcheck/mail_check.h"
#include "mailcheck/pop3_reply.h"
#include "mailcheck/server_address.h"

namespace {

// The largest TLS record: 16 KiB of data with its header, padding and tag.
constexpr size_t TLS_RECORD_SIZE = 16384 + 2048;
constexpr ULONG CONTEXT_REQUEST = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT
    | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM
    | ISC_REQ_MANUAL_CRED_VALIDATION;
// Checked here rather than by Schannel, which under some systems checks
// nothing at all, so every system judges a certificate the same way.
constexpr DWORD CREDENTIAL_FLAGS = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;

bool tls_on;
CredHandle credentials;
bool have_credentials;
CtxtHandle context;
bool have_context;
SecPkgContext_StreamSizes sizes;
char target[SETTING_TEXT_SIZE];   // the name the handshake and the certificate are for

char raw[TLS_RECORD_SIZE];        // received ciphertext not yet decrypted
size_t raw_length;
char plain[TLS_RECORD_SIZE];      // decrypted bytes not yet handed out
size_t plain_begin;
size_t plain_end;
char sealed[1024];                // one encrypted command

// The receive time-out the socket has now; the check sets it to the full
// reply time when it makes the socket.
DWORD receive_timeout;

// One recv that ends by the deadline, give or take a second: a peer that
// drips bytes cannot stretch a reply. The time-out is set anew only when it
// is that far off, so most replies cost no call beyond their recv.
int receive_raw(char* out, int size, DWORD deadline)
{
    const LONG slack = 1000;
    LONG left = static_cast<LONG>(deadline - GetTickCount());
    if (left <= 0)
        return 0;
    LONG current = static_cast<LONG>(receive_timeout);
    if (current > left + slack || current + slack < left) {
        receive_timeout = static_cast<DWORD>(left);
        setsockopt(mail_socket, SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&receive_timeout), sizeof receive_timeout);
    }
    return recv(mail_socket, out, size, 0);
}

int send_all(const char* data, int length)
{
    for (int sent = 0; sent < length;) {
        int result = send(mail_socket, data + sent, length - sent, 0);
        if (result <= 0)
            return 0;
        sent += result;
    }
    return 1;
}

// More ciphertext after what raw holds; 0 when none came in time.
int receive_more(DWORD deadline)
{
    if (raw_length >= sizeof raw)
        return 0;
    int got = receive_raw(raw + raw_length, static_cast<int>(sizeof raw - raw_length), deadline);
    if (got <= 0)
        return 0;
    raw_length += static_cast<size_t>(got);
    return 1;
}

// What Schannel left unread is the start of the next record.
void keep_extra(const SecBuffer* extra)
{
    if (extra != nullptr && extra->BufferType == SECBUFFER_EXTRA && extra->cbBuffer > 0
        && extra->cbBuffer <= raw_length) {
        memmove(raw, raw + raw_length - extra->cbBuffer, extra->cbBuffer);
        raw_length = extra->cbBuffer;
    } else {
        raw_length = 0;
    }
}

int send_token(SecBuffer* token)
{
    int sent = 1;
    if (token->pvBuffer != nullptr) {
        if (token->cbBuffer > 0)
            sent = send_all(static_cast<const char*>(token->pvBuffer), static_cast<int>(token->cbBuffer));
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
    }
    return sent;
}

bool acquire_credentials()
{
    TimeStamp expiry;
    // The newer record is the one that offers TLS 1.3; a system that does
    // not know it refuses it, and the older one offers TLS 1.2.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS newer = {};
    newer.dwVersion = SCH_CREDENTIALS_VERSION;
    newer.dwFlags = CREDENTIAL_FLAGS;
    newer.cTlsParameters = 1;
    newer.pTlsParameters = &parameters;
    char package[] = UNISP_NAME_A;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &newer, nullptr,
                                  nullptr, &credentials, &expiry) == SEC_E_OK)
        return have_credentials = true;
    // Never SSL 3 or TLS 1.0/1.1, whatever the system's defaults say.
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = CREDENTIAL_FLAGS;
    return have_credentials = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                        &older, nullptr, nullptr, &credentials,
                                                        &expiry) == SEC_E_OK;
}

// Feeds the server's handshake records to Schannel until it is done.
TlsFailure finish_handshake(DWORD deadline, bool must_receive, bool first_record)
{
    for (;;) {
        if (must_receive) {
            if (!receive_more(deadline))
                return TlsFailure::handshake;
            // A server that does not speak TLS answers with text; Schannel
            // would take it for a record header and wait.
            unsigned char type = static_cast<unsigned char>(raw[0]);
            if (first_record && type != 0x16 && type != 0x15)
                return TlsFailure::not_tls;
            first_record = false;
        }
        SecBuffer input[2] = {{static_cast<ULONG>(raw_length), SECBUFFER_TOKEN, raw},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input_description = {SECBUFFER_VERSION, 2, input};
        SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc output_description = {SECBUFFER_VERSION, 1, &output};
        ULONG attributes = 0;
        SECURITY_STATUS status = InitializeSecurityContextA(
            &credentials, &context, target, CONTEXT_REQUEST, 0, 0, &input_description, 0, nullptr,
            &output_description, &attributes, nullptr);
        if (!send_token(&output))
            return TlsFailure::handshake;
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            must_receive = true;
            continue;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED
            && status != SEC_I_INCOMPLETE_CREDENTIALS)
            return TlsFailure::handshake;
        keep_extra(&input[1]);
        if (status == SEC_E_OK)
            return TlsFailure::none;
        // Leftover input is the next handshake record: use it before waiting.
        must_receive = raw_length == 0;
    }
}

bool names_address(PCCERT_CONTEXT certificate, const char* host)
{
    unsigned long wanted = inet_addr(host);
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                  certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    if (extension == nullptr)
        return false;
    DWORD decoded[1024];
    DWORD size = sizeof decoded;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, 0, nullptr, decoded, &size))
        return false;
    const CERT_ALT_NAME_INFO* names = reinterpret_cast<const CERT_ALT_NAME_INFO*>(decoded);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4
            && memcmp(entry.IPAddress.pbData, &wanted, 4) == 0)
            return true;
    }
    return false;
}

// A trusted chain to a root of the system's store, valid dates, and the
// name the user wrote (for a dotted address: the certificate's address).
TlsFailure judge_chain(PCCERT_CONTEXT certificate, const char* host)
{
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA chain_request = {};
    chain_request.cbSize = sizeof chain_request;
    chain_request.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chain_request.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_request.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_request,
                                 0, nullptr, &chain))
        return TlsFailure::untrusted;
    TlsFailure failure = TlsFailure::none;
    // Any flaw of the chain counts, a partial one (a leaf from an unknown
    // issuer) included, which some systems' policy check lets through.
    DWORD flaws = chain->TrustStatus.dwErrorStatus;
    if (flaws & CERT_TRUST_IS_NOT_TIME_VALID)
        failure = TlsFailure::expired;
    else if (flaws != 0)
        failure = TlsFailure::untrusted;
    const bool address = is_dotted_ipv4(host);
    if (failure == TlsFailure::none) {
        WCHAR name[SETTING_TEXT_SIZE];
        MultiByteToWideChar(CP_ACP, 0, host, -1, name, SETTING_TEXT_SIZE);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = address ? nullptr : name;   // an address is matched below
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS verdict = {};
        verdict.cbSize = sizeof verdict;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict))
            failure = TlsFailure::untrusted;
        else if (verdict.dwError == static_cast<DWORD>(CERT_E_EXPIRED))
            failure = TlsFailure::expired;
        else if (verdict.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
            failure = TlsFailure::name_mismatch;
        else if (verdict.dwError != 0)
            failure = TlsFailure::untrusted;
    }
    if (failure == TlsFailure::none && address && !names_address(certificate, host))
        failure = TlsFailure::name_mismatch;
    CertFreeCertificateChain(chain);
    return failure;
}

TlsFailure judge_certificate(const char* host)
{
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK
        || certificate == nullptr)
        return TlsFailure::untrusted;
    TlsFailure failure = judge_chain(certificate, host);
    CertFreeCertificateContext(certificate);
    return failure;
}

} // namespace

void channel_reset()
{
    channel_close();
    raw_length = plain_begin = plain_end = 0;
    receive_timeout = MAIL_SOCKET_TIMEOUT_MS;
}

void channel_close()
{
    if (have_context)
        DeleteSecurityContext(&context);
    if (have_credentials)
        FreeCredentialsHandle(&credentials);
    have_context = have_credentials = tls_on = false;
}

int channel_send(const char* data, int length)
{
    if (!tls_on)
        return send_all(data, length);
    // A command is short: one record.
    size_t total = sizes.cbHeader + static_cast<size_t>(length) + sizes.cbTrailer;
    if (static_cast<ULONG>(length) > sizes.cbMaximumMessage || total > sizeof sealed)
        return 0;
    memcpy(sealed + sizes.cbHeader, data, static_cast<size_t>(length));
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, sealed},
        {static_cast<ULONG>(length), SECBUFFER_DATA, sealed + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, sealed + sizes.cbHeader + length},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context, 0, &message, 0) != SEC_E_OK)
        return 0;
    return send_all(sealed, static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer
                                             + buffers[2].cbBuffer));
}

int channel_receive(char* out, int size, DWORD deadline)
{
    if (!tls_on)
        return receive_raw(out, size, deadline);
    while (plain_begin == plain_end) {
        if (raw_length == 0 && !receive_more(deadline))
            return 0;
        SecBuffer buffers[4] = {{static_cast<ULONG>(raw_length), SECBUFFER_DATA, raw},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        SECURITY_STATUS status = DecryptMessage(&context, &message, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (!receive_more(deadline))
                return 0;
            continue;
        }
        // Anything else but data or a TLS 1.3 ticket (which Schannel reports
        // as renegotiation) is the end: the server closed, or the record
        // was damaged.
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
            return 0;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0
                && buffer.cbBuffer <= sizeof plain) {
                memcpy(plain, buffer.pvBuffer, buffer.cbBuffer);
                plain_begin = 0;
                plain_end = buffer.cbBuffer;
            } else if (buffer.BufferType == SECBUFFER_EXTRA) {
                extra = &buffer;
            }
        }
        keep_extra(extra);
        if (status == SEC_I_RENEGOTIATE && finish_handshake(deadline, false, false) != TlsFailure::none)
            return 0;
    }
    size_t count = plain_end - plain_begin;
    if (count > static_cast<size_t>(size))
        count = static_cast<size_t>(size);
    memcpy(out, plain + plain_begin, count);
    plain_begin += count;
    return static_cast<int>(count);
}

TlsFailure channel_start_tls(const char* host, DWORD deadline)
{
    channel_close();
    raw_length = plain_begin = plain_end = 0;
    copy_text(target, sizeof target, host);
    if (!acquire_credentials())
        return TlsFailure::handshake;
    SecBuffer output = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output_description = {SECBUFFER_VERSION, 1, &output};
    ULONG attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextA(&credentials, nullptr, target, CONTEXT_REQUEST,
                                                        0, 0, nullptr, 0, &context,
                                                        &output_description, &attributes, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED) {
        if (output.pvBuffer != nullptr)
            FreeContextBuffer(output.pvBuffer);
        return TlsFailure::handshake;
    }
    have_context = true;
    if (!send_token(&output))
        return TlsFailure::handshake;
    TlsFailure failure = finish_handshake(deadline, true, true);
    if (failure != TlsFailure::none)
        return failure;
    if (QueryContextAttributesA(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK
        || sizes.cbHeader + COMMAND_BUFFER_SIZE + sizes.cbTrailer > sizeof sealed)
        return TlsFailure::handshake;
    failure = judge_certificate(host);
    if (failure != TlsFailure::none)
        return failure;
    tls_on = true;
    return TlsFailure::none;
}

// Checked here rather than by Schannel, which under some systems checks
// nothing at all.
#include "mailcheck/connection/certificate_check.h"

#include <ws2ipdef.h>

#include <string.h>

#include "mailcheck/connection/support_line.h"
#include "settings/user_settings.h"

namespace {

// Revocation is best effort: a list that cannot be fetched (offline, no
// distribution point) does not stop the check; a revoked certificate does.
constexpr DWORD REVOCATION_UNKNOWN = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

// Each fetch of the chain (an issuer, its issuer, a root update, the
// revocation lists together) gets this share of what is left of the check;
// once the time is nearly spent, only what the system has cached is used.
constexpr LONG FETCH_SHARES = 4;
constexpr LONG LEAST_FETCH_MS = 250;

bool names_address(PCCERT_CONTEXT certificate, const sockaddr* address)
{
    const void* bytes = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
    DWORD length = 4;
    if (address->sa_family == AF_INET6) {
        bytes = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        length = 16;
    }
    PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                  certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (extension == nullptr
        || !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                                extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == length
            && memcmp(entry.IPAddress.pbData, bytes, length) == 0;
    }
    LocalFree(names);
    return found;
}

// Which end of its dates a certificate of the chain is outside.
TlsFailure time_failure(PCCERT_CHAIN_CONTEXT chain)
{
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    for (DWORD i = 0; i < simple->cElement; ++i)
        if (CertVerifyTimeValidity(nullptr, simple->rgpElement[i]->pCertContext->pCertInfo) < 0)
            return TlsFailure::not_yet_valid;
    return TlsFailure::expired;
}

TlsFailure chain_failure(PCCERT_CHAIN_CONTEXT chain, SupportLine* support)
{
    // Any other flaw counts, a partial chain (a leaf from an unknown issuer)
    // included, which some systems' policy check lets through.
    DWORD flaws = chain->TrustStatus.dwErrorStatus & ~REVOCATION_UNKNOWN;
    if (flaws != 0)
        note_failure(support, "certificate chain", chain->TrustStatus.dwErrorStatus);
    if (flaws & CERT_TRUST_IS_REVOKED)
        return TlsFailure::revoked;
    // An expired certificate nobody vouches for: that nobody does is what
    // the user must hear first.
    if (flaws & ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED))
        return TlsFailure::untrusted;
    return flaws != 0 ? time_failure(chain) : TlsFailure::none;
}

TlsFailure policy_failure(PCCERT_CHAIN_CONTEXT chain, const char* name, SupportLine* support)
{
    WCHAR wide_name[SETTING_TEXT_SIZE];
    MultiByteToWideChar(CP_ACP, 0, name != nullptr ? name : "", -1, wide_name, SETTING_TEXT_SIZE);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // Revocation is judged from the chain above; here only an unknown status is let through.
    ssl.fdwChecks = 0x00000080;   // SECURITY_FLAG_IGNORE_REVOCATION
    ssl.pwszServerName = name != nullptr ? wide_name : nullptr;   // an address is matched by us
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict = {};
    verdict.cbSize = sizeof verdict;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
        note_failure(support, "certificate policy", GetLastError());
        return TlsFailure::untrusted;
    }
    const HRESULT error = static_cast<HRESULT>(verdict.dwError);
    if (error == 0 || error == CRYPT_E_NO_REVOCATION_CHECK || error == CRYPT_E_REVOCATION_OFFLINE)
        return TlsFailure::none;
    note_failure(support, "certificate policy", verdict.dwError);
    if (error == CERT_E_EXPIRED)
        return time_failure(chain);
    if (error == CERT_E_CN_NO_MATCH)
        return TlsFailure::name_mismatch;
    if (error == CRYPT_E_REVOKED)
        return TlsFailure::revoked;
    return TlsFailure::untrusted;
}

} // namespace

TlsFailure judge_certificate(PCCERT_CONTEXT certificate, const char* name, const sockaddr* address,
                             DWORD deadline, SupportLine* support)
{
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA request = {};
    request.cbSize = sizeof request;
    request.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    request.RequestedUsage.Usage.cUsageIdentifier = 1;
    request.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // The accumulative time-out covers revocation only: an issuer or a root
    // fetched gets its own, so each gets a share and all fit in what is left.
    LONG share = static_cast<LONG>(deadline - GetTickCount()) / FETCH_SHARES;
    request.dwUrlRetrievalTimeout = share > 0 ? static_cast<DWORD>(share) : 1;
    DWORD flags = CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    if (share < LEAST_FETCH_MS)
        flags |= CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &request,
                                 flags, nullptr, &chain)) {
        note_failure(support, "certificate chain", GetLastError());
        return TlsFailure::untrusted;
    }
    TlsFailure failure = chain_failure(chain, support);
    if (failure == TlsFailure::none)
        failure = policy_failure(chain, name, support);
    if (failure == TlsFailure::none && name == nullptr && !names_address(certificate, address)) {
        note_failure(support, "certificate address", static_cast<unsigned long>(CERT_E_CN_NO_MATCH));
        failure = TlsFailure::name_mismatch;
    }
    CertFreeCertificateChain(chain);
    return failure;
}

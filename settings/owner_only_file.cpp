#include "settings/owner_only_file.h"

namespace {

struct OwnerOnly {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    alignas(4) BYTE acl[2 * (sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE) + sizeof(ACL)];
};

bool owner_only(OwnerOnly* out)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const BOOL have_user = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    alignas(4) BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD system_size = sizeof system;
    ACL* acl = reinterpret_cast<ACL*>(out->acl);
    if (!have_user || !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_size)
        || !InitializeAcl(acl, sizeof out->acl, ACL_REVISION)
        || !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, reinterpret_cast<TOKEN_USER*>(user)->User.Sid)
        || !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system)
        || !InitializeSecurityDescriptor(&out->descriptor, SECURITY_DESCRIPTOR_REVISION)
        || !SetSecurityDescriptorDacl(&out->descriptor, TRUE, acl, FALSE)
        || !SetSecurityDescriptorControl(&out->descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    out->attributes = {sizeof out->attributes, &out->descriptor, FALSE};
    return true;
}

// Volumes that cannot keep a descriptor say so in these words (a network
// share without ACLs, a file system that does not know them); any other
// refusal (access denied among them) is a failed save, never a reason to
// write the secret with the folder's access.
bool refuses_descriptors(DWORD error)
{
    return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_SECURITY_DESCR || error == ERROR_INVALID_ACL
        || error == ERROR_INVALID_FUNCTION || error == ERROR_PRIVILEGE_NOT_HELD;
}

} // namespace

HANDLE create_owner_only(const char* path, const char* what)
{
    OwnerOnly access;
    const bool protect = owner_only(&access);
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, protect ? &access.attributes : nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE && protect && refuses_descriptors(error)) {
        char line[128];
        wsprintfA(line, "Quillbeam: %s saved with the folder's access: the volume refused its own, code 0x%08lX\n",
                  what, error);
        OutputDebugStringA(line);
        handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    return handle;
}

#include "service/win32/pipe_security.h"

#include <aclapi.h>

#include <array>

#include "service/core/pipe_access.h"
#include "lib/win32/handles.h"

namespace qn38::service::win32 {
namespace {

WELL_KNOWN_SID_TYPE SidType(PipeAccount account) {
    switch (account) {
    case PipeAccount::LocalSystem:
        return WinLocalSystemSid;
    case PipeAccount::Administrators:
        return WinBuiltinAdministratorsSid;
    case PipeAccount::Users:
        return WinBuiltinUsersSid;
    }
    return WinNullSid;
}

}  // namespace

PipeSecurity::~PipeSecurity() {
    if (acl_ != nullptr) LocalFree(acl_);
}

std::unique_ptr<PipeSecurity> PipeSecurity::Build() {
    // The accounts by their well-known identifiers: their names are
    // translated on localised systems, where a lookup by the English name fails.
    struct Sid {
        BYTE bytes[SECURITY_MAX_SID_SIZE];
    };
    std::array<Sid, PIPE_ACCESS_LIST.size()> sids{};
    std::array<EXPLICIT_ACCESSW, PIPE_ACCESS_LIST.size()> entries{};
    for (std::size_t i = 0; i < PIPE_ACCESS_LIST.size(); ++i) {
        DWORD size = sizeof sids[i].bytes;
        if (!CreateWellKnownSid(SidType(PIPE_ACCESS_LIST[i].account), nullptr, sids[i].bytes, &size)) return nullptr;
        entries[i].grfAccessPermissions = PIPE_ACCESS_LIST[i].mask;
        entries[i].grfAccessMode = GRANT_ACCESS;
        entries[i].grfInheritance = NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entries[i].Trustee.ptstrName = reinterpret_cast<LPWSTR>(sids[i].bytes);
    }

    std::unique_ptr<PipeSecurity> security(new PipeSecurity);
    if (SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &security->acl_) !=
            ERROR_SUCCESS ||
        security->acl_ == nullptr) {
        return nullptr;
    }
    BYTE medium[SECURITY_MAX_SID_SIZE];
    DWORD mediumSize = sizeof medium;
    const auto label = reinterpret_cast<PACL>(security->label_);
    if (!CreateWellKnownSid(WinMediumLabelSid, nullptr, medium, &mediumSize) ||
        !InitializeAcl(label, sizeof security->label_, ACL_REVISION) ||
        !AddMandatoryAce(label, ACL_REVISION, 0, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP,
                         medium)) {
        return nullptr;
    }
    if (!InitializeSecurityDescriptor(&security->descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&security->descriptor_, TRUE, security->acl_, FALSE) ||
        !SetSecurityDescriptorSacl(&security->descriptor_, TRUE, label, FALSE)) {
        return nullptr;
    }
    security->attributes_.nLength = sizeof security->attributes_;
    security->attributes_.lpSecurityDescriptor = &security->descriptor_;
    security->attributes_.bInheritHandle = FALSE;
    return security;
}

bool LetInteractiveUsersWaitOnThisProcess() {
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const qn38::win32::LocalMemory ownedDescriptor(descriptor);
    // No list at all grants everybody everything: a list made of the one
    // entry would take from the others what they had.
    if (current == nullptr) return true;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    if (!CreateWellKnownSid(WinInteractiveSid, nullptr, sid, &size)) return false;
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = SYNCHRONIZE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
    PACL updated = nullptr;
    if (SetEntriesInAclW(1, &entry, current, &updated) != ERROR_SUCCESS || updated == nullptr) return false;
    const qn38::win32::LocalMemory ownedList(updated);
    return SetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, updated,
                           nullptr) == ERROR_SUCCESS;
}

}  // namespace qn38::service::win32

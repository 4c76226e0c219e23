// Who may do what with the service's pipe and with its process.
#pragma once

#include <windows.h>

#include <memory>

namespace qn38::service::win32 {

class PipeSecurity {
public:
    PipeSecurity(const PipeSecurity&) = delete;
    PipeSecurity& operator=(const PipeSecurity&) = delete;
    ~PipeSecurity();

    // Null when the access list or the label cannot be built: the pipe is
    // then not created at all, never with a default or empty list in its
    // place.
    //
    // The label is medium integrity, with no read up and no write up: a
    // process below medium (a sandboxed browser's or document viewer's, a
    // program started at low integrity) is refused when it opens the pipe,
    // before it takes an instance, whatever the access list grants its user.
    // Without a label a pipe counts as medium with no write up only, which
    // leaves such a process the read access that is enough to connect.
    static std::unique_ptr<PipeSecurity> Build();

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PipeSecurity() = default;

    PACL acl_ = nullptr;  // LocalFree
    // The mandatory label: room for an ACL header and one label entry.
    alignas(DWORD) BYTE label_[sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) + SECURITY_MAX_SID_SIZE]{};
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// Adds SYNCHRONIZE for the interactive users to the service process's own
// access list, so that each user's tool can hold the process open and know
// the service again by its id without asking the service control manager
// (see the tool's client). A process's default list comes from the token
// that created it, and a LocalSystem service's grants an ordinary user
// nothing; SYNCHRONIZE lets a holder learn only whether the process has
// ended. False when the list could not be changed: the tools then ask the
// service control manager on every connection.
bool LetInteractiveUsersWaitOnThisProcess();

}  // namespace qn38::service::win32

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

    // Null when the access list cannot be built: the pipe is then not
    // created at all, never with a default or empty list in its place.
    static std::unique_ptr<PipeSecurity> Build();

    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PipeSecurity() = default;

    PACL acl_ = nullptr;  // LocalFree
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

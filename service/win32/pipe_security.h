// The security attributes the service's pipe is created with.
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

}  // namespace qn38::service::win32

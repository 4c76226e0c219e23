#include <windows.h>
#include <sddl.h>

#include "tool/win32/tool_backends.h"
#include "lib/win32/handles.h"

namespace qn38::tool::win32 {
namespace {

// In the global namespace, so that the tools of every logon session find
// the same object. Its list gives every right to SYSTEM and waiting and
// releasing (SYNCHRONIZE | MUTEX_MODIFY_STATE) to the interactive users:
// whichever user's tool makes it, the others can use it, and none can
// change its list.
constexpr wchar_t SLOT_LOCK_NAME[] = L"Global\\QN38HotPlugSlots";
constexpr wchar_t SLOT_LOCK_ACCESS_LIST[] = L"D:P(A;;0x1F0001;;;SY)(A;;0x100001;;;IU)";

HANDLE MakeLock() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SLOT_LOCK_ACCESS_LIST, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        return nullptr;
    }
    const qn38::win32::LocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // Opens the mutex another tool made; fails (ERROR_ACCESS_DENIED,
    // ERROR_INVALID_HANDLE) when whoever took the name first made it an
    // object the tools cannot use.
    return CreateMutexExW(&attributes, SLOT_LOCK_NAME, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
}

}  // namespace

Win32SharedSlotLock::~Win32SharedSlotLock() {
    if (lock_ != nullptr) CloseHandle(lock_);
}

LockWait Win32SharedSlotLock::Acquire(std::chrono::milliseconds bound) {
    HANDLE lock = nullptr;
    {
        std::lock_guard guard(mutex_);
        // Made again at the next change while it cannot be: the name's
        // squatter may have gone.
        if (lock_ == nullptr) lock_ = MakeLock();
        lock = lock_;
    }
    if (lock == nullptr) return LockWait::Unavailable;
    switch (WaitForSingleObject(lock, static_cast<DWORD>(bound.count()))) {
    case WAIT_OBJECT_0:
    // A tool that ended while it held the lock left the slot as the
    // hardware shows it, with no shared data to repair.
    case WAIT_ABANDONED:
        return LockWait::Held;
    case WAIT_TIMEOUT:
        return LockWait::Busy;
    default:
        return LockWait::Unavailable;
    }
}

void Win32SharedSlotLock::Release() {
    std::lock_guard guard(mutex_);
    if (lock_ != nullptr) ReleaseMutex(lock_);
}

}  // namespace qn38::tool::win32

#include "tool/win32/tool_backends.h"

namespace qn38::tool::win32 {
namespace {

class Win32Worker final : public WorkerThread {
public:
    explicit Win32Worker(std::function<void()> body) : body_(std::move(body)) {
        thread_ = ::CreateThread(nullptr, 0, &Win32Worker::Run, this, 0, nullptr);
    }
    ~Win32Worker() override {
        if (thread_ == nullptr) return;
        ::WaitForSingleObject(thread_, INFINITE);
        ::CloseHandle(thread_);
    }

    bool started() const { return thread_ != nullptr; }

    bool WaitServingWindow(std::chrono::milliseconds bound) override {
        if (thread_ == nullptr) return true;
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(bound.count());
        // The worker may be inside a SendMessageW to this thread's window:
        // handle sent messages while waiting, or both threads wait for ever.
        while (true) {
            const ULONGLONG now = ::GetTickCount64();
            const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            const DWORD woken = ::MsgWaitForMultipleObjects(1, &thread_, FALSE, left, QS_SENDMESSAGE);
            if (woken == WAIT_TIMEOUT) return false;
            if (woken != WAIT_OBJECT_0 + 1) break;  // the thread ended, or the wait failed
            MSG message;
            ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        ::WaitForSingleObject(thread_, INFINITE);
        ::CloseHandle(thread_);
        thread_ = nullptr;
        return true;
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<Win32Worker*>(self)->body_();
        return 0;
    }

    std::function<void()> body_;
    HANDLE thread_ = nullptr;  // kept open until the wait for the thread's end
};

}  // namespace

std::unique_ptr<WorkerThread> Win32Threads::Begin(std::function<void()> body) {
    auto worker = std::make_unique<Win32Worker>(std::move(body));
    if (!worker->started()) return nullptr;
    return worker;
}

}  // namespace qn38::tool::win32

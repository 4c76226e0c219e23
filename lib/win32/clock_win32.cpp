#include <windows.h>

#include "lib/win32/handles.h"
#include "lib/win32/platform_win32.h"

namespace qn38::win32 {
namespace {

class Win32Clock final : public Clock {
public:
    LocalTime Now() override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    }
    void Pause(std::uint32_t milliseconds) override { Sleep(milliseconds); }
};

}  // namespace

Clock& ClockBackend() {
    static Win32Clock clock;
    return clock;
}

}  // namespace qn38::win32

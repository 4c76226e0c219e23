#include "lib/win32/platform_win32.h"

#include "lib/win32/device_tree_win32.h"

namespace qn38::win32 {

Platform& Win32Platform() {
    // The backends hold no state; one set serves every call and every thread.
    static Win32DeviceTree devices;
    static Platform platform{devices,        DeviceIoBackend(), RegistryBackend(),
                             FilesBackend(), ClockBackend(),    TextBackend()};
    return platform;
}

}  // namespace qn38::win32

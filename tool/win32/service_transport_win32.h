// The tool's way to the service on Windows: the named event, the pipe and Sleep.
#pragma once

#include "tool/core/ports/service_transport.h"

namespace qn38::tool::win32 {

// The shared event's access list: every right for SYSTEM (the service);
// waiting and setting or resetting (SYNCHRONIZE | EVENT_MODIFY_STATE) for the
// interactive users, so each logged-on user's tool, in any session, can use
// the event another user's tool created, and none can take it away.
inline constexpr wchar_t SERVICE_EVENT_ACCESS_LIST[] = L"D:P(A;;0x1F0003;;;SY)(A;;0x100002;;;IU)";

ServiceTransport& ServiceTransportBackend();
RetryPause& RetryPauseBackend();

}  // namespace qn38::tool::win32

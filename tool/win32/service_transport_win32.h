// The tool's way to the service on Windows: the named event, the pipe and Sleep.
#pragma once

#include "core/ports/service_transport.h"

namespace qn38::tool::win32 {

ServiceTransport& ServiceTransportBackend();
RetryPause& RetryPauseBackend();

}  // namespace qn38::tool::win32

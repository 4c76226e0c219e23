// Everything the core reaches of the platform, handed to it in one piece.
#pragma once

#include "lib/core/ports/clock.h"
#include "lib/core/ports/device_io.h"
#include "lib/core/ports/device_tree.h"
#include "lib/core/ports/files.h"
#include "lib/core/ports/registry.h"
#include "lib/core/ports/text.h"

namespace qn38 {

struct Platform {
    DeviceTree& devices;
    DeviceIo& io;
    Registry& registry;
    Files& files;
    Clock& clock;
    Text& text;
};

}  // namespace qn38

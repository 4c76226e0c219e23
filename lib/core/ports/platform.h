// Everything the core reaches of the platform, handed to it in one piece.
#pragma once

#include "clock.h"
#include "device_io.h"
#include "device_tree.h"
#include "files.h"
#include "registry.h"
#include "text.h"

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

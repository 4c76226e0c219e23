// The two property-reading patterns of the Plug and Play interfaces.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "lib/core/ports/property.h"

namespace qn38::win32 {

PropertyValue ReadSetupProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property);
PropertyValue ReadDevNodeProperty(DEVINST node, ULONG property);

}  // namespace qn38::win32

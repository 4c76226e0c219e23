// The diagnostic log: a ring of 200-byte slots beside the calling executable.
#pragma once

#include "ports/platform.h"

namespace qn38 {

int WriteLogFile(Platform& platform, const char16_t* text);
int WriteLog(Platform& platform, const char* title);

}  // namespace qn38

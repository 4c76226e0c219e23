// The bits of a devnode's status as CM_Get_DevNode_Status reports them, and
// the problem codes the product tells apart (cfg.h and cfgmgr32.h).
#pragma once

#include <cstdint>

namespace qn38 {

inline constexpr std::uint32_t DN_DRIVER_LOADED_FLAG = 0x00000002;
inline constexpr std::uint32_t DN_STARTED_FLAG = 0x00000008;
inline constexpr std::uint32_t DN_HAS_PROBLEM_FLAG = 0x00000400;
inline constexpr std::uint32_t DN_DISABLEABLE_FLAG = 0x00002000;
inline constexpr std::uint32_t DN_REMOVABLE_FLAG = 0x00004000;
// Gone from the hardware, lingering until its last handle closes.
inline constexpr std::uint32_t DN_WILL_BE_REMOVED_FLAG = 0x00040000;
inline constexpr std::uint32_t DN_NT_ENUMERATOR_FLAG = 0x00800000;
inline constexpr std::uint32_t DN_NT_DRIVER_FLAG = 0x01000000;

// What a started PCI device shows, and the same device stopped with a problem:
// no driver running, the problem flag up.
inline constexpr std::uint32_t STATUS_RUNNING =
    DN_DRIVER_LOADED_FLAG | DN_STARTED_FLAG | DN_DISABLEABLE_FLAG | DN_NT_ENUMERATOR_FLAG | DN_NT_DRIVER_FLAG;
inline constexpr std::uint32_t STATUS_PROBLEM =
    (STATUS_RUNNING & ~(DN_STARTED_FLAG | DN_DRIVER_LOADED_FLAG)) | DN_HAS_PROBLEM_FLAG;
static_assert(STATUS_RUNNING == 0x0180200A);
// A device whose hardware went while a handle on it was open (a surprise
// removal): its stack is torn down, its devnode stays until the last handle
// closes, not started and its removal pending.
inline constexpr std::uint32_t STATUS_REMOVAL_PENDING = (STATUS_RUNNING & ~DN_STARTED_FLAG) | DN_WILL_BE_REMOVED_FLAG;

// A devnode whose driver Windows has yet to install: never installed, or
// marked to be installed again.
inline constexpr std::uint32_t CM_PROB_NOT_CONFIGURED_CODE = 1;
inline constexpr std::uint32_t CM_PROB_REINSTALL_CODE = 18;
inline constexpr std::uint32_t CM_PROB_DISABLED_CODE = 22;
inline constexpr std::uint32_t CM_PROB_HELD_FOR_EJECT_CODE = 47;

}  // namespace qn38

// The lock that every tool on the PC shares, in every logon session: a tool
// holds it across each change it makes to a slot and the reads it decides
// that change on, so that two users' tools never act on a slot at once.
// Any local user can create or hold an object of that name first: the lock
// is a courtesy between tools, never a condition for acting.
#pragma once

#include <chrono>

namespace qn38::tool {

enum class LockWait {
    Held,        // this thread now holds the lock
    Busy,        // another thread held it for the whole bound
    Unavailable  // no lock can be had (the name is taken by something else): go on without it
};

class SharedSlotLock {
public:
    virtual ~SharedSlotLock() = default;
    // Waits at most `bound` for the lock.
    virtual LockWait Acquire(std::chrono::milliseconds bound) = 0;
    // Releases a lock that Acquire reported held.
    virtual void Release() = 0;
};

}  // namespace qn38::tool

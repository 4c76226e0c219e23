// A second thread beside the window's, and the wait for its end that the
// window's thread performs without ceasing to serve messages sent to it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qn38::tool {

class WorkerThread {
public:
    virtual ~WorkerThread() = default;
    // Blocks the window's thread until the worker has returned, handling the
    // messages other threads send to the window meanwhile (a worker inside a
    // synchronous send would otherwise never return). False when the worker
    // was still running after `bound`.
    virtual bool WaitServingWindow(std::chrono::milliseconds bound) = 0;
};

class Threads {
public:
    virtual ~Threads() = default;
    // Starts `body` on a new thread at normal priority; null if none could be started.
    virtual std::unique_ptr<WorkerThread> Begin(std::function<void()> body) = 0;
    // Starts the work of one flow that changes a slot, which posts its end
    // to the window; Begin's thread unless a host tells the two apart.
    virtual std::unique_ptr<WorkerThread> BeginFlow(std::function<void()> body) { return Begin(std::move(body)); }
};

}  // namespace qn38::tool

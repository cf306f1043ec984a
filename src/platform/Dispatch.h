#pragma once

// The two queues the application works with: the main queue (the GUI thread's event loop; all
// window state and model objects live there) and the global queue (a shared thread pool for
// long work, which sends its visible changes back to the main queue).

#include <functional>

class QThreadPool;

namespace platform {

class MainQueue {
  public:
    /// Runs `block` later on the GUI thread, after the blocks queued before it (FIFO).
    /// Needs a QCoreApplication; without one the block is dropped.
    static void async(std::function<void()> block);
    /// Runs `block` on the GUI thread no sooner than `seconds` from now.
    static void asyncAfter(double seconds, std::function<void()> block);
    /// True on the GUI thread.
    static bool isCurrent();
};

class GlobalQueue {
  public:
    /// Runs `block` on a worker thread of the shared pool.
    static void async(std::function<void()> block);
    /// The pool itself (at least four threads).
    static QThreadPool& pool();
    /// Waits at most `milliseconds` until no block runs or waits in the pool; true when none is
    /// left. The process calls it before it ends, so that no block runs while the statics the
    /// blocks use are destroyed.
    static bool waitForDone(int milliseconds);
};

} // namespace platform

#pragma once

// The two queues the controller works with, as an injectable service: the main queue (the GUI
// thread, FIFO, owns all window state) and the global queue (workers for long work). Tests use
// a scripted implementation with a virtual clock; the application uses QtQueues.

#include <functional>
#include <memory>

namespace app {

class Queues {
  public:
    using Block = std::function<void()>;
    virtual ~Queues() = default;

    /// Runs `block` later on the main queue, after the blocks queued before it.
    virtual void mainAsync(Block block) = 0;
    /// Runs `block` on the main queue no sooner than `seconds` from now.
    virtual void mainAsyncAfter(double seconds, Block block) = 0;
    /// Runs `block` on a worker of the global queue.
    virtual void globalAsync(Block block) = 0;
    /// Runs `block` on a worker of the global queue no sooner than `seconds` from now.
    virtual void globalAsyncAfter(double seconds, Block block) = 0;
};

/// The platform queues: the Qt event loop of the application object and the shared thread pool.
class QtQueues : public Queues {
  public:
    QtQueues();
    void mainAsync(Block block) override;
    void mainAsyncAfter(double seconds, Block block) override;
    void globalAsync(Block block) override;
    void globalAsyncAfter(double seconds, Block block) override;
};

} // namespace app

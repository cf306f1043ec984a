#pragma once

// Background work and its owner. The rule, for every block that a controller or a window queues:
//
//   A block never reaches its owner through a raw pointer (`this`, a reference, a Queues*). It
//   reaches it through the owner's WorkContext, which the queued blocks share with the owner.
//
// - The context keeps the queues alive: a worker that runs may post for as long as it runs.
// - A worker block is handed the context when it starts and posts through it; it reads only what
//   it was given (copies and shared objects), never a member of its owner.
// - A main-queue block runs only while the context is open. Only there, on the main queue, is the
//   owner handed out (OwnedWork::toOwner).
// - The owner closes its context first thing in its destructor, on the main queue. From then on
//   queued main-queue blocks and worker blocks that have not started are dropped, and close()
//   waits, for a bounded time, until the worker blocks that are running have returned. Long
//   workers look at isOpen() between items and return early; a file write that has begun ends
//   whole (it is atomic), one that has not begun is not started. Work that the user expects done
//   even when quitting right after asking for it (saving a document) is queued with
//   WhenClosed::Finish: it runs even after close(), which waits for it like a running worker.
//
// Queued blocks keep only a weak reference until they run, so nothing a queue still holds keeps a
// closed context (or its queues) alive.

#include "app/services/Queues.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace app {

class WorkContext : public std::enable_shared_from_this<WorkContext> {
  public:
    using Block = std::function<void()>;
    using Worker = std::function<void(WorkContext&)>;
    /// What becomes of a worker block that has not started when the context closes.
    enum class WhenClosed { Drop, Finish };

    explicit WorkContext(std::shared_ptr<Queues> queues);
    virtual ~WorkContext() = default;
    WorkContext(const WorkContext&) = delete;
    WorkContext& operator=(const WorkContext&) = delete;

    /// False once the owner has closed the context. Any thread.
    bool isOpen() const;

    /// Runs `block` later on the main queue, unless the context has been closed by then.
    void mainAsync(Block block);
    /// The same, no sooner than `seconds` from now.
    void mainAsyncAfter(double seconds, Block block);
    /// Runs `worker` with this context on a worker of the global queue, unless the context has
    /// been closed by the time it starts (with Finish: even then). close() waits for it while it
    /// runs (with Finish: from the moment it is queued).
    void globalAsync(Worker worker, WhenClosed whenClosed = WhenClosed::Drop);
    /// Runs `worker` like globalAsync(), no sooner than `seconds` from now; dropped when closed.
    void globalAsyncAfter(double seconds, Worker worker);

    /// Closes the context (main queue, once the owner stops) and waits at most `bound` for the
    /// worker blocks that are running. True when none is left running.
    bool close(std::chrono::milliseconds bound);
    /// Worker blocks of this context that are running now.
    int runningWorkers() const;

  protected:
    /// Called by close() on the main queue, before it waits.
    virtual void closed() {}

  private:
    struct Leave {
        WorkContext& context;
        ~Leave() { context.leave(); }
    };
    bool enter(bool evenWhenClosed);
    void leave();
    std::function<void()> wrapWorker(Worker worker);
    std::function<void()> wrapFinishingWorker(Worker worker);

    std::shared_ptr<Queues> queues_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool open_ = true;
    int running_ = 0;
};

/// A context whose main-queue blocks are handed its owner (an object that lives on the main queue
/// and closes the context in its destructor).
template <class Owner> class OwnedWork : public WorkContext {
  public:
    using OwnedWorker = std::function<void(OwnedWork&)>;

    OwnedWork(std::shared_ptr<Queues> queues, Owner* owner) : WorkContext(std::move(queues)), owner_(owner) {}

    /// globalAsync() for a worker that posts to the owner.
    void startWorker(OwnedWorker worker, WhenClosed whenClosed = WhenClosed::Drop) {
        globalAsync(
            [worker = std::move(worker)](WorkContext& work) { worker(static_cast<OwnedWork&>(work)); },
            whenClosed);
    }
    /// globalAsyncAfter() for a worker that posts to the owner.
    void startWorkerAfter(double seconds, OwnedWorker worker) {
        globalAsyncAfter(seconds, [worker = std::move(worker)](WorkContext& work) {
            worker(static_cast<OwnedWork&>(work));
        });
    }

    /// Runs `operation` with the owner later on the main queue, unless the owner has gone by then.
    void toOwner(std::function<void(Owner&)> operation) {
        mainAsync([weak = weak_from_this(), operation = std::move(operation)] {
            if (auto self = std::static_pointer_cast<OwnedWork>(weak.lock()))
                if (Owner* owner = self->ownerHere())
                    operation(*owner);
        });
    }
    /// The owner while the context is open, else nullptr. Main queue only.
    Owner* ownerHere() const { return isOpen() ? owner_ : nullptr; }

  protected:
    void closed() override { owner_ = nullptr; }

  private:
    Owner* owner_; // main queue only
};

} // namespace app

#include "app/services/WorkContext.h"

#include "ci/core/Console.h"
#include "ci/core/Memory.h"

namespace app {

namespace {

// The last line of defence: a worker's failure (running out of memory, for one) is said on the
// console and ends that block only, never the application. Workers handle their own failures
// first, per image.
void runGuarded(const WorkContext::Worker& worker, WorkContext& context) {
    try {
        worker(context);
    } catch (const std::exception& e) {
        ci::console("Background work failed: " + ci::describeFailure(e));
    } catch (...) {
        ci::console("Background work failed");
    }
}

} // namespace

WorkContext::WorkContext(std::shared_ptr<Queues> queues) : queues_(std::move(queues)) {}

bool WorkContext::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void WorkContext::mainAsync(Block block) {
    if (!block || !isOpen())
        return;
    queues_->mainAsync([weak = weak_from_this(), block = std::move(block)] {
        const auto self = weak.lock();
        if (self && self->isOpen())
            block();
    });
}

void WorkContext::mainAsyncAfter(double seconds, Block block) {
    if (!block || !isOpen())
        return;
    queues_->mainAsyncAfter(seconds, [weak = weak_from_this(), block = std::move(block)] {
        const auto self = weak.lock();
        if (self && self->isOpen())
            block();
    });
}

std::function<void()> WorkContext::wrapWorker(Worker worker) {
    return [weak = weak_from_this(), worker = std::move(worker)] {
        // The running block holds the context, and with it the queues it posts to.
        const auto self = weak.lock();
        if (!self || !self->enter(false))
            return;
        const Leave leave{*self};
        runGuarded(worker, *self);
    };
}

std::function<void()> WorkContext::wrapFinishingWorker(Worker worker) {
    // Counted from now and held strongly: close() waits for it even before it has started.
    enter(true);
    return [self = shared_from_this(), worker = std::move(worker)] {
        const Leave leave{*self};
        runGuarded(worker, *self);
    };
}

void WorkContext::globalAsync(Worker worker, WhenClosed whenClosed) {
    if (!worker || !isOpen())
        return;
    queues_->globalAsync(whenClosed == WhenClosed::Finish ? wrapFinishingWorker(std::move(worker))
                                                          : wrapWorker(std::move(worker)));
}

void WorkContext::globalAsyncAfter(double seconds, Worker worker) {
    if (!worker || !isOpen())
        return;
    queues_->globalAsyncAfter(seconds, wrapWorker(std::move(worker)));
}

bool WorkContext::enter(bool evenWhenClosed) {
    std::lock_guard lock(mutex_);
    if (!open_ && !evenWhenClosed)
        return false;
    ++running_;
    return true;
}

void WorkContext::leave() {
    std::lock_guard lock(mutex_);
    if (--running_ == 0)
        idle_.notify_all();
}

bool WorkContext::close(std::chrono::milliseconds bound) {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    closed();
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, bound, [this] { return running_ == 0; });
}

int WorkContext::runningWorkers() const {
    std::lock_guard lock(mutex_);
    return running_;
}

} // namespace app

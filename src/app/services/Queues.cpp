#include "app/services/Queues.h"

#include "platform/Dispatch.h"

namespace app {

// The platform's queues, so that the controller's blocks and those the model queues itself (the
// catalogue's overlay ticks) share one FIFO main queue and one worker pool.

QtQueues::QtQueues() = default;

void QtQueues::mainAsync(Block block) {
    platform::MainQueue::async(std::move(block));
}

void QtQueues::mainAsyncAfter(double seconds, Block block) {
    platform::MainQueue::asyncAfter(seconds, std::move(block));
}

void QtQueues::globalAsync(Block block) {
    platform::GlobalQueue::async(std::move(block));
}

void QtQueues::globalAsyncAfter(double seconds, Block block) {
    // The delay is kept by a timer on the GUI thread; only the work goes to the pool.
    platform::MainQueue::asyncAfter(
        seconds, [block = std::move(block)]() mutable { platform::GlobalQueue::async(std::move(block)); });
}

} // namespace app

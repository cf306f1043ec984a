#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <memory>

#if defined(__SANITIZE_THREAD__)
#define GW_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define GW_THREAD_SANITIZER 1
#endif
#endif

#ifdef GW_THREAD_SANITIZER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace platform {

namespace {

/// Qt hands a block to the GUI thread or to the pool under locks of its own, which
/// ThreadSanitizer cannot see (Qt is not built with it). The handoff is told to it here, so that
/// what the poster wrote before is ordered before the block, and every race inside the blocks
/// themselves is still reported. Elsewhere the block passes unchanged.
std::function<void()> handedOver(std::function<void()> block) {
#ifdef GW_THREAD_SANITIZER
    auto shared = std::make_shared<std::function<void()>>(std::move(block));
    __tsan_release(shared.get());
    return [shared] {
        __tsan_acquire(shared.get());
        (*shared)();
    };
#else
    return block;
#endif
}

/// What a pool block wrote is ordered before the return of a wait for the pool (see handedOver).
std::function<void()> poolBlock(std::function<void()> block) {
#ifdef GW_THREAD_SANITIZER
    return [block = handedOver(std::move(block))] {
        block();
        __tsan_release(&GlobalQueue::pool());
    };
#else
    return block;
#endif
}

} // namespace

void MainQueue::async(std::function<void()> block) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !block)
        return;
    // Queued invocations on one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(app, handedOver(std::move(block)), Qt::QueuedConnection);
}

void MainQueue::asyncAfter(double seconds, std::function<void()> block) {
    if (!block)
        return;
    const int ms = std::isfinite(seconds) ? int(std::clamp(seconds * 1000.0, 0.0, 2.0e9)) : 0;
    // The timer is started from the GUI thread so that it belongs to its event loop, whatever
    // thread asks.
    async([ms, block = std::move(block)]() mutable {
        QTimer::singleShot(ms, QCoreApplication::instance(), std::move(block));
    });
}

bool MainQueue::isCurrent() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

QThreadPool& GlobalQueue::pool() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool; // never destroyed: a block that outlives the wait at exit may still use it
        p->setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
        return p;
    }();
    return *pool;
}

bool GlobalQueue::waitForDone(int milliseconds) {
    const bool done = pool().waitForDone(milliseconds);
#ifdef GW_THREAD_SANITIZER
    if (done)
        __tsan_acquire(&pool());
#endif
    return done;
}

void GlobalQueue::async(std::function<void()> block) {
    if (block)
        pool().start(poolBlock(std::move(block)));
}

} // namespace platform

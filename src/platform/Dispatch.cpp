#include "Dispatch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>

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

// ThreadSanitizer cannot see how Qt (not built with it) hands an object from one thread to
// another. Both queues therefore carry their blocks in objects of their own, made before the
// handoff and released to the sanitizer there, and acquired as they run: what the poster wrote
// before is ordered before the block, and every race inside the blocks is still reported.
#ifdef GW_THREAD_SANITIZER
void handedOver(void* carrier) {
    __tsan_release(carrier);
}
void takenOver(void* carrier) {
    __tsan_acquire(carrier);
}
#else
void handedOver(void*) {}
void takenOver(void*) {}
#endif

/// A block for the GUI thread.
class BlockEvent final : public QEvent {
  public:
    explicit BlockEvent(std::function<void()> block) : QEvent(kind()), block_(std::move(block)) {}
    static QEvent::Type kind() {
        static const auto type = QEvent::Type(QEvent::registerEventType());
        return type;
    }
    void run() { block_(); }

  private:
    std::function<void()> block_;
};

std::atomic<QObject*> blockReceiver{nullptr};

/// Runs the blocks on the GUI thread, in the order they were posted. One is made with every
/// application object, as its child.
class BlockReceiver final : public QObject {
  public:
    explicit BlockReceiver(QObject* parent) : QObject(parent) { blockReceiver = this; }
    ~BlockReceiver() override { blockReceiver = nullptr; }
    bool event(QEvent* event) override {
        takenOver(event); // before even its type is read
        if (event->type() != BlockEvent::kind())
            return QObject::event(event);
        static_cast<BlockEvent*>(event)->run();
        return true;
    }
};

void makeBlockReceiver() {
    new BlockReceiver(QCoreApplication::instance());
}
Q_COREAPP_STARTUP_FUNCTION(makeBlockReceiver)

/// A block for a worker of the pool.
class BlockRunnable final : public QRunnable {
  public:
    explicit BlockRunnable(std::function<void()> block) : block_(std::move(block)) {}
    void run() override {
        takenOver(this);
        block_();
        // What the block wrote is ordered before the return of a wait for the pool.
        handedOver(&GlobalQueue::pool());
    }

  private:
    std::function<void()> block_;
};

} // namespace

void MainQueue::async(std::function<void()> block) {
    QObject* receiver = blockReceiver.load();
    if (!QCoreApplication::instance() || !receiver || !block)
        return;
    auto* event = new BlockEvent(std::move(block));
    handedOver(event);
    // Events posted to one receiver are delivered in the order they were posted.
    QCoreApplication::postEvent(receiver, event);
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
    if (done)
        takenOver(&pool());
    return done;
}

void GlobalQueue::async(std::function<void()> block) {
    if (!block)
        return;
    auto* runnable = new BlockRunnable(std::move(block));
    handedOver(runnable);
    pool().start(runnable);
}

} // namespace platform

#include "Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace platform {

void MainQueue::async(std::function<void()> block) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !block)
        return;
    // Queued invocations on one receiver are delivered in the order they were posted.
    QMetaObject::invokeMethod(app, std::move(block), Qt::QueuedConnection);
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
    return pool().waitForDone(milliseconds);
}

void GlobalQueue::async(std::function<void()> block) {
    if (block)
        pool().start(std::move(block));
}

} // namespace platform

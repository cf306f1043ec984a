#include "app/services/Queues.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>

namespace app {

namespace {

QThreadPool& workerPool() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool();
        p->setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
        return p;
    }();
    return *pool;
}

int milliseconds(double seconds) {
    return std::max(0, int(seconds * 1000.0 + 0.5));
}

} // namespace

QtQueues::QtQueues() = default;

void QtQueues::mainAsync(Block block) {
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, std::move(block), Qt::QueuedConnection);
}

void QtQueues::mainAsyncAfter(double seconds, Block block) {
    // The timer must live on the GUI thread, whichever thread asks.
    const int ms = milliseconds(seconds);
    mainAsync([ms, block = std::move(block)]() mutable {
        QTimer::singleShot(ms, QCoreApplication::instance(), std::move(block));
    });
}

void QtQueues::globalAsync(Block block) {
    workerPool().start(std::move(block));
}

void QtQueues::globalAsyncAfter(double seconds, Block block) {
    mainAsyncAfter(seconds, [this, block = std::move(block)]() mutable { globalAsync(std::move(block)); });
}

} // namespace app

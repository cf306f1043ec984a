#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>

#include <atomic>

using namespace platform;

namespace {

// Runs the GUI thread's event loop until `done` or a generous time limit.
template <class F> bool spinUntil(F done, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

} // namespace

TEST(Dispatch, MainQueueRunsBlocksInOrderOnTheGuiThread) {
    EXPECT_TRUE(MainQueue::isCurrent());
    std::vector<int> order;
    for (int i = 0; i < 5; ++i)
        MainQueue::async([&order, i] {
            EXPECT_TRUE(MainQueue::isCurrent());
            order.push_back(i);
        });
    EXPECT_TRUE(order.empty()); // later, never inline
    ASSERT_TRUE(spinUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Dispatch, GlobalQueueWorksOffTheGuiThreadAndReportsBack) {
    EXPECT_GE(GlobalQueue::pool().maxThreadCount(), 4);
    std::atomic<bool> offMain{false};
    bool reported = false;
    GlobalQueue::async([&] {
        offMain = !MainQueue::isCurrent();
        MainQueue::async([&] { reported = MainQueue::isCurrent(); });
    });
    ASSERT_TRUE(spinUntil([&] { return reported; }));
    EXPECT_TRUE(offMain);
}

TEST(Dispatch, DelayedBlocksWaitTheirTime) {
    QElapsedTimer t;
    t.start();
    qint64 ranAfter = -1;
    bool fromWorker = false;
    MainQueue::asyncAfter(0.1, [&] { ranAfter = t.elapsed(); });
    GlobalQueue::async([&] { MainQueue::asyncAfter(0.05, [&] { fromWorker = MainQueue::isCurrent(); }); });
    ASSERT_TRUE(spinUntil([&] { return ranAfter >= 0 && fromWorker; }));
    EXPECT_GE(ranAfter, 95);
}

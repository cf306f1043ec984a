// The work context that background blocks hold instead of their owner.

#include "AppTestSupport.h"

#include "app/services/WorkContext.h"
#include "platform/Dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using apptest::FakeQueues;
using namespace std::chrono_literals;

namespace {

struct Owner {
    int calls = 0;
};

} // namespace

TEST(WorkContext, ClosedContextDropsQueuedBlocksAndForgetsItsOwner) {
    auto queues = std::make_shared<FakeQueues>();
    Owner owner;
    auto work = std::make_shared<app::OwnedWork<Owner>>(queues, &owner);

    int mainRuns = 0, workerRuns = 0;
    work->mainAsync([&] { ++mainRuns; });
    work->mainAsyncAfter(1.0, [&] { ++mainRuns; });
    work->globalAsync([&](app::WorkContext&) { ++workerRuns; });
    work->globalAsyncAfter(1.0, [&](app::WorkContext&) { ++workerRuns; });
    work->toOwner([](Owner& o) { ++o.calls; });
    queues->drain();
    EXPECT_EQ(mainRuns, 1);
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(owner.calls, 1);

    // Queued before the close, run after it: nothing reaches the owner.
    work->toOwner([](Owner& o) { ++o.calls; });
    work->startWorker([](app::OwnedWork<Owner>& w) { w.toOwner([](Owner& o) { ++o.calls; }); });
    EXPECT_TRUE(work->close(0ms));
    EXPECT_FALSE(work->isOpen());
    EXPECT_EQ(work->ownerHere(), nullptr);
    work->mainAsync([&] { ++mainRuns; }); // after the close: not even queued
    queues->advance(2.0);
    EXPECT_EQ(mainRuns, 1);
    EXPECT_EQ(workerRuns, 1);
    EXPECT_EQ(owner.calls, 1);

    // A block that a queue still holds does not keep the context alive.
    std::weak_ptr<app::WorkContext> weak = work;
    auto again = std::make_shared<app::WorkContext>(queues);
    std::weak_ptr<app::WorkContext> weakAgain = again;
    again->mainAsync([] {});
    again->globalAsyncAfter(5.0, [](app::WorkContext&) {});
    work.reset();
    again.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(weakAgain.expired());
    queues->advance(10.0);
}

TEST(WorkContext, CloseWaitsForRunningWorkersAndFinishesWhatMustBeFinished) {
    auto work = std::make_shared<app::WorkContext>(std::make_shared<app::QtQueues>());
    std::atomic<bool> started{false}, sawClosed{false}, finished{false};
    work->globalAsync([&](app::WorkContext& w) {
        started = true;
        while (w.isOpen())
            std::this_thread::sleep_for(1ms);
        sawClosed = true;
        std::this_thread::sleep_for(50ms); // the last item of a worker that stops between items
        finished = true;
    });
    while (!started)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(work->runningWorkers(), 1);
    EXPECT_TRUE(work->close(10s));
    EXPECT_TRUE(sawClosed);
    EXPECT_TRUE(finished);
    EXPECT_EQ(work->runningWorkers(), 0);

    // The bound holds against a worker that does not look.
    auto stubborn = std::make_shared<app::WorkContext>(std::make_shared<app::QtQueues>());
    std::atomic<bool> release{false}, running{false};
    stubborn->globalAsync([&](app::WorkContext&) {
        running = true;
        while (!release)
            std::this_thread::sleep_for(1ms);
    });
    while (!running)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(stubborn->close(100ms));
    stubborn.reset(); // the running worker keeps its context
    release = true;

    // A save queued just before the close runs all the same, and the close waits for it.
    auto saving = std::make_shared<app::WorkContext>(std::make_shared<app::QtQueues>());
    std::atomic<int> saved{0};
    for (int i = 0; i < 4; ++i)
        saving->globalAsync(
            [&](app::WorkContext&) {
                std::this_thread::sleep_for(20ms);
                ++saved;
            },
            app::WorkContext::WhenClosed::Finish);
    EXPECT_TRUE(saving->close(10s));
    EXPECT_EQ(saved, 4);
    EXPECT_TRUE(platform::GlobalQueue::waitForDone(10000));
}

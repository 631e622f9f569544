// ThreadPoolTask: work runs on a pool thread, and wait() returns only after the
// work and everything it captured are gone.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "update/thread_pool_task.h"

namespace {

// A manual-reset event the work can wait on.
struct Gate {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Gate() { CloseHandle(event); }
    void open() { SetEvent(event); }
    void pass() { WaitForSingleObject(event, 60000); }
};

TEST(ThreadPoolTask, RunsOnAnotherThreadAndCanBeWaitedFor) {
    ThreadPoolTask task;
    EXPECT_TRUE(task.wait(0));  // nothing started
    DWORD worker = 0;
    ASSERT_TRUE(task.start([&] { worker = GetCurrentThreadId(); }));
    EXPECT_TRUE(task.wait(60000));
    EXPECT_NE(0u, worker);
    EXPECT_NE(GetCurrentThreadId(), worker);
    EXPECT_FALSE(task.running());
}

TEST(ThreadPoolTask, WaitTimesOutWhileWorkRuns) {
    Gate gate;
    ThreadPoolTask task;
    ASSERT_TRUE(task.start([&] { gate.pass(); }));
    EXPECT_FALSE(task.wait(50));
    EXPECT_TRUE(task.running());
    gate.open();
    EXPECT_TRUE(task.wait(60000));
}

TEST(ThreadPoolTask, CapturesAreReleasedBeforeTheEndIsReported) {
    auto owned = std::make_shared<int>(7);
    std::weak_ptr<int> watch = owned;
    std::atomic<int> seen{0};
    ThreadPoolTask task;
    ASSERT_TRUE(task.start([owned, &seen] { seen = *owned; }));
    owned.reset();  // the task's copy is now the only owner
    ASSERT_TRUE(task.wait(60000));
    EXPECT_EQ(7, seen.load());
    EXPECT_TRUE(watch.expired());
}

TEST(ThreadPoolTask, ThrowingWorkStillEnds) {
    ThreadPoolTask task;
    ASSERT_TRUE(task.start([] { throw std::runtime_error("boom"); }));
    EXPECT_TRUE(task.wait(60000));
}

TEST(ThreadPoolTask, RefusesEmptyWorkAndASecondStart) {
    ThreadPoolTask task;
    EXPECT_FALSE(task.start(std::function<void()>()));
    ASSERT_TRUE(task.start([] {}));
    EXPECT_FALSE(task.start([] {}));
    EXPECT_TRUE(task.wait(60000));
}

TEST(ThreadPoolTask, WorkOutlivesTheTaskObject) {
    Gate gate;
    Gate finished;
    std::atomic<bool> ran{false};
    {
        ThreadPoolTask task;
        ASSERT_TRUE(task.start([&] {
            gate.pass();
            ran = true;
            finished.open();
        }));
    }  // destroyed while the work waits
    gate.open();
    finished.pass();
    EXPECT_TRUE(ran.load());
}

}  // namespace

// Events, semaphores and waits on several objects.

#include "sync/KxSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace kxsync;

TEST(KxSync, ManualResetEventStaysSignalledUntilReset)
{
    Event e(true);
    EXPECT_FALSE(e.wait(0));
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(0)) << "a manual-reset event is not consumed by a wait";
    e.reset();
    EXPECT_FALSE(e.wait(0));
}

TEST(KxSync, AutoResetEventReleasesExactlyOneWaiter)
{
    Event e(false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (e.wait(500))
                ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    e.set();
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(e.isSet());
}

TEST(KxSync, SemaphoreReleaseBeyondMaximumFailsAndChangesNothing)
{
    Semaphore s(1, 3);
    int previous = -1;
    EXPECT_TRUE(s.release(2, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(s.count(), 3);
    EXPECT_FALSE(s.release(1, &previous));
    EXPECT_EQ(previous, 3);
    EXPECT_EQ(s.count(), 3);
    EXPECT_FALSE(s.release(0));
    EXPECT_FALSE(s.release(-2));
    EXPECT_EQ(s.count(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(s.wait(0));
    EXPECT_FALSE(s.wait(0));
}

TEST(KxSync, WaitAnyPrefersTheFirstSignalledObjectAndAcquiresOnlyIt)
{
    Event stop(true);
    Semaphore sem(0, 4);
    sem.release(2);
    EXPECT_EQ(waitAny({&stop, &sem}, 0), 1);
    EXPECT_EQ(sem.count(), 1);
    stop.set();
    EXPECT_EQ(waitAny({&stop, &sem}, 0), 0) << "the stop event comes first in the list";
    EXPECT_EQ(sem.count(), 1) << "only the winning object is acquired";
}

TEST(KxSync, WaitAnyRejectsBadArgumentsAndTimesOut)
{
    Event e(true);
    EXPECT_EQ(waitAny({&e}, -5), WaitFailed);
    EXPECT_EQ(waitAny(nullptr, 1, 0), WaitFailed);
    EXPECT_EQ(waitAny({&e, nullptr}, 0), WaitFailed);
    EXPECT_EQ(waitAny({}, 0), WaitFailed);
    EXPECT_FALSE(e.wait(-7));
    EXPECT_EQ(waitAny({&e}, 30), WaitTimeout);
}

TEST(KxSync, WaitAnyWakesOnASignalFromAnotherThread)
{
    Event stop(true);
    Semaphore sem(0, 1);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop.set();
    });
    EXPECT_EQ(waitAny({&sem, &stop}, 5000), 1);
    signaller.join();
}

// Many threads wait on a semaphore and a shared stop event at once; every
// released unit is taken exactly once and the stop event ends every waiter.
TEST(KxSync, ManyWaitersShareUnitsAndStop)
{
    Event stop(true);
    Semaphore sem(0, 1000);
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 6; ++i)
        waiters.emplace_back([&] {
            for (;;) {
                const int r = waitAny({&stop, &sem}, Infinite);
                if (r != 1)
                    break;
                ++taken;
            }
        });
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(sem.release(1));
    for (int spin = 0; spin < 500 && taken.load() < 500; ++spin)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop.set();
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(taken.load(), 500);
    EXPECT_EQ(sem.count(), 0);
}

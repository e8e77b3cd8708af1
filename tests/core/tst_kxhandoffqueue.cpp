// The hand-off queue: registration, time-outs, the stop event and a
// producer/consumer stress that checks every item is seen exactly once.

#include "KxHandoffQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {
struct Item {
    int id = 0;
    int sequence = -1;
};
} // namespace

TEST(KxHandoffQueue, InitOnlyOnce)
{
    KxHandoffQueue<Item> q;
    EXPECT_FALSE(q.putFree(nullptr));
    Item a;
    EXPECT_FALSE(q.putFree(&a)) << "puts before init are refused";
    EXPECT_EQ(q.takeFree(0), nullptr);
    EXPECT_FALSE(q.init(0));
    EXPECT_TRUE(q.init(2));
    EXPECT_FALSE(q.init(3));
    EXPECT_EQ(q.capacity(), 2);
}

TEST(KxHandoffQueue, RegistersAtMostCapacityItems)
{
    KxHandoffQueue<Item> q;
    ASSERT_TRUE(q.init(4));
    Item items[5];
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(q.putFree(&items[i]));
    // Lend one out, then bring in a fifth item: it is queued, not registered.
    Item *lent = q.takeFree(0);
    ASSERT_EQ(lent, &items[0]);
    EXPECT_TRUE(q.putFree(&items[4]));
    EXPECT_EQ(q.registeredItems().size(), 4u);
    EXPECT_EQ(q.freeCount(), 4);
    EXPECT_EQ(q.freeSemaphoreCount(), 4);
    // The list is full now: a further put is refused and changes nothing.
    EXPECT_FALSE(q.putFree(lent));
    EXPECT_EQ(q.freeCount(), 4);
    EXPECT_EQ(q.freeSemaphoreCount(), 4);
}

TEST(KxHandoffQueue, TakeTimeOutsAndOrder)
{
    KxHandoffQueue<Item> q;
    ASSERT_TRUE(q.init(3));
    EXPECT_EQ(q.takeFree(0), nullptr);
    EXPECT_EQ(q.takeFilled(20), nullptr);
    EXPECT_EQ(q.takeFilled(-2), nullptr) << "time-outs below -1 are refused";
    Item a, b;
    q.putFilled(&a);
    q.putFilled(&b);
    EXPECT_EQ(q.takeFilled(0), &a);
    EXPECT_EQ(q.takeFilled(0), &b);

    // -1 waits until an item arrives.
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        q.putFree(&a);
    });
    EXPECT_EQ(q.takeFree(-1), &a);
    producer.join();
}

TEST(KxHandoffQueue, StopEventWinsOverQueuedItemsUntilReset)
{
    kxsync::Event stop(true);
    KxHandoffQueue<Item> q;
    ASSERT_TRUE(q.init(2, &stop));
    Item a, b;
    q.putFilled(&a);
    q.putFilled(&b);
    stop.set();
    EXPECT_EQ(q.takeFilled(-1), nullptr);
    EXPECT_EQ(q.filledCount(), 2) << "the lists are untouched";
    stop.reset();
    EXPECT_EQ(q.takeFilled(0), &a);
}

TEST(KxHandoffQueue, StopReleasesEveryWaiterAtOnce)
{
    kxsync::Event stop(true);
    KxHandoffQueue<Item> q1, q2;
    ASSERT_TRUE(q1.init(2, &stop));
    ASSERT_TRUE(q2.init(2, &stop));
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&, i] {
            auto &q = (i % 2) ? q1 : q2;
            Item *item = (i < 2) ? q.takeFree(-1) : q.takeFilled(-1);
            if (!item)
                ++returned;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stop.set();
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(returned.load(), 4);
}

TEST(KxHandoffQueue, DrainFilledEmptiesTheFilledList)
{
    KxHandoffQueue<Item> q;
    ASSERT_TRUE(q.init(3));
    Item a, b;
    q.putFilled(&a);
    q.putFilled(&b);
    auto drained = q.drainFilled();
    ASSERT_EQ(drained.size(), 2u);
    EXPECT_EQ(drained[0], &a);
    EXPECT_EQ(drained[1], &b);
    EXPECT_EQ(q.filledCount(), 0);
    EXPECT_EQ(q.filledSemaphoreCount(), 0);
}

// Producers take free items, stamp them with a sequence number and put them
// filled; consumers take them, record the sequence and give them back. With
// random pauses on both sides every sequence number must be seen exactly
// once, and at the end the semaphores equal the list lengths.
TEST(KxHandoffQueue, ProducerConsumerStress)
{
    constexpr int kItems = 6;
    constexpr int kProducers = 3;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 3000;

    KxHandoffQueue<Item> q;
    ASSERT_TRUE(q.init(kItems));
    std::vector<Item> items(kItems);
    for (int i = 0; i < kItems; ++i) {
        items[size_t(i)].id = i;
        q.putFree(&items[size_t(i)]);
    }

    std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
    for (auto &s : seen)
        s = 0;
    std::atomic<int> consumed{0};

    auto jitter = [](std::mt19937 &rng) {
        if (rng() % 8 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
    };

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            std::mt19937 rng{unsigned(p)};
            for (int n = 0; n < kPerProducer; ++n) {
                Item *item = q.takeFree(5000);
                ASSERT_NE(item, nullptr);
                item->sequence = p * kPerProducer + n;
                jitter(rng);
                ASSERT_TRUE(q.putFilled(item));
            }
        });
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            std::mt19937 rng{unsigned(100 + c)};
            while (consumed.load() < kProducers * kPerProducer) {
                Item *item = q.takeFilled(20);
                if (!item)
                    continue;
                ++seen[size_t(item->sequence)];
                ++consumed;
                jitter(rng);
                ASSERT_TRUE(q.putFree(item));
            }
        });
    for (auto &t : threads)
        t.join();

    for (size_t i = 0; i < seen.size(); ++i)
        ASSERT_EQ(seen[i].load(), 1) << "sequence " << i;
    EXPECT_EQ(q.freeCount(), kItems);
    EXPECT_EQ(q.filledCount(), 0);
    EXPECT_EQ(q.freeSemaphoreCount(), q.freeCount());
    EXPECT_EQ(q.filledSemaphoreCount(), q.filledCount());
    std::set<Item *> registered;
    for (Item *item : q.registeredItems())
        registered.insert(item);
    EXPECT_EQ(registered.size(), size_t(kItems));
}

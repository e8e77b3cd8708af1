#pragma once
// Bounded queue through which a fixed set of preallocated items circulates
// between threads. Each queue has a free list (items waiting to be filled)
// and a filled list (items waiting to be consumed), each counted by a
// semaphore whose count always equals the list's length.
//
// Circulation: the owner creates N items and putFree()s each once (which
// registers it); a producer takeFree()s, fills and putFilled()s; a consumer
// takeFilled()s, uses and putFree()s again. Setting the stop event makes
// every waiter return null at once, even while items are queued; resetting
// it lets the queue run again. Several queues may share one stop event.
//
// Threads: any number of threads may put and take concurrently. List
// changes happen under the queue's lock; waiting happens outside it.
// Ownership: the queue never owns items; the caller that takes an item
// holds it until it puts it again. A put that is refused leaves the item
// with the caller.

#include "KxEasyLock.h"
#include "sync/KxSync.h"

#include <QDebug>

#include <memory>
#include <vector>

template <typename T>
class KxHandoffQueue {
public:
    KxHandoffQueue() = default;
    KxHandoffQueue(const KxHandoffQueue &) = delete;
    KxHandoffQueue &operator=(const KxHandoffQueue &) = delete;

    /// Sets the capacity and creates the semaphores; stopEvent is a
    /// manual-reset event shared with other queues (not owned), or null to
    /// let the queue create its own. Only the first call does anything and
    /// returns true; later calls, or a capacity below 1, return false.
    bool init(int capacity, kxsync::Event *stopEvent = nullptr)
    {
        CEasyLock guard(m_lock);
        if (m_bInited)
            return false;
        if (capacity < 1) {
            qWarning() << "KxHandoffQueue::init" << "invalid capacity" << capacity;
            return false;
        }
        m_iCapacity = capacity;
        m_pFreeSem.reset(new kxsync::Semaphore(0, capacity));
        m_pFilledSem.reset(new kxsync::Semaphore(0, capacity));
        if (stopEvent) {
            m_pStopEvent = stopEvent;
        } else {
            m_ownStopEvent.reset(new kxsync::Event(true, false));
            m_pStopEvent = m_ownStopEvent.get();
        }
        m_free.init(capacity);
        m_filled.init(capacity);
        m_registered.reserve(size_t(capacity));
        m_bInited = true;
        return true;
    }

    /// Appends an item to the free list and registers it while fewer than
    /// the capacity are registered. Refused (false) before init, for null,
    /// and when the free list is already full.
    bool putFree(T *item) { return put(item, true); }
    /// Appends an item to the filled list. Refused as putFree.
    bool putFilled(T *item) { return put(item, false); }

    /// Takes the oldest free item, waiting at most timeoutMs (-1: until an
    /// item arrives or the stop event is set). Null on stop, time-out, or a
    /// time-out below -1.
    T *takeFree(int timeoutMs) { return take(true, timeoutMs); }
    /// Takes the oldest filled item; as takeFree.
    T *takeFilled(int timeoutMs) { return take(false, timeoutMs); }

    /// Removes every item from the filled list and returns them, oldest
    /// first (used to keep queued items out of the next run).
    std::vector<T *> drainFilled()
    {
        std::vector<T *> out;
        CEasyLock guard(m_lock);
        if (!m_bInited)
            return out;
        // Each unit of the semaphore stands for one item; a taker that holds
        // a unit but has not yet reached the list keeps the newest item.
        while (m_pFilledSem->wait(0))
            out.push_back(m_filled.pop());
        return out;
    }

    /// The registered items (at most the capacity), wherever they are now.
    std::vector<T *> registeredItems() const
    {
        CEasyLock guard(m_lock);
        return m_registered;
    }

    /// Calls f(item) for every item now on the free list, under the queue's
    /// lock; returns how many. Those items belong to no thread, so f may
    /// change what they hold (their memory between two runs, say) but must
    /// not call into this queue.
    template <typename F>
    int forEachFree(F f)
    {
        CEasyLock guard(m_lock);
        for (int i = 0; i < m_free.size(); ++i)
            f(m_free.at(i));
        return m_free.size();
    }

    int freeCount() const { CEasyLock guard(m_lock); return m_free.size(); }
    int filledCount() const { CEasyLock guard(m_lock); return m_filled.size(); }
    int freeSemaphoreCount() const { return m_pFreeSem ? m_pFreeSem->count() : 0; }
    int filledSemaphoreCount() const { return m_pFilledSem ? m_pFilledSem->count() : 0; }
    int capacity() const { return m_iCapacity; }
    bool isInited() const { CEasyLock guard(m_lock); return m_bInited; }
    kxsync::Event *stopEvent() const { return m_pStopEvent; }

private:
    // Fixed ring of item pointers sized once at init: puts and takes never
    // allocate.
    class Ring {
    public:
        void init(int capacity) { m_items.assign(size_t(capacity), nullptr); }
        int size() const { return m_size; }
        T *at(int i) const { return m_items[size_t((m_head + i) % int(m_items.size()))]; }
        bool full() const { return m_size == int(m_items.size()); }
        void push(T *item)
        {
            m_items[size_t((m_head + m_size) % int(m_items.size()))] = item;
            ++m_size;
        }
        T *pop()
        {
            T *item = m_items[size_t(m_head)];
            m_items[size_t(m_head)] = nullptr;
            m_head = (m_head + 1) % int(m_items.size());
            --m_size;
            return item;
        }

    private:
        std::vector<T *> m_items;
        int m_head = 0;
        int m_size = 0;
    };

    bool put(T *item, bool toFree)
    {
        CEasyLock guard(m_lock);
        const char *op = toFree ? "KxHandoffQueue::putFree" : "KxHandoffQueue::putFilled";
        if (!m_bInited || !item) {
            qWarning() << op << (item ? "queue not initialised" : "null item");
            return false;
        }
        Ring &list = toFree ? m_free : m_filled;
        kxsync::Semaphore &sem = toFree ? *m_pFreeSem : *m_pFilledSem;
        // The semaphore's maximum is the capacity; a put beyond it would
        // leave the count below the list's length, so it is refused whole.
        if (list.full() || !sem.release(1)) {
            qWarning() << op << "list full, item refused";
            return false;
        }
        list.push(item);
        if (toFree && int(m_registered.size()) < m_iCapacity)
            m_registered.push_back(item);
        return true;
    }

    T *take(bool fromFree, int timeoutMs)
    {
        kxsync::Semaphore *sem = nullptr;
        kxsync::Event *stop = nullptr;
        {
            CEasyLock guard(m_lock);
            if (!m_bInited)
                return nullptr;
            sem = fromFree ? m_pFreeSem.get() : m_pFilledSem.get();
            stop = m_pStopEvent;
        }
        if (timeoutMs < kxsync::Infinite) {
            qWarning() << (fromFree ? "KxHandoffQueue::takeFree" : "KxHandoffQueue::takeFilled")
                       << "invalid time-out" << timeoutMs;
            return nullptr;
        }
        // The stop event comes first so that it wins over queued items.
        if (kxsync::waitAny({stop, sem}, timeoutMs) != 1)
            return nullptr;
        CEasyLock guard(m_lock);
        return (fromFree ? m_free : m_filled).pop();
    }

    mutable CEslCritSection m_lock;
    bool m_bInited = false;
    int m_iCapacity = 0;
    std::unique_ptr<kxsync::Semaphore> m_pFreeSem;
    std::unique_ptr<kxsync::Semaphore> m_pFilledSem;
    std::unique_ptr<kxsync::Event> m_ownStopEvent;
    kxsync::Event *m_pStopEvent = nullptr;
    Ring m_free;
    Ring m_filled;
    std::vector<T *> m_registered;
};

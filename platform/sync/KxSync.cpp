#include "KxSync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <pthread.h>

namespace kxsync {

// Events and semaphores share one lock. A wait on several objects must test
// and acquire them as one step, and a single lock makes that trivially
// correct; nothing ever blocks while holding it, so it is only held for the
// few instructions of a test, a set or a release.
static std::mutex &stateLock()
{
    static std::mutex lock;
    return lock;
}

// One thread waiting on one or more objects; lives on that thread's stack
// and is registered with each object for the duration of the wait.
struct Waiter {
    std::condition_variable cv;
    bool woken = false;
};

Waitable::~Waitable() = default;

void Waitable::wakeWaitersLocked()
{
    for (Waiter *w : m_waiters) {
        w->woken = true;
        w->cv.notify_one();
    }
}

bool Waitable::wait(int timeoutMs)
{
    const Waitable *self = this;
    return waitAny(&self, 1, timeoutMs) == 0;
}

int waitAny(const Waitable *const *objects, int count, int timeoutMs)
{
    if (!objects || count <= 0 || timeoutMs < Infinite)
        return WaitFailed;
    for (int i = 0; i < count; ++i)
        if (!objects[i])
            return WaitFailed;

    // The objects are logically const to the caller, but acquiring changes
    // their state (that is the point of the wait).
    auto obj = [objects](int i) { return const_cast<Waitable *>(objects[i]); };

    std::unique_lock<std::mutex> lock(stateLock());
    for (int i = 0; i < count; ++i)
        if (obj(i)->tryAcquireLocked())
            return i;
    if (timeoutMs == 0)
        return WaitTimeout;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Waiter waiter;
    for (int i = 0; i < count; ++i)
        obj(i)->m_waiters.push_back(&waiter);

    int result = WaitTimeout;
    for (;;) {
        waiter.woken = false;
        if (timeoutMs == Infinite) {
            waiter.cv.wait(lock, [&] { return waiter.woken; });
        } else if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken; })) {
            // Timed out; a last look in case a signal raced the deadline.
            for (int i = 0; i < count && result == WaitTimeout; ++i)
                if (obj(i)->tryAcquireLocked())
                    result = i;
            break;
        }
        for (int i = 0; i < count && result == WaitTimeout; ++i)
            if (obj(i)->tryAcquireLocked())
                result = i;
        if (result != WaitTimeout)
            break;
    }

    for (int i = 0; i < count; ++i) {
        auto &ws = obj(i)->m_waiters;
        ws.erase(std::remove(ws.begin(), ws.end(), &waiter), ws.end());
    }
    return result;
}

int waitAny(std::initializer_list<Waitable *> objects, int timeoutMs)
{
    return waitAny(objects.begin(), static_cast<int>(objects.size()), timeoutMs);
}

Event::Event(bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled)
{
}

Event::~Event() = default;

void Event::set()
{
    std::lock_guard<std::mutex> lock(stateLock());
    m_signalled = true;
    wakeWaitersLocked();
}

void Event::reset()
{
    std::lock_guard<std::mutex> lock(stateLock());
    m_signalled = false;
}

bool Event::isSet() const
{
    std::lock_guard<std::mutex> lock(stateLock());
    return m_signalled;
}

bool Event::tryAcquireLocked()
{
    if (!m_signalled)
        return false;
    if (!m_manualReset)
        m_signalled = false;
    return true;
}

Semaphore::Semaphore(int initial, int maximum)
    : m_count(0), m_maximum(std::max(1, maximum))
{
    m_count = std::clamp(initial, 0, m_maximum);
}

Semaphore::~Semaphore() = default;

bool Semaphore::release(int count, int *previous)
{
    std::lock_guard<std::mutex> lock(stateLock());
    if (previous)
        *previous = m_count;
    if (count <= 0 || count > m_maximum - m_count)
        return false;
    m_count += count;
    wakeWaitersLocked();
    return true;
}

int Semaphore::count() const
{
    std::lock_guard<std::mutex> lock(stateLock());
    return m_count;
}

bool Semaphore::tryAcquireLocked()
{
    if (m_count <= 0)
        return false;
    --m_count;
    return true;
}

void setCurrentThreadName(const char *name)
{
    if (!name)
        return;
    char shortName[16];
    std::strncpy(shortName, name, sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    pthread_setname_np(pthread_self(), shortName);
}

} // namespace kxsync

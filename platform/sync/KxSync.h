#pragma once
// Synchronisation objects of the recording pipeline: manual- and auto-reset
// events, counting semaphores with a maximum, a wait on several objects with
// a time-out, and a recursive critical section.
//
// Every wait is bounded by its time-out (milliseconds, -1 = no limit); a
// time-out below -1 is refused with kxsync::WaitFailed. All objects may be
// used from any thread; none of them allocates after construction except
// for a short-lived waiter record kept on the waiting thread's stack.

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <vector>

namespace kxsync {

/// Results of the waits besides the index of the object that ended them.
enum WaitResult : int {
    WaitTimeout = -1,  ///< the time ran out, nothing was acquired
    WaitFailed = -2,   ///< bad arguments (no objects, null object, time-out < -1)
};

/// The "no limit" time-out.
constexpr int Infinite = -1;

struct Waiter;

/// Something a thread can wait for. Acquiring an event leaves a
/// manual-reset event signalled and resets an auto-reset one; acquiring a
/// semaphore takes one unit of its count.
class Waitable {
public:
    Waitable() = default;
    Waitable(const Waitable &) = delete;
    Waitable &operator=(const Waitable &) = delete;
    virtual ~Waitable();

    /// Waits until the object can be acquired and acquires it.
    /// Returns true when acquired, false on time-out or a bad time-out.
    bool wait(int timeoutMs);

protected:
    friend int waitAny(const Waitable *const *, int, int);
    // All called with the shared state lock held.
    virtual bool tryAcquireLocked() = 0;
    void wakeWaitersLocked();

    std::vector<Waiter *> m_waiters;
    // The Windows build's kernel object (a HANDLE); that build waits with
    // the system's own calls and needs no waiter list.
    void *m_native = nullptr;
};

/// A Windows-style event. A manual-reset event stays signalled until
/// reset() and releases every waiter; an auto-reset event releases exactly
/// one waiter and resets itself.
class Event : public Waitable {
public:
    explicit Event(bool manualReset, bool initiallySignalled = false);
    ~Event() override;

    void set();
    void reset();
    bool isSet() const;
    bool isManualReset() const { return m_manualReset; }

protected:
    bool tryAcquireLocked() override;

private:
    const bool m_manualReset;
    bool m_signalled;
};

/// A counting semaphore with a maximum count.
class Semaphore : public Waitable {
public:
    /// initial is clamped into [0, maximum]; maximum below 1 is taken as 1.
    Semaphore(int initial, int maximum);
    ~Semaphore() override;

    /// Adds count to the semaphore. Fails, changing nothing, when count is
    /// not positive or the new count would exceed the maximum. previous
    /// (optional) receives the count before the call.
    bool release(int count = 1, int *previous = nullptr);
    int count() const;
    int maximum() const { return m_maximum; }

protected:
    bool tryAcquireLocked() override;

private:
    int m_count;
    const int m_maximum;
};

/// Waits until one of the objects can be acquired, acquires that one only,
/// and returns its index. When several can be acquired the first in the
/// list wins. Returns WaitTimeout when the time runs out and WaitFailed on
/// bad arguments.
int waitAny(const Waitable *const *objects, int count, int timeoutMs);
int waitAny(std::initializer_list<Waitable *> objects, int timeoutMs);

/// A recursive lock, like a Windows critical section.
class CriticalSection {
public:
    void lock() { m_mutex.lock(); }
    bool tryLock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::recursive_mutex m_mutex;
};

/// Names the calling thread (at most 15 characters are kept).
void setCurrentThreadName(const char *name);

} // namespace kxsync

#pragma once
// The lock interface used by the queues and other shared objects, its
// critical-section implementation (recursive, like a Windows critical
// section) and a scoped guard.

#include "sync/KxSync.h"

class IEasyLock {
public:
    virtual ~IEasyLock() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

class CEslCritSection : public IEasyLock {
public:
    CEslCritSection() = default;
    CEslCritSection(const CEslCritSection &) = delete;
    CEslCritSection &operator=(const CEslCritSection &) = delete;

    void lock() override { m_cs.lock(); }
    void unlock() override { m_cs.unlock(); }

private:
    kxsync::CriticalSection m_cs;
};

/// Locks the given lock for the guard's lifetime.
class CEasyLock {
public:
    explicit CEasyLock(IEasyLock &lock) : m_lock(lock) { m_lock.lock(); }
    ~CEasyLock() { m_lock.unlock(); }
    CEasyLock(const CEasyLock &) = delete;
    CEasyLock &operator=(const CEasyLock &) = delete;

private:
    IEasyLock &m_lock;
};

// The synchronisation objects on Windows' own kernel objects: an event is
// a Win32 event, a semaphore a Win32 semaphore, and a wait on several
// objects is WaitForMultipleObjects, which acquires exactly the one object
// it reports and, when several are ready, the first of them.

#include "KxSync.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace kxsync {

namespace {

DWORD milliseconds(int timeoutMs)
{
    return timeoutMs == Infinite ? INFINITE : static_cast<DWORD>(timeoutMs);
}

// The state queries of ntdll: Win32 has no call that reads an event or a
// semaphore without acquiring it.
struct EventBasicInformation {
    LONG type;
    LONG state;
};
struct SemaphoreBasicInformation {
    LONG current;
    LONG maximum;
};
using QueryFn = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);

QueryFn ntQuery(const char *name)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll ? reinterpret_cast<QueryFn>(reinterpret_cast<void *>(GetProcAddress(ntdll, name))) : nullptr;
}

} // namespace

Waitable::~Waitable()
{
    if (m_native)
        CloseHandle(static_cast<HANDLE>(m_native));
}

void Waitable::wakeWaitersLocked() {}

bool Waitable::wait(int timeoutMs)
{
    const Waitable *self = this;
    return waitAny(&self, 1, timeoutMs) == 0;
}

int waitAny(const Waitable *const *objects, int count, int timeoutMs)
{
    if (!objects || count <= 0 || count > MAXIMUM_WAIT_OBJECTS || timeoutMs < Infinite)
        return WaitFailed;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        handles[i] = objects[i] ? static_cast<HANDLE>(objects[i]->m_native) : nullptr;
        if (!handles[i])
            return WaitFailed;
    }
    const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, milliseconds(timeoutMs));
    if (r < WAIT_OBJECT_0 + static_cast<DWORD>(count))
        return static_cast<int>(r - WAIT_OBJECT_0);
    return r == WAIT_TIMEOUT ? WaitTimeout : WaitFailed;
}

int waitAny(std::initializer_list<Waitable *> objects, int timeoutMs)
{
    return waitAny(objects.begin(), static_cast<int>(objects.size()), timeoutMs);
}

Event::Event(bool manualReset, bool initiallySignalled) : m_manualReset(manualReset), m_signalled(false)
{
    m_native = CreateEventW(nullptr, manualReset, initiallySignalled, nullptr);
}

Event::~Event() = default;

void Event::set()
{
    SetEvent(static_cast<HANDLE>(m_native));
}

void Event::reset()
{
    ResetEvent(static_cast<HANDLE>(m_native));
}

bool Event::isSet() const
{
    static const QueryFn query = ntQuery("NtQueryEvent");
    EventBasicInformation info{};
    if (query && query(static_cast<HANDLE>(m_native), 0, &info, sizeof info, nullptr) >= 0)
        return info.state != 0;
    // Without the query only a manual-reset event can be looked at
    // without changing it.
    return m_manualReset && WaitForSingleObject(static_cast<HANDLE>(m_native), 0) == WAIT_OBJECT_0;
}

bool Event::tryAcquireLocked()
{
    return WaitForSingleObject(static_cast<HANDLE>(m_native), 0) == WAIT_OBJECT_0;
}

Semaphore::Semaphore(int initial, int maximum) : m_count(0), m_maximum(std::max(1, maximum))
{
    m_native = CreateSemaphoreW(nullptr, std::clamp(initial, 0, m_maximum), m_maximum, nullptr);
}

Semaphore::~Semaphore() = default;

bool Semaphore::release(int count, int *previous)
{
    if (count <= 0)
        return false;
    LONG before = 0;
    // Refused by the system, changing nothing, when the maximum would be
    // exceeded.
    if (!ReleaseSemaphore(static_cast<HANDLE>(m_native), count, &before)) {
        if (previous)
            *previous = this->count();
        return false;
    }
    if (previous)
        *previous = static_cast<int>(before);
    return true;
}

int Semaphore::count() const
{
    static const QueryFn query = ntQuery("NtQuerySemaphore");
    SemaphoreBasicInformation info{};
    if (query && query(static_cast<HANDLE>(m_native), 0, &info, sizeof info, nullptr) >= 0)
        return static_cast<int>(info.current);
    return -1;
}

bool Semaphore::tryAcquireLocked()
{
    return WaitForSingleObject(static_cast<HANDLE>(m_native), 0) == WAIT_OBJECT_0;
}

void setCurrentThreadName(const char *name)
{
    if (!name)
        return;
    // SetThreadDescription exists from Windows 10 1607 on; older systems
    // simply keep their unnamed threads.
    using SetFn = HRESULT(WINAPI *)(HANDLE, PCWSTR);
    static const SetFn set = [] {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        return kernel ? reinterpret_cast<SetFn>(reinterpret_cast<void *>(GetProcAddress(kernel, "SetThreadDescription")))
                      : nullptr;
    }();
    if (!set)
        return;
    std::string shortName(name);
    shortName.resize(std::min<size_t>(shortName.size(), 15));
    const std::wstring wide(shortName.begin(), shortName.end());
    set(GetCurrentThread(), wide.c_str());
}

} // namespace kxsync

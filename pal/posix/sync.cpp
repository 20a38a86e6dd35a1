// Events, waits, CloseHandle, critical sections, interlocked operations and
// Sleep.
#include "core.h"

#include "palwin.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace pal {
namespace {

class Event : public Waitable {
public:
    Event(bool manualReset, bool initialState) : m_manual(manualReset), m_signaled(initialState) {}

    void Set() {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_signaled = true;
        }
        // An auto-reset event releases one waiter; a manual-reset one all.
        if (m_manual) m_cv.notify_all();
        else m_cv.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> g(m_lock);
        m_signaled = false;
    }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> g(m_lock);
        auto ready = [this] { return m_signaled; };
        if (milliseconds == INFINITE) {
            m_cv.wait(g, ready);
        } else if (!m_cv.wait_for(g, std::chrono::milliseconds(milliseconds), ready)) {
            return WAIT_TIMEOUT;
        }
        if (!m_manual) m_signaled = false;
        return WAIT_OBJECT_0;
    }

    std::string Describe() const override { return m_manual ? "event (manual reset)" : "event (auto reset)"; }

private:
    const bool m_manual;
    bool m_signaled;
    std::mutex m_lock;
    std::condition_variable m_cv;
};

std::shared_ptr<Event> EventOf(HANDLE h) {
    auto e = LookupHandle<Event>(h);
    if (!e) SetLastError(ERROR_INVALID_HANDLE);
    return e;
}

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque), "mutex fits the CRITICAL_SECTION storage");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "CRITICAL_SECTION storage is aligned for a mutex");
static_assert(sizeof(CRITICAL_SECTION) == 40, "Windows x64 CRITICAL_SECTION size");

} // namespace
} // namespace pal

PAL_API BOOL CloseHandle(HANDLE hObject) {
    if (!hObject || hObject == INVALID_HANDLE_VALUE || !pal::RemoveHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// Named events are not shared between processes here: a name is accepted and
// the event behaves as an unnamed one.
PAL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                            LPCWSTR /*lpName*/) {
    HANDLE h = pal::RegisterHandle(std::make_shared<pal::Event>(bManualReset != FALSE, bInitialState != FALSE));
    SetLastError(ERROR_SUCCESS);
    return h;
}

PAL_API BOOL SetEvent(HANDLE hEvent) {
    auto e = pal::EventOf(hEvent);
    if (!e) return FALSE;
    e->Set();
    return TRUE;
}

PAL_API BOOL ResetEvent(HANDLE hEvent) {
    auto e = pal::EventOf(hEvent);
    if (!e) return FALSE;
    e->Reset();
    return TRUE;
}

PAL_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    // The object stays alive for the whole wait even if another thread closes
    // the handle meanwhile, as a Windows object does while a wait holds it.
    auto w = pal::LookupHandle<pal::Waitable>(hHandle);
    if (!w) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return w->Wait(dwMilliseconds);
}

PAL_API void Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) std::this_thread::yield();
    else if (dwMilliseconds == INFINITE) for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    else std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

PAL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(pal::MutexOf(lpCriticalSection), &attr);
    pthread_mutexattr_destroy(&attr);
}

PAL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(pal::MutexOf(lpCriticalSection));
}

PAL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(pal::MutexOf(lpCriticalSection));
}

PAL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(pal::MutexOf(lpCriticalSection));
}

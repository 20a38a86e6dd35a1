// Events and waits across threads, and critical sections.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// A set from another thread wakes one waiter of an auto-reset event and every
// waiter of a manual-reset one.
TEST(Events, SetWakesOneOrAllWaiters) {
    for (BOOL manual : {FALSE, TRUE}) {
        HANDLE e = CreateEventW(nullptr, manual, FALSE, nullptr);
        std::atomic<int> woke{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.emplace_back([&] {
                if (WaitForSingleObject(e, manual ? INFINITE : 400) == WAIT_OBJECT_0) ++woke;
            });
        Sleep(50);
        SetEvent(e);
        for (auto& t : waiters) t.join();
        EXPECT_EQ(woke.load(), manual ? 3 : 1);
        CloseHandle(e);
    }
}

TEST(Events, BadHandles) {
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs); // the owner may enter again
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    Sleep(30);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&cs);
}

} // namespace

// Last error, global memory and IsBadReadPtr. (The
// debugger and message box channels: through the debug log in tests/diag.)
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    DWORD other = 0;
    std::thread t([&] {
        other = GetLastError();
        SetLastError(5);
    });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(GlobalMemory, ZeroFillAndFree) {
    auto* p = static_cast<unsigned char*>(GlobalAlloc(GPTR, 100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(GlobalFree(p), nullptr); // null on success
    EXPECT_EQ(GlobalFree(nullptr), nullptr);
    EXPECT_EQ(GlobalAlloc(GPTR, SIZE_MAX - 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    void* l = LocalAlloc(LPTR, 0);
    EXPECT_NE(l, nullptr);
    EXPECT_EQ(LocalFree(l), nullptr);
}

TEST(IsBadReadPtr, ReportsUnmappedMemoryWithoutFaulting) {
    const long page = sysconf(_SC_PAGESIZE);
    auto* mem = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mem, MAP_FAILED);
    EXPECT_FALSE(IsBadReadPtr(mem, 3 * page));
    // Unmap the middle page: a range touching it is bad, the pages around it are not.
    ASSERT_EQ(munmap(mem + page, page), 0);
    EXPECT_FALSE(IsBadReadPtr(mem, page));
    EXPECT_TRUE(IsBadReadPtr(mem, page + 1));
    EXPECT_TRUE(IsBadReadPtr(mem + page + 10, 4));
    EXPECT_TRUE(IsBadReadPtr(mem + page - 2, 2 * page + 4));
    EXPECT_FALSE(IsBadReadPtr(mem + 2 * page, page));
    // A page that is mapped but not readable.
    ASSERT_EQ(mprotect(mem + 2 * page, page, PROT_NONE), 0);
    EXPECT_TRUE(IsBadReadPtr(mem + 2 * page, 8));
    munmap(mem, page);
    EXPECT_TRUE(IsBadReadPtr(mem, 1));
    munmap(mem + 2 * page, page);

    EXPECT_TRUE(IsBadReadPtr(nullptr, 1));
    EXPECT_FALSE(IsBadReadPtr(nullptr, 0));
    int local = 0;
    EXPECT_FALSE(IsBadReadPtr(&local, sizeof(local)));
    EXPECT_TRUE(IsBadReadPtr(reinterpret_cast<void*>(~uintptr_t{0} - 2), 16)); // wraps around
}

} // namespace

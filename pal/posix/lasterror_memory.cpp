// Per-thread last-error code, the global/local heap and IsBadReadPtr.
#include "core.h"
#include "faults.h"

#include "palwin.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = 0;

// Every global block starts with this header so GlobalSize can answer the
// requested size and GlobalFree can refuse pointers it never handed out.
// 16 bytes keep the caller's block aligned like malloc's.
struct alignas(16) BlockHeader {
    uint64_t size;
    uint64_t magic;
};
static_assert(sizeof(BlockHeader) == 16);
constexpr uint64_t kLiveMagic = 0x514C474C4F42414CULL; // "QLGLOBAL"
constexpr uint64_t kDeadMagic = 0x444541444245454CULL;

BlockHeader* HeaderOf(void* p) {
    if (!p || reinterpret_cast<uintptr_t>(p) % alignof(BlockHeader)) return nullptr;
    auto* h = static_cast<BlockHeader*>(p) - 1;
    return h->magic == kLiveMagic ? h : nullptr;
}

void* AllocBlock(UINT flags, SIZE_T bytes) {
    if (bytes > SIZE_MAX - sizeof(BlockHeader)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                        : std::malloc(sizeof(BlockHeader) + bytes);
    if (!raw) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* h = static_cast<BlockHeader*>(raw);
    h->size = bytes;
    h->magic = kLiveMagic;
    return h + 1;
}

void* FreeBlock(void* p) {
    if (!p) return nullptr;
    BlockHeader* h = HeaderOf(p);
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return p;
    }
    h->magic = kDeadMagic;
    std::free(h);
    return nullptr;
}

// Reads [p, p+n) through the kernel, which reports an unreadable address as
// an error instead of a fault. Falls back to a pipe when process_vm_readv is
// not permitted.
bool KernelCanRead(const void* p, size_t n) {
    char sink[64];
    iovec local{sink, std::min(n, sizeof(sink))};
    iovec remote{const_cast<void*>(p), local.iov_len};
    ssize_t r = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (r >= 0) return static_cast<size_t>(r) == local.iov_len;
    if (errno == EFAULT) return false;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return true; // cannot tell; assume readable
    ssize_t w = write(fds[1], p, local.iov_len);
    int err = errno;
    close(fds[0]);
    close(fds[1]);
    return !(w < 0 && err == EFAULT);
}

} // namespace

PAL_API DWORD GetLastError(void) { return t_lastError; }
PAL_API void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

PAL_API HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (auto f = pal::faults::Check("GlobalAlloc"); f.fail) {
        SetLastError(f.error);
        return nullptr;
    }
    return AllocBlock(uFlags, dwBytes);
}

PAL_API HGLOBAL GlobalFree(HGLOBAL hMem) { return FreeBlock(hMem); }

PAL_API HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) { return AllocBlock(uFlags, uBytes); }
PAL_API HLOCAL LocalFree(HLOCAL hMem) { return FreeBlock(hMem); }

PAL_API BOOL IsBadReadPtr(const void* lp, UINT_PTR ucb) {
    if (ucb == 0) return FALSE;
    if (!lp) return TRUE;
    uintptr_t begin = reinterpret_cast<uintptr_t>(lp);
    if (ucb - 1 > UINTPTR_MAX - begin) return TRUE; // wraps around the address space
    const uintptr_t last = begin + (ucb - 1);
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    // One byte of every page the range touches, and its last byte.
    for (uintptr_t a = begin; a <= last;) {
        if (!KernelCanRead(reinterpret_cast<const void*>(a), 1)) return TRUE;
        uintptr_t next = (a / page + 1) * page;
        if (next <= a || next > last) break;
        a = next;
    }
    return KernelCanRead(reinterpret_cast<const void*>(last), 1) ? FALSE : TRUE;
}

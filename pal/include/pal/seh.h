// The structured exception guard: runs a piece of work and reports whether it
// raised an exception (an access fault included) instead of letting that end
// the process. Header-only, for both builds.
//
// Windows: a vectored exception handler, registered once, sends a hardware
// fault (exception codes of error severity: access violation, in-page error,
// illegal instruction, division by zero, stack overflow, ...) raised on a
// thread that is inside a guard back to the guard with __builtin_longjmp
// (register restore only, no unwinding through the faulting frames); C++
// exceptions are caught as well. Objects of the faulting frames are not
// destroyed, as with any structured exception handler that does not unwind.
// Linux: the platform layer raises faults as C++ exceptions (GdiPlayEMF,
// pal/gdiprint.h), so a catch-all is the guard.
#pragma once
#include "palwin.h"

#if defined(_WIN32)
namespace pal_seh {
struct Frame {
    void* buf[5];
};
inline thread_local Frame* tlsFrame = nullptr;

inline LONG CALLBACK FaultHandler(EXCEPTION_POINTERS* info) {
    Frame* frame = tlsFrame;
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    // Error severity (0xC...) without the customer bit: a hardware fault, not
    // a C++ exception or a debugger notification.
    if (!frame || (code & 0xF0000000u) != 0xC0000000u) return EXCEPTION_CONTINUE_SEARCH;
    tlsFrame = nullptr;
    __builtin_longjmp(frame->buf, 1);
}

template <class F>
bool RunCatchingCxx(F& body) {
    try {
        body();
        return true;
    } catch (...) {
        return false;
    }
}
} // namespace pal_seh

// True when body ran to its end; false when it raised an exception.
template <class F>
bool RunUnderExceptionGuard(F&& body) {
    static const PVOID registered = AddVectoredExceptionHandler(1, &pal_seh::FaultHandler);
    (void)registered;
    pal_seh::Frame frame;
    pal_seh::Frame* volatile outer = pal_seh::tlsFrame;
    if (__builtin_setjmp(frame.buf)) {
        pal_seh::tlsFrame = outer;
        return false;
    }
    pal_seh::tlsFrame = &frame;
    const bool completed = pal_seh::RunCatchingCxx(body);
    pal_seh::tlsFrame = outer;
    return completed;
}
#else
// True when body ran to its end; false when it raised an exception.
template <class F>
bool RunUnderExceptionGuard(F&& body) {
    try {
        body();
        return true;
    } catch (...) {
        return false;
    }
}
#endif

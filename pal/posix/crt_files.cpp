// _wfopen: C runtime streams on Windows paths, with the Windows runtime's text
// mode and the fault knobs of the binary streams.
#include "core.h"
#include "faults.h"
#include "file_paths.h"
#include "handles.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

// ---- C runtime streams ---------------------------------------------------------------------

namespace {

// Text mode of the Windows runtime over a binary stream: every "\n" written
// becomes "\r\n"; reading turns "\r\n" into "\n" and stops at Ctrl-Z. The
// outer stream is unbuffered for writing so ftell reports the file position.
struct TextStream {
    FILE* inner = nullptr;
    bool sawEof = false;
};

ssize_t TextWrite(void* cookie, const char* buf, size_t size) {
    auto* ts = static_cast<TextStream*>(cookie);
    size_t start = 0;
    for (size_t i = 0; i < size; ++i) {
        if (buf[i] != '\n') continue;
        if (i > start && fwrite(buf + start, 1, i - start, ts->inner) != i - start) return -1;
        if (fwrite("\r\n", 1, 2, ts->inner) != 2) return -1;
        start = i + 1;
    }
    if (size > start && fwrite(buf + start, 1, size - start, ts->inner) != size - start) return -1;
    return static_cast<ssize_t>(size);
}

ssize_t TextRead(void* cookie, char* buf, size_t size) {
    auto* ts = static_cast<TextStream*>(cookie);
    size_t n = 0;
    while (n < size && !ts->sawEof) {
        int c = getc(ts->inner);
        if (c == EOF) break;
        if (c == 0x1A) {
            ts->sawEof = true;
            break;
        }
        if (c == '\r') {
            int next = getc(ts->inner);
            if (next == '\n') c = '\n';
            else if (next != EOF) ungetc(next, ts->inner);
        }
        buf[n++] = static_cast<char>(c);
    }
    if (n == 0 && ferror(ts->inner)) return -1;
    return static_cast<ssize_t>(n);
}

int TextSeek(void* cookie, off64_t* pos, int whence) {
    auto* ts = static_cast<TextStream*>(cookie);
    if (fflush(ts->inner) != 0 || fseeko(ts->inner, *pos, whence) != 0) return -1;
    ts->sawEof = false;
    off_t now = ftello(ts->inner);
    if (now < 0) return -1;
    *pos = now;
    return 0;
}

int TextClose(void* cookie) {
    std::unique_ptr<TextStream> ts(static_cast<TextStream*>(cookie));
    return fclose(ts->inner) == 0 ? 0 : EOF;
}

// Binary streams opened for writing (temporary spool files) pass through this
// layer so the C run-time file transfers can be failed on purpose: "fwrite"
// and "fread" are each transfer between the outer stream's buffer and the
// file (the inner stream).
// A failed write reports 0 bytes rather than -1: the C library's unbuffered
// path takes -1 for a count and writes on.
ssize_t CheckedWrite(void* cookie, const char* buf, size_t size) {
    if (auto f = pal::faults::Check("fwrite"); f.fail) {
        errno = f.error == ERROR_DISK_FULL ? ENOSPC : EIO;
        return 0;
    }
    return static_cast<ssize_t>(fwrite(buf, 1, size, static_cast<FILE*>(cookie)));
}

ssize_t CheckedRead(void* cookie, char* buf, size_t size) {
    if (auto f = pal::faults::Check("fread"); f.fail) {
        errno = EIO;
        return -1;
    }
    FILE* inner = static_cast<FILE*>(cookie);
    const size_t n = fread(buf, 1, size, inner);
    return n == 0 && ferror(inner) ? -1 : static_cast<ssize_t>(n);
}

int CheckedSeek(void* cookie, off64_t* pos, int whence) {
    FILE* inner = static_cast<FILE*>(cookie);
    if (fseeko(inner, *pos, whence) != 0) return -1;
    const off_t now = ftello(inner);
    if (now < 0) return -1;
    *pos = now;
    return 0;
}

int CheckedClose(void* cookie) { return fclose(static_cast<FILE*>(cookie)) == 0 ? 0 : EOF; }

} // namespace

FILE* _wfopen(const WCHAR* path, const WCHAR* mode) {
    if (!path || !mode || !*path) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Windows modes: r w a, "+", then b/t and runtime-specific letters.
    std::string base;
    bool binary = false;
    for (const WCHAR* m = mode; *m && *m != u','; ++m) {
        switch (*m) {
        case u'r':
        case u'w':
        case u'a':
            if (base.empty()) base += static_cast<char>(*m);
            break;
        case u'+':
            if (!base.empty() && base.find('+') == std::string::npos) base += '+';
            break;
        case u'b': binary = true; break;
        case u't': binary = false; break;
        default: break; // c, n, S, R, T, D, N: hints without a POSIX meaning
        }
    }
    if (base.empty()) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (binary) {
        if (auto f = pal::faults::Check("_wfopen"); f.fail) {
            errno = EACCES;
            SetLastError(f.error);
            return nullptr;
        }
    }
    std::string host;
    if (!pal::MapArg(path, host)) {
        errno = GetLastError() == ERROR_INVALID_NAME ? EINVAL : ENOENT;
        return nullptr;
    }
    struct stat st;
    if (base[0] != 'r' && stat(host.c_str(), &st) == 0 && pal::IsReadOnly(st)) {
        errno = EACCES;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    FILE* inner = fopen(host.c_str(), (base + "be").c_str());
    if (!inner) {
        int err = errno;
        SetLastError(pal::ErrorFor(err, host));
        errno = err;
        return nullptr;
    }
    pal::security::NoteFileOpened("_wfopen", path, host, base != "r", false, nullptr);
    if (binary && base == "r") return inner;
    if (binary) {
        cookie_io_functions_t checked{CheckedRead, CheckedWrite, CheckedSeek, CheckedClose};
        FILE* outer = fopencookie(inner, (base + "b").c_str(), checked);
        if (!outer) {
            fclose(inner);
            errno = ENOMEM;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return outer;
    }

    auto ts = std::make_unique<TextStream>();
    ts->inner = inner;
    cookie_io_functions_t io{TextRead, TextWrite, TextSeek, TextClose};
    FILE* outer = fopencookie(ts.get(), base.c_str(), io);
    if (!outer) {
        fclose(inner);
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ts.release(); // owned by the stream now; TextClose frees it
    if (base != "r") setvbuf(outer, nullptr, _IONBF, 0);
    return outer;
}

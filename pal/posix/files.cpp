// Files: the Win32 file calls over POSIX descriptors, the system directories
// and temporary file names.
#include "core.h"
#include "faults.h"
#include "file_paths.h"
#include "handles.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace pal {
namespace {

class FileObject : public Object {
public:
    FileObject(int fd, std::string hostPath, std::u16string windowsPath, bool canRead, bool canWrite,
               bool deleteOnClose)
        : fd(fd), hostPath(std::move(hostPath)), windowsPath(std::move(windowsPath)), canRead(canRead),
          canWrite(canWrite), deleteOnClose(deleteOnClose) {}
    ~FileObject() override {
        if (fd >= 0) ::close(fd);
        if (deleteOnClose) ::unlink(hostPath.c_str());
    }
    std::string Describe() const override { return "file " + Utf16ToUtf8(windowsPath); }

    const int fd;
    const std::string hostPath;
    const std::u16string windowsPath;
    const bool canRead;
    const bool canWrite;
    const bool deleteOnClose;
};

std::shared_ptr<FileObject> FileOf(HANDLE h) {
    auto f = LookupHandle<FileObject>(h);
    if (!f) SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

bool SeekTo(const FileObject& f, LONGLONG distance, DWORD method, LONGLONG& newPos) {
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : method == FILE_END ? SEEK_END : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    off_t base = 0;
    if (whence == SEEK_CUR) base = lseek(f.fd, 0, SEEK_CUR);
    if (whence == SEEK_END) {
        struct stat st;
        base = fstat(f.fd, &st) == 0 ? st.st_size : -1;
    }
    if (base < 0) {
        SetLastError(Win32FromErrno(errno));
        return false;
    }
    if ((distance < 0 && base + distance < 0)) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return false;
    }
    off_t r = lseek(f.fd, base + distance, SEEK_SET);
    if (r < 0) {
        SetLastError(Win32FromErrno(errno));
        return false;
    }
    newPos = r;
    return true;
}

} // namespace
} // namespace pal

using pal::FailWith;
using pal::FileObject;

PAL_API HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                           LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                           DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    std::string path;
    if (!pal::MapArg(lpFileName, path)) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const bool all = (dwDesiredAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
    const bool wantRead = all || (dwDesiredAccess & (GENERIC_READ | FILE_READ_DATA));
    const bool wantWrite = all || (dwDesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA));
    const bool appendOnly = (dwDesiredAccess & FILE_APPEND_DATA) && !(dwDesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA)) && !all;
    if (dwCreationDisposition == TRUNCATE_EXISTING && !wantWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        SetLastError(dwCreationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (existed && pal::IsReadOnly(st) &&
        (wantWrite || dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING ||
         (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE))) {
        SetLastError(dwCreationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    int flags = O_CLOEXEC;
    flags |= wantRead && wantWrite ? O_RDWR : (wantWrite ? O_WRONLY : O_RDONLY);
    if (appendOnly) flags |= O_APPEND;
    switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: break;
    }
    // O_TRUNC needs write access on the descriptor even when the caller asked
    // for read access only (Windows truncates through the handle it creates).
    if ((flags & O_TRUNC) && !wantWrite) flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) flags |= O_NOFOLLOW;
    mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    int fd = ::open(path.c_str(), flags, mode);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT && dwCreationDisposition != OPEN_EXISTING && dwCreationDisposition != TRUNCATE_EXISTING)
            SetLastError(ERROR_PATH_NOT_FOUND);
        else
            SetLastError(pal::ErrorFor(err, path));
        return INVALID_HANDLE_VALUE;
    }
    pal::security::NoteFileOpened("CreateFileW", lpFileName, path, wantWrite, !existed, lpSecurityAttributes);
    auto obj = std::make_shared<FileObject>(fd, path, std::u16string(pal::WView(lpFileName)), wantRead, wantWrite,
                                            (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0);
    HANDLE h = pal::RegisterHandle(std::move(obj));
    const bool reportExisting = existed && (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

PAL_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (lpOverlapped) return FailWith(ERROR_NOT_SUPPORTED);
    if (!f->canRead) return FailWith(ERROR_ACCESS_DENIED);
    if (!lpBuffer && nNumberOfBytesToRead) return FailWith(ERROR_INVALID_PARAMETER); // Windows: ERROR_NOACCESS
    DWORD done = 0;
    auto* out = static_cast<char*>(lpBuffer);
    while (done < nNumberOfBytesToRead) {
        ssize_t r = ::read(f->fd, out + done, nNumberOfBytesToRead - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
            return FailWith(pal::Win32FromErrno(errno));
        }
        if (r == 0) break;
        done += static_cast<DWORD>(r);
    }
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = done;
    return TRUE;
}

PAL_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                       LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (lpOverlapped) return FailWith(ERROR_NOT_SUPPORTED);
    if (!f->canWrite) return FailWith(ERROR_ACCESS_DENIED);
    if (!lpBuffer && nNumberOfBytesToWrite) return FailWith(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    auto* in = static_cast<const char*>(lpBuffer);
    while (done < nNumberOfBytesToWrite) {
        ssize_t r = ::write(f->fd, in + done, nNumberOfBytesToWrite - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
            return FailWith(pal::Win32FromErrno(errno));
        }
        done += static_cast<DWORD>(r);
    }
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = done;
    return TRUE;
}

PAL_API BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                              DWORD dwMoveMethod) {
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    LONGLONG pos = 0;
    if (!pal::SeekTo(*f, liDistanceToMove.QuadPart, dwMoveMethod, pos)) return FALSE;
    if (lpNewFilePointer) lpNewFilePointer->QuadPart = pos;
    return TRUE;
}

PAL_API BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(f->fd, &st) != 0) return FailWith(pal::Win32FromErrno(errno));
    lpFileSize->QuadPart = st.st_size;
    return TRUE;
}

PAL_API BOOL DeleteFileW(LPCWSTR lpFileName) {
    std::string path;
    if (!pal::MapArg(lpFileName, path)) return FALSE;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return FailWith(pal::ErrorFor(errno, path));
    if (S_ISDIR(st.st_mode) || pal::IsReadOnly(st)) return FailWith(ERROR_ACCESS_DENIED);
    if (unlink(path.c_str()) != 0) return FailWith(pal::ErrorFor(errno, path));
    return TRUE;
}

PAL_API BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (!lpFileInformation) return FailWith(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(f->fd, &st) != 0) return FailWith(pal::Win32FromErrno(errno));
    BY_HANDLE_FILE_INFORMATION info = {};
    info.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && pal::IsReadOnly(st)) info.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    // 100-ns intervals since 1601-01-01.
    auto fileTime = [](const struct timespec& ts) {
        const uint64_t t = (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
                           static_cast<uint64_t>(ts.tv_nsec) / 100;
        return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    };
    info.ftCreationTime = fileTime(st.st_ctim);
    info.ftLastAccessTime = fileTime(st.st_atim);
    info.ftLastWriteTime = fileTime(st.st_mtim);
    info.dwVolumeSerialNumber = static_cast<DWORD>(st.st_dev);
    info.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
    info.nFileSizeLow = static_cast<DWORD>(st.st_size);
    info.nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
    info.nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_ino) >> 32);
    info.nFileIndexLow = static_cast<DWORD>(st.st_ino);
    *lpFileInformation = info;
    return TRUE;
}

// ---- system directories ------------------------------------------------------------------

namespace {

UINT SystemDir(std::u16string_view dir, LPWSTR buffer, UINT size) {
    pal::MakeDirs(pal::HostPath(dir));
    return pal::CopyOutString(dir, buffer, size);
}

} // namespace

PAL_API UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return SystemDir(u"C:\\Windows\\System32", lpBuffer, uSize);
}

PAL_API UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) { return SystemDir(u"C:\\Windows", lpBuffer, uSize); }

// ---- temporary file names ------------------------------------------------------------------

namespace {

// Next candidate for a generated unique number: a process-wide counter that
// starts at a time-dependent value, so processes sharing a directory seldom
// collide; never 0.
UINT NextUnique() {
    static std::atomic<unsigned> counter{static_cast<unsigned>(GetTickCount64())};
    for (;;) {
        UINT n = counter.fetch_add(1) & 0xFFFF;
        if (n) return n;
    }
}

std::u16string TempName(std::u16string_view dir, LPCWSTR prefix, UINT unique) {
    std::u16string name(dir);
    if (name.empty() || (name.back() != u'\\' && name.back() != u'/')) name += u'\\';
    for (size_t i = 0; prefix && i < 3 && prefix[i]; ++i) name += prefix[i];
    char hex[8];
    snprintf(hex, sizeof hex, "%X", unique & 0xFFFF);
    for (const char* h = hex; *h; ++h) name += static_cast<char16_t>(*h);
    name += u".TMP";
    return name;
}

} // namespace

PAL_API UINT GetTempFileNameW(LPCWSTR lpPathName, LPCWSTR lpPrefixString, UINT uUnique, LPWSTR lpTempFileName) {
    if (!lpPathName || !lpTempFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string_view dir = pal::WView(lpPathName);
    if (dir.size() > MAX_PATH - 14) {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    if (uUnique) {
        const std::u16string name = TempName(dir, lpPrefixString, uUnique);
        pal::CopyOutString(name, lpTempFileName, MAX_PATH);
        return uUnique & 0xFFFF;
    }
    std::string hostDir;
    if (!pal::MapArg(lpPathName, hostDir)) return 0;
    struct stat st;
    if (stat(hostDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    for (unsigned tries = 0; tries < 0xFFFF; ++tries) {
        const UINT unique = NextUnique();
        const std::u16string name = TempName(dir, lpPrefixString, unique);
        std::string host;
        if (!pal::MapArg(name.c_str(), host)) return 0;
        int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            SetLastError(pal::ErrorFor(errno, host));
            return 0;
        }
        ::close(fd);
        pal::security::ForgetFileSecurity(host);
        pal::CopyOutString(name, lpTempFileName, MAX_PATH);
        SetLastError(ERROR_SUCCESS);
        return unique;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

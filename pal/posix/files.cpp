// Files: the drive root and the mapping of Windows paths under it, the Win32
// file calls over POSIX descriptors, the system directories and _wfopen with
// the Windows runtime's text mode.
#include "core.h"
#include "faults.h"
#include "handles.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pal {
namespace {

// ---- drive root --------------------------------------------------------------------------

struct DriveState {
    std::mutex lock;
    std::string root; // empty until first use
};

DriveState& Drive() {
    static DriveState* s = new DriveState; // used until the very end of the process
    return *s;
}

bool MakeDirs(const std::string& path) {
    if (path.empty()) return false;
    std::string cur;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        cur = path.substr(0, next);
        if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST) return false;
        pos = next + 1;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string StripTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string CurrentRoot() {
    DriveState& d = Drive();
    std::lock_guard<std::mutex> g(d.lock);
    if (d.root.empty()) {
        const char* env = std::getenv("QL_DRIVE_ROOT");
        d.root = env && *env ? StripTrailingSlashes(env) : "/tmp/qlpal-drive-" + std::to_string(getpid());
        MakeDirs(d.root);
    }
    return d.root;
}

// ---- path mapping --------------------------------------------------------------------------

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool SameFolded(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldLower(a[i]) != FoldLower(b[i])) return false;
    return true;
}

// Appends the components of `rest` (slash separated) to `base`, using an
// existing directory entry whose name differs only in case where the exact
// name does not exist.
std::string ResolveUnder(std::string base, const std::string& rest) {
    bool resolving = true;
    size_t pos = 0;
    while (pos < rest.size()) {
        size_t next = rest.find('/', pos);
        if (next == std::string::npos) next = rest.size();
        std::string comp = rest.substr(pos, next - pos);
        pos = next + 1;
        if (comp.empty()) continue;
        std::string candidate = base + "/" + comp;
        struct stat st;
        if (resolving && comp != "." && comp != ".." && lstat(candidate.c_str(), &st) != 0) {
            resolving = false;
            if (DIR* dir = opendir(base.c_str())) {
                std::u16string want = Utf8ToUtf16(comp);
                while (dirent* e = readdir(dir)) {
                    if (SameFolded(Utf8ToUtf16(e->d_name), want)) {
                        candidate = base + "/" + e->d_name;
                        resolving = true;
                        break;
                    }
                }
                closedir(dir);
            }
        }
        base = std::move(candidate);
    }
    return base;
}

std::u16string_view StripLongPrefix(std::u16string_view p) {
    if (p.size() >= 4 && p.substr(0, 4) == u"\\\\?\\") p.remove_prefix(4);
    return p;
}

} // namespace

std::string HostPath(std::u16string_view windowsPath) {
    std::u16string_view p = StripLongPrefix(windowsPath);
    std::string path = Utf16ToUtf8(p);
    for (char& c : path)
        if (c == '\\') c = '/';
    const std::string root = CurrentRoot();
    if (p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == u':') {
        std::string base = root;
        char letter = static_cast<char>(FoldLower(p[0]));
        if (letter != 'c') base += std::string("/") + letter;
        return ResolveUnder(base, path.substr(2));
    }
    if (path.size() >= 2 && path[0] == '/' && path[1] == '/') return ResolveUnder(root + "/unc", path.substr(2));
    if (!path.empty() && path[0] == '/') {
        // A host path that already lies under the drive root stays as it is.
        if (path == root || path.compare(0, root.size() + 1, root + "/") == 0) return path;
        return ResolveUnder(root, path);
    }
    return path;
}

bool HasInvalidPathChars(std::u16string_view windowsPath) {
    std::u16string_view p = StripLongPrefix(windowsPath);
    if (p.size() >= 2 && IsAsciiLetter(p[0]) && p[1] == u':') p.remove_prefix(2);
    for (char16_t c : p)
        if (c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*' || c == u':')
            return true;
    return false;
}

DWORD Win32FromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBUSY: return ERROR_BUSY;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
    }
}

namespace {

bool Exists(const std::string& p, struct stat* st = nullptr) {
    struct stat local;
    return stat(p.c_str(), st ? st : &local) == 0;
}

std::string ParentOf(const std::string& p) {
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

// Windows reports a missing file as ERROR_FILE_NOT_FOUND when its directory
// exists and as ERROR_PATH_NOT_FOUND when it does not.
DWORD MissingError(const std::string& hostPath) {
    struct stat st;
    return stat(ParentOf(hostPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                             : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorFor(int err, const std::string& hostPath) {
    if (err == ENOENT) return MissingError(hostPath);
    return Win32FromErrno(err);
}

// The READONLY attribute: no write bit at all. Checked by hand because the
// spooler host may run as root, which the kernel lets write anything.
bool IsReadOnly(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

// Validates a path argument and maps it; false with the last error set when
// Windows would refuse the name.
bool MapArg(LPCWSTR windowsPath, std::string& hostPath) {
    if (!windowsPath || !*windowsPath) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::u16string_view v = WView(windowsPath);
    if (HasInvalidPathChars(v)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    hostPath = HostPath(v);
    return true;
}

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

namespace host {

void SetDriveRoot(const std::string& dir) {
    std::string root = StripTrailingSlashes(dir);
    MakeDirs(root);
    // Every Windows machine has the spooler's standard spool directory.
    MakeDirs(root + "/Windows/System32/spool/PRINTERS");
    DriveState& d = Drive();
    std::lock_guard<std::mutex> g(d.lock);
    d.root = root;
}

std::string DriveRoot() { return CurrentRoot(); }

std::string MapPath(const std::u16string& windowsPath) { return HostPath(windowsPath); }

} // namespace host
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

PAL_API DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    auto f = pal::FileOf(hFile);
    if (!f) return INVALID_SET_FILE_POINTER;
    LONGLONG distance = lpDistanceToMoveHigh
                            ? static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                                    static_cast<DWORD>(lDistanceToMove))
                            : static_cast<LONGLONG>(lDistanceToMove);
    LONGLONG pos = 0;
    if (!pal::SeekTo(*f, distance, dwMoveMethod, pos)) return INVALID_SET_FILE_POINTER;
    if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = static_cast<LONG>(pos >> 32);
    // A low part equal to INVALID_SET_FILE_POINTER is told apart by the cleared error.
    if (static_cast<DWORD>(pos) == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
    return static_cast<DWORD>(pos);
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

PAL_API DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size)) return INVALID_FILE_SIZE;
    if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<DWORD>(size.QuadPart >> 32);
    if (size.LowPart == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return size.LowPart;
}

PAL_API BOOL SetEndOfFile(HANDLE hFile) {
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (!f->canWrite) return FailWith(ERROR_ACCESS_DENIED);
    off_t pos = lseek(f->fd, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(f->fd, pos) != 0) return FailWith(pal::Win32FromErrno(errno));
    return TRUE;
}

PAL_API BOOL FlushFileBuffers(HANDLE hFile) {
    auto f = pal::FileOf(hFile);
    if (!f) return FALSE;
    if (!f->canWrite) return FailWith(ERROR_ACCESS_DENIED);
    if (fdatasync(f->fd) != 0 && errno != EINVAL) return FailWith(pal::Win32FromErrno(errno));
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

PAL_API DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    std::string path;
    if (!pal::MapArg(lpFileName, path)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(pal::ErrorFor(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && pal::IsReadOnly(st)) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}

PAL_API BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/) {
    std::string path;
    if (!pal::MapArg(lpPathName, path)) return FALSE;
    path = pal::StripTrailingSlashes(path);
    if (mkdir(path.c_str(), 0777) != 0) {
        int err = errno;
        if (err == EEXIST) return FailWith(ERROR_ALREADY_EXISTS);
        return FailWith(err == ENOENT ? ERROR_PATH_NOT_FOUND : pal::Win32FromErrno(err));
    }
    return TRUE;
}

PAL_API BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    std::string path;
    if (!pal::MapArg(lpPathName, path)) return FALSE;
    path = pal::StripTrailingSlashes(path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return FailWith(pal::ErrorFor(errno, path));
    if (!S_ISDIR(st.st_mode)) return FailWith(ERROR_DIRECTORY);
    if (rmdir(path.c_str()) != 0) return FailWith(pal::ErrorFor(errno, path));
    return TRUE;
}

namespace {

bool CopyContents(const std::string& from, const std::string& to, DWORD& error) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        error = pal::ErrorFor(errno, from);
        return false;
    }
    struct stat st;
    fstat(in, &st);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
    if (out < 0) {
        error = errno == ENOENT ? ERROR_PATH_NOT_FOUND : pal::Win32FromErrno(errno);
        ::close(in);
        return false;
    }
    std::vector<char> buf(1 << 16);
    bool ok = true;
    for (;;) {
        ssize_t r = ::read(in, buf.data(), buf.size());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        for (ssize_t done = 0; done < r;) {
            ssize_t w = ::write(out, buf.data() + done, r - done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    if (!ok) error = pal::Win32FromErrno(errno);
    ::close(in);
    ::close(out);
    fchmodat(AT_FDCWD, to.c_str(), st.st_mode & 0777, 0);
    return ok;
}

} // namespace

PAL_API BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    std::string from, to;
    if (!pal::MapArg(lpExistingFileName, from) || !pal::MapArg(lpNewFileName, to)) return FALSE;
    struct stat st;
    if (stat(from.c_str(), &st) != 0) return FailWith(pal::ErrorFor(errno, from));
    if (S_ISDIR(st.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    struct stat dst;
    if (stat(to.c_str(), &dst) == 0) {
        if (bFailIfExists) return FailWith(ERROR_FILE_EXISTS);
        if (S_ISDIR(dst.st_mode) || pal::IsReadOnly(dst)) return FailWith(ERROR_ACCESS_DENIED);
        if (dst.st_dev == st.st_dev && dst.st_ino == st.st_ino) return FailWith(ERROR_SHARING_VIOLATION);
    }
    DWORD error = 0;
    if (!CopyContents(from, to, error)) return FailWith(error);
    return TRUE;
}

PAL_API BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    std::string from, to;
    if (!pal::MapArg(lpExistingFileName, from) || !pal::MapArg(lpNewFileName, to)) return FALSE;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return FailWith(pal::ErrorFor(errno, from));
    if (pal::Exists(to)) return FailWith(ERROR_ALREADY_EXISTS);
    if (rename(from.c_str(), to.c_str()) == 0) return TRUE;
    if (errno != EXDEV || S_ISDIR(st.st_mode))
        return FailWith(errno == ENOENT ? ERROR_PATH_NOT_FOUND : pal::Win32FromErrno(errno));
    DWORD error = 0;
    if (!CopyContents(from, to, error)) return FailWith(error);
    unlink(from.c_str());
    return TRUE;
}

// ---- system directories ------------------------------------------------------------------

namespace {

UINT SystemDir(std::u16string_view dir, LPWSTR buffer, UINT size) {
    pal::MakeDirs(pal::HostPath(dir));
    return pal::CopyOutString(dir, buffer, size);
}

} // namespace

PAL_API DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    pal::MakeDirs(pal::HostPath(u"C:\\Windows\\Temp"));
    return pal::CopyOutString(u"C:\\Windows\\Temp\\", lpBuffer, nBufferLength);
}

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
    static std::atomic<unsigned> counter{static_cast<unsigned>(GetTickCount())};
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

// The drive root and the mapping of Windows paths under it, the Win32 error
// codes of errno values and the checks of path arguments.
#include "core.h"
#include "faults.h"
#include "file_paths.h"
#include "handles.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace pal {

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

} // namespace

DWORD ErrorFor(int err, const std::string& hostPath) {
    if (err == ENOENT) return MissingError(hostPath);
    return Win32FromErrno(err);
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

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

#include "spool_files.h"

#include "faults.h"
#include "palhost.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pal::spool {

namespace {

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

DWORD ErrorOfErrno(int e) { return e == ENOSPC || e == EDQUOT ? ERROR_DISK_FULL : ERROR_WRITE_FAULT; }

} // namespace

std::string SpoolDirectoryOf(const std::u16string& spoolDirectory) {
    // A printer whose spool directory does not exist keeps its jobs in the
    // spooler's own queue directory: the spooler creates no directory the
    // print processor may look for its temporary files.
    std::error_code ec;
    const std::string dir = pal::host::MapPath(spoolDirectory);
    if (!spoolDirectory.empty() && std::filesystem::is_directory(dir, ec)) return dir;
    return pal::host::MapPath(u"C:\\Windows\\System32\\spool\\QUEUE");
}

std::shared_ptr<SpoolFile> SpoolFile::Create(const std::string& dir, DWORD id, const std::string& shadowText,
                                             DWORD* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::shared_ptr<SpoolFile> f(new SpoolFile());  // private constructor
    const std::string stem = (std::filesystem::path(dir) / std::to_string(id)).string();
    f->m_path = stem + ".SPL";
    f->m_shadowPath = stem + ".SHD";
    const int shadow = ::open(f->m_shadowPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (shadow < 0) {
        *error = ErrorOfErrno(errno);
        return nullptr;
    }
    const bool wrote = WriteAll(shadow, reinterpret_cast<const uint8_t*>(shadowText.data()), shadowText.size());
    const int e = errno;
    ::close(shadow);
    f->m_fd = ::open(f->m_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (!wrote || f->m_fd < 0) {
        *error = ErrorOfErrno(wrote ? errno : e);
        return nullptr;  // the destructor removes what was created
    }
    return f;
}

SpoolFile::~SpoolFile() {
    if (m_fd >= 0) ::close(m_fd);
    if (!m_path.empty()) ::unlink(m_path.c_str());
    if (!m_shadowPath.empty()) ::unlink(m_shadowPath.c_str());
}

bool SpoolFile::Append(std::span<const uint8_t> bytes, DWORD* error) {
    if (m_failed) {
        *error = ERROR_WRITE_FAULT;
        return false;
    }
    const auto f = pal::faults::CheckTransfer("SpoolFileWrite", m_size, bytes.size());
    const uint64_t n = f.limited ? std::min<uint64_t>(bytes.size(), f.limit) : bytes.size();
    if (!WriteAll(m_fd, bytes.data(), static_cast<size_t>(n))) {
        m_failed = true;
        *error = ErrorOfErrno(errno);
        return false;
    }
    m_size += n;
    if (f.fail || n < bytes.size()) {
        m_failed = true;
        *error = f.fail ? f.error : ERROR_DISK_FULL;
        return false;
    }
    return true;
}

int64_t SpoolFile::AppendFrom(int from, size_t max, DWORD* error) {
    if (m_failed) {
        *error = ERROR_WRITE_FAULT;
        return -1;
    }
    const auto f = pal::faults::CheckTransfer("SpoolFileWrite", m_size, max);
    const size_t want = f.limited ? static_cast<size_t>(std::min<uint64_t>(max, f.limit)) : max;
    size_t done = 0;
    bool inKernel = true;
    std::vector<uint8_t> block;
    while (done < want) {
        ssize_t put = -1;
        if (inKernel) {
            put = ::copy_file_range(from, nullptr, m_fd, nullptr, want - done, 0);
            if (put < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                inKernel = false;  // not between these files: through a buffer
                continue;
            }
        } else {
            block.resize(std::min<size_t>(want - done, 1u << 20));
            put = ::read(from, block.data(), block.size());
            if (put > 0 && !WriteAll(m_fd, block.data(), static_cast<size_t>(put))) {
                m_failed = true;
                *error = ErrorOfErrno(errno);
                return -1;
            }
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            // copy_file_range cannot tell a failed read from a failed write.
            const int e = errno;
            m_failed = true;
            *error = e == ENOSPC || e == EDQUOT ? ERROR_DISK_FULL : inKernel ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
            return -1;
        }
        if (put == 0) break;  // the end of the input
        done += static_cast<size_t>(put);
    }
    m_size += done;
    if (f.fail || (f.limited && done == want && want < max)) {
        m_failed = true;
        *error = f.fail ? f.error : ERROR_DISK_FULL;
        return -1;
    }
    return static_cast<int64_t>(done);
}

bool SpoolFile::Finish(DWORD* error) {
    if (m_failed) {
        *error = ERROR_WRITE_FAULT;
        return false;
    }
    return true;
}

DWORD SpoolFile::Read(uint64_t offset, std::span<uint8_t> out) const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || st.st_nlink == 0) return ERROR_FILE_NOT_FOUND;
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ERROR_READ_FAULT;
        if (got == 0) return ERROR_HANDLE_EOF;
        done += static_cast<size_t>(got);
    }
    return ERROR_SUCCESS;
}

} // namespace pal::spool

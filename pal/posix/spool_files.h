// Job storage of the simulated spooler (internal): each job's data lives in
// its spool file "<id>.SPL" in the printer's spool directory on the simulated
// drive, with the shadow file "<id>.SHD" (what the spooler knows about the
// job) beside it. Both are written as the data arrives and removed when the
// last holder of the job's storage lets go (the job deleted, its reading
// handles closed).
#pragma once
#include "palwin.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace pal::spool {

class SpoolFile {
public:
    // Creates both files for job `id` in the host directory `dir`; null with
    // *error set (a Win32 error) when they cannot be created.
    static std::shared_ptr<SpoolFile> Create(const std::string& dir, DWORD id, const std::string& shadowText,
                                             DWORD* error);
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    // Appends job data; false with *error set (ERROR_DISK_FULL from the fault
    // knob "SpoolFileWrite" or a failed write) and nothing more accepted.
    bool Append(std::span<const uint8_t> bytes, DWORD* error);
    // Appends up to `max` bytes read from the descriptor `from` at its current
    // position, copied inside the kernel where the file systems allow it; the
    // number appended (0 at the end of the input), or -1 with *error set: as
    // Append, or ERROR_READ_FAULT when the input cannot be read.
    int64_t AppendFrom(int from, size_t max, DWORD* error);
    // The data is complete: the file is flushed and readable.
    bool Finish(DWORD* error);

    uint64_t Size() const { return m_size; }
    const std::string& Path() const { return m_path; }
    // Copies up to out.size() bytes from `offset`; ERROR_SUCCESS, or the
    // error of a spool file that vanished (ERROR_FILE_NOT_FOUND) or was cut
    // short (ERROR_HANDLE_EOF) under the reader.
    DWORD Read(uint64_t offset, std::span<uint8_t> out) const;

private:
    SpoolFile() = default;
    std::string m_path, m_shadowPath;
    int m_fd = -1;
    uint64_t m_size = 0;
    bool m_failed = false;
};

// The host directory for a printer's job files: its "SpoolDirectory" when
// that exists, else the spooler's queue directory C:\Windows\System32\spool\QUEUE.
std::string SpoolDirectoryOf(const std::u16string& spoolDirectory);

} // namespace pal::spool

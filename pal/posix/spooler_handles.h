// Internals of the simulated spooler shared by its source files: printer
// handles, the job store and the packing of *_INFO records into a caller's
// buffer.
#pragma once
#include "core.h"
#include "handles.h"
#include "palhost.h"
#include "spool_files.h"
#include "spooler_state.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace pal::spool {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};

// The right to write one document to an output file (spooler.cpp).
class PortClaim {
public:
    PortClaim(std::unique_lock<std::mutex>& held, std::string path);
    ~PortClaim();
    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

private:
    std::string m_path;
};

// A handle from OpenPrinterW: a printer, a job opened for reading, or a
// transceive channel of a port or a monitor.
class PrinterHandle : public Object {
public:
    enum class Kind { Printer, Job, XcvPort, XcvMonitor };

    std::string Describe() const override;

    Kind kind = Kind::Printer;
    std::u16string printer; // printer name as stored (Printer, Job)
    std::u16string target;  // port or monitor name (Xcv*)
    DWORD jobId = 0;        // Job
    // PRINTER_DEFAULTSW given to OpenPrinterW.
    std::u16string defaultDatatype;
    std::vector<uint8_t> defaultDevMode;
    ACCESS_MASK access = 0;

    // Everything below is guarded by lock.
    std::mutex lock;
    std::shared_ptr<const SpoolFile> jobData; // Job: its spool file
    uint64_t readPos = 0;
    struct Document {
        std::unique_ptr<PortClaim> claim; // first, so it is released after the file is closed
        std::shared_ptr<pal::host::PortDocument> record; // also in the port document list
        std::unique_ptr<char[]> buffer; // the file's stdio buffer, so it outlives the file
        std::unique_ptr<std::FILE, FileCloser> file;
        uint64_t written = 0;
        bool inPage = false;
    };
    std::unique_ptr<Document> doc; // between StartDocPrinterW and EndDocPrinter
};

std::shared_ptr<PrinterHandle> LookupPrinter(HANDLE h);

// ---- jobs ---------------------------------------------------------------------
struct Job {
    DWORD id = 0;
    std::u16string printer; // as stored in the registry
    pal::host::JobSpec request; // without its data, which lives in its spool file
    std::shared_ptr<SpoolFile> data;
    DWORD status = 0;
    std::vector<DWORD> commands;
    SYSTEMTIME submitted{};
    DWORD priority = 1;
    DWORD position = 0;
};
std::optional<Job> FindJob(DWORD id);
// Jobs queued on a printer (case-insensitive name).
DWORD CountJobs(std::u16string_view printer);
DWORD NewJobId();
DWORD CurrentJob();
bool JobDeleting(DWORD id);
void ResetJobs();

// ---- record packing -----------------------------------------------------------------
// Lays out a *_INFO record and the strings and device mode it points to in a
// caller's buffer: the record first, then the data behind it. Used twice:
// once to measure (no buffer), once to write.
class Packer {
public:
    Packer(LPBYTE buf, size_t fixedSize) : m_buf(buf), m_used(fixedSize) {}
    LPWSTR String(const std::u16string& s) {
        m_used = (m_used + 1) & ~size_t(1);
        size_t at = m_used;
        m_used += (s.size() + 1) * sizeof(char16_t);
        if (!m_buf) return nullptr;
        std::memcpy(m_buf + at, s.c_str(), (s.size() + 1) * sizeof(char16_t));
        return reinterpret_cast<LPWSTR>(m_buf + at);
    }
    LPDEVMODEW DevMode(const std::vector<uint8_t>& dm) {
        if (dm.empty()) return nullptr;
        m_used = (m_used + 7) & ~size_t(7);
        size_t at = m_used;
        m_used += dm.size();
        if (!m_buf) return nullptr;
        std::memcpy(m_buf + at, dm.data(), dm.size());
        return reinterpret_cast<LPDEVMODEW>(m_buf + at);
    }
    size_t Used() const { return m_used; }

private:
    LPBYTE m_buf;
    size_t m_used;
};

// Measures with fill(packer, scratch record), then fills the caller's buffer
// when it is large enough. Sets *pcbNeeded like GetPrinterW/GetJobW.
template <class Info, class Fill>
BOOL PackRecord(LPBYTE buf, DWORD cbBuf, LPDWORD pcbNeeded, Fill&& fill) {
    Info scratch{};
    Packer measure(nullptr, sizeof(Info));
    fill(measure, scratch);
    const size_t needed = measure.Used();
    if (pcbNeeded) *pcbNeeded = static_cast<DWORD>(needed);
    if (!buf || cbBuf < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memset(buf, 0, needed);
    Info* info = reinterpret_cast<Info*>(buf);
    Packer write(buf, sizeof(Info));
    fill(write, *info);
    return TRUE;
}


} // namespace pal::spool

// Jobs of the simulated spooler: the queue the host submits to, and GetJobW /
// SetJobW on it.
#include "faults.h"
#include "registry_store.h"
#include "spooler_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>

namespace pal::spool {
namespace {

constexpr DWORD kFirstJobId = 2;

struct JobStore {
    std::mutex lock;
    std::map<DWORD, Job> jobs;
    DWORD nextId = kFirstJobId;
};

JobStore& store() {
    static JobStore* s = std::make_unique<JobStore>().release(); // used until the process ends
    return *s;
}

thread_local DWORD t_currentJob = 0;

} // namespace

std::optional<Job> FindJob(DWORD id) {
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(id);
    if (it == s.jobs.end()) return std::nullopt;
    return it->second;
}

DWORD CountJobs(std::u16string_view printer) {
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    DWORD n = 0;
    for (const auto& [id, job] : s.jobs)
        if (pal::reg::EqualsNoCase(job.printer, printer)) ++n;
    return n;
}

DWORD NewJobId() {
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    return s.nextId++;
}

DWORD CurrentJob() { return t_currentJob; }

bool JobDeleting(DWORD id) {
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(id);
    return it != s.jobs.end() && (it->second.status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED));
}

void ResetJobs() {
    JobStore& s = store();
    std::map<DWORD, Job> gone;  // their spool files are removed outside the lock
    std::lock_guard<std::mutex> g(s.lock);
    gone.swap(s.jobs);
    s.nextId = kFirstJobId;
}

} // namespace pal::spool

namespace pal::host {

// Job storage: the job enters the queue as "spooling" while its spool file
// is written (a cancel then ends the submission), and is printable once
// committed. The spool file goes with the job.
DWORD BeginJob(const JobSpec& request, DWORD* error) {
    using namespace pal::spool;
    auto printer = FindPrinter(request.printer);
    if (!printer) {
        *error = ERROR_INVALID_PRINTER_NAME;
        return 0;
    }
    Job job;
    job.printer = printer->name;
    job.request = request;
    job.request.printer = printer->name;
    job.request.data.clear();
    job.priority = printer->priority;
    job.status = JOB_STATUS_SPOOLING;
    GetLocalTime(&job.submitted);
    const DWORD id = NewJobId();
    job.id = id;
    const std::string shadow = "printer=" + ToUtf8(job.printer) + "\ndocument=" + ToUtf8(request.document) +
                               "\ndatatype=" + ToUtf8(request.datatype) + "\nuser=" + ToUtf8(request.user) +
                               "\nparameters=" + ToUtf8(request.parameters) + "\n";
    job.data = SpoolFile::Create(SpoolDirectoryOf(printer->spoolDirectory), id, shadow, error);
    if (!job.data) return 0;
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    DWORD position = 1;
    for (const auto& [other, queued] : s.jobs)
        if (queued.printer == job.printer) ++position;
    job.position = position;
    s.jobs.emplace(id, std::move(job));
    return id;
}

namespace {
// The spool file of a job being submitted, or null (*error set) when the job
// is gone or was cancelled, in which case it is removed.
std::shared_ptr<pal::spool::SpoolFile> Spooling(DWORD jobId, DWORD* error) {
    using namespace pal::spool;
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(jobId);
    if (it == s.jobs.end() || !(it->second.status & JOB_STATUS_SPOOLING)) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (it->second.status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) {
        s.jobs.erase(it);
        *error = ERROR_PRINT_CANCELLED;
        return nullptr;
    }
    return it->second.data;
}
} // namespace

bool AppendJobData(DWORD jobId, std::span<const uint8_t> bytes, DWORD* error) {
    auto file = Spooling(jobId, error);
    if (!file) return false;
    if (file->Append(bytes, error)) return true;
    DeleteJob(jobId);
    return false;
}

bool AppendJobFile(DWORD jobId, std::FILE* from, uint64_t* bytes, DWORD* error) {
    *bytes = 0;
    const int fd = ::fileno(from);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *error = ERROR_READ_FAULT;
        DeleteJob(jobId);
        return false;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // A regular file is copied up to the size it had when the copy began; a
    // pipe or a terminal until its end.
    const bool regular = S_ISREG(st.st_mode);
    const uint64_t size = regular ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
    // Block by block, so that a cancel ends the submission within one block.
    constexpr size_t kBlock = 16u << 20;
    for (;;) {
        auto file = Spooling(jobId, error);
        if (!file) return false;
        if (*bytes >= size) return true;
        const int64_t got = file->AppendFrom(fd, static_cast<size_t>(std::min<uint64_t>(kBlock, size - *bytes)), error);
        if (got == 0 && !regular) return true;
        if (got <= 0) {
            // A regular file that ends early was cut short while it was read.
            if (got == 0) *error = ERROR_READ_FAULT;
            DeleteJob(jobId);
            return false;
        }
        *bytes += static_cast<uint64_t>(got);
    }
}

bool CommitJob(DWORD jobId, DWORD* error) {
    using namespace pal::spool;
    auto file = Spooling(jobId, error);
    if (!file) return false;
    if (!file->Finish(error)) {
        DeleteJob(jobId);
        return false;
    }
    JobStore& s = store();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(jobId);
    if (it == s.jobs.end()) {
        *error = ERROR_PRINT_CANCELLED;
        return false;
    }
    it->second.status &= ~static_cast<DWORD>(JOB_STATUS_SPOOLING);
    return true;
}

bool DeleteJob(DWORD jobId) {
    using namespace pal::spool;
    JobStore& s = store();
    std::shared_ptr<SpoolFile> file;  // removed outside the lock
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(jobId);
    if (it == s.jobs.end()) return false;
    file = std::move(it->second.data);
    s.jobs.erase(it);
    return true;
}

std::string JobSpoolFile(DWORD jobId) {
    auto job = pal::spool::FindJob(jobId);
    return job && job->data ? job->data->Path() : std::string();
}

DWORD SubmitJob(const JobSpec& request) {
    DWORD error = 0;
    const DWORD id = BeginJob(request, &error);
    if (id == 0) return 0;
    constexpr size_t kBlock = 1u << 20;
    for (size_t at = 0; at < request.data.size(); at += kBlock) {
        const auto block = std::span<const uint8_t>(request.data).subspan(at, std::min(kBlock, request.data.size() - at));
        if (!AppendJobData(id, block, &error)) return 0;
    }
    return CommitJob(id, &error) ? id : 0;
}

std::u16string JobReadName(DWORD jobId) {
    auto job = pal::spool::FindJob(jobId);
    std::u16string name = job ? job->printer : std::u16string();
    return name + u", Job " + FromUtf8(std::to_string(jobId));
}

std::optional<JobSpec> GetJobSpec(DWORD jobId) {
    auto job = pal::spool::FindJob(jobId);
    if (!job) return std::nullopt;
    JobSpec request = job->request;
    if (job->data) {
        request.data.resize(static_cast<size_t>(job->data->Size()));
        if (job->data->Read(0, request.data) != ERROR_SUCCESS) request.data.clear();
    }
    return request;
}

DWORD JobStatus(DWORD jobId) {
    auto job = pal::spool::FindJob(jobId);
    return job ? job->status : 0;
}

std::vector<DWORD> JobCommands(DWORD jobId) {
    auto job = pal::spool::FindJob(jobId);
    return job ? job->commands : std::vector<DWORD>();
}

void SetCurrentJob(DWORD jobId) { pal::spool::t_currentJob = jobId; }

} // namespace pal::host

using namespace pal::spool;
using pal::FailWith;
using pal::Guard;

static_assert(sizeof(JOB_INFO_1W) == 96);
static_assert(offsetof(JOB_INFO_1W, pPrinterName) == 8);
static_assert(offsetof(JOB_INFO_1W, Status) == 56);
static_assert(offsetof(JOB_INFO_1W, TotalPages) == 68);
static_assert(offsetof(JOB_INFO_1W, Submitted) == 76);
static_assert(offsetof(JOB_INFO_2W, pDevMode) == 80);
static_assert(offsetof(JOB_INFO_2W, Status) == 104);
static_assert(offsetof(JOB_INFO_2W, TotalPages) == 124);
static_assert(offsetof(JOB_INFO_2W, Size) == 128);
static_assert(offsetof(JOB_INFO_2W, Submitted) == 132);
static_assert(offsetof(JOB_INFO_2W, PagesPrinted) == 152);

PAL_API BOOL GetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD cbBuf, LPDWORD pcbNeeded) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!h || h->kind == PrinterHandle::Kind::XcvPort || h->kind == PrinterHandle::Kind::XcvMonitor)
            return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("GetJobW"); f.fail) return FailWith(f.error, FALSE);
        auto job = FindJob(JobId);
        if (!job || !pal::reg::EqualsNoCase(job->printer, h->printer)) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        auto printer = FindPrinter(job->printer);
        const std::u16string driver = printer ? printer->driver : std::u16string();
        const std::u16string printProcessor = printer ? printer->printProcessor : std::u16string();
        const pal::host::JobSpec& request = job->request;
        const DWORD size = job->data ? static_cast<DWORD>(job->data->Size()) : 0;

        if (Level == 1) {
            return PackRecord<JOB_INFO_1W>(pJob, cbBuf, pcbNeeded, [&](Packer& p, JOB_INFO_1W& i) {
                i.JobId = job->id;
                i.pPrinterName = p.String(job->printer);
                i.pMachineName = p.String(request.machine);
                i.pUserName = p.String(request.user);
                i.pDocument = p.String(request.document);
                i.pDatatype = p.String(request.datatype);
                i.pStatus = nullptr;
                i.Status = job->status;
                i.Priority = job->priority;
                i.Position = job->position;
                i.TotalPages = request.totalPages;
                i.PagesPrinted = 0;
                i.Submitted = job->submitted;
            });
        }
        if (Level == 2) {
            std::vector<uint8_t> devmode;
            if (size_t n = DevModeLength(request.devmode.data(), request.devmode.size()))
                devmode.assign(request.devmode.begin(), request.devmode.begin() + static_cast<ptrdiff_t>(n));
            else if (printer)
                devmode = DefaultDevMode(*printer);
            return PackRecord<JOB_INFO_2W>(pJob, cbBuf, pcbNeeded, [&](Packer& p, JOB_INFO_2W& i) {
                i.JobId = job->id;
                i.pDevMode = p.DevMode(devmode);
                i.pPrinterName = p.String(job->printer);
                i.pMachineName = p.String(request.machine);
                i.pUserName = p.String(request.user);
                i.pDocument = p.String(request.document);
                i.pNotifyName = p.String(request.user);
                i.pDatatype = p.String(request.datatype);
                i.pPrintProcessor = p.String(printProcessor);
                i.pParameters = p.String(request.parameters);
                i.pDriverName = p.String(driver);
                i.pStatus = nullptr;
                i.pSecurityDescriptor = nullptr;
                i.Status = job->status;
                i.Priority = job->priority;
                i.Position = job->position;
                i.TotalPages = request.totalPages;
                i.Size = size;
                i.Submitted = job->submitted;
            });
        }
        return FailWith(ERROR_INVALID_LEVEL, FALSE);
    });
}

PAL_API BOOL SetJobW(HANDLE hPrinter, DWORD JobId, DWORD Level, LPBYTE pJob, DWORD Command) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!h || h->kind == PrinterHandle::Kind::XcvPort || h->kind == PrinterHandle::Kind::XcvMonitor)
            return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("SetJobW"); f.fail) return FailWith(f.error, FALSE);
        if (Level > 2 || (Level && !pJob)) return FailWith(Level > 2 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER, FALSE);
        if (Command > JOB_CONTROL_LAST_PAGE_EJECTED) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        JobStore& s = store();
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.jobs.find(JobId);
        if (it == s.jobs.end() || !pal::reg::EqualsNoCase(it->second.printer, h->printer))
            return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        Job& job = it->second;
        if (Level == 1) {
            const auto* i = reinterpret_cast<const JOB_INFO_1W*>(pJob);
            if (i->pDocument) job.request.document = i->pDocument;
            if (i->pDatatype) job.request.datatype = i->pDatatype;
            job.priority = i->Priority;
            job.request.totalPages = i->TotalPages;
        } else if (Level == 2) {
            const auto* i = reinterpret_cast<const JOB_INFO_2W*>(pJob);
            if (i->pDocument) job.request.document = i->pDocument;
            if (i->pDatatype) job.request.datatype = i->pDatatype;
            if (i->pParameters) job.request.parameters = i->pParameters;
            job.priority = i->Priority;
            job.request.totalPages = i->TotalPages;
        }
        switch (Command) {
        case 0:
            break;
        case JOB_CONTROL_PAUSE:
            job.status |= JOB_STATUS_PAUSED;
            break;
        case JOB_CONTROL_RESUME:
            job.status &= ~static_cast<DWORD>(JOB_STATUS_PAUSED);
            break;
        case JOB_CONTROL_CANCEL:
        case JOB_CONTROL_DELETE:
            job.status |= JOB_STATUS_DELETING;
            break;
        case JOB_CONTROL_RESTART:
            job.status |= JOB_STATUS_RESTART;
            break;
        case JOB_CONTROL_SENT_TO_PRINTER:
            job.status |= JOB_STATUS_PRINTED;
            break;
        case JOB_CONTROL_LAST_PAGE_EJECTED:
            job.status |= JOB_STATUS_COMPLETE;
            break;
        }
        if (Command) job.commands.push_back(Command);
        return TRUE;
    });
}

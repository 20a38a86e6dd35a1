// The simulated view library of native printing, as a receiver does it.
//
// A native job is opened for a printer of this machine and receives the
// stream the print processor writes. At the end-of-data mark the stream is
// decoded the way a receiver decodes it (NativeReceiver: framing removed,
// cached references expanded, compressed bitmaps decoded, embedded fonts
// installed for the process) into an EMF spool file, which is submitted to
// the destination printer as an "NT EMF 1.008" job. The spooler then prints
// it with the print processor it has loaded (the same library that wrote the
// stream), on a printing thread of its own, so the job ends as the
// destination printer's ordinary output.
//
// Locking: the print processor calls these functions on its printing thread
// outside every call into the spooler, so submitting and printing the new
// job from inside a write takes no spooler lock twice. The job table has its
// own lock, never held while the spooler or the print processor runs.
#include "host/quilmon/ViewLibrary.h"

#include "host/quilmon/QuilmonRecord.h"
#include "palhost.h"
#include "port/QuilmonApi.h"
#include "tools/lib/NativeReceiver.h"

#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Error codes of the view library (pfnGetLastError).
constexpr DWORD VIEW_ERROR_BAD_PARAMETERS = ERROR_INVALID_PARAMETER;
constexpr DWORD VIEW_ERROR_NO_PRINTER = ERROR_INVALID_PRINTER_NAME;
constexpr DWORD VIEW_ERROR_BAD_HANDLE = ERROR_INVALID_HANDLE;
constexpr DWORD VIEW_ERROR_FAULT = ERROR_GEN_FAILURE;
constexpr DWORD VIEW_ERROR_BAD_STREAM = ERROR_INVALID_DATA;
constexpr DWORD VIEW_ERROR_SPOOLER = ERROR_SPL_NO_STARTDOC;
constexpr DWORD PUBLIC_DEVMODE_MIN = 68;  // up to dmFields

struct NativeJob {
    std::u16string destination;  // as the print processor named it
    std::u16string printer;      // the printer of this machine
    std::u16string document, user;
    DWORD options = 0;
    std::vector<uint8_t> devmode;  // public part of the job's device mode
    std::vector<uint8_t> stream;
    uint64_t received = 0;
    bool ended = false;
};

struct ViewState {
    std::mutex lock;
    std::map<HANDLE, std::unique_ptr<NativeJob>> jobs;
    DWORD fault = QUILMON_VIEW_FAULT_NONE;
    std::optional<std::u16string> faultPrinter;
    // The last error of each calling thread. Kept here rather than in
    // thread_local storage: the host unloads this library while its threads
    // live on, and an unloaded library's dynamic thread-local block is left
    // behind in every thread that touched it (the leak checker trips on it).
    std::mutex errorLock;
    std::map<std::thread::id, DWORD> lastErrors;
};

ViewState& State() {
    static ViewState* s = new ViewState;  // native jobs may end while statics are destroyed
    return *s;
}

DWORD Fail(DWORD error) {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.errorLock);
    s.lastErrors[std::this_thread::get_id()] = error;
    return error;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'A' && a[i] <= u'Z' ? char16_t(a[i] + 32) : a[i];
        char16_t y = b[i] >= u'A' && b[i] <= u'Z' ? char16_t(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

bool FaultHits(DWORD fault, const std::u16string& printer) {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.fault == fault && (!s.faultPrinter || EqualNoCase(*s.faultPrinter, printer));
}

std::u16string Text(LPCWSTR p) {
    return p ? std::u16string(p) : std::u16string();
}

// "\\server\printer" names a printer of this machine as "printer".
std::u16string LocalPrinterName(const std::u16string& name) {
    if (name.size() > 2 && name[0] == u'\\' && name[1] == u'\\') {
        const size_t sep = name.find(u'\\', 2);
        if (sep != std::u16string::npos) return name.substr(sep + 1);
    }
    return name;
}

// The user of "user[address]".
std::u16string UserOf(const std::u16string& text) {
    const size_t bracket = text.find(u'[');
    std::u16string user = bracket == std::u16string::npos ? text : text.substr(0, bracket);
    return user.empty() ? u"user" : user;
}

std::u16string Utf16(const std::string& s) {
    return pal::host::FromUtf8(s);
}

// The public part of the job's device mode, which the destination printer's
// driver understands; the gateway driver's private bytes stay behind.
std::vector<uint8_t> PublicDevmode(const DEVMODEW* pDevMode) {
    if (!pDevMode) return {};
    WORD dmSize = 0;
    std::memcpy(&dmSize, reinterpret_cast<const BYTE*>(pDevMode) + offsetof(DEVMODEW, dmSize), sizeof(dmSize));
    if (dmSize < PUBLIC_DEVMODE_MIN || dmSize > sizeof(DEVMODEW)) return {};
    std::vector<uint8_t> dm(reinterpret_cast<const uint8_t*>(pDevMode),
                            reinterpret_cast<const uint8_t*>(pDevMode) + dmSize);
    const WORD extra = 0;
    std::memcpy(dm.data() + offsetof(DEVMODEW, dmDriverExtra), &extra, sizeof(extra));
    return dm;
}

// Embedded fonts are installed for this process, as a receiver installs the
// fonts a job brought, so the pages render with them.
void InstallFonts(const qltools::DecodedNativeJob& decoded, DWORD jobId) {
    for (size_t i = 0; i < decoded.fonts.size(); ++i) {
        const std::u16string name = u"C:\\Windows\\Temp\\qlview-job" + Utf16(std::to_string(jobId)) + u"-font" +
                                    Utf16(std::to_string(i)) + u".ttf";
        const std::filesystem::path file = pal::host::MapPath(name);
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(decoded.fonts[i].file.data()),
                  static_cast<std::streamsize>(decoded.fonts[i].file.size()));
        out.close();
        if (out) AddFontResourceExW(name.c_str(), FR_PRIVATE, nullptr);
    }
}

// The spooler prints a job it was given: the print processor it has loaded
// runs the job on a printing thread that impersonates the job's user.
void PrintSubmittedJob(const NativeJob& job, DWORD jobId) {
    using POpen = HANDLE(WINAPI*)(LPWSTR, PPRINTPROCESSOROPENDATA);
    using PPrint = BOOL(WINAPI*)(HANDLE, LPWSTR);
    using PClose = BOOL(WINAPI*)(HANDLE);
    auto fail = [&](const std::string& why) {
        RecordQuilmonCall(QUILMON_FN_VIEW_PRINTED, job.destination.c_str(), Utf16(why).c_str(), jobId);
    };
    HMODULE hProcessor = GetModuleHandleW(WSTR("qlwinprn.dll"));
    auto entry = [hProcessor](const char* name) {
        return hProcessor ? reinterpret_cast<void*>(GetProcAddress(hProcessor, name)) : nullptr;
    };
    auto pOpen = reinterpret_cast<POpen>(entry("OpenPrintProcessor"));
    auto pPrint = reinterpret_cast<PPrint>(entry("PrintDocumentOnPrintProcessor"));
    auto pClose = reinterpret_cast<PClose>(entry("ClosePrintProcessor"));
    if (!pOpen || !pPrint || !pClose) return fail("queued, no print processor loaded");

    std::string outcome;
    std::thread printing([&] {
        std::u16string printer = job.printer, datatype = u"NT EMF 1.008", document = job.document;
        std::u16string readName = pal::host::JobReadName(jobId);
        std::vector<uint64_t> devmode((job.devmode.size() + 7) / 8);
        if (!job.devmode.empty()) std::memcpy(devmode.data(), job.devmode.data(), job.devmode.size());
        PRINTPROCESSOROPENDATA od{};
        od.pDevMode = job.devmode.empty() ? nullptr : reinterpret_cast<PDEVMODEW>(devmode.data());
        od.pDatatype = datatype.data();
        od.pDocumentName = document.data();
        od.JobId = jobId;
        od.pPrinterName = printer.data();

        pal::host::SetCurrentJob(jobId);
        pal::host::ImpersonateUser(job.user);
        HANDLE h = pOpen(printer.data(), &od);
        if (!h) {
            outcome = "failed, OpenPrintProcessor error " + std::to_string(GetLastError());
        } else {
            const BOOL ok = pPrint(h, readName.data());
            outcome = ok ? "printed" : "failed, error " + std::to_string(GetLastError());
            pClose(h);
        }
        pal::host::StopImpersonating();
        pal::host::SetCurrentJob(0);
    });
    printing.join();
    RecordQuilmonCall(QUILMON_FN_VIEW_PRINTED, job.destination.c_str(), Utf16(outcome).c_str(), jobId);
}

// End of data: decode, submit, print.
BOOL FinishJob(NativeJob& job) {
    const qltools::DecodedNativeJob decoded = qltools::DecodeNativeStream(job.stream);
    job.stream.clear();
    job.stream.shrink_to_fit();
    if (!decoded.ok) {
        RecordQuilmonCall(QUILMON_FN_VIEW_SUBMIT, job.destination.c_str(), Utf16(decoded.error).c_str(), 0);
        SetLastError(Fail(VIEW_ERROR_BAD_STREAM));
        return FALSE;
    }
    pal::host::JobSpec request;
    request.printer = job.printer;
    request.document = job.document;
    request.datatype = u"NT EMF 1.008";
    request.user = job.user;
    request.data = decoded.spool;
    request.devmode = job.devmode;
    request.totalPages = decoded.pages;
    const DWORD jobId = pal::host::SubmitJob(request);
    RecordQuilmonCall(QUILMON_FN_VIEW_SUBMIT, job.destination.c_str(),
                      jobId ? job.document.c_str() : u"the spooler refused the job", jobId);
    if (!jobId) {
        SetLastError(Fail(VIEW_ERROR_SPOOLER));
        return FALSE;
    }
    InstallFonts(decoded, jobId);
    PrintSubmittedJob(job, jobId);
    return TRUE;
}

HANDLE OpenJob(DWORD dwOptions, PVOID pParams) {
    const auto* p = static_cast<const AGNPOPENJOBPARAMS*>(pParams);
    if (!p || p->dwVersion != AGNP_OPENJOB_VERSION || !p->pDestination || !p->pDestination[0]) {
        SetLastError(Fail(VIEW_ERROR_BAD_PARAMETERS));
        return nullptr;
    }
    auto job = std::make_unique<NativeJob>();
    job->destination = p->pDestination;
    job->printer = LocalPrinterName(job->destination);
    job->document = Text(p->pDocumentName);
    job->user = UserOf(Text(p->pUserText));
    job->options = dwOptions;
    job->devmode = PublicDevmode(p->pDevMode);

    auto refuse = [&](DWORD error, const char16_t* why) -> HANDLE {
        RecordQuilmonCall(QUILMON_FN_VIEW_REFUSED, job->destination.c_str(), why, error);
        SetLastError(Fail(error));
        return nullptr;
    };
    if (FaultHits(QUILMON_VIEW_FAULT_OPEN, job->printer)) return refuse(VIEW_ERROR_FAULT, u"open fault armed");
    // Only a printer of this machine can take the job.
    HANDLE hPrinter = nullptr;
    std::u16string name = job->printer;
    if (!OpenPrinterW(name.data(), &hPrinter, nullptr)) return refuse(VIEW_ERROR_NO_PRINTER, u"no such printer");
    // A destination that prints natively itself would hand the job on again.
    WCHAR szValue[] = u"AGNP";
    WCHAR szTarget[MAX_PATH] = {};
    DWORD dwType = 0, cbNeeded = 0;
    const DWORD dwData = GetPrinterDataW(hPrinter, szValue, &dwType, reinterpret_cast<LPBYTE>(szTarget),
                                         sizeof(szTarget) - sizeof(WCHAR), &cbNeeded);
    ClosePrinter(hPrinter);
    if (dwData == ERROR_SUCCESS && szTarget[0])
        return refuse(ERROR_INVALID_PRINTER_STATE, u"the destination prints natively itself");

    RecordQuilmonCall(QUILMON_FN_VIEW_OPEN, job->destination.c_str(), job->document.c_str(), dwOptions);
    HANDLE h = reinterpret_cast<HANDLE>(job.get());
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.jobs.emplace(h, std::move(job));
    return h;
}

HANDLE WINAPI ViewOpenJob(HANDLE /*hJobReader*/, DWORD /*dwJobId*/, DWORD dwOptions, PVOID pParams) {
    try {
        return OpenJob(dwOptions, pParams);
    } catch (const std::exception&) {  // nothing may cross back into the print processor
        SetLastError(Fail(ERROR_NOT_ENOUGH_MEMORY));
        return nullptr;
    }
}

NativeJob* FindJob(HANDLE h) {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.jobs.find(h);
    return it == s.jobs.end() ? nullptr : it->second.get();
}

BOOL WINAPI ViewWriteJob(HANDLE hJob, LPCVOID pBuf, DWORD cbBuf) {
    NativeJob* job = FindJob(hJob);
    if (!job || job->ended) {
        SetLastError(Fail(VIEW_ERROR_BAD_HANDLE));
        return FALSE;
    }
    if (FaultHits(QUILMON_VIEW_FAULT_WRITE, job->printer)) {
        SetLastError(Fail(VIEW_ERROR_FAULT));
        return FALSE;
    }
    if (!pBuf && cbBuf == 0) {
        job->ended = true;
        try {
            return FinishJob(*job);
        } catch (const std::exception&) {  // nothing may cross back into the print processor
            SetLastError(Fail(ERROR_NOT_ENOUGH_MEMORY));
            return FALSE;
        }
    }
    if (!pBuf) {
        SetLastError(Fail(VIEW_ERROR_BAD_PARAMETERS));
        return FALSE;
    }
    try {
        const auto* p = static_cast<const uint8_t*>(pBuf);
        job->stream.insert(job->stream.end(), p, p + cbBuf);
        job->received += cbBuf;
    } catch (const std::bad_alloc&) {
        SetLastError(Fail(ERROR_NOT_ENOUGH_MEMORY));
        return FALSE;
    }
    return TRUE;
}

void WINAPI ViewCloseJob(HANDLE hJob) {
    std::unique_ptr<NativeJob> job;
    {
        ViewState& s = State();
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.jobs.find(hJob);
        if (it == s.jobs.end()) return;
        job = std::move(it->second);
        s.jobs.erase(it);
    }
    try {
        RecordQuilmonCall(QUILMON_FN_VIEW_CLOSE, job->destination.c_str(), u"", static_cast<DWORD>(job->received));
    } catch (const std::exception&) {  // the record is lost, the job is closed all the same
    }
}

DWORD WINAPI ViewGetLastError() {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.errorLock);
    auto it = s.lastErrors.find(std::this_thread::get_id());
    return it == s.lastErrors.end() ? 0 : it->second;
}

AGNPINTERFACE g_table = {sizeof(AGNPINTERFACE), ViewOpenJob, ViewWriteJob, ViewCloseJob, ViewGetLastError};
AGNPINTERFACE g_shortTable = {32, ViewOpenJob, ViewWriteJob, ViewCloseJob, nullptr};

} // namespace

void* ViewLibraryTable() {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.fault == QUILMON_VIEW_FAULT_NO_TABLE) return nullptr;
    return s.fault == QUILMON_VIEW_FAULT_SHORT_TABLE ? &g_shortTable : &g_table;
}

void SetViewLibraryFault(DWORD dwFault, LPCWSTR pPrinter) {
    ViewState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.fault = dwFault;
    s.faultPrinter = pPrinter ? std::optional<std::u16string>(pPrinter) : std::nullopt;
}

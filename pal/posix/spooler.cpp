// The simulated spooler: printer handles and the channels of ports and
// monitors (OpenPrinterW, XcvDataW), reading spooled jobs (ReadPrinter) and
// documents written to ports (StartDocPrinterW .. EndDocPrinter). A port's
// output goes to one file per port in the host's output directory.
#include "faults.h"
#include "registry_store.h"
#include "security_internal.h"
#include "spooler_handles.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace pal::spool {
namespace {

// Port files are written through a buffer of this size: print processors
// write in small pieces, and one system call per piece costs more than the
// bytes themselves. The document's bytes are all in the file when it ends.
constexpr size_t kPortFileBuffer = 256u << 10;

struct PortState {
    std::mutex lock;
    std::string outputDirectory; // empty = <drive root>/ports
    std::set<std::string> portFilesStarted; // files truncated by their first document
    std::vector<std::shared_ptr<pal::host::PortDocument>> documents;
    // Output files with a document open: the thread writing it and how many
    // documents that thread has open there (see PortClaim).
    std::map<std::string, std::pair<std::thread::id, unsigned>> busy;
    std::condition_variable portFree;
};

PortState& ports() {
    static PortState* s = std::make_unique<PortState>().release(); // used until the process ends
    return *s;
}

std::string SanitisedPortName(std::u16string_view port) {
    std::string out;
    for (char16_t c : port) {
        bool keep = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'.' ||
                    c == u'_' || c == u'-';
        out += keep ? static_cast<char>(c) : '_';
    }
    return out;
}

std::u16string MonitorPortsKey(const std::u16string& monitor) {
    std::u16string key(kMonitorsKey);
    key += u'\\';
    key += monitor;
    key += u"\\Ports";
    return key;
}

// Where the port is listed under a monitor: the monitor's Ports key and the
// port's stored name.
std::optional<std::pair<std::u16string, std::u16string>> FindMonitorPort(std::u16string_view port) {
    auto monitors = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, kMonitorsKey);
    if (!monitors) return std::nullopt;
    for (const auto& monitor : *monitors) {
        std::u16string key = MonitorPortsKey(monitor);
        auto names = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, key);
        if (!names) continue;
        for (const auto& n : *names)
            if (pal::reg::EqualsNoCase(n, port)) return std::make_pair(key, n);
    }
    return std::nullopt;
}

// A port exists when a monitor lists it or a printer prints to it.
bool PortExists(std::u16string_view port) {
    if (port.empty()) return false;
    if (FindMonitorPort(port)) return true;
    for (const auto& name : pal::host::PrinterNames()) {
        auto p = FindPrinter(name);
        if (p && pal::reg::EqualsNoCase(p->port, port)) return true;
    }
    return false;
}

// The port monitor's answer to "GetPortType": the port's "PortType" value.
std::optional<std::u16string> PortType(std::u16string_view port) {
    auto where = FindMonitorPort(port);
    if (!where) return std::nullopt;
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, where->first + u'\\' + where->second, u"PortType");
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return std::nullopt;
    return pal::reg::ValueText(*v);
}

bool IsHandleKind(const std::shared_ptr<PrinterHandle>& h, PrinterHandle::Kind kind) { return h && h->kind == kind; }

// "<printer>, Job <id>": the printer part and the id, when name has that form.
std::optional<std::pair<std::u16string_view, DWORD>> ParseJobName(std::u16string_view name) {
    constexpr std::u16string_view kJob = u", Job ";
    size_t at = name.rfind(kJob);
    if (at == std::u16string_view::npos) return std::nullopt;
    std::u16string_view digits = name.substr(at + kJob.size());
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    DWORD id = 0;
    for (char16_t c : digits) {
        if (c < u'0' || c > u'9') return std::nullopt;
        id = id * 10 + static_cast<DWORD>(c - u'0');
    }
    return std::make_pair(name.substr(0, at), id);
}

void UpdateRecord(const std::shared_ptr<pal::host::PortDocument>& record, uint64_t bytes, bool ended) {
    PortState& s = ports();
    std::lock_guard<std::mutex> g(s.lock);
    record->bytes = bytes;
    record->ended = ended;
}

// One WritePrinter call: the bytes it was offered and the document's new total.
void RecordWrite(const std::shared_ptr<pal::host::PortDocument>& record, uint64_t offered, uint64_t bytes) {
    PortState& s = ports();
    std::lock_guard<std::mutex> g(s.lock);
    record->writeSizes.push_back(offered);
    record->bytes = bytes;
}

} // namespace

// A port takes one document at a time, as a real port does: a document for an
// output file that another thread is writing waits in StartDocPrinterW until
// that document ends, so documents never interleave in the file. The thread
// that holds the port may start another document there (device contexts end
// their document through the spooler while the job has its own open).
// Called with ports().lock held through `held`.
PortClaim::PortClaim(std::unique_lock<std::mutex>& held, std::string path) : m_path(std::move(path)) {
    PortState& s = ports();
    const auto self = std::this_thread::get_id();
    s.portFree.wait(held, [&] {
        auto it = s.busy.find(m_path);
        return it == s.busy.end() || it->second.first == self;
    });
    auto& [owner, depth] = s.busy[m_path];
    owner = self;
    ++depth;
}

PortClaim::~PortClaim() {
    PortState& s = ports();
    {
        std::lock_guard<std::mutex> g(s.lock);
        auto it = s.busy.find(m_path);
        if (it != s.busy.end() && --it->second.second == 0) s.busy.erase(it);
    }
    s.portFree.notify_all();
}

std::string PrinterHandle::Describe() const {
    using pal::host::ToUtf8;
    switch (kind) {
    case Kind::Printer:
        return "printer " + ToUtf8(printer);
    case Kind::Job:
        return "printer job " + ToUtf8(printer) + ", Job " + std::to_string(jobId);
    case Kind::XcvPort:
        return "xcv port " + ToUtf8(target);
    case Kind::XcvMonitor:
        return "xcv monitor " + ToUtf8(target);
    }
    return "printer";
}

std::shared_ptr<PrinterHandle> LookupPrinter(HANDLE h) { return pal::LookupHandle<PrinterHandle>(h); }

} // namespace pal::spool

namespace pal::host {

void SetOutputDirectory(const std::string& dir) {
    auto& s = pal::spool::ports();
    std::lock_guard<std::mutex> g(s.lock);
    s.outputDirectory = dir;
}

std::string OutputDirectory() {
    {
        auto& s = pal::spool::ports();
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.outputDirectory.empty()) return s.outputDirectory;
    }
    return DriveRoot() + "/ports";
}

std::vector<PortDocument> PortDocuments() {
    auto& s = pal::spool::ports();
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<PortDocument> out;
    out.reserve(s.documents.size());
    for (const auto& d : s.documents) out.push_back(*d);
    return out;
}

void ForgetPortDocuments(DWORD jobId) {
    auto& s = pal::spool::ports();
    std::lock_guard<std::mutex> g(s.lock);
    std::erase_if(s.documents, [&](const auto& d) { return d->jobId == jobId; });
}

std::vector<uint8_t> PortDocumentBytes(const PortDocument& doc) {
    std::vector<uint8_t> out;
    std::unique_ptr<std::FILE, pal::spool::FileCloser> f(std::fopen(doc.outputPath.c_str(), "rb"));
    if (!f || std::fseek(f.get(), static_cast<long>(doc.offset), SEEK_SET) != 0) return out;
    out.resize(doc.bytes);
    out.resize(std::fread(out.data(), 1, out.size(), f.get()));
    return out;
}

void ResetSpooler() {
    pal::spool::ResetJobs();
    {
        auto& s = pal::spool::ports();
        std::lock_guard<std::mutex> g(s.lock);
        s.documents.clear();
        s.portFilesStarted.clear();
        s.busy.clear();  // a document a leaked handle keeps open holds no port any more
    }
    pal::spool::ports().portFree.notify_all();
    pal::faults::Clear();
    pal::gdi::ResetRecords();
    TakeDebugOutput();
    TakeMessageBoxes();
}

} // namespace pal::host

using namespace pal::spool;
using pal::FailWith;
using pal::Guard;

static_assert(sizeof(PRINTER_DEFAULTSW) == 24);
static_assert(offsetof(PRINTER_DEFAULTSW, pDevMode) == 8);
static_assert(offsetof(PRINTER_DEFAULTSW, DesiredAccess) == 16);
static_assert(offsetof(DOC_INFO_1W, pOutputFile) == 8);
static_assert(offsetof(DOC_INFO_1W, pDatatype) == 16);

PAL_API BOOL OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!phPrinter) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        *phPrinter = nullptr;
        pal::security::NoteSpoolerCall("OpenPrinterW", pPrinterName);
        if (auto f = pal::faults::Check("OpenPrinterW"); f.fail) return FailWith(f.error, FALSE);
        if (!pPrinterName) return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
        std::u16string_view name(pPrinterName);
        // "\\server\..." — every server is this machine.
        if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\') {
            size_t sep = name.find(u'\\', 2);
            if (sep == std::u16string_view::npos) return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
            name.remove_prefix(sep + 1);
        }
        auto h = std::make_shared<PrinterHandle>();
        constexpr std::u16string_view kXcvPort = u",XcvPort ";
        constexpr std::u16string_view kXcvMonitor = u",XcvMonitor ";
        if (name.substr(0, kXcvPort.size()) == kXcvPort) {
            h->kind = PrinterHandle::Kind::XcvPort;
            h->target = std::u16string(name.substr(kXcvPort.size()));
            if (!PortExists(h->target)) return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
        } else if (name.substr(0, kXcvMonitor.size()) == kXcvMonitor) {
            h->kind = PrinterHandle::Kind::XcvMonitor;
            h->target = std::u16string(name.substr(kXcvMonitor.size()));
            std::u16string key(kMonitorsKey);
            key += u'\\';
            key += h->target;
            if (h->target.empty() || !pal::reg::KeyExists(HKEY_LOCAL_MACHINE, key))
                return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
        } else if (auto jobName = ParseJobName(name)) {
            auto printer = FindPrinter(jobName->first);
            auto job = FindJob(jobName->second);
            if (!printer || !job || job->printer != printer->name || (job->status & JOB_STATUS_SPOOLING))
                return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
            h->kind = PrinterHandle::Kind::Job;
            h->printer = printer->name;
            h->jobId = job->id;
            h->jobData = job->data;
        } else {
            auto printer = FindPrinter(name);
            if (!printer) return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
            h->kind = PrinterHandle::Kind::Printer;
            h->printer = printer->name;
        }
        if (pDefault) {
            if (pDefault->pDatatype) h->defaultDatatype = pDefault->pDatatype;
            if (pDefault->pDevMode) {
                const auto* dm = pDefault->pDevMode;
                size_t n = DevModeLength(dm, size_t(dm->dmSize) + dm->dmDriverExtra);
                if (!n) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
                const auto* bytes = reinterpret_cast<const uint8_t*>(dm);
                h->defaultDevMode.assign(bytes, bytes + n);
            }
            h->access = pDefault->DesiredAccess;
        }
        *phPrinter = pal::RegisterHandle(std::move(h));
        return TRUE;
    });
}

PAL_API BOOL ClosePrinter(HANDLE hPrinter) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!LookupPrinter(hPrinter)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("ClosePrinter"); f.fail) return FailWith(f.error, FALSE);
        // A document left open keeps ended == false in its record.
        return pal::RemoveHandleOf<PrinterHandle>(hPrinter) ? TRUE : FailWith(ERROR_INVALID_HANDLE, FALSE);
    });
}

PAL_API BOOL ReadPrinter(HANDLE hPrinter, LPVOID pBuf, DWORD cbBuf, LPDWORD pNoBytesRead) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!pNoBytesRead) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        *pNoBytesRead = 0;
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Job)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        std::lock_guard<std::mutex> g(h->lock);
        const uint64_t size = h->jobData->Size();
        const uint64_t want = std::min<uint64_t>(cbBuf, size - std::min(h->readPos, size));
        if (want && !pBuf) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        auto f = pal::faults::CheckTransfer("ReadPrinter", h->readPos, want);
        const uint64_t n = f.limited ? std::min(want, f.limit) : want;
        // The spool file may have vanished or been cut short under the reader.
        if (const DWORD e = h->jobData->Read(h->readPos, std::span<uint8_t>(static_cast<uint8_t*>(pBuf), n)))
            return FailWith(e, FALSE);
        h->readPos += n;
        *pNoBytesRead = static_cast<DWORD>(n);
        return f.fail ? FailWith(f.error, FALSE) : TRUE;
    });
}

PAL_API DWORD StartDocPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pDocInfo) {
    return Guard<DWORD>(0, [&]() -> DWORD {
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Printer)) return FailWith(ERROR_INVALID_HANDLE, 0u);
        if (auto f = pal::faults::Check("StartDocPrinterW"); f.fail) return FailWith(f.error, 0u);
        if (Level != 1) return FailWith(ERROR_INVALID_LEVEL, 0u);
        if (!pDocInfo) return FailWith(ERROR_INVALID_PARAMETER, 0u);
        const auto* info = reinterpret_cast<const DOC_INFO_1W*>(pDocInfo);
        auto printer = FindPrinter(h->printer);
        if (!printer) return FailWith(ERROR_INVALID_PRINTER_NAME, 0u);

        std::lock_guard<std::mutex> g(h->lock);
        if (h->doc) return FailWith(ERROR_INVALID_PRINTER_STATE, 0u);
        auto record = std::make_shared<pal::host::PortDocument>();
        record->printer = printer->name;
        record->port = printer->port;
        record->document = info->pDocName ? info->pDocName : u"";
        record->datatype = info->pDatatype ? std::u16string(info->pDatatype) : h->defaultDatatype;
        record->jobId = CurrentJob();
        // An output file in the document information replaces the port.
        std::filesystem::path path = info->pOutputFile && info->pOutputFile[0]
                                         ? std::filesystem::path(pal::host::MapPath(info->pOutputFile))
                                         : std::filesystem::path(pal::host::OutputDirectory()) /
                                               SanitisedPortName(printer->port);
        std::error_code ec;
        if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
        record->outputPath = path.string();

        auto doc = std::make_unique<PrinterHandle::Document>();
        {
            PortState& s = ports();
            std::unique_lock<std::mutex> pg(s.lock);
            doc->claim = std::make_unique<PortClaim>(pg, record->outputPath);
            bool first = s.portFilesStarted.insert(record->outputPath).second;
            doc->file.reset(std::fopen(record->outputPath.c_str(), first ? "wb" : "ab"));
            if (!doc->file) {
                if (first) s.portFilesStarted.erase(record->outputPath);
                return FailWith(ERROR_CANTWRITE, 0u);
            }
            doc->buffer = std::make_unique_for_overwrite<char[]>(kPortFileBuffer);
            std::setvbuf(doc->file.get(), doc->buffer.get(), _IOFBF, kPortFileBuffer);
            std::fseek(doc->file.get(), 0, SEEK_END);
            long at = std::ftell(doc->file.get());
            record->offset = at > 0 ? static_cast<uint64_t>(at) : 0;
            s.documents.push_back(record);
        }
        doc->record = record;
        h->doc = std::move(doc);
        return record->jobId ? record->jobId : NewJobId();
    });
}

PAL_API BOOL WritePrinter(HANDLE hPrinter, LPVOID pBuf, DWORD cbBuf, LPDWORD pcWritten) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!pcWritten) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        *pcWritten = 0;
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Printer)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        std::lock_guard<std::mutex> g(h->lock);
        if (!h->doc) return FailWith(ERROR_SPL_NO_STARTDOC, FALSE);
        if (cbBuf && !pBuf) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        auto& doc = *h->doc;
        if (doc.record->jobId && JobDeleting(doc.record->jobId)) return FailWith(ERROR_PRINT_CANCELLED, FALSE);
        auto f = pal::faults::CheckTransfer("WritePrinter", doc.written, cbBuf);
        const uint64_t n = f.limited ? std::min<uint64_t>(cbBuf, f.limit) : cbBuf;
        const size_t put = n ? std::fwrite(pBuf, 1, n, doc.file.get()) : 0;
        const bool ok = put == n;
        doc.written += put;
        RecordWrite(doc.record, cbBuf, doc.written);
        *pcWritten = static_cast<DWORD>(put);
        if (!ok) return FailWith(ERROR_WRITE_FAULT, FALSE);
        return f.fail ? FailWith(f.error, FALSE) : TRUE;
    });
}

PAL_API BOOL EndDocPrinter(HANDLE hPrinter) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Printer)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("EndDocPrinter"); f.fail) return FailWith(f.error, FALSE);
        std::lock_guard<std::mutex> g(h->lock);
        if (!h->doc) return FailWith(ERROR_SPL_NO_STARTDOC, FALSE);
        // Closing writes what the buffer still holds; a failure there is the
        // document's last write failing.
        const bool flushed = std::fclose(h->doc->file.release()) == 0;
        UpdateRecord(h->doc->record, h->doc->written, true);
        h->doc.reset();
        return flushed ? TRUE : FailWith(ERROR_WRITE_FAULT, FALSE);
    });
}

PAL_API BOOL StartPagePrinter(HANDLE hPrinter) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Printer)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("StartPagePrinter"); f.fail) return FailWith(f.error, FALSE);
        std::lock_guard<std::mutex> g(h->lock);
        if (!h->doc) return FailWith(ERROR_SPL_NO_STARTDOC, FALSE);
        h->doc->inPage = true;
        return TRUE;
    });
}

PAL_API BOOL EndPagePrinter(HANDLE hPrinter) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!IsHandleKind(h, PrinterHandle::Kind::Printer)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (auto f = pal::faults::Check("EndPagePrinter"); f.fail) return FailWith(f.error, FALSE);
        std::lock_guard<std::mutex> g(h->lock);
        if (!h->doc) return FailWith(ERROR_SPL_NO_STARTDOC, FALSE);
        h->doc->inPage = false;
        return TRUE;
    });
}

PAL_API BOOL XcvDataW(HANDLE hXcv, PCWSTR pszDataName, PBYTE /*pInputData*/, DWORD /*cbInputData*/,
                      PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded, PDWORD pdwStatus) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hXcv);
        if (!IsHandleKind(h, PrinterHandle::Kind::XcvPort) && !IsHandleKind(h, PrinterHandle::Kind::XcvMonitor))
            return FailWith(ERROR_INVALID_HANDLE, FALSE);
        pal::security::NoteSpoolerCall("XcvDataW", h->target.c_str(), pszDataName);
        if (!pcbOutputNeeded || !pdwStatus) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (auto f = pal::faults::Check("XcvDataW"); f.fail) return FailWith(f.error, FALSE);
        *pcbOutputNeeded = 0;
        if (h->kind == PrinterHandle::Kind::XcvPort && pszDataName && std::u16string_view(pszDataName) == u"GetPortType") {
            auto type = PortType(h->target);
            if (!type) {
                *pdwStatus = ERROR_NOT_SUPPORTED; // a port of a monitor that has no such command
                return TRUE;
            }
            const DWORD needed = static_cast<DWORD>((type->size() + 1) * sizeof(char16_t));
            *pcbOutputNeeded = needed;
            if (!pOutputData || cbOutputData < needed) {
                *pdwStatus = ERROR_INSUFFICIENT_BUFFER;
                return TRUE;
            }
            std::memcpy(pOutputData, type->c_str(), needed);
            *pdwStatus = ERROR_SUCCESS;
            return TRUE;
        }
        *pdwStatus = ERROR_INVALID_PARAMETER;
        return TRUE;
    });
}

#include "host/Machine.h"
#include "host/EntryPoints.h"
#include "host/DefaultMachine.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <type_traits>

namespace fs = std::filesystem;

namespace qlhost {

namespace {

constexpr DWORD kHandleSignature = 0x5051;

// The job handle the print processor returns points at its job record, which
// begins with three u32 fields: the signature 0x5051 while the handle is
// valid, the record size and the status bits that ControlPrintProcessor sets.
// The host reads the status to show that a control command reached the job.
struct JobRecordHead {
    DWORD dwSignature;
    DWORD cbSize;
    DWORD fsStatus;
};
static_assert(sizeof(JobRecordHead) == 12);
static_assert(offsetof(JobRecordHead, dwSignature) == 0);
static_assert(offsetof(JobRecordHead, cbSize) == 4);
static_assert(offsetof(JobRecordHead, fsStatus) == 8);

} // namespace

std::optional<DWORD> ReadHandleStatus(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return std::nullopt;
    auto* head = static_cast<JobRecordHead*>(h);
    // The printing thread changes the status concurrently: read atomically.
    if (__atomic_load_n(&head->dwSignature, __ATOMIC_ACQUIRE) != kHandleSignature) return std::nullopt;
    if (__atomic_load_n(&head->cbSize, __ATOMIC_RELAXED) < sizeof(JobRecordHead)) return std::nullopt;
    return __atomic_load_n(&head->fsStatus, __ATOMIC_ACQUIRE);
}

namespace {

// GetProcAddress with the export's real type.
template <class F>
F ProcAddress(HMODULE h, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(h, name)));
}

std::vector<WCHAR> Mutable(const std::u16string& s) {
    std::vector<WCHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

// Reads a REG_SZ value under HKEY_LOCAL_MACHINE; "" when missing.
std::u16string RegString(const std::u16string& key, const std::u16string& name) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return {};
    std::vector<WCHAR> buf(1024, 0);
    DWORD type = 0;
    DWORD cb = static_cast<DWORD>((buf.size() - 1) * sizeof(WCHAR));
    const LONG rc = RegQueryValueExW(hKey, name.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()), &cb);
    RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
    const size_t cch = std::min<size_t>(cb / sizeof(WCHAR), buf.size() - 1);
    std::u16string value(buf.data(), cch);
    const size_t nul = value.find(u'\0');
    if (nul != std::u16string::npos) value.resize(nul);
    return value;
}

uint64_t FileSize(const std::string& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<uint64_t>(size);
}

// A string inside a buffer the library filled: the pointer must lie in the
// buffer and the string must end before the buffer does.
std::optional<std::u16string> StringInBuffer(const void* base, size_t cb, const WCHAR* p) {
    const auto* begin = static_cast<const uint8_t*>(base);
    const auto* at = reinterpret_cast<const uint8_t*>(p);
    if (p == nullptr || at < begin || at >= begin + cb) return std::nullopt;
    const size_t maxChars = static_cast<size_t>(begin + cb - at) / sizeof(WCHAR);
    std::u16string s;
    for (size_t i = 0; i < maxChars; ++i) {
        WCHAR c;
        std::memcpy(&c, at + i * sizeof(WCHAR), sizeof(WCHAR));
        if (c == 0) return s;
        s.push_back(c);
    }
    return std::nullopt;
}

constexpr uint8_t kStreamMarker[] = {'%', '%', 'E', 'M', 'F'};

bool MarkerAt(std::span<const uint8_t> bytes, uint64_t at) {
    return at <= bytes.size() && bytes.size() - at >= sizeof(kStreamMarker) &&
           std::memcmp(bytes.data() + at, kStreamMarker, sizeof(kStreamMarker)) == 0;
}

} // namespace

std::vector<TransportStream> InspectTransportStreams(std::span<const uint8_t> output) {
    std::vector<TransportStream> streams;
    if (!MarkerAt(output, 0)) return streams;
    uint64_t from = 0;
    while (from < output.size()) {
        const std::span<const uint8_t> rest = output.subspan(static_cast<size_t>(from));
        qltools::InspectReport report = qltools::InspectStream(rest);
        // The next copy's marker reads as a bad record or block header.
        const uint64_t end = report.errorOffset;
        if (!report.ok && end > 0 && MarkerAt(rest, end)) {
            streams.push_back({from, qltools::InspectStream(rest.first(static_cast<size_t>(end)))});
            from += end;
            continue;
        }
        streams.push_back({from, std::move(report)});
        break;
    }
    // The image cache lives for the whole document, so a later copy's
    // references may lead into an earlier copy: resolve them over all copies.
    if (streams.size() > 1) {
        qltools::InspectOptions options;
        options.allCopies = true;
        const qltools::InspectReport whole = qltools::InspectStream(output, options);
        for (size_t i = 0; i < streams.size(); ++i) {
            auto& report = streams[i].report;
            report.references.clear();
            report.resolvedReferences = 0;
            for (const auto& ref : whole.references) {
                if (ref.copy != i) continue;
                report.references.push_back(ref);
                if (ref.problem.empty()) ++report.resolvedReferences;
            }
        }
    }
    return streams;
}

std::string ExecutableDirectory() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path().string();
    return exe.parent_path().string();
}

std::unique_ptr<Machine> Machine::Create(const MachineOptions& options, std::string* error) {
    std::unique_ptr<Machine> m(new Machine());  // private constructor
    std::error_code ec;
    const fs::path root = fs::absolute(options.driveRoot.empty() ? fs::path("qlspool-machine")
                                                                 : fs::path(options.driveRoot), ec);
    m->m_driveRoot = root.lexically_normal().string();
    m->m_outputDir = options.outputDir.empty() ? (root / "ports").lexically_normal().string()
                                               : fs::absolute(options.outputDir, ec).lexically_normal().string();
    m->m_moduleDir = options.moduleDir.empty() ? ExecutableDirectory() : options.moduleDir;

    pal::host::ResetSpooler();
    pal::host::ClearRegistry();
    if (!options.registryOnly) {
        for (const std::string& dir : {m->m_driveRoot, m->m_outputDir}) {
            fs::create_directories(dir, ec);
            if (!fs::is_directory(dir)) {
                *error = "cannot create directory " + dir;
                return nullptr;
            }
        }
        pal::host::SetDriveRoot(m->m_driveRoot);
        pal::host::SetOutputDirectory(m->m_outputDir);
        pal::host::SetModuleDirectory(m->m_moduleDir);
    }

    bool ok;
    if (options.machineFile.empty()) {
        ok = pal::host::LoadRegistryText(DefaultMachineReg(), kDefaultMachineName, error);
    } else if (!fs::is_regular_file(options.machineFile, ec)) {
        *error = options.machineFile + ": cannot open machine file";
        return nullptr;
    } else {
        ok = pal::host::LoadRegistryFile(options.machineFile, error);
    }
    if (!ok) return nullptr;
    if (options.registryOnly) {
        m->m_registryOnly = true;
        return m;
    }

    if (options.machineFile.empty() && !PrepareDefaultMachineFiles()) {
        *error = "cannot write the built-in machine's files under " + m->m_driveRoot;
        return nullptr;
    }

    // Spool directories of the printers (temporary spool files go there).
    for (const std::u16string& name : pal::host::PrinterNames()) {
        const std::u16string spoolDir = RegString(
            u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + name, u"SpoolDirectory");
        if (!spoolDir.empty()) fs::create_directories(pal::host::MapPath(spoolDir), ec);
    }

    const std::u16string logFile = RegString(u"SOFTWARE\\Quillon\\QLWinPrn", u"DebugFile");
    if (!logFile.empty()) {
        m->m_logFile = logFile;
        m->m_logPath = pal::host::MapPath(logFile);
        m->m_logOffset = FileSize(m->m_logPath);
    }
    return m;
}

Machine::~Machine() {
    UnloadPrintProcessor();
}

bool Machine::LoadPrintProcessor(std::string* error) {
    if (m_hProcessor) return true;
    if (m_registryOnly) {
        *error = "the machine was set up without its directories";
        return false;
    }
    // The spooler has the port monitor loaded before any print processor
    // asks for it.
    m_hMonitor = LoadLibraryW(QUILMON_DLL);
    if (!m_hMonitor) {
        *error = "cannot load quilmon.dll from " + m_moduleDir + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    m_hProcessor = LoadLibraryW(WSTR("qlwinprn.dll"));
    if (!m_hProcessor) {
        *error = "cannot load qlwinprn.dll from " + m_moduleDir + " (error " + std::to_string(GetLastError()) + ")";
        UnloadPrintProcessor();
        return false;
    }
    PrintProcessorEntries e;
    const char* missing = nullptr;
    auto resolve = [&](auto& slot, const char* name) {
        slot = ProcAddress<std::remove_reference_t<decltype(slot)>>(m_hProcessor, name);
        if (!slot && !missing) missing = name;
    };
    resolve(e.OpenPrintProcessor, "OpenPrintProcessor");
    resolve(e.PrintDocumentOnPrintProcessor, "PrintDocumentOnPrintProcessor");
    resolve(e.ControlPrintProcessor, "ControlPrintProcessor");
    resolve(e.ClosePrintProcessor, "ClosePrintProcessor");
    resolve(e.EnumPrintProcessorDatatypesW, "EnumPrintProcessorDatatypesW");
    resolve(e.GetPrintProcessorCapabilities, "GetPrintProcessorCapabilities");
    resolve(e.InstallPrintProcessor, "InstallPrintProcessor");
    if (missing) {
        *error = std::string("qlwinprn.dll does not export ") + missing;
        UnloadPrintProcessor();
        return false;
    }
    m_entries = e;
    return true;
}

void Machine::UnloadPrintProcessor() {
    m_entries = PrintProcessorEntries{};
    if (m_hProcessor) {
        FreeLibrary(m_hProcessor);
        m_hProcessor = nullptr;
    }
    if (m_hMonitor) {
        FreeLibrary(m_hMonitor);
        m_hMonitor = nullptr;
    }
}

std::vector<std::string> Machine::TakeLogLines() {
    std::vector<std::string> lines;
    if (m_logPath.empty()) return lines;
    const uint64_t size = FileSize(m_logPath);
    if (size < m_logOffset) m_logOffset = 0;  // the log was started anew
    if (size == m_logOffset) return lines;
    std::ifstream in(m_logPath, std::ios::binary);
    if (!in) return lines;
    in.seekg(static_cast<std::streamoff>(m_logOffset));
    std::string chunk(static_cast<size_t>(size - m_logOffset), '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<size_t>(in.gcount()));
    // Only whole lines; a line still being written is taken next time.
    const size_t lastNewline = chunk.rfind('\n');
    if (lastNewline == std::string::npos) return lines;
    m_logOffset += lastNewline + 1;
    size_t start = 0;
    while (start <= lastNewline) {
        size_t end = chunk.find('\n', start);
        std::string line = chunk.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::vector<QuilmonCall> Machine::TakeMonitorCalls() {
    std::vector<QuilmonCall> calls;
    HMODULE h = GetModuleHandleW(QUILMON_DLL);
    if (!h) return calls;
    auto take = ProcAddress<PFN_QuilmonTakeCalls>(h, QUILMON_TAKE_CALLS);
    if (!take) return calls;
    const DWORD waiting = take(nullptr, 0);
    calls.resize(waiting);
    calls.resize(waiting ? take(calls.data(), waiting) : 0);
    return calls;
}

bool Machine::PrinterExists(const std::u16string& printer) const {
    const auto names = pal::host::PrinterNames();
    return std::find(names.begin(), names.end(), printer) != names.end();
}

std::vector<PrinterInfo> Machine::Printers() const {
    std::vector<PrinterInfo> printers;
    for (const std::u16string& name : pal::host::PrinterNames()) {
        PrinterInfo info;
        info.name = name;
        std::vector<WCHAR> printerName = Mutable(name);
        HANDLE hPrinter = nullptr;
        if (OpenPrinterW(printerName.data(), &hPrinter, nullptr)) {
            DWORD needed = 0;
            GetPrinterW(hPrinter, 2, nullptr, 0, &needed);
            if (needed >= sizeof(PRINTER_INFO_2W)) {
                std::vector<uint64_t> buf((needed + 7) / 8);
                if (GetPrinterW(hPrinter, 2, reinterpret_cast<LPBYTE>(buf.data()), needed, &needed)) {
                    PRINTER_INFO_2W pi;
                    std::memcpy(&pi, buf.data(), sizeof(pi));
                    info.driver = StringInBuffer(buf.data(), needed, pi.pDriverName).value_or(u"");
                    info.port = StringInBuffer(buf.data(), needed, pi.pPortName).value_or(u"");
                    info.attributes = pi.Attributes;
                }
            }
            ClosePrinter(hPrinter);
        }
        if (!info.port.empty()) {
            std::vector<WCHAR> channel = Mutable(u",XcvPort " + info.port);
            HANDLE hXcv = nullptr;
            if (OpenPrinterW(channel.data(), &hXcv, nullptr)) {
                std::vector<WCHAR> answer(512, 0);  // 1024 bytes
                DWORD cbNeeded = 0, status = 0;
                if (XcvDataW(hXcv, WSTR("GetPortType"), nullptr, 0, reinterpret_cast<PBYTE>(answer.data()),
                             static_cast<DWORD>((answer.size() - 1) * sizeof(WCHAR)), &cbNeeded, &status) &&
                    status == 0) {
                    info.portType = std::u16string(answer.data());
                }
                ClosePrinter(hXcv);
            }
        }
        printers.push_back(std::move(info));
    }
    return printers;
}

JobReport Machine::RunJob(const JobOptions& job) {
    JobReport r;
    r.printer = job.printer;
    r.datatype = job.datatype;
    r.document = job.document;
    r.parameters = job.parameters;
    if (job.copies) r.parameters += u"COPIES=" + pal::host::FromUtf8(std::to_string(*job.copies)) + u";";
    if (!Loaded()) {
        r.error = "the print processor is not loaded";
        return r;
    }
    if (!PrinterExists(job.printer)) {
        r.error = "unknown printer \"" + pal::host::ToUtf8(job.printer) + "\"";
        return r;
    }

    for (const auto& [file, face] : job.temporaryFonts) {
        if (!pal::host::InstallTemporaryFont(file, face)) {
            pal::host::RemoveTemporaryFonts();
            r.error = "the temporary font \"" + file + "\" is no font";
            return r;
        }
    }

    // Faults on the spool directory's writes apply to the submission.
    for (const pal::host::Fault& f : job.faults)
        if (f.call == "SpoolFileWrite") pal::host::InjectFault(f);
    r.jobId = SubmitJobData(job, r.parameters, &r.dataBytes, &r.error);
    if (r.jobId == 0) {
        pal::host::ClearFaults();
        return r;
    }

    // Start every record of this job from a clean slate.
    TakeLogLines();
    TakeMonitorCalls();
    pal::host::TakeDebugOutput();
    pal::host::TakeMessageBoxes();
    pal::host::TakeIdentityRecords();
    const size_t documentsBefore = pal::host::PortDocuments().size();
    const uint64_t eventsBefore = pal::host::LastEventNumber();
    const std::vector<std::string> handlesBefore = pal::host::OpenHandles();

    if (!job.faults.empty()) {
        pal::host::ClearFaults();
        for (const pal::host::Fault& f : job.faults) pal::host::InjectFault(f);
        r.faults = job.faults;
    }

    DriveEntryPoints(m_entries, job, r, ControlPlan::AtPlannedTimes);
    if (!job.faults.empty()) pal::host::ClearFaults();
    if (!job.temporaryFonts.empty()) pal::host::RemoveTemporaryFonts();

    const auto documents = pal::host::PortDocuments();
    // The job file is read again, once, for the bitmap reports of its documents.
    const std::vector<uint8_t> original =
        documents.size() > documentsBefore ? OriginalForReport(job, r.dataBytes) : std::vector<uint8_t>();
    const std::vector<uint8_t>& source = job.dataFile.empty() ? job.data : original;
    for (size_t i = documentsBefore; i < documents.size(); ++i) {
        r.documents.push_back(documents[i]);
        r.streams.push_back(InspectTransportStreams(documents[i]));
        AddBitmapReports(documents[i], r.streams.back(), source);
    }
    // The debug log opens its file for every line; those openings say nothing
    // about the job and are left out.
    for (pal::host::IdentityRecord& rec : pal::host::TakeIdentityRecords()) {
        const bool logFile = rec.call != "OpenPrinterW" && rec.call != "XcvDataW" && !m_logFile.empty() &&
                             pal::host::MapPath(rec.target) == m_logPath;
        if (!logFile) r.identities.push_back(std::move(rec));
    }
    for (pal::host::EventRecord& e : pal::host::ReadEventLog())
        if (e.number > eventsBefore) r.events.push_back(std::move(e));
    r.monitorCalls = TakeMonitorCalls();
    r.spoolerCommands = pal::host::JobCommands(r.jobId);
    r.debugOutput = pal::host::TakeDebugOutput();
    r.messageBoxes = pal::host::TakeMessageBoxes();
    r.logLines = TakeLogLines();
    for (auto& streams : r.streams) {
        if (streams.empty()) continue;
        AddFontReports(r.logLines, streams);
        break;  // the font list belongs to the job, its one gateway document
    }

    // The job is done: the spooler deletes it, and its spool files with it.
    pal::host::DeleteJob(r.jobId);

    std::map<std::string, int> before;
    for (const std::string& s : handlesBefore) ++before[s];
    for (const std::string& s : pal::host::OpenHandles()) {
        auto it = before.find(s);
        if (it != before.end() && it->second > 0) {
            --it->second;
        } else {
            r.leakedHandles.push_back(s);
        }
    }
    return r;
}

std::vector<std::u16string> Machine::Datatypes(std::string* error) {
    std::vector<std::u16string> names;
    if (!Loaded()) {
        *error = "the print processor is not loaded";
        return names;
    }
    DWORD needed = 0, returned = 0;
    SetLastError(ERROR_SUCCESS);
    m_entries.EnumPrintProcessorDatatypesW(nullptr, nullptr, 1, nullptr, 0, &needed, &returned);
    if (needed == 0) {
        *error = "EnumPrintProcessorDatatypesW reported no size (error " + std::to_string(GetLastError()) + ")";
        return names;
    }
    std::vector<uint64_t> buf((needed + 7) / 8);
    const DWORD cb = static_cast<DWORD>(buf.size() * 8);
    std::vector<WCHAR> processor = Mutable(u"QLWinPrn");
    SetLastError(ERROR_SUCCESS);
    if (!m_entries.EnumPrintProcessorDatatypesW(nullptr, processor.data(), 1, reinterpret_cast<LPBYTE>(buf.data()),
                                                cb, &needed, &returned)) {
        *error = "EnumPrintProcessorDatatypesW failed with error " + std::to_string(GetLastError());
        return names;
    }
    if (static_cast<uint64_t>(returned) * sizeof(DATATYPES_INFO_1W) > cb) {
        *error = "EnumPrintProcessorDatatypesW returned more entries than its buffer holds";
        return names;
    }
    for (DWORD i = 0; i < returned; ++i) {
        DATATYPES_INFO_1W info;
        std::memcpy(&info, reinterpret_cast<const uint8_t*>(buf.data()) + i * sizeof(info), sizeof(info));
        auto name = StringInBuffer(buf.data(), cb, info.pName);
        if (!name) {
            *error = "EnumPrintProcessorDatatypesW returned a name outside its buffer";
            return {};
        }
        names.push_back(*name);
    }
    return names;
}

CapabilitiesReport Machine::Capabilities(const std::u16string& datatype, DWORD attributes) {
    CapabilitiesReport c;
    c.datatype = datatype;
    if (!Loaded()) return c;
    std::vector<WCHAR> name = Mutable(datatype);
    c.result = m_entries.GetPrintProcessorCapabilities(name.data(), attributes, reinterpret_cast<LPBYTE>(&c.caps),
                                                       sizeof(c.caps), &c.needed);
    return c;
}

} // namespace qlhost

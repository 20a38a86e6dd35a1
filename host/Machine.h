// The spooler host: builds a simulated machine through the platform layer,
// loads the print processor library the way the spooler does and runs jobs
// through its entry points. qlspool is a thin command line on top of this;
// the host tests use it in-process.
#pragma once
#include "palwin.h"
#include "palhost.h"
#include "host/quilmon/QuilmonRecord.h"
#include "tools/lib/StreamReader.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qlhost {

struct MachineOptions {
    // Directory that stands for drive C. Default: ./qlspool-machine.
    std::string driveRoot;
    // Where ports write their output. Default: <drive root>/ports.
    std::string outputDir;
    // Where LoadLibraryW finds qlwinprn.dll and quilmon.dll. Default: the
    // directory of the running executable.
    std::string moduleDir;
    // A .reg file describing the machine; empty = the built-in machine.
    std::string machineFile;
    // Only load the registry (and the spooler's view of it): no directories
    // are made and the drive root is left alone. Enough to list printers or
    // export the machine; not enough to load the print processor.
    bool registryOnly = false;
};

// The print processor entry points, with the spooler's signatures.
typedef HANDLE(WINAPI* PFN_OpenPrintProcessor)(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pOpenData);
typedef BOOL(WINAPI* PFN_PrintDocumentOnPrintProcessor)(HANDLE hPrintProcessor, LPWSTR pDocumentName);
typedef BOOL(WINAPI* PFN_ControlPrintProcessor)(HANDLE hPrintProcessor, DWORD Command);
typedef BOOL(WINAPI* PFN_ClosePrintProcessor)(HANDLE hPrintProcessor);
typedef BOOL(WINAPI* PFN_EnumPrintProcessorDatatypesW)(LPWSTR pName, LPWSTR pPrintProcessorName, DWORD Level,
                                                      LPBYTE pDatatypes, DWORD cbBuf, LPDWORD pcbNeeded,
                                                      LPDWORD pcReturned);
typedef DWORD(WINAPI* PFN_GetPrintProcessorCapabilities)(LPWSTR pValueName, DWORD dwAttributes, LPBYTE pData,
                                                        DWORD nSize, LPDWORD pcbNeeded);
typedef BOOL(WINAPI* PFN_InstallPrintProcessor)(HWND hWnd);

struct PrintProcessorEntries {
    PFN_OpenPrintProcessor OpenPrintProcessor = nullptr;
    PFN_PrintDocumentOnPrintProcessor PrintDocumentOnPrintProcessor = nullptr;
    PFN_ControlPrintProcessor ControlPrintProcessor = nullptr;
    PFN_ClosePrintProcessor ClosePrintProcessor = nullptr;
    PFN_EnumPrintProcessorDatatypesW EnumPrintProcessorDatatypesW = nullptr;
    PFN_GetPrintProcessorCapabilities GetPrintProcessorCapabilities = nullptr;
    PFN_InstallPrintProcessor InstallPrintProcessor = nullptr;
};

struct JobOptions {
    std::u16string printer = u"Office Laser";
    std::u16string datatype = u"RAW";
    std::u16string document = u"Document";
    std::u16string parameters;  // the job's parameter string
    std::optional<unsigned> copies;  // appends "COPIES=N;" to the parameters
    std::u16string user = u"user";
    std::u16string outputFile;
    std::vector<uint8_t> data;     // the spooled bytes
    // Or a file whose bytes are spooled, streamed into the job's spool file
    // in large blocks (never held whole); used when not empty.
    std::string dataFile;
    std::vector<uint8_t> devmode;  // passed in the open data when not empty
    // Control commands sent from another thread, in milliseconds after the
    // printing thread was started; those at 0 ms are sent just before it
    // starts, so a job paused at 0 ms has not read any data yet.
    std::optional<unsigned> pauseAfterMs;
    std::optional<unsigned> resumeAfterMs;
    std::optional<unsigned> cancelAfterMs;
    // A printing thread still running this long after the last control
    // command is cancelled (and resumed) so the host never hangs.
    unsigned timeoutMs = 30000;
    // Spooler faults armed for this job only: the host clears every armed
    // fault, arms these after the job is queued and clears them when the job
    // is closed. Empty leaves whatever the caller armed itself in place.
    std::vector<pal::host::Fault> faults;
    // Fonts the job's application installed for the job: font file (host
    // path) and the face name it is selected by; removed after the job.
    std::vector<std::pair<std::string, std::u16string>> temporaryFonts;
};

// One ControlPrintProcessor call.
struct ControlRecord {
    DWORD command = 0;      // JOB_CONTROL_*
    unsigned atMs = 0;      // when it was sent, after the start of printing
    BOOL result = FALSE;
    DWORD lastError = 0;
    // The status bits of the job handle right after the call (bit 0x1
    // cancelled, 0x8 paused), when the handle could be read.
    std::optional<DWORD> statusAfter;
    bool fromTimeout = false;  // sent by the host because printing hung
};

// One transport stream in a port document: the gateway driver writes one per
// copy, each beginning with the marker "%%EMF".
struct TransportStream {
    uint64_t offset = 0;  // where it begins in the document
    qltools::InspectReport report;
    std::string bitmapReport;  // the transform report of its bitmap records (AddBitmapReports)
    std::string fontReport;    // what happened to each font of the job (AddFontReports)
    std::string bitmapError;   // why that report could not be made (a bitmap that does not decode)
};

// Splits a document's bytes into the transport streams of its copies and
// inspects each: a stream ends where the inspector, reading on, meets the
// next copy's marker. Empty when the bytes do not begin with "%%EMF".
std::vector<TransportStream> InspectTransportStreams(std::span<const uint8_t> output);
// The same for a port document, read from its port file through the
// inspector's window (OutputCheck.cpp).
std::vector<TransportStream> InspectTransportStreams(const pal::host::PortDocument& doc);

// Fills each stream's bitmapReport: every bitmap record and what the gateway
// did to it, with the PSNR of compressed bitmaps against `original`, the
// spool file the job was printed from (BitmapReport.cpp).
// Fills the first stream's fontReport from the job's debug log lines: one
// row per font key of the job's font list, with its outcome and the bytes it
// added (FontReport.cpp). Needs the log's information lines.
void AddFontReports(const std::vector<std::string>& logLines, std::vector<TransportStream>& streams);

void AddBitmapReports(std::span<const uint8_t> document, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original);
// The same for a port document: read into memory only when it holds bitmap
// records and is at most kBitmapReportMaxBytes long (OutputCheck.cpp).
constexpr uint64_t kBitmapReportMaxBytes = 64ull << 20;
void AddBitmapReports(const pal::host::PortDocument& doc, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original);

struct JobReport {
    std::string error;  // set when the host could not run the job at all
    DWORD jobId = 0;
    std::u16string printer, datatype, document, parameters;
    uint64_t dataBytes = 0;

    bool opened = false;
    DWORD openError = 0;  // last error of a failed OpenPrintProcessor
    bool printed = false;  // PrintDocumentOnPrintProcessor was called
    BOOL printResult = FALSE;
    DWORD printError = 0;  // last error on the printing thread after the call
    unsigned printMs = 0;
    std::vector<ControlRecord> controls;
    bool closed = false;
    BOOL closeResult = FALSE;
    DWORD closeError = 0;

    std::vector<pal::host::Fault> faults;  // the faults armed for the job
    std::vector<pal::host::PortDocument> documents;
    // For each document, the transport streams of its copies as the stream
    // inspector reads them (InspectTransportStreams); empty for a document
    // that does not begin with "%%EMF".
    std::vector<std::vector<TransportStream>> streams;
    std::vector<QuilmonCall> monitorCalls;
    std::vector<DWORD> spoolerCommands;  // JOB_CONTROL_* the spooler job received (SetJobW)
    std::vector<std::u16string> debugOutput;
    std::vector<pal::host::MessageBoxRecord> messageBoxes;
    std::vector<std::string> logLines;
    std::vector<std::string> leakedHandles;  // opened during the job, still open

    // Identities. OpenPrintProcessor, PrintDocumentOnPrintProcessor and
    // ClosePrintProcessor run impersonating the job's user, as on the
    // spooler's threads; ControlPrintProcessor runs as the spooler itself.
    pal::host::Identity user;  // the job's user as the threads impersonate it
    // The identity each thread had right after the entry point returned,
    // before the host stopped impersonating.
    std::optional<pal::host::Identity> identityAfterOpen, identityAfterPrint, identityAfterClose;
    // Port queries and file creations of the job, with the identity they ran
    // under; the debug log's openings of its file are left out.
    std::vector<pal::host::IdentityRecord> identities;
    // Events the job wrote to the machine's Application event log.
    std::vector<pal::host::EventRecord> events;

    // The job reached PrintDocumentOnPrintProcessor and it succeeded.
    bool Succeeded() const { return error.empty() && opened && printed && printResult; }
    // OpenPrintProcessor rejected the datatype.
    bool UnknownDatatype() const { return error.empty() && !opened && openError == ERROR_INVALID_DATATYPE; }
};

// Submits the job (its data, or its data file streamed in blocks) with the
// given parameter string as the spooler receives one; returns the job id, or
// 0 with *error (JobSubmit.cpp).
DWORD SubmitJobData(const JobOptions& job, const std::u16string& parameters, uint64_t* bytes, std::string* error);
// The job's data file for the bitmap report, when it is small enough to
// hold (kBitmapReportMaxBytes); empty otherwise.
std::vector<uint8_t> OriginalForReport(const JobOptions& job, uint64_t bytes);

// Why a job that printed does not count as printed: a transport stream it
// wrote fails the inspector's listing or checks; empty when all pass
// (OutputCheck.cpp).
std::string OutputCheckFailure(const JobReport& r);

struct CapabilitiesReport {
    std::u16string datatype;
    DWORD result = 0;
    DWORD needed = 0;
    PRINTPROCESSOR_CAPS_2 caps{};
};

struct PrinterInfo {
    std::u16string name, driver, port, portType;
    DWORD attributes = 0;
};

class Machine {
public:
    // Sets up the platform layer for this machine: directories, registry and
    // an empty spooler. On a bad .reg file returns null with "<file>:<line>:
    // <what>" in *error. One Machine at a time per process.
    static std::unique_ptr<Machine> Create(const MachineOptions& options, std::string* error);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& DriveRoot() const { return m_driveRoot; }
    const std::string& OutputDir() const { return m_outputDir; }
    const std::string& ModuleDir() const { return m_moduleDir; }
    // Host path of the debug log file the registry configures, or "".
    const std::string& LogPath() const { return m_logPath; }

    // Loads the port monitor (as the spooler has it loaded) and then the print
    // processor with LoadLibraryW, which runs its DllMain, and resolves the
    // seven entry points. A missing library or entry point is an error.
    bool LoadPrintProcessor(std::string* error);
    // FreeLibrary for both (the print processor's DllMain sees the detach).
    void UnloadPrintProcessor();
    bool Loaded() const { return m_hProcessor != nullptr; }
    const PrintProcessorEntries& Entries() const { return m_entries; }

    // Debug log lines written since the last call (or since the log began).
    std::vector<std::string> TakeLogLines();
    // Calls recorded by the port monitor since the last call.
    std::vector<QuilmonCall> TakeMonitorCalls();

    bool PrinterExists(const std::u16string& printer) const;
    std::vector<PrinterInfo> Printers() const;

    // Runs one job as the spooler does. Needs the library loaded.
    JobReport RunJob(const JobOptions& job);

    // EnumPrintProcessorDatatypesW, level 1. Empty with *error set on failure.
    std::vector<std::u16string> Datatypes(std::string* error);
    CapabilitiesReport Capabilities(const std::u16string& datatype, DWORD attributes = 0);

private:
    Machine() = default;

    std::string m_driveRoot, m_outputDir, m_moduleDir, m_logPath;
    std::u16string m_logFile;  // the debug log file as the registry names it
    uint64_t m_logOffset = 0;
    bool m_registryOnly = false;
    HMODULE m_hMonitor = nullptr;
    HMODULE m_hProcessor = nullptr;
    PrintProcessorEntries m_entries;
};

// The status bits of a job handle (0x1 cancelled, 0x8 paused), read
// atomically; none when the handle is not a valid job handle.
std::optional<DWORD> ReadHandleStatus(HANDLE h);

// The directory of the running executable.
std::string ExecutableDirectory();

} // namespace qlhost

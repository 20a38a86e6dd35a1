// Control surface of the platform layer for the spooler host and the tests
// (Linux only; product code never includes this header). It builds the
// simulated machine — drive root, registry, module and output directories —
// submits jobs to the simulated spooler, reads back what ports and channels
// received, injects faults and lists open handles.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pal::host {

// ---- machine --------------------------------------------------------------------
// Windows drive C maps to this directory (created when missing).
void SetDriveRoot(const std::string& dir);
std::string DriveRoot();
// Host path of a Windows path: "C:\a\b.txt" -> <drive root>/a/b.txt; other
// drive letters -> <drive root>/<letter>/...; relative paths stay relative.
std::string MapPath(const std::u16string& windowsPath);
// Where LoadLibraryW looks for "<name>.dll" as "lib<name>.so" or "<name>.so".
void SetModuleDirectory(const std::string& dir);
std::string ModuleDirectory();
// Where ports write their output: one file per port, named after the port
// with characters outside [A-Za-z0-9._-] replaced by "_".
void SetOutputDirectory(const std::string& dir);
std::string OutputDirectory();
// The computer name reported by GetComputerNameW and gethostname.
void SetComputerName(const std::u16string& name);

// ---- registry ---------------------------------------------------------------------
// Merges a .reg file ("Windows Registry Editor Version 5.00") into the hive.
// On a syntax error returns false with "<file>:<line>: <what>" in *error and
// leaves the hive as it was before the call.
bool LoadRegistryFile(const std::string& path, std::string* error);
bool LoadRegistryText(const std::string& text, const std::string& sourceName, std::string* error);
// The whole hive as .reg text (keys sorted, values in insertion order).
std::string ExportRegistry();
void ClearRegistry();

// ---- spooler --------------------------------------------------------------------------
struct JobSpec {
    std::u16string printer;
    std::u16string document = u"Document";
    std::u16string datatype = u"RAW";
    std::u16string parameters;  // e.g. u"COPIES=3;"
    std::u16string outputFile;  // empty = none
    std::u16string user = u"user";
    std::u16string machine = u"\\\\CLIENT";
    std::vector<uint8_t> data;  // the spooled job bytes
    std::vector<uint8_t> devmode; // DEVMODEW block (dmSize + dmDriverExtra bytes) or empty
    DWORD totalPages = 0;         // reported by GetJobW
};
// Queues a job on its printer and returns the job id (from 2 upwards), or 0
// when the printer does not exist.
DWORD SubmitJob(const JobSpec& job);
// Submission in steps, as the spooler receives a job: BeginJob creates the
// job's spool file "<id>.SPL" and shadow file "<id>.SHD" in the printer's spool
// directory and queues the job as spooling (0 and *error when the printer
// does not exist or the files cannot be created); AppendJobData adds data
// to the spool file; CommitJob makes the job printable. A failed write (the
// fault knob "SpoolFileWrite", a full disk) or a cancel (SetJobW) during the
// submission deletes the job with its files and fails with *error.
DWORD BeginJob(const JobSpec& job, DWORD* error);
bool AppendJobData(DWORD jobId, std::span<const uint8_t> bytes, DWORD* error);
// Appends the whole file at the host path `path` (copied inside the kernel
// where it can be), *bytes the count appended; fails as AppendJobData, or
// with ERROR_FILE_NOT_FOUND / ERROR_READ_FAULT for the file.
bool AppendJobFile(DWORD jobId, const std::string& path, uint64_t* bytes, DWORD* error);
bool CommitJob(DWORD jobId, DWORD* error);
// Host path of the job's spool file, "" when the job does not exist.
std::string JobSpoolFile(DWORD jobId);
// The spooler's name for opening a job's data: "<printer>, Job <id>".
std::u16string JobReadName(DWORD jobId);
std::optional<JobSpec> GetJobSpec(DWORD jobId);
// Status bits set through SetJobW and the spooler (JOB_STATUS_*).
DWORD JobStatus(DWORD jobId);
// The JOB_CONTROL_* commands SetJobW received for the job, in order.
std::vector<DWORD> JobCommands(DWORD jobId);
// The job the calling thread prints (the host sets it on its printing thread
// before PrintDocumentOnPrintProcessor, 0 afterwards). StartDocPrinterW on
// that thread returns it and records it in PortDocument::jobId.
void SetCurrentJob(DWORD jobId);
// Removes a job from its printer's queue once it is done, as the spooler does
// after the print processor is closed (or when its submission fails); readers
// that have the job open keep its spool files until they close. False when
// there is no such job.
bool DeleteJob(DWORD jobId);

// One document a port received (StartDocPrinterW .. EndDocPrinter).
struct PortDocument {
    std::u16string printer;
    std::u16string port;
    std::u16string document;
    std::u16string datatype;
    DWORD jobId = 0;               // job being printed on the printing thread, 0 if none
    std::string outputPath;        // host file that holds the port's output
    uint64_t offset = 0;           // where this document's bytes begin in that file
    uint64_t bytes = 0;            // bytes written
    bool ended = false;            // EndDocPrinter was called
    std::vector<uint64_t> writeSizes; // bytes offered by each WritePrinter call, in call order
};
std::vector<PortDocument> PortDocuments();
// Drops the job's documents from that list (their bytes stay in the port
// files): a host that runs jobs without end keeps only what it still needs.
void ForgetPortDocuments(DWORD jobId);
// The bytes a document wrote (read back from its port file).
std::vector<uint8_t> PortDocumentBytes(const PortDocument& doc);

// Printer names known to the spooler (from the registry), sorted.
std::vector<std::u16string> PrinterNames();

// Printer device contexts created by CreateDCW since the last ResetSpooler.
struct DeviceContextRecord {
    std::u16string printer;
    std::vector<uint8_t> devmode; // the device mode the context was created with
    bool cancelled = false;       // CancelDC was called
    bool deleted = false;         // DeleteDC was called
    // Every TextOutA call that drew: page (1-based) of the document, cell
    // position in device units, the bytes.
    struct TextRun {
        int page = 0;
        int x = 0, y = 0;
        std::string text;
    };
    std::vector<TextRun> texts;
    // Pages as pixels, when SetPageCapture is on: 8-bit grey, row-major,
    // whole sheet (the printable area starts at PHYSICALOFFSETX/Y).
    struct PageImage {
        int width = 0, height = 0;
        std::vector<uint8_t> grey;
    };
    std::vector<PageImage> pages;
};
// Printer device contexts created from now on also keep their pages as
// pixels in DeviceContextRecord::pages (sheets up to 16 megapixels; larger
// ones are not kept). For tests; off by default.
void SetPageCapture(bool on);
std::vector<DeviceContextRecord> DeviceContexts();

// ---- fault injection ----------------------------------------------------------------------
// Makes a spooler call misbehave. `call` is the Win32 name ("WritePrinter",
// "ReadPrinter", "OpenPrinterW", "StartDocPrinterW", "EndDocPrinter",
// "GetPrinterW", "GetJobW", "XcvDataW", "DocumentPropertiesW", "CreateDCW",
// ...). Faults of one call fire in the order they were injected.
struct Fault {
    std::string call;
    // Trigger: the fault fires once `afterCalls` calls of that name have passed
    // it, and — when atByte is set, for WritePrinter / ReadPrinter only — on
    // the call whose bytes reach byte `atByte` of the document or job (or lie
    // beyond it).
    uint64_t afterCalls = 0;
    std::optional<uint64_t> atByte;
    // Effect: fail with `error`, or (shortCount) succeed with fewer bytes.
    // Either way the bytes before atByte are still transferred and counted;
    // past atByte a short count takes half of what was offered.
    DWORD error = ERROR_GEN_FAILURE;
    bool shortCount = false;
    // Fire once, or on every call after the trigger.
    bool once = false;
};
void InjectFault(const Fault& fault);
void ClearFaults();
// Besides the spooler calls, these names can be armed: "GlobalAlloc" (every
// MemAlloc of the product), the CryptoAPI calls ("CryptAcquireContextW",
// "CryptCreateHash", "CryptHashData", "CryptGetHashParam", ...), and the
// binary C run-time streams of _wfopen (the temporary spool files): "_wfopen"
// (the open), "fwrite" and "fread" (each transfer between a writable stream's
// buffer and its file: a flush, a refill, or a transfer too large for the
// buffer).
// While counting is on, every call that consults the fault table is counted
// by name, armed or not (CountFaultCalls resets the counts).
void CountFaultCalls(bool on);
std::map<std::string, uint64_t> FaultCallCounts();
// Fails the Nth (1-based) C++ allocation (operator new) made by code of the
// loaded module whose path contains `module` (empty: the executable) with
// std::bad_alloc; n = 0
// disarms, n = UINT64_MAX only counts. Needs the executable to link
// `qlpal_newfault`, the replacement operator new. False when no such module
// is loaded.
bool FailCxxAllocation(const std::string& module, uint64_t n);
// The module's allocations counted since FailCxxAllocation armed the knob.
uint64_t CxxAllocationCount();

// ---- channels -------------------------------------------------------------------------
// Lines passed to OutputDebugStringW/A, in order. Take* empties the channel.
std::vector<std::u16string> TakeDebugOutput();
// Called for every debugger line as it arrives (the host echoes them).
void SetDebugOutputSink(std::function<void(const std::u16string&)> sink);
struct MessageBoxRecord {
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
};
std::vector<MessageBoxRecord> TakeMessageBoxes();

// ---- handles --------------------------------------------------------------------------
// Descriptions of every handle the layer has handed out and not yet closed.
std::vector<std::string> OpenHandles();

// ---- identities and file security -----------------------------------------------------
// The process runs as the spooler's account "SYSTEM" (S-1-5-18). A thread may
// impersonate a user, as the spooler's printing thread impersonates the job's
// user. `user` is "name" (domain: the computer name) or "DOMAIN\name"; every
// user gets a stable SID S-1-5-21-<a>-<b>-<c>-<rid> derived from the names.
void ImpersonateUser(const std::u16string& user);
// The calling thread stops impersonating (as RevertToSelf).
void StopImpersonating();
struct Identity {
    std::u16string user;   // "SYSTEM" for the spooler's own account
    std::u16string domain; // "NT AUTHORITY" for it, else the user's domain
    std::u16string sid;    // "S-1-5-18", "S-1-5-21-..."
    bool impersonating = false; // the thread carries an impersonation token
};
// The identity the calling thread runs under.
Identity CurrentIdentity();
// The SID string the layer gives a user name ("name" or "DOMAIN\name").
std::u16string UserSid(const std::u16string& user);
// "S-1-..." form of a SID in memory; empty when it is not a valid SID.
std::u16string SidString(const void* sid);

// Which identity ran a port query or created a file: OpenPrinterW of an
// ",XcvPort"/",XcvMonitor" channel (target: the name given, also when the
// open fails), XcvDataW (target: the port or monitor, then " " and the
// command), CreateFileW and _wfopen with write access (target: the Windows
// path, recorded when the open succeeded).
struct IdentityRecord {
    std::string call;
    std::u16string target;
    Identity identity;
};
// Records in call order; Take* empties the list.
std::vector<IdentityRecord> TakeIdentityRecords();

// Security recorded for a file by SetNamedSecurityInfoW, or taken from the
// security descriptor of a CreateFileW that created it.
struct AceRecord {
    BYTE type = 0;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
    BYTE flags = 0; // inheritance flags
    DWORD mask = 0;
    std::u16string sid;
};
struct FileSecurityRecord {
    std::u16string owner;          // SID string; empty when never set
    bool daclSet = false;          // a DACL was applied
    bool nullDacl = false;         // ... and it was a null DACL (everyone, full access)
    std::vector<AceRecord> dacl;   // in ACL order
};
// Nothing when the file's security was never set (or the file was created
// anew since).
std::optional<FileSecurityRecord> FileSecurity(const std::u16string& windowsPath);
// Forgets identity records and file security records.
void ClearSecurityRecords();

// ---- event log ---------------------------------------------------------------------------
// One event of the machine's Application log (ReportEventW), which lives in
// a file under the drive root and so outlasts the process.
struct EventRecord {
    uint64_t number = 0;        // record number, from 1 upwards
    int64_t timeUtc = 0;        // seconds since 1970-01-01 UTC
    std::u16string source;
    WORD type = 0;              // EVENTLOG_*_TYPE
    WORD category = 0;
    DWORD eventId = 0;
    std::u16string user;        // SID string of the event's user SID, or empty
    std::u16string computer;
    std::vector<std::u16string> strings;  // insertion strings
    std::vector<uint8_t> data;            // raw data
};
// Host path of the log file.
std::string EventLogPath();
// Every event in the log, oldest first (empty when there is no log yet).
std::vector<EventRecord> ReadEventLog();
// Number of the newest event, 0 when there is none.
uint64_t LastEventNumber();

// Clears spooler jobs (ids start again at 2), port documents (a port's next
// document truncates its file again), faults, device context records and the
// debugger and message box channels (not the registry or the directories).
// Tests call it between cases.
void ResetSpooler();

// UTF-8 <-> UTF-16 helpers for hosts and tests.
std::u16string FromUtf8(const std::string& s);
std::string ToUtf8(const std::u16string& s);

// Temporary fonts of a job's application: the font file at `path` (host
// path) is selected by the face name `face` until RemoveTemporaryFonts.
// False when the file is no font FreeType can open.
bool InstallTemporaryFont(const std::string& path, const std::u16string& face);
void RemoveTemporaryFonts();

} // namespace pal::host

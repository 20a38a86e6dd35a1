// The simulated spooler for the host and the tests: job submission, what the
// ports received, printers and printer device contexts.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pal::host {

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
// Appends what the open file `from` holds (nothing read through it yet) to
// its end, copied inside the kernel where it can be; *bytes the count
// appended. Fails as AppendJobData, or with ERROR_READ_FAULT for the file.
bool AppendJobFile(DWORD jobId, std::FILE* from, uint64_t* bytes, DWORD* error);
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

// Clears spooler jobs (ids start again at 2), port documents (a port's next
// document truncates its file again), faults, device context records and the
// debugger and message box channels (not the registry or the directories).
// Tests call it between cases.
void ResetSpooler();

} // namespace pal::host

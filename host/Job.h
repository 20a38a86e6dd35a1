// One job of the spooler host: what to print and how (JobOptions), and what
// happened (JobReport), with the submission and output checks around them.
#pragma once
#include "palhost.h"
#include "host/TransportStreams.h"
#include "host/quilmon/QuilmonRecord.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qlhost {

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
// The job's data file read again for the bitmap report, when it is a regular
// file small enough to
// hold (kBitmapReportMaxBytes); empty otherwise.
std::vector<uint8_t> OriginalForReport(const JobOptions& job, uint64_t bytes);

// Why a job that printed does not count as printed: a transport stream it
// wrote fails the inspector's listing or checks; empty when all pass
// (OutputCheck.cpp).
std::string OutputCheckFailure(const JobReport& r);

} // namespace qlhost

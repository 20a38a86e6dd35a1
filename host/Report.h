// Text output of qlspool: job reports, datatypes, capabilities, printers.
#pragma once
#include "host/Machine.h"

#include <string>

namespace qlhost {

// "ERROR_CALL_NOT_IMPLEMENTED" etc. for the codes a job can end with; "" when unknown.
const char* ErrorName(DWORD code);
// "120 (ERROR_CALL_NOT_IMPLEMENTED)".
std::string DescribeError(DWORD code);
// "PAUSE", "RESUME", "CANCEL" or the number.
std::string ControlName(DWORD command);
// "0x9 (cancelled, paused)".
std::string DescribeStatus(DWORD status);

// "WritePrinter at byte 5000: fails with 31 (ERROR_GEN_FAILURE)".
std::string DescribeFault(const pal::host::Fault& fault);

// Which of a job's port monitor calls belong to which of its port documents
// (indexes into JobReport::monitorCalls). With one document every call is
// its own; with several, page and copy counts go to the first document on
// the call's port, statistics calls in order to the documents of their
// printer. Calls that match no document stay unassigned.
struct MonitorCallsByDocument {
    std::vector<std::vector<size_t>> perDocument;
    std::vector<size_t> unassigned;
};
MonitorCallsByDocument AssignMonitorCalls(const JobReport& report);

// The view library's part of a job (native printing): the native jobs opened
// or refused, what each received and printed, and the spooler job the view
// library took over. Empty when the job printed no native job.
bool IsViewLibraryCall(const QuilmonCall& call);
std::string NativePrintingSection(const JobReport& report);
// The report of one job. With showLog the job's debug log lines are listed.
std::string FormatJobReport(const JobReport& report, bool showLog);
std::string FormatCapabilities(const CapabilitiesReport& caps);
std::string FormatPrinters(const std::vector<PrinterInfo>& printers);

} // namespace qlhost

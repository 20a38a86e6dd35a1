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

// The report of one job. With showLog the job's debug log lines are listed.
std::string FormatJobReport(const JobReport& report, bool showLog);
std::string FormatCapabilities(const CapabilitiesReport& caps);
std::string FormatPrinters(const std::vector<PrinterInfo>& printers);

} // namespace qlhost

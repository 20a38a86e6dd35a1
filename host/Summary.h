// The short form of qlspool's job reports: a table with one row per job and,
// for each job, only what a reader looks for first (the transform report of
// gateway streams, native printing, events, leaks). The full report comes
// with --verbose (FormatJobReport).
#pragma once
#include "host/Machine.h"

#include <string>
#include <vector>

namespace qlhost {

struct JobSummaryRow {
    const JobReport* report = nullptr;
    std::string outcome;  // "printed", "failed: ...", "not run: ..."
};

// "Job  Printer  Datatype  Pages  Bytes in  On the wire  Saving  Outcome"
// with one row per job; the saving is shown for gateway jobs (transport
// streams against their spool data) only. Pages are those the port received: the page records
// of a transport stream's first copy, the pages of a PDF document; "-" when
// the output does not tell (raw bytes).
std::string FormatJobSummary(const std::vector<JobSummaryRow>& rows);

// The lines of one job's report that the short form keeps; empty when there
// are none.
std::string FormatJobHighlights(const JobReport& report);

} // namespace qlhost

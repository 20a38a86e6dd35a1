// The spooler's side of one job's entry points: OpenPrintProcessor with the
// job's open data, PrintDocumentOnPrintProcessor on a printing thread of its
// own, the job's planned ControlPrintProcessor commands from the calling
// thread (and a cancel when printing outlasts the job's timeout), and
// ClosePrintProcessor; the calls that run on the spooler's job threads
// impersonate the job's user. Used by single jobs (Machine::RunJob) and by
// concurrent ones (Parallel.cpp).
#pragma once
#include "host/Machine.h"

namespace qlhost {

enum class ControlPlan {
    AtPlannedTimes,  // every planned command is sent at its time, finished job or not
    UntilDone,       // commands planned after the job finished are dropped
};

// Fills the entry-point part of `r` (opened .. closeError, controls,
// identities) for the submitted job r.jobId.
void DriveEntryPoints(const PrintProcessorEntries& entries, const JobOptions& job, JobReport& r, ControlPlan plan);

} // namespace qlhost

// Several jobs at once, the way the spooler runs them: each job is opened,
// printed on a printing thread of its own with its own job handle, controlled
// from another thread and closed, while other jobs do the same.
#pragma once
#include "host/Machine.h"

#include <functional>
#include <vector>

namespace qlhost {

// Runs one job through the entry points as Machine::RunJob does, but leaves
// alone what belongs to the whole process (debug log lines, port monitor
// calls, debugger output, identities, the open-handle list), so that it may
// run on several threads at once. The report holds the job's own results:
// the entry points' results and errors, the control commands, the port
// documents its printing thread wrote and their transport streams. The job is
// removed from the spooler's queue at the end and its documents from the
// spooler's list (pal::host::ForgetPortDocuments).
JobReport RunConcurrentJob(const Machine& machine, const JobOptions& job);

// Runs `count` jobs on `threads` threads (each job on its own printing thread
// besides): `make(i)` builds job i when a thread takes it, `done(i, report)`
// is called after it, from the thread that ran it, one call at a time. Nothing
// of a job is kept after `done`, so a long run holds only the jobs in flight.
void RunJobsInParallel(const Machine& machine, size_t count, unsigned threads,
                       const std::function<JobOptions(size_t index)>& make,
                       const std::function<void(size_t index, const JobReport&)>& done);

// The same for jobs already built; returns the reports in the order of `jobs`.
std::vector<JobReport> RunJobsInParallel(const Machine& machine, const std::vector<JobOptions>& jobs,
                                         unsigned threads);

} // namespace qlhost

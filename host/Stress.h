// `qlspool stress`: a mixed load of concurrent jobs with outcome checks.
#pragma once
#include "host/Machine.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace qlhost {

// `qlspool stress --help`.
extern const char kStressHelp[];

struct StressOptions {
    unsigned threads = 8;
    unsigned jobs = 250;
    unsigned cancelPercent = 0;  // share of jobs cancelled at a random time
    unsigned pausePercent = 0;   // share of jobs paused and resumed at random times
    uint64_t seed = 1;
    std::string corpusDir;  // spool files (*.spl) to print besides the toolkit's jobs; "" = none
    bool checkMemory = true;  // a short run has no settled baseline to compare with
};

// Runs the load on a machine whose print processor is loaded, prints the
// summary table to `out` and each failure to `err`. True when every job had
// the outcome it should, no handle was left open and memory stayed flat.
bool RunStress(Machine& machine, const StressOptions& options, std::ostream& out, std::ostream& err);

} // namespace qlhost

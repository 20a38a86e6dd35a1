// Concurrent jobs: several jobs sharing one port and the mixed stress load.
#include "host/Parallel.h"
#include "host/Stress.h"
#include "tests/host/TestDirs.h"

#include <sstream>

namespace {

using qlhost::test::MachineTest;

class Parallel : public MachineTest {};

// Jobs on one printer run at once but reach its port one document after the
// other: each document's bytes are its own job's, whole.
TEST_F(Parallel, JobsOnOnePortDoNotInterleave) {
    std::vector<qlhost::JobOptions> jobs;
    for (char c : std::string("ABCDEF")) {
        qlhost::JobOptions job;
        job.printer = u"QL Spool Bridge";
        job.data.assign(300000, static_cast<uint8_t>(c));
        jobs.push_back(job);
    }
    const auto reports = qlhost::RunJobsInParallel(*m_machine, jobs, 3);
    ASSERT_EQ(reports.size(), jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
        ASSERT_TRUE(reports[i].Succeeded()) << i;
        ASSERT_EQ(reports[i].documents.size(), 1u) << i;
        EXPECT_EQ(pal::host::PortDocumentBytes(reports[i].documents[0]), jobs[i].data) << i;
    }
    EXPECT_TRUE(pal::host::PortDocuments().empty()) << "each job forgets its documents";
}

// The stress load end to end: every kind of job, pauses and cancels, no
// failure, no handle left open.
TEST_F(Parallel, MixedStressPasses) {
    qlhost::StressOptions options;
    options.threads = 4;
    options.jobs = 24;
    options.cancelPercent = 25;
    options.pausePercent = 25;
    options.corpusDir = QL_CORPUS_DIR "/spl";
    options.checkMemory = false;
    std::ostringstream out, err;
    EXPECT_TRUE(qlhost::RunStress(*m_machine, options, out, err)) << out.str() << err.str();
    EXPECT_NE(out.str().find("handles left open: 0"), std::string::npos) << out.str();
}

} // namespace

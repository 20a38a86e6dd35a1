// End-to-end runs through the spooler host, in-process: the built-in machine,
// the print processor loaded with LoadLibraryW and the simulated port monitor.
#include "host/Machine.h"
#include "host/SampleJobs.h"
#include "host/DefaultMachine.h"
#include "tests/host/TestDirs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace qlhost;
using qlhost::test::HasLine;
using qlhost::test::Joined;

namespace {

class HostJob : public qlhost::test::MachineTest {
protected:
    JobReport Run(JobOptions job) {
        if (job.data.empty()) job.data = SampleTextPage();
        job.timeoutMs = 5000;
        return m_machine->RunJob(job);
    }
};

// Each report holds only its own job's log lines; copies are added to the
// job's parameter string; a printed job is deleted with its spool file.
TEST_F(HostJob, EachJobIsReportedAndDeletedOnItsOwn) {
    JobOptions job;
    job.parameters = u"TABS=4;";
    job.copies = 3;
    const JobReport first = Run(job);
    const JobReport second = Run(JobOptions{});
    ASSERT_NE(first.jobId, second.jobId);
    EXPECT_EQ(first.parameters, u"TABS=4;COPIES=3;");
    const std::string firstName = pal::host::ToUtf8(pal::host::JobReadName(first.jobId));
    const std::string secondName = pal::host::ToUtf8(pal::host::JobReadName(second.jobId));
    EXPECT_TRUE(HasLine(first.logLines, firstName)) << Joined(first.logLines);
    EXPECT_FALSE(HasLine(first.logLines, secondName));
    EXPECT_TRUE(HasLine(second.logLines, secondName)) << Joined(second.logLines);
    EXPECT_FALSE(HasLine(second.logLines, firstName));
    EXPECT_FALSE(pal::host::GetJobSpec(first.jobId));
    EXPECT_EQ(pal::host::JobSpoolFile(first.jobId), "");
}

// ---- the simulated port monitor ----------------------------------------------------------

template <class F>
F MonitorExport(const char* name) {
    HMODULE h = GetModuleHandleW(QUILMON_DLL);
    return h ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(h, name))) : nullptr;
}

// Calls are recorded in order, a missing argument as such, a long one cut
// to the record's field.
TEST_F(HostJob, PortMonitorRecordsEveryCallInOrder) {
    auto increment = MonitorExport<PFN_IncrementPageCount>("IncrementPageCount");
    auto copies = MonitorExport<PFN_SetPrintCopyCount>("SetPrintCopyCount");
    ASSERT_TRUE(increment && copies);
    m_machine->TakeMonitorCalls();
    const std::u16string longName(400, u'x');
    EXPECT_TRUE(increment(longName.c_str(), WSTR("PC1")));
    EXPECT_TRUE(copies(WSTR("QLPORT1:"), nullptr, 3));
    const auto calls = m_machine->TakeMonitorCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].dwFunction, static_cast<DWORD>(QUILMON_FN_INCREMENT_PAGE_COUNT));
    EXPECT_EQ(std::u16string(calls[0].szArg1), std::u16string(QUILMON_ARG_CCH - 1, u'x'));
    EXPECT_EQ(std::u16string(calls[0].szArg2), u"PC1");
    EXPECT_EQ(calls[1].dwValue, 3u);
    EXPECT_TRUE(calls[1].fArg2Null);
    EXPECT_EQ(calls[1].szArg2[0], 0);
    EXPECT_EQ(calls[1].dwSequence, calls[0].dwSequence + 1);
    EXPECT_TRUE(m_machine->TakeMonitorCalls().empty());
}

} // namespace

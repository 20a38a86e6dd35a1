// End-to-end runs through the spooler host, in-process: the built-in machine,
// the print processor loaded with LoadLibraryW and the simulated port monitor.
#include "host/Machine.h"
#include "host/SampleJobs.h"
#include "host/DefaultMachine.h"
#include "tests/host/TestDirs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

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

TEST_F(HostJob, EachReportHoldsOnlyItsOwnJobsLogLines) {
    const JobReport first = Run(JobOptions{});
    const JobReport second = Run(JobOptions{});
    ASSERT_NE(first.jobId, second.jobId);
    const std::string firstName = pal::host::ToUtf8(pal::host::JobReadName(first.jobId));
    const std::string secondName = pal::host::ToUtf8(pal::host::JobReadName(second.jobId));
    EXPECT_TRUE(HasLine(first.logLines, firstName)) << Joined(first.logLines);
    EXPECT_FALSE(HasLine(first.logLines, secondName));
    EXPECT_TRUE(HasLine(second.logLines, secondName)) << Joined(second.logLines);
    EXPECT_FALSE(HasLine(second.logLines, firstName));
}

TEST_F(HostJob, PauseThenResumeReachTheHandle) {
    JobOptions job;
    job.pauseAfterMs = 0;
    job.resumeAfterMs = 20;
    const JobReport r = Run(job);
    ASSERT_EQ(r.controls.size(), 2u);
    EXPECT_EQ(r.controls[0].command, static_cast<DWORD>(JOB_CONTROL_PAUSE));
    EXPECT_TRUE(r.controls[0].result);
    ASSERT_TRUE(r.controls[0].statusAfter);
    EXPECT_EQ(*r.controls[0].statusAfter & 0x8, 0x8u);
    EXPECT_EQ(r.controls[1].command, static_cast<DWORD>(JOB_CONTROL_RESUME));
    EXPECT_TRUE(r.controls[1].result);
    ASSERT_TRUE(r.controls[1].statusAfter);
    EXPECT_EQ(*r.controls[1].statusAfter & 0x9, 0u);
    EXPECT_GE(r.controls[1].atMs, 20u);
    EXPECT_FALSE(r.controls[1].fromTimeout);
    EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
}

TEST_F(HostJob, CopiesAreAddedToTheParameterString) {
    JobOptions job;
    job.parameters = u"TABS=4;";
    job.copies = 3;
    const JobReport r = Run(job);
    EXPECT_EQ(r.parameters, u"TABS=4;COPIES=3;");
    // Printed, the job is deleted with its spool file.
    EXPECT_FALSE(pal::host::GetJobSpec(r.jobId));
    EXPECT_EQ(pal::host::JobSpoolFile(r.jobId), "");
}

TEST_F(HostJob, DllMainAttachLogsToTheDriveRoot) {
    // Reload so the attach lines are written after the fixture took the log.
    m_machine->UnloadPrintProcessor();
    m_machine->TakeLogLines();
    std::string error;
    ASSERT_TRUE(m_machine->LoadPrintProcessor(&error)) << error;
    const auto lines = m_machine->TakeLogLines();
    EXPECT_EQ(m_machine->LogPath(), m_dir / "c/qlwinprn.log");
    EXPECT_TRUE(HasLine(lines, "LoadLibrary")) << Joined(lines);
    EXPECT_TRUE(HasLine(lines, "Entrypoint IncrementPageCount")) << Joined(lines);
}

// ---- the simulated port monitor ----------------------------------------------------------

template <class F>
F MonitorExport(const char* name) {
    HMODULE h = GetModuleHandleW(QUILMON_DLL);
    return h ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(h, name))) : nullptr;
}

TEST_F(HostJob, PortMonitorRecordsEveryCallInOrder) {
    auto increment = MonitorExport<PFN_IncrementPageCount>("IncrementPageCount");
    auto copies = MonitorExport<PFN_SetPrintCopyCount>("SetPrintCopyCount");
    auto stats = MonitorExport<PFN_UpdateQLWinPrnStatisticsW>("UpdateQLWinPrnStatisticsW");
    ASSERT_TRUE(increment && copies && stats);
    m_machine->TakeMonitorCalls();

    EXPECT_TRUE(increment(WSTR("QLPORT1:"), WSTR("PC1")));
    EXPECT_TRUE(copies(WSTR("QLPORT1:"), nullptr, 3));
    const std::u16string longName(400, u'x');
    stats(longName.c_str(), WSTR("\\\\SERVER"), 12345);

    const auto calls = m_machine->TakeMonitorCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].dwFunction, static_cast<DWORD>(QUILMON_FN_INCREMENT_PAGE_COUNT));
    EXPECT_EQ(std::u16string(calls[0].szArg1), u"QLPORT1:");
    EXPECT_EQ(std::u16string(calls[0].szArg2), u"PC1");
    EXPECT_EQ(calls[1].dwFunction, static_cast<DWORD>(QUILMON_FN_SET_PRINT_COPY_COUNT));
    EXPECT_EQ(calls[1].dwValue, 3u);
    EXPECT_TRUE(calls[1].fArg2Null);
    EXPECT_EQ(calls[1].szArg2[0], 0);
    EXPECT_EQ(calls[2].dwFunction, static_cast<DWORD>(QUILMON_FN_UPDATE_STATISTICS));
    EXPECT_EQ(calls[2].dwValue, 12345u);
    EXPECT_EQ(std::u16string(calls[2].szArg1), std::u16string(QUILMON_ARG_CCH - 1, u'x'));
    EXPECT_EQ(calls[1].dwSequence, calls[0].dwSequence + 1);
    EXPECT_EQ(calls[2].dwSequence, calls[1].dwSequence + 1);
    EXPECT_TRUE(m_machine->TakeMonitorCalls().empty());
}

TEST_F(HostJob, PortMonitorKeepsCallsFromConcurrentThreads) {
    auto increment = MonitorExport<PFN_IncrementPageCount>("IncrementPageCount");
    ASSERT_TRUE(increment);
    m_machine->TakeMonitorCalls();
    constexpr int kThreads = 4, kCalls = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) increment(WSTR("P"), WSTR("C"));
        });
    }
    for (auto& t : threads) t.join();
    const auto calls = m_machine->TakeMonitorCalls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads * kCalls));
    for (size_t i = 1; i < calls.size(); ++i) EXPECT_EQ(calls[i].dwSequence, calls[i - 1].dwSequence + 1);
}

} // namespace

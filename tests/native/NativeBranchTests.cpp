#include "WriterTest.h"

#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "support/TestMachine.h"
#include "support/ViewLibrary.h"

#include <map>

using namespace writertest;

namespace {

// Native jobs of the simulated view library: the main job on "Plain", virtual
// copies on "Other" (slot 0) and "Plain" (slot 2).
class NativeBranch : public WriterTest {
protected:
    void SetUp() override {
        WriterTest::SetUp();
        qltest::SetViewLibraryAvailable(true);
        ASSERT_TRUE(EnsureViewLibrary());
        pal::host::JobSpec jobSpec;
        jobSpec.printer = u"Plain";
        jobSpec.data = Pattern(16);
        Data()->dwJobId = pal::host::SubmitJob(jobSpec);
        Data()->hViewJob = Open(u"Plain");
        Data()->ahVirtualCopyJobs[0] = Open(u"Other");
        Data()->ahVirtualCopyJobs[2] = Open(u"Plain");
        qltest::TakeMonitorCalls();
    }
    void TearDown() override {
        qltest::SetViewFault(QUILMON_VIEW_FAULT_NONE);
        if (Data()->hViewJob) MyEndDocPrinter(Data(), TRUE);
        WriterTest::TearDown();
    }
    static HANDLE Open(LPCWSTR printer) {
        AGNPOPENJOBPARAMS params = {};
        params.dwVersion = AGNP_OPENJOB_VERSION;
        params.pDestination = printer;
        return GetViewFunctions().pfnOpenJob(nullptr, 0, QLVIEW_OPEN_BASE, &params);
    }
    // Bytes each native job had received when it was closed, by printer.
    static std::multimap<std::u16string, DWORD> Closed() {
        std::multimap<std::u16string, DWORD> closed;
        for (const QuilmonCall& c : qltest::TakeMonitorCalls())
            if (c.dwFunction == QUILMON_FN_VIEW_CLOSE) closed.emplace(c.szArg1, c.dwValue);
        return closed;
    }
};

TEST_F(NativeBranch, WritesGoToTheNativeJobsAndTheEndCancelsTheSpoolerJob) {
    qltest::SetViewFault(QUILMON_VIEW_FAULT_WRITE, u"Other");  // a virtual copy that fails is only logged
    ASSERT_EQ(Start(TRUE), 1u);
    EXPECT_TRUE(Write(Pattern(5000, 2)));
    EXPECT_FALSE(Data()->fJobAborted);
    qltest::ExpectLines(Lines(), {u"MyStartDocPrinter not called: 'Agentless Native Printing' mode", u"(fVirtCopyRtn)"});

    MyEndDocPrinter(Data(), TRUE);
    const std::multimap<std::u16string, DWORD> expected = {{u"Plain", 5000}, {u"Plain", 5000}, {u"Other", 0}};
    EXPECT_EQ(Closed(), expected);
    EXPECT_EQ(Data()->hViewJob, nullptr);
    for (HANDLE h : Data()->ahVirtualCopyJobs) EXPECT_EQ(h, nullptr);
    EXPECT_EQ(pal::host::JobCommands(Data()->dwJobId), (std::vector<DWORD>{JOB_CONTROL_CANCEL}));
    EXPECT_TRUE(pal::host::PortDocuments().empty());
    EXPECT_TRUE(Contains(Lines(), u"MyEndDocPrinter not called: in 'Agentless Native Printing' mode"));
}

TEST_F(NativeBranch, FailedMainWriteAbortsTheJob) {
    qltest::SetViewFault(QUILMON_VIEW_FAULT_WRITE, u"Plain");
    ASSERT_EQ(Start(TRUE), 1u);
    EXPECT_FALSE(Write(Pattern(10)));
    EXPECT_TRUE(Data()->fJobAborted);
    EXPECT_TRUE(Contains(Lines(), u"(fRtn)"));
    EXPECT_FALSE(Write(Pattern(10)));  // refused without reaching the view library
    MyEndDocPrinter(Data(), TRUE);
    const std::multimap<std::u16string, DWORD> expected = {{u"Plain", 0}, {u"Plain", 0}, {u"Other", 10}};
    EXPECT_EQ(Closed(), expected);
}

} // namespace

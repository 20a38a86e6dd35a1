#include "WriterTest.h"

#include "native/JobWriter.h"
#include "native/ViewLibrary.h"

#include <map>

using namespace writertest;

namespace {

// What the fake view library saw, per native job handle.
struct FakeJob {
    Bytes bytes;
    int writes = 0;
    bool endOfData = false;
    bool closed = false;
};
std::map<HANDLE, FakeJob> g_jobs;
HANDLE g_failingJob = nullptr;

BOOL WINAPI FakeWrite(HANDLE hJob, LPCVOID pBuf, DWORD cbBuf) {
    FakeJob& job = g_jobs[hJob];
    if (!pBuf && cbBuf == 0) {
        job.endOfData = true;
    } else {
        ++job.writes;
        const auto* p = static_cast<const uint8_t*>(pBuf);
        job.bytes.insert(job.bytes.end(), p, p + cbBuf);
    }
    return hJob != g_failingJob;
}
void WINAPI FakeClose(HANDLE hJob) { g_jobs[hJob].closed = true; }
HANDLE WINAPI FakeOpen(HANDLE, DWORD, DWORD, PVOID) { return nullptr; }
DWORD WINAPI FakeLastError() { return 0; }

HANDLE Fake(uintptr_t n) { return reinterpret_cast<HANDLE>(n); }

class NativeBranch : public WriterTest {
protected:
    void SetUp() override {
        WriterTest::SetUp();
        g_jobs.clear();
        g_failingJob = nullptr;
        ViewFunctions view;
        view.pfnOpenJob = FakeOpen;
        view.pfnWriteJob = FakeWrite;
        view.pfnCloseJob = FakeClose;
        view.pfnGetLastError = FakeLastError;
        SetViewFunctionsForTest(&view);

        pal::host::JobSpec jobSpec;
        jobSpec.printer = u"Plain";
        jobSpec.data = Pattern(16);
        Data()->dwJobId = pal::host::SubmitJob(jobSpec);
        Data()->hViewJob = Fake(0x100);
        Data()->ahVirtualCopyJobs[0] = Fake(0x201);
        Data()->ahVirtualCopyJobs[2] = Fake(0x203);
    }
    void TearDown() override {
        SetViewFunctionsForTest(nullptr);
        WriterTest::TearDown();
    }
};

TEST_F(NativeBranch, WritesGoToTheNativeJobsAndTheEndCancelsTheSpoolerJob) {
    g_failingJob = Fake(0x203);  // a virtual copy that fails is only logged
    ASSERT_EQ(Start(TRUE), 1u);
    Bytes in = Pattern(5000, 2);
    EXPECT_TRUE(Write(in));
    EXPECT_FALSE(Data()->fJobAborted);
    EXPECT_TRUE(Contains(Lines(), u"(fVirtCopyRtn)"));
    EXPECT_EQ(g_jobs[Fake(0x100)].bytes, in);
    EXPECT_EQ(g_jobs[Fake(0x100)].writes, 1);  // no staging for native jobs
    EXPECT_EQ(g_jobs[Fake(0x201)].bytes, in);
    EXPECT_EQ(g_jobs.count(Fake(0x202)), 0u);

    MyEndDocPrinter(Data(), TRUE);
    for (uintptr_t h : {0x100, 0x201, 0x203}) {
        EXPECT_TRUE(g_jobs[Fake(h)].endOfData) << h;
        EXPECT_TRUE(g_jobs[Fake(h)].closed) << h;
    }
    EXPECT_EQ(Data()->hViewJob, nullptr);
    for (HANDLE h : Data()->ahVirtualCopyJobs) EXPECT_EQ(h, nullptr);
    EXPECT_EQ(pal::host::JobCommands(Data()->dwJobId), (std::vector<DWORD>{JOB_CONTROL_CANCEL}));
    EXPECT_TRUE(pal::host::PortDocuments().empty());
    EXPECT_TRUE(Contains(Lines(), u"MyEndDocPrinter not called: in 'Agentless Native Printing' mode"));
}

TEST_F(NativeBranch, FailedMainWriteAbortsTheJob) {
    g_failingJob = Fake(0x100);
    ASSERT_EQ(Start(TRUE), 1u);
    EXPECT_FALSE(Write(Pattern(10)));
    EXPECT_TRUE(Data()->fJobAborted);
    EXPECT_TRUE(Contains(Lines(), u"(fRtn)"));
    EXPECT_EQ(g_jobs[Fake(0x201)].bytes.size(), 10u);  // the copies still got the bytes
    EXPECT_FALSE(Write(Pattern(10)));
    EXPECT_EQ(g_jobs[Fake(0x100)].writes, 1);
}

} // namespace

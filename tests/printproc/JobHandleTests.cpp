// OpenPrintProcessor, ControlPrintProcessor, ClosePrintProcessor and the
// handle test: what a job handle holds and that closing it releases all.
#include "support/JobMachine.h"

#include "printproc/JobContainers.h"
#include "printproc/Util.h"

#include <cstring>

using namespace qltest;

class JobHandle : public JobTest {};

TEST_F(JobHandle, CopiesCollapseToOne) {
    // A printer that prints directly gets one copy.
    auto direct = SubmitAndOpen(Job(u"Direct", u"RAW [FF auto]", "x", u"COPIES=3;"));
    ASSERT_NE(direct.handle, nullptr);
    EXPECT_EQ(direct.Data()->dwJobType, JOBTYPE_RAW_FF_AUTO);
    EXPECT_EQ(direct.Data()->dwCopies, 1u);
    ClosePrintProcessor(direct.handle);

    // A text job has no printer handle to ask, so one copy; TABS applies.
    auto zeroTabs = SubmitAndOpen(Job(u"Plain", u"TEXT", "x", u"TABS=0;"));
    ASSERT_NE(zeroTabs.handle, nullptr);
    EXPECT_EQ(zeroTabs.Data()->dwTabSize, 8u) << "zero keeps the default";
    ClosePrintProcessor(zeroTabs.handle);
    auto text = SubmitAndOpen(Job(u"Plain", u"TEXT", "x", u"COPIES=3;TABS=4;"));
    ASSERT_NE(text.handle, nullptr);
    EXPECT_EQ(text.Data()->dwJobType, JOBTYPE_TEXT);
    EXPECT_NE(text.Data()->hDC, nullptr);
    EXPECT_EQ(text.Data()->hPrinter, nullptr);
    EXPECT_EQ(text.Data()->dwCopies, 1u);
    EXPECT_EQ(text.Data()->dwTabSize, 4u);
    ClosePrintProcessor(text.handle);

    // A printer whose information cannot be read falls back to one copy.
    auto request = Job(u"Plain", u"RAW", "x", u"COPIES=3;");
    pal::host::InjectFault({.call = "GetPrinterW"});
    auto failing = SubmitAndOpen(request);
    pal::host::ClearFaults();
    ASSERT_NE(failing.handle, nullptr);
    EXPECT_EQ(failing.Data()->dwCopies, 1u);
    EXPECT_TRUE(Contains(Lines(), u"GetPrinter failed - falling back to 1 copy\n"));
    ClosePrintProcessor(failing.handle);
}

TEST_F(JobHandle, DefaultDevmodeFailureIsNotFatal) {
    pal::host::InjectFault({.call = "DocumentPropertiesW"});
    auto job = SubmitAndOpen(Job(u"Plain", u"NT EMF 1.003", "x"));
    pal::host::ClearFaults();
    ASSERT_NE(job.handle, nullptr);
    EXPECT_EQ(job.Data()->pDevMode, nullptr);
    auto lines = Lines();
    ExpectLines(lines, {u"DocumentProperties returns:-1, ",
                        u"CopyDevmode failed, Printer Plain, Document Doc of Plain, JobID "});
    ClosePrintProcessor(job.handle);
}

TEST_F(JobHandle, OpenRejectsBadInput) {
    const auto before = pal::host::OpenHandles();
    auto unknown = SubmitAndOpen(Job(u"Plain", u"PostScript", "x"));
    EXPECT_EQ(unknown.handle, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATATYPE));

    auto noPrinter = SubmitAndOpen(Job(u"Plain", u"RAW", "x"), u"Nobody");
    EXPECT_EQ(noPrinter.handle, nullptr);
    auto noDc = SubmitAndOpen(Job(u"Plain", u"TEXT", "x"), u"Nobody");
    EXPECT_EQ(noDc.handle, nullptr);
    EXPECT_EQ(pal::host::OpenHandles(), before) << "failed opens release what they made";

    std::u16string printer = u"Plain", empty;
    PRINTPROCESSOROPENDATA open = {};
    SetLastError(0);
    EXPECT_EQ(OpenPrintProcessor(printer.data(), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenPrintProcessor(printer.data(), &open), nullptr);
    open.pDatatype = empty.data();
    EXPECT_EQ(OpenPrintProcessor(printer.data(), &open), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(JobHandle, ValidateHandleRejectsForeignPointers) {
    SetLastError(0);
    EXPECT_EQ(ValidateHandle(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ValidateHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10))), nullptr);

    // Readable memory without the signature, e.g. a record whose close has begun.
    PRINTPROCESSORDATA fake = {};
    EXPECT_EQ(ValidateHandle(&fake), nullptr);
    fake.dwSignature = PRINTPROCESSOR_SIGNATURE;
    EXPECT_EQ(ValidateHandle(&fake), &fake);
    fake.dwSignature = 0;

    SetLastError(0);
    EXPECT_FALSE(ClosePrintProcessor(&fake));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ControlPrintProcessor(&fake, JOB_CONTROL_PAUSE));
    std::u16string name = u"Plain, Job 1";
    EXPECT_FALSE(PrintDocumentOnPrintProcessor(&fake, name.data()));
    EXPECT_TRUE(Contains(Lines(), u"[PASSED<LastError=6>] !(!(pData = ValidateHandle(hPrintProcessor)))"));
}

// The status bits ControlPrintProcessor sets and the pause event the printing
// paths wait on. (That a waiting print loop is released: the gateway suite's
// cancel of a paused job and the host suite's pause, resume and cancel.)
TEST_F(JobHandle, PauseResumeAndCancel) {
    auto job = SubmitAndOpen(Job(u"Plain", u"RAW", "x"));
    ASSERT_NE(job.handle, nullptr);
    auto* d = job.Data();
    EXPECT_EQ(WaitForSingleObject(d->hPauseEvent, 0), WAIT_OBJECT_0) << "created signalled";
    const struct {
        DWORD command;
        BOOL result;
        DWORD status;
        bool signalled;
    } steps[] = {
        {JOB_CONTROL_PAUSE, TRUE, PRINTPROCESSOR_PAUSED, false}, {JOB_CONTROL_RESUME, TRUE, 0, true},
        {JOB_CONTROL_PAUSE, TRUE, PRINTPROCESSOR_PAUSED, false},
        {JOB_CONTROL_CANCEL, TRUE, PRINTPROCESSOR_CANCELLED, true},  // a paused job is released to stop
        {JOB_CONTROL_RESUME, TRUE, PRINTPROCESSOR_CANCELLED, false},  // not paused: nothing to release
        {JOB_CONTROL_RESTART, FALSE, PRINTPROCESSOR_CANCELLED, false},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(ControlPrintProcessor(job.handle, step.command), step.result) << step.command;
        EXPECT_EQ(d->fsStatus, step.status) << step.command;
        EXPECT_EQ(WaitForSingleObject(d->hPauseEvent, 0) == WAIT_OBJECT_0, step.signalled) << step.command;
    }
    EXPECT_TRUE(ClosePrintProcessor(job.handle));
}

// The job reader on its own: through to the job's printer or another
// destination, with read failures and cancel. (Whole jobs, packed ones
// included: the host suite's raw jobs.)
#include "support/JobMachine.h"

#include "native/JobWriter.h"
#include "printproc/raw.h"

#include <cstdio>

using namespace qltest;

class ReadJob : public JobTest {
protected:
    void Open(const Bytes& data, const std::u16string& datatype = u"RAW") {
        job = SubmitAndOpen(Job(u"Plain", datatype, data));
        ASSERT_NE(job.handle, nullptr);
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(job.readName.c_str()), &hReader, nullptr));
        Lines();
    }
    void TearDown() override {
        if (hReader) ClosePrinter(hReader);
        if (job.handle) ClosePrintProcessor(job.handle);
        JobTest::TearDown();
    }
    void StartDoc() {
        DOC_INFO_1W info = {};
        info.pDocName = const_cast<LPWSTR>(u"Reader");
        info.pDatatype = const_cast<LPWSTR>(u"RAW");
        ASSERT_NE(MyStartDocPrinter(job.Data(), 1, &info, FALSE), 0u);
    }
    Bytes EndDoc() {
        MyEndDocPrinter(job.Data(), FALSE);
        auto docs = pal::host::PortDocuments();
        EXPECT_EQ(docs.size(), 1u);
        return docs.empty() ? Bytes{} : pal::host::PortDocumentBytes(docs.back());
    }

    OpenedJob job;
    HANDLE hReader = nullptr;
};

TEST_F(ReadJob, ShortReadsAreCompletedAndFailedReadsEndTheData) {
    Bytes data = Text(10000);
    Open(data);
    pal::host::InjectFault({.call = "ReadPrinter", .atByte = 3000, .shortCount = true, .once = true});
    Bytes buf(10000);
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadJobData(hReader, nullptr, buf.data(), 10000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 10000u);
    EXPECT_EQ(buf, data);

    // A failing read ends the data; the bytes of the failed call do not count.
    ClosePrinter(hReader);
    ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(job.readName.c_str()), &hReader, nullptr));
    job.Data()->dwInputPos = 0;
    pal::host::InjectFault({.call = "ReadPrinter", .atByte = 5000, .error = ERROR_READ_FAULT});
    EXPECT_FALSE(ReadJobData(hReader, nullptr, nullptr, 10000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 4096u) << "the first internal block came through";
    EXPECT_EQ(job.Data()->dwInputPos, 4096u);
}

TEST_F(ReadJob, ThroughToThePrinterAndAnotherDestinationIsLoggedButWritten) {
    Bytes data = Text(10000);
    Open(data);
    StartDoc();
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadJobData(hReader, job.Data()->hPrinter, nullptr, 6000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 6000u);
    EXPECT_FALSE(Contains(Lines(), u"(hDstPrinter == pData->hPrinter)"));
    // The caller's buffer gets the data as well.
    Bytes buf(5000);
    EXPECT_FALSE(ReadJobData(hReader, hReader, buf.data(), 5000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 4000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4000), Bytes(data.begin() + 6000, data.end()));
    EXPECT_TRUE(Contains(Lines(), u"(hDstPrinter == pData->hPrinter)"));
    EXPECT_EQ(EndDoc(), data);
}

// Each transfer form succeeds only when every byte moved: a full disk under
// the page file, or a failed send to the printer, fails the read.
TEST_F(ReadJob, FailedFileOrPrinterWriteFailsTheRead) {
    const struct {
        const char* call;
        DWORD expected;
    } cases[] = {{"fwrite", ERROR_DISK_FULL}, {"WritePrinter", ERROR_WRITE_FAULT}};
    for (const auto& c : cases) {
        Open(Text(10000));
        StartDoc();
        FILE* pFile = _wfopen(u"C:\\readjob.tmp", u"w+b");
        ASSERT_NE(pFile, nullptr);
        const bool toFile = std::string(c.call) == "fwrite";
        pal::host::InjectFault({.call = c.call, .error = ERROR_DISK_FULL});
        DWORD cbRead = 0;
        SetLastError(0);
        EXPECT_FALSE(ReadJobData(hReader, toFile ? nullptr : job.Data()->hPrinter, nullptr, 10000, job.Data(),
                                 toFile ? pFile : nullptr, &cbRead, WRITE_DATA))
            << c.call;
        EXPECT_EQ(GetLastError(), c.expected) << c.call;
        pal::host::ClearFaults();
        fclose(pFile);
        DeleteFileW(u"C:\\readjob.tmp");
        EndDoc();
        ClosePrinter(hReader);
        hReader = nullptr;
        ClosePrintProcessor(job.handle);
        job = {};
        pal::host::ResetSpooler();
    }
}

TEST_F(ReadJob, CancelledJobReadsNothing) {
    Open(Text(5000));
    job.Data()->fsStatus |= PRINTPROCESSOR_CANCELLED;
    Bytes buf(5000);
    DWORD cbRead = 7;
    SetLastError(0);
    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), 5000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_CANCELLED));
    EXPECT_EQ(cbRead, 0u);
    EXPECT_EQ(job.Data()->dwInputPos, 0u);
}

// The job reader on its own: into a buffer, through to the job's printer,
// into a file stream, with read failures, cancel and a packed job.
#include "RawTest.h"

#include "native/JobWriter.h"
#include "printproc/raw.h"
#include "tools/lib/EmzPack.h"

#include <cstdio>

using namespace rawtest;

class ReadJob : public RawTest {
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
        RawTest::TearDown();
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

TEST_F(ReadJob, IntoABufferUntilTheDataEnds) {
    Bytes data = Text(10000);
    Open(data);
    Bytes buf(6000);
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadJobData(hReader, nullptr, buf.data(), 6000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 6000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()), Bytes(data.begin(), data.begin() + 6000));
    EXPECT_EQ(job.Data()->dwInputPos, 6000u);

    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), 6000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 4000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4000), Bytes(data.begin() + 6000, data.end()));
    EXPECT_EQ(job.Data()->dwInputPos, 10000u);

    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), 6000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 0u);

    // A count of 0 reads nothing and succeeds; the out value is optional.
    EXPECT_TRUE(ReadJobData(hReader, nullptr, buf.data(), 0, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 0u);
    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), 10, job.Data(), nullptr, nullptr, WRITE_DATA));
    EXPECT_EQ(job.Data()->dwInputPos, 10000u);

    // Exactly one block: the next read is empty.
    ClosePrinter(hReader);
    ClosePrintProcessor(job.handle);
    Open(Text(RAW_BLOCK_SIZE));
    EXPECT_TRUE(ReadJobData(hReader, nullptr, buf.data(), RAW_BLOCK_SIZE, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, RAW_BLOCK_SIZE);
    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), RAW_BLOCK_SIZE, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 0u);
}

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

TEST_F(ReadJob, IntoAFileStream) {
    Bytes data = Text(10000);
    Open(data);
    FILE* pFile = tmpfile();
    ASSERT_NE(pFile, nullptr);
    DWORD cbRead = 0;
    EXPECT_FALSE(ReadJobData(hReader, nullptr, nullptr, 20000, job.Data(), pFile, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 10000u);
    EXPECT_EQ(job.Data()->dwInputPos, 10000u);

    Bytes back(20000);
    rewind(pFile);
    size_t n = fread(back.data(), 1, back.size(), pFile);
    fclose(pFile);
    back.resize(n);
    EXPECT_EQ(back, data);
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

TEST_F(ReadJob, PackedJobIsDecodedAndTheDecoderEndsWithTheData) {
    Bytes data = Text(50000);
    qltools::EmzPackOptions options;
    options.blockSize = 4096;
    options.streamInputSize = 12345;
    options.trailingEmptyBlock = true;
    Open(qltools::EmzPack(data, options));
    job.Data()->fCompressedJob = 1;

    Bytes buf(30000);
    DWORD cbRead = 0;
    EXPECT_TRUE(ReadJobData(hReader, nullptr, buf.data(), 30000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 30000u);
    EXPECT_EQ(buf, Bytes(data.begin(), data.begin() + 30000));
    EXPECT_NE(job.Data()->pDecompressor, nullptr);
    EXPECT_TRUE(Contains(Lines(), u"pNPDecompress allocated, compressed Printjob found"));

    EXPECT_FALSE(ReadJobData(hReader, nullptr, buf.data(), 30000, job.Data(), nullptr, &cbRead, WRITE_DATA));
    EXPECT_EQ(cbRead, 20000u);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 20000), Bytes(data.begin() + 30000, data.end()));
    EXPECT_EQ(job.Data()->pDecompressor, nullptr);
    EXPECT_EQ(job.Data()->dwInputPos, 50000u) << "input position counts decoded bytes";
    EXPECT_EQ(job.Data()->fCompressedJob, 1u);
}

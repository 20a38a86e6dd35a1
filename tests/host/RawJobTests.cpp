// Raw and packed jobs end to end, in-process through the spooler host: what
// the port received is compared byte for byte with what the job should print.
#include "host/Machine.h"
#include "tests/host/TestDirs.h"
#include "tools/lib/EmzPack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace qlhost;
using qlhost::test::HasLine;
using qlhost::test::Joined;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Repeat(const Bytes& b, size_t times) {
    Bytes out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Text-like data that deflates to about a third: words drawn from a small
// vocabulary by a fixed-seed generator, with line ends.
Bytes Words(size_t size, uint32_t seed) {
    static const char* const kWords[] = {"spool", "page", "printer", "port", "job", "copy", "toner", "A4",
                                         "margin", "duplex", "tray", "form", "queue", "driver", "ink", "sheet"};
    Bytes out;
    uint32_t x = seed | 1;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const std::string w = kWords[x % 16];
        out.insert(out.end(), w.begin(), w.end());
        out.push_back((x >> 8) % 11 == 0 ? '\n' : ' ');
    }
    out.resize(size);
    return out;
}

// Every byte value, including the control bytes the form-feed scanner knows.
Bytes AllByteValues(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return out;
}

Bytes Pack(const Bytes& content, size_t blockSize, size_t streamInputSize, bool emptyBlock = false) {
    qltools::EmzPackOptions options;
    options.blockSize = blockSize;
    options.streamInputSize = streamInputSize;
    options.headerValue = 0x12345678;
    options.trailingEmptyBlock = emptyBlock;
    return qltools::EmzPack(content, options);
}

// Where two byte strings first differ, for failure messages.
std::string FirstDifference(const Bytes& got, const Bytes& want) {
    const size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i) {
        if (got[i] != want[i]) return "first difference at byte " + std::to_string(i);
    }
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
}

class RawJob : public qlhost::test::MachineTest {
protected:

    JobReport Run(JobOptions job) {
        job.timeoutMs = 10000;
        return m_machine->RunJob(job);
    }
    JobReport Run(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                  std::optional<unsigned> copies = std::nullopt) {
        JobOptions job;
        job.printer = printer;
        job.datatype = datatype;
        job.data = data;
        job.copies = copies;
        return Run(job);
    }

    // The job printed and ended exactly one document, without leaking a
    // handle; returns the bytes that document wrote.
    static Bytes OnlyDocument(const JobReport& r) {
        EXPECT_TRUE(r.error.empty()) << r.error;
        EXPECT_TRUE(r.Succeeded()) << "print error " << r.printError << "\n" << Joined(r.logLines);
        EXPECT_TRUE(r.closeResult);
        EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
        if (r.documents.size() != 1) {
            ADD_FAILURE() << r.documents.size() << " port documents\n" << Joined(r.logLines);
            return {};
        }
        const pal::host::PortDocument& doc = r.documents[0];
        EXPECT_TRUE(doc.ended);
        EXPECT_EQ(doc.jobId, r.jobId);
        Bytes bytes = pal::host::PortDocumentBytes(doc);
        EXPECT_EQ(bytes.size(), doc.bytes);
        return bytes;
    }

    void ExpectPrints(const JobReport& r, const Bytes& expected) {
        const Bytes got = OnlyDocument(r);
        EXPECT_TRUE(got == expected) << FirstDifference(got, expected);
    }
};

TEST_F(RawJob, RawDataReachesThePortUnchangedIn2048ByteWrites) {
    const Bytes data = AllByteValues(10000);
    const JobReport r = Run(u"Office Laser", u"RAW", data);
    ExpectPrints(r, data);
    ASSERT_EQ(r.documents.size(), 1u);
    const pal::host::PortDocument& doc = r.documents[0];
    EXPECT_EQ(doc.datatype, u"RAW");
    EXPECT_EQ(doc.port, u"FILE1:");
    EXPECT_TRUE(HasLine(r.logLines, "RAW Job detected, call PrintRawJob")) << Joined(r.logLines);
    // The staging buffer batches the writes: whole 2048-byte units, then the
    // rest when the document ends.
    ASSERT_FALSE(doc.writeSizes.empty());
    for (size_t i = 0; i + 1 < doc.writeSizes.size(); ++i) EXPECT_EQ(doc.writeSizes[i], 2048u) << "write " << i;
    EXPECT_EQ(doc.writeSizes.back(), 10000u % 2048u);
}

TEST_F(RawJob, FormFeedIsAppendedAsTheDatatypeAsks) {
    const Bytes ff = {0x0C};
    const Bytes escK = {0x1B, 'K', 0x03, 0x00, 0x0C, 0x0C, 0x0C};  // a 3-byte count hides three form feeds
    struct Case {
        const char16_t* datatype;
        Bytes data;
        bool formFeed;
    };
    const Case cases[] = {
        {u"RAW [FF appended]", B("hello abc"), true},
        {u"RAW [FF appended]", B("hello abc\f"), true},
        {u"RAW [FF appended]", B("hello abc\x1b" "E"), false},
        {u"RAW [FF appended]", B("hello abc\x1b" "o"), false},
        {u"RAW [FF auto]", B("hello abc"), true},
        {u"RAW [FF auto]", B("hello abc\f"), false},
        {u"RAW [FF auto]", B("hello abc\f\r\n"), false},
        {u"RAW [FF auto]", Concat({B("hello abc"), escK}), true},
        {u"RAW [FF auto]", Concat({B("hello\f"), escK}), false},
        {u"RAW [FF auto]", Concat({Words(9000, 3), ff, B("\r\n")}), false},
        {u"RAW [FF auto]", Words(9000, 4), true},
        {u"RAW", B("hello abc"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(c.datatype) + " data of " + std::to_string(c.data.size()) + " bytes");
        const JobReport r = Run(u"Office Laser", c.datatype, c.data);
        ExpectPrints(r, c.formFeed ? Concat({c.data, ff}) : c.data);
        if (!r.documents.empty()) {
            EXPECT_EQ(r.documents[0].datatype, c.datatype);
        }
    }
}

TEST_F(RawJob, CopiesMakeOneDocumentHoldingTheDataOncePerCopy) {
    const Bytes data = Words(9000, 1);
    ExpectPrints(Run(u"Office Laser", u"RAW", data, 3), Repeat(data, 3));

    // A job of exactly one read block reads an empty second block per copy.
    const Bytes block = AllByteValues(4096);
    ExpectPrints(Run(u"Office Laser", u"RAW", block, 3), Repeat(block, 3));

    // Every copy of a form-feed job gets its own form feed.
    const Bytes text = Words(5000, 2);
    ExpectPrints(Run(u"Office Laser", u"RAW [FF appended]", text, 2), Repeat(Concat({text, Bytes{0x0C}}), 2));

    // Each copy of a packed job decodes the whole job again.
    const Bytes content = Words(30000, 7);
    const Bytes packed = Pack(content, 1500, 10000);
    ExpectPrints(Run(u"Office Laser", u"RAW", packed, 3), Repeat(content, 3));
    ExpectPrints(Run(u"Office Laser", u"RAW [FF appended]", packed, 2), Repeat(Concat({content, Bytes{0x0C}}), 2));
}

TEST_F(RawJob, PackedRawJobIsDecodedWhileItPrints) {
    const Bytes content = Words(100000, 5);
    struct Variant {
        const char* what;
        Bytes content;
        size_t blockSize, streamInputSize;
        bool emptyBlock;
    };
    const Variant variants[] = {
        {"zlib streams spanning blocks, blocks holding two streams", content, 1000, 7000, false},
        {"one stream in large blocks", content, 65536, 0, false},
        {"a block per payload byte", Words(3000, 6), 1, 500, false},
        {"a trailing empty block", content, 4096, 30000, true},
        {"binary content", AllByteValues(20000), 777, 4096, false},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        const Bytes packed = Pack(v.content, v.blockSize, v.streamInputSize, v.emptyBlock);
        ASSERT_EQ(std::string(packed.begin(), packed.begin() + 5), "%%EMZ");
        const JobReport r = Run(u"Office Laser", u"RAW", packed);
        ExpectPrints(r, v.content);
        EXPECT_TRUE(HasLine(r.logLines, "Compressed Printjob found")) << Joined(r.logLines);
        EXPECT_TRUE(HasLine(r.logLines, "pNPDecompress allocated, compressed Printjob found"));
    }
}

TEST_F(RawJob, PackedRawJobHoldingAReadyMadeStreamPrintsTheDecodedStream) {
    const Bytes stream = Concat({B("%%EMF"), AllByteValues(6000)});
    const JobReport r = Run(u"QL Spool Bridge", u"RAW", Pack(stream, 512, 2500));
    ExpectPrints(r, stream);
    EXPECT_TRUE(HasLine(r.logLines, "RAW Job detected, call PrintRawJob")) << Joined(r.logLines);
}

TEST_F(RawJob, ReadyMadeStreamOfAnEmfDatatypePrintsRaw) {
    struct Case {
        const char16_t* printer;
        Bytes data;
    };
    const Case cases[] = {
        {u"QL Spool Bridge", Concat({B("%%EMF"), AllByteValues(5000)})},
        {u"QL PDF Bridge", Concat({B("%%XPS"), AllByteValues(5000)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(c.printer));
        const JobReport r = Run(c.printer, u"NT EMF 1.008", c.data);
        ExpectPrints(r, c.data);
        EXPECT_TRUE(HasLine(r.logLines, "ReadAHead detect an QLRAWPrintJob!, call PrintRawJob"))
            << Joined(r.logLines);
        // The document is started with the datatype of the re-typed job.
        if (!r.documents.empty()) {
            EXPECT_EQ(r.documents[0].datatype, u"RAW");
        }
    }
}

TEST_F(RawJob, ReadyMadeStreamOnAnOrdinaryPrinterTakesTheRawPathWithoutAPrinterHandle) {
    // The job handle of an EMF job keeps its printer handle only for gateway
    // printers, so on an ordinary printer the raw copy has no printer to
    // start its document on: it is dispatched raw and fails cleanly.
    const JobReport r = Run(u"Office Laser", u"NT EMF 1.008", Concat({B("%%XPS"), AllByteValues(5000)}));
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_TRUE(HasLine(r.logLines, "ReadAHead detect an QLRAWPrintJob!, call PrintRawJob")) << Joined(r.logLines);
    EXPECT_FALSE(HasLine(r.logLines, "EMF Job detected"));
    EXPECT_FALSE(r.printResult);
    EXPECT_EQ(r.printError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(r.documents.empty());
    EXPECT_TRUE(r.closeResult);
    EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
}

TEST_F(RawJob, PackedJobOfAnEmfDatatypeIsNotAReadyMadeStream) {
    // The read-ahead looks at the job's own bytes: "%%EMZ", whatever they
    // decode to, so the job takes the EMF path of its printer.
    const Bytes packed = Pack(Concat({B("%%EMF"), AllByteValues(3000)}), 1024, 0);
    struct Case {
        const char16_t* printer;
        const char* path;
    };
    const Case cases[] = {
        {u"Office Laser", "EMF Job detected, call PrintEMFJob"},
        {u"QL Spool Bridge", "QLSB detected, call PrintQLEMFJob"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(c.printer));
        const JobReport r = Run(c.printer, u"NT EMF 1.008", packed);
        ASSERT_TRUE(r.error.empty()) << r.error;
        EXPECT_TRUE(r.opened && r.printed);
        EXPECT_TRUE(HasLine(r.logLines, "Compressed Printjob found")) << Joined(r.logLines);
        EXPECT_TRUE(HasLine(r.logLines, c.path)) << Joined(r.logLines);
        EXPECT_FALSE(HasLine(r.logLines, "ReadAHead detect an QLRAWPrintJob!"));
        EXPECT_TRUE(r.closeResult);
        EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
    }
}

TEST_F(RawJob, WritePrinterFailingAtAByteStopsTheOutputThere) {
    const Bytes data = Words(20000, 8);
    JobOptions job;
    job.data = data;
    job.copies = 2;
    pal::host::Fault fault;
    fault.call = "WritePrinter";
    fault.atByte = 5000;
    fault.error = ERROR_DISK_FULL;
    job.faults.push_back(fault);
    const JobReport r = Run(job);

    // The raw path ends the document and reports the job printed; the writer
    // refuses everything after the failed send, the second copy included.
    const Bytes got = OnlyDocument(r);
    EXPECT_TRUE(got == Bytes(data.begin(), data.begin() + 5000)) << FirstDifference(got, data);
    EXPECT_TRUE(HasLine(r.logLines, "!(fRtn == 0)")) << Joined(r.logLines);
    EXPECT_TRUE(HasLine(r.logLines, "!(lpData->fJobAborted != 0)")) << Joined(r.logLines);
    ASSERT_EQ(r.faults.size(), 1u);
}

TEST_F(RawJob, WritePrinterTakingAShortCountStillDeliversEveryByte) {
    const Bytes content = Words(20000, 9);
    const Bytes packed = Pack(content, 3000, 8000);
    // 20000 bytes leave the writer as nine 2048-byte sends and a final flush
    // of 1568 bytes at the document end. Sends are repeated until every byte
    // is taken; the final flush is a single WritePrinter whose result is not
    // looked at, so a short count there loses the rest.
    struct Case {
        uint64_t at;
        size_t delivered;
    };
    for (const Case c : {Case{1, 20000}, Case{2047, 20000}, Case{2048, 20000}, Case{5000, 20000},
                         Case{18431, 20000}, Case{19999, 19999}}) {
        SCOPED_TRACE("short count at byte " + std::to_string(c.at));
        JobOptions job;
        job.data = packed;
        pal::host::Fault fault;
        fault.call = "WritePrinter";
        fault.atByte = c.at;
        fault.shortCount = true;
        fault.once = true;
        job.faults.push_back(fault);
        ExpectPrints(Run(job), Bytes(content.begin(), content.begin() + c.delivered));
    }
}

TEST_F(RawJob, FaultsArmedForOneJobDoNotReachTheNext) {
    JobOptions job;
    job.data = Words(6000, 10);
    pal::host::Fault fault;
    fault.call = "WritePrinter";
    fault.atByte = 100;
    job.faults.push_back(fault);
    EXPECT_EQ(OnlyDocument(Run(job)).size(), 100u);
    job.faults.clear();
    ExpectPrints(Run(job), job.data);
}

TEST_F(RawJob, CancelOfAPausedMultiCopyJobStopsIt) {
    const Bytes data = Words(50000, 11);
    for (const Bytes& spooled : {data, Pack(data, 2000, 9000)}) {
        SCOPED_TRACE(spooled.size() == data.size() ? "plain job" : "packed job");
        JobOptions job;
        job.data = spooled;
        job.copies = 5;
        job.pauseAfterMs = 0;  // before the job reads its first block
        job.cancelAfterMs = 30;
        const JobReport r = Run(job);
        ASSERT_EQ(r.controls.size(), 2u);
        EXPECT_FALSE(r.controls[1].fromTimeout) << "the cancel did not release the paused job";
        ASSERT_TRUE(r.controls[1].statusAfter);
        EXPECT_EQ(*r.controls[1].statusAfter & 0x1, 0x1u);
        EXPECT_GE(r.printMs, 30u);
        // The paused first block is never written, no later copy starts
        // writing, and the document is still ended.
        EXPECT_TRUE(OnlyDocument(r).empty());
    }
}

} // namespace

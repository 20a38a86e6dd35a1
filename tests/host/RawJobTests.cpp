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

class RawJob : public qlhost::test::MachineTest {
protected:
    JobReport Run(JobOptions job) {
        job.timeoutMs = 10000;
        return m_machine->RunJob(job);
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

    static void ExpectPrints(const JobReport& r, const Bytes& expected) {
        const Bytes got = OnlyDocument(r);
        if (got == expected) return;
        const auto diff = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
        ADD_FAILURE() << "first difference at byte " << (diff.first - got.begin()) << "; sizes " << got.size()
                      << " and " << expected.size();
    }
};

// Every raw job the print processor can be handed, with the bytes its port
// document must hold and the log line of the path it must take.
TEST_F(RawJob, PortReceivesExactlyWhatTheJobPrints) {
    const Bytes escK = {0x1B, 'K', 0x03, 0x00, 0x0C, 0x0C, 0x0C};  // a 3-byte count hides three form feeds
    const Bytes text = Words(9000, 1), text2 = Words(5000, 2), block = AllByteValues(4096);
    const Bytes content = Words(30000, 7), big = Words(100000, 5), small = Words(3000, 6), binary = AllByteValues(20000);
    const Bytes packed = Pack(content, 1500, 10000);
    const Bytes emf = Concat({B("%%EMF"), AllByteValues(5000)}), xps = Concat({B("%%XPS"), AllByteValues(5000)});
    const char* const raw = "RAW Job detected, call PrintRawJob";
    const char* const decoded = "pNPDecompress allocated, compressed Printjob found";
    const char* const readyMade = "ReadAHead detect an QLRAWPrintJob!, call PrintRawJob";
    struct Case {
        Bytes data, prints;
        const char16_t* datatype = u"RAW";
        std::optional<unsigned> copies;
        const char* logLine = nullptr;
        const char16_t* printer = u"Office Laser";
        const char16_t* documentDatatype = nullptr;  // the job's own when null
    };
    const Case cases[] = {
        {.data = AllByteValues(10000), .prints = AllByteValues(10000), .logLine = raw},
        // The form feed a datatype asks for; the "auto" one only where the
        // data does not already end the page.
        {B("hello abc"), B("hello abc\f"), u"RAW [FF appended]"},
        {B("hello abc\f"), B("hello abc\f\f"), u"RAW [FF appended]"},
        {B("hello abc\x1b" "E"), B("hello abc\x1b" "E"), u"RAW [FF appended]"},
        {B("hello abc\x1b" "o"), B("hello abc\x1b" "o"), u"RAW [FF appended]"},
        {B("hello abc"), B("hello abc\f"), u"RAW [FF auto]"},
        {B("hello abc\f"), B("hello abc\f"), u"RAW [FF auto]"},
        {B("hello abc\f\r\n"), B("hello abc\f\r\n"), u"RAW [FF auto]"},
        {Concat({B("hello abc"), escK}), Concat({B("hello abc"), escK, B("\f")}), u"RAW [FF auto]"},
        {Concat({B("hello\f"), escK}), Concat({B("hello\f"), escK}), u"RAW [FF auto]"},
        {Concat({text, B("\f\r\n")}), Concat({text, B("\f\r\n")}), u"RAW [FF auto]"},
        {big, Concat({big, B("\f")}), u"RAW [FF auto]"},
        {B("hello abc"), B("hello abc")},
        // Copies make one document holding the data once per copy: a job of
        // exactly one read block reads an empty second block per copy, every
        // copy gets its own form feed, each copy of a packed job decodes the
        // whole job again.
        {text, Repeat(text, 3), u"RAW", 3, raw},
        {block, Repeat(block, 3), u"RAW", 3},
        {text2, Repeat(Concat({text2, B("\f")}), 2), u"RAW [FF appended]", 2},
        {packed, Repeat(content, 3), u"RAW", 3, decoded},
        {packed, Repeat(Concat({content, B("\f")}), 2), u"RAW [FF appended]", 2, decoded},
        // Packed jobs are decoded while they print: zlib streams spanning
        // blocks and blocks holding two streams, one stream in large blocks,
        // a block per payload byte, a trailing empty block, binary content.
        {Pack(big, 1000, 7000), big, u"RAW", {}, decoded},
        {Pack(big, 65536, 0), big, u"RAW", {}, decoded},
        {Pack(small, 1, 500), small, u"RAW", {}, decoded},
        {Pack(big, 4096, 30000, true), big, u"RAW", {}, decoded},
        {Pack(binary, 777, 4096), binary, u"RAW", {}, decoded},
        // A ready-made stream prints raw, packed or under an EMF datatype;
        // then the document is started with the re-typed job's datatype.
        {Pack(emf, 512, 2500), emf, u"RAW", {}, raw, u"QL Spool Bridge"},
        {emf, emf, u"NT EMF 1.008", {}, readyMade, u"QL Spool Bridge", u"RAW"},
        {xps, xps, u"NT EMF 1.008", {}, readyMade, u"QL PDF Bridge", u"RAW"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + pal::host::ToUtf8(c.datatype) + " on " +
                     pal::host::ToUtf8(c.printer));
        JobOptions job;
        job.printer = c.printer;
        job.datatype = c.datatype;
        job.data = c.data;
        job.copies = c.copies;
        const JobReport r = Run(job);
        ExpectPrints(r, c.prints);
        if (c.logLine) {
            EXPECT_TRUE(HasLine(r.logLines, c.logLine)) << Joined(r.logLines);
        }
        if (r.documents.empty()) continue;
        const pal::host::PortDocument& doc = r.documents[0];
        EXPECT_EQ(doc.datatype, c.documentDatatype ? c.documentDatatype : c.datatype);
        // The staging buffer batches the writes: whole 2048-byte units, then
        // the rest when the document (or, with copies, each copy) ends.
        for (size_t w = 0; !c.copies && w + 1 < doc.writeSizes.size(); ++w) EXPECT_EQ(doc.writeSizes[w], 2048u) << w;
    }
}

// Each report holds only its own job's log lines; copies are added to the
// job's parameter string; a printed job is deleted with its spool file.
TEST_F(RawJob, EachJobIsReportedAndDeletedOnItsOwn) {
    JobOptions job;
    job.data = B("hello");
    job.parameters = u"TABS=4;";
    job.copies = 3;
    const JobReport first = Run(job);
    const JobReport second = Run(JobOptions{.data = job.data});
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

TEST_F(RawJob, ReadyMadeStreamOnAnOrdinaryPrinterTakesTheRawPathWithoutAPrinterHandle) {
    // The job handle of an EMF job keeps its printer handle only for gateway
    // printers, so on an ordinary printer the raw copy has no printer to
    // start its document on: it is dispatched raw and fails cleanly.
    JobOptions job;
    job.datatype = u"NT EMF 1.008";
    job.data = Concat({B("%%XPS"), AllByteValues(5000)});
    const JobReport r = Run(job);
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_TRUE(HasLine(r.logLines, "ReadAHead detect an QLRAWPrintJob!, call PrintRawJob")) << Joined(r.logLines);
    EXPECT_FALSE(HasLine(r.logLines, "EMF Job detected"));
    EXPECT_FALSE(r.printResult);
    EXPECT_EQ(r.printError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(r.documents.empty());
    EXPECT_TRUE(r.closeResult);
    EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
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

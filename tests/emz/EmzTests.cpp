// The "%%EMZ" decoder on the shared job machine ("GW"): jobs go through the
// simulated spooler and are read back through CNPDecompress, the way the job
// reader does it, with the debug log on the debugger channel: block framing,
// zlib stream boundaries, every end condition, and the reads of the caller.
// Then the qlemzpack command: packs like the library and refuses bad input.
#include "diag/DbgLog.h"
#include "emz/NPDecompress.h"
#include "palhost.h"
#include "support/JobMachine.h"
#include "support/TestMachine.h"
#include "tools/lib/EmzPack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using qltest::Contains;
using qltest::Dump;
using qltest::ExpectLines;

struct Decoded {
    Bytes data;                 // bytes of all successful reads, in order
    std::vector<DWORD> counts;  // bytesRead of each successful read
    bool endedFalse = false;    // the last read returned FALSE with 0 bytes
    size_t calls = 0;
};

// The debug level the machine configured (Quiet() lowers it for a test).
DWORD ConfiguredLevel() {
    static const DWORD level = [] {
        qltest::SetUpJobMachine();
        return g_dwDebugLevel;
    }();
    return level;
}

class DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        pal::host::ResetSpooler();
        g_dwDebugLevel = ConfiguredLevel();
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        g_dwDebugLevel = ConfiguredLevel();
        pal::host::ClearFaults();
    }
    // Debugger lines logged since the last call.
    static std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }
    // Stops logging for bulk cases (restored in TearDown).
    static void Quiet() { g_dwDebugLevel = 0; }
};

// Queues `job` on the test printer and opens its data for reading.
HANDLE OpenJob(const Bytes& job) {
    pal::host::JobSpec jobSpec;
    jobSpec.printer = u"GW";
    jobSpec.data = job;
    const DWORD jobId = pal::host::SubmitJob(jobSpec);
    EXPECT_NE(jobId, 0u);
    std::u16string name = pal::host::JobReadName(jobId);
    HANDLE hPrinter = nullptr;
    EXPECT_TRUE(OpenPrinterW(name.data(), &hPrinter, nullptr));
    return hPrinter;
}

// Queues `job` on the test printer, opens its data and reads it through a
// decoder with reads of `readSize` bytes until ReadPrinter returns FALSE (at
// most maxCalls reads). Checks the read contract on the way: every TRUE read
// returns 1..readSize bytes, every one but the last fills the buffer, a FALSE
// read returns 0 bytes, and a read after the end is FALSE again.
Decoded Decode(const Bytes& job, DWORD readSize, size_t maxCalls = 1u << 24) {
    Decoded result;
    HANDLE hPrinter = OpenJob(job);
    if (!hPrinter) return result;
    {
        CNPDecompress decoder(hPrinter);
        EXPECT_EQ(decoder.LastError(), Z_OK);
        Bytes buffer(readSize ? readSize : 1);
        while (result.calls < maxCalls) {
            DWORD cbRead = 0xDEADBEEF;
            ++result.calls;
            if (!decoder.ReadPrinter(buffer.data(), readSize, &cbRead)) {
                EXPECT_EQ(cbRead, 0u);
                result.endedFalse = true;
                break;
            }
            EXPECT_GT(cbRead, 0u);
            EXPECT_LE(cbRead, readSize);
            if (cbRead == 0 || cbRead > readSize) break;
            result.data.insert(result.data.end(), buffer.begin(), buffer.begin() + cbRead);
            result.counts.push_back(cbRead);
        }
        if (result.endedFalse) {
            DWORD cbRead = 0xDEADBEEF;
            EXPECT_FALSE(decoder.ReadPrinter(buffer.data(), readSize, &cbRead));
            EXPECT_EQ(cbRead, 0u);
        }
    }
    for (size_t i = 0; i + 1 < result.counts.size(); ++i) {
        if (result.counts[i] != readSize) {
            ADD_FAILURE() << "read " << i << " returned " << result.counts[i] << " of " << readSize << " bytes";
            break;
        }
    }
    EXPECT_TRUE(ClosePrinter(hPrinter));
    return result;
}

// Test data: random bytes (incompressible) or text-like runs (compressible).
Bytes RandomBytes(std::mt19937& rng, size_t n) {
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

Bytes TextBytes(std::mt19937& rng, size_t n) {
    static const char* const kWords[] = {"page ", "EMR_STRETCHDIBITS ", "\r\n", "0000", "%%EMF ", "bitmap ", "font "};
    Bytes out;
    out.reserve(n + 32);
    while (out.size() < n) {
        if (rng() % 16 == 0) {
            out.push_back(static_cast<uint8_t>(rng()));
        } else {
            const char* w = kWords[rng() % std::size(kWords)];
            while (*w) out.push_back(static_cast<uint8_t>(*w++));
        }
    }
    out.resize(n);
    return out;
}

Bytes Concat(std::initializer_list<std::span<const uint8_t>> parts) {
    Bytes out;
    for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Deflate(std::span<const uint8_t> input, int level = -1) {
    return qltools::EmzDeflate(input, 0, level);
}

Bytes Block(std::span<const uint8_t> payload, uint32_t headerValue = 0) {
    Bytes out;
    qltools::EmzAppendBlock(out, payload, headerValue);
    return out;
}

Bytes Text(uint32_t seed, size_t n) {
    std::mt19937 rng(seed);
    return TextBytes(rng, n);
}

bool IsPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Every way a job can end early or break: what was decoded before the end is
// delivered (a whole stream, a strict prefix or nothing), then FALSE.
TEST_F(DecoderTest, EndConditions) {
    enum Want { Whole, Prefix, SomePrefix, Nothing };
    struct Case {
        const char* name;
        Bytes job;
        DWORD readSize;
        Bytes expected;
        Want want;
        std::vector<std::u16string> lines, absent;
    };
    const Bytes a = Text(6, 4000), sa = Deflate(a);
    const std::span<const uint8_t> s(sa);
    std::vector<Case> cases;
    const std::u16string len = pal::host::FromUtf8(std::to_string(sa.size()));
    cases.push_back({"one block, one stream", Block(sa, 7), 8192, a, Whole,
                     {u"CNPDecompress::ReadPrinter(8192)", u"GetBlockHeader ok, 7, " + len,
                      u"GetNextChunk return:INFLATE_READY(1)", u"CReadPrinter EndOfPrintJobReached reached:",
                      u"expected end of printjob: 0"},
                     {u"_ERR_"}});
    cases.push_back({"empty job", {}, 100, {}, Nothing, {}, {}});
    cases.push_back({"empty stream", Block(Deflate({})), 100, {}, Nothing, {}, {}});
    cases.push_back({"empty block between two streams", Concat({Block(sa), Block({}), Block(Deflate(Text(7, 4000)))}),
                     8192, a, Whole, {u"GetBlockHeader ok, 0, 0", u"unexpected EOF reached: 0 bytes expected"}, {}});
    cases.push_back({"empty block inside a stream",
                     Concat({Block(s.first(sa.size() / 2)), Block({}), Block(s.subspan(sa.size() / 2))}), 8192, a,
                     Prefix, {}, {}});
    qltools::EmzPackOptions trailing;
    trailing.trailingEmptyBlock = true;
    cases.push_back({"trailing empty block", qltools::EmzPack(a, trailing), 8192, a, Whole, {}, {}});
    cases.push_back({"partial header after the last block", Concat({Block(sa), Bytes{'%', '%', 'E'}}), 8192, a, Whole,
                     {u"expected end of printjob: 3"}, {u"corrupt print stream"}});
    Bytes badMagic = Block(Deflate(Text(10, 500)));
    badMagic[4] = 'Y';  // "%%EMY"
    cases.push_back({"bad magic", Concat({Block(sa), badMagic}), 8192, a, Whole,
                     {u"corrupt print stream: illegal magic code '%EMZ' expected: 5"}, {}});
    badMagic[0] = 'X';
    cases.push_back({"bad first block", badMagic, 8192, {}, Nothing, {}, {}});
    // Cut in the header value and in the payload length.
    const Bytes next = Block(Deflate(Text(12, 100)), 0x01020304);
    for (size_t keep : {size_t{7}, size_t{11}})
        cases.push_back({"short block header", Concat({Block(sa), std::span(next).first(keep)}), 8192, a, Whole,
                         {u"unexpected end of printjob: 2"}, {}});
    Bytes claims = Block(sa);
    const uint32_t claimed = static_cast<uint32_t>(sa.size() + 20);
    for (int i = 0; i < 4; ++i) claims[9 + i] = static_cast<uint8_t>(claimed >> (8 * i));
    cases.push_back({"payload claims more than the job holds", claims, 8192, a, Whole, {u"unexpected EOF reached:"}, {}});
    Bytes cut = Block(sa);
    cut.resize(cut.size() - sa.size() / 2);
    cases.push_back({"job ends inside the stream", cut, 1024, a, Prefix, {}, {}});
    Bytes badSum = Deflate(Text(14, 2000));
    badSum.back() ^= 0x01;  // Adler-32 trailer: the failing read delivers nothing
    cases.push_back({"bad checksum", Block(badSum), 8192, {}, Nothing,
                     {u"GetNextChunk return:err(-3)", u"GetNextChunk returns error = -3"}, {}});
    std::mt19937 rng(15);
    const Bytes large = RandomBytes(rng, 100000);
    Bytes lateBadSum = Deflate(large);
    lateBadSum[lateBadSum.size() - 2] ^= 0x40;  // earlier reads stand
    cases.push_back({"bad checksum after many reads", Block(lateBadSum), 4096, large, SomePrefix, {}, {}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Lines();
        const Decoded d = Decode(c.job, c.readSize);
        EXPECT_TRUE(d.endedFalse);
        switch (c.want) {
        case Whole: EXPECT_EQ(d.data, c.expected); break;
        case Nothing: EXPECT_TRUE(d.data.empty()); break;
        case SomePrefix: EXPECT_GT(d.data.size(), 0u); [[fallthrough]];
        case Prefix:
            EXPECT_LT(d.data.size(), c.expected.size());
            EXPECT_TRUE(IsPrefix(d.data, c.expected));
        }
        const auto lines = Lines();
        for (const auto& line : c.lines) EXPECT_TRUE(Contains(lines, line)) << pal::host::ToUtf8(line) << Dump(lines);
        for (const auto& line : c.absent) EXPECT_FALSE(Contains(lines, line)) << pal::host::ToUtf8(line) << Dump(lines);
    }
}

TEST_F(DecoderTest, SizeZeroOrNullBufferIsFalseAndHarmless) {
    const Bytes input = Text(17, 100);
    HANDLE h = OpenJob(Block(Deflate(input)));
    ASSERT_NE(h, nullptr);
    {
        CNPDecompress decoder(h);
        BYTE buf[200];
        DWORD cb = 99;
        EXPECT_FALSE(decoder.ReadPrinter(buf, 0, &cb));
        EXPECT_EQ(cb, 0u);
        cb = 99;
        EXPECT_FALSE(decoder.ReadPrinter(nullptr, 200, &cb));
        EXPECT_EQ(cb, 0u);
        EXPECT_FALSE(decoder.ReadPrinter(buf, 200, nullptr));
        auto lines = Lines();
        ExpectLines(lines, {u"GetNextChunk return:INFLATE_BUFFER_NULL(2)", u"GetNextChunk returns error = 2"});
        EXPECT_FALSE(Contains(lines, u"ReadPrinter(5)=")) << "nothing was read: " << Dump(lines);

        // The decoder is untouched and still reads the job.
        ASSERT_TRUE(decoder.ReadPrinter(buf, sizeof(buf), &cb));
        EXPECT_EQ(Bytes(buf, buf + cb), input);
        EXPECT_FALSE(decoder.ReadPrinter(buf, sizeof(buf), &cb));
    }
    ClosePrinter(h);
}

// Random packings of random data (streams cut in their header or mid-data by
// block ends, several streams in one block, blocks of 1 to 2^20 bytes), read
// in sizes around and far above the decoder's chunk, tiny ones and random
// ones: the reads reassemble the input exactly.
TEST_F(DecoderTest, RoundTrips) {
    Quiet();
    for (uint32_t seed = 100; seed < 160; ++seed) {
        std::mt19937 rng(seed);
        const size_t n = rng() % 4 == 0 ? rng() % 64 : rng() % 150000;
        const Bytes input = rng() % 2 ? TextBytes(rng, n) : RandomBytes(rng, n);
        qltools::EmzPackOptions o;
        const size_t blockChoices[] = {1, 2, 13, 512, 8191, 8192, 8193, 65536, 1u << 20};
        o.blockSize = blockChoices[rng() % std::size(blockChoices)];
        if (o.blockSize == 1 && n > 20000) o.blockSize = 3;  // keep the run short
        o.streamInputSize = rng() % 3 == 0 ? 0 : 1 + rng() % 40000;
        o.level = static_cast<int>(rng() % 11) - 1;
        o.headerValue = rng();
        o.trailingEmptyBlock = rng() % 4 == 0;
        const DWORD readSizes[] = {1, 7, 8191, 8192, 8193, 1u << 20, 4u << 20};
        const DWORD readSize = rng() % 2 ? readSizes[seed % std::size(readSizes)] : 1 + rng() % 70000;
        Decoded d = Decode(qltools::EmzPack(input, o), readSize);
        EXPECT_TRUE(d.endedFalse) << "seed " << seed;
        EXPECT_TRUE(d.data == input) << "seed " << seed << ": " << d.data.size() << " of " << input.size();
    }
}

TEST_F(DecoderTest, MutatedStreamsEndWithFalse) {
    Quiet();
    std::mt19937 rng(2024);
    const Bytes input = TextBytes(rng, 6000);
    std::vector<Bytes> bases;
    for (size_t blockSize : {size_t{16}, size_t{300}, size_t{100000}}) {
        qltools::EmzPackOptions o;
        o.blockSize = blockSize;
        o.streamInputSize = 1500;
        bases.push_back(qltools::EmzPack(input, o));
    }
    for (int i = 0; i < 400; ++i) {
        Bytes job = bases[rng() % bases.size()];
        const int kind = static_cast<int>(rng() % 3);
        if (kind == 0 || kind == 2) {
            job.resize(rng() % job.size());
        }
        if (kind >= 1 && !job.empty()) {
            const int flips = 1 + static_cast<int>(rng() % 3);
            for (int f = 0; f < flips; ++f) job[rng() % job.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        }
        const DWORD readSize = 1 + rng() % 9000;
        Decoded d = Decode(job, readSize, 200000);
        ASSERT_TRUE(d.endedFalse) << "case " << i;
        // A flip may leave a valid stream; what comes out is bounded anyway.
        EXPECT_LE(d.data.size(), job.size() * 1100 + 65536) << "case " << i;
        if (kind == 0) {
            EXPECT_TRUE(IsPrefix(d.data, input)) << "case " << i;
        }
    }
}

TEST_F(DecoderTest, SpoolerReadFailureEndsTheJob) {
    std::mt19937 rng(19);
    const Bytes input = RandomBytes(rng, 60000);
    qltools::EmzPackOptions o;
    o.blockSize = 10000;
    const Bytes job = qltools::EmzPack(input, o);

    pal::host::Fault fault;
    fault.call = "ReadPrinter";
    fault.atByte = 30000;
    fault.error = ERROR_GEN_FAILURE;
    pal::host::InjectFault(fault);
    Decoded d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_LT(d.data.size(), input.size());
    EXPECT_TRUE(IsPrefix(d.data, input));
    auto lines = Lines();
    ExpectLines(lines, {u"::ReadPrinter fails with:31", u"CReadPrinter EndOfPrintJobReached reached:"});
    pal::host::ClearFaults();

    // Short counts from the spooler: payload reads cope; a short magic is an end.
    fault.shortCount = true;
    fault.atByte = 25000;
    pal::host::InjectFault(fault);
    d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_TRUE(IsPrefix(d.data, input));
}

TEST_F(DecoderTest, BlockReaderNeverCrossesBlocks) {
    const Bytes p1(300, 0x11), p2(5, 0x22), p3(9000, 0x33);
    HANDLE h = OpenJob(Concat({Block(p1, 1), Block(p2, 2), Block(p3, 3)}));
    ASSERT_NE(h, nullptr);
    {
        CPackedBlockStructure reader(h);
        std::vector<DWORD> counts;
        Bytes all;
        Bytes buf(8192);
        for (int i = 0; i < 20; ++i) {
            DWORD cb = 0;
            ASSERT_TRUE(reader.Read(buf.data(), static_cast<DWORD>(buf.size()), &cb));
            if (cb == 0) break;
            counts.push_back(cb);
            all.insert(all.end(), buf.begin(), buf.begin() + cb);
        }
        EXPECT_EQ(counts, (std::vector<DWORD>{300, 5, 8192, 808}));
        EXPECT_EQ(all, Concat({p1, p2, p3}));
        EXPECT_TRUE(reader.fEndOfJob);

        // After the end the spooler is not asked again.
        Lines();
        DWORD cb = 7;
        EXPECT_FALSE(reader.CReadPrinter::Read(buf.data(), 10, &cb));
        EXPECT_EQ(cb, 0u);
        auto lines = Lines();
        ExpectLines(lines, {u"CReadPrinter read after end of print job:"}, {u"::ReadPrinter(10)"});
    }
    ClosePrinter(h);
}

class EmzPackCommand : public ::testing::Test {
protected:
    void SetUp() override {
        m_tool = std::filesystem::path(QL_BIN_DIR) / "qlemzpack";
        if (!std::filesystem::exists(m_tool)) GTEST_SKIP() << "qlemzpack not built";
        std::string tmpl = (std::filesystem::temp_directory_path() / "qlemzpack-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    // Runs the tool with "{in}", "{out}" and "{missing}" replaced; returns
    // its exit code, stdout and stderr in *out and *err.
    int Run(std::string args, std::string* out = nullptr, std::string* err = nullptr) {
        for (auto [from, to] : {std::pair<std::string, std::string>{"{missing}", (m_dir / "nope.bin").string()},
                                {"{in}", In().string()}, {"{out}", Out().string()}})
            if (size_t p = args.find(from); p != std::string::npos) args.replace(p, from.size(), to);
        const std::string cmd = m_tool.string() + " " + args + " >" + (m_dir / "stdout.txt").string() + " 2>" +
                                (m_dir / "stderr.txt").string();
        const int status = std::system(cmd.c_str());
        if (out) *out = ReadText(m_dir / "stdout.txt");
        if (err) *err = ReadText(m_dir / "stderr.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string ReadText(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::path In() const { return m_dir / "in.bin"; }
    std::filesystem::path Out() const { return m_dir / "out.emz"; }
    void WriteInput(const Bytes& data) {
        std::ofstream(In(), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }

    std::filesystem::path m_tool;
    std::filesystem::path m_dir;
};

// The command packs like the library; bad use exits 2 with one line, an
// output that cannot be made exits 1.
TEST_F(EmzPackCommand, PacksLikeTheLibraryAndRejectsBadInput) {
    std::mt19937 rng(3);
    const Bytes input = TextBytes(rng, 50000);
    WriteInput(input);
    ASSERT_EQ(Run("--block-size 0x1000 --stream-size 7000 --level 9 --header-value 4294967295 --empty-block {in} {out}"),
              0);
    const qltools::EmzPackOptions o{.blockSize = 0x1000, .streamInputSize = 7000, .level = 9,
                                    .headerValue = 0xFFFFFFFF, .trailingEmptyBlock = true};
    const std::string packed = ReadText(Out());
    EXPECT_TRUE(Bytes(packed.begin(), packed.end()) == qltools::EmzPack(input, o));

    std::string out;
    EXPECT_EQ(Run("--help", &out), 0);
    EXPECT_NE(out.find("usage: qlemzpack"), std::string::npos);
    for (const char* args : {"--block-size 0 {in} {out}", "--block-size 4294967296 {in} {out}", "--level 10 {in} {out}",
                             "--header-value -1 {in} {out}", "--stream-size {in}", "--bogus {in} {out}", "{in}",
                             "{missing} {out}"}) {
        std::string err;
        EXPECT_EQ(Run(args, nullptr, &err), 2) << args;
        EXPECT_EQ(err.rfind("qlemzpack: ", 0), 0u) << args << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
    }
    std::string err;
    EXPECT_EQ(Run("{in} " + (m_dir / "no" / "such" / "dir.emz").string(), nullptr, &err), 1) << err;
}

} // namespace

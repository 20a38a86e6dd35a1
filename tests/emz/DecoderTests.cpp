// The "%%EMZ" decoder read through the simulated spooler: block framing, zlib
// stream boundaries, every end condition, and the reads of the caller.
#include "EmzTestUtil.h"

#include <algorithm>

using namespace emztest;

namespace {

class DecoderTest : public EmzTest {};

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

} // namespace

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

TEST_F(DecoderTest, OneBlockOneStreamYieldsInputThenFalse) {
    const Bytes input = Text(1, 20000);
    const Bytes payload = Deflate(input);
    const Bytes job = Block(payload, 7);

    Decoded d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_EQ(d.data, input);
    ASSERT_EQ(d.counts.size(), 3u);  // 8192 + 8192 + 3616
    EXPECT_EQ(d.counts[2], 20000u - 2 * 8192u);

    auto lines = Lines();
    const std::u16string len = pal::host::FromUtf8(std::to_string(payload.size()));
    for (const std::u16string& want :
         {std::u16string(u"CNPDecompress::ReadPrinter(8192)"), u"GetBlockHeader ok, 7, " + len,
          std::u16string(u"GetNextChunk return:INFLATE_NEED_MORE_CALLS(0)"),
          std::u16string(u"GetNextChunk return:INFLATE_READY(1)"),
          std::u16string(u"CNPDecompress::ReadPrinter returns with 3616"),
          std::u16string(u"CReadPrinter EndOfPrintJobReached reached:"),
          std::u16string(u"expected end of printjob: 0")})
        EXPECT_TRUE(Contains(lines, want)) << pal::host::ToUtf8(want) << "\n" << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"_ERR_")) << Dump(lines);
}

TEST_F(DecoderTest, EmptyJobAndEmptyStreamEndAtOnce) {
    EXPECT_TRUE(Decode({}, 100).endedFalse);
    EXPECT_TRUE(Decode({}, 100).data.empty());
    Decoded d = Decode(Block(Deflate({})), 100);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_TRUE(d.data.empty());
}

TEST_F(DecoderTest, StreamBoundariesIndependentOfBlocks) {
    const Bytes a = Text(2, 5000);
    const Bytes b = Text(3, 7000);
    const Bytes sa = Deflate(a, 9);
    const Bytes sb = Deflate(b, 1);
    const Bytes both = Concat({a, b});
    const Bytes payload = Concat({sa, sb});

    // Two complete streams back to back in one block.
    EXPECT_EQ(Decode(Block(payload), 4096).data, both);
    EXPECT_EQ(Decode(Block(payload), 20000).data, both);

    // One stream split across two blocks, cut in its header and mid-data.
    for (size_t cut : {size_t{1}, size_t{2}, sa.size() / 2, sa.size() - 1}) {
        const std::span<const uint8_t> s(sa);
        Bytes job = Concat({Block(s.first(cut)), Block(s.subspan(cut))});
        EXPECT_EQ(Decode(job, 8192).data, a) << "cut at " << cut;
    }

    // A block holding the end of one stream and the start of the next.
    const std::span<const uint8_t> p(payload);
    const size_t mid1 = sa.size() / 2, mid2 = sa.size() + sb.size() / 2;
    Bytes job = Concat({Block(p.first(mid1)), Block(p.subspan(mid1, mid2 - mid1)), Block(p.subspan(mid2))});
    EXPECT_EQ(Decode(job, 1000).data, both);

    // Many small streams in blocks of 1 and 7 bytes.
    Quiet();
    const Bytes input = Text(4, 30000);
    for (size_t blockSize : {size_t{1}, size_t{7}}) {
        qltools::EmzPackOptions o;
        o.blockSize = blockSize;
        o.streamInputSize = 999;
        Decoded d = Decode(qltools::EmzPack(input, o), 8192);
        EXPECT_TRUE(d.endedFalse);
        EXPECT_EQ(d.data, input) << "block size " << blockSize;
    }
}

TEST_F(DecoderTest, ZeroLengthBlockEndsDecoding) {
    const Bytes a = Text(6, 4000);
    const Bytes b = Text(7, 4000);
    const Bytes sa = Deflate(a);

    // Between two streams: only the first arrives.
    Bytes job = Concat({Block(sa), Block({}), Block(Deflate(b))});
    Decoded d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_EQ(d.data, a);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"GetBlockHeader ok, 0, 0")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"unexpected EOF reached: 0 bytes expected")) << Dump(lines);

    // Inside a stream: the part before it is delivered, then the end.
    const std::span<const uint8_t> s(sa);
    job = Concat({Block(s.first(sa.size() / 2)), Block({}), Block(s.subspan(sa.size() / 2))});
    d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_LT(d.data.size(), a.size());
    EXPECT_TRUE(IsPrefix(d.data, a));

    // A trailing empty block is a clean end of a complete stream.
    qltools::EmzPackOptions o;
    o.trailingEmptyBlock = true;
    EXPECT_EQ(Decode(qltools::EmzPack(a, o), 8192).data, a);
}

TEST_F(DecoderTest, PartialHeaderAfterLastBlockIsCleanEnd) {
    const Bytes a = Text(8, 9000);
    const Bytes magic = {'%', '%', 'E'};
    Decoded d = Decode(Concat({Block(Deflate(a)), magic}), 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_EQ(d.data, a);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"expected end of printjob: 3")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"corrupt print stream")) << Dump(lines);
}

TEST_F(DecoderTest, BadMagicEndsWithDataBeforeIt) {
    const Bytes a = Text(9, 12000);
    const Bytes b = Text(10, 500);
    Bytes bad = Block(Deflate(b));
    bad[4] = 'Y';  // "%%EMY"
    Decoded d = Decode(Concat({Block(Deflate(a)), bad}), 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_EQ(d.data, a);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"corrupt print stream: illegal magic code '%EMZ' expected: 5")) << Dump(lines);

    // A bad first block gives nothing at all.
    bad[0] = 'X';
    d = Decode(bad, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_TRUE(d.data.empty());
}

TEST_F(DecoderTest, ShortBlockHeaderEndsWithDataBeforeIt) {
    const Bytes a = Text(11, 3000);
    const Bytes good = Block(Deflate(a));
    const Bytes next = Block(Deflate(Text(12, 100)), 0x01020304);
    // Cut in the header value and in the payload length.
    for (size_t keep : {size_t{7}, size_t{11}}) {
        const std::span<const uint8_t> n(next);
        Decoded d = Decode(Concat({good, n.first(keep)}), 8192);
        EXPECT_TRUE(d.endedFalse);
        EXPECT_EQ(d.data, a);
        auto lines = Lines();
        EXPECT_TRUE(Contains(lines, u"unexpected end of printjob: 2")) << Dump(lines);
    }
}

TEST_F(DecoderTest, ShortPayloadDeliversWhatArrived) {
    const Bytes a = Text(13, 6000);
    const Bytes sa = Deflate(a);

    // The block claims more than the job holds, after a complete stream.
    Bytes job = Block(sa);
    const uint32_t claimed = static_cast<uint32_t>(sa.size() + 20);
    for (int i = 0; i < 4; ++i) job[9 + i] = static_cast<uint8_t>(claimed >> (8 * i));
    Decoded d = Decode(job, 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_EQ(d.data, a);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"unexpected EOF reached:")) << Dump(lines);

    // The job ends inside the stream: a prefix, then the end.
    job = Block(sa);
    job.resize(job.size() - sa.size() / 2);
    d = Decode(job, 1024);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_LT(d.data.size(), a.size());
    EXPECT_TRUE(IsPrefix(d.data, a));
}

TEST_F(DecoderTest, ZlibErrorsEndWithFalse) {
    const Bytes small = Text(14, 2000);
    Bytes bad = Deflate(small);
    bad.back() ^= 0x01;  // Adler-32 trailer
    Decoded d = Decode(Block(bad), 8192);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_TRUE(d.data.empty());  // the failing read delivers nothing
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"GetNextChunk return:err(-3)")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"GetNextChunk returns error = -3")) << Dump(lines);

    // A bad checksum after many reads: earlier reads stand, then FALSE.
    std::mt19937 rng(15);
    const Bytes large = RandomBytes(rng, 100000);
    bad = Deflate(large);
    bad[bad.size() - 2] ^= 0x40;
    d = Decode(Block(bad), 4096);
    EXPECT_TRUE(d.endedFalse);
    EXPECT_GT(d.data.size(), 0u);
    EXPECT_LT(d.data.size(), large.size());
    EXPECT_TRUE(IsPrefix(d.data, large));
}

TEST_F(DecoderTest, SizeZeroOrNullBufferIsFalseAndHarmless) {
    const Bytes input = Text(17, 100);
    pal::host::JobSpec jobSpec;
    jobSpec.printer = u"Packed";
    jobSpec.data = Block(Deflate(input));
    std::u16string name = pal::host::JobReadName(pal::host::SubmitJob(jobSpec));
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(name.data(), &h, nullptr));
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
        EXPECT_TRUE(Contains(lines, u"GetNextChunk return:INFLATE_BUFFER_NULL(2)")) << Dump(lines);
        EXPECT_TRUE(Contains(lines, u"GetNextChunk returns error = 2")) << Dump(lines);
        EXPECT_FALSE(Contains(lines, u"ReadPrinter(5)=")) << "nothing was read: " << Dump(lines);

        // The decoder is untouched and still reads the job.
        ASSERT_TRUE(decoder.ReadPrinter(buf, sizeof(buf), &cb));
        EXPECT_EQ(Bytes(buf, buf + cb), input);
        EXPECT_FALSE(decoder.ReadPrinter(buf, sizeof(buf), &cb));
    }
    ClosePrinter(h);
}

TEST_F(DecoderTest, OddReadSizesReassembleExactly) {
    Quiet();
    std::mt19937 rng(18);
    const Bytes big = Concat({TextBytes(rng, 1200000), RandomBytes(rng, 400000), TextBytes(rng, 300001)});
    qltools::EmzPackOptions o;
    o.blockSize = 5000;
    o.streamInputSize = 300000;
    const Bytes job = qltools::EmzPack(big, o);
    for (DWORD size : {8191u, 8192u, 8193u, 1u << 20, 4u << 20}) {
        Decoded d = Decode(job, size);
        EXPECT_TRUE(d.endedFalse);
        EXPECT_TRUE(d.data == big) << "read size " << size << ": " << d.data.size() << " of " << big.size();
    }
    const Bytes smaller(big.begin(), big.begin() + 120000);
    const Bytes smallJob = qltools::EmzPack(smaller, o);
    for (DWORD size : {1u, 7u}) {
        Decoded d = Decode(smallJob, size);
        EXPECT_TRUE(d.endedFalse);
        EXPECT_TRUE(d.data == smaller) << "read size " << size;
    }
}

TEST_F(DecoderTest, RandomRoundTrips) {
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
        const DWORD readSize = 1 + rng() % 70000;
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
    EXPECT_TRUE(Contains(lines, u"::ReadPrinter fails with:31")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"CReadPrinter EndOfPrintJobReached reached:")) << Dump(lines);
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
    const Bytes job = Concat({Block(p1, 1), Block(p2, 2), Block(p3, 3)});
    pal::host::JobSpec jobSpec;
    jobSpec.printer = u"Packed";
    jobSpec.data = job;
    std::u16string name = pal::host::JobReadName(pal::host::SubmitJob(jobSpec));
    HANDLE h = nullptr;
    ASSERT_TRUE(OpenPrinterW(name.data(), &h, nullptr));
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
        EXPECT_TRUE(Contains(lines, u"CReadPrinter read after end of print job:")) << Dump(lines);
        EXPECT_FALSE(Contains(lines, u"::ReadPrinter(10)")) << Dump(lines);
    }
    ClosePrinter(h);
}

} // namespace

#include "EmzTestUtil.h"

#include "support/JobMachine.h"

namespace emztest {
namespace {

// The debug level the machine configured (Quiet() lowers it for a test).
DWORD ConfiguredLevel() {
    static const DWORD level = [] {
        qltest::SetUpJobMachine();
        return g_dwDebugLevel;
    }();
    return level;
}

} // namespace

void EmzTest::SetUp() {
    pal::host::ResetSpooler();
    g_dwDebugLevel = ConfiguredLevel();
    pal::host::TakeDebugOutput();
}

void EmzTest::TearDown() {
    g_dwDebugLevel = ConfiguredLevel();
    pal::host::ClearFaults();
}

std::vector<std::u16string> EmzTest::Lines() {
    return pal::host::TakeDebugOutput();
}

void EmzTest::Quiet() {
    g_dwDebugLevel = 0;
}

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

Decoded Decode(const Bytes& job, DWORD readSize, size_t maxCalls) {
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

Bytes Deflate(std::span<const uint8_t> input, int level) {
    return qltools::EmzDeflate(input, 0, level);
}

Bytes Block(std::span<const uint8_t> payload, uint32_t headerValue) {
    Bytes out;
    qltools::EmzAppendBlock(out, payload, headerValue);
    return out;
}

} // namespace emztest

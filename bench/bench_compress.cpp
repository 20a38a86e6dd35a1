// The compression step on an A4 photograph at 300 dpi (2480 x 3508), next to
// its two parts measured alone, so the step's own overhead shows:
//
//   Step/24, Step/8, Step/4   CompressStretchDIBits on a bitmap record of the
//                             photograph at 24 bits, and palettised at 8 and 4
//                             bits (rule: ZIP 0 %, lossy 5 %; trial deflate at
//                             level 1 for 24 bits, at level 0 for the
//                             palettised ones, which level 1 deflates below
//                             the target, so that every record reaches the codec)
//   Codec/24                  the codec's encode alone with the step's settings
//                             and target, rows read from the 24-bit DIB
//   Trial/24, /8, /4          the trial deflate alone, at the step's level
//
// Each runs with one worker thread and with one per core (the second
// argument). Counters: cpu_all_ms, the CPU time of all threads per call (on a
// busy machine wall time includes waiting for a core); stream bytes and the
// target; for the step the largest rise of the resident set during one call
// (measured apart) against the 24-bit size of the image (the record itself is
// allocated before and not counted).
//
//   cmake --build --preset default --target bench_compress
//   build/default/bin/bench_compress --benchmark_min_time=1
#include "bench/PeakMemory.h"
#include "emf/BitmapCompress.h"
#include "emf/EmfRecords.h"
#include "jpeg2000/Jp2Codec.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SyntheticImages.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kWidth = 2480, kHeight = 3508;
constexpr DWORD kTarget = kWidth * kHeight * 3 / 20;

// The bitmap record of the photograph at `bpp` bits, made once.
const Bytes& PhotoRecord(uint32_t bpp) {
    static std::map<uint32_t, Bytes> records;
    static const qltools::RgbImage photo = qltools::MakePhotoImage(kWidth, kHeight, 1);
    Bytes& rec = records[bpp];
    if (!rec.empty()) return rec;
    rec = qltools::MakeStretchDIBitsRecord(qltools::MakeDib(photo, bpp, false));
    return rec;
}

int TrialLevel(int64_t bpp) {
    return bpp == 24 ? 1 : 0;
}

// CPU time of the whole process (every thread) over the timed parts: with
// other work on the machine it shows the work done, where wall time shows
// the waiting too.
class ProcessCpu {
public:
    void Resume() { m_start = Now(); }
    void Pause() { m_total += Now() - m_start; }
    double MsPer(int64_t iterations) const { return iterations ? m_total * 1e3 / double(iterations) : 0; }

private:
    static double Now() {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    }
    double m_start = 0, m_total = 0;
};

uint32_t Threads(const benchmark::State& state) {
    return state.range(1) ? std::max(1u, std::thread::hardware_concurrency()) : 1;
}

void Step(benchmark::State& state) {
    const Bytes& original = PhotoRecord(static_cast<uint32_t>(state.range(0)));
    Jp2SetDefaultThreads(Threads(state));
    ComprCnf cnf{};
    cnf.adwCompressionRule[0] = 0x0005;
    cnf.dwCompressCompare = TrialLevel(state.range(0));
    Bytes rec(original);
    // Peak memory of one call, measured apart from the timed calls.
    qlbench::PeakMeter meter;
    meter.Measure([&] { CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr); });
    DWORD cbStream = 0;
    ProcessCpu cpu;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(rec.data(), original.data(), rec.size());
        cpu.Resume();
        state.ResumeTiming();
        CompressStretchDIBits(rec.data(), static_cast<DWORD>(rec.size()), &cnf, nullptr);
        state.PauseTiming();
        cpu.Pause();
        state.ResumeTiming();
        const auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
        if (r.iType != EMR_COMPRESSEDDIBITS) {
            state.SkipWithError("the record was not compressed");
            break;
        }
        cbStream = r.cbBitsSrc;
    }
    Jp2SetDefaultThreads(0);
    state.counters["cpu_all_ms"] = cpu.MsPer(state.iterations());
    state.counters["threads"] = Threads(state);
    state.counters["stream_bytes"] = cbStream;
    state.counters["target_bytes"] = kTarget;
    state.counters["peak_MiB"] = meter.MiB();
    state.counters["image24_MiB"] = double(kWidth) * kHeight * 3 / (1024.0 * 1024.0);
}

struct Sink {
    Bytes buffer = Bytes(kTarget + OUTPUT_BUFFER_SLACK);
    uint32_t used = 0;
};

int Output(const unsigned char* p, uint32_t offset, uint32_t n, void* ctx) {
    auto* s = static_cast<Sink*>(ctx);
    if (uint64_t(offset) + n > s->buffer.size()) return -3;
    std::memcpy(s->buffer.data() + offset, p, n);
    s->used = offset + n;
    return 0;
}

int ReadRow24(unsigned char* dest, int comp, uint32_t y, uint32_t x, uint32_t count, void* ctx) {
    const auto* bits = static_cast<const uint8_t*>(ctx);
    const uint8_t* p = bits + size_t(kHeight - 1 - y) * kWidth * 3 + size_t(x) * 3 + (2 - comp);
    for (uint32_t i = 0; i < count; ++i, p += 3) dest[i] = *p;
    return 0;
}

void Codec(benchmark::State& state) {
    const Bytes& rec = PhotoRecord(24);
    const uint8_t* bits = rec.data() + LoadRecord<StretchDIBitsRecord>(rec.data()).offBitsSrc;
    Sink sink;
    ProcessCpu cpu;
    for (auto _ : state) {
        cpu.Resume();
        JP2_HANDLE h = nullptr;
        int rc = Jp2Create(&h, [](size_t cb, void*) { return std::malloc(cb); }, nullptr,
                           [](void* p, void*) { std::free(p); }, nullptr, JP2_COMPONENTS_RGB);
        const std::pair<int, intptr_t> options[] = {
            {JP2_OPT_HEIGHT, kHeight}, {JP2_OPT_WIDTH, kWidth}, {JP2_OPT_BITS_PER_COMPONENT, 8},
            {JP2_OPT_STREAM_FORMAT, JP2_FORMAT_CODESTREAM}, {JP2_OPT_LEVELS, 5}, {JP2_OPT_LAYERS, 1},
            {JP2_OPT_PROGRESSION, 0}, {JP2_OPT_WAVELET, 0}, {JP2_OPT_TARGET_SIZE, kTarget},
            {JP2_OPT_OUTPUT_CONTEXT, reinterpret_cast<intptr_t>(&sink)},
            {JP2_OPT_OUTPUT, reinterpret_cast<intptr_t>(&Output)},
            {JP2_OPT_ROW_READER_CONTEXT, reinterpret_cast<intptr_t>(bits)},
            {JP2_OPT_ROW_READER, reinterpret_cast<intptr_t>(&ReadRow24)},
            {JP2_OPT_THREADS, static_cast<intptr_t>(Threads(state))}};
        for (const auto& [id, value] : options) rc = rc ? rc : Jp2SetOption(h, id, -1, -1, value);
        rc = rc ? rc : Jp2Encode(h);
        if (h) Jp2Destroy(h);
        cpu.Pause();
        if (rc) {
            state.SkipWithError("encode failed");
            break;
        }
    }
    state.counters["cpu_all_ms"] = cpu.MsPer(state.iterations());
    state.counters["threads"] = Threads(state);
    state.counters["stream_bytes"] = sink.used;
    state.counters["target_bytes"] = kTarget;
}

void Trial(benchmark::State& state) {
    const Bytes& rec = PhotoRecord(static_cast<uint32_t>(state.range(0)));
    const auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
    Bytes out(r.cbBitsSrc / 100 + r.cbBitsSrc + 20);
    uLongf len = 0;
    ProcessCpu cpu;
    for (auto _ : state) {
        cpu.Resume();
        len = out.size();
        compress2(out.data(), &len, rec.data() + r.offBitsSrc, r.cbBitsSrc, TrialLevel(state.range(0)));
        cpu.Pause();
    }
    state.counters["cpu_all_ms"] = cpu.MsPer(state.iterations());
    state.counters["deflate_bytes"] = double(len);
}

BENCHMARK(Step)->ArgsProduct({{24, 8, 4}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Codec)->ArgsProduct({{24}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Trial)->Args({24})->Args({8})->Args({4})->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

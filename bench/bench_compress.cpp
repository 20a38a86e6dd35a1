// The compression step on an A4 photograph at 300 dpi (2480 x 3508), next to
// its two parts measured alone, so the step's own overhead shows:
//
//   Step/24, Step/8, Step/4   CompressStretchDIBits on a bitmap record of the
//                             photograph at 24 bits, and palettised at 8 and 4
//                             bits (rule: ZIP 0 %, lossy 5 %; trial deflate at
//                             level 1 for 24 bits, at level 0 for the
//                             palettised ones, which level 1 deflates below
//                             the target, so that every record reaches the codec)
//   Codec/24/threads/coder    the codec's encode alone with the step's settings
//                             and target, rows read from the 24-bit DIB, with
//                             the standard coder (0) and HTJ2K (1)
//   Trial/24, /8, /4          the whole trial deflate alone, at the step's level
//                             (the step itself stops it once it has passed
//                             the threshold and the target)
//   Photo/i/coder             the step on corpus photograph i (of
//                             ../shared/corpus/photos, sorted by name) scaled
//                             to the page, 24 bits, at 20:1 with the default
//                             trial deflate (level 1), one thread, with each
//                             coder (0 standard, 1 HTJ2K): its CPU time, the
//                             stream against the target, the PSNR of the
//                             decoded stream and, for HTJ2K, the PSNR the
//                             standard coder reaches at the same stream size
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
#include "tools/lib/BitmapTransforms.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/SyntheticImages.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
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

// One encode of the 24-bit page whose bits are at `bits` by `coder`.
int RunCodec(const uint8_t* bits, uint32_t target, int coder, uint32_t threads, Sink& sink) {
    JP2_HANDLE h = nullptr;
    int rc = Jp2Create(&h, [](size_t cb, void*) { return std::malloc(cb); }, nullptr,
                       [](void* p, void*) { std::free(p); }, nullptr, JP2_COMPONENTS_RGB);
    const std::pair<int, intptr_t> options[] = {
        {JP2_OPT_HEIGHT, kHeight}, {JP2_OPT_WIDTH, kWidth}, {JP2_OPT_BITS_PER_COMPONENT, 8},
        {JP2_OPT_STREAM_FORMAT, JP2_FORMAT_CODESTREAM}, {JP2_OPT_LEVELS, 5}, {JP2_OPT_LAYERS, 1},
        {JP2_OPT_PROGRESSION, 0}, {JP2_OPT_WAVELET, 0}, {JP2_OPT_TARGET_SIZE, target},
        {JP2_OPT_CODER, coder},
        {JP2_OPT_OUTPUT_CONTEXT, reinterpret_cast<intptr_t>(&sink)},
        {JP2_OPT_OUTPUT, reinterpret_cast<intptr_t>(&Output)},
        {JP2_OPT_ROW_READER_CONTEXT, reinterpret_cast<intptr_t>(bits)},
        {JP2_OPT_ROW_READER, reinterpret_cast<intptr_t>(&ReadRow24)},
        {JP2_OPT_THREADS, static_cast<intptr_t>(threads)}};
    for (const auto& [id, value] : options) rc = rc ? rc : Jp2SetOption(h, id, -1, -1, value);
    rc = rc ? rc : Jp2Encode(h);
    if (h) Jp2Destroy(h);
    return rc;
}

void Codec(benchmark::State& state) {
    const Bytes& rec = PhotoRecord(24);
    const uint8_t* bits = rec.data() + LoadRecord<StretchDIBitsRecord>(rec.data()).offBitsSrc;
    Sink sink;
    ProcessCpu cpu;
    for (auto _ : state) {
        cpu.Resume();
        const int rc = RunCodec(bits, kTarget, static_cast<int>(state.range(2)), Threads(state), sink);
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


// The corpus photographs (24-bit BMP files), sorted by name.
std::vector<std::filesystem::path> CorpusPhotos() {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(QL_CORPUS_DIR) / "photos";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".bmp") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A 24-bit bottom-up BMP file as RGB, scaled bilinearly to the page.
std::optional<qltools::RgbImage> PhotoOnPage(const std::filesystem::path& file) {
    const auto bmp = qltools::ReadWholeFile(file.string());
    if (!bmp || bmp->size() < 54) return std::nullopt;
    const uint32_t offBits = LoadRecord<uint32_t>(bmp->data() + 10);
    const auto h = LoadRecord<BITMAPINFOHEADER>(bmp->data() + 14);
    if (h.biBitCount != 24 || h.biWidth < 2 || h.biHeight < 2) return std::nullopt;
    const uint32_t w = static_cast<uint32_t>(h.biWidth), ht = static_cast<uint32_t>(h.biHeight);
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    if (offBits + stride * ht > bmp->size()) return std::nullopt;
    const auto at = [&](uint32_t x, uint32_t y, int c) {
        return double((*bmp)[offBits + size_t(ht - 1 - y) * stride + size_t(x) * 3 + (2 - c)]);
    };
    qltools::RgbImage page{kWidth, kHeight, std::vector<uint8_t>(size_t(kWidth) * kHeight * 3)};
    for (uint32_t y = 0; y < kHeight; ++y) {
        const double fy = (y + 0.5) * ht / kHeight - 0.5;
        const uint32_t y0 = static_cast<uint32_t>(std::clamp(fy, 0.0, double(ht - 2)));
        const double dy = std::clamp(fy - y0, 0.0, 1.0);
        for (uint32_t x = 0; x < kWidth; ++x) {
            const double fx = (x + 0.5) * w / kWidth - 0.5;
            const uint32_t x0 = static_cast<uint32_t>(std::clamp(fx, 0.0, double(w - 2)));
            const double dx = std::clamp(fx - x0, 0.0, 1.0);
            for (int c = 0; c < 3; ++c) {
                const double v = (at(x0, y0, c) * (1 - dx) + at(x0 + 1, y0, c) * dx) * (1 - dy) +
                                 (at(x0, y0 + 1, c) * (1 - dx) + at(x0 + 1, y0 + 1, c) * dx) * dy;
                page.rgb[(size_t(y) * kWidth + x) * 3 + c] = static_cast<uint8_t>(v + 0.5);
            }
        }
    }
    return page;
}

// The compressed record's stream against the page: PSNR in dB, 0 when it
// does not decode.
double StreamPsnr(std::span<const uint8_t> stream, const qltools::RgbImage& page) {
    uint32_t comps = 0;
    const auto px = qltools::DecodeJpeg2000(stream, &comps, nullptr);
    return px && px->rgb.size() == page.rgb.size() ? qltools::Psnr(px->rgb, page.rgb) : 0;
}

void Photo(benchmark::State& state) {
    const auto files = CorpusPhotos();
    if (size_t(state.range(0)) >= files.size()) {
        state.SkipWithError("corpus photograph not found");
        return;
    }
    const auto page = PhotoOnPage(files[state.range(0)]);
    if (!page) {
        state.SkipWithError("corpus photograph is not a 24-bit BMP");
        return;
    }
    state.SetLabel(files[state.range(0)].filename().string());
    const Bytes original = qltools::MakeStretchDIBitsRecord(qltools::MakeDib(*page, 24, false));
    Jp2SetDefaultThreads(1);
    ComprCnf cnf{};
    cnf.adwCompressionRule[0] = 0x0005;
    cnf.dwCompressCompare = 1;
    cnf.dwJpeg2000Coder = static_cast<DWORD>(state.range(1));
    Bytes rec(original);
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
    state.counters["cpu_ms"] = cpu.MsPer(state.iterations());
    state.counters["stream_bytes"] = cbStream;
    state.counters["target_bytes"] = kTarget;
    const auto r = LoadRecord<StretchDIBitsRecord>(rec.data());
    state.counters["psnr_dB"] = StreamPsnr({rec.data() + r.offBmiSrc + BITMAPINFOHEADER_SIZE, cbStream}, *page);
    state.counters["peak_MiB"] = meter.MiB();
    state.counters["image24_MiB"] = double(kWidth) * kHeight * 3 / (1024.0 * 1024.0);
    if (cnf.dwJpeg2000Coder == JPEG2000_CODER_HT && cbStream) {
        // The standard coder with the HT stream's size as its target.
        Sink sink;
        const int rc = RunCodec(original.data() + r.offBitsSrc, cbStream, JP2_CODER_PART1, 1, sink);
        state.counters["std_same_size_bytes"] = rc ? 0 : sink.used;
        state.counters["psnr_std_same_size_dB"] = rc ? 0 : StreamPsnr({sink.buffer.data(), sink.used}, *page);
    }
    Jp2SetDefaultThreads(0);
}

BENCHMARK(Step)->ArgsProduct({{24, 8, 4}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Codec)->ArgsProduct({{24}, {0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Trial)->Args({24})->Args({8})->Args({4})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Photo)->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

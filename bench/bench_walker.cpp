// The EMF walker on a gateway printer: throughput and peak memory of a whole
// job of about 200 MB through PrintDocumentOnPrintProcessor, next to a plain
// file copy of the same size.
//
// The printer uses the "QL Spool Bridge" driver with compression, resolution
// reduction and the image cache off, so every page passes the walker
// unchanged; the port writes into /dev/null. Two jobs carry the same 200 bitmap
// records of distinct ~1 MB noise pictures (distinct, so nothing could be
// served from a cache) and a few text records:
//
//   LargePage   one page of ~200 MB: above CompressionEMFInMem, so the walker
//               streams it through a temporary file in TempDir and holds only
//               the EMR_HEADER, one record and the copy chunk buffer.
//   SmallPages  100 pages of ~2 MB: each page is walked in memory.
//   FileCopy    the large job's bytes copied from one file to another on the
//               same disk with fread/fwrite in 1 MiB chunks.
//
// Throughput is spool bytes per second of wall time. "peak_extra_MiB" is the
// largest rise of the resident set during one job: the high-water mark is
// reset (clear_refs) before the job and read (VmHWM) after it, minus the VmRSS
// read right after the reset. Freed heap memory is trimmed before the reset,
// so buffers reused from an earlier run still count. The jobs' spool bytes are
// held by the simulated spooler and are part of that baseline. The figure
// includes the simulated port's log of write sizes (8 bytes per 2048-byte
// WritePrinter call: about 0.8 MiB per job, kept until the process ends).
//
// Before the benchmarks run, each job is printed once into a port file and the
// output is turned back into a spool file as the receiver does; it must equal
// the input byte for byte, or the benchmark of that job reports an error.
//
//   cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
//   ninja -C build/bench bench_walker
//   build/bench/bin/bench_walker --benchmark_min_time=2
#include "bench/PeakMemory.h"
#include "palhost.h"
#include "printproc/Winprint.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/SyntheticImages.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using qlbench::PeakMeter;

constexpr uint32_t kBitmaps = 200;
constexpr uint32_t kSmallPages = 100;
constexpr uint32_t kImageSide = 592;  // 592 x 592 at 24 bpp: 1,051,392 bytes of bits
constexpr uint32_t kTextEvery = 10;   // a line of text after every tenth bitmap
constexpr size_t kCopyChunk = 1u << 20;

constexpr char16_t kPrinter[] = u"Bench Gateway";
constexpr char16_t kDatatype[] = u"NT EMF 1.008";

// Compression rule 0 = 100 (lossy 100 %, no ZIP) means compression off.
constexpr const char kBenchMachine[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"TempDir"="C:\\qltemp"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Bench Gateway]
"Name"="Bench Gateway"
"Printer Driver"="QL Spool Bridge"
"Port"="null"
"Attributes"=dword:00000041
"Print Processor"="QLWinPrn"
"Datatype"="NT EMF 1.008"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Bench Gateway\PrinterDriverData]
"CompressionRule0"=dword:00000064
"BitmapDPIReduction"=dword:00000000
)reg";

std::vector<WCHAR> Mutable(const std::u16string& s) {
    std::vector<WCHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

// ---- the simulated machine and the jobs ---------------------------------------------

// Prints job `jobId` on the bench printer as the spooler does: open, print on
// this thread, close.
bool PrintJob(DWORD jobId) {
    std::vector<WCHAR> printer = Mutable(kPrinter);
    std::vector<WCHAR> datatype = Mutable(kDatatype);
    std::vector<WCHAR> document = Mutable(u"bench walker");
    PRINTPROCESSOROPENDATA od{};
    od.pDatatype = datatype.data();
    od.pDocumentName = document.data();
    od.pPrinterName = printer.data();
    od.JobId = jobId;
    HANDLE h = OpenPrintProcessor(printer.data(), &od);
    if (!h) return false;
    std::vector<WCHAR> readName = Mutable(pal::host::JobReadName(jobId));
    const BOOL printed = PrintDocumentOnPrintProcessor(h, readName.data());
    const BOOL closed = ClosePrintProcessor(h);
    return printed && closed;
}

struct Fixture {
    std::string dir;
    Bytes largeSpool, smallSpool;
    DWORD largeJob = 0, smallJob = 0;
    std::string largeCheck, smallCheck;  // empty when the output restored to the input
    std::string copySource, copyTarget;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlbenchwalk-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        std::filesystem::create_directories(std::filesystem::path(dir) / "qltemp");  // C:\qltemp
        std::filesystem::create_directories(std::filesystem::path(dir) / "out");
        pal::host::SetDriveRoot(dir);
        std::error_code ec;
        pal::host::SetModuleDirectory(std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string());
        std::string error;
        if (!pal::host::LoadRegistryText(kBenchMachine, "bench", &error)) throw std::runtime_error(error);
        // Process attach as the spooler's LoadLibrary runs it; the machine
        // configures no debug log, so logging stays off.
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) throw std::runtime_error("DllMain attach failed");

        BuildJobs();
        pal::host::JobSpec job;
        job.printer = kPrinter;
        job.datatype = kDatatype;
        job.document = u"bench walker";
        job.data = largeSpool;
        largeJob = pal::host::SubmitJob(job);
        job.data = smallSpool;
        smallJob = pal::host::SubmitJob(job);
        job.data.clear();
        job.data.shrink_to_fit();
        if (!largeJob || !smallJob) throw std::runtime_error("the spooler refused the jobs");

        copySource = dir + "/copy-source.bin";
        copyTarget = dir + "/copy-target.bin";
        std::ofstream(copySource, std::ios::binary)
            .write(reinterpret_cast<const char*>(largeSpool.data()), static_cast<std::streamsize>(largeSpool.size()));

        // One checked print of each job into a port file, then the port
        // writes into /dev/null for the timed runs.
        pal::host::SetOutputDirectory(dir + "/out");
        largeCheck = CheckedPrint(largeJob, largeSpool);
        smallCheck = CheckedPrint(smallJob, smallSpool);
        pal::host::SetOutputDirectory("/dev");
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Both jobs draw the same 200 noise pictures (seed = bitmap number) with
    // text after every tenth: all in one page, or two to a page.
    void BuildJobs() {
        qltools::EmfPageOptions pageOptions;
        qltools::EmfBuilder large(pageOptions), small(pageOptions);
        qltools::SpoolWriter largeWriter(u"bench large page"), smallWriter(u"bench small pages");
        const uint32_t perPage = kBitmaps / kSmallPages;
        const auto side = static_cast<int32_t>(kImageSide);

        auto startText = [](qltools::EmfBuilder& page) { page.SelectObject(page.CreateFont(u"Arial", -120)); };
        startText(large);
        startText(small);
        for (uint32_t n = 1; n <= kBitmaps; ++n) {
            const qltools::Dib dib = qltools::MakeDib(qltools::MakeNoiseImage(kImageSide, kImageSide, n), 24, false);
            const int32_t x = 200 + static_cast<int32_t>((n - 1) % 3) * (side + 100);
            const int32_t y = 400 + static_cast<int32_t>(((n - 1) / 3) % 8) * (side + 100);
            large.StretchDIBits(dib, x, y, side, side);
            small.StretchDIBits(dib, x, y, side, side);
            if (n % kTextEvery == 0) {
                const std::u16string line = u"Bitmaps up to number " + pal::host::FromUtf8(std::to_string(n));
                large.TextOut(200, 200, line);
                small.TextOut(200, 200, line);
            }
            if (n % perPage == 0) {
                const size_t at = smallWriter.Page(small.Finish());
                smallWriter.Extension(qltools::SPL_METAFILE_EXT, at);
                if (n < kBitmaps) startText(small);
            }
        }
        const size_t at = largeWriter.Page(large.Finish());
        largeWriter.Extension(qltools::SPL_METAFILE_EXT, at);
        largeSpool = largeWriter.Take();
        smallSpool = smallWriter.Take();
    }

    // Prints the job into the port file and restores the output: "" when it
    // gives back the input byte for byte, else what went wrong.
    static std::string CheckedPrint(DWORD jobId, const Bytes& spool) {
        if (!PrintJob(jobId)) return "the job did not print";
        const auto docs = pal::host::PortDocuments();
        if (docs.empty()) return "the port received no document";
        const Bytes output = pal::host::PortDocumentBytes(docs.back());
        std::error_code ec;
        std::filesystem::remove(docs.back().outputPath, ec);
        qltools::RestoreOptions options;
        options.dropEngineFonts = true;
        const qltools::RestoreResult restored = qltools::RestoreSpool(output, options);
        if (!restored.ok) return "the output does not restore: " + restored.error;
        if (restored.spool != spool)
            return "the restored spool file differs from the input (" + std::to_string(restored.spool.size()) +
                   " bytes restored, " + std::to_string(spool.size()) + " printed)";
        return {};
    }
};

Fixture& Bench() {
    static Fixture f;
    return f;
}

// ---- benchmarks -----------------------------------------------------------------------

void RunGatewayJob(benchmark::State& state, DWORD jobId, const Bytes& spool, const std::string& check) {
    if (!check.empty()) {
        state.SkipWithError(check.c_str());
        return;
    }
    PeakMeter meter;
    size_t total = 0;
    for (auto _ : state) {
        bool printed = false;
        if (!meter.Measure([&] { printed = PrintJob(jobId); })) {
            state.SkipWithError("peak memory could not be measured through /proc");
            break;
        }
        if (!printed) {
            state.SkipWithError("the job did not print");
            break;
        }
        total += spool.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
    state.counters["peak_extra_MiB"] = meter.MiB();
    state.counters["spool_MiB"] = static_cast<double>(spool.size()) / (1u << 20);
}

void BM_GatewayJob_LargePage(benchmark::State& state) {
    Fixture& f = Bench();
    RunGatewayJob(state, f.largeJob, f.largeSpool, f.largeCheck);
}
BENCHMARK(BM_GatewayJob_LargePage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GatewayJob_SmallPages(benchmark::State& state) {
    Fixture& f = Bench();
    RunGatewayJob(state, f.smallJob, f.smallSpool, f.smallCheck);
}
BENCHMARK(BM_GatewayJob_SmallPages)->Unit(benchmark::kMillisecond)->UseRealTime();

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The floor under the file walker: the large job's bytes from one file into a
// new one on the same disk, 1 MiB at a time.
void BM_FileCopy(benchmark::State& state) {
    Fixture& f = Bench();
    std::vector<uint8_t> buf(kCopyChunk);
    size_t total = 0;
    for (auto _ : state) {
        File in(std::fopen(f.copySource.c_str(), "rb"));
        File out(std::fopen(f.copyTarget.c_str(), "wb"));
        if (!in || !out) {
            state.SkipWithError("the copy files could not be opened");
            break;
        }
        size_t copied = 0;
        for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), in.get())) > 0; copied += n) {
            if (std::fwrite(buf.data(), 1, n, out.get()) != n) break;
        }
        out.reset();
        if (copied != f.largeSpool.size()) {
            state.SkipWithError("the copy is incomplete");
            break;
        }
        total += copied;
    }
    std::error_code ec;
    std::filesystem::remove(f.copyTarget, ec);
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_FileCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();

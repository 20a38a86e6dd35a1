// Throughput of the job reader and the job writer on the simulated spooler.
//
// Reader: ReadJobData over a 64 MiB job packed into an "%%EMZ" stream (packed
// once at start), reporting decoded bytes per second, next to plain zlib
// inflate of the same compressed bytes and a plain ReadPrinter pass over the
// unpacked job: the first bounds the decoder's cost, the second the
// spooler's.
//
// Writer: WriteJobOutput with framing off and with framing on and a hole list,
// next to the same bytes sent straight to WritePrinter in 2048-byte pieces and
// a plain memcpy. The port writes into /dev/null so the disk stays out of it.
//
//   cmake --build --preset default --target bench_readjob
//   build/default/bin/bench_readjob
#include "native/JobWriter.h"
#include "palhost.h"
#include "printproc/JobContainers.h"
#include "printproc/Winprint.h"
#include "printproc/raw.h"
#include "tools/lib/EmzPack.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr size_t kJobBytes = 64u << 20;
constexpr size_t kWriteBytes = 16u << 20;

constexpr const char kBenchMachine[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Bench Printer]
"Name"="Bench Printer"
"Printer Driver"="Generic Laser Driver"
"Port"="null"
"Attributes"=dword:00000041
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Bench Printer\PrinterDriverData]
)reg";

// Print data that deflates to about two thirds of its size: words and line
// ends with runs of random raster bytes between them, from a fixed-seed
// generator.
std::vector<uint8_t> SemiCompressible(size_t size) {
    static const char* const kWords[] = {"spool ", "page ", "printer ", "port ", "job ", "copy ", "toner ",
                                         "A4 ", "margin ", "duplex ", "tray ", "form ", "queue ", "\r\n"};
    std::vector<uint8_t> out;
    out.reserve(size);
    uint32_t x = 0x9E3779B9u;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    while (out.size() < size) {
        if (next() % 8 == 0) {
            for (uint32_t n = 16 + next() % 48; n-- > 0;) out.push_back(static_cast<uint8_t>(next()));
        } else {
            const char* w = kWords[next() % 14];
            out.insert(out.end(), w, w + std::strlen(w));
        }
    }
    out.resize(size);
    return out;
}

std::vector<WCHAR> Mutable(const std::u16string& s) {
    std::vector<WCHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

// The simulated machine, the content, its packed form and the queued jobs.
struct Fixture {
    std::string dir;
    std::vector<uint8_t> content;     // the job as printed
    std::vector<uint8_t> compressed;  // zlib streams only (what the blocks carry)
    std::vector<uint8_t> packed;      // the "%%EMZ" stream
    DWORD packedJob = 0, plainJob = 0;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlbench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        pal::host::SetDriveRoot(dir);
        pal::host::SetOutputDirectory("/dev");  // port "null" -> /dev/null
        std::error_code ec;
        pal::host::SetModuleDirectory(std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string());
        std::string error;
        if (!pal::host::LoadRegistryText(kBenchMachine, "bench", &error)) throw std::runtime_error(error);
        // Process attach as the spooler's LoadLibrary runs it; the machine
        // configures no debug log, so logging stays off.
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) throw std::runtime_error("DllMain attach failed");

        content = SemiCompressible(kJobBytes);
        qltools::EmzPackOptions options;
        options.blockSize = 32768;
        options.streamInputSize = 1u << 20;
        options.level = 6;
        compressed = qltools::EmzDeflate(content, options.streamInputSize, options.level);
        packed = qltools::EmzFrame(compressed, options.blockSize, 0, false);

        pal::host::JobSpec job;
        job.printer = u"Bench Printer";
        job.data = packed;
        packedJob = pal::host::SubmitJob(job);
        job.data = content;
        plainJob = pal::host::SubmitJob(job);
        if (!packedJob || !plainJob) throw std::runtime_error("the spooler refused the jobs");
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Fixture& Bench() {
    static Fixture f;
    return f;
}

// A job handle from OpenPrintProcessor, closed at the end.
class JobHandle {
public:
    JobHandle() {
        printer_ = Mutable(u"Bench Printer");
        datatype_ = Mutable(u"RAW");
        document_ = Mutable(u"bench");
        PRINTPROCESSOROPENDATA od{};
        od.pDatatype = datatype_.data();
        od.pDocumentName = document_.data();
        od.pPrinterName = printer_.data();
        od.JobId = Bench().packedJob;
        h_ = OpenPrintProcessor(printer_.data(), &od);
        if (!h_) throw std::runtime_error("OpenPrintProcessor failed");
    }
    ~JobHandle() { ClosePrintProcessor(h_); }
    JobHandle(const JobHandle&) = delete;
    JobHandle& operator=(const JobHandle&) = delete;

    PPRINTPROCESSORDATA Data() const { return static_cast<PPRINTPROCESSORDATA>(h_); }

private:
    std::vector<WCHAR> printer_, datatype_, document_;
    HANDLE h_ = nullptr;
};

HANDLE OpenJob(DWORD jobId) {
    std::vector<WCHAR> name = Mutable(pal::host::JobReadName(jobId));
    HANDLE h = nullptr;
    if (!OpenPrinterW(name.data(), &h, nullptr)) throw std::runtime_error("OpenPrinterW of the job failed");
    return h;
}

// ---- reader -----------------------------------------------------------------------

// The whole job through ReadJobData in pieces of range(0) bytes, as the raw
// path (4096) or a large record read asks for them: the packed job decoded,
// or the unpacked job (what reading costs without decoding).
void ReadWholeJob(benchmark::State& state, bool packed) {
    Fixture& f = Bench();
    JobHandle job;
    PPRINTPROCESSORDATA pData = job.Data();
    std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)));
    size_t total = 0;
    for (auto _ : state) {
        pData->fCompressedJob = packed ? 1 : 0;
        pData->dwInputPos = 0;
        HANDLE hJob = OpenJob(packed ? f.packedJob : f.plainJob);
        size_t read = 0;
        DWORD cb = 0;
        while (ReadJobData(hJob, nullptr, buf.data(), static_cast<DWORD>(buf.size()), pData, nullptr, &cb, 0)) {
            read += cb;
        }
        read += cb;
        ClosePrinter(hJob);
        benchmark::DoNotOptimize(buf.data());
        if (read != f.content.size()) {
            state.SkipWithError("ReadJobData did not read the whole job");
            break;
        }
        total += read;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
    if (packed) state.counters["packed_MiB"] = static_cast<double>(f.packed.size()) / (1u << 20);
}

void BM_ReadJobData_Packed(benchmark::State& state) { ReadWholeJob(state, true); }
BENCHMARK(BM_ReadJobData_Packed)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// The same compressed bytes through zlib alone, into a buffer of range(0)
// bytes: the floor under the decoder.
void BM_ZlibInflate(benchmark::State& state) {
    Fixture& f = Bench();
    std::vector<uint8_t> out(static_cast<size_t>(state.range(0)));
    size_t total = 0;
    for (auto _ : state) {
        z_stream z{};
        if (inflateInit(&z) != Z_OK) {
            state.SkipWithError("inflateInit failed");
            break;
        }
        z.next_in = const_cast<Bytef*>(f.compressed.data());
        z.avail_in = static_cast<uInt>(f.compressed.size());
        size_t decoded = 0;
        int rc = Z_OK;
        while (rc == Z_OK || rc == Z_STREAM_END) {
            if (rc == Z_STREAM_END) {
                if (z.avail_in == 0) break;
                inflateReset(&z);  // the next zlib stream follows directly
            }
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            decoded += out.size() - z.avail_out;
        }
        inflateEnd(&z);
        benchmark::DoNotOptimize(out.data());
        if (decoded != f.content.size()) {
            state.SkipWithError("inflate did not decode the whole job");
            break;
        }
        total += decoded;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_ZlibInflate)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_ReadJobData_Plain(benchmark::State& state) { ReadWholeJob(state, false); }
BENCHMARK(BM_ReadJobData_Plain)->Arg(4096)->Unit(benchmark::kMillisecond);

// ---- writer -----------------------------------------------------------------------

constexpr DWORD kWritePiece = 4096;  // what the raw path hands the writer per block
constexpr uint64_t kHoleEvery = 64u << 10;
constexpr DWORD kHoleLength = 3000;

// One document of kWriteBytes through WriteJobOutput in 4096-byte pieces.
// range(0) = 1 frames the output and leaves a 3000-byte hole every 64 KiB
// (holes cross piece boundaries, so the writer skips their rest on the next
// write).
void BM_WriteJobOutput(benchmark::State& state) {
    Fixture& f = Bench();
    const bool framing = state.range(0) != 0;
    JobHandle job;
    PPRINTPROCESSORDATA pData = job.Data();
    std::vector<WCHAR> docName = Mutable(u"bench output");
    std::vector<WCHAR> datatype = Mutable(u"RAW");
    DOC_INFO_1W di{docName.data(), nullptr, datatype.data()};
    size_t total = 0;
    for (auto _ : state) {
        pData->fFraming = framing ? 1 : 0;
        pData->pHoleList->Clear();
        if (framing) {
            for (uint64_t at = 1000; at + kHoleLength < kWriteBytes; at += kHoleEvery) {
                pData->pHoleList->Add(at, kHoleLength);
            }
        }
        if (!MyStartDocPrinter(pData, 1, &di, FALSE)) {
            state.SkipWithError("MyStartDocPrinter failed");
            break;
        }
        bool ok = true;
        for (size_t at = 0; at < kWriteBytes && ok; at += kWritePiece) {
            ok = WriteJobOutput(pData, f.content.data() + at, kWritePiece, WRITE_DATA);
        }
        MyEndDocPrinter(pData, FALSE);
        if (!ok) {
            state.SkipWithError("WriteJobOutput failed");
            break;
        }
        total += kWriteBytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_WriteJobOutput)->ArgName("framing")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same bytes sent straight to WritePrinter in 2048-byte pieces (the send
// pattern the writer produces), on a document of the same printer.
void BM_WritePrinterCopy(benchmark::State& state) {
    Fixture& f = Bench();
    std::vector<WCHAR> printer = Mutable(u"Bench Printer");
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(printer.data(), &hPrinter, nullptr)) {
        state.SkipWithError("OpenPrinterW failed");
        return;
    }
    std::vector<WCHAR> docName = Mutable(u"bench copy");
    std::vector<WCHAR> datatype = Mutable(u"RAW");
    DOC_INFO_1W di{docName.data(), nullptr, datatype.data()};
    size_t total = 0;
    for (auto _ : state) {
        if (!StartDocPrinterW(hPrinter, 1, reinterpret_cast<LPBYTE>(&di))) {
            state.SkipWithError("StartDocPrinterW failed");
            break;
        }
        for (size_t at = 0; at < kWriteBytes; at += 2048) {
            DWORD written = 0;
            WritePrinter(hPrinter, const_cast<uint8_t*>(f.content.data() + at), 2048, &written);
        }
        EndDocPrinter(hPrinter);
        total += kWriteBytes;
    }
    ClosePrinter(hPrinter);
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_WritePrinterCopy)->Unit(benchmark::kMillisecond);

// A plain copy of the same bytes in the same pieces: the ceiling.
void BM_Memcpy(benchmark::State& state) {
    Fixture& f = Bench();
    std::vector<uint8_t> out(kWriteBytes);
    size_t total = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < kWriteBytes; at += kWritePiece) {
            std::memcpy(out.data() + at, f.content.data() + at, kWritePiece);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        total += kWriteBytes;
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Cost of the font step of a gateway job: a job of 1,000 pages, each of
// which creates the same three fonts ("DejaVu Sans" regular and bold, which
// the machine's "IncludeFonts" selects and embeds once, and "Arial", which
// matches too but is only a substitute here), draws a line of text and a
// small bitmap. Each iteration prints the job twice through the entry points
// into /dev/null: once as it is, once with the font step replaced by a no-op
// (the test hook), and reports
//
//   font_step_pct       how much longer the job takes with the font step
//   us_per_font_record  that difference per EMR_EXTCREATEFONTINDIRECTW record
//   font_creations      CreateFontIndirectW calls per job: only the first
//                       request of each key reaches GDI, later ones are
//                       answered from the font list by their key
//
// The iteration time is the job with the font step.
//
//   cmake --build --preset default --target bench_fonts
//   build/default/bin/bench_fonts
#include "fonts/AddFonts.h"
#include "palhost.h"
#include "printproc/Winprint.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/SyntheticImages.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kPages = 1000;
constexpr uint32_t kFontsPerPage = 3;
constexpr char16_t kPrinter[] = u"Bench Gateway";
constexpr char16_t kDatatype[] = u"NT EMF 1.008";

// IncludeFonts: "DejaVu Sans*" and "Ar?al"; compression off.
constexpr const char kBenchMachine[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"IncludeFonts"=hex(7):44,00,65,00,6a,00,61,00,56,00,75,00,20,00,53,00,61,00,6e,00,73,00,2a,00,00,00,\
  41,00,72,00,3f,00,61,00,6c,00,00,00,00,00

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

bool PrintJob(DWORD jobId) {
    std::vector<WCHAR> printer = Mutable(kPrinter);
    std::vector<WCHAR> datatype = Mutable(kDatatype);
    std::vector<WCHAR> document = Mutable(u"bench fonts");
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

void NoFontStep(const BYTE*, DWORD, PPRINTPROCESSORDATA) {}

struct Fixture {
    std::string dir;
    DWORD jobId = 0;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlbenchfonts-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        pal::host::SetDriveRoot(dir);
        std::error_code ec;
        pal::host::SetModuleDirectory(std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string());
        std::string error;
        if (!pal::host::LoadRegistryText(kBenchMachine, "bench", &error)) throw std::runtime_error(error);
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) throw std::runtime_error("DllMain attach failed");

        qltools::SpoolWriter spool(u"bench fonts");
        const qltools::Dib logo = qltools::MakeDib(qltools::MakeImage(qltools::ImageKind::Logo, 64, 48), 24, false);
        for (uint32_t n = 0; n < kPages; ++n) {
            qltools::EmfBuilder page;
            const uint32_t regular = page.CreateFont(u"DejaVu Sans", -120, 400);
            page.CreateFont(u"DejaVu Sans", -120, 700);
            page.CreateFont(u"Arial", -120, 400);
            page.SelectObject(regular);
            page.TextOut(200, 200, u"Page " + pal::host::FromUtf8(std::to_string(n + 1)));
            page.StretchDIBits(logo, 200, 400, 640, 480);
            spool.Extension(qltools::SPL_METAFILE_EXT, spool.Page(page.Finish()));
        }
        pal::host::JobSpec job;
        job.printer = kPrinter;
        job.datatype = kDatatype;
        job.document = u"bench fonts";
        job.data = spool.Take();
        jobId = pal::host::SubmitJob(job);
        if (!jobId) throw std::runtime_error("the spooler refused the job");
        pal::host::SetOutputDirectory("/dev");
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

double TimedPrint(DWORD jobId, bool* ok) {
    const auto start = std::chrono::steady_clock::now();
    *ok = PrintJob(jobId) && *ok;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FontStep_1000Pages(benchmark::State& state) {
    static Fixture f;
    double withFonts = 0, without = 0;
    uint64_t creations = 0, jobs = 0;
    bool ok = true;
    for (auto _ : state) {
        SetAddFontsHookForTest(NoFontStep);
        without += TimedPrint(f.jobId, &ok);
        SetAddFontsHookForTest(nullptr);
        pal::host::CountFaultCalls(true);
        const double t = TimedPrint(f.jobId, &ok);
        creations += pal::host::FaultCallCounts()["CreateFontIndirectW"];
        pal::host::CountFaultCalls(false);
        ++jobs;
        withFonts += t;
        state.SetIterationTime(t);
    }
    if (!ok) state.SkipWithError("a job did not print");
    const double records = double(jobs) * kPages * kFontsPerPage;
    state.counters["font_step_pct"] = without > 0 ? (withFonts - without) / without * 100.0 : 0;
    state.counters["us_per_font_record"] = records > 0 ? (withFonts - without) / records * 1e6 : 0;
    state.counters["font_creations"] = jobs ? double(creations) / double(jobs) : 0;
}
BENCHMARK(BM_FontStep_1000Pages)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(3);

} // namespace

BENCHMARK_MAIN();

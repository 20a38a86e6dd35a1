// Pages per second through the whole path of an ordinary printer, from the
// spooled job to the PDF document on the printer's port: a full page of text
// (TEXT job: line reader, TextOutA, cairo PDF with an embedded font subset)
// and a typical EMF page (title text and two 256x256 bitmaps, made by the
// spool toolkit: helper process, SVG, librsvg, cairo PDF). The port writes
// into /dev/null, so the disk stays out of it.
//
//   cmake --build --preset default --target bench_playback
//   build/default/bin/bench_playback
#include "palhost.h"
#include "printproc/Winprint.h"
#include "tools/lib/SpoolWriter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const char kBenchMachine[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Laser]
"Name"="Office Laser"
"Printer Driver"="Generic Laser Driver"
"Port"="null"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"
)reg";

struct Fixture {
    std::vector<uint8_t> textPage, emfPage;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlbench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        pal::host::SetDriveRoot(pattern);
        pal::host::SetOutputDirectory("/dev");  // port "null" -> /dev/null
        std::error_code ec;
        pal::host::SetModuleDirectory(std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string());
        std::string error;
        if (!pal::host::LoadRegistryText(kBenchMachine, "bench", &error)) throw std::runtime_error(error);
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) throw std::runtime_error("DllMain attach failed");

        // 60 lines of 79 characters fill an A4 page at 600 dpi in 12-point
        // Courier; the form feed ends the page.
        const std::string line = "The quick brown fox jumps over the lazy dog.\tColumn\t12345\t67890 end\r\n";
        for (int i = 0; i < 60; ++i) textPage.insert(textPage.end(), line.begin(), line.end());
        textPage.push_back('\f');

        qltools::SpoolJobOptions job;
        job.pages = 1;
        job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Noise};
        job.bitsPerPixel = {24};
        job.imageWidth = 256;
        job.imageHeight = 256;
        job.font = u"Arial";
        emfPage = qltools::GenerateSpoolJob(job);
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

// One job through the entry points; false when it did not print.
bool PrintJob(const std::u16string& datatype, const std::vector<uint8_t>& data) {
    pal::host::ResetSpooler();  // forget earlier port documents
    pal::host::JobSpec request;
    request.printer = u"Office Laser";
    request.datatype = datatype;
    request.data = data;
    const DWORD id = pal::host::SubmitJob(request);
    std::u16string name = pal::host::JobReadName(id), printer = request.printer, type = datatype, doc = u"bench";
    PRINTPROCESSOROPENDATA open{};
    open.pDatatype = type.data();
    open.pDocumentName = doc.data();
    open.JobId = id;
    open.pPrinterName = printer.data();
    HANDLE h = OpenPrintProcessor(printer.data(), &open);
    if (!h) return false;
    const BOOL ok = PrintDocumentOnPrintProcessor(h, name.data());
    ClosePrintProcessor(h);
    return ok && pal::host::PortDocuments().size() == 1;
}

void Run(benchmark::State& state, const std::u16string& datatype, const std::vector<uint8_t>& data) {
    for (auto _ : state) {
        if (!PrintJob(datatype, data)) {
            state.SkipWithError("the job did not print");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());  // one page per job: items/s = pages/s
}

void BM_TextPage(benchmark::State& state) { Run(state, u"TEXT", TheFixture().textPage); }
void BM_EmfPage(benchmark::State& state) { Run(state, u"NT EMF 1.008", TheFixture().emfPage); }

BENCHMARK(BM_TextPage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EmfPage)->Unit(benchmark::kMillisecond)->UseRealTime();  // the helper process is not this thread's CPU time

} // namespace

BENCHMARK_MAIN();

// Concurrent jobs: the same gateway job (two pages of 1200x900 24-bit
// bitmaps, compressed to JPEG 2000) on two printers with the same
// configuration and different ports, printed one after the other on one
// thread, and at the same time on two threads, through the host's parallel
// runner. items_per_second is jobs per second; the ratio of /2 to /1 is the
// gain of printing two jobs at once. Both printers use the High-Throughput
// block coder, which encodes on the job's own thread: with the standard
// coder one job already keeps every core busy, and two jobs could not gain.
//
//   cmake --build --preset default --target bench_concurrent
//   build/default/bin/bench_concurrent
#include "host/Machine.h"
#include "host/Parallel.h"
#include "tools/lib/SpoolWriter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A second printer like "QL Spool Bridge (compressed)" on a port of its own;
// both encode with the High-Throughput coder. The debug log is off, as on a
// production machine: the built-in machine's trace log opens its file for
// every line under one process-wide lock.
constexpr const char kSecondPrinter[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (compressed 2)]
"Name"="QL Spool Bridge (compressed 2)"
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT4:"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (compressed 2)\PrinterDriverData]
"ImageRecall"=dword:00000001
"CompressionRule0"=dword:03e80a05
"CompressionRule1"=dword:00000a02
"JPEG2000Coder"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (compressed)\PrinterDriverData]
"JPEG2000Coder"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT4:]
"PortType"="Quillon Print Port"
)reg";

struct Fixture {
    std::unique_ptr<qlhost::Machine> machine;
    std::vector<qlhost::JobOptions> jobs;

    Fixture() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlbench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        qlhost::MachineOptions options;
        options.driveRoot = pattern;
        std::string error;
        machine = qlhost::Machine::Create(options, &error);
        if (!machine || !pal::host::LoadRegistryText(kSecondPrinter, "bench", &error) ||
            !machine->LoadPrintProcessor(&error))
            throw std::runtime_error(error);
        qltools::SpoolJobOptions spool;
        spool.pages = 2;
        spool.images = {qltools::ImageKind::Noise};
        spool.bitsPerPixel = {24};
        spool.imageWidth = 1200;
        spool.imageHeight = 900;
        const std::vector<uint8_t> data = qltools::GenerateSpoolJob(spool);
        for (const char16_t* printer : {u"QL Spool Bridge (compressed)", u"QL Spool Bridge (compressed 2)"}) {
            qlhost::JobOptions job;
            job.printer = printer;
            job.datatype = u"NT EMF 1.008";
            job.data = data;
            jobs.push_back(job);
        }
    }
};

Fixture& TheFixture() {
    static Fixture f;
    return f;
}

void BM_TwoJobs(benchmark::State& state) {
    Fixture& f = TheFixture();
    const unsigned threads = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        pal::host::ResetSpooler();
        for (const qlhost::JobReport& r : qlhost::RunJobsInParallel(*f.machine, f.jobs, threads)) {
            if (!r.Succeeded()) state.SkipWithError("a job did not print");
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(f.jobs.size()));
}

} // namespace

BENCHMARK(BM_TwoJobs)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

#include "host/Parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

namespace qlhost {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<WCHAR> Terminated(const std::u16string& s) {
    std::vector<WCHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

unsigned MsSince(Clock::time_point start) {
    return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

} // namespace

JobReport RunConcurrentJob(const Machine& machine, const JobOptions& job) {
    JobReport r;
    r.printer = job.printer;
    r.datatype = job.datatype;
    r.document = job.document;
    r.parameters = job.parameters;
    if (job.copies) r.parameters += u"COPIES=" + pal::host::FromUtf8(std::to_string(*job.copies)) + u";";
    r.dataBytes = job.data.size();
    const PrintProcessorEntries& entries = machine.Entries();
    if (!machine.Loaded()) {
        r.error = "the print processor is not loaded";
        return r;
    }

    pal::host::JobSpec submitted;
    submitted.printer = job.printer;
    submitted.document = job.document;
    submitted.datatype = job.datatype;
    submitted.parameters = r.parameters;
    submitted.outputFile = job.outputFile;
    submitted.user = job.user;
    submitted.data = job.data;
    submitted.devmode = job.devmode;
    r.jobId = pal::host::SubmitJob(submitted);
    if (r.jobId == 0) {
        r.error = "the spooler refused the job for \"" + pal::host::ToUtf8(job.printer) + "\"";
        return r;
    }

    std::vector<WCHAR> printerName = Terminated(job.printer), openPrinterName = Terminated(job.printer);
    std::vector<WCHAR> datatype = Terminated(job.datatype), parameters = Terminated(r.parameters);
    std::vector<WCHAR> document = Terminated(job.document), outputFile = Terminated(job.outputFile);
    std::vector<uint64_t> devmode((job.devmode.size() + 7) / 8);
    if (!job.devmode.empty()) std::memcpy(devmode.data(), job.devmode.data(), job.devmode.size());
    PRINTPROCESSOROPENDATA od{};
    od.pDevMode = job.devmode.empty() ? nullptr : reinterpret_cast<PDEVMODEW>(devmode.data());
    od.pDatatype = datatype.data();
    od.pParameters = r.parameters.empty() ? nullptr : parameters.data();
    od.pDocumentName = document.data();
    od.JobId = r.jobId;
    od.pOutputFile = job.outputFile.empty() ? nullptr : outputFile.data();
    od.pPrinterName = openPrinterName.data();

    pal::host::ImpersonateUser(job.user);
    SetLastError(ERROR_SUCCESS);
    HANDLE h = entries.OpenPrintProcessor(printerName.data(), &od);
    r.openError = GetLastError();
    pal::host::StopImpersonating();
    r.opened = h != nullptr;

    if (h) {
        std::vector<WCHAR> jobName = Terminated(pal::host::JobReadName(r.jobId));
        std::vector<std::pair<unsigned, DWORD>> plan;
        if (job.pauseAfterMs) plan.emplace_back(*job.pauseAfterMs, JOB_CONTROL_PAUSE);
        if (job.resumeAfterMs) plan.emplace_back(*job.resumeAfterMs, JOB_CONTROL_RESUME);
        if (job.cancelAfterMs) plan.emplace_back(*job.cancelAfterMs, JOB_CONTROL_CANCEL);
        std::stable_sort(plan.begin(), plan.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        const auto start = Clock::now();
        auto control = [&](DWORD command, bool fromTimeout) {
            ControlRecord c;
            c.command = command;
            c.fromTimeout = fromTimeout;
            c.atMs = MsSince(start);
            SetLastError(ERROR_SUCCESS);
            c.result = entries.ControlPrintProcessor(h, command);
            c.lastError = GetLastError();
            c.statusAfter = ReadHandleStatus(h);
            r.controls.push_back(c);
        };
        size_t next = 0;
        for (; next < plan.size() && plan[next].first == 0; ++next) control(plan[next].second, false);

        struct Printed {
            BOOL result;
            DWORD error;
            unsigned ms;
        };
        std::promise<Printed> done;
        std::future<Printed> printing = done.get_future();
        std::thread printer([&] {
            pal::host::SetCurrentJob(r.jobId);
            pal::host::ImpersonateUser(job.user);
            SetLastError(ERROR_SUCCESS);
            const BOOL ok = entries.PrintDocumentOnPrintProcessor(h, jobName.data());
            const DWORD error = GetLastError();
            pal::host::StopImpersonating();
            pal::host::SetCurrentJob(0);
            done.set_value(Printed{ok, error, MsSince(start)});
        });
        r.printed = true;
        unsigned lastMs = 0;
        for (; next < plan.size(); ++next) {
            // A job that has finished takes no more commands.
            if (printing.wait_until(start + std::chrono::milliseconds(plan[next].first)) ==
                std::future_status::ready)
                break;
            control(plan[next].second, false);
            lastMs = plan[next].first;
        }
        if (printing.wait_until(start + std::chrono::milliseconds(lastMs + job.timeoutMs)) !=
            std::future_status::ready) {
            control(JOB_CONTROL_CANCEL, true);
        }
        printer.join();
        const Printed p = printing.get();
        r.printResult = p.result;
        r.printError = p.error;
        r.printMs = p.ms;

        pal::host::ImpersonateUser(job.user);
        SetLastError(ERROR_SUCCESS);
        r.closeResult = entries.ClosePrintProcessor(h);
        r.closeError = GetLastError();
        pal::host::StopImpersonating();
        r.closed = true;
    }
    pal::host::DeleteJob(r.jobId);

    for (const pal::host::PortDocument& d : pal::host::PortDocuments()) {
        if (d.jobId != r.jobId) continue;
        r.documents.push_back(d);
        r.streams.push_back(InspectTransportStreams(pal::host::PortDocumentBytes(d)));
    }
    pal::host::ForgetPortDocuments(r.jobId);
    return r;
}

void RunJobsInParallel(const Machine& machine, size_t count, unsigned threads,
                       const std::function<JobOptions(size_t)>& make,
                       const std::function<void(size_t, const JobReport&)>& done) {
    std::atomic<size_t> next{0};
    std::mutex doneLock;
    auto worker = [&] {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            const JobReport r = RunConcurrentJob(machine, make(i));
            std::lock_guard<std::mutex> g(doneLock);
            done(i, r);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < std::max(1u, threads); ++t) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
}

std::vector<JobReport> RunJobsInParallel(const Machine& machine, const std::vector<JobOptions>& jobs,
                                         unsigned threads) {
    std::vector<JobReport> reports(jobs.size());
    RunJobsInParallel(
        machine, jobs.size(), threads, [&](size_t i) { return jobs[i]; },
        [&](size_t i, const JobReport& r) { reports[i] = r; });
    return reports;
}

} // namespace qlhost

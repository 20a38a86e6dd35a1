#include "host/EntryPoints.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

namespace qlhost {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<WCHAR> Mutable(const std::u16string& s) {
    std::vector<WCHAR> v(s.begin(), s.end());
    v.push_back(0);
    return v;
}

} // namespace

void DriveEntryPoints(const PrintProcessorEntries& entries, const JobOptions& job, JobReport& r, ControlPlan mode) {
    std::vector<WCHAR> printerName = Mutable(job.printer);
    std::vector<WCHAR> openPrinterName = Mutable(job.printer);
    std::vector<WCHAR> datatype = Mutable(job.datatype);
    std::vector<WCHAR> parameters = Mutable(r.parameters);
    std::vector<WCHAR> document = Mutable(job.document);
    std::vector<WCHAR> outputFile = Mutable(job.outputFile);
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

    // The spooler calls OpenPrintProcessor and ClosePrintProcessor on a thread
    // that impersonates the job's user; this thread does so for the call and
    // returns to the spooler's own identity for the control commands.
    pal::host::ImpersonateUser(job.user);
    r.user = pal::host::CurrentIdentity();
    SetLastError(ERROR_SUCCESS);
    HANDLE h = entries.OpenPrintProcessor(printerName.data(), &od);
    r.openError = GetLastError();
    r.identityAfterOpen = pal::host::CurrentIdentity();
    pal::host::StopImpersonating();
    r.opened = h != nullptr;

    if (h) {
        std::vector<WCHAR> jobName = Mutable(pal::host::JobReadName(r.jobId));
        struct PrintResult {
            BOOL result;
            DWORD error;
            Clock::time_point end;
        };
        std::promise<PrintResult> done;
        std::future<PrintResult> printing = done.get_future();

        // This thread plays the spooler thread that controls the job.
        std::vector<std::pair<unsigned, DWORD>> plan;
        if (job.pauseAfterMs) plan.emplace_back(*job.pauseAfterMs, JOB_CONTROL_PAUSE);
        if (job.resumeAfterMs) plan.emplace_back(*job.resumeAfterMs, JOB_CONTROL_RESUME);
        if (job.cancelAfterMs) plan.emplace_back(*job.cancelAfterMs, JOB_CONTROL_CANCEL);
        std::stable_sort(plan.begin(), plan.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const auto start = Clock::now();
        auto control = [&](DWORD command, bool fromTimeout) {
            ControlRecord c;
            c.command = command;
            c.fromTimeout = fromTimeout;
            c.atMs = static_cast<unsigned>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
            SetLastError(ERROR_SUCCESS);
            c.result = entries.ControlPrintProcessor(h, command);
            c.lastError = GetLastError();
            c.statusAfter = ReadHandleStatus(h);
            r.controls.push_back(c);
        };
        // Commands planned at 0 ms reach the job before its printing thread
        // starts, so a job paused at 0 ms is paused before it reads a byte.
        size_t next = 0;
        for (; next < plan.size() && plan[next].first == 0; ++next) control(plan[next].second, false);

        std::thread printer([&] {
            // Documents started on this thread belong to the job, as on the
            // spooler's printing thread.
            // The spooler's printing thread impersonates the job's user.
            pal::host::SetCurrentJob(r.jobId);
            pal::host::ImpersonateUser(job.user);
            SetLastError(ERROR_SUCCESS);
            const BOOL ok = entries.PrintDocumentOnPrintProcessor(h, jobName.data());
            const DWORD error = GetLastError();
            r.identityAfterPrint = pal::host::CurrentIdentity();
            pal::host::StopImpersonating();
            pal::host::SetCurrentJob(0);
            done.set_value(PrintResult{ok, error, Clock::now()});
        });
        r.printed = true;

        unsigned lastMs = 0;
        for (; next < plan.size(); ++next) {
            const auto [atMs, command] = plan[next];
            const auto at = start + std::chrono::milliseconds(atMs);
            if (mode == ControlPlan::UntilDone) {
                // A job that has finished takes no more commands.
                if (printing.wait_until(at) == std::future_status::ready) break;
            } else {
                std::this_thread::sleep_until(at);
            }
            control(command, false);
            lastMs = atMs;
        }
        if (printing.wait_until(start + std::chrono::milliseconds(lastMs + job.timeoutMs)) !=
            std::future_status::ready) {
            control(JOB_CONTROL_CANCEL, true);  // a cancel also releases a paused job
        }
        printer.join();
        const PrintResult pr = printing.get();
        r.printResult = pr.result;
        r.printError = pr.error;
        r.printMs = static_cast<unsigned>(
            std::chrono::duration_cast<std::chrono::milliseconds>(pr.end - start).count());

        pal::host::ImpersonateUser(job.user);
        SetLastError(ERROR_SUCCESS);
        r.closeResult = entries.ClosePrintProcessor(h);
        r.closeError = GetLastError();
        r.identityAfterClose = pal::host::CurrentIdentity();
        pal::host::StopImpersonating();
        r.closed = true;
    }
}

} // namespace qlhost

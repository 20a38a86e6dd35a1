#include "host/Parallel.h"
#include "host/EntryPoints.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

namespace qlhost {

JobReport RunConcurrentJob(const Machine& machine, const JobOptions& job) {
    JobReport r;
    r.printer = job.printer;
    r.datatype = job.datatype;
    r.document = job.document;
    r.parameters = job.parameters;
    if (job.copies) r.parameters += u"COPIES=" + pal::host::FromUtf8(std::to_string(*job.copies)) + u";";
    const PrintProcessorEntries& entries = machine.Entries();
    if (!machine.Loaded()) {
        r.error = "the print processor is not loaded";
        return r;
    }

    r.jobId = SubmitJobData(job, r.parameters, &r.dataBytes, &r.error);
    if (r.jobId == 0) return r;

    DriveEntryPoints(entries, job, r, ControlPlan::UntilDone);
    pal::host::DeleteJob(r.jobId);

    for (const pal::host::PortDocument& d : pal::host::PortDocuments()) {
        if (d.jobId != r.jobId) continue;
        r.documents.push_back(d);
        r.streams.push_back(InspectTransportStreams(d));
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

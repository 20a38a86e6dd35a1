// Submitting a job to the simulated spooler: its bytes, or a file copied
// into the job's spool file (inside the kernel where it can be), never held
// whole.
#include "host/Machine.h"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace qlhost {

namespace {
constexpr size_t kSubmitBlock = 4u << 20;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string SpoolError(const char* step, DWORD error) {
    return std::string("the spooler refused the job (") + step + " failed with error " + std::to_string(error) + ")";
}
} // namespace

DWORD SubmitJobData(const JobOptions& job, const std::u16string& parameters, uint64_t* bytes, std::string* error) {
    *bytes = 0;
    std::unique_ptr<std::FILE, FileCloser> file;
    if (!job.dataFile.empty()) {
        file.reset(std::fopen(job.dataFile.c_str(), "rb"));
        if (!file) {
            *error = "job file " + job.dataFile + ": cannot open";
            return 0;
        }
    }
    pal::host::JobSpec request;
    request.printer = job.printer;
    request.document = job.document;
    request.datatype = job.datatype;
    request.parameters = parameters;
    request.outputFile = job.outputFile;
    request.user = job.user;
    request.devmode = job.devmode;
    DWORD e = 0;
    const DWORD id = pal::host::BeginJob(request, &e);
    if (id == 0) {
        *error = e == ERROR_INVALID_PRINTER_NAME ? "the spooler refused the job for \"" +
                                                       pal::host::ToUtf8(job.printer) + "\""
                                                 : SpoolError("creating the spool file", e);
        return 0;
    }
    if (!file) {
        for (size_t at = 0; at < job.data.size(); at += kSubmitBlock) {
            const auto block = std::span<const uint8_t>(job.data).subspan(at, std::min(kSubmitBlock, job.data.size() - at));
            if (!pal::host::AppendJobData(id, block, &e)) {
                *error = SpoolError("writing the spool file", e);
                return 0;
            }
            *bytes += block.size();
        }
    } else {
        if (!pal::host::AppendJobFile(id, file.get(), bytes, &e)) {
            *error = e == ERROR_READ_FAULT ? "job file " + job.dataFile + ": read error"
                                           : SpoolError("writing the spool file", e);
            return 0;
        }
    }
    if (!pal::host::CommitJob(id, &e)) {
        *error = SpoolError("committing the job", e);
        return 0;
    }
    return id;
}

std::vector<uint8_t> OriginalForReport(const JobOptions& job, uint64_t bytes) {
    // A pipe or a terminal was read to its end by the submission.
    std::error_code ec;
    if (job.dataFile.empty() || bytes > kBitmapReportMaxBytes || !std::filesystem::is_regular_file(job.dataFile, ec))
        return {};
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(job.dataFile.c_str(), "rb"));
    std::vector<uint8_t> data(static_cast<size_t>(bytes));
    if (!file || std::fread(data.data(), 1, data.size(), file.get()) != data.size()) return {};
    return data;
}

} // namespace qlhost

// Every failure point of five representative jobs - raw, packed raw, gateway
// unframed, gateway framed with the image cache, a page through the temporary
// file - made to fail one at a time: each spooler call by its count, each
// ReadPrinter/WritePrinter byte boundary class (failed and short), each
// MemAlloc, each C++ allocation of the product, each crypto call and each
// temporary file operation. Every run must end cleanly: no leaked handle or
// temporary file, the document ended or never started, and a FALSE result
// with an error code.
#include "host/Machine.h"
#include "host/SampleJobs.h"
#include "tests/host/TestDirs.h"
#include "tools/lib/SpoolWriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

using namespace qlhost;

namespace {

namespace fs = std::filesystem;

// The product library as the host loads it (libqlwinprn.so).
constexpr char kProduct[] = "libqlwinprn";

struct SweepJob {
    const char* name;
    JobOptions options;
    bool pagesThroughFile = false;
};

std::vector<uint8_t> Text(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (i % 61 == 60) ? '\n' : static_cast<uint8_t>('a' + i % 26);
    return out;
}

// Two pages make the second page's bitmap a cache hit on the cached printer.
std::vector<uint8_t> GatewayJob(uint32_t pages) {
    qltools::SpoolJobOptions job;
    job.pages = pages;
    job.images = {qltools::ImageKind::Logo};
    job.bitsPerPixel = {24};
    job.imageWidth = job.imageHeight = 24;
    return qltools::GenerateSpoolJob(job);
}

std::vector<SweepJob> Jobs() {
    auto gateway = [](const char16_t* printer, uint32_t pages) {
        return JobOptions{.printer = printer, .datatype = u"NT EMF 1.008", .data = GatewayJob(pages)};
    };
    return {{"raw", JobOptions{.data = Text(9000)}},
            {"packed raw", JobOptions{.data = SamplePackedJob(Text(9000))}},
            {"gateway", gateway(u"QL Spool Bridge", 1)},
            {"gateway cached", gateway(u"QL Spool Bridge (cached)", 2)},
            {"gateway temporary file", gateway(u"QL Spool Bridge", 1), true}};
}

// Pages at most 64 bytes long stay in memory; larger ones go through a
// temporary file.
void SetPagesThroughFile(bool on) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\QLWinPrn]\n"
        "\"CompressionEMFInMem\"=" + std::string(on ? "dword:00000040" : "-") + "\n",
        "pages.reg", &error)) << error;
}

// Files under the drive root other than the port output and the debug log.
std::set<std::string> Files(const std::string& root, const std::string& skipDir, const std::string& skipFile) {
    std::set<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path().string();
        if (it->is_regular_file(ec) && path.rfind(skipDir, 0) != 0 && path != skipFile) files.insert(path);
    }
    return files;
}

// The byte boundary classes of a transfer of `total` bytes: the first byte,
// a header's end, the ends of a 4096-byte block, the middle and the last.
std::vector<uint64_t> ByteClasses(uint64_t total) {
    std::vector<uint64_t> at;
    for (uint64_t b : {uint64_t{0}, uint64_t{1}, uint64_t{8}, uint64_t{4095}, uint64_t{4096}, uint64_t{4097},
                       total / 2, total ? total - 1 : 0}) {
        if (b < total && (at.empty() || at.back() < b)) at.push_back(b);
    }
    return at;
}

class FailureSweep : public qlhost::test::MachineTest {
protected:
    // Runs the job with one failure point armed and checks that it ended
    // cleanly. `arm` runs right before the job.
    void RunOnce(const SweepJob& job, const std::string& point, const std::function<void()>& arm,
                 bool documentMayStayOpen = false) {
        const std::set<std::string> before = Files(m_machine->DriveRoot(), m_machine->OutputDir(),
                                                   m_machine->LogPath());
        arm();
        const JobReport r = m_machine->RunJob(job.options);
        pal::host::FailCxxAllocation(kProduct, 0);
        pal::host::ClearFaults();
        ++m_points;
        const std::string what = std::string(job.name) + ", " + point;
        ASSERT_TRUE(r.error.empty()) << what << ": " << r.error;
        EXPECT_TRUE(r.leakedHandles.empty()) << what << ": " << r.leakedHandles.front();
        EXPECT_EQ(Files(m_machine->DriveRoot(), m_machine->OutputDir(), m_machine->LogPath()), before)
            << what << ": a file was left behind";
        if (!documentMayStayOpen) {
            for (const auto& doc : r.documents) EXPECT_TRUE(doc.ended) << what << ": document left open";
        }
        EXPECT_TRUE(r.opened || r.openError != 0) << what << ": open failed without an error";
        EXPECT_TRUE(!r.printed || r.printResult || r.printError != 0) << what << ": FALSE without an error";
    }

    size_t m_points = 0;
};

} // namespace

TEST_F(FailureSweep, EveryFailurePointOfFiveJobsEndsCleanly) {
    for (const SweepJob& job : Jobs()) {
        SetPagesThroughFile(job.pagesThroughFile);

        // A clean run counts the calls that can fail and the bytes moved.
        pal::host::CountFaultCalls(true);
        ASSERT_TRUE(pal::host::FailCxxAllocation(kProduct, UINT64_MAX));
        const JobReport clean = m_machine->RunJob(job.options);
        const uint64_t allocations = pal::host::CxxAllocationCount();
        pal::host::FailCxxAllocation(kProduct, 0);
        const std::map<std::string, uint64_t> calls = pal::host::FaultCallCounts();
        pal::host::CountFaultCalls(false);
        ASSERT_TRUE(clean.Succeeded()) << job.name << ": " << clean.printError;
        ASSERT_EQ(clean.documents.size(), 1u) << job.name;
        EXPECT_TRUE(!job.pagesThroughFile || calls.count("fwrite")) << job.name << ": no page went through a file";
        const size_t pointsBefore = m_points;

        for (const auto& [call, count] : calls) {
            // A failed close or release keeps its handle, a failed
            // EndDocPrinter its document: nothing the job could do about it.
            // The spool file's writes belong to the submission, before the
            // job reaches the print processor (the spooler's tests fail them).
            if (call == "ClosePrinter" || call == "CryptDestroyHash" || call == "CryptReleaseContext" ||
                call == "SpoolFileWrite")
                continue;
            const DWORD error = call == "GlobalAlloc" ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE;
            for (uint64_t n = 0; n < count; ++n) {
                RunOnce(job, call + " #" + std::to_string(n + 1), [&] {
                    pal::host::InjectFault({.call = call, .afterCalls = n, .error = error, .once = true});
                }, call == "EndDocPrinter");
            }
        }
        for (const auto& [call, total] : {std::pair<std::string, uint64_t>{"ReadPrinter", job.options.data.size()},
                                          {"WritePrinter", clean.documents[0].bytes}}) {
            for (uint64_t at : ByteClasses(total)) {
                for (bool shortCount : {false, true}) {
                    RunOnce(job, call + " at byte " + std::to_string(at) + (shortCount ? " short" : " failed"), [&] {
                        pal::host::InjectFault({.call = call, .atByte = at, .shortCount = shortCount, .once = true});
                    });
                }
            }
        }
        for (uint64_t n = 1; n <= allocations; ++n) {
            RunOnce(job, "C++ allocation #" + std::to_string(n), [&] { pal::host::FailCxxAllocation(kProduct, n); });
        }
        std::printf("[ sweep    ] %s: %zu failure points\n", job.name, m_points - pointsBefore);
    }
    SetPagesThroughFile(false);
    std::printf("[ sweep    ] %zu failure points in all\n", m_points);
    EXPECT_GT(m_points, 100u);
}

// Real spool files through the gateway printer, and a job cancelled while it
// is paused.
#include "GatewayTest.h"

#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

using namespace gwtest;

namespace {

class GatewayCorpus : public GatewayTest {};

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST_F(GatewayCorpus, EveryRealSpoolFilePrintsAndInspects) {
    const std::filesystem::path dir = std::filesystem::path(QL_CORPUS_DIR) / "spl";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "corpus folder missing: " << dir;

    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".spl") continue;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++files;
        const Bytes spool = ReadFile(entry.path());
        ASSERT_GE(spool.size(), 8u);
        pal::host::ResetSpooler();

        for (const char16_t* printer : {u"GW", u"GWFramed"}) {
            SCOPED_TRACE(pal::host::ToUtf8(printer));
            PrintOptions print;
            print.printer = printer;
            print.keepDevmode = true;
            const PrintResult r = PrintSpool(spool, print);
            ASSERT_FALSE(r.documents.empty());
            const Bytes& out = r.documents.back();
            ASSERT_GE(out.size(), 5u);
            EXPECT_EQ(std::string(out.begin(), out.begin() + 5), "%%EMF");

            const bool isSpool = qltools::GetU32(spool, 0) == qltools::SPL_FILE_HEADER;
            if (!isSpool) {
                // Not a spool file: its bytes are taken for records of unknown
                // types and copied until the data or a record runs out.
                EXPECT_LE(out.size(), 5 + spool.size() + 4096) << "nothing invented";
                continue;
            }
            const qltools::InspectReport report = qltools::InspectStream(out);
            EXPECT_TRUE(report.ok) << report.error;
            EXPECT_TRUE(r.printed) << Joined(r.lines);
            EXPECT_EQ(report.framed, printer == std::u16string(u"GWFramed"));
        }
    }
    EXPECT_GT(files, 0u);
}

TEST_F(GatewayCorpus, CancelWhilePausedStopsTheJob) {
    qltools::SpoolJobOptions options;
    options.pages = 3;
    const Bytes spool = qltools::GenerateSpoolJob(options);

    OpenedJob job = OpenJob(spool, u"GW", u"COPIES=3;");
    HANDLE handle = job.handle;
    ASSERT_NE(handle, nullptr);

    ASSERT_TRUE(ControlPrintProcessor(handle, JOB_CONTROL_PAUSE));
    auto printing = std::async(std::launch::async,
                               [&] { return PrintDocumentOnPrintProcessor(handle, job.readName.data()); });
    EXPECT_EQ(printing.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "paused";

    ASSERT_TRUE(ControlPrintProcessor(handle, JOB_CONTROL_CANCEL));
    ASSERT_EQ(printing.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "cancel must end the job";
    printing.get();
    EXPECT_EQ(static_cast<PPRINTPROCESSORDATA>(handle)->dwPageCount, 0u);
    EXPECT_TRUE(ClosePrintProcessor(handle));

    // No copy ran past the first read.
    const auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(docs[0].ended);
    EXPECT_LT(pal::host::PortDocumentBytes(docs[0]).size(), spool.size());
}

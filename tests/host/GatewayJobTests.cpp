// Gateway jobs end to end through the spooler host, in-process: spool files
// made by the spool toolkit (and the real ones of the corpus) printed on the
// built-in machine's gateway printers, the port's output read back with the
// stream inspector.
#include "host/Machine.h"
#include "host/SampleJobs.h"
#include "tests/host/TestDirs.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace qlhost;
using qlhost::test::Joined;

namespace {

namespace fs = std::filesystem;

class GatewayJob : public qlhost::test::MachineTest {
protected:
    JobReport Print(const std::u16string& printer, std::vector<uint8_t> data, std::vector<uint8_t> devmode = {}) {
        JobOptions job;
        job.printer = printer;
        job.datatype = u"NT EMF 1.008";
        job.document = u"gateway test";
        job.data = std::move(data);
        job.devmode = std::move(devmode);
        job.timeoutMs = 20000;
        return m_machine->RunJob(job);
    }

    // The one transport stream of a one-copy job's one document, as the
    // host's inspection read it; it must be whole.
    static qltools::InspectReport Inspected(const JobReport& r) {
        if (r.streams.size() != 1 || r.streams[0].size() != 1) {
            ADD_FAILURE() << r.streams.size() << " port documents\n" << Joined(r.logLines);
            return {};
        }
        const qltools::InspectReport& report = r.streams[0][0].report;
        EXPECT_TRUE(report.ok) << report.error << "\n" << qltools::FormatReportText(report);
        EXPECT_TRUE(report.marker);
        return report;
    }
};

// ---- the device mode block ----------------------------------------------------------------

TEST_F(GatewayJob, DeviceModeBlockTakesTheFormTheJobsDeviceModeCalls) {
    struct Case {
        const char* name;
        qltools::DevmodeOptions dm;
        qltools::DevmodeForm form;
        uint32_t length;  // L, the 5 header bytes included
        bool trailer, extension;
        uint32_t trailerFlags;
    };
    auto options = [](uint16_t driverExtra, std::optional<uint32_t> trailerFlags, bool extension) {
        qltools::DevmodeOptions o;
        o.driverExtra = driverExtra;
        o.trailerFlags = trailerFlags;
        o.extension = extension;
        return o;
    };
    constexpr uint32_t IMGAREA = 0x4, IGNORE_TRAYS = 0x20;
    // Private bytes without a trailer are not sent; a trailer alone (8
    // private bytes) is sent as it is, without configuration flags; a trailer
    // behind other private bytes is cut to public + trailer.
    const Case cases[] = {
        {"public only", options(0, {}, false), qltools::DevmodeForm::PublicOnly, 225, false, false, 0},
        {"private bytes without trailer", options(64, {}, false), qltools::DevmodeForm::PublicOnly, 225, false, false, 0},
        {"public + trailer", options(0, 0, false), qltools::DevmodeForm::PublicPlus8, 233, true, false, IMGAREA},
        {"public + trailer (cut)", options(64, 0, false), qltools::DevmodeForm::PublicPlus8, 233, true, false,
         IMGAREA | IGNORE_TRAYS},
        {"full with QLEX", options(0, 0, true), qltools::DevmodeForm::Full, 220 + 1032 + 5, true, true,
         IMGAREA | IGNORE_TRAYS},
    };
    // One synthetic page: the file header, a metafile-data record (12) and its extension record (13).
    qltools::SpoolJobOptions job;
    job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Gradient};
    job.bitsPerPixel = {4, 24};
    job.imageWidth = job.imageHeight = 32;
    const std::vector<uint8_t> spool = qltools::GenerateSpoolJob(job);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const JobReport r = Print(u"QL Spool Bridge", spool, qltools::BuildDevmode(c.dm));
        ASSERT_TRUE(r.Succeeded()) << r.printError << "\n" << Joined(r.logLines);
        const qltools::InspectReport report = Inspected(r);
        ASSERT_TRUE(report.devmode);
        EXPECT_EQ(report.devmode->offset, 5u);
        EXPECT_EQ(report.devmode->form, c.form) << qltools::DevmodeFormName(report.devmode->form);
        EXPECT_EQ(report.devmode->length, c.length);
        const qltools::DevmodeInfo& dm = report.devmode->devmode;
        EXPECT_EQ(dm.hasTrailer, c.trailer);
        EXPECT_EQ(dm.hasExtension, c.extension);
        if (c.trailer) {
            EXPECT_EQ(dm.trailerFlags, c.trailerFlags) << qltools::DevmodeFlagNames(dm.trailerFlags);
        }
        // The adjustment translated A4 through the forms table and filled in
        // the physical paper size of the printer's device context.
        EXPECT_EQ(dm.dmPaperSize, 9 + 256);
        EXPECT_GT(dm.dmPaperWidth, 2000);
        EXPECT_GT(dm.dmPaperLength, 2900);
        std::vector<uint32_t> types;
        for (const auto& rec : report.records) types.push_back(rec.type);
        EXPECT_EQ(types, (std::vector<uint32_t>{0x00010000, 12, 13}));
    }
}

// ---- the real spool files of the corpus ------------------------------------------------

TEST_F(GatewayJob, EveryCorpusSpoolFilePrintsWithoutCrashOrHang) {
    const fs::path dir = fs::path(QL_CORPUS_DIR) / "spl";
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file()) files.push_back(entry.path());
    if (files.empty()) GTEST_SKIP() << "no spool corpus at " << dir;
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GE(data.size(), 8u);
        const JobReport r = Print(u"QL Spool Bridge", data);
        ASSERT_TRUE(r.error.empty()) << r.error;
        ASSERT_TRUE(r.opened && r.printed && r.closed);
        EXPECT_TRUE(r.controls.empty()) << "printing did not finish in time";
        EXPECT_TRUE(r.leakedHandles.empty()) << Joined(r.leakedHandles);
        ASSERT_EQ(r.documents.size(), 1u);
        const std::vector<uint8_t> out = pal::host::PortDocumentBytes(r.documents[0]);

        const bool spoolFile = data[0] == 0 && data[1] == 0 && data[2] == 1 && data[3] == 0;
        if (spoolFile) {
            EXPECT_TRUE(r.printResult) << "error " << r.printError << "\n" << Joined(r.logLines);
            const qltools::InspectReport report = Inspected(r);
            ASSERT_FALSE(report.records.empty());
            EXPECT_EQ(report.records[0].type, 0x00010000u);
            continue;
        }
        // Not a spool file (a ZIP package): its first 8 bytes read as a record
        // of an unknown type, whose header is written and whose body is copied
        // through until the job's data ends. The stream is the marker, the
        // device mode block, the machine's watermark and the file's bytes.
        ASSERT_GE(out.size(), 10u);
        EXPECT_EQ(std::string(out.begin(), out.begin() + 5), "%%EMF");
        ASSERT_EQ(out[5], 0x02) << "device mode block";
        uint32_t length = 0, watermark = 0;
        std::memcpy(&length, out.data() + 6, 4);
        ASSERT_LE(5 + length + 12, out.size());
        std::memcpy(&watermark, out.data() + 5 + length + 8, 4);
        ASSERT_LE(5 + length + 12 + watermark, out.size());
        const std::vector<uint8_t> records(out.begin() + 5 + length + 12 + watermark, out.end());
        EXPECT_EQ(records, data);
    }
}

} // namespace

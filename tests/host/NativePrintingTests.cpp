// Native printing (AGNP) end to end: a gateway job handed to the simulated
// view library, decoded as a receiver decodes it and printed on ordinary
// printers of the machine, each of which receives a PDF.
#include "host/Machine.h"
#include "tests/host/TestDirs.h"
#include "tools/lib/SpoolWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace qlhost;
using qlhost::test::HasLine;
using qlhost::test::Joined;

namespace {

// Pages of a PDF document: its page objects.
size_t PdfPages(const std::vector<uint8_t>& pdf) {
    const std::string text(pdf.begin(), pdf.end());
    size_t pages = 0;
    for (size_t at = text.find("/Type /Page"); at != std::string::npos; at = text.find("/Type /Page", at + 1))
        if (at + 11 < text.size() && text[at + 11] != 's') ++pages;
    return pages;
}

class NativePrinting : public qlhost::test::MachineTest {};

TEST_F(NativePrinting, GatewayJobsPrintOnTheNativeAndVirtualCopyPrinters) {
    const struct {
        const char* name;
        const char* agnp;  // the printer data values AGNP, AGNP1, AGNP2
        const char* copy1;
        const char* copy2;
        bool printed;
        std::vector<std::u16string> pdfPrinters;  // in order
        size_t refused;
    } cases[] = {
        {"two virtual copies", "Office Laser", "Office Copier", "\\\\\\\\SRV1\\\\Office Laser", true,
         {u"Office Laser", u"Office Copier", u"Office Laser"}, 0},
        {"a refused virtual copy", "Office Laser", "Nowhere", "Office Copier", true,
         {u"Office Laser", u"Office Copier"}, 1},
        {"a failed main open", "Nowhere", "Office Copier", "", false, {}, 1},
    };
    qltools::SpoolJobOptions spool;
    spool.pages = 3;
    spool.images = {qltools::ImageKind::Logo, qltools::ImageKind::Gradient};
    spool.bitsPerPixel = {8, 24};
    spool.imageWidth = spool.imageHeight = 64;
    JobOptions job;
    job.printer = u"QL Spool Bridge (native)";
    job.datatype = u"NT EMF 1.008";
    job.document = u"native job";
    job.data = qltools::GenerateSpoolJob(spool);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The built-in native printer, printing on the printers of the case.
        const std::string key = R"(HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (native)\PrinterDriverData)";
        const std::string reg = "Windows Registry Editor Version 5.00\n\n[-" + key + "]\n\n[" + key + "]\n\"AGNP\"=\"" + c.agnp +
                                "\"\n\"AGNP1\"=\"" + c.copy1 + "\"\n\"AGNP2\"=\"" + c.copy2 + "\"\n";
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText(reg, "native.reg", &error)) << error;

        const JobReport r = m_machine->RunJob(job);
        EXPECT_EQ(r.Succeeded(), c.printed) << r.printError << "\n" << Joined(r.logLines);
        std::vector<std::u16string> pdfPrinters;
        for (const auto& d : r.documents) {
            pdfPrinters.push_back(d.printer);
            EXPECT_EQ(PdfPages(pal::host::PortDocumentBytes(d)), spool.pages) << pal::host::ToUtf8(d.printer);
        }
        EXPECT_EQ(pdfPrinters, c.pdfPrinters);
        EXPECT_EQ(std::count_if(r.monitorCalls.begin(), r.monitorCalls.end(),
                                [](const QuilmonCall& m) { return m.dwFunction == QUILMON_FN_VIEW_REFUSED; }),
                  static_cast<long>(c.refused));
        // The view library took the spooler job over: it is cancelled.
        const bool cancelled = std::find(r.spoolerCommands.begin(), r.spoolerCommands.end(), JOB_CONTROL_CANCEL) !=
                               r.spoolerCommands.end();
        EXPECT_EQ(cancelled, c.printed);
        if (!c.printed) {
            EXPECT_TRUE(HasLine(r.logLines, "QLViewDLL_QLEMFOpenJob failed")) << Joined(r.logLines);
        }
        EXPECT_TRUE(r.leakedHandles.empty()) << r.leakedHandles.front();
    }
}

} // namespace

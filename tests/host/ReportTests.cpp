// The job report: port documents with their share of the port monitor calls.
#include "host/Report.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace qlhost;

namespace {

QuilmonCall Call(DWORD function, const std::u16string& arg1, const std::u16string& arg2, DWORD value = 0) {
    QuilmonCall c;
    std::memset(&c, 0, sizeof(c));
    c.dwFunction = function;
    c.dwValue = value;
    std::copy(arg1.begin(), arg1.end(), c.szArg1);
    std::copy(arg2.begin(), arg2.end(), c.szArg2);
    return c;
}

pal::host::PortDocument Document(const std::u16string& printer, const std::u16string& port, uint64_t bytes) {
    pal::host::PortDocument d;
    d.printer = printer;
    d.port = port;
    d.document = u"doc";
    d.datatype = u"RAW";
    d.bytes = bytes;
    d.ended = true;
    d.outputPath = "/ports/" + pal::host::ToUtf8(port);
    return d;
}

JobReport Printed() {
    JobReport r;
    r.jobId = 2;
    r.printer = u"QL Spool Bridge";
    r.datatype = u"NT EMF 1.008";
    r.document = u"doc";
    r.opened = r.printed = r.closed = true;
    r.printResult = r.closeResult = TRUE;
    return r;
}

TEST(Report, OneDocumentOwnsEveryMonitorCall) {
    JobReport r = Printed();
    r.documents.push_back(Document(u"QL Spool Bridge", u"QLPORT1:", 1234));
    r.monitorCalls.push_back(Call(QUILMON_FN_SET_PRINT_COPY_COUNT, u"QLPORT1:", u"PC", 2));
    r.monitorCalls.push_back(Call(QUILMON_FN_INCREMENT_PAGE_COUNT, u"QLPORT1:", u"PC"));
    r.monitorCalls.push_back(Call(QUILMON_FN_INCREMENT_PAGE_COUNT, u"other", u"PC"));
    r.monitorCalls.push_back(Call(QUILMON_FN_UPDATE_STATISTICS, u"QL Spool Bridge", u"SRV", 1234));

    const MonitorCallsByDocument a = AssignMonitorCalls(r);
    ASSERT_EQ(a.perDocument.size(), 1u);
    EXPECT_EQ(a.perDocument[0], (std::vector<size_t>{0, 1, 2, 3}));
    EXPECT_TRUE(a.unassigned.empty());

    const std::string text = FormatJobReport(r, false);
    EXPECT_NE(text.find("  document \"doc\" on \"QL Spool Bridge\", port \"QLPORT1:\", datatype \"RAW\": 1234 bytes\n"
                        "    port file /ports/QLPORT1:\n"
                        "    port monitor: 2 page(s), copy count 2, statistics "
                        "UpdateQLWinPrnStatisticsW(printer \"QL Spool Bridge\", server \"SRV\", 1234 bytes)\n"),
              std::string::npos)
        << text;
}

TEST(Report, SeveralDocumentsShareCallsByPortAndPrinter) {
    JobReport r = Printed();
    r.documents.push_back(Document(u"A", u"PA:", 10));
    r.documents.push_back(Document(u"B", u"PB:", 20));
    r.documents.push_back(Document(u"A", u"PA:", 30));
    r.monitorCalls.push_back(Call(QUILMON_FN_INCREMENT_PAGE_COUNT, u"PB:", u"PC"));         // 0 -> B
    r.monitorCalls.push_back(Call(QUILMON_FN_UPDATE_STATISTICS, u"A", u"S", 10));          // 1 -> first A
    r.monitorCalls.push_back(Call(QUILMON_FN_UPDATE_STATISTICS, u"A", u"S", 30));          // 2 -> second A
    r.monitorCalls.push_back(Call(QUILMON_FN_UPDATE_STATISTICS, u"A", u"S", 99));          // 3 -> none left
    r.monitorCalls.push_back(Call(QUILMON_FN_SET_PRINT_COPY_COUNT, u"PZ:", u"PC", 4));     // 4 -> no such port

    const MonitorCallsByDocument a = AssignMonitorCalls(r);
    ASSERT_EQ(a.perDocument.size(), 3u);
    EXPECT_EQ(a.perDocument[0], (std::vector<size_t>{1}));
    EXPECT_EQ(a.perDocument[1], (std::vector<size_t>{0}));
    EXPECT_EQ(a.perDocument[2], (std::vector<size_t>{2}));
    EXPECT_EQ(a.unassigned, (std::vector<size_t>{3, 4}));
    EXPECT_NE(FormatJobReport(r, false).find("(2 call(s) not tied to a port document)"), std::string::npos);
}

TEST(Report, ArmedFaultsAreDescribed) {
    pal::host::Fault write;
    write.call = "WritePrinter";
    write.atByte = 5000;
    write.error = ERROR_DISK_FULL;
    EXPECT_EQ(DescribeFault(write), "WritePrinter at byte 5000: fails with 112 (ERROR_DISK_FULL), every call from then on");
    pal::host::Fault shortWrite = write;
    shortWrite.shortCount = true;
    shortWrite.once = true;
    EXPECT_EQ(DescribeFault(shortWrite), "WritePrinter at byte 5000: takes fewer bytes than offered, once");
    pal::host::Fault open;
    open.call = "OpenPrinterW";
    open.afterCalls = 2;
    EXPECT_EQ(DescribeFault(open), "OpenPrinterW after 2 call(s): fails with 31 (ERROR_GEN_FAILURE), every call from then on");

    JobReport r = Printed();
    r.faults = {write, open};
    EXPECT_NE(FormatJobReport(r, false).find("Faults armed:\n  WritePrinter at byte 5000"), std::string::npos);
    EXPECT_EQ(FormatJobReport(Printed(), false).find("Faults armed"), std::string::npos);
}

} // namespace

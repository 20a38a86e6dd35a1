// The job report: port documents with their share of the port monitor calls
// (a job with one document: the demo's reports).
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

} // namespace

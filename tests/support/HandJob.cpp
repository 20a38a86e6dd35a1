#include "support/HandJob.h"

#include "native/JobWriter.h"

namespace qltest {

void HandJobTest::SetUp() {
    pal::host::ResetSpooler();
    m_job = std::make_unique<HandJobRecord>(m_openName);
    Data()->pPrinterName = m_printerName.data();
    Data()->hPrinter = OpenPrinter(m_openName);
    pal::host::TakeDebugOutput();
}

void HandJobTest::TearDown() {
    for (HANDLE h : m_printers) ClosePrinter(h);
    pal::host::ClearFaults();
}

HANDLE HandJobTest::OpenPrinter(const std::u16string& name) {
    std::u16string copy = name;
    HANDLE h = nullptr;
    EXPECT_TRUE(OpenPrinterW(copy.data(), &h, nullptr));
    if (h) m_printers.push_back(h);
    return h;
}

DWORD HandJobTest::Start(BOOL fAGNP) {
    std::u16string doc = u"Doc", type = u"RAW";
    DOC_INFO_1W info{doc.data(), nullptr, type.data()};
    return MyStartDocPrinter(Data(), 1, &info, fAGNP);
}

BOOL HandJobTest::Write(const Bytes& bytes, DWORD mode) {
    return WriteJobOutput(Data(), bytes.data(), static_cast<DWORD>(bytes.size()), mode);
}

pal::host::PortDocument HandJobTest::Document() {
    auto docs = pal::host::PortDocuments();
    EXPECT_EQ(docs.size(), 1u);
    return docs.empty() ? pal::host::PortDocument{} : docs.front();
}

HandJobTest::Bytes HandJobTest::DocumentBytes() {
    return pal::host::PortDocumentBytes(Document());
}

HandJobTest::Bytes HandJobTest::End() {
    MyEndDocPrinter(Data(), FALSE);
    return DocumentBytes();
}

} // namespace qltest

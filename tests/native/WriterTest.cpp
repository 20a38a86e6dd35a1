#include "WriterTest.h"

#include "support/TestMachine.h"

#include "native/JobWriter.h"


namespace writertest {
namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Plain]
"Printer Driver"="QL Spool Bridge"
"Port"="FILE1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Other]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"
)";

void EnsureMachine() {
    qltest::SetUpMachine(kMachine, "writer", qltest::Attach::LogOnly);
}

Bytes Header(uint32_t tag, uint32_t length) {
    Bytes b;
    for (uint32_t v : {tag, length})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

} // namespace

Bytes DataHeader(uint32_t length) { return Header(0x08080000, length); }
Bytes HoleHeader(uint32_t length) { return Header(0x80800000, length); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Pattern(size_t count, uint8_t first) {
    Bytes b(count);
    for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes Slice(const Bytes& b, size_t at, size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + count));
}

void WriterTest::SetUp() {
    EnsureMachine();
    pal::host::ResetSpooler();
    m_job = std::make_unique<qltest::HandJobRecord>(u"Plain");
    Data()->pPrinterName = m_printerName.data();  // subclasses may name the printer otherwise
    Data()->hPrinter = OpenPrinter(u"Plain");
    pal::host::TakeDebugOutput();
}

void WriterTest::TearDown() {
    for (HANDLE h : m_printers) ClosePrinter(h);
    pal::host::ClearFaults();
}

HANDLE WriterTest::OpenPrinter(const std::u16string& name) {
    std::u16string copy = name;
    HANDLE h = nullptr;
    EXPECT_TRUE(OpenPrinterW(copy.data(), &h, nullptr));
    if (h) m_printers.push_back(h);
    return h;
}

DWORD WriterTest::Start(BOOL fAGNP) {
    std::u16string doc = u"Doc", type = u"RAW";
    DOC_INFO_1W info{doc.data(), nullptr, type.data()};
    return MyStartDocPrinter(Data(), 1, &info, fAGNP);
}

BOOL WriterTest::Write(const Bytes& bytes, DWORD mode) {
    return WriteJobOutput(Data(), bytes.data(), static_cast<DWORD>(bytes.size()), mode);
}

pal::host::PortDocument WriterTest::Document() {
    auto docs = pal::host::PortDocuments();
    EXPECT_EQ(docs.size(), 1u);
    return docs.empty() ? pal::host::PortDocument{} : docs.front();
}

Bytes WriterTest::DocumentBytes() { return pal::host::PortDocumentBytes(Document()); }

} // namespace writertest

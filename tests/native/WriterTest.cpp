#include "WriterTest.h"

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

Bytes Header(uint32_t tag, uint32_t length) {
    Bytes b;
    for (uint32_t v : {tag, length})
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

} // namespace

Bytes DataHeader(uint32_t length) { return Header(0x08080000, length); }
Bytes HoleHeader(uint32_t length) { return Header(0x80800000, length); }

Bytes Pattern(size_t count, uint8_t first) {
    Bytes b(count);
    for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes Slice(const Bytes& b, size_t at, size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + count));
}

void WriterTest::SetUp() {
    qltest::SetUpMachine(kMachine, "writer", qltest::Attach::LogOnly);
    HandJobTest::SetUp();
}

} // namespace writertest

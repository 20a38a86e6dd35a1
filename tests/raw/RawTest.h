// A small machine for the raw printing path: printers with and without an
// AGNP target, the debug log sent to the debugger channel, and helpers that
// run a job through the print processor and read back what the port got.
#pragma once
#include "palhost.h"
#include "support/TestMachine.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Winprint.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rawtest {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s);
Bytes Repeat(const Bytes& b, size_t times);
// n bytes of printable text that never form a control byte.
Bytes Text(size_t n);

struct OpenedJob {
    HANDLE handle = nullptr;
    DWORD jobId = 0;
    std::u16string readName;
    PPRINTPROCESSORDATA Data() const { return static_cast<PPRINTPROCESSORDATA>(handle); }
};

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                       const std::u16string& parameters = u"");
OpenedJob SubmitAndOpen(const pal::host::JobSpec& request);

// What one PrintDocumentOnPrintProcessor call did.
struct Printed {
    BOOL result = FALSE;
    DWORD error = 0;
    std::vector<pal::host::PortDocument> docs;
    std::vector<std::u16string> lines;
};

using qltest::Contains;
using qltest::Dump;

class RawTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens, prints and closes the job.
    Printed Print(const pal::host::JobSpec& request);
    // Prints an already opened job (not closed here).
    Printed PrintOpened(const OpenedJob& job);
    // The bytes of the only document the spooler received.
    Bytes OnlyDocumentBytes(const Printed& printed);
    std::vector<std::u16string> Lines();
};

} // namespace rawtest

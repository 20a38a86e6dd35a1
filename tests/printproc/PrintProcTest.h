// A simulated machine for the print processor's entry points: printers of
// every kind, port types, and the debug log sent to the debugger channel so
// tests can see which lines a call logged. The library is attached once per
// process, as the spooler does.
#pragma once
#include "palhost.h"
#include "support/TestMachine.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Winprint.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pptest {

// Builds the machine and calls DllMain(DLL_PROCESS_ATTACH) on first use.
void EnsureMachine();
// Debugger lines logged during the process attach.
const std::vector<std::u16string>& AttachLines();

// A job the spooler queued and the print processor opened.
struct OpenedJob {
    HANDLE handle = nullptr;
    DWORD jobId = 0;
    std::u16string readName;  // "<printer>, Job <id>"
    PPRINTPROCESSORDATA Data() const { return static_cast<PPRINTPROCESSORDATA>(handle); }
};

// Submits the job and calls OpenPrintProcessor on it (handle null on failure).
OpenedJob SubmitAndOpen(const pal::host::JobSpec& request, std::u16string printerArg = u"");
pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const std::string& data,
                       const std::u16string& parameters = u"");

using qltest::Contains;
using qltest::Dump;

class PrintProcTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Debugger lines logged since the last call.
    std::vector<std::u16string> Lines();
};

} // namespace pptest

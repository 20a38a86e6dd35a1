// The machine the job suites (raw, printproc, gateway) share: printers of
// every kind, the product attached as the spooler attaches it (which loads the
// simulated port monitor), the debug log sent to the debugger channel, and
// helpers that queue a job, open it with OpenPrintProcessor, print it and read
// back what the port and the port monitor received.
//
// Printers: "Plain" (ordinary), "Direct" (prints directly), "Bridge",
// "BridgeHeld", "BridgeRemote" (gateway driver on the VMware, held-printing
// and remote port types), "Pdf" and "PdfLower" (PDF driver names), "Agnp"
// (native printing to "Target"), "AgnpMissing" (to a printer that does not
// exist), "GW" (gateway), "GWFramed" (gateway with the bitmap cache on, so
// its output is framed), "GWNative" (gateway printing natively to "GW"),
// "Office Laser" (ordinary) and "Coarse" (ordinary at 72 dpi, so that
// captured pages stay small).
#pragma once
#include "palhost.h"
#include "host/quilmon/QuilmonRecord.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Winprint.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qltest {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s);
// n bytes of printable text that never form a control byte.
Bytes Text(size_t n);
Bytes Concat(std::initializer_list<Bytes> parts);
// Appends a little-endian u32.
void PutU32(Bytes& out, uint32_t v);

// A job the spooler queued and the print processor opened.
struct OpenedJob {
    HANDLE handle = nullptr;
    DWORD jobId = 0;
    std::u16string readName;  // "<printer>, Job <id>"
    PPRINTPROCESSORDATA Data() const { return static_cast<PPRINTPROCESSORDATA>(handle); }
};

pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const Bytes& data,
                       const std::u16string& parameters = u"");
pal::host::JobSpec Job(const std::u16string& printer, const std::u16string& datatype, const std::string& data,
                       const std::u16string& parameters = u"");

// Submits the job and calls OpenPrintProcessor on it with `printerArg` (the
// job's printer when empty); the handle is null when the open failed.
OpenedJob SubmitAndOpen(const pal::host::JobSpec& request, std::u16string printerArg = u"");

// What one PrintDocumentOnPrintProcessor call did.
struct Printed {
    BOOL result = FALSE;
    DWORD error = 0;                          // last error after the call
    DWORD pageCount = 0;
    std::vector<pal::host::PortDocument> docs;  // the documents the spooler received
    std::vector<Bytes> documents;             // their bytes
    std::vector<QuilmonCall> calls;           // port monitor calls during the print
    std::vector<std::u16string> lines;        // debug lines during the print
};

struct PrintOptions {
    std::u16string printerArg;                      // name OpenPrintProcessor gets; empty = the job's printer
    std::vector<pal::host::Fault> faultsAfterOpen;  // injected after OpenPrintProcessor, cleared after the print
    bool dropDevmode = false;                       // drop the job's device mode after the open
};

// Prints an already opened job (not closed here).
Printed PrintOpened(const OpenedJob& job, const std::vector<pal::host::Fault>& faults = {});
// Opens, prints and closes the job.
Printed Print(const pal::host::JobSpec& request, const PrintOptions& options = {});
// An "NT EMF 1.008" job of the spool bytes printed on a gateway printer, the
// job's device mode dropped after the open so that the output is the stream
// alone (a device mode would be sent in front of it).
Printed PrintSpool(const Bytes& spool, const std::u16string& printer = u"GW", const std::u16string& parameters = u"",
                   PrintOptions options = {});
// The bytes of the only document the spooler received.
Bytes OnlyDocument(const Printed& printed);

// Machine-wide values under HKLM\SOFTWARE\Quillon\QLWinPrn, read by every
// job (e.g. "CompressionEMFInMem", "TempDir"); an empty optional deletes the
// value. A REG_MULTI_SZ is given as its strings.
void SetMachineDword(const char16_t* name, std::optional<DWORD> value);
void SetMachineString(const char16_t* name, const std::optional<std::u16string>& value);
void SetMachineMultiString(const char16_t* name, const std::optional<std::vector<std::u16string>>& value);

// Builds the machine (once per process, at the given debug level) and
// attaches the product.
void SetUpJobMachine(DWORD debugLevel = 0x20001);

class JobTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Debugger lines logged since the last call.
    std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }
};

} // namespace qltest

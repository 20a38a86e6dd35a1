// A simulated machine with gateway printers, the product attached as the
// spooler attaches it (which loads the simulated port monitor), and helpers to
// print one spool job through the gateway driver and read back what the port
// and the port monitor received.
#pragma once
#include "palhost.h"
#include "host/quilmon/QuilmonRecord.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Winprint.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gwtest {

using Bytes = std::vector<uint8_t>;

struct PrintOptions {
    std::u16string printer = u"GW";
    std::u16string printerArg;     // name OpenPrintProcessor gets; empty = printer
    std::u16string parameters;     // e.g. u"COPIES=2;"
    bool keepDevmode = false;      // false: the job's device mode is dropped after open
    std::vector<pal::host::Fault> faultsAfterOpen;  // injected after OpenPrintProcessor
};

struct PrintResult {
    BOOL printed = FALSE;
    DWORD printError = 0;                  // last error after a failed print
    DWORD pageCount = 0;
    std::vector<Bytes> documents;          // bytes of each port document
    std::vector<QuilmonCall> calls;        // port monitor calls during the print
    std::vector<std::u16string> lines;     // debug lines during the print
};

// A submitted "NT EMF 1.008" job opened with OpenPrintProcessor.
struct OpenedJob {
    HANDLE handle = nullptr;
    std::u16string readName;  // the name the job's data is opened with
    PPRINTPROCESSORDATA Data() const { return static_cast<PPRINTPROCESSORDATA>(handle); }
};
OpenedJob OpenJob(const Bytes& spool, const std::u16string& printer, const std::u16string& parameters = u"",
                  const std::u16string& printerArg = u"");

// Submits an "NT EMF 1.008" job with the spool bytes and prints it.
PrintResult PrintSpool(const Bytes& spool, const PrintOptions& options = {});

using qltest::Contains;
using qltest::Dump;
using qltest::TakeMonitorCalls;

// Machine-wide values under HKLM\SOFTWARE\Quillon\QLWinPrn, read by every
// job (e.g. "CompressionEMFInMem", "TempDir"); an empty optional deletes the
// value.
void SetMachineDword(const char16_t* name, std::optional<DWORD> value);
void SetMachineString(const char16_t* name, const std::optional<std::u16string>& value);
// A REG_MULTI_SZ: the strings, each with its terminator, and the final one.
void SetMachineMultiString(const char16_t* name, const std::optional<std::vector<std::u16string>>& value);

Bytes ReadFile(const std::filesystem::path& path);
// Appends a little-endian u32.
void PutU32(Bytes& out, uint32_t v);
Bytes Concat(std::initializer_list<Bytes> parts);

// Sets up the machine, whose printers are "GW" (plain gateway printer) and
// "GWFramed" (bitmap cache on, so the output is framed).
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace gwtest

// The simulated machine the product's unit tests run on: one per test
// process, with a temporary drive root that is removed when the process ends.
#pragma once
#include "palhost.h"
#include "host/quilmon/QuilmonRecord.h"
#include "printproc/JobContainers.h"
#include "printproc/PrintProcessorData.h"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qltest {

// What SetUpMachine does with the product once the registry is loaded.
enum class Attach {
    Product,  // process attach of the print processor (debug log, port monitor, forms)
    LogOnly,  // start the socket layer and configure the debug log only
    None,
};

// Builds the machine on the first call: a temporary drive root named after
// `name`, port output in its "out" folder, modules from the build's bin
// folder, the registry from `regText`. Later calls do nothing.
void SetUpMachine(const char* regText, const char* name, Attach attach);
// The same with no printers: only the debug log configured (to the debugger
// channel).
void SetUpMachine(const char* name, Attach attach);

// The drive root of the machine (empty before SetUpMachine).
const std::filesystem::path& MachineRoot();

// Calls the simulated port monitor recorded since the last call, in order
// (empty when the monitor is not loaded).
std::vector<QuilmonCall> TakeMonitorCalls();

// Debugger-channel lines: whether one contains `text`, and all of them as
// UTF-8 for failure messages.
bool Contains(const std::vector<std::u16string>& lines, const std::u16string& text);
std::string Dump(const std::vector<std::u16string>& lines);
// Expects a line containing each of `present` and none containing any of
// `absent`.
void ExpectLines(const std::vector<std::u16string>& lines, const std::vector<std::u16string_view>& present,
                 const std::vector<std::u16string_view>& absent = {});

// A job record built by hand for tests that call a path's functions directly:
// zero-filled, with the signature, its own hole list and image cache, and the
// printer name (no handles are opened).
class HandJobRecord {
public:
    explicit HandJobRecord(std::u16string printerName) : m_printerName(std::move(printerName)) {
        m_data = std::make_unique<PRINTPROCESSORDATA>();
        m_data->dwSignature = PRINTPROCESSOR_SIGNATURE;
        m_data->cbSize = sizeof(PRINTPROCESSORDATA);
        m_data->pHoleList = &m_holes;
        m_data->pBitmapCache = &m_cache;
        m_data->pPrinterName = m_printerName.data();
    }
    PPRINTPROCESSORDATA Data() { return m_data.get(); }
    CHoleList& Holes() { return m_holes; }
    CBitmapCacheMap& Cache() { return m_cache; }
    std::u16string& PrinterName() { return m_printerName; }

private:
    std::u16string m_printerName;
    std::unique_ptr<PRINTPROCESSORDATA> m_data;
    CHoleList m_holes;
    CBitmapCacheMap m_cache;
};

} // namespace qltest

// The simulated machine the product's unit tests run on: one per test
// process, with a temporary drive root that is removed when the process ends.
#pragma once
#include "palhost.h"
#include "host/quilmon/QuilmonRecord.h"

#include <filesystem>
#include <string>
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

// The drive root of the machine (empty before SetUpMachine).
const std::filesystem::path& MachineRoot();

// Calls the simulated port monitor recorded since the last call, in order
// (empty when the monitor is not loaded).
std::vector<QuilmonCall> TakeMonitorCalls();

// Debugger-channel lines: whether one contains `text`, and all of them as
// UTF-8 for failure messages.
bool Contains(const std::vector<std::u16string>& lines, const std::u16string& text);
std::string Dump(const std::vector<std::u16string>& lines);

} // namespace qltest

// The machine qlspool runs on when no --machine file is given.
#pragma once
#include <string>

namespace qlhost {

// .reg text ("Windows Registry Editor Version 5.00") describing the built-in
// machine: the print processor's configuration, the printers and the ports of
// the product's port monitor.
const std::string& DefaultMachineReg();

// Name under which the built-in machine's syntax errors would be reported.
inline constexpr const char* kDefaultMachineName = "<built-in machine>";

} // namespace qlhost

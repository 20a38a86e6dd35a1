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

// Files the built-in machine's registry names, as Windows paths.
inline constexpr char16_t kDefaultConfigFile[] = u"C:\\QLWinPrn\\qlglobal.ini";
inline constexpr char16_t kDefaultJdfSpoolDir[] = u"C:\\QLWinPrn\\jdf";
inline constexpr char16_t kDefaultWatermarkFile[] = u"C:\\QLWinPrn\\watermark.spl";

// Makes the JDF spool directory and, on a drive root that has no global
// configuration file yet, that file ([print] spooldir) and the watermark (a
// one-page spool file of the toolkit). Later runs leave both alone, so a
// removed watermark stays removed. Needs the drive root set. False when the
// watermark could not be written.
bool PrepareDefaultMachineFiles();

} // namespace qlhost

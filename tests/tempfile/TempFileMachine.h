// The machine of the temporary-file tests: printers with and without their
// own spool directory, the spooler's default spool directory, the debug log
// on the debugger channel, and (loaded by the tests that want it) a failover
// cluster with two virtual print servers.
#pragma once
#include "diag/DbgLog.h"

#include "support/TestMachine.h"
#include "palhost.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace tempfile_test {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="C:\\DefaultSpool"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Printer]
"Printer Driver"="Generic Printer"
"Port"="FILE1:"
"SpoolDirectory"="C:\\PrinterSpool"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\NoDir]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Missing]
"Printer Driver"="Generic Printer"
"Port"="FILE3:"
"SpoolDirectory"="C:\\DoesNotExist"
)";

// "hex(2):..." data of a REG_EXPAND_SZ value holding text.
inline std::string ExpandSz(const std::string& text) {
    std::string out = "hex(2):";
    char buf[8];
    for (char c : text) {
        std::snprintf(buf, sizeof buf, "%02x,00,", static_cast<unsigned char>(c));
        out += buf;
    }
    return out + "00,00";
}

// Groups in enumeration order: "Cluster Group" (a network name, no spool
// directory), "PrintGroup1" (vs1, S:\Spool), "PrintGroup2" (VS2, T:\Spool),
// "PrintGroup3" (two network name resources: the later one, vs3, wins;
// U:\Spool).
inline std::string ClusterText() {
    const std::string groups = "[HKEY_LOCAL_MACHINE\\Cluster\\Groups\\";
    return std::string("Windows Registry Editor Version 5.00\n\n") +
           "[HKEY_LOCAL_MACHINE\\Cluster]\n\"ClusterName\"=\"QLCLUSTER\"\n\n" +
           groups + "Cluster Group\\Resources\\Cluster Name]\n\"NetworkName\"=\"QLCLUSTER\"\n\n" +
           groups + "Cluster Group\\Resources\\Quorum Disk]\n\n" +
           groups + "PrintGroup1\\Resources\\Network Name VS1]\n\"NetworkName\"=\"vs1\"\n\n" +
           groups + "PrintGroup1\\Resources\\Print Spooler VS1\\Parameters]\n" +
           "\"JobCompletionTimeout\"=dword:00000160\n" +
           "\"Name\"=\"spooler of vs1\"\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("S:\\Spool") + "\n\n" +
           groups + "PrintGroup2\\Resources\\Network Name VS2]\n\"NetworkName\"=\"VS2\"\n\n" +
           groups + "PrintGroup2\\Resources\\Print Spooler VS2\\Parameters]\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("T:\\Spool") + "\n\n" +
           groups + "PrintGroup3\\Resources\\A Old Name]\n\"NetworkName\"=\"old3\"\n\n" +
           groups + "PrintGroup3\\Resources\\B New Name]\n\"NetworkName\"=\"vs3\"\n\n" +
           groups + "PrintGroup3\\Resources\\C Spooler\\Parameters]\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("U:\\Spool") + "\n";
}

inline void LoadRegistry(const std::string& text) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(text, "tempfile-change.reg", &error)) << error;
}

inline void EnsureMachine() {
    qltest::SetUpMachine(kMachine, "tempfile", qltest::Attach::LogOnly);
}

inline void LoadCluster() { LoadRegistry(ClusterText()); }

inline void RemoveCluster() { LoadRegistry("Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\Cluster]\n"); }

// Host folder of a Windows directory, created empty.
inline std::filesystem::path FreshDir(const std::u16string& windowsDir) {
    std::filesystem::path p = pal::host::MapPath(windowsDir);
    std::error_code ec;
    std::filesystem::remove_all(p, ec);
    std::filesystem::create_directories(p);
    return p;
}

// Files in `dir` other than the spooler's own job files (<id>.SPL, <id>.SHD).
inline size_t FileCount(const std::filesystem::path& dir) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        n += it->path().extension() != ".SPL" && it->path().extension() != ".SHD";
    return n;
}

// Handles of the layer whose description starts with `prefix`.
inline std::vector<std::string> OpenHandlesLike(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& h : pal::host::OpenHandles())
        if (h.rfind(prefix, 0) == 0) out.push_back(h);
    return out;
}

inline size_t CountLines(const std::vector<std::u16string>& lines, const std::u16string& text) {
    size_t n = 0;
    for (const auto& l : lines)
        if (l.find(text) != std::u16string::npos) ++n;
    return n;
}

} // namespace tempfile_test

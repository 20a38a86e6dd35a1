// The spooler host: builds a simulated machine through the platform layer,
// loads the print processor library the way the spooler does and runs jobs
// through its entry points. qlspool is a thin command line on top of this;
// the host tests use it in-process.
#pragma once
#include "palwin.h"
#include "palhost.h"
#include "host/Job.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qlhost {

struct MachineOptions {
    // Directory that stands for drive C. Default: ./qlspool-machine.
    std::string driveRoot;
    // Where ports write their output. Default: <drive root>/ports.
    std::string outputDir;
    // Where LoadLibraryW finds qlwinprn.dll and quilmon.dll. Default: the
    // directory of the running executable.
    std::string moduleDir;
    // A .reg file describing the machine; empty = the built-in machine.
    std::string machineFile;
    // Only load the registry (and the spooler's view of it): no directories
    // are made and the drive root is left alone. Enough to list printers or
    // export the machine; not enough to load the print processor.
    bool registryOnly = false;
};

// The print processor entry points, with the spooler's signatures.
typedef HANDLE(WINAPI* PFN_OpenPrintProcessor)(LPWSTR pPrinterName, PPRINTPROCESSOROPENDATA pOpenData);
typedef BOOL(WINAPI* PFN_PrintDocumentOnPrintProcessor)(HANDLE hPrintProcessor, LPWSTR pDocumentName);
typedef BOOL(WINAPI* PFN_ControlPrintProcessor)(HANDLE hPrintProcessor, DWORD Command);
typedef BOOL(WINAPI* PFN_ClosePrintProcessor)(HANDLE hPrintProcessor);
typedef BOOL(WINAPI* PFN_EnumPrintProcessorDatatypesW)(LPWSTR pName, LPWSTR pPrintProcessorName, DWORD Level,
                                                      LPBYTE pDatatypes, DWORD cbBuf, LPDWORD pcbNeeded,
                                                      LPDWORD pcReturned);
typedef DWORD(WINAPI* PFN_GetPrintProcessorCapabilities)(LPWSTR pValueName, DWORD dwAttributes, LPBYTE pData,
                                                        DWORD nSize, LPDWORD pcbNeeded);
typedef BOOL(WINAPI* PFN_InstallPrintProcessor)(HWND hWnd);

struct PrintProcessorEntries {
    PFN_OpenPrintProcessor OpenPrintProcessor = nullptr;
    PFN_PrintDocumentOnPrintProcessor PrintDocumentOnPrintProcessor = nullptr;
    PFN_ControlPrintProcessor ControlPrintProcessor = nullptr;
    PFN_ClosePrintProcessor ClosePrintProcessor = nullptr;
    PFN_EnumPrintProcessorDatatypesW EnumPrintProcessorDatatypesW = nullptr;
    PFN_GetPrintProcessorCapabilities GetPrintProcessorCapabilities = nullptr;
    PFN_InstallPrintProcessor InstallPrintProcessor = nullptr;
};

struct CapabilitiesReport {
    std::u16string datatype;
    DWORD result = 0;
    DWORD needed = 0;
    PRINTPROCESSOR_CAPS_2 caps{};
};

struct PrinterInfo {
    std::u16string name, driver, port, portType;
    DWORD attributes = 0;
};

class Machine {
public:
    // Sets up the platform layer for this machine: directories, registry and
    // an empty spooler. On a bad .reg file returns null with "<file>:<line>:
    // <what>" in *error. One Machine at a time per process.
    static std::unique_ptr<Machine> Create(const MachineOptions& options, std::string* error);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& DriveRoot() const { return m_driveRoot; }
    const std::string& OutputDir() const { return m_outputDir; }
    const std::string& ModuleDir() const { return m_moduleDir; }
    // Host path of the debug log file the registry configures, or "".
    const std::string& LogPath() const { return m_logPath; }

    // Loads the port monitor (as the spooler has it loaded) and then the print
    // processor with LoadLibraryW, which runs its DllMain, and resolves the
    // seven entry points. A missing library or entry point is an error.
    bool LoadPrintProcessor(std::string* error);
    // FreeLibrary for both (the print processor's DllMain sees the detach).
    void UnloadPrintProcessor();
    bool Loaded() const { return m_hProcessor != nullptr; }
    const PrintProcessorEntries& Entries() const { return m_entries; }

    // Debug log lines written since the last call (or since the log began).
    std::vector<std::string> TakeLogLines();
    // Calls recorded by the port monitor since the last call.
    std::vector<QuilmonCall> TakeMonitorCalls();

    bool PrinterExists(const std::u16string& printer) const;
    std::vector<PrinterInfo> Printers() const;

    // Runs one job as the spooler does. Needs the library loaded.
    JobReport RunJob(const JobOptions& job);

    // EnumPrintProcessorDatatypesW, level 1. Empty with *error set on failure.
    std::vector<std::u16string> Datatypes(std::string* error);
    CapabilitiesReport Capabilities(const std::u16string& datatype, DWORD attributes = 0);

private:
    Machine() = default;

    std::string m_driveRoot, m_outputDir, m_moduleDir, m_logPath;
    std::u16string m_logFile;  // the debug log file as the registry names it
    uint64_t m_logOffset = 0;
    bool m_registryOnly = false;
    HMODULE m_hMonitor = nullptr;
    HMODULE m_hProcessor = nullptr;
    PrintProcessorEntries m_entries;
};

// The status bits of a job handle (0x1 cancelled, 0x8 paused), read
// atomically; none when the handle is not a valid job handle.
std::optional<DWORD> ReadHandleStatus(HANDLE h);

// The directory of the running executable.
std::string ExecutableDirectory();

} // namespace qlhost

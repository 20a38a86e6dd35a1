// Where a job goes: the type of a printer's port, asked of the port monitor
// through the spooler, and whether a printer uses the gateway driver.
#pragma once
#include "palwin.h"

// Asks ports for their type. Holds nothing; make one on the stack for a set
// of questions.
class CWinPort {
public:
    CWinPort() = default;
    virtual ~CWinPort() = default;

    // 0 when the port's monitor answers "GetPortType" with pszPortType
    // (case-insensitive), 1 when it answers otherwise or cannot be asked,
    // ERROR_INVALID_PARAMETER for a null port name.
    DWORD TestAllPortInPortList(LPCWSTR pszPortName, LPCWSTR pszPortType);
};

// Port type names as the port monitor reports them.
#define PORTTYPE_VMWARE WSTR("Quillon Print Port for VMware")
#define PORTTYPE_HELD_PRINTING WSTR("Quillon .relay Held Printing Server Port")
#define PORTTYPE_TESSEL_WORKPLACE WSTR("Quillon Print Port for Tessel Workplace")

// Name of the gateway driver.
#define QLSB_DRIVER_NAME WSTR("QL Spool Bridge")
#define QLPDF_DRIVER_NAME WSTR("QL PDF Bridge")

// True when the printer's driver name is exactly the gateway driver's.
bool IsQLSBDriver(LPCWSTR pszPrinterName);

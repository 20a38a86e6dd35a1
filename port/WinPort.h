// Where a job goes: the type of a printer's port, asked of the port monitor
// through the spooler, and whether a printer uses the gateway driver.
#pragma once
#include "palwin.h"
#include "port/Impersonate.h"

// Leaves the job user's impersonation for the life of the scope and restores
// it when the scope ends, on every path out of the caller. A failed revert is
// logged and leaves the thread as it was; nothing is restored then.
class CRevertToSelfScope {
public:
    CRevertToSelfScope();
    virtual ~CRevertToSelfScope();
    CRevertToSelfScope(const CRevertToSelfScope&) = delete;
    CRevertToSelfScope& operator=(const CRevertToSelfScope&) = delete;

    BOOL RevertToSelfTookPlace() const { return m_fRevertToSelfTakePlace; }

private:
    ImpersonationContext m_oCon;
    BOOL m_fRevertToSelfTakePlace;
};

// Asks ports for their type. Holds nothing; make one on the stack for a set
// of questions.
class CWinPort {
public:
    CWinPort() = default;
    virtual ~CWinPort() = default;

    // 0 when the port's monitor answers "GetPortType" with pszPortType
    // (case-insensitive), 1 when it answers otherwise or cannot be asked,
    // ERROR_INVALID_PARAMETER for a null port name. The monitor is asked under
    // the spooler's own identity; the caller's impersonation is restored
    // before the function returns.
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

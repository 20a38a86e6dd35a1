#include "support/ViewLibrary.h"

#include "host/quilmon/QuilmonRecord.h"
#include "native/ViewLibrary.h"

namespace qltest {

void SetViewFault(DWORD fault, LPCWSTR printer) {
    static HMODULE hMonitor = LoadLibraryW(QUILMON_DLL);  // kept for the process
    auto set = reinterpret_cast<PFN_QuilmonSetViewFault>(
        reinterpret_cast<void (*)()>(GetProcAddress(hMonitor, QUILMON_SET_VIEW_FAULT)));
    if (set) set(fault, printer);
}

void SetViewLibraryAvailable(bool available) {
    SetViewFault(available ? QUILMON_VIEW_FAULT_NONE : QUILMON_VIEW_FAULT_NO_TABLE);
    ResetViewLibraryForTest();
}

} // namespace qltest

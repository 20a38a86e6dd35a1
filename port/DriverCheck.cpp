#define QL_MODULE WSTR("Util")
#include "diag/DbgLog.h"
#include "port/WinPort.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"

bool IsQLSBDriver(LPCWSTR pszPrinterName) {
    HANDLE hPrinter = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE | READ_CONTROL};
    if (!OpenPrinterW(const_cast<LPWSTR>(pszPrinterName), &hPrinter, &defaults)) {
        QLLOG(LOG_ERR, WSTR("IsQLSBDriver: open printer fails <%s> with %d"), pszPrinterName, GetLastError());
        return false;
    }

    bool fResult = false;
    PRINTER_INFO_READER reader = {};
    if (!ReadPrinterInfo(hPrinter, 2, &reader)) {
        QLLOG(LOG_ERR, WSTR("IsQLSBDriver: get printer fails <%s> with %d"), pszPrinterName, reader.dwError);
    } else {
        const PRINTER_INFO_2W* pInfo = reinterpret_cast<const PRINTER_INFO_2W*>(reader.pInfo);
        fResult = reader.cbInfo >= sizeof(PRINTER_INFO_2W) && pInfo->pDriverName &&
                  lstrcmpW(pInfo->pDriverName, QLSB_DRIVER_NAME) == 0;
    }
    if (reader.pInfo) MemFreeT(&reader.pInfo);
    ClosePrinter(hPrinter);
    return fResult;
}

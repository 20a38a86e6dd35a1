#define QL_MODULE WSTR("Util")
#include "printproc/Util.h"

#include "diag/DbgLog.h"
#include "port/GetClusterSpoolDirs.h"
#include "port/Impersonate.h"

#include <cstring>
#include <memory>

LPVOID MemAlloc(SIZE_T cb) {
    return static_cast<LPVOID>(GlobalAlloc(GPTR, cb));
}

BOOL MemFree(LPVOID* lpMem) {
    if (!lpMem) return FALSE;
    if (!FLUNKKED(*lpMem)) return FALSE;
    GlobalFree(static_cast<HGLOBAL>(*lpMem));
    *lpMem = nullptr;
    return TRUE;
}

LPVOID MemReAlloc(LPVOID pOld, SIZE_T cbOld, SIZE_T cbNew) {
    LPVOID pNew = MemAlloc(cbNew);
    if (!pNew) return nullptr;
    if (pOld) {
        std::memcpy(pNew, pOld, cbOld < cbNew ? cbOld : cbNew);
        MemFree(&pOld);
    }
    return pNew;
}

LPWSTR AllocSplStr(LPCWSTR psz) {
    if (!psz) return nullptr;
    SIZE_T cb = (static_cast<SIZE_T>(lstrlenW(psz)) + 1) * sizeof(WCHAR);
    LPWSTR pCopy = static_cast<LPWSTR>(MemAlloc(cb));
    if (pCopy) std::memcpy(pCopy, psz, cb);
    return pCopy;
}

// ---- temporary spool files ---------------------------------------------------------------------

namespace {

// Printer keys of the spooler below HKEY_LOCAL_MACHINE.
const WCHAR kPrintersKey[] = WSTR("SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\");
// Appended to the Windows directory for the system spool directory.
const WCHAR kSystemSpoolDir[] = WSTR("\\SYSTEM32\\SPOOL\\PRINTERS");

// Reads the string value `name` into buf (cch characters, at most cch - 1 of
// them from the value); buf is always terminated and empty on failure.
LONG ReadStringValue(HKEY hKey, LPCWSTR name, LPWSTR buf, DWORD cch) {
    std::memset(buf, 0, cch * sizeof(WCHAR));
    DWORD dwType = REG_NONE;
    DWORD cb = (cch - 1) * sizeof(WCHAR);
    LONG lRet = RegQueryValueExW(hKey, name, nullptr, &dwType, reinterpret_cast<LPBYTE>(buf), &cb);
    if (lRet == ERROR_SUCCESS && dwType != REG_SZ && dwType != REG_EXPAND_SZ) lRet = ERROR_INVALID_DATATYPE;
    if (lRet != ERROR_SUCCESS) {
        buf[0] = 0;
    } else {
        buf[cch - 1] = 0;
    }
    return lRet;
}

// One attempt; on success the directory is remembered for the closing log line.
BOOL TryDir(LPCWSTR dir, LPWSTR fileName, DWORD cchFileName, FILE** ppFile, LPWSTR pszUsed) {
    if (!TryToCreateTempFile(dir, fileName, cchFileName, ppFile)) return FALSE;
    lstrcpynW(pszUsed, dir, MAX_PATH);
    return TRUE;
}

// Frees a MemAlloc block.
struct MemBlockDeleter {
    void operator()(void* p) const { MemFree(&p); }
};

// The spool directory configured for the job's printer ("one").
BOOL TryPrinterSpoolDir(HANDLE hPrinter, DWORD jobId, LPWSTR fileName, DWORD cchFileName, FILE** ppFile,
                        LPWSTR pszUsed) {
    QLLOG(LOG_TRC, WSTR("system spooldir (one)....:"));
    DWORD cbNeeded = 0;
    PJOB_INFO_2W pJobInfo = nullptr;
    if (!GetJobW(hPrinter, jobId, 2, nullptr, 0, &cbNeeded) && GetLastError() == ERROR_INSUFFICIENT_BUFFER &&
        cbNeeded >= sizeof(JOB_INFO_2W)) {
        pJobInfo = static_cast<PJOB_INFO_2W>(MemAlloc(cbNeeded));
    }
    if (!pJobInfo || !GetJobW(hPrinter, jobId, 2, reinterpret_cast<LPBYTE>(pJobInfo), cbNeeded, &cbNeeded) ||
        !pJobInfo->pPrinterName) {
        QLLOG(LOG_ERR, WSTR("one: getjob2 failed"));
        if (pJobInfo) MemFreeT(&pJobInfo);
        return FALSE;
    }

    // Both blocks are freed also when creating the file throws.
    const std::unique_ptr<JOB_INFO_2W, MemBlockDeleter> jobInfo(pJobInfo);
    BOOL fDone = FALSE;
    WCHAR szDir[MAX_PATH] = {};
    const SIZE_T cchKey = wcslen(kPrintersKey) + wcslen(pJobInfo->pPrinterName) + 1;
    const std::unique_ptr<WCHAR, MemBlockDeleter> key(static_cast<LPWSTR>(MemAlloc(cchKey * sizeof(WCHAR))));
    LPWSTR pszKey = key.get();
    if (CHECK(pszKey)) {
        wcscpy(pszKey, kPrintersKey);
        wcscat(pszKey, pJobInfo->pPrinterName);
        HKEY hKey = nullptr;
        LONG lRet = RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &hKey);
        if (lRet != ERROR_SUCCESS) {
            QLLOG(LOG_ERR, WSTR("RegOpenKeyEx fehlgeschlagen: %lu"), static_cast<DWORD>(lRet));
        } else {
            lRet = ReadStringValue(hKey, WSTR("SpoolDirectory"), szDir, MAX_PATH);
            RegCloseKey(hKey);
            if (lRet != ERROR_SUCCESS) {
                QLLOG(LOG_ERR, WSTR("RegQueryValueEx fehlgeschlagen: %lu"), static_cast<DWORD>(lRet));
            } else {
                fDone = TryDir(szDir, fileName, cchFileName, ppFile, pszUsed);
            }
        }
    }
    QLLOG(LOG_TRC, WSTR("system spooldir (one): %s"), szDir);
    return fDone;
}

// The spooler's default spool directory ("all").
BOOL TryDefaultSpoolDir(LPWSTR fileName, DWORD cchFileName, FILE** ppFile, LPWSTR pszUsed) {
    QLLOG(LOG_TRC, WSTR("system spooldir (all)....:"));
    BOOL fDone = FALSE;
    WCHAR szDir[MAX_PATH] = {};
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
        QLLOG(LOG_INF, WSTR("system spooldir (all): %s not found"), kPrintersKey);
    } else {
        LONG lRet = ReadStringValue(hKey, WSTR("DefaultSpoolDirectory"), szDir, MAX_PATH);
        RegCloseKey(hKey);
        if (lRet != ERROR_SUCCESS) {
            QLLOG(LOG_INF, WSTR("system spooldir (all): %s not found"), WSTR("DefaultSpoolDirectory"));
        } else {
            fDone = TryDir(szDir, fileName, cchFileName, ppFile, pszUsed);
        }
    }
    QLLOG(LOG_TRC, WSTR("system spooldir (all): %s"), szDir);
    return fDone;
}

// The standard spool directory below the Windows directory ("MS"). A path
// that does not fit leaves the directory empty, which fails the attempt.
BOOL TrySystemSpoolDir(LPWSTR fileName, DWORD cchFileName, FILE** ppFile, LPWSTR pszUsed) {
    QLLOG(LOG_TRC, WSTR("system spooldir (MS)....:"));
    WCHAR szDir[MAX_PATH] = {};
    UINT cch = GetWindowsDirectoryW(szDir, MAX_PATH);
    if (cch && cch < MAX_PATH && cch + wcslen(kSystemSpoolDir) < MAX_PATH) {
        wcscat(szDir, kSystemSpoolDir);
    } else {
        szDir[0] = 0;
    }
    QLLOG(LOG_TRC, WSTR("system spooldir (MS): %s"), szDir);
    return TryDir(szDir, fileName, cchFileName, ppFile, pszUsed);
}

} // namespace

DWORD CreateTempFile(HANDLE hPrinter, LPCWSTR serverName, DWORD jobId, LPWSTR fileName, DWORD cchFileName,
                     LPCWSTR preferredDir, FILE** ppFile) {
    QLLOG(LOG_TRC, WSTR(">>>>>>>>>>>>>>>>>>>> CreateTempFile"));
    DWORD dwResult = QL_E_NO_TEMP_FILE;
    WCHAR szUsed[MAX_PATH] = {};
    BOOL fDone = FALSE;
    if (fileName && ppFile) {
        *ppFile = nullptr;
        if (!preferredDir || wcscmp(preferredDir, WSTR("-1")) != 0) {
            fDone = TryDir(preferredDir, fileName, cchFileName, ppFile, szUsed);
        }
        if (!fDone && hPrinter && jobId) {
            fDone = TryPrinterSpoolDir(hPrinter, jobId, fileName, cchFileName, ppFile, szUsed);
        }
        if (!fDone && IsClusterSpoolDirFound()) {
            LPCWSTR pszClusterDir = FindClusterSpoolDir(&g_ClusterSpoolDirs, serverName);
            if (pszClusterDir) {
                QLLOG(LOG_INF, WSTR("Try Cluster Spool Dir<%s>"), pszClusterDir);
                fDone = TryDir(pszClusterDir, fileName, cchFileName, ppFile, szUsed);
                if (fDone) QLLOG(LOG_INF, WSTR("bDirExists = TRUE"));
            }
        }
        if (!fDone) fDone = TryDefaultSpoolDir(fileName, cchFileName, ppFile, szUsed);
        if (!fDone) fDone = TrySystemSpoolDir(fileName, cchFileName, ppFile, szUsed);
    }
    if (fDone) {
        QLLOG(LOG_TRC, WSTR("this spooldir will be used: %s"), szUsed);
        dwResult = 0;
    }
    QLLOG(LOG_TRC, WSTR("<<<<<<<<<<<<<<<<<<<< CreateTempFile"));
    SetLastError(dwResult);
    return dwResult;
}

namespace {

// The rest of TryToCreateTempFile once the file exists: access rights, the
// stream, and the name for the caller. Frees tszTempFileName unless it throws.
BOOL OpenCreatedTempFile(LPWSTR tszTempFileName, LPWSTR fileName, DWORD cchFileName, FILE** ppFile) {
    // Before Windows 2000 the file is made under the spooler's identity and
    // handed to the user afterwards.
    const BOOL fOldSystem = !IsWin2000OrLater();
    ImpersonationContext oCon = {};
    BOOL fRevertToSelfTakePlace = FALSE;
    if (fOldSystem) CHECK(fRevertToSelfTakePlace = MyRevertToSelf(&oCon));

    DWORD dwCreate = CreateFileEveryOneAccess(tszTempFileName);
    QLLOG(LOG_TRC, WSTR("CreateFileEveryOneAccess returns = %d"), dwCreate);
    *ppFile = _wfopen(tszTempFileName, WSTR("w+b"));
    QLLOG(LOG_TRC, WSTR("TryToCreateTempFile: _tfopen finished file = %x..."),
          static_cast<unsigned>(reinterpret_cast<UINT_PTR>(*ppFile)));

    if (fRevertToSelfTakePlace) CHECK(MyImpersonateLoggedOnUser(&oCon));
    if (fOldSystem) {
        CHECK(TakeOwnership(tszTempFileName));
        CHECK(SetFileToStdRigths(tszTempFileName) == 0L);
    }

    const BOOL fOpen = *ppFile != nullptr;
    if (fOpen) {
        QLLOG(LOG_TRC, WSTR("TryToCreateTempFile: spoolfile: %s"), tszTempFileName);
    } else {
        QLLOG(LOG_ERR, WSTR("TryToCreateTempFile: could not create spoolfile: %s"), tszTempFileName);
        if (*tszTempFileName) DeleteFileW(tszTempFileName);
    }
    lstrcpynW(fileName, tszTempFileName, static_cast<int>(cchFileName));
    MemFreeT(&tszTempFileName);
    return fOpen;
}

} // namespace

BOOL TryToCreateTempFile(LPCWSTR dir, LPWSTR fileName, DWORD cchFileName, FILE** ppFile) {
    if (!dir || !*dir) {
        QLLOG(LOG_INF, WSTR("try to open file in empty directoty"));
        return FALSE;
    }
    if (!fileName || !ppFile) return FALSE;
    *ppFile = nullptr;

    LPWSTR tszTempFileName = static_cast<LPWSTR>(MemAlloc(MAX_PATH * sizeof(WCHAR)));
    if (!CHECK(tszTempFileName)) return FALSE;
    // On failure the buffer stays empty and the open below fails.
    GetTempFileNameW(dir, WSTR("WPrn"), 0, tszTempFileName);

    // GetTempFileNameW created the file already. Whenever this attempt fails
    // after that, the file is removed here: the caller deletes only files
    // whose creation succeeded, so nobody else would.
    const DWORD cTcharsFileName = cchFileName;
    if (!QL_CHECK_FORM("PASSED", !(cTcharsFileName < wcslen(tszTempFileName) + sizeof(WCHAR)),
                       "!(cTcharsFileName < wcslen(tszTempFileName) + sizeof(TCHAR))")) {
        if (*tszTempFileName) DeleteFileW(tszTempFileName);
        MemFreeT(&tszTempFileName);
        return FALSE;
    }

    try {
        return OpenCreatedTempFile(tszTempFileName, fileName, cchFileName, ppFile);
    } catch (...) {
        // Out of memory half way (the security steps use C++ containers):
        // the file GetTempFileNameW made must not stay behind.
        if (*ppFile) fclose(*ppFile);
        *ppFile = nullptr;
        if (*tszTempFileName) DeleteFileW(tszTempFileName);
        MemFreeT(&tszTempFileName);
        throw;
    }
}

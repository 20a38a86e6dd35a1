// The compression configuration: read from HKLM\SOFTWARE\Quillon\QLWinPrn and
// from the printer's printer data, and the rule lookup the bitmap compression
// uses.
#define QL_MODULE WSTR("compress")
#include "emf/ComprCnf.h"

#include "diag/DbgLog.h"
#include "native/Devmode.h"
#include "palfmt.h"
#include "printproc/Util.h"

#include <cstring>
#include <memory>

namespace {

#define QLWINPRN_KEY WSTR("SOFTWARE\\Quillon\\QLWinPrn")

// Characters of a rule value name ("CompressionRule99" and its terminator fit).
constexpr size_t RULE_NAME_CCH = 30;

// Frees a MemAlloc block when it goes out of scope.
struct MemBlockDeleter {
    void operator()(void* p) const {
        if (p) MemFree(&p);
    }
};
using MemBlock = std::unique_ptr<BYTE, MemBlockDeleter>;

// One registry value of the product key; the key is opened and closed around
// the read. TRUE when the value exists, fits and has the wanted type.
BOOL ReadRegistryValue(LPCWSTR pszName, DWORD dwWantedType, LPBYTE pData, DWORD cbData, LPDWORD pcbRead) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, QLWINPRN_KEY, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return FALSE;
    DWORD dwType = REG_NONE;
    DWORD cbRead = cbData;
    LONG lRtn = RegQueryValueExW(hKey, pszName, nullptr, &dwType, pData, &cbRead);
    RegCloseKey(hKey);
    if (lRtn != ERROR_SUCCESS || dwType != dwWantedType || cbRead > cbData) return FALSE;
    *pcbRead = cbRead;
    return TRUE;
}

BOOL ReadRegistryDword(LPCWSTR pszName, LPDWORD pdwValue) {
    BYTE ab[sizeof(DWORD)] = {};
    DWORD cbRead = 0;
    if (!ReadRegistryValue(pszName, REG_DWORD, ab, sizeof(ab), &cbRead) || cbRead != sizeof(DWORD)) return FALSE;
    std::memcpy(pdwValue, ab, sizeof(DWORD));
    return TRUE;
}

// One printer data value of the printer, at most cbData bytes.
BOOL ReadPrinterValue(HANDLE hPrinter, LPCWSTR pszName, DWORD dwWantedType, LPBYTE pData, DWORD cbData,
                      LPDWORD pcbRead) {
    DWORD dwType = REG_NONE;
    DWORD cbNeeded = 0;
    DWORD dwRtn = GetPrinterDataW(hPrinter, const_cast<LPWSTR>(pszName), &dwType, pData, cbData, &cbNeeded);
    if (dwRtn != ERROR_SUCCESS || dwType != dwWantedType || cbNeeded > cbData) return FALSE;
    *pcbRead = cbNeeded;
    return TRUE;
}

BOOL ReadPrinterDword(HANDLE hPrinter, LPCWSTR pszName, LPDWORD pdwValue) {
    BYTE ab[sizeof(DWORD)] = {};
    DWORD cbRead = 0;
    if (!ReadPrinterValue(hPrinter, pszName, REG_DWORD, ab, sizeof(ab), &cbRead) || cbRead != sizeof(DWORD))
        return FALSE;
    std::memcpy(pdwValue, ab, sizeof(DWORD));
    return TRUE;
}

// Takes a string value of cbData bytes into a MAX_PATH buffer. A value needs
// its terminator within MAX_PATH characters, or must be short enough to get one.
BOOL TakeString(const WCHAR* pSrc, DWORD cbData, WCHAR (&szDst)[MAX_PATH]) {
    const DWORD cch = cbData / sizeof(WCHAR);
    DWORD cchText = 0;
    while (cchText < cch && cchText < MAX_PATH && pSrc[cchText]) ++cchText;
    if (cchText >= MAX_PATH) return FALSE;
    std::memcpy(szDst, pSrc, cchText * sizeof(WCHAR));
    szDst[cchText] = 0;
    return TRUE;
}

BOOL ReadPrinterString(HANDLE hPrinter, LPCWSTR pszName, WCHAR (&szDst)[MAX_PATH]) {
    WCHAR szValue[MAX_PATH] = {};
    DWORD cbRead = 0;
    if (!ReadPrinterValue(hPrinter, pszName, REG_SZ, reinterpret_cast<LPBYTE>(szValue), sizeof(szValue), &cbRead))
        return FALSE;
    return TakeString(szValue, cbRead, szDst);
}

// IncludeFonts: read into a temporary 64 KiB block, kept as a copy of the
// size returned. Two zero characters follow the copy so that a value stored
// without its final terminators still ends as a multi-string.
void ReadIncludeFonts(PCOMPRCNF pComprCnf) {
    MemBlock pTemp(static_cast<LPBYTE>(MemAlloc(INCLUDE_FONTS_MAX)));
    if (!pTemp) return;
    DWORD cbRead = 0;
    if (!ReadRegistryValue(WSTR("IncludeFonts"), REG_MULTI_SZ, pTemp.get(), INCLUDE_FONTS_MAX, &cbRead)) return;

    if (pComprCnf->pIncludeFonts) MemFreeT(&pComprCnf->pIncludeFonts);
    const SIZE_T cbCopy = (static_cast<SIZE_T>(cbRead) + 1) / sizeof(WCHAR) * sizeof(WCHAR) + 2 * sizeof(WCHAR);
    LPWSTR pCopy = static_cast<LPWSTR>(MemAlloc(cbCopy));
    if (!pCopy) return;
    std::memcpy(pCopy, pTemp.get(), cbRead);
    pComprCnf->pIncludeFonts = pCopy;
}

// A 0/1 flag from a printer data DWORD, logged either way.
void ReadPrinterFlag(HANDLE hPrinter, LPCWSTR pszName, LPDWORD pfValue, LPCWSTR pszSet, LPCWSTR pszNotSet) {
    DWORD dwValue = 0;
    if (ReadPrinterDword(hPrinter, pszName, &dwValue)) {
        *pfValue = dwValue != 0;
        QLLOG(LOG_TRC, pszSet, *pfValue);
    } else {
        QLLOG(LOG_TRC, pszNotSet, *pfValue);
    }
}

// The compression rules "CompressionRule0" .. "CompressionRule99": ordered by
// increasing size limit, ending at the first rule without a limit. A missing
// rule or one whose limit does not grow ends the list at the previous rule,
// which then loses its limit so that it covers every larger bitmap.
void ReadCompressionRules(HANDLE hPrinter, PCOMPRCNF pComprCnf) {
    DWORD* adwRule = pComprCnf->adwCompressionRule;
    for (DWORD i = 0; i < COMPRESSION_RULES; ++i) {
        adwRule[i] = COMPRESSION_RULE_OFF;

        WCHAR szName[RULE_NAME_CCH] = {};
        PalFormatW(szName, RULE_NAME_CCH, WSTR("CompressionRule%d"), i);
        DWORD dwRule = 0;
        if (!ReadPrinterDword(hPrinter, szName, &dwRule)) {
            if (i > 0) adwRule[i - 1] &= 0xFFFF;
            return;
        }
        adwRule[i] = dwRule;
        if (RuleSizeLimit(dwRule) == 0) return;
        if (i > 0 && RuleSizeLimit(dwRule) <= RuleSizeLimit(adwRule[i - 1])) {
            adwRule[i - 1] &= 0xFFFF;
            return;
        }
    }
}

} // namespace

PCOMPRCNF ReadCompressionConfig(HANDLE hPrinter, PCOMPRCNF pComprCnf) {
    if (!PASSED(pComprCnf == 0)) return pComprCnf;

    pComprCnf->szAgentlessNativePrinting[0] = 0;
    for (auto& szCopy : pComprCnf->szVirtualCopy) szCopy[0] = 0;
    pComprCnf->fBitmapCaching = 0;
    pComprCnf->dwImageRecallMin = DEFAULT_IMAGE_RECALL_MIN;
    pComprCnf->fDPIReduction = 1;
    pComprCnf->fOptionTrays = 0;
    pComprCnf->dwRescaleOpt = 0;
    pComprCnf->fRescaleOptSet = 0;
    pComprCnf->dwCompressCompare = 1;
    pComprCnf->dwDPIReductionMin = DEFAULT_DPI_REDUCTION_MIN;
    pComprCnf->dwCompressionEMFInMem = DEFAULT_COMPRESSION_EMF_IN_MEM;
    lstrcpynW(pComprCnf->szTempDir, WSTR("-1"), MAX_PATH);
    pComprCnf->dwJpeg2000Coder = JPEG2000_CODER_STANDARD;

    // 1-3: machine-wide values.
    DWORD dwValue = 0;
    if (ReadRegistryDword(WSTR("CompressionEMFInMem"), &dwValue)) pComprCnf->dwCompressionEMFInMem = dwValue;

    {
        WCHAR szValue[MAX_PATH] = {};
        DWORD cbRead = 0;
        if (ReadRegistryValue(WSTR("TempDir"), REG_SZ, reinterpret_cast<LPBYTE>(szValue), sizeof(szValue),
                              &cbRead)) {
            WCHAR szTempDir[MAX_PATH] = {};
            if (TakeString(szValue, cbRead, szTempDir)) std::memcpy(pComprCnf->szTempDir, szTempDir, sizeof(szTempDir));
        }
    }

    ReadIncludeFonts(pComprCnf);

    // 4-5: printer data.
    ReadPrinterFlag(hPrinter, WSTR("BitmapDPIReduction"), &pComprCnf->fDPIReduction,
                    WSTR("fDPIReduction is set to %d"), WSTR("fDPIReduction is not set, default is %d"));
    ReadPrinterFlag(hPrinter, WSTR("ImageRecall"), &pComprCnf->fBitmapCaching, WSTR("fBitmapCaching is set to %d"),
                    WSTR("fBitmapCaching is not set, default is %d"));

    // 6: machine-wide.
    if (ReadRegistryDword(WSTR("ImageRecallMin"), &dwValue)) pComprCnf->dwImageRecallMin = dwValue;

    // 7-12: printer data.
    ReadPrinterFlag(hPrinter, WSTR("OptionTrays"), &pComprCnf->fOptionTrays, WSTR("fOptionTrays is set to %d"),
                    WSTR("fOptionTrays is not set, default is %d"));

    if (ReadPrinterDword(hPrinter, WSTR("RescaleOpt"), &dwValue)) {
        pComprCnf->dwRescaleOpt = dwValue;
        pComprCnf->fRescaleOptSet = 1;
        QLLOG(LOG_TRC, WSTR("dwRescaleOpt is set to %d"), pComprCnf->dwRescaleOpt);
    } else {
        QLLOG(LOG_TRC, WSTR("dwRescalOpt is not set, default is %d"), pComprCnf->dwRescaleOpt);
    }

    if (ReadPrinterString(hPrinter, WSTR("AGNP"), pComprCnf->szAgentlessNativePrinting)) {
        QLLOG(LOG_TRC, WSTR("szAgentlessNativePrinting is set to <%s>"), pComprCnf->szAgentlessNativePrinting);
    } else {
        pComprCnf->szAgentlessNativePrinting[0] = 0;
        QLLOG(LOG_TRC, WSTR("szAgentlessNativePrinting is not set, default is <%s>"),
              pComprCnf->szAgentlessNativePrinting);
    }

    for (DWORD i = 0; i < VIRTUAL_COPY_PRINTERS; ++i) {
        WCHAR szName[8] = {};
        PalFormatW(szName, 8, WSTR("AGNP%d"), i + 1);
        if (ReadPrinterString(hPrinter, szName, pComprCnf->szVirtualCopy[i])) {
            QLLOG(LOG_TRC, WSTR("szVirtualCopy[%d] is set to <%s>"), i, pComprCnf->szVirtualCopy[i]);
        } else {
            pComprCnf->szVirtualCopy[i][0] = 0;
            QLLOG(LOG_TRC, WSTR("szVirtualCopy[%d] is not set, default is <%s>"), i, pComprCnf->szVirtualCopy[i]);
        }
    }

    ReadPrinterFlag(hPrinter, WSTR("CompressCompare"), &pComprCnf->dwCompressCompare,
                    WSTR("dwCompressCompare is set to %d"), WSTR("dwCompressCompare is not set, default is %d"));

    if (ReadPrinterDword(hPrinter, WSTR("BitmapDPIReductionMin"), &dwValue)) {
        pComprCnf->dwDPIReductionMin = dwValue;
        QLLOG(LOG_TRC, WSTR("DPIReductionMin is set to %d"), pComprCnf->dwDPIReductionMin);
    } else {
        QLLOG(LOG_TRC, WSTR("DPIReductionMin is not set, default is %d"), pComprCnf->dwDPIReductionMin);
    }

    // Our own value: the block coder of the JPEG 2000 streams. Anything but
    // JPEG2000_CODER_HT keeps the standard coder.
    if (ReadPrinterDword(hPrinter, WSTR("JPEG2000Coder"), &dwValue)) {
        pComprCnf->dwJpeg2000Coder = dwValue == JPEG2000_CODER_HT ? JPEG2000_CODER_HT : JPEG2000_CODER_STANDARD;
        QLLOG(LOG_TRC, WSTR("dwJpeg2000Coder is set to %d"), pComprCnf->dwJpeg2000Coder);
    } else {
        QLLOG(LOG_TRC, WSTR("dwJpeg2000Coder is not set, default is %d"), pComprCnf->dwJpeg2000Coder);
    }

    // 13: the rule list.
    ReadCompressionRules(hPrinter, pComprCnf);
    return pComprCnf;
}

void LookupCompressionRule(const ComprCnf* pComprCnf, DWORD dwAssumedSize, LPDWORD pdwZipPercent,
                           LPDWORD pdwLossyPercent) {
    if (!PASSED(pComprCnf == 0)) return;
    const DWORD* adwRule = pComprCnf->adwCompressionRule;
    DWORD dwRule = adwRule[COMPRESSION_RULES - 1];
    for (DWORD i = 0; i < COMPRESSION_RULES; ++i) {
        const DWORD dwLimit = RuleSizeLimit(adwRule[i]);
        if (dwLimit == 0 || dwAssumedSize / 1000 < dwLimit) {
            dwRule = adwRule[i];
            break;
        }
    }
    if (pdwZipPercent) *pdwZipPercent = RuleZipPercent(dwRule);
    if (pdwLossyPercent) *pdwLossyPercent = RuleLossyPercent(dwRule);
}

void AdoptDevmodeCompression(const PRIVATEDEVMODEEXT* pDevmodeExt, PCOMPRCNF pComprCnf, BOOL fDeletionOnly) {
    if (!PASSED(pComprCnf == 0)) return;
    if (!PASSED(pDevmodeExt == 0)) return;

    // A packed record inside the device mode: copy it so every field reads aligned.
    PRIVATEDEVMODEEXT ext;
    std::memcpy(&ext, pDevmodeExt, sizeof(ext));
    if (!(ext.dwFields & QL_EDF_MASK_COMPRESSION)) {
        QLLOG(LOG_TRC, WSTR("QL_EDF_MASK_COMPRESSION no set in devmode"));
        return;
    }

    const DWORD adwRule[4] = {ext.dwCompressionRule_0, ext.dwCompressionRule_1, ext.dwCompressionRule_2,
                              ext.dwCompressionRule_3};
    if (fDeletionOnly) {
        if (adwRule[0] == COMPRESSION_RULE_DELETE) std::memcpy(pComprCnf->adwCompressionRule, adwRule, sizeof(adwRule));
    } else {
        std::memcpy(pComprCnf->adwCompressionRule, adwRule, sizeof(adwRule));
        pComprCnf->fDPIReduction = ext.dwBitmapDPIReduction;
    }
    QLLOG(LOG_TRC, WSTR("Compression Settings are took from devmode"));
}

void DisableCompression(PCOMPRCNF pComprCnf) {
    if (!PASSED(pComprCnf == 0)) return;
    if (!IsBitmapDeletion(pComprCnf)) {
        pComprCnf->adwCompressionRule[0] = COMPRESSION_RULE_OFF;
        for (DWORD i = 1; i <= 3; ++i) pComprCnf->adwCompressionRule[i] = 0;
    }
    pComprCnf->fDPIReduction = 0;
}

BOOL IsBitmapDeletion(const ComprCnf* pComprCnf) {
    return pComprCnf && pComprCnf->adwCompressionRule[0] == COMPRESSION_RULE_DELETE;
}

BOOL IsCompressionOff(const ComprCnf* pComprCnf) {
    return pComprCnf && pComprCnf->adwCompressionRule[0] == COMPRESSION_RULE_OFF;
}

void ReleaseCompressionConfig(PCOMPRCNF pComprCnf) {
    if (pComprCnf && pComprCnf->pIncludeFonts) MemFreeT(&pComprCnf->pIncludeFonts);
}

// Device mode routines shared with the gateway driver: version conversion,
// the default device mode and the validating merge.
#define QL_MODULE WSTR("QLDDCommon")
#include "native/QLDDCommon.h"

#include "diag/DbgLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// dwCapFlags bit -> dwFields bit.
struct CapFieldMap {
    DWORD dwCap;
    DWORD dwField;
};
constexpr CapFieldMap kCapFields[] = {
    {QL_CAP_PIN, QL_EDF_MASK_PIN},
    {QL_CAP_PUNCHING, QL_EDF_MASK_PUNCHING},
    {QL_CAP_STAPLING, QL_EDF_MASK_STAPLING},
    {QL_CAP_BINDING, QL_EDF_MASK_BINDING},
    {QL_CAP_NUPSHEETS, QL_EDF_MASK_NUPSHEETS},
    {QL_CAP_STAPLEANGLE, QL_EDF_MASK_STAPLEANGLE},
    {QL_CAP_SHEETCAPACITY, QL_EDF_MASK_SHEETCAPACITY},
    {QL_CAP_GUTTER, QL_EDF_MASK_GUTTER},
    {QL_CAP_NUPDIRECTION, QL_EDF_MASK_NUPDIRECTION},
};

// A device that offers nothing, for callers that pass no capabilities.
constexpr DEVCAPSINFO kNoCaps = {};

size_t BlockSize(const DEVMODEW* pDevmode) {
    return static_cast<size_t>(pDevmode->dmSize) + pDevmode->dmDriverExtra;
}

// The forms of a capability record, empty when it lists none.
const DEVCAPSFORM* FormsBegin(const DEVCAPSINFO* pCaps) {
    return (pCaps->pForms && pCaps->dwFormCount) ? pCaps->pForms : nullptr;
}
const DEVCAPSFORM* FormsEnd(const DEVCAPSINFO* pCaps) {
    return (pCaps->pForms && pCaps->dwFormCount) ? pCaps->pForms + pCaps->dwFormCount : nullptr;
}

const DEVCAPSFORM* FindFormByCode(const DEVCAPSINFO* pCaps, DWORD dwPaperSize) {
    for (const DEVCAPSFORM* p = FormsBegin(pCaps); p != FormsEnd(pCaps); ++p) {
        if (p->dwPaperSize == dwPaperSize) return p;
    }
    return nullptr;
}

// Names match when the first 31 characters are equal (up to a common
// terminator) and the 32nd of the requested name is either 0 or equal too.
bool FormNameMatches(const WCHAR* pszWanted, const WCHAR* pszForm) {
    for (size_t i = 0; i < CCHFORMNAME - 1; ++i) {
        if (pszWanted[i] != pszForm[i]) return false;
        if (pszWanted[i] == 0) return true;
    }
    return pszWanted[CCHFORMNAME - 1] == 0 || pszWanted[CCHFORMNAME - 1] == pszForm[CCHFORMNAME - 1];
}

const DEVCAPSFORM* FindFormByName(const DEVCAPSINFO* pCaps, const WCHAR* pszName) {
    for (const DEVCAPSFORM* p = FormsBegin(pCaps); p != FormsEnd(pCaps); ++p) {
        if (FormNameMatches(pszName, p->szFormName)) return p;
    }
    return nullptr;
}

// A support mask admits v >= 1 through bit 1 << (v - 1); 0 only where "none"
// is a valid choice.
bool Admitted(DWORD dwMask, DWORD dwValue, DWORD dwMax, bool fZeroAllowed) {
    if (dwValue == 0) return fZeroAllowed;
    if (dwValue > dwMax) return false;
    return (dwMask & (1u << (dwValue - 1))) != 0;
}

// The zeroed work copy of ConvertDevMode. It may hold the user's secrets, so
// it is wiped before it goes back to the heap.
struct WorkCopyFree {
    size_t cb;
    void operator()(BYTE* pb) const {
        volatile BYTE* p = pb;
        for (size_t i = 0; i < cb; ++i) p[i] = 0;
        GlobalFree(pb);
    }
};
using WorkCopy = std::unique_ptr<BYTE, WorkCopyFree>;

void MergePublicFields(const DEVMODEW& w, DEVMODEW& o, const DEVCAPSINFO* pCaps) {
    const DWORD wf = w.dmFields;

    if (wf & DM_DEFAULTSOURCE) {
        o.dmDefaultSource = w.dmDefaultSource;
        o.dmFields |= DM_DEFAULTSOURCE;
    }
    if (wf & DM_ORIENTATION) {
        o.dmOrientation = (w.dmOrientation == 1 || w.dmOrientation == 2) ? w.dmOrientation : 1;
        o.dmFields |= DM_ORIENTATION;
    }

    bool fCustomSize = false;
    if ((wf & DM_PAPERLENGTH) && (wf & DM_PAPERWIDTH) && w.dmPaperLength >= 1 && w.dmPaperWidth > 0) {
        o.dmPaperLength = w.dmPaperLength;
        o.dmPaperWidth = w.dmPaperWidth;
        o.dmFields = (o.dmFields & ~(DM_FORMNAME | DM_PAPERSIZE)) | DM_PAPERLENGTH | DM_PAPERWIDTH;
        fCustomSize = true;
    }

    const DEVCAPSFORM* pForm = nullptr;
    if (wf & DM_PAPERSIZE) pForm = FindFormByCode(pCaps, static_cast<WORD>(w.dmPaperSize));
    if (!pForm && (wf & DM_FORMNAME)) pForm = FindFormByName(pCaps, w.dmFormName);
    if (pForm) {
        o.dmPaperSize = static_cast<short>(pForm->dwPaperSize);
        std::memcpy(o.dmFormName, pForm->szFormName, sizeof(o.dmFormName));
        o.dmFields |= DM_FORMNAME | DM_PAPERSIZE;
        if (fCustomSize) {
            // A custom size within 0.3 mm of the form is that form.
            const long long dx = static_cast<long long>(w.dmPaperWidth) - pForm->lPaperWidth;
            const long long dy = static_cast<long long>(w.dmPaperLength) - pForm->lPaperLength;
            if (!(dx > -3 && dx < 3 && dy > -3 && dy < 3)) o.dmFields &= ~(DM_FORMNAME | DM_PAPERSIZE);
        } else {
            o.dmFields &= ~(DM_PAPERLENGTH | DM_PAPERWIDTH);
        }
    }

    o.dmFields &= ~DM_SCALE;

    if (wf & DM_COPIES) {
        o.dmCopies = (w.dmCopies >= 1 && w.dmCopies <= 999) ? w.dmCopies : 1;
        o.dmFields |= DM_COPIES;
    }

    if (wf & DM_PRINTQUALITY) {
        o.dmPrintQuality = w.dmPrintQuality;
        o.dmFields |= DM_PRINTQUALITY;
        if (wf & DM_YRESOLUTION) {
            o.dmYResolution = w.dmPrintQuality;
            o.dmFields |= DM_YRESOLUTION;
        } else {
            o.dmFields &= ~DM_YRESOLUTION;
        }
    } else if (wf & DM_YRESOLUTION) {
        o.dmPrintQuality = w.dmYResolution;
        o.dmYResolution = w.dmYResolution;
        o.dmFields |= DM_PRINTQUALITY | DM_YRESOLUTION;
    }

    if (wf & DM_COLOR) {
        o.dmColor = (w.dmColor == 2) ? 2 : 1;
        o.dmFields |= DM_COLOR;
    }
    if (wf & DM_DUPLEX) {
        o.dmDuplex = (w.dmDuplex >= 1 && w.dmDuplex <= 3) ? w.dmDuplex : 1;
        o.dmFields |= DM_DUPLEX;
    }
    if (wf & DM_COLLATE) {
        o.dmCollate = (w.dmCollate == 0 || w.dmCollate == 1) ? w.dmCollate : 0;
        o.dmFields |= DM_COLLATE;
    }
}

void MergeExtension(const PRIVATEDEVMODEEXT& we, PRIVATEDEVMODEEXT& oe, const DEVCAPSINFO* pCaps) {
    const DWORD wf = we.dwFields;
    const DWORD dwCaps = pCaps->dwCapFlags;

    // One field group: cleared when the device lacks the feature, else taken
    // from the work copy when it carries the field and copy() accepts it.
    auto group = [&](DWORD dwCap, DWORD dwBit, auto copy) {
        if (!(dwCaps & dwCap)) {
            oe.dwFields &= ~dwBit;
            return;
        }
        if ((wf & dwBit) && copy()) oe.dwFields |= dwBit;
    };

    group(QL_CAP_PIN, QL_EDF_MASK_PIN, [&] {
        std::memcpy(oe.lpszPIN, we.lpszPIN, sizeof(oe.lpszPIN));
        return true;
    });
    group(QL_CAP_PUNCHING, QL_EDF_MASK_PUNCHING, [&] {
        if (!Admitted(pCaps->dwPunchingSupport, we.uPunching, 4, true)) return false;
        oe.uPunching = we.uPunching;
        return true;
    });
    group(QL_CAP_STAPLING, QL_EDF_MASK_STAPLING, [&] {
        if (!Admitted(pCaps->dwStaplingSupport, we.STAPLING.uDocStaple, 9, true)) return false;
        oe.STAPLING.uDocStaple = we.STAPLING.uDocStaple;
        return true;
    });
    group(QL_CAP_SHEETCAPACITY, QL_EDF_MASK_SHEETCAPACITY, [&] {
        oe.STAPLING.dwSheetCapacity = we.STAPLING.dwSheetCapacity;
        return true;
    });
    group(QL_CAP_STAPLEANGLE, QL_EDF_MASK_STAPLEANGLE, [&] {
        oe.STAPLING.uAngle = we.STAPLING.uAngle;
        return true;
    });
    group(QL_CAP_BINDING, QL_EDF_MASK_BINDING, [&] {
        if (!Admitted(pCaps->dwBindingSupport, we.BINDING.uDocumentBinding, 13, true)) return false;
        oe.BINDING.uDocumentBinding = we.BINDING.uDocumentBinding;
        return true;
    });
    group(QL_CAP_GUTTER, QL_EDF_MASK_GUTTER, [&] {
        const DWORD dwGutter = we.BINDING.dwBindingGutter;
        oe.BINDING.dwBindingGutter = std::min(pCaps->dwMaxGutter, std::max(pCaps->dwMinGutter, dwGutter));
        return true;
    });
    group(QL_CAP_NUPSHEETS, QL_EDF_MASK_NUPSHEETS, [&] {
        if (!Admitted(pCaps->dwNupSheetsSupport, we.NUP.uSheetsPerPage, 7, false)) return false;
        oe.NUP.uSheetsPerPage = we.NUP.uSheetsPerPage;
        return true;
    });
    group(QL_CAP_NUPDIRECTION, QL_EDF_MASK_NUPDIRECTION, [&] {
        if (!Admitted(pCaps->dwNupDirectionSupport, we.NUP.uPresentationDirection, 8, false)) return false;
        oe.NUP.uPresentationDirection = we.NUP.uPresentationDirection;
        return true;
    });

    // Compression and Print-To-Remote settings need no device feature.
    if (wf & QL_EDF_MASK_COMPRESSION) {
        oe.dwCompressionRule_0 = we.dwCompressionRule_0;
        oe.dwCompressionRule_1 = we.dwCompressionRule_1;
        oe.dwCompressionRule_2 = we.dwCompressionRule_2;
        oe.dwCompressionRule_3 = we.dwCompressionRule_3;
        oe.dwBitmapDPIReduction = we.dwBitmapDPIReduction;
        oe.dwFields |= QL_EDF_MASK_COMPRESSION;
    }
    if (wf & QL_EDF_MASK_PTR) {
        if (std::memchr(we.lpszPTREmail, 0, sizeof(we.lpszPTREmail)))
            std::memcpy(oe.lpszPTREmail, we.lpszPTREmail, sizeof(oe.lpszPTREmail));
        else
            std::memset(oe.lpszPTREmail, 0, sizeof(oe.lpszPTREmail));
        std::memcpy(oe.arrPTRPasswd, we.arrPTRPasswd, sizeof(oe.arrPTRPasswd));
        oe.dwFields |= QL_EDF_MASK_PTR;
    }
}

} // namespace

DWORD CapFlagsToFields(DWORD dwCapFlags) {
    DWORD dwFields = 0;
    for (const CapFieldMap& m : kCapFields) {
        if (dwCapFlags & m.dwCap) dwFields |= m.dwField;
    }
    return dwFields;
}

WORD GetDevmodeSpecVersion(const DEVMODEW* pDevmode) {
    if (!pDevmode) return 0;
    switch (pDevmode->dmSize) {
    case 188: return 0x320;
    case 212: return 0x400;
    case 220: return 0x401;
    default: return pDevmode->dmSpecVersion;
    }
}

int ConvertDevmodeVersion(const DEVMODEW* pIn, DEVMODEW* pOut) {
    const WORD wInVersion = GetDevmodeSpecVersion(pIn);
    const WORD wOutVersion = GetDevmodeSpecVersion(pOut);
    if (!wInVersion || !wOutVersion) return -1;

    const WORD dmOutSize = pOut->dmSize;
    const WORD dmOutDriverExtra = pOut->dmDriverExtra;
    const WORD dmOutDriverVersion = pOut->dmDriverVersion;
    const WORD dmInSize = pIn->dmSize;
    const WORD dmInDriverExtra = pIn->dmDriverExtra;

    const size_t cbPublic = std::min(dmInSize, dmOutSize);
    std::memmove(pOut, pIn, cbPublic);
    pOut->dmSize = dmOutSize;
    pOut->dmDriverExtra = dmOutDriverExtra;
    pOut->dmDriverVersion = dmOutDriverVersion;
    pOut->dmSpecVersion = wOutVersion;

    const size_t cbPrivate = std::min(dmInDriverExtra, dmOutDriverExtra);
    std::memmove(reinterpret_cast<BYTE*>(pOut) + dmOutSize, reinterpret_cast<const BYTE*>(pIn) + dmInSize, cbPrivate);

    // The trailers sit at the ends of the private areas, which differ when
    // the private sizes differ.
    const PRIVATEDEVMODE* pInPriv = FindPrivateDevmode(pIn);
    PRIVATEDEVMODE* pOutPriv = FindPrivateDevmode(pOut);
    if (pInPriv && pOutPriv) pOutPriv->dwFlags = pInPriv->dwFlags;

    return static_cast<int>(cbPublic + cbPrivate);
}

BOOL BuildDefaultDevmode(BOOL bMetric, DEVMODEW* pDevmode, LPCWSTR pszDeviceName, const DEVCAPSINFO* pCaps) {
    if (!pDevmode || !pszDeviceName) return FALSE;
    if (!pCaps) pCaps = &kNoCaps;
    BYTE* pb = reinterpret_cast<BYTE*>(pDevmode);
    std::memset(pb, 0, QL_DEVMODE_SIZE);

    for (size_t i = 0; i < CCHDEVICENAME && pszDeviceName[i]; ++i) pDevmode->dmDeviceName[i] = pszDeviceName[i];
    pDevmode->dmSpecVersion = 0x401;
    pDevmode->dmDriverVersion = 0x500;
    pDevmode->dmSize = QL_DEVMODE_PUBLIC_SIZE;
    pDevmode->dmDriverExtra = QL_DEVMODE_DRIVER_EXTRA;
    pDevmode->dmFields = 0x15F03 | DM_COLLATE;
    pDevmode->dmOrientation = 1;

    DWORD dwPaper = bMetric ? DMPAPER_A4 : DMPAPER_LETTER;
    const WCHAR* pszForm = bMetric ? WSTR("A4") : WSTR("Letter");
    size_t cchForm = bMetric ? 2 : 6;
    if (FormsBegin(pCaps) && !FindFormByCode(pCaps, dwPaper)) {
        dwPaper = pCaps->pForms[0].dwPaperSize;
        pszForm = pCaps->pForms[0].szFormName;
        cchForm = CCHFORMNAME;
    }
    pDevmode->dmPaperSize = static_cast<short>(dwPaper);
    for (size_t i = 0; i < cchForm && pszForm[i]; ++i) pDevmode->dmFormName[i] = pszForm[i];

    pDevmode->dmScale = 100;
    pDevmode->dmCopies = 1;
    pDevmode->dmDefaultSource = 7;
    pDevmode->dmPrintQuality = -2;
    pDevmode->dmColor = 1;
    pDevmode->dmDuplex = 1;
    pDevmode->dmTTOption = 1;
    pDevmode->dmCollate = 1;

    PRIVATEDEVMODEEXT* pExt = reinterpret_cast<PRIVATEDEVMODEEXT*>(pb + QL_DEVMODE_PUBLIC_SIZE);
    pExt->dwSignature = QL_PRIVATEDEVMODEEXT_SIGNATURE;
    pExt->dwSize = QL_DEVMODE_EXT_SIZE;
    pExt->dwFields = QL_EDF_MASK_COMPRESSION | QL_EDF_MASK_PTR | CapFlagsToFields(pCaps->dwCapFlags);
    pExt->dwCompressionRule_0 = 0xFFFFFFFF;
    pExt->NUP.uPresentationDirection = 1;
    pExt->NUP.uSheetsPerPage = 1;
    pExt->BINDING.dwBindingGutter = pCaps->dwMinGutter ? pCaps->dwMinGutter : 1;

    PRIVATEDEVMODE* pPriv = reinterpret_cast<PRIVATEDEVMODE*>(pb + QL_DEVMODE_TRAILER_OFFSET);
    pPriv->dwSignature = QL_PRIVATEDEVMODE_SIGNATURE;
    pPriv->dwFlags = 0;
    return TRUE;
}

BOOL ConvertDevMode(const DEVMODEW* pIn, DEVMODEW* pOut, const DEVCAPSINFO* pCaps) {
    if (!pIn) return TRUE;
    if (!pOut) return FALSE;
    if (!pCaps) pCaps = &kNoCaps;

    // The work copy is at least a whole gateway device mode, and large
    // enough for pOut's block whatever sizes pOut states.
    const size_t cbOut = BlockSize(pOut);
    const size_t cbWork = std::max<size_t>(QL_DEVMODE_SIZE, cbOut);
    WorkCopy work(static_cast<BYTE*>(GlobalAlloc(GPTR, cbWork)), WorkCopyFree{cbWork});
    if (!work) return FALSE;
    std::memcpy(work.get(), pOut, cbOut);
    DEVMODEW* pWork = reinterpret_cast<DEVMODEW*>(work.get());

    if (ConvertDevmodeVersion(pIn, pWork) <= 0) {
        std::printf("%s (%d): %s failed.\n", __FILE__, __LINE__, "ConvertDevMode");
        std::fflush(stdout);
        return FALSE;
    }

    // The public fields touched lie before dmLogPixels; a destination whose
    // public part is shorter keeps its public part as it is.
    if (pOut->dmSize >= offsetof(DEVMODEW, dmLogPixels)) MergePublicFields(*pWork, *pOut, pCaps);

    const PRIVATEDEVMODEEXT* pWorkExt = FindDevmodeExtension(pWork, cbWork);
    PRIVATEDEVMODEEXT* pOutExt = FindDevmodeExtension(pOut);
    if (pWorkExt && pOutExt) MergeExtension(*pWorkExt, *pOutExt, pCaps);

    if (const PRIVATEDEVMODE* pWorkPriv = FindPrivateDevmode(pWork, cbWork)) {
        if (PRIVATEDEVMODE* pOutPriv = FindPrivateDevmode(pOut))
            pOutPriv->dwFlags = pWorkPriv->dwFlags;
        else
            MessageBoxW(nullptr, WSTR("pdmDest invalid. Private flags lost."), WSTR("QLPrnUI.dll::ValidateSetDevMode"),
                        MB_ICONERROR);
    }
    return TRUE;
}

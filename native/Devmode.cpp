#define QL_MODULE WSTR("QLDDCommon")
#include "native/Devmode.h"

#include "diag/DbgLog.h"

#include <cstddef>

namespace {

// A device-mode field is printed only when dmSize reaches past its end.
bool Covers(DWORD dmSize, size_t offset, size_t width) {
    return dmSize > offset + width - 1;
}

LPCWSTR Mark(const DEVMODEW* pdm, DWORD dwBit) {
    return (pdm->dmFields & dwBit) ? WSTR(">>") : WSTR("--");
}

} // namespace

void PrintDEVMODE(const DEVMODEW* pdm, DWORD dmSize, LPCWSTR pszLabel) {
    if (!g_dwDebugLevel) return;
    if (!pdm) {
        QLLOG(LOG_ERR, WSTR("..%s: Call PrintDEVMODE with NULL pinter"), pszLabel);
        return;
    }
    if (dmSize > sizeof(DEVMODEW)) dmSize = sizeof(DEVMODEW);

    if (Covers(dmSize, offsetof(DEVMODEW, dmDeviceName), sizeof(pdm->dmDeviceName))) {
        WCHAR szName[CCHDEVICENAME + 1] = {};
        for (int i = 0; i < CCHDEVICENAME; ++i) szName[i] = pdm->dmDeviceName[i];
        QLLOG(LOG_TRC, WSTR(">>%s: dmDeviceName: '%s'"), pszLabel, szName);
    }
#define QL_PLAIN_FIELD(field)                                                                          \
    if (Covers(dmSize, offsetof(DEVMODEW, field), sizeof(pdm->field)))                                 \
        QLLOG(LOG_TRC, WSTR(">>%s: " #field ": %d (0x%x)"), pszLabel, (int)pdm->field, (unsigned)pdm->field); \
    else                                                                                               \
        QLLOG(LOG_TRC, WSTR("!!%s: " #field " not in devmode of size %d (offset %d, width %d)"), pszLabel, \
              (int)dmSize, (int)offsetof(DEVMODEW, field), (int)sizeof(pdm->field));
#define QL_FLAG_FIELD(field, bit)                                                                      \
    if (Covers(dmSize, offsetof(DEVMODEW, field), sizeof(pdm->field)))                                 \
        QLLOG(LOG_TRC, WSTR("%s%s: " #field ": %d (0x%x)"), Mark(pdm, bit), pszLabel, (int)pdm->field,  \
              (unsigned)pdm->field);                                                                   \
    else                                                                                               \
        QLLOG(LOG_TRC, WSTR("!!%s: " #field " not in devmode of size %d (offset %d, width %d)"), pszLabel, \
              (int)dmSize, (int)offsetof(DEVMODEW, field), (int)sizeof(pdm->field));

    QL_PLAIN_FIELD(dmSpecVersion)
    QL_PLAIN_FIELD(dmDriverVersion)
    QL_PLAIN_FIELD(dmSize)
    QL_PLAIN_FIELD(dmDriverExtra)
    QL_PLAIN_FIELD(dmFields)
    QL_FLAG_FIELD(dmOrientation, DM_ORIENTATION)
    QL_FLAG_FIELD(dmPaperSize, DM_PAPERSIZE)
    QL_FLAG_FIELD(dmPaperLength, DM_PAPERLENGTH)
    QL_FLAG_FIELD(dmPaperWidth, DM_PAPERWIDTH)
    QL_FLAG_FIELD(dmScale, DM_SCALE)
    QL_FLAG_FIELD(dmCopies, DM_COPIES)
    QL_FLAG_FIELD(dmDefaultSource, DM_DEFAULTSOURCE)
    QL_FLAG_FIELD(dmPrintQuality, DM_PRINTQUALITY)
    QL_FLAG_FIELD(dmColor, DM_COLOR)
    QL_FLAG_FIELD(dmDuplex, DM_DUPLEX)
    QL_FLAG_FIELD(dmYResolution, DM_YRESOLUTION)
    QL_FLAG_FIELD(dmTTOption, DM_TTOPTION)
    QL_FLAG_FIELD(dmCollate, DM_COLLATE)
    if (Covers(dmSize, offsetof(DEVMODEW, dmFormName), sizeof(pdm->dmFormName))) {
        WCHAR szForm[CCHFORMNAME + 1] = {};
        for (int i = 0; i < CCHFORMNAME; ++i) szForm[i] = pdm->dmFormName[i];
        QLLOG(LOG_TRC, WSTR("%s%s: dmFormName: '%s'"), Mark(pdm, DM_FORMNAME), pszLabel, szForm);
    }
#undef QL_PLAIN_FIELD
#undef QL_FLAG_FIELD
}

// The gateway driver's private device mode: finders, value tables and the
// debug dump of a device mode.
#define QL_MODULE WSTR("Winprint")
#include "native/Devmode.h"

#include "diag/DbgLog.h"
#include "palfmt.h"

#include <cstddef>
#include <cstring>

// ---- finders ----------------------------------------------------------------------------

namespace {

// Header fields read with memcpy: a block handed in by the spooler or a
// spool file need not be aligned for DEVMODEW.
WORD ReadWord(const BYTE* pb, size_t offset) {
    WORD w;
    std::memcpy(&w, pb + offset, sizeof(w));
    return w;
}

DWORD ReadDword(const BYTE* pb, size_t offset) {
    DWORD dw;
    std::memcpy(&dw, pb + offset, sizeof(dw));
    return dw;
}

// Offset of the trailer inside the block, or -1 when there is none.
ptrdiff_t TrailerOffset(const DEVMODEW* pDevmode, size_t cbDevmode) {
    // A block too short for its own size fields has no trailer.
    if (!pDevmode || cbDevmode < offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD)) return -1;
    const BYTE* pb = reinterpret_cast<const BYTE*>(pDevmode);
    const size_t dmSize = ReadWord(pb, offsetof(DEVMODEW, dmSize));
    const size_t dmDriverExtra = ReadWord(pb, offsetof(DEVMODEW, dmDriverExtra));
    if (dmDriverExtra < sizeof(PRIVATEDEVMODE)) return -1;
    const size_t cbTotal = dmSize + dmDriverExtra;
    if (cbTotal > cbDevmode) return -1;
    const size_t offset = cbTotal - sizeof(PRIVATEDEVMODE);
    if (ReadDword(pb, offset + offsetof(PRIVATEDEVMODE, dwSignature)) != QL_PRIVATEDEVMODE_SIGNATURE) return -1;
    return static_cast<ptrdiff_t>(offset);
}

bool HasExtension(const DEVMODEW* pDevmode, size_t cbDevmode) {
    if (TrailerOffset(pDevmode, cbDevmode) < 0) return false;
    const BYTE* pb = reinterpret_cast<const BYTE*>(pDevmode);
    if (ReadWord(pb, offsetof(DEVMODEW, dmSize)) != QL_DEVMODE_PUBLIC_SIZE) return false;
    if (ReadWord(pb, offsetof(DEVMODEW, dmDriverExtra)) < QL_DEVMODE_DRIVER_EXTRA) return false;
    // dmSize 220 and dmDriverExtra >= 1032 put the whole extension inside the
    // block, ahead of the trailer.
    const BYTE* pExt = pb + QL_DEVMODE_PUBLIC_SIZE;
    if (ReadDword(pExt, offsetof(PRIVATEDEVMODEEXT, dwSize)) < QL_DEVMODE_EXT_SIZE) return false;
    return ReadDword(pExt, offsetof(PRIVATEDEVMODEEXT, dwSignature)) == QL_PRIVATEDEVMODEEXT_SIGNATURE;
}

} // namespace

const PRIVATEDEVMODE* FindPrivateDevmode(const DEVMODEW* pDevmode, size_t cbDevmode) {
    const ptrdiff_t offset = TrailerOffset(pDevmode, cbDevmode);
    if (offset < 0) return nullptr;
    return reinterpret_cast<const PRIVATEDEVMODE*>(reinterpret_cast<const BYTE*>(pDevmode) + offset);
}

PRIVATEDEVMODE* FindPrivateDevmode(DEVMODEW* pDevmode, size_t cbDevmode) {
    return const_cast<PRIVATEDEVMODE*>(FindPrivateDevmode(static_cast<const DEVMODEW*>(pDevmode), cbDevmode));
}

const PRIVATEDEVMODEEXT* FindDevmodeExtension(const DEVMODEW* pDevmode, size_t cbDevmode) {
    if (!HasExtension(pDevmode, cbDevmode)) return nullptr;
    return reinterpret_cast<const PRIVATEDEVMODEEXT*>(reinterpret_cast<const BYTE*>(pDevmode) +
                                                      QL_DEVMODE_PUBLIC_SIZE);
}

PRIVATEDEVMODEEXT* FindDevmodeExtension(DEVMODEW* pDevmode, size_t cbDevmode) {
    return const_cast<PRIVATEDEVMODEEXT*>(FindDevmodeExtension(static_cast<const DEVMODEW*>(pDevmode), cbDevmode));
}

// ---- value tables ---------------------------------------------------------------------

const DEVMODEVALUETEXT g_aPunchingText[] = {
    {1, WSTR("Left Edge Punch")},   {2, WSTR("Right Edge Punch")}, {3, WSTR("Top Edge Punch")},
    {4, WSTR("Bottom Edge Punch")}, {0, WSTR("No Punch")},         {0, WSTR("")},
};

const DEVMODEVALUETEXT g_aDocStapleText[] = {
    {1, WSTR("Top-Left Staple")},    {2, WSTR("Top-Right Staple")}, {3, WSTR("Bottom-Left Staple")},
    {4, WSTR("Bottom-Right Staple")}, {5, WSTR("Dual Left Staple")}, {6, WSTR("Dual Right Staple")},
    {7, WSTR("Dual Top Staple")},    {8, WSTR("Dual Bottom Staple")}, {9, WSTR("SaddleStich Staple")},
    {0, WSTR("No Staple")},          {0, WSTR("")},
};

const DEVMODEVALUETEXT g_aDocumentBindingText[] = {
    {1, WSTR("Bottom Binding")},
    {2, WSTR("Left Binding")},
    {3, WSTR("Right Binding")},
    {4, WSTR("Top Binding")},
    {5, WSTR("Booklet Binding")},
    {6, WSTR("Edge Stich Bottom Binding")},
    {7, WSTR("Edge Stich Left Binding")},
    {8, WSTR("Edge Stich Right Binding")},
    {9, WSTR("Edge Stich Top Binding")},
    {10, WSTR("Fold Binding")},
    {11, WSTR("Jogoffset Binding")},
    {12, WSTR("Trim Binding")},
    {13, WSTR("Bale Binding")},
    {0, WSTR("No Binding")},
    {0, WSTR("")},
};

const DEVMODEVALUETEXT g_aPresentationDirectionText[] = {
    {2, WSTR("Bottom-Right Direction")}, {3, WSTR("Left-Bottom Direction")}, {4, WSTR("Bottom-Left Direction")},
    {5, WSTR("Right-Top Direction")},    {6, WSTR("Top-Right Direction")},   {7, WSTR("Left-Top Direction")},
    {8, WSTR("Top-Left Direction")},     {1, WSTR("Right-Bottom Direction")}, {0, WSTR("")},
};

const DEVMODEVALUETEXT g_aSheetsPerPageText[] = {
    {0, WSTR("Undefined Pages per Sheet")}, {1, WSTR("1 Page per Sheet")},  {2, WSTR("2 Pages per Sheet")},
    {3, WSTR("4 Pages per Sheet")},         {4, WSTR("6 Pages per Sheet")}, {5, WSTR("8 Pages per Sheet")},
    {6, WSTR("9 Pages per Sheet")},         {7, WSTR("16 Pages per Sheet")}, {0, WSTR("")},
};

LPCWSTR DevmodeValueText(const DEVMODEVALUETEXT* pTable, DWORD dwValue) {
    for (const DEVMODEVALUETEXT* pRow = pTable; pRow->pszText[0]; ++pRow) {
        if (pRow->dwValue == dwValue) return pRow->pszText;
    }
    return pTable[0].pszText;
}

// ---- flags text -------------------------------------------------------------------------

namespace {

LPCWSTR FlagName(DWORD dwBit) {
    switch (dwBit) {
    case QL_PREVIEW_ON_CLIENT: return WSTR("QL_PREVIEW_ON_CLIENT");
    case QL_SHOW_CONFIG_DLG: return WSTR("QL_SHOW_CONFIG_DLG");
    case QL_DM_IMGAREA: return WSTR("QL_DM_IMGAREA");
    case QL_DONT_RESIZE: return WSTR("QL_DONT_RESIZE");
    case QL_DONT_MOVE: return WSTR("QL_DONT_MOVE");
    case QL_IGNORE_TRAYS: return WSTR("QL_IGNORE_TRAYS");
    case QL_MAX_PRIVUNI_SIZE: return WSTR("QL_MAX_PRIVUNI_SIZE");
    default: return WSTR("<UNKNOWN FLAG>");
    }
}

} // namespace

LPWSTR DevmodeFlagsText(DWORD dwFlags, LPWSTR pszBuffer, size_t cchBuffer) {
    if (!pszBuffer || !cchBuffer) return pszBuffer;
    pszBuffer[0] = 0;
    if (dwFlags == 0) {
        PalFormatW(pszBuffer, cchBuffer, WSTR("QL_NO_DWFLAG(0x%x)"), 0u);
        return pszBuffer;
    }
    size_t cch = 0;
    for (DWORD dwBit = 0x1; dwBit && dwBit <= 0x40000000u; dwBit <<= 1) {
        if (!(dwFlags & dwBit)) continue;
        if (cch + 1 >= cchBuffer) break;
        cch += PalFormatW(pszBuffer + cch, cchBuffer - cch, WSTR(" %s(0x%x)"), FlagName(dwBit), dwBit);
    }
    return pszBuffer;
}

// ---- extension dump ---------------------------------------------------------------------

namespace {

LPCWSTR Mark(DWORD dwFields, DWORD dwBit) { return (dwFields & dwBit) ? WSTR(">>") : WSTR("--"); }

// An 8-bit text field as a terminated string, cut at the field's end.
template <size_t N>
struct BoundedText {
    explicit BoundedText(const char (&field)[N]) {
        std::memcpy(sz, field, N);
        sz[N] = 0;
    }
    char sz[N + 1];
};

void LogNumber(LPCWSTR pszMark, LPCWSTR pszPrefix, LPCWSTR pszName, DWORD dwValue) {
    QLLOG(LOG_TRC, WSTR("%s%s %s: %lu (0x%lx)"), pszMark, pszPrefix, pszName, dwValue, dwValue);
}

void LogEnum(LPCWSTR pszMark, LPCWSTR pszPrefix, LPCWSTR pszName, DWORD dwValue, const DEVMODEVALUETEXT* pTable) {
    QLLOG(LOG_TRC, WSTR("%s%s %s: %lu (0x%lx), [%s]"), pszMark, pszPrefix, pszName, dwValue, dwValue,
          DevmodeValueText(pTable, dwValue));
}

} // namespace

void PrintDevmodeExtension(LPCWSTR pszPrefix, const DEVMODEW* pDevmode) {
    if (!g_dwDebugLevel) return;
    if (!pszPrefix) pszPrefix = WSTR("");
    const PRIVATEDEVMODEEXT* pExt = FindDevmodeExtension(pDevmode);
    if (!pExt) {
        QLLOG(LOG_TRC, WSTR("Quillon(c) private *devmode extension part* NOT found\n"));
        return;
    }
    // A packed record: copy it whole so every field reads aligned.
    PRIVATEDEVMODEEXT ext;
    std::memcpy(&ext, pExt, sizeof(ext));
    const DWORD f = ext.dwFields;
    QLLOG(LOG_TRC, WSTR("Quillon(c) private *devmode extension part* found: [dwFields = 0x%x]"), f);

    QLLOG(LOG_TRC, WSTR("%s%s %s:"), Mark(f, QL_EDF_MASK_PIN), pszPrefix, WSTR("lpszPIN"));
    QLLOG_HEX(ext.lpszPIN, sizeof(ext.lpszPIN));
    QLLOG(LOG_TRC, WSTR("%s%s %s: '%S'"), Mark(f, QL_EDF_MASK_FAX), pszPrefix, WSTR("lpszFax"),
          BoundedText<QL_FAX_SIZE>(ext.lpszFax).sz);
    LogEnum(Mark(f, QL_EDF_MASK_PUNCHING), pszPrefix, WSTR("uPunching"), ext.uPunching, g_aPunchingText);
    LogEnum(Mark(f, QL_EDF_MASK_STAPLING), pszPrefix, WSTR("STAPLING.uDocStaple"), ext.STAPLING.uDocStaple,
            g_aDocStapleText);
    LogNumber(Mark(f, QL_EDF_MASK_SHEETCAPACITY), pszPrefix, WSTR("STAPLING.dwSheetCapacity"),
              ext.STAPLING.dwSheetCapacity);
    LogNumber(Mark(f, QL_EDF_MASK_STAPLEANGLE), pszPrefix, WSTR("STAPLING.uAngle"), ext.STAPLING.uAngle);
    LogEnum(Mark(f, QL_EDF_MASK_BINDING), pszPrefix, WSTR("BINDING.uDocumentBinding"), ext.BINDING.uDocumentBinding,
            g_aDocumentBindingText);
    LogNumber(Mark(f, QL_EDF_MASK_GUTTER), pszPrefix, WSTR("BINDING.dwBindingGutter"), ext.BINDING.dwBindingGutter);
    LogEnum(Mark(f, QL_EDF_MASK_NUPDIRECTION), pszPrefix, WSTR("NUP.uPresentationDirection"),
            ext.NUP.uPresentationDirection, g_aPresentationDirectionText);
    LogEnum(Mark(f, QL_EDF_MASK_NUPSHEETS), pszPrefix, WSTR("NUP.uSheetsPerPage"), ext.NUP.uSheetsPerPage,
            g_aSheetsPerPageText);
    const LPCWSTR pszCompr = Mark(f, QL_EDF_MASK_COMPRESSION);
    LogNumber(pszCompr, pszPrefix, WSTR("dwBitmapDPIReduction"), ext.dwBitmapDPIReduction);
    LogNumber(pszCompr, pszPrefix, WSTR("dwCompressionRule_0"), ext.dwCompressionRule_0);
    LogNumber(pszCompr, pszPrefix, WSTR("dwCompressionRule_1"), ext.dwCompressionRule_1);
    LogNumber(pszCompr, pszPrefix, WSTR("dwCompressionRule_2"), ext.dwCompressionRule_2);
    LogNumber(pszCompr, pszPrefix, WSTR("dwCompressionRule_3"), ext.dwCompressionRule_3);
    const LPCWSTR pszPtr = Mark(f, QL_EDF_MASK_PTR);
    QLLOG(LOG_TRC, WSTR("%s%s %s: '%S'"), pszPtr, pszPrefix, WSTR("lpszPTREmail"),
          BoundedText<QL_PTR_EMAIL_SIZE>(ext.lpszPTREmail).sz);
    QLLOG(LOG_TRC, WSTR("%s%s %s:"), pszPtr, pszPrefix, WSTR("arrPTRPasswd"));
    QLLOG_HEX(ext.arrPTRPasswd, sizeof(ext.arrPTRPasswd));
    // The local copy held the secrets; leave nothing of them on the stack.
    volatile BYTE* pWipe = reinterpret_cast<volatile BYTE*>(&ext);
    for (size_t i = 0; i < sizeof(ext); ++i) pWipe[i] = 0;
}

// ---- whole devmode dump -------------------------------------------------------------------

namespace {

// dmFields bits of the fields past dmFormName (Windows values).
constexpr DWORD kDmLogPixels = 0x00020000;
constexpr DWORD kDmBitsPerPel = 0x00040000;
constexpr DWORD kDmPelsWidth = 0x00080000;
constexpr DWORD kDmPelsHeight = 0x00100000;
constexpr DWORD kDmNup = 0x00000040;
constexpr DWORD kDmDisplayFrequency = 0x00400000;
constexpr DWORD kDmIcmMethod = 0x00800000;
constexpr DWORD kDmIcmIntent = 0x01000000;
constexpr DWORD kDmMediaType = 0x02000000;
constexpr DWORD kDmDitherType = 0x04000000;

enum class FieldKind { Header, Flagged, Text };

struct FieldDesc {
    LPCWSTR pszName;
    size_t offset;
    size_t width;
    FieldKind kind;
    DWORD dwBit;  // DM_ bit of a flagged or text field
};

#define QL_FIELD(name, kind, bit) {WSTR(#name), offsetof(DEVMODEW, name), sizeof(DEVMODEW::name), kind, bit}

// Every public field from dmDeviceName to dmReserved2 in layout order; the
// two panning fields are left out. The union at offset 76 is shown with its
// printer members, the one at 188 as dmNup.
const FieldDesc kFields[] = {
    QL_FIELD(dmDeviceName, FieldKind::Text, 0),
    QL_FIELD(dmSpecVersion, FieldKind::Header, 0),
    QL_FIELD(dmDriverVersion, FieldKind::Header, 0),
    QL_FIELD(dmSize, FieldKind::Header, 0),
    QL_FIELD(dmDriverExtra, FieldKind::Header, 0),
    QL_FIELD(dmFields, FieldKind::Header, 0),
    QL_FIELD(dmOrientation, FieldKind::Flagged, DM_ORIENTATION),
    QL_FIELD(dmPaperSize, FieldKind::Flagged, DM_PAPERSIZE),
    QL_FIELD(dmPaperLength, FieldKind::Flagged, DM_PAPERLENGTH),
    QL_FIELD(dmPaperWidth, FieldKind::Flagged, DM_PAPERWIDTH),
    QL_FIELD(dmScale, FieldKind::Flagged, DM_SCALE),
    QL_FIELD(dmCopies, FieldKind::Flagged, DM_COPIES),
    QL_FIELD(dmDefaultSource, FieldKind::Flagged, DM_DEFAULTSOURCE),
    QL_FIELD(dmPrintQuality, FieldKind::Flagged, DM_PRINTQUALITY),
    QL_FIELD(dmColor, FieldKind::Flagged, DM_COLOR),
    QL_FIELD(dmDuplex, FieldKind::Flagged, DM_DUPLEX),
    QL_FIELD(dmYResolution, FieldKind::Flagged, DM_YRESOLUTION),
    QL_FIELD(dmTTOption, FieldKind::Flagged, DM_TTOPTION),
    QL_FIELD(dmCollate, FieldKind::Flagged, DM_COLLATE),
    QL_FIELD(dmFormName, FieldKind::Text, DM_FORMNAME),
    QL_FIELD(dmLogPixels, FieldKind::Flagged, kDmLogPixels),
    QL_FIELD(dmBitsPerPel, FieldKind::Flagged, kDmBitsPerPel),
    QL_FIELD(dmPelsWidth, FieldKind::Flagged, kDmPelsWidth),
    QL_FIELD(dmPelsHeight, FieldKind::Flagged, kDmPelsHeight),
    QL_FIELD(dmNup, FieldKind::Flagged, kDmNup),
    QL_FIELD(dmDisplayFrequency, FieldKind::Flagged, kDmDisplayFrequency),
    QL_FIELD(dmICMMethod, FieldKind::Flagged, kDmIcmMethod),
    QL_FIELD(dmICMIntent, FieldKind::Flagged, kDmIcmIntent),
    QL_FIELD(dmMediaType, FieldKind::Flagged, kDmMediaType),
    QL_FIELD(dmDitherType, FieldKind::Flagged, kDmDitherType),
    QL_FIELD(dmReserved1, FieldKind::Header, 0),
    QL_FIELD(dmReserved2, FieldKind::Header, 0),
};

#undef QL_FIELD

static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmColor) == 92);
static_assert(offsetof(DEVMODEW, dmCollate) == 100);
static_assert(offsetof(DEVMODEW, dmLogPixels) == 166);
static_assert(offsetof(DEVMODEW, dmNup) == 180);
static_assert(offsetof(DEVMODEW, dmReserved2) == 208);
static_assert(offsetof(DEVMODEW, dmPanningWidth) == 212);

// A field's value as a signed number: short fields keep their sign (a print
// quality of -2 shows as "-2 (0xfffffffe)"), word fields stay unsigned.
int FieldValue(const BYTE* pb, const FieldDesc& field) {
    switch (field.width) {
    case 2: {
        WORD w;
        std::memcpy(&w, pb + field.offset, 2);
        return field.kind == FieldKind::Flagged ? static_cast<short>(w) : static_cast<int>(w);
    }
    default: {
        DWORD dw;
        std::memcpy(&dw, pb + field.offset, 4);
        return static_cast<int>(dw);
    }
    }
}

} // namespace

void PrintDEVMODE(const DEVMODEW* pDevmode, DWORD dmSize, LPCWSTR pszLabel) {
    if (!g_dwDebugLevel) return;
    if (!pszLabel) pszLabel = WSTR("");
    if (!pDevmode) {
        QLLOG(LOG_ERR, WSTR("..%s: Call PrintDEVMODE with NULL pinter"), pszLabel);
        return;
    }
    const BYTE* pb = reinterpret_cast<const BYTE*>(pDevmode);
    // Only the header up to dmDriverExtra is guaranteed; dmFields counts as
    // empty when dmSize does not reach it.
    const DWORD dwFields =
        dmSize >= offsetof(DEVMODEW, dmFields) + sizeof(DWORD) ? ReadDword(pb, offsetof(DEVMODEW, dmFields)) : 0;

    for (const FieldDesc& field : kFields) {
        // A field is printed only when dmSize reaches past its last byte.
        if (dmSize <= field.offset + field.width - 1) {
            QLLOG(LOG_TRC, WSTR("!!%s: %s not in devmode of size %lu (offset %d, width %d)"), pszLabel,
                  field.pszName, dmSize, static_cast<int>(field.offset), static_cast<int>(field.width));
            continue;
        }
        // Header fields and the device name have no dmFields bit: always ">>".
        const LPCWSTR pszMark = (!field.dwBit || (dwFields & field.dwBit)) ? WSTR(">>") : WSTR("--");
        if (field.kind == FieldKind::Text) {
            WCHAR szText[CCHFORMNAME + 1] = {};
            static_assert(CCHFORMNAME == CCHDEVICENAME);
            std::memcpy(szText, pb + field.offset, CCHFORMNAME * sizeof(WCHAR));
            QLLOG(LOG_TRC, WSTR("%s%s: %s: '%s'"), pszMark, pszLabel, field.pszName, szText);
        } else {
            const int nValue = FieldValue(pb, field);
            QLLOG(LOG_TRC, WSTR("%s%s: %s: %d (0x%x)"), pszMark, pszLabel, field.pszName, nValue,
                  static_cast<unsigned>(nValue));
        }
    }

    PrintDevmodeExtension(WSTR("\t"), pDevmode);

    if (const PRIVATEDEVMODE* pPriv = FindPrivateDevmode(pDevmode)) {
        const DWORD dwFlags = ReadDword(reinterpret_cast<const BYTE*>(pPriv), offsetof(PRIVATEDEVMODE, dwFlags));
        QLLOG(LOG_TRC, WSTR("Quillon(c) private *devmode* found: dwFlags = 0x%x"), dwFlags);
        WCHAR szFlags[DEVMODE_FLAGS_TEXT_CCH];
        QLLOG(LOG_TRC, WSTR("%s"), DevmodeFlagsText(dwFlags, szFlags, DEVMODE_FLAGS_TEXT_CCH));
    }
}

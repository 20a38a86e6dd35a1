// The gateway driver's private device mode: the 8-byte trailer "QLPD" at the
// end of the driver-private area, the 527-byte extension "QLEX" at its start,
// the finders for both, the value tables of the enumerated extension fields
// and the debug dump of a whole device mode.
//
// A device mode block is untrusted input. Every finder and the dump read only
// inside the block the device mode describes: its public part of dmSize bytes
// followed by dmDriverExtra private bytes. The caller guarantees that the
// block holds at least the header up to and including dmDriverExtra (72
// bytes) and, unless it passes the block's real size as cbDevmode, that it
// holds dmSize + dmDriverExtra bytes in all. When cbDevmode is given, a block
// that claims more bytes than that has no trailer and no extension.
#pragma once
#include "palwin.h"

#include <cstddef>
#include <cstdint>

// ---- sizes of the gateway driver's device mode ------------------------------------
constexpr WORD QL_DEVMODE_PUBLIC_SIZE = 220;     // dmSize (dmSpecVersion 0x401)
constexpr WORD QL_DEVMODE_DRIVER_EXTRA = 1032;   // dmDriverExtra
constexpr DWORD QL_DEVMODE_SIZE = 1252;          // whole block
constexpr DWORD QL_DEVMODE_EXT_SIZE = 527;       // PRIVATEDEVMODEEXT
constexpr DWORD QL_DEVMODE_TRAILER_SIZE = 8;     // PRIVATEDEVMODE
constexpr DWORD QL_DEVMODE_TRAILER_OFFSET = QL_DEVMODE_SIZE - QL_DEVMODE_TRAILER_SIZE;  // 1244

// A block size that is not known; the finders then trust the header.
constexpr size_t QL_DEVMODE_SIZE_UNKNOWN = SIZE_MAX;

// Signatures, as the four bytes "QLPD" / "QLEX" read as a little-endian u32.
constexpr DWORD QL_FOURCC(char a, char b, char c, char d) {
    return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}
constexpr DWORD QL_PRIVATEDEVMODE_SIGNATURE = QL_FOURCC('Q', 'L', 'P', 'D');
constexpr DWORD QL_PRIVATEDEVMODEEXT_SIGNATURE = QL_FOURCC('Q', 'L', 'E', 'X');

// ---- PRIVATEDEVMODE.dwFlags -----------------------------------------------------------
constexpr DWORD QL_PREVIEW_ON_CLIENT = 0x1;   // preview on the client; carried through
constexpr DWORD QL_SHOW_CONFIG_DLG = 0x2;     // show the configuration dialog; carried through
constexpr DWORD QL_DM_IMGAREA = 0x4;          // public offsets 184/186 hold the printable area
constexpr DWORD QL_DONT_RESIZE = 0x8;         // native printing must not resize pages
constexpr DWORD QL_DONT_MOVE = 0x10;          // native printing must not move pages
constexpr DWORD QL_IGNORE_TRAYS = 0x20;       // paper trays are ignored
constexpr DWORD QL_MAX_PRIVUNI_SIZE = 0x400;  // carried through

// ---- PRIVATEDEVMODEEXT.dwFields: which extension fields are valid ---------------------
constexpr DWORD QL_EDF_MASK_PIN = 0x1;
constexpr DWORD QL_EDF_MASK_FAX = 0x2;
constexpr DWORD QL_EDF_MASK_PUNCHING = 0x4;
constexpr DWORD QL_EDF_MASK_STAPLING = 0x8;
constexpr DWORD QL_EDF_MASK_SHEETCAPACITY = 0x10;
constexpr DWORD QL_EDF_MASK_STAPLEANGLE = 0x20;
constexpr DWORD QL_EDF_MASK_BINDING = 0x40;
constexpr DWORD QL_EDF_MASK_GUTTER = 0x80;
constexpr DWORD QL_EDF_MASK_NUPSHEETS = 0x100;
constexpr DWORD QL_EDF_MASK_NUPDIRECTION = 0x200;
constexpr DWORD QL_EDF_MASK_COMPRESSION = 0x400;  // the four rules and the DPI reduction
constexpr DWORD QL_EDF_MASK_PTR = 0x800;          // Print-To-Remote e-mail and password

constexpr size_t QL_PIN_SIZE = 64;
constexpr size_t QL_FAX_SIZE = 32;
constexpr size_t QL_PTR_EMAIL_SIZE = 256;
constexpr size_t QL_PTR_PASSWD_SIZE = 128;

#pragma pack(push, 1)

// The trailer in the last 8 bytes of the private area.
typedef struct _PRIVATEDEVMODE {
    DWORD dwSignature;  // "QLPD"
    DWORD dwFlags;      // QL_* behaviour flags
} PRIVATEDEVMODE, *PPRIVATEDEVMODE;

typedef struct _QL_STAPLING {
    BYTE uDocStaple;
    DWORD dwSheetCapacity;
    WORD uAngle;
} QL_STAPLING;

typedef struct _QL_BINDING {
    BYTE uDocumentBinding;
    DWORD dwBindingGutter;
} QL_BINDING;

typedef struct _QL_NUP {
    BYTE uPresentationDirection;
    BYTE uSheetsPerPage;  // a code, not the count (see the value table)
} QL_NUP;

// The extension at the start of the private area (devmode offset 220).
typedef struct _PRIVATEDEVMODEEXT {
    DWORD dwSignature;  // "QLEX"
    DWORD dwSize;       // 527
    DWORD dwFields;     // QL_EDF_MASK_* bits of the valid fields
    BYTE lpszPIN[QL_PIN_SIZE];  // user secret: raw bytes, only ever hex-dumped
    char lpszFax[QL_FAX_SIZE];  // 8-bit text, NUL-terminated when valid
    BYTE uPunching;
    QL_STAPLING STAPLING;
    QL_BINDING BINDING;
    QL_NUP NUP;
    DWORD dwCompressionRule_0;
    DWORD dwCompressionRule_1;
    DWORD dwCompressionRule_2;
    DWORD dwCompressionRule_3;
    DWORD dwBitmapDPIReduction;
    char lpszPTREmail[QL_PTR_EMAIL_SIZE];        // 8-bit text, NUL-terminated when valid
    BYTE arrPTRPasswd[QL_PTR_PASSWD_SIZE];       // user secret: raw bytes, only ever hex-dumped
} PRIVATEDEVMODEEXT, *PPRIVATEDEVMODEEXT;

#pragma pack(pop)

static_assert(sizeof(PRIVATEDEVMODE) == 8);
static_assert(offsetof(PRIVATEDEVMODE, dwSignature) == 0);
static_assert(offsetof(PRIVATEDEVMODE, dwFlags) == 4);
static_assert(sizeof(QL_STAPLING) == 7 && sizeof(QL_BINDING) == 5 && sizeof(QL_NUP) == 2);
static_assert(sizeof(PRIVATEDEVMODEEXT) == 527);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwSignature) == 0);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwSize) == 4);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwFields) == 8);
static_assert(offsetof(PRIVATEDEVMODEEXT, lpszPIN) == 12);
static_assert(offsetof(PRIVATEDEVMODEEXT, lpszFax) == 76);
static_assert(offsetof(PRIVATEDEVMODEEXT, uPunching) == 108);
static_assert(offsetof(PRIVATEDEVMODEEXT, STAPLING) + offsetof(QL_STAPLING, uDocStaple) == 109);
static_assert(offsetof(PRIVATEDEVMODEEXT, STAPLING) + offsetof(QL_STAPLING, dwSheetCapacity) == 110);
static_assert(offsetof(PRIVATEDEVMODEEXT, STAPLING) + offsetof(QL_STAPLING, uAngle) == 114);
static_assert(offsetof(PRIVATEDEVMODEEXT, BINDING) + offsetof(QL_BINDING, uDocumentBinding) == 116);
static_assert(offsetof(PRIVATEDEVMODEEXT, BINDING) + offsetof(QL_BINDING, dwBindingGutter) == 117);
static_assert(offsetof(PRIVATEDEVMODEEXT, NUP) + offsetof(QL_NUP, uPresentationDirection) == 121);
static_assert(offsetof(PRIVATEDEVMODEEXT, NUP) + offsetof(QL_NUP, uSheetsPerPage) == 122);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_0) == 123);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_1) == 127);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_2) == 131);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_3) == 135);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwBitmapDPIReduction) == 139);
static_assert(offsetof(PRIVATEDEVMODEEXT, lpszPTREmail) == 143);
static_assert(offsetof(PRIVATEDEVMODEEXT, arrPTRPasswd) == 399);
static_assert(QL_DEVMODE_PUBLIC_SIZE + sizeof(PRIVATEDEVMODEEXT) <= QL_DEVMODE_TRAILER_OFFSET);
static_assert(QL_DEVMODE_PUBLIC_SIZE + QL_DEVMODE_DRIVER_EXTRA == QL_DEVMODE_SIZE);

// ---- finders ------------------------------------------------------------------------
// The trailer at devmode offset dmSize + dmDriverExtra - 8, when dmDriverExtra
// is at least 8 and the signature "QLPD" stands there; null otherwise. dmSize
// may be anything. The result may be unaligned: read it as a packed record.
const PRIVATEDEVMODE* FindPrivateDevmode(const DEVMODEW* pDevmode, size_t cbDevmode = QL_DEVMODE_SIZE_UNKNOWN);
PRIVATEDEVMODE* FindPrivateDevmode(DEVMODEW* pDevmode, size_t cbDevmode = QL_DEVMODE_SIZE_UNKNOWN);

// The extension at devmode offset 220, when dmSize is 220, dmDriverExtra is at
// least 1032, the trailer is present, the extension's dwSize is at least 527
// and its signature is "QLEX"; null otherwise.
const PRIVATEDEVMODEEXT* FindDevmodeExtension(const DEVMODEW* pDevmode,
                                              size_t cbDevmode = QL_DEVMODE_SIZE_UNKNOWN);
PRIVATEDEVMODEEXT* FindDevmodeExtension(DEVMODEW* pDevmode, size_t cbDevmode = QL_DEVMODE_SIZE_UNKNOWN);

// ---- value tables ---------------------------------------------------------------------
// (value, text) rows ending with a row of empty text.
struct DEVMODEVALUETEXT {
    DWORD dwValue;
    LPCWSTR pszText;
};
extern const DEVMODEVALUETEXT g_aPunchingText[];
extern const DEVMODEVALUETEXT g_aDocStapleText[];
extern const DEVMODEVALUETEXT g_aDocumentBindingText[];
extern const DEVMODEVALUETEXT g_aPresentationDirectionText[];
extern const DEVMODEVALUETEXT g_aSheetsPerPageText[];

// The text of a value; a value not in the table gets the first row's text.
LPCWSTR DevmodeValueText(const DEVMODEVALUETEXT* pTable, DWORD dwValue);

// ---- debug dump -----------------------------------------------------------------------
// Characters DevmodeFlagsText may need, terminator included.
constexpr size_t DEVMODE_FLAGS_TEXT_CCH = 1024;

// " NAME(0x..)" for every set bit from 0x1 to 0x40000000, or
// "QL_NO_DWFLAG(0x0)" for no flags. Returns pszBuffer (always terminated).
LPWSTR DevmodeFlagsText(DWORD dwFlags, LPWSTR pszBuffer, size_t cchBuffer = DEVMODE_FLAGS_TEXT_CCH);

// Writes the extension, field by field, to the debug log. The PIN and the
// Print-To-Remote password appear only as hex dumps.
void PrintDevmodeExtension(LPCWSTR pszPrefix, const DEVMODEW* pDevmode);

// Writes the public fields of a device mode to the debug log, each only when
// dmSize covers it, then the extension and the trailer flags; only when
// logging is enabled.
void PrintDEVMODE(const DEVMODEW* pDevmode, DWORD dmSize, LPCWSTR pszLabel);

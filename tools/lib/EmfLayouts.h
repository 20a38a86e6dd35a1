// The EMF record types and layouts the tools write and read, declared with
// their Windows field names (tools run on Linux only and do not see the SDK's
// declarations).
#pragma once
#include <cstddef>
#include <cstdint>

namespace qltools {

// ---- EMF record types used here ----------------------------------------------------
constexpr uint32_t EMR_HEADER = 1;
constexpr uint32_t EMR_EOF = 14;
constexpr uint32_t EMR_SELECTOBJECT = 37;
constexpr uint32_t EMR_DELETEOBJECT = 40;
constexpr uint32_t EMR_STRETCHDIBITS = 81;
constexpr uint32_t EMR_EXTCREATEFONTINDIRECTW = 82;
constexpr uint32_t EMR_EXTTEXTOUTW = 84;
// The print processor's private bitmap record types (same size as the
// EMR_STRETCHDIBITS record they replace).
constexpr uint32_t EMR_COMPRESSEDDIBITS = 0x8000;
constexpr uint32_t EMR_DELETEDDIBITS = 0x8001;
constexpr uint32_t EMR_CACHEDDIBITS = 0x8002;

constexpr uint32_t ENHMETA_SIGNATURE = 0x464D4520;  // " EMF"
constexpr uint32_t SRCCOPY_ROP = 0x00CC0020;

#pragma pack(push, 4)
struct EmfRectL {
    int32_t left, top, right, bottom;
};
struct EmfSizeL {
    int32_t cx, cy;
};
struct EmfPointL {
    int32_t x, y;
};

// ENHMETAHEADER with the OpenGL and micrometre extensions.
struct EmfHeader {
    uint32_t iType;
    uint32_t nSize;
    EmfRectL rclBounds;
    EmfRectL rclFrame;
    uint32_t dSignature;
    uint32_t nVersion;
    uint32_t nBytes;
    uint32_t nRecords;
    uint16_t nHandles;
    uint16_t sReserved;
    uint32_t nDescription;
    uint32_t offDescription;
    uint32_t nPalEntries;
    EmfSizeL szlDevice;
    EmfSizeL szlMillimeters;
    uint32_t cbPixelFormat;
    uint32_t offPixelFormat;
    uint32_t bOpenGL;
    EmfSizeL szlMicrometers;
};

// EMRSTRETCHDIBITS, the 80-byte fixed part.
struct EmfStretchDIBits {
    uint32_t iType;
    uint32_t nSize;
    EmfRectL rclBounds;
    int32_t xDest, yDest, xSrc, ySrc, cxSrc, cySrc;
    uint32_t offBmiSrc, cbBmiSrc, offBitsSrc, cbBitsSrc, iUsageSrc, dwRop;
    int32_t cxDest, cyDest;
};

struct EmfBitmapInfoHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};

struct EmfRgbQuad {
    uint8_t rgbBlue, rgbGreen, rgbRed, rgbReserved;
};

struct EmfLogFontW {
    int32_t lfHeight, lfWidth, lfEscapement, lfOrientation, lfWeight;
    uint8_t lfItalic, lfUnderline, lfStrikeOut, lfCharSet;
    uint8_t lfOutPrecision, lfClipPrecision, lfQuality, lfPitchAndFamily;
    char16_t lfFaceName[32];
};

// EMREXTCREATEFONTINDIRECTW as Windows writes it: ENUMLOGFONTEXDVW with an
// empty design vector.
struct EmfExtCreateFontIndirectW {
    uint32_t iType;
    uint32_t nSize;
    uint32_t ihFont;
    EmfLogFontW elfLogFont;
    char16_t elfFullName[64];
    char16_t elfStyle[32];
    char16_t elfScript[32];
    uint32_t dvSignature;
    uint32_t dvNumAxes;
};

struct EmfText {
    EmfPointL ptlReference;
    uint32_t nChars;
    uint32_t offString;
    uint32_t fOptions;
    EmfRectL rcl;
    uint32_t offDx;
};

// EMREXTTEXTOUTW, fixed part; the string and the advances follow.
struct EmfExtTextOutW {
    uint32_t iType;
    uint32_t nSize;
    EmfRectL rclBounds;
    uint32_t iGraphicsMode;
    float exScale;
    float eyScale;
    EmfText emrtext;
};

struct EmfObjectRecord {  // EMRSELECTOBJECT / EMRDELETEOBJECT
    uint32_t iType;
    uint32_t nSize;
    uint32_t ihObject;
};

struct EmfEof {
    uint32_t iType;
    uint32_t nSize;
    uint32_t nPalEntries;
    uint32_t offPalEntries;
    uint32_t nSizeLast;
};
#pragma pack(pop)

static_assert(sizeof(EmfHeader) == 108);
static_assert(offsetof(EmfHeader, rclFrame) == 24);
static_assert(offsetof(EmfHeader, dSignature) == 40);
static_assert(offsetof(EmfHeader, nBytes) == 48);
static_assert(offsetof(EmfHeader, nRecords) == 52);
static_assert(offsetof(EmfHeader, nHandles) == 56);
static_assert(offsetof(EmfHeader, szlDevice) == 72);
static_assert(offsetof(EmfHeader, szlMillimeters) == 80);
static_assert(offsetof(EmfHeader, szlMicrometers) == 100);
static_assert(sizeof(EmfStretchDIBits) == 80);
static_assert(offsetof(EmfStretchDIBits, xDest) == 24);
static_assert(offsetof(EmfStretchDIBits, cxSrc) == 40);
static_assert(offsetof(EmfStretchDIBits, offBmiSrc) == 48);
static_assert(offsetof(EmfStretchDIBits, cbBmiSrc) == 52);
static_assert(offsetof(EmfStretchDIBits, offBitsSrc) == 56);
static_assert(offsetof(EmfStretchDIBits, cbBitsSrc) == 60);
static_assert(offsetof(EmfStretchDIBits, iUsageSrc) == 64);
static_assert(offsetof(EmfStretchDIBits, cxDest) == 72);
static_assert(sizeof(EmfBitmapInfoHeader) == 40);
static_assert(offsetof(EmfBitmapInfoHeader, biHeight) == 8);
static_assert(offsetof(EmfBitmapInfoHeader, biBitCount) == 14);
static_assert(offsetof(EmfBitmapInfoHeader, biClrUsed) == 32);
static_assert(sizeof(EmfRgbQuad) == 4);
static_assert(sizeof(EmfLogFontW) == 92);
static_assert(offsetof(EmfLogFontW, lfWeight) == 16);
static_assert(offsetof(EmfLogFontW, lfItalic) == 20);
static_assert(offsetof(EmfLogFontW, lfFaceName) == 28);
static_assert(sizeof(EmfExtCreateFontIndirectW) == 368);
static_assert(offsetof(EmfExtCreateFontIndirectW, ihFont) == 8);
static_assert(offsetof(EmfExtCreateFontIndirectW, elfLogFont) == 12);
static_assert(offsetof(EmfExtCreateFontIndirectW, elfFullName) == 104);
static_assert(offsetof(EmfExtCreateFontIndirectW, dvSignature) == 360);
static_assert(sizeof(EmfText) == 40);
static_assert(sizeof(EmfExtTextOutW) == 76);
static_assert(offsetof(EmfExtTextOutW, iGraphicsMode) == 24);
static_assert(offsetof(EmfExtTextOutW, emrtext) == 36);
static_assert(offsetof(EmfExtTextOutW, emrtext) + offsetof(EmfText, nChars) == 44);
static_assert(offsetof(EmfExtTextOutW, emrtext) + offsetof(EmfText, offDx) == 72);
static_assert(sizeof(EmfObjectRecord) == 12);
static_assert(sizeof(EmfEof) == 20);

} // namespace qltools

// Writer of Enhanced Metafile pages for test jobs: EMR_HEADER with a chosen
// device size, EMR_STRETCHDIBITS with device-independent bitmaps of every
// depth, font creation and selection, wide text output and EMR_EOF, plus any
// record given as bytes. The record layouts are the Windows ones, declared
// here with their Windows field names (tools run on Linux only and do not see
// the SDK's declarations).
//
// Misuse (bad sizes, unsupported depths, source rectangles outside the
// bitmap) throws std::invalid_argument.
#pragma once

#include "tools/lib/SyntheticImages.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qltools {

static_assert(std::endian::native == std::endian::little, "the record writers copy little-endian structs");

// ---- little-endian helpers shared by the tool writers and readers ----------------
inline void AppendU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendBytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
template <typename T>
void AppendStruct(std::vector<uint8_t>& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}
inline void PadTo4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
inline void PutU32(std::span<uint8_t> bytes, size_t offset, uint32_t v) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("PutU32 past the end");
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Bounds-checked reads; the caller tests the range first or accepts the throw.
inline uint32_t GetU32(std::span<const uint8_t> bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) throw std::out_of_range("GetU32 past the end");
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}
inline uint16_t GetU16(std::span<const uint8_t> bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) throw std::out_of_range("GetU16 past the end");
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// UTF-8 (ASCII and the BMP; invalid bytes become U+FFFD) to UTF-16 code units.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

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

// ---- device-independent bitmaps ---------------------------------------------------
// A packed DIB: BITMAPINFOHEADER, colour table, and the pixel rows (each a
// multiple of 4 bytes, bottom-up unless topDown).
struct Dib {
    EmfBitmapInfoHeader header{};
    std::vector<EmfRgbQuad> colors;
    std::vector<uint8_t> bits;

    uint32_t Width() const { return static_cast<uint32_t>(header.biWidth); }
    uint32_t Height() const {
        return static_cast<uint32_t>(header.biHeight < 0 ? -static_cast<int64_t>(header.biHeight) : header.biHeight);
    }
    uint32_t BitCount() const { return header.biBitCount; }
    bool TopDown() const { return header.biHeight < 0; }
    // BITMAPINFOHEADER followed by the colour table.
    std::vector<uint8_t> BitmapInfo() const;
};

// Bytes of one DIB row: width * bpp bits rounded up to a multiple of 4 bytes.
uint32_t DibStride(uint32_t width, uint32_t bpp);

// Converts an RGB picture into a DIB of 1, 4, 8, 16 (5-5-5), 24 or 32 bits per
// pixel. 1 bpp uses black and white by luminance; 4 bpp the 16 standard VGA
// colours, nearest match; 8 bpp a 3-3-2 palette of 256 colours; 16, 24 and 32
// bpp carry no colour table. The result is bit for bit a function of the input.
Dib MakeDib(const RgbImage& image, uint32_t bpp, bool topDown);

// ---- the page writer ---------------------------------------------------------------
struct EmfPageOptions {
    int32_t devicePixelsX = 4960;  // A4 at 600 dpi
    int32_t devicePixelsY = 7016;
    int32_t millimetersX = 210;
    int32_t millimetersY = 297;
    std::u16string description;  // optional EMF description ("" = none)
};

// Source rectangle of a bitmap drawn by StretchDIBits; a zero size means the
// whole bitmap.
struct SourceRect {
    int32_t x = 0, y = 0, cx = 0, cy = 0;
};

class EmfBuilder {
public:
    explicit EmfBuilder(const EmfPageOptions& options = {});

    // EMR_STRETCHDIBITS of the whole DIB (or `source`, clipped) into the
    // destination rectangle at (x, y) of cx by cy device pixels.
    void StretchDIBits(const Dib& dib, int32_t x, int32_t y, int32_t cx, int32_t cy, SourceRect source = {});
    // EMR_EXTCREATEFONTINDIRECTW for `face` at `height` (logical units, as
    // lfHeight); returns the object index it creates.
    uint32_t CreateFont(std::u16string_view face, int32_t height, int32_t weight = 400, bool italic = false);
    void SelectObject(uint32_t index);
    void DeleteObject(uint32_t index);
    // EMR_EXTTEXTOUTW of `text` at (x, y), with an advance array.
    void TextOut(int32_t x, int32_t y, std::u16string_view text, int32_t advance = 0);
    // Any record: type and the bytes after the 8-byte record header (padded
    // to a multiple of 4).
    void Record(uint32_t type, std::span<const uint8_t> body);

    // Appends EMR_EOF, fills in the header's size, record and handle counts
    // and returns the page. The builder is empty afterwards.
    std::vector<uint8_t> Finish();

    uint32_t RecordCount() const { return m_records; }

private:
    void Begin();
    EmfPageOptions m_options;
    std::vector<uint8_t> m_bytes;
    uint32_t m_records = 0;
    uint32_t m_nextObject = 1;
    uint32_t m_maxObject = 0;
};

// One EMR_STRETCHDIBITS record of the whole DIB drawn at (0, 0) in its own
// size, as EmfBuilder::StretchDIBits writes it.
std::vector<uint8_t> MakeStretchDIBitsRecord(const Dib& dib);

// What a structural walk of an EMF found.
struct EmfCheck {
    bool ok = false;
    std::string problem;     // when !ok: what is wrong
    size_t problemOffset = 0;
    uint32_t records = 0;
    uint32_t headerBytes = 0;  // nBytes of the EMR_HEADER
};

// Walks an EMF's records: first EMR_HEADER with the " EMF" signature, every
// record at least 8 bytes, a multiple of 4 and inside the data, up to EMR_EOF
// or the end of the data. Never reads outside `data`.
EmfCheck CheckEmf(std::span<const uint8_t> data);

} // namespace qltools

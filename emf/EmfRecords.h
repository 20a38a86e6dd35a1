// Layouts of the EMF records the spool transformation reads and rewrites.
//
// Records sit in page buffers at whatever offset the spool data put them, so
// the code never dereferences a record pointer as one of these structures: it
// copies the fixed part into a local with LoadRecord, changes it and writes it
// back with StoreRecord. The structures only fix the layout.
#pragma once
#include "palwin.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr DWORD EMR_HEADER_TYPE = 1;
constexpr DWORD EMR_STRETCHDIBITS_TYPE = 81;
constexpr DWORD EMR_EXTCREATEFONTINDIRECTW_TYPE = 82;

// Private record types written in place of EMR_STRETCHDIBITS; all keep nSize.
constexpr DWORD EMR_COMPRESSEDDIBITS = 0x8000;
constexpr DWORD EMR_DELETEDDIBITS = 0x8001;
constexpr DWORD EMR_CACHEDDIBITS = 0x8002;

// Every EMF record starts with these two fields.
constexpr DWORD EMR_RECORD_HEADER_SIZE = 8;

// The fixed part of EMR_STRETCHDIBITS.
struct StretchDIBitsRecord {
    DWORD iType;
    DWORD nSize;
    RECTL rclBounds;
    LONG xDest;
    LONG yDest;
    LONG xSrc;
    LONG ySrc;
    LONG cxSrc;
    LONG cySrc;
    DWORD offBmiSrc;
    DWORD cbBmiSrc;
    DWORD offBitsSrc;
    DWORD cbBitsSrc;
    DWORD iUsageSrc;
    DWORD dwRop;
    LONG cxDest;
    LONG cyDest;
};
static_assert(sizeof(StretchDIBitsRecord) == 80);
static_assert(offsetof(StretchDIBitsRecord, rclBounds) == 8);
static_assert(offsetof(StretchDIBitsRecord, xDest) == 24);
static_assert(offsetof(StretchDIBitsRecord, xSrc) == 32);
static_assert(offsetof(StretchDIBitsRecord, cxSrc) == 40);
static_assert(offsetof(StretchDIBitsRecord, offBmiSrc) == 48);
static_assert(offsetof(StretchDIBitsRecord, cbBmiSrc) == 52);
static_assert(offsetof(StretchDIBitsRecord, offBitsSrc) == 56);
static_assert(offsetof(StretchDIBitsRecord, cbBitsSrc) == 60);
static_assert(offsetof(StretchDIBitsRecord, iUsageSrc) == 64);
static_assert(offsetof(StretchDIBitsRecord, dwRop) == 68);
static_assert(offsetof(StretchDIBitsRecord, cxDest) == 72);
static_assert(offsetof(StretchDIBitsRecord, cyDest) == 76);
constexpr DWORD STRETCHDIBITS_FIXED_SIZE = sizeof(StretchDIBitsRecord);

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(offsetof(BITMAPINFOHEADER, biWidth) == 4);
static_assert(offsetof(BITMAPINFOHEADER, biHeight) == 8);
static_assert(offsetof(BITMAPINFOHEADER, biBitCount) == 14);
static_assert(offsetof(BITMAPINFOHEADER, biCompression) == 16);
static_assert(offsetof(BITMAPINFOHEADER, biSizeImage) == 20);
static_assert(offsetof(BITMAPINFOHEADER, biClrUsed) == 32);
static_assert(offsetof(BITMAPINFOHEADER, biClrImportant) == 36);
static_assert(sizeof(RGBQUAD) == 4);
constexpr DWORD BITMAPINFOHEADER_SIZE = sizeof(BITMAPINFOHEADER);

// The parts of EMR_HEADER the resolution reduction reads: the reference
// device's size in pixels and in millimetres.
constexpr DWORD EMR_HEADER_SZLDEVICE = 72;
constexpr DWORD EMR_HEADER_SZLMILLIMETERS = 80;
constexpr DWORD EMR_HEADER_MIN_SIZE = 88;

// Where a cached reference keeps the referenced image number (in place of
// biCompression) and the 8-byte distance, both relative to offBmiSrc.
constexpr DWORD CACHED_IMAGE_NUMBER_OFFSET = offsetof(BITMAPINFOHEADER, biCompression);
constexpr DWORD CACHED_DISTANCE_OFFSET = BITMAPINFOHEADER_SIZE;
constexpr DWORD CACHED_RELEASED_OFFSET = BITMAPINFOHEADER_SIZE + 8;

template <class T>
inline T LoadRecord(const BYTE* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

template <class T>
inline void StoreRecord(BYTE* p, const T& v) {
    std::memcpy(p, &v, sizeof(T));
}

// True when the fixed part, the BITMAPINFOHEADER and the bits of an
// EMR_STRETCHDIBITS record of nSize bytes all lie inside the record. Every
// bitmap step relies on this before it touches the record.
inline bool StretchDIBitsFitsRecord(const StretchDIBitsRecord& r, DWORD nSize) {
    const uint64_t cb = nSize;
    return cb >= STRETCHDIBITS_FIXED_SIZE && r.offBmiSrc >= STRETCHDIBITS_FIXED_SIZE &&
           r.cbBmiSrc >= BITMAPINFOHEADER_SIZE && uint64_t(r.offBmiSrc) + r.cbBmiSrc <= cb &&
           r.offBitsSrc >= STRETCHDIBITS_FIXED_SIZE && uint64_t(r.offBitsSrc) + r.cbBitsSrc <= cb;
}

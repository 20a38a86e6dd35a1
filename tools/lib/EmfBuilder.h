// Writer of Enhanced Metafile pages for test jobs: EMR_HEADER with a chosen
// device size, EMR_STRETCHDIBITS with device-independent bitmaps of every
// depth (Dib.h), font creation and selection, wide text output and EMR_EOF,
// plus any record given as bytes; and a structural check of EMF data. The
// record layouts are in EmfLayouts.h, the byte helpers in ByteIO.h.
//
// Misuse (bad sizes, unsupported depths, source rectangles outside the
// bitmap) throws std::invalid_argument.
#pragma once
#include "tools/lib/ByteIO.h"
#include "tools/lib/Dib.h"
#include "tools/lib/EmfLayouts.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace qltools {

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

#include "tools/lib/EmfBuilder.h"

#include <algorithm>
#include <stdexcept>

namespace qltools {

// ---- page writer ------------------------------------------------------------------

EmfBuilder::EmfBuilder(const EmfPageOptions& options) : m_options(options) {
    if (options.devicePixelsX <= 0 || options.devicePixelsY <= 0 || options.millimetersX <= 0 ||
        options.millimetersY <= 0)
        throw std::invalid_argument("device size and millimetres must be positive");
    Begin();
}

void EmfBuilder::Begin() {
    m_bytes.clear();
    m_records = 1;
    m_nextObject = 1;
    m_maxObject = 0;
    EmfHeader h{};
    h.iType = EMR_HEADER;
    h.rclBounds = {0, 0, m_options.devicePixelsX - 1, m_options.devicePixelsY - 1};
    h.rclFrame = {0, 0, m_options.millimetersX * 100 - 1, m_options.millimetersY * 100 - 1};
    h.dSignature = ENHMETA_SIGNATURE;
    h.nVersion = 0x10000;
    h.szlDevice = {m_options.devicePixelsX, m_options.devicePixelsY};
    h.szlMillimeters = {m_options.millimetersX, m_options.millimetersY};
    h.szlMicrometers = {m_options.millimetersX * 1000, m_options.millimetersY * 1000};
    AppendStruct(m_bytes, h);
    uint32_t size = sizeof(EmfHeader);
    if (!m_options.description.empty()) {
        PutU32(m_bytes, offsetof(EmfHeader, nDescription), static_cast<uint32_t>(m_options.description.size() + 1));
        PutU32(m_bytes, offsetof(EmfHeader, offDescription), sizeof(EmfHeader));
        for (char16_t c : m_options.description) AppendU16(m_bytes, c);
        AppendU16(m_bytes, 0);
        PadTo4(m_bytes);
        size = static_cast<uint32_t>(m_bytes.size());
    }
    PutU32(m_bytes, offsetof(EmfHeader, nSize), size);
}

void EmfBuilder::StretchDIBits(const Dib& dib, int32_t x, int32_t y, int32_t cx, int32_t cy, SourceRect source) {
    const auto w = static_cast<int32_t>(dib.Width()), h = static_cast<int32_t>(dib.Height());
    if (source.cx == 0 && source.cy == 0) source = {0, 0, w, h};
    if (source.x < 0 || source.y < 0 || source.cx <= 0 || source.cy <= 0 || source.x + source.cx > w ||
        source.y + source.cy > h)
        throw std::invalid_argument("source rectangle outside the bitmap");
    const std::vector<uint8_t> bmi = dib.BitmapInfo();
    EmfStretchDIBits r{};
    r.iType = EMR_STRETCHDIBITS;
    r.nSize = static_cast<uint32_t>(sizeof(r) + bmi.size() + dib.bits.size());
    r.rclBounds = {x, y, x + cx - 1, y + cy - 1};
    r.xDest = x;
    r.yDest = y;
    r.xSrc = source.x;
    r.ySrc = source.y;
    r.cxSrc = source.cx;
    r.cySrc = source.cy;
    r.offBmiSrc = sizeof(r);
    r.cbBmiSrc = static_cast<uint32_t>(bmi.size());
    r.offBitsSrc = static_cast<uint32_t>(sizeof(r) + bmi.size());
    r.cbBitsSrc = static_cast<uint32_t>(dib.bits.size());
    r.iUsageSrc = 0;  // DIB_RGB_COLORS
    r.dwRop = SRCCOPY_ROP;
    r.cxDest = cx;
    r.cyDest = cy;
    AppendStruct(m_bytes, r);
    AppendBytes(m_bytes, bmi);
    AppendBytes(m_bytes, dib.bits);  // rows are multiples of 4, so nSize is too
    ++m_records;
}

std::vector<uint8_t> MakeStretchDIBitsRecord(const Dib& dib) {
    EmfBuilder builder;
    builder.StretchDIBits(dib, 0, 0, static_cast<int32_t>(dib.Width()), static_cast<int32_t>(dib.Height()));
    const std::vector<uint8_t> page = builder.Finish();
    const uint32_t at = GetU32(page, 4);  // behind the EMR_HEADER
    return std::vector<uint8_t>(page.begin() + at, page.begin() + at + GetU32(page, at + 4));
}

uint32_t EmfBuilder::CreateFont(std::u16string_view face, int32_t height, int32_t weight, bool italic) {
    EmfExtCreateFontIndirectW r{};
    r.iType = EMR_EXTCREATEFONTINDIRECTW;
    r.nSize = sizeof(r);
    r.ihFont = m_nextObject++;
    m_maxObject = std::max(m_maxObject, r.ihFont);
    r.elfLogFont.lfHeight = height;
    r.elfLogFont.lfWeight = weight;
    r.elfLogFont.lfItalic = italic ? 1 : 0;
    r.elfLogFont.lfCharSet = 1;            // DEFAULT_CHARSET
    r.elfLogFont.lfOutPrecision = 4;       // OUT_TT_PRECIS
    r.elfLogFont.lfQuality = 2;            // PROOF_QUALITY
    r.elfLogFont.lfPitchAndFamily = 0x22;  // VARIABLE_PITCH | FF_SWISS
    const size_t n = std::min<size_t>(face.size(), 31);
    std::copy_n(face.begin(), n, r.elfLogFont.lfFaceName);
    std::copy_n(face.begin(), std::min<size_t>(face.size(), 63), r.elfFullName);
    r.dvSignature = 0x08007664;  // STAMP_DESIGNVECTOR
    AppendStruct(m_bytes, r);
    ++m_records;
    return r.ihFont;
}

void EmfBuilder::SelectObject(uint32_t index) {
    AppendStruct(m_bytes, EmfObjectRecord{EMR_SELECTOBJECT, sizeof(EmfObjectRecord), index});
    ++m_records;
}

void EmfBuilder::DeleteObject(uint32_t index) {
    AppendStruct(m_bytes, EmfObjectRecord{EMR_DELETEOBJECT, sizeof(EmfObjectRecord), index});
    ++m_records;
}

void EmfBuilder::TextOut(int32_t x, int32_t y, std::u16string_view text, int32_t advance) {
    if (advance <= 0) advance = 40;
    const auto chars = static_cast<uint32_t>(text.size());
    const uint32_t stringBytes = (chars * 2 + 3) / 4 * 4;
    EmfExtTextOutW r{};
    r.iType = EMR_EXTTEXTOUTW;
    r.nSize = static_cast<uint32_t>(sizeof(r) + stringBytes + chars * 4);
    r.rclBounds = {x, y, x + advance * static_cast<int32_t>(chars), y + advance * 2};
    r.iGraphicsMode = 1;  // GM_COMPATIBLE
    r.exScale = 0.0f;
    r.eyScale = 0.0f;
    r.emrtext.ptlReference = {x, y};
    r.emrtext.nChars = chars;
    r.emrtext.offString = sizeof(r);
    r.emrtext.rcl = {0, 0, -1, -1};
    r.emrtext.offDx = sizeof(r) + stringBytes;
    AppendStruct(m_bytes, r);
    for (char16_t c : text) AppendU16(m_bytes, c);
    PadTo4(m_bytes);
    for (uint32_t i = 0; i < chars; ++i) AppendU32(m_bytes, static_cast<uint32_t>(advance));
    ++m_records;
}

void EmfBuilder::Record(uint32_t type, std::span<const uint8_t> body) {
    const size_t padded = (body.size() + 3) / 4 * 4;
    if (padded > 0xFFFFFFFFu - 8) throw std::invalid_argument("record too large");
    AppendU32(m_bytes, type);
    AppendU32(m_bytes, static_cast<uint32_t>(8 + padded));
    AppendBytes(m_bytes, body);
    PadTo4(m_bytes);
    ++m_records;
}

std::vector<uint8_t> EmfBuilder::Finish() {
    AppendStruct(m_bytes, EmfEof{EMR_EOF, sizeof(EmfEof), 0, 16, sizeof(EmfEof)});
    ++m_records;
    if (m_bytes.size() > 0xFFFFFFFFu) throw std::invalid_argument("page larger than 4 GiB");
    PutU32(m_bytes, offsetof(EmfHeader, nBytes), static_cast<uint32_t>(m_bytes.size()));
    PutU32(m_bytes, offsetof(EmfHeader, nRecords), m_records);
    const auto handles = static_cast<uint16_t>(m_maxObject + 1);
    m_bytes[offsetof(EmfHeader, nHandles)] = static_cast<uint8_t>(handles);
    m_bytes[offsetof(EmfHeader, nHandles) + 1] = static_cast<uint8_t>(handles >> 8);
    std::vector<uint8_t> page = std::move(m_bytes);
    Begin();
    return page;
}

// ---- structural check -------------------------------------------------------------

EmfCheck CheckEmf(std::span<const uint8_t> data) {
    EmfCheck check;
    auto fail = [&check](size_t offset, std::string why) {
        check.ok = false;
        check.problemOffset = offset;
        check.problem = std::move(why);
        return check;
    };
    if (data.size() < 88) return fail(0, "too short for an EMF header (" + std::to_string(data.size()) + " bytes)");
    if (GetU32(data, 0) != EMR_HEADER)
        return fail(0, "first record is type " + std::to_string(GetU32(data, 0)) + ", not EMR_HEADER");
    if (GetU32(data, 40) != ENHMETA_SIGNATURE) return fail(40, "EMF signature missing");
    check.headerBytes = GetU32(data, 48);
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 8) return fail(pos, "record header cut off");
        const uint32_t type = GetU32(data, pos);
        const uint32_t size = GetU32(data, pos + 4);
        if (size < 8 || size % 4 != 0)
            return fail(pos, "record type " + std::to_string(type) + " has size " + std::to_string(size) +
                                 " (not a multiple of 4 of at least 8)");
        if (size > data.size() - pos)
            return fail(pos, "record type " + std::to_string(type) + " of " + std::to_string(size) +
                                 " bytes runs past the end");
        if (pos == 0 && size < 88) return fail(pos, "EMR_HEADER of " + std::to_string(size) + " bytes");
        ++check.records;
        pos += size;
        if (type == EMR_EOF) break;
    }
    check.ok = true;
    return check;
}

} // namespace qltools

#include "tools/lib/StreamReader.h"

#include "emf/EmfRecords.h"
#include "native/Devmode.h"
#include "tools/lib/BitmapTransforms.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>

namespace qltools {

// The public DEVMODEW fields read here, at their Windows x64 offsets.
static_assert(offsetof(DEVMODEW, dmDeviceName) == 0);
static_assert(offsetof(DEVMODEW, dmSpecVersion) == 64);
static_assert(offsetof(DEVMODEW, dmSize) == 68);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmPaperSize) == 78);
static_assert(offsetof(DEVMODEW, dmPaperLength) == 80);
static_assert(offsetof(DEVMODEW, dmPaperWidth) == 82);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(offsetof(DEVMODEW, dmFormName) == 102);
static_assert(offsetof(DEVMODEW, dmDisplayFrequency) == 184);
static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwSize) == 4 && offsetof(PRIVATEDEVMODEEXT, dwFields) == 8);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_0) == 123);
static_assert(offsetof(PRIVATEDEVMODEEXT, dwBitmapDPIReduction) == 139);

namespace {

// Bytes of a device mode that must be present to read its header (up to and
// including dmFields).
constexpr size_t kDevmodeHeaderBytes = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);

struct Malformed {
    uint64_t offset;
    std::string why;
};

// The first bytes of a JDF ticket as one line of text.
std::string TicketText(std::span<const uint8_t> ticket) {
    std::string text;
    for (size_t i = 0; i < ticket.size() && i < kJdfTicketShown; ++i) {
        const uint8_t c = ticket[i];
        if (c == '\n') {
            text += "\\n";
        } else if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 15];
        }
    }
    if (ticket.size() > kJdfTicketShown) text += "...";
    return text;
}

std::string Hex(uint64_t v, int width = 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

// Little-endian reads inside [0, limit) of `b`; false when the field does not fit.
template <typename T>
bool ReadAt(std::span<const uint8_t> b, size_t offset, size_t limit, T& out) {
    limit = std::min(limit, b.size());
    if (offset > limit || limit - offset < sizeof(T)) return false;
    std::memcpy(&out, b.data() + offset, sizeof(T));
    return true;
}

uint32_t Le32(std::span<const uint8_t> b, uint64_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + offset, 4);  // callers test the range
    return v;
}

// A NUL-terminated UTF-16 string of at most maxChars within [offset, limit).
std::string WideText(std::span<const uint8_t> b, size_t offset, size_t limit, size_t maxChars) {
    std::u16string s;
    limit = std::min(limit, b.size());
    for (size_t i = 0; i < maxChars && offset <= limit && limit - offset >= 2; ++i, offset += 2) {
        const auto c = static_cast<char16_t>(b[offset] | (b[offset + 1] << 8));
        if (c == 0) break;
        s.push_back(c);
    }
    return Utf16ToUtf8(s);
}

DevmodeInfo DecodeDevmode(std::span<const uint8_t> b) {
    DevmodeInfo d;
    ReadAt(b, offsetof(DEVMODEW, dmSpecVersion), b.size(), d.dmSpecVersion);
    ReadAt(b, offsetof(DEVMODEW, dmSize), b.size(), d.dmSize);
    ReadAt(b, offsetof(DEVMODEW, dmDriverExtra), b.size(), d.dmDriverExtra);
    ReadAt(b, offsetof(DEVMODEW, dmFields), b.size(), d.dmFields);
    const size_t pub = std::min<size_t>(d.dmSize, b.size());
    d.deviceName = WideText(b, 0, pub, CCHDEVICENAME);
    ReadAt(b, offsetof(DEVMODEW, dmOrientation), pub, d.dmOrientation);
    ReadAt(b, offsetof(DEVMODEW, dmPaperSize), pub, d.dmPaperSize);
    ReadAt(b, offsetof(DEVMODEW, dmPaperLength), pub, d.dmPaperLength);
    ReadAt(b, offsetof(DEVMODEW, dmPaperWidth), pub, d.dmPaperWidth);
    ReadAt(b, offsetof(DEVMODEW, dmCopies), pub, d.dmCopies);
    ReadAt(b, offsetof(DEVMODEW, dmDisplayFrequency), pub, d.dmDisplayFrequency);
    if (pub >= offsetof(DEVMODEW, dmFormName) + 2)
        d.formName = WideText(b, offsetof(DEVMODEW, dmFormName), pub, CCHFORMNAME);

    const size_t total = static_cast<size_t>(d.dmSize) + d.dmDriverExtra;
    if (d.dmDriverExtra >= sizeof(PRIVATEDEVMODE) && total <= b.size()) {
        uint32_t sig = 0;
        ReadAt(b, total - sizeof(PRIVATEDEVMODE), total, sig);
        if (sig == QL_PRIVATEDEVMODE_SIGNATURE) {
            d.hasTrailer = true;
            ReadAt(b, total - sizeof(PRIVATEDEVMODE) + offsetof(PRIVATEDEVMODE, dwFlags), total, d.trailerFlags);
        }
    }
    if (d.hasTrailer && d.dmSize == QL_DEVMODE_PUBLIC_SIZE && d.dmDriverExtra >= QL_DEVMODE_DRIVER_EXTRA) {
        const size_t ext = QL_DEVMODE_PUBLIC_SIZE;
        uint32_t sig = 0, size = 0;
        ReadAt(b, ext, total, sig);
        ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwSize), total, size);
        if (sig == QL_PRIVATEDEVMODEEXT_SIGNATURE && size >= QL_DEVMODE_EXT_SIZE) {
            d.hasExtension = true;
            d.extensionSize = size;
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwFields), total, d.extensionFields);
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_0), total, d.compressionRules[0]);
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_1), total, d.compressionRules[1]);
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_2), total, d.compressionRules[2]);
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwCompressionRule_3), total, d.compressionRules[3]);
            ReadAt(b, ext + offsetof(PRIVATEDEVMODEEXT, dwBitmapDPIReduction), total, d.bitmapDPIReduction);
        }
    }
    return d;
}

// The logical stream is made of segments, each a run of input bytes (header
// blocks, unframed records, data blocks) or a hole block's zeros.
struct Segment {
    uint64_t logicalStart = 0;
    uint64_t streamStart = 0;  // of the first byte (a hole: of its block header)
    uint64_t length = 0;
    bool hole = false;
};

// A bitmap record of a page (81 or one of the private types that replace it).
struct BitmapRecordAt {
    uint32_t type = 0;
    uint32_t number = 0;   // image number
    uint64_t offset = 0;   // logical offset
};

// Where the private bitmap records keep what the reader checks: the fixed part
// of EMR_STRETCHDIBITS, then at offBmiSrc the BITMAPINFOHEADER whose
// biCompression field a reference uses for the image number, and the 8-byte
// distance after the header.
static_assert(offsetof(StretchDIBitsRecord, offBmiSrc) == 48);
static_assert(CACHED_IMAGE_NUMBER_OFFSET == 16 && CACHED_DISTANCE_OFFSET == 40 && CACHED_RELEASED_OFFSET == 48);

bool IsBitmapRecordType(uint32_t type) {
    return type == EMR_STRETCHDIBITS || type == EMR_COMPRESSEDDIBITS || type == EMR_DELETEDDIBITS ||
           type == EMR_CACHEDDIBITS;
}

bool MarkerAt(std::span<const uint8_t> b, uint64_t pos) {
    return pos <= b.size() && b.size() - pos >= 5 && std::memcmp(b.data() + pos, "%%EMF", 5) == 0;
}

class Inspector {
public:
    Inspector(std::span<const uint8_t> data, const InspectOptions& options, InspectReport& report)
        : m_data(data), m_options(options), m_r(report) {}

    void Run() {
        m_r.streamBytes = m_data.size();
        if (m_data.empty()) throw Malformed{0, "the input is empty"};
        if (!MarkerAt(m_data, 0) &&
            (m_data.size() < 4 || (Le32(m_data, 0) != SPL_FILE_HEADER && Le32(m_data, 0) != kDataBlockTag))) {
            throw Malformed{0, "neither a transport stream (no \"%%EMF\" marker) nor a spool file (first record type " +
                                   (m_data.size() < 4 ? std::string("cut off") : Hex(Le32(m_data, 0), 8)) +
                                   " is not the file header 0x00010000)"};
        }
        uint64_t pos = 0;
        do {
            pos = Copy(pos);
        } while (pos < m_data.size());

        const CopyInfo& first = m_r.copies.front();
        m_r.marker = first.marker;
        m_r.devmode = first.devmode;
        m_r.jdf = first.jdf;
        m_r.framed = first.framed;
        m_r.framingStart = first.framingStart;
        m_r.watermark = first.watermark;
        References();
        if (m_options.keepLogical) m_r.logical = std::move(m_logical);
    }

private:
    std::span<const uint8_t> Logical() const { return m_logical; }

    void AddSegment(uint64_t streamStart, uint64_t length, bool hole) {
        if (length == 0 && !hole) return;
        if (m_logical.size() + length > m_options.maxLogicalBytes)
            throw Malformed{streamStart, "the logical stream would grow past " +
                                             std::to_string(m_options.maxLogicalBytes) + " bytes"};
        m_segments.push_back({m_logical.size(), streamStart, length, hole});
        if (hole)
            m_logical.resize(m_logical.size() + length, 0);
        else
            m_logical.insert(m_logical.end(), m_data.begin() + static_cast<ptrdiff_t>(streamStart),
                             m_data.begin() + static_cast<ptrdiff_t>(streamStart + length));
    }

    // The segment holding a logical position, or none past the end.
    const Segment* SegmentOf(uint64_t logicalPos) const {
        auto it = std::upper_bound(m_segments.begin(), m_segments.end(), logicalPos,
                                   [](uint64_t p, const Segment& s) { return p < s.logicalStart; });
        if (it == m_segments.begin()) return nullptr;
        --it;
        if (logicalPos >= it->logicalStart + it->length) return nullptr;
        return &*it;
    }

    // The stream offset of a logical position, or none inside a hole.
    std::optional<uint64_t> StreamOffsetOf(uint64_t logicalPos) const {
        const Segment* s = SegmentOf(logicalPos);
        if (!s) return logicalPos == m_logical.size() ? std::optional<uint64_t>(m_data.size()) : std::nullopt;
        if (s->hole) return std::nullopt;
        return s->streamStart + (logicalPos - s->logicalStart);
    }

    [[noreturn]] void FailLogical(uint64_t logicalPos, const std::string& why) const {
        const Segment* s = SegmentOf(logicalPos);
        const bool framedPart = s && std::binary_search(m_framedSegments.begin(), m_framedSegments.end(),
                                                   static_cast<size_t>(s - m_segments.data()));
        if (!s) throw Malformed{m_data.size(), "logical offset " + std::to_string(logicalPos) + ": " + why};
        if (s->hole)
            throw Malformed{s->streamStart, "logical offset " + std::to_string(logicalPos) + " (inside a hole): " + why};
        const uint64_t at = s->streamStart + (logicalPos - s->logicalStart);
        if (!framedPart && at == logicalPos) throw Malformed{at, why};
        throw Malformed{at, "logical offset " + std::to_string(logicalPos) + ": " + why};
    }

    // One copy from stream offset `pos`; returns where the next one begins
    // (the end of the input when this is the last).
    uint64_t Copy(uint64_t pos) {
        CopyInfo copy;
        copy.offset = pos;
        copy.logicalOffset = m_logical.size();
        copy.firstRecord = m_r.records.size();
        m_currentCopy = static_cast<uint32_t>(m_r.copies.size());
        uint64_t headerEnd = pos;
        if (MarkerAt(m_data, pos)) {
            copy.marker = true;
            headerEnd = HeaderBlocks(copy, pos + 5);
        }
        AddSegment(pos, headerEnd - pos, false);
        pos = headerEnd;
        if (m_data.size() - pos >= 4) {
            const uint32_t tag = Le32(m_data, pos);
            copy.framed = tag == kDataBlockTag || tag == kHoleBlockTag;
        }
        uint64_t next = m_data.size();
        if (copy.framed) {
            copy.framingStart = pos;
            next = Unframe(pos);
        } else {
            AddSegment(pos, m_data.size() - pos, false);  // cut back below when a copy follows
        }
        uint64_t lpos = copy.logicalOffset + (headerEnd - copy.offset);
        const uint64_t wm = lpos;
        lpos = Watermark(copy, lpos);
        if (copy.framed && copy.watermark) m_countedHeaders.push_back(wm);
        const uint64_t stop = Records(copy, lpos, m_logical.size());
        if (!copy.framed && stop < m_logical.size()) {
            // The next copy's marker: this copy's bytes end here.
            const uint64_t streamStop = *StreamOffsetOf(stop);
            m_logical.resize(stop);
            m_segments.back().length = stop - m_segments.back().logicalStart;
            next = streamStop;
        }
        copy.logicalEnd = m_logical.size();
        copy.recordCount = m_r.records.size() - copy.firstRecord;
        m_r.copies.push_back(std::move(copy));
        return next;
    }

    // "%%EMF" is followed by the device mode block and the JDF block, each
    // optional, in that order.
    uint64_t HeaderBlocks(CopyInfo& copy, uint64_t pos) {
        while (pos < m_data.size() && (m_data[pos] == kDevmodeBlockTag || m_data[pos] == kJdfBlockTag)) {
            const uint8_t tag = m_data[pos];
            const char* what = tag == kDevmodeBlockTag ? "device mode block" : "JDF block";
            if (m_data.size() - pos < 5) throw Malformed{pos, std::string(what) + " header cut off"};
            uint32_t length = 0;
            std::memcpy(&length, m_data.data() + pos + 1, 4);
            if (length < 5)
                throw Malformed{pos, std::string(what) + " length " + std::to_string(length) + " is below 5"};
            if (length > m_data.size() - pos)
                throw Malformed{pos, std::string(what) + " of " + std::to_string(length) +
                                         " bytes runs past the end of the stream (" +
                                         std::to_string(m_data.size() - pos) + " bytes left)"};
            const auto payload = m_data.subspan(pos + 5, length - 5);
            if (tag == kDevmodeBlockTag) {
                if (copy.devmode) throw Malformed{pos, "a second device mode block"};
                if (copy.jdf) throw Malformed{pos, "device mode block after the JDF block"};
                copy.devmode = DevmodeBlockAt(pos, length, payload);
            } else {
                if (copy.jdf) throw Malformed{pos, "a second JDF block"};
                copy.jdf = JdfBlock{pos, length, TicketText(payload)};
                if (length == 5) Warn("the JDF block at " + std::to_string(pos) + " is empty");
            }
            pos += length;
        }
        return pos;
    }

    DevmodeBlock DevmodeBlockAt(uint64_t pos, uint32_t length, std::span<const uint8_t> payload) {
        if (payload.size() < kDevmodeHeaderBytes)
            throw Malformed{pos, "device mode block holds " + std::to_string(payload.size()) +
                                     " bytes, too few for a device mode header (" +
                                     std::to_string(kDevmodeHeaderBytes) + ")"};
        DevmodeBlock block;
        block.offset = pos;
        block.length = length;
        block.devmode = DecodeDevmode(payload);
        const DevmodeInfo& d = block.devmode;
        if (d.dmSize < kDevmodeHeaderBytes)
            throw Malformed{pos + 5 + offsetof(DEVMODEW, dmSize),
                            "device mode dmSize " + std::to_string(d.dmSize) + " is below its header size"};
        const uint64_t announced = static_cast<uint64_t>(d.dmSize) + d.dmDriverExtra;
        if (announced != payload.size())
            throw Malformed{pos, "device mode block length " + std::to_string(length) + " does not match dmSize " +
                                     std::to_string(d.dmSize) + " + dmDriverExtra " +
                                     std::to_string(d.dmDriverExtra) + " + 5"};
        if (d.dmDriverExtra == 0) {
            block.form = DevmodeForm::PublicOnly;
        } else if (d.dmDriverExtra == 8) {
            block.form = DevmodeForm::PublicPlus8;
        } else {
            block.form = DevmodeForm::Full;
            if (!d.hasExtension)
                Warn("the device mode block at " + std::to_string(pos) +
                     " carries all private bytes but no valid \"QLEX\" extension");
        }
        return block;
    }

    // Removes the data/hole block framing from `pos` on: the data blocks'
    // bytes, every hole block replaced by as many zero bytes. Ends at the end
    // of the input or, with allCopies, at the next copy's marker; returns
    // where it ended.
    uint64_t Unframe(uint64_t pos) {
        while (pos < m_data.size()) {
            const uint64_t left = m_data.size() - pos;
            if (MarkerAt(m_data, pos)) {
                if (m_options.allCopies) return pos;
                throw Malformed{pos, "a further transport stream (the next copy) begins here"};
            }
            if (left < 8) throw Malformed{pos, std::to_string(left) + " bytes left, too few for a block header"};
            const uint32_t tag = Le32(m_data, pos);
            const uint32_t length = Le32(m_data, pos + 4);
            FrameBlock block{pos, false, length, m_logical.size()};
            if (tag != kDataBlockTag && tag != kHoleBlockTag)
                throw Malformed{pos, "unknown block tag " + Hex(tag, 8) + " (a data block 0x08080000 or a hole block "
                                                                            "0x80800000 was expected)"};
            if (tag == kDataBlockTag) {
                if (length > left - 8)
                    throw Malformed{pos, "data block of " + std::to_string(length) +
                                             " bytes runs past the end of the stream (" + std::to_string(left - 8) +
                                             " bytes left)"};
                AddFramedSegment(pos + 8, length, false);
                ++m_r.dataBlocks;
                m_r.dataBlockBytes += length;
                pos += 8 + static_cast<uint64_t>(length);
            } else {
                block.hole = true;
                AddFramedSegment(pos, length, true);
                ++m_r.holeBlocks;
                m_r.holeBlockBytes += length;
                pos += 8;
            }
            m_r.blocks.push_back(block);
        }
        return pos;
    }

    void AddFramedSegment(uint64_t streamStart, uint64_t length, bool hole) {
        const size_t before = m_segments.size();
        AddSegment(streamStart, length, hole);
        if (m_segments.size() > before) m_framedSegments.push_back(before);
    }

    // The watermark block: u32 0, u32 0x40000000, u32 L, L bytes of EMF page.
    uint64_t Watermark(CopyInfo& copy, uint64_t pos) {
        if (!copy.marker && !copy.framed) return pos;
        const auto L = Logical();
        if (L.size() - pos < 12 || Le32(L, pos) != 0 || Le32(L, pos + 4) != kWatermarkTag) return pos;
        const uint32_t length = Le32(L, pos + 8);
        if (length > L.size() - pos - 12)
            FailLogical(pos, "watermark page of " + std::to_string(length) + " bytes runs past the end (" +
                                 std::to_string(L.size() - pos - 12) + " bytes left)");
        WatermarkBlock block{pos, length, {}};
        auto page = SummarizeEmf(L.subspan(pos + 12, length), pos + 12);
        if (!page) FailLogical(pos + 12, "the watermark page does not begin with an EMF header");
        block.page = *page;
        copy.watermark = block;
        return pos + 12 + length;
    }

    // Counts an EMF page's records; none when the body is not an EMF (no
    // EMR_HEADER with the signature). A broken record structure is malformed.
    std::optional<EmfPageSummary> SummarizeEmf(std::span<const uint8_t> body, uint64_t base) const {
        if (body.size() < 88 || Le32(body, 0) != EMR_HEADER || Le32(body, 40) != ENHMETA_SIGNATURE)
            return std::nullopt;
        EmfPageSummary s;
        s.headerBytes = Le32(body, 48);
        s.deviceX = static_cast<int32_t>(Le32(body, 72));
        s.deviceY = static_cast<int32_t>(Le32(body, 76));
        s.millimetersX = static_cast<int32_t>(Le32(body, 80));
        s.millimetersY = static_cast<int32_t>(Le32(body, 84));
        uint64_t p = 0;
        while (p < body.size()) {
            if (body.size() - p < 8)
                FailLogical(base + p, "EMF record header cut off at the end of the page (" +
                                          std::to_string(body.size() - p) + " bytes left)");
            const uint32_t type = Le32(body, p);
            const uint32_t size = Le32(body, p + 4);
            if (size < 8 || size % 4 != 0)
                FailLogical(base + p, "EMF record type " + std::to_string(type) + " has size " +
                                          std::to_string(size) + " (not a multiple of 4 of at least 8)");
            if (size > body.size() - p)
                FailLogical(base + p, "EMF record type " + std::to_string(type) + " of " + std::to_string(size) +
                                          " bytes runs past the end of its page (" +
                                          std::to_string(body.size() - p) + " bytes left)");
            ++s.records;
            ++s.countsByType[type];
            p += size;
            if (type == EMR_EOF) {
                s.endsWithEof = true;
                s.trailingBytes = body.size() - p;
                break;
            }
        }
        return s;
    }

    // The spool records of one copy in [pos, end); returns where they end:
    // `end`, or the offset of the next copy's marker in an unframed stream.
    uint64_t Records(const CopyInfo& copy, uint64_t pos, uint64_t end) {
        const auto L = Logical();
        std::map<uint64_t, uint32_t> starts;  // record offset -> type
        bool first = true;
        while (pos < end) {
            if (!copy.framed && MarkerAt(L.first(end), pos)) {
                if (m_options.allCopies) return pos;
                FailLogical(pos, "a further transport stream (the next copy) begins here");
            }
            if (end - pos < 8)
                FailLogical(pos, std::to_string(end - pos) + " bytes left, too few for a spool record header");
            SpoolRecord rec;
            rec.copy = m_currentCopy;
            rec.offset = pos;
            rec.streamOffset = StreamOffsetOf(pos);
            rec.type = Le32(L, pos);
            rec.size = Le32(L, pos + 4);
            const std::string what = "spool record type " + Hex(rec.type) + " of size " + std::to_string(rec.size);
            if (first && rec.type != SPL_FILE_HEADER)
                Warn("the first spool record (at " + std::to_string(pos) + ") is type " + Hex(rec.type) +
                     ", not the file header");
            first = false;
            const bool header = rec.type == SPL_FILE_HEADER;
            if ((header && rec.size < 8) || (!header && rec.type != SPL_DEVMODE && rec.size == 0)) {
                // The record loop of the sender stops here.
                rec.endsLoop = true;
                m_r.records.push_back(rec);
                const uint64_t rest = end - pos - 8;
                if (rest > 0)
                    Warn("the record at " + std::to_string(pos) + " (" + what + ") ends the record loop; " +
                         std::to_string(rest) + " bytes after it are not records");
                return end;
            }
            rec.bodyBytes = header ? rec.size - 8u : rec.size;
            if (rec.bodyBytes > end - pos - 8)
                FailLogical(pos, what + " runs past the end (" + std::to_string(end - pos - 8) +
                                     " bytes after its header)");
            const auto body = L.subspan(pos + 8, rec.bodyBytes);
            if (header) {
                // In framed output the block header in front of the file
                // header record is sent as payload and counted as such.
                if (copy.framed) m_countedHeaders.push_back(pos);
                uint32_t docAt = 0, outAt = 0;
                ReadAt(body, 0, body.size(), docAt);
                ReadAt(body, 4, body.size(), outAt);
                // The name offsets count from the record's start, header included.
                if (docAt >= 8) rec.documentName = WideText(body, docAt - 8, body.size(), 1024);
                if (outAt >= 8) rec.outputName = WideText(body, outAt - 8, body.size(), 1024);
            } else if (IsSpoolPageRecord(rec.type)) {
                ++m_r.pages;
                rec.page = SummarizeEmf(body, pos + 8);
                if (!rec.page)
                    Warn("the page record at " + std::to_string(pos) + " does not begin with an EMF header");
                else
                    for (const auto& [type, count] : rec.page->countsByType) m_r.emfTotals[type] += count;
            } else if (IsSpoolExtensionRecord(rec.type)) {
                if (body.size() < 4)
                    FailLogical(pos, what + ": an extension record needs 4 bytes for its back distance");
                uint64_t distance = Le32(body, 0);
                if (body.size() >= 8) distance |= static_cast<uint64_t>(Le32(body, 4)) << 32;
                rec.backDistance = distance;
                if (distance <= pos && starts.count(pos - distance)) {
                    rec.target = pos - distance;
                    rec.targetType = starts[pos - distance];
                    if ((rec.type == SPL_METAFILE_EXT || rec.type == SPL_BW_METAFILE_EXT) &&
                        !IsSpoolPageRecord(*rec.targetType))
                        Warn("the page extension record at " + std::to_string(pos) + " points at a record of type " +
                             Hex(*rec.targetType) + ", not a page");
                } else {
                    Warn("the back distance " + std::to_string(distance) + " of the extension record at " +
                         std::to_string(pos) + " does not lead to the start of an earlier record");
                }
            } else if (rec.type == SPL_ENGINE_FONT) {
                rec.font.emplace();
                if (std::string why = ReadEngineFont(body, *rec.font); !why.empty()) FailLogical(pos, what + ": " + why);
            } else if (rec.type == SPL_DEVMODE) {
                if (body.size() >= kDevmodeHeaderBytes) {
                    rec.devmode = DecodeDevmode(body);
                    if (static_cast<uint64_t>(rec.devmode->dmSize) + rec.devmode->dmDriverExtra > body.size())
                        Warn("the device mode record at " + std::to_string(pos) +
                             " is shorter than its dmSize + dmDriverExtra");
                }
            }
            starts[pos] = rec.type;
            m_r.records.push_back(std::move(rec));
            pos += 8 + (header ? m_r.records.back().size - 8u : m_r.records.back().size);
        }
        return end;
    }

    // ---- bitmap references ------------------------------------------------------------

    // A logical offset as the sender counted it: from the first copy's start
    // (or this copy's, per copy), with the payload block headers.
    uint64_t PositionOf(const CopyInfo& copy, uint64_t logicalPos) const {
        const auto from = std::lower_bound(m_countedHeaders.begin(), m_countedHeaders.end(), copy.logicalOffset);
        const auto to = std::upper_bound(m_countedHeaders.begin(), m_countedHeaders.end(), logicalPos);
        return copy.position + (logicalPos - copy.logicalOffset) + 8u * static_cast<uint64_t>(to - from);
    }

    // Walks the EMF records of every page as the sender's walker does (after
    // an EMR_HEADER, up to a record whose size does not fit), gives every
    // bitmap record its image number and resolves every reference.
    void References() {
        std::sort(m_countedHeaders.begin(), m_countedHeaders.end());
        uint64_t position = 0;
        for (CopyInfo& copy : m_r.copies) {
            copy.position = m_options.imagesPerCopy ? 0 : position;
            const auto to = std::upper_bound(m_countedHeaders.begin(), m_countedHeaders.end(), copy.logicalEnd);
            const auto from = std::lower_bound(m_countedHeaders.begin(), m_countedHeaders.end(), copy.logicalOffset);
            position = copy.position + (copy.logicalEnd - copy.logicalOffset) + 8u * static_cast<uint64_t>(to - from);
        }
        const auto L = Logical();
        std::map<uint64_t, BitmapRecordAt> byPosition;  // position -> bitmap record
        uint32_t number = 0;
        uint32_t lastCopy = 0;
        for (size_t i = 0; i < m_r.records.size(); ++i) {
            const SpoolRecord& rec = m_r.records[i];
            if (!IsSpoolPageRecord(rec.type) || rec.endsLoop) continue;
            const CopyInfo& copy = m_r.copies[rec.copy];
            if (m_options.imagesPerCopy && rec.copy != lastCopy) {
                byPosition.clear();
                number = 0;
            }
            lastCopy = rec.copy;
            const auto page = L.subspan(rec.offset + 8, rec.bodyBytes);
            if (page.size() < 8 || Le32(page, 0) != EMR_HEADER) continue;
            const uint32_t headerSize = Le32(page, 4);
            if (headerSize < 8 || headerSize > page.size()) continue;
            for (uint64_t p = headerSize; page.size() - p >= 8;) {
                const uint32_t type = Le32(page, p);
                const uint32_t size = Le32(page, p + 4);
                if (size < 8 || size > page.size() - p) break;
                if (IsBitmapRecordType(type)) {
                    ++number;
                    ++m_r.bitmapRecords;
                    const uint64_t at = rec.offset + 8 + p;
                    const uint64_t pos = PositionOf(copy, at);
                    if (type == EMR_CACHEDDIBITS)
                        Reference(i, page.subspan(p, size), at, pos, number, byPosition);
                    else
                        byPosition[pos] = {type, number, at};
                }
                p += size;
            }
        }
    }

    void Reference(size_t recordIndex, std::span<const uint8_t> emr, uint64_t at, uint64_t pos, uint32_t number,
                   const std::map<uint64_t, BitmapRecordAt>& byPosition) {
        BitmapReference ref;
        ref.copy = m_r.records[recordIndex].copy;
        ref.record = recordIndex;
        ref.offset = at;
        ref.position = pos;
        ref.ownNumber = number;
        const std::string where = "the reference (0x8002) at logical offset " + std::to_string(at) + " (image " +
                                  std::to_string(number) + ")";
        uint32_t offBmiSrc = 0;
        int32_t minusNumber = 0;
        if (!ReadAt(emr, offsetof(StretchDIBitsRecord, offBmiSrc), emr.size(), offBmiSrc) ||
            offBmiSrc < sizeof(StretchDIBitsRecord) ||
            !ReadAt(emr, static_cast<size_t>(offBmiSrc) + CACHED_IMAGE_NUMBER_OFFSET, emr.size(), minusNumber) ||
            !ReadAt(emr, static_cast<size_t>(offBmiSrc) + CACHED_DISTANCE_OFFSET, emr.size(), ref.distance)) {
            ref.problem = where + ": record of " + std::to_string(emr.size()) +
                          " bytes has no room for its fixed part, offBmiSrc " + std::to_string(offBmiSrc) +
                          " and the distance field";
        } else if (minusNumber >= 0) {
            ref.problem = where + ": its image number field holds " + std::to_string(minusNumber) +
                          ", not a negative number";
        } else {
            ref.imageNumber = static_cast<uint32_t>(-static_cast<int64_t>(minusNumber));
            const std::string names = where + " names image " + std::to_string(ref.imageNumber) + " at distance " +
                                      std::to_string(ref.distance);
            if (ref.distance >= 0) {
                ref.problem = names + ": the distance does not lead back";
            } else if (static_cast<uint64_t>(-(ref.distance + 1)) + 1 > pos) {
                ref.problem = names + ": the distance leads before the start of the stream";
            } else {
                const uint64_t target = pos - (static_cast<uint64_t>(-(ref.distance + 1)) + 1);
                const auto it = byPosition.find(target);
                if (it == byPosition.end()) {
                    ref.problem = names + ": position " + std::to_string(target) +
                                  " is not the first byte of an earlier bitmap record";
                    // Say whether it is a reference (those are not targets).
                    for (const BitmapReference& r : m_r.references)
                        if (r.position == target) ref.problem += " (it is the reference at logical offset " +
                                                                 std::to_string(r.offset) + ")";
                } else if (it->second.number != ref.imageNumber) {
                    ref.problem = names + ": the bitmap record there (logical offset " +
                                  std::to_string(it->second.offset) + ") is image " +
                                  std::to_string(it->second.number);
                } else {
                    ref.target = it->second.offset;
                    ref.targetType = it->second.type;
                }
            }
        }
        if (ref.problem.empty()) ++m_r.resolvedReferences;
        m_r.references.push_back(std::move(ref));
    }

    void Warn(std::string text) { m_r.warnings.push_back(std::move(text)); }

    std::span<const uint8_t> m_data;
    const InspectOptions& m_options;
    InspectReport& m_r;
    std::vector<uint8_t> m_logical;
    std::vector<Segment> m_segments;
    std::vector<size_t> m_framedSegments;  // indexes of segments that came from blocks
    std::vector<uint64_t> m_countedHeaders;  // logical offsets behind a payload block header
    uint32_t m_currentCopy = 0;
};

std::string TypeLabel(uint32_t type) {
    const char* name = SpoolRecordName(type);
    std::string s = type == SPL_FILE_HEADER ? Hex(type, 8) : std::to_string(type);
    if (*name) s += std::string(" (") + name + ")";
    return s;
}

std::string EmfTypeName(uint32_t type) {
    switch (type) {
    case EMR_COMPRESSEDDIBITS: return "0x8000";
    case EMR_DELETEDDIBITS: return "0x8001";
    case EMR_CACHEDDIBITS: return "0x8002";
    default: return std::to_string(type);
    }
}

std::string CountsText(const std::map<uint32_t, uint32_t>& counts) {
    std::string s;
    for (const auto& [type, count] : counts) {
        if (!s.empty()) s += ' ';
        s += EmfTypeName(type) + ":" + std::to_string(count);
    }
    return s;
}

// The line that opens the records of a later copy.
std::string CopyText(const CopyInfo& c, size_t index) {
    std::ostringstream o;
    o << "copy " << index + 1 << " at " << c.offset << " (logical " << c.logicalOffset << ")";
    if (c.marker) o << ": marker";
    if (c.devmode) o << ", device mode block length " << c.devmode->length << " form " << DevmodeFormName(c.devmode->form);
    if (c.jdf) o << ", JDF block length " << c.jdf->length;
    o << (c.framed ? ", framed from " + std::to_string(c.framingStart) : std::string(", not framed"));
    if (c.watermark) o << ", watermark of " << c.watermark->length << " bytes";
    o << "\n";
    return o.str();
}

std::string DevmodeText(const DevmodeInfo& d) {
    std::ostringstream o;
    o << "\"" << d.deviceName << "\" dmSize " << d.dmSize << ", dmDriverExtra " << d.dmDriverExtra << ", dmFields "
      << Hex(d.dmFields, 8) << ", orientation " << d.dmOrientation << ", paper " << d.dmPaperSize;
    if (!d.formName.empty()) o << " \"" << d.formName << "\"";
    if (d.dmFields & (DM_PAPERLENGTH | DM_PAPERWIDTH)) o << " " << d.dmPaperWidth << "x" << d.dmPaperLength;
    o << ", copies " << d.dmCopies;
    if (d.hasTrailer) {
        o << "; trailer QLPD flags " << Hex(d.trailerFlags) << " [" << DevmodeFlagNames(d.trailerFlags) << "]";
        if (d.trailerFlags & QL_DM_IMGAREA)
            o << " offsets x " << (d.dmDisplayFrequency >> 16) << " y " << (d.dmDisplayFrequency & 0xFFFF);
    } else {
        o << "; no trailer";
    }
    if (d.hasExtension) {
        o << "; extension QLEX size " << d.extensionSize << " fields " << Hex(d.extensionFields) << " rules "
          << Hex(d.compressionRules[0]) << "," << Hex(d.compressionRules[1]) << "," << Hex(d.compressionRules[2])
          << "," << Hex(d.compressionRules[3]) << " dpi reduction " << d.bitmapDPIReduction;
    }
    return o.str();
}

// ---- JSON ---------------------------------------------------------------------------

class Json {
public:
    void Open(char c) {
        Sep();
        m_s += c;
        m_first = true;
    }
    void Close(char c) {
        m_s += c;
        m_first = false;
    }
    void Key(const char* k) {
        Sep();
        m_s += JsonString(k);
        m_s += ':';
        m_first = true;  // the value follows without a comma
    }
    void Str(const std::string& v) {
        Sep();
        m_s += JsonString(v);
    }
    void Num(uint64_t v) {
        Sep();
        m_s += std::to_string(v);
    }
    void Int(int64_t v) {
        Sep();
        m_s += std::to_string(v);
    }
    void Bool(bool v) {
        Sep();
        m_s += v ? "true" : "false";
    }
    void Null() {
        Sep();
        m_s += "null";
    }
    void Raw(const std::string& json) {
        Sep();
        m_s += json;
    }
    void Counts(const std::map<uint32_t, uint32_t>& counts) {
        Open('{');
        for (const auto& [type, count] : counts) {
            Key(std::to_string(type).c_str());
            Num(count);
        }
        Close('}');
    }
    std::string Take() { return std::move(m_s); }

private:
    void Sep() {
        if (!m_first) m_s += ',';
        m_first = false;
    }
    std::string m_s;
    bool m_first = true;
};

void JsonDevmode(Json& j, const DevmodeInfo& d) {
    j.Open('{');
    j.Key("deviceName"), j.Str(d.deviceName);
    j.Key("formName"), j.Str(d.formName);
    j.Key("dmSpecVersion"), j.Num(d.dmSpecVersion);
    j.Key("dmSize"), j.Num(d.dmSize);
    j.Key("dmDriverExtra"), j.Num(d.dmDriverExtra);
    j.Key("dmFields"), j.Num(d.dmFields);
    j.Key("dmOrientation"), j.Int(d.dmOrientation);
    j.Key("dmPaperSize"), j.Int(d.dmPaperSize);
    j.Key("dmPaperLength"), j.Int(d.dmPaperLength);
    j.Key("dmPaperWidth"), j.Int(d.dmPaperWidth);
    j.Key("dmCopies"), j.Int(d.dmCopies);
    j.Key("dmDisplayFrequency"), j.Num(d.dmDisplayFrequency);
    j.Key("trailer");
    if (d.hasTrailer) {
        j.Open('{');
        j.Key("flags"), j.Num(d.trailerFlags);
        j.Key("names");
        j.Open('[');
        std::istringstream names(DevmodeFlagNames(d.trailerFlags));
        for (std::string n; names >> n;) j.Str(n);
        j.Close(']');
        j.Close('}');
    } else {
        j.Null();
    }
    j.Key("extension");
    if (d.hasExtension) {
        j.Open('{');
        j.Key("size"), j.Num(d.extensionSize);
        j.Key("fields"), j.Num(d.extensionFields);
        j.Key("compressionRules");
        j.Open('[');
        for (uint32_t r : d.compressionRules) j.Num(r);
        j.Close(']');
        j.Key("bitmapDPIReduction"), j.Num(d.bitmapDPIReduction);
        j.Close('}');
    } else {
        j.Null();
    }
    j.Close('}');
}

void JsonPage(Json& j, const EmfPageSummary& p) {
    j.Open('{');
    j.Key("records"), j.Num(p.records);
    j.Key("nBytes"), j.Num(p.headerBytes);
    j.Key("device");
    j.Open('[');
    j.Int(p.deviceX), j.Int(p.deviceY);
    j.Close(']');
    j.Key("millimeters");
    j.Open('[');
    j.Int(p.millimetersX), j.Int(p.millimetersY);
    j.Close(']');
    j.Key("endsWithEof"), j.Bool(p.endsWithEof);
    j.Key("trailingBytes"), j.Num(p.trailingBytes);
    j.Key("stretchDIBits"), j.Num(p.Count(EMR_STRETCHDIBITS));
    j.Key("compressedDIBits"), j.Num(p.Count(EMR_COMPRESSEDDIBITS));
    j.Key("deletedDIBits"), j.Num(p.Count(EMR_DELETEDDIBITS));
    j.Key("cachedDIBits"), j.Num(p.Count(EMR_CACHEDDIBITS));
    j.Key("countsByType"), j.Counts(p.countsByType);
    j.Close('}');
}

constexpr char kUsage[] =
    "usage: qlstream [OPTIONS] FILE\n"
    "\n"
    "Lists a gateway transport stream: the \"%%EMF\" marker, the device mode block\n"
    "and its form, the JDF and watermark blocks, the data and hole blocks of framed\n"
    "output and every spool record with its type and size; for page records the\n"
    "EMF record counts by type (0x8000 compressed, 0x8001 deleted and 0x8002 cached\n"
    "bitmaps included). A plain EMF spool file is listed the same way. The copies\n"
    "of a job (one stream each) are listed one after the other.\n"
    "\n"
    "Every cached bitmap (0x8002) is checked: its distance must lead to the first\n"
    "byte of an earlier bitmap record (81, 0x8000 or 0x8001) of the job whose image\n"
    "number is the one it names. Every compressed bitmap (0x8000) is decoded: its\n"
    "JPEG 2000 stream must give the width and height of its BITMAPINFOHEADER; the\n"
    "text output lists the bitmaps (as --report) when there are compressed ones.\n"
    "\n"
    "  --json             machine-readable output\n"
    "  --logical OUT      write the receiver's logical stream (framing removed, holes\n"
    "                     filled with zeros) to OUT; only for a well-formed stream\n"
    "  --no-blocks        do not list the framing blocks one by one (text output)\n"
    "  --restore OUT      write the EMF spool file the stream stands for to OUT: the\n"
    "                     records without marker and header blocks, every cached\n"
    "                     bitmap expanded again; compressed and deleted bitmaps (and\n"
    "                     cached ones that name them) stay as they are\n"
    "  --copy N           with --restore: the copy to restore (default 1)\n"
    "  --drop-fonts       with --restore: leave out the engine-font records (type 2)\n"
    "                     the sender inserts, and shorten the back distances of\n"
    "                     extension records across them\n"
    "  --images-per-copy  count image numbers and positions from each copy's start\n"
    "                     (the sender counts them once per job)\n"
    "  --report           list every bitmap record and what the gateway did to it\n"
    "                     (kept, reduced, cached, deleted, compressed with its ratio),\n"
    "                     with the bytes each step saved\n"
    "  --input SPL        the spool file the job was printed from: the report adds\n"
    "                     each compressed bitmap's PSNR and each reduced one's size\n"
    "  --lossy            with --restore: compressed bitmaps become 24-bit\n"
    "                     EMR_STRETCHDIBITS records of their decoded pixels\n"
    "  --help             show this text\n"
    "\n"
    "Exit codes: 0 well-formed, 1 malformed or a cached bitmap that does not\n"
    "resolve (where and why on standard error), 2 bad arguments or I/O error,\n"
    "3 spool file restored but with records left that cannot be restored.\n";

} // namespace

const char* DevmodeFormName(DevmodeForm form) {
    switch (form) {
    case DevmodeForm::PublicOnly: return "public";
    case DevmodeForm::PublicPlus8: return "public+8";
    case DevmodeForm::Full: return "full";
    }
    return "?";
}

std::string DevmodeFlagNames(uint32_t flags) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {QL_PREVIEW_ON_CLIENT, "QL_PREVIEW_ON_CLIENT"}, {QL_SHOW_CONFIG_DLG, "QL_SHOW_CONFIG_DLG"},
        {QL_DM_IMGAREA, "QL_DM_IMGAREA"},               {QL_DONT_RESIZE, "QL_DONT_RESIZE"},
        {QL_DONT_MOVE, "QL_DONT_MOVE"},                 {QL_IGNORE_TRAYS, "QL_IGNORE_TRAYS"},
        {QL_MAX_PRIVUNI_SIZE, "QL_MAX_PRIVUNI_SIZE"}};
    std::string s;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(flags & bit)) continue;
        const char* name = nullptr;
        for (const auto& [value, text] : kNames)
            if (value == bit) name = text;
        if (!s.empty()) s += ' ';
        s += name ? std::string(name) : Hex(bit);
    }
    return s;
}

InspectReport InspectStream(std::span<const uint8_t> data, const InspectOptions& options) {
    InspectReport report;
    try {
        Inspector(data, options, report).Run();
        LinkEngineFontsToPages(report);
        report.ok = true;
    } catch (const Malformed& m) {
        report.ok = false;
        report.errorOffset = m.offset;
        report.error = "offset " + std::to_string(m.offset) + ": " + m.why;
        report.logical.clear();
    } catch (const std::exception& e) {
        report.ok = false;
        report.error = std::string("cannot inspect: ") + e.what();
        report.logical.clear();
    }
    return report;
}

std::string FormatReportText(const InspectReport& r, bool listBlocks) {
    std::ostringstream o;
    o << (r.marker ? "transport stream" : r.framed ? "framed stream without marker" : "spool file") << ", "
      << r.streamBytes << " bytes\n";
    if (r.marker) o << "marker \"%%EMF\" at 0\n";
    if (r.devmode)
        o << "device mode block at " << r.devmode->offset << ": length " << r.devmode->length << ", form "
          << DevmodeFormName(r.devmode->form) << ": " << DevmodeText(r.devmode->devmode) << "\n";
    if (r.jdf) o << "JDF block at " << r.jdf->offset << ": length " << r.jdf->length << " (" << r.jdf->length - 5
                 << " ticket bytes)" << (r.jdf->ticket.empty() ? "" : ": \"" + r.jdf->ticket + "\"") << "\n";
    if (r.framed) {
        o << "framing from " << r.framingStart << ": " << r.dataBlocks << " data blocks (" << r.dataBlockBytes
          << " bytes), " << r.holeBlocks << " hole blocks (" << r.holeBlockBytes << " bytes)\n";
        if (listBlocks)
            for (const FrameBlock& b : r.blocks)
                o << "  block at " << b.offset << ": " << (b.hole ? "hole " : "data ") << b.length << " (logical "
                  << b.logicalPos << ")\n";
    } else if (r.marker) {
        o << "framing: none\n";
    }
    if (r.watermark)
        o << "watermark at " << r.watermark->offset << ": EMF page of " << r.watermark->length << " bytes, "
          << r.watermark->page.records << " records [" << CountsText(r.watermark->page.countsByType) << "]\n";
    for (const SpoolRecord& rec : r.records) {
        if (rec.copy > 0 && rec.copy < r.copies.size() && &rec == &r.records[r.copies[rec.copy].firstRecord])
            o << CopyText(r.copies[rec.copy], rec.copy);
        o << "record at " << rec.offset;
        if (r.framed) {
            if (rec.streamOffset)
                o << " (stream " << *rec.streamOffset << ")";
            else
                o << " (in a hole)";
        }
        o << ": type " << TypeLabel(rec.type) << ", size " << rec.size;
        if (rec.endsLoop) o << ", ends the record loop";
        if (!rec.documentName.empty()) o << ", document \"" << rec.documentName << "\"";
        if (!rec.outputName.empty()) o << ", output \"" << rec.outputName << "\"";
        if (rec.page)
            o << ", EMF " << rec.page->records << " records, device " << rec.page->deviceX << "x" << rec.page->deviceY
              << " px " << rec.page->millimetersX << "x" << rec.page->millimetersY << " mm ["
              << CountsText(rec.page->countsByType) << "]";
        if (rec.backDistance) {
            o << ", back " << *rec.backDistance;
            if (rec.target) o << " to record at " << *rec.target << " (type " << TypeLabel(*rec.targetType) << ")";
        }
        if (rec.devmode) o << ", " << DevmodeText(*rec.devmode);
        if (rec.font) o << ", " << EngineFontText(*rec.font);
        o << "\n";
    }
    o << "records: " << r.records.size() << ", pages: " << r.pages;
    if (!r.emfTotals.empty()) o << ", EMF records [" << CountsText(r.emfTotals) << "]";
    o << "\n";
    if (r.copies.size() > 1) o << "copies: " << r.copies.size() << "\n";
    o << "bitmap records: " << r.bitmapRecords << ", cached references: " << r.references.size()
      << ", resolved: " << r.resolvedReferences << "\n";
    for (const BitmapReference& ref : r.references) {
        if (ref.problem.empty())
            o << "  reference at " << ref.offset << " (position " << ref.position << "): image " << ref.imageNumber
              << ", distance " << ref.distance << " to " << EmfTypeName(ref.targetType) << " at " << *ref.target
              << "\n";
        else
            o << "unresolved: " << ref.problem << "\n";
    }
    for (const std::string& w : r.warnings) o << "warning: " << w << "\n";
    if (!r.ok) o << "malformed: " << r.error << "\n";
    return o.str();
}

std::string JsonString(const std::string& text) {
    std::string s = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': s += "\\\""; break;
        case '\\': s += "\\\\"; break;
        case '\n': s += "\\n"; break;
        case '\r': s += "\\r"; break;
        case '\t': s += "\\t"; break;
        case '\b': s += "\\b"; break;
        case '\f': s += "\\f"; break;
        default: {
            // Copy a well-formed UTF-8 sequence; escape control characters and
            // replace stray bytes.
            size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            bool valid = len > 0 && i + len <= text.size() && !(len == 2 && c < 0xC2);
            for (size_t k = 1; valid && k < len; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                s += buf;
            } else if (!valid) {
                s += "\\ufffd";
            } else {
                s.append(text, i, len);
                i += len - 1;
            }
        }
        }
    }
    return s + "\"";
}

std::string FormatReportJson(const InspectReport& r) {
    Json j;
    j.Open('{');
    j.Key("ok"), j.Bool(r.ok);
    j.Key("error");
    if (r.ok) j.Null(); else j.Str(r.error);
    j.Key("errorOffset");
    if (r.ok) j.Null(); else j.Num(r.errorOffset);
    j.Key("bytes"), j.Num(r.streamBytes);
    j.Key("marker"), j.Bool(r.marker);
    j.Key("devmodeBlock");
    if (r.devmode) {
        j.Open('{');
        j.Key("offset"), j.Num(r.devmode->offset);
        j.Key("length"), j.Num(r.devmode->length);
        j.Key("form"), j.Str(DevmodeFormName(r.devmode->form));
        j.Key("devmode"), JsonDevmode(j, r.devmode->devmode);
        j.Close('}');
    } else {
        j.Null();
    }
    j.Key("jdfBlock");
    if (r.jdf) {
        j.Open('{');
        j.Key("offset"), j.Num(r.jdf->offset);
        j.Key("length"), j.Num(r.jdf->length);
        j.Key("ticket"), j.Str(r.jdf->ticket);
        j.Close('}');
    } else {
        j.Null();
    }
    j.Key("framed"), j.Bool(r.framed);
    j.Key("framing");
    if (r.framed) {
        j.Open('{');
        j.Key("start"), j.Num(r.framingStart);
        j.Key("dataBlocks"), j.Num(r.dataBlocks);
        j.Key("dataBytes"), j.Num(r.dataBlockBytes);
        j.Key("holeBlocks"), j.Num(r.holeBlocks);
        j.Key("holeBytes"), j.Num(r.holeBlockBytes);
        j.Key("blocks");
        j.Open('[');
        for (const FrameBlock& b : r.blocks) {
            j.Open('{');
            j.Key("offset"), j.Num(b.offset);
            j.Key("kind"), j.Str(b.hole ? "hole" : "data");
            j.Key("length"), j.Num(b.length);
            j.Key("logical"), j.Num(b.logicalPos);
            j.Close('}');
        }
        j.Close(']');
        j.Close('}');
    } else {
        j.Null();
    }
    j.Key("watermark");
    if (r.watermark) {
        j.Open('{');
        j.Key("offset"), j.Num(r.watermark->offset);
        j.Key("length"), j.Num(r.watermark->length);
        j.Key("page"), JsonPage(j, r.watermark->page);
        j.Close('}');
    } else {
        j.Null();
    }
    j.Key("records");
    j.Open('[');
    for (const SpoolRecord& rec : r.records) {
        j.Open('{');
        j.Key("offset"), j.Num(rec.offset);
        j.Key("copy"), j.Num(rec.copy);
        j.Key("streamOffset");
        if (rec.streamOffset) j.Num(*rec.streamOffset); else j.Null();
        j.Key("type"), j.Num(rec.type);
        j.Key("name"), j.Str(SpoolRecordName(rec.type));
        j.Key("size"), j.Num(rec.size);
        if (rec.endsLoop) j.Key("endsLoop"), j.Bool(true);
        if (rec.type == SPL_FILE_HEADER) {
            j.Key("documentName"), j.Str(rec.documentName);
            j.Key("outputName"), j.Str(rec.outputName);
        }
        if (rec.page) j.Key("emf"), JsonPage(j, *rec.page);
        if (rec.backDistance) {
            j.Key("backDistance"), j.Num(*rec.backDistance);
            j.Key("target");
            if (rec.target) j.Num(*rec.target); else j.Null();
            j.Key("targetType");
            if (rec.targetType) j.Num(*rec.targetType); else j.Null();
        }
        if (rec.devmode) j.Key("devmode"), JsonDevmode(j, *rec.devmode);
        if (rec.font) j.Key("font"), j.Raw(EngineFontJson(*rec.font));
        j.Close('}');
    }
    j.Close(']');
    j.Key("pages"), j.Num(r.pages);
    j.Key("emfTotals"), j.Counts(r.emfTotals);
    j.Key("copies");
    j.Open('[');
    for (const CopyInfo& c : r.copies) {
        j.Open('{');
        j.Key("offset"), j.Num(c.offset);
        j.Key("logical"), j.Num(c.logicalOffset);
        j.Key("position"), j.Num(c.position);
        j.Key("marker"), j.Bool(c.marker);
        j.Key("framed"), j.Bool(c.framed);
        j.Key("firstRecord"), j.Num(c.firstRecord);
        j.Key("records"), j.Num(c.recordCount);
        j.Close('}');
    }
    j.Close(']');
    j.Key("bitmapRecords"), j.Num(r.bitmapRecords);
    j.Key("cachedReferences"), j.Num(r.references.size());
    j.Key("resolvedReferences"), j.Num(r.resolvedReferences);
    j.Key("references");
    j.Open('[');
    for (const BitmapReference& ref : r.references) {
        j.Open('{');
        j.Key("offset"), j.Num(ref.offset);
        j.Key("position"), j.Num(ref.position);
        j.Key("image"), j.Num(ref.ownNumber);
        j.Key("names"), j.Num(ref.imageNumber);
        j.Key("distance"), j.Int(ref.distance);
        j.Key("target");
        if (ref.target) j.Num(*ref.target); else j.Null();
        j.Key("targetType");
        if (ref.target) j.Num(ref.targetType); else j.Null();
        j.Key("problem");
        if (ref.problem.empty()) j.Null(); else j.Str(ref.problem);
        j.Close('}');
    }
    j.Close(']');
    j.Key("warnings");
    j.Open('[');
    for (const std::string& w : r.warnings) j.Str(w);
    j.Close(']');
    j.Close('}');
    return j.Take() + "\n";
}

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        bool json = false, listBlocks = true, dropFonts = false, perCopy = false, transforms = false, lossy = false;
        std::optional<std::string> logicalPath, inputPath, restorePath, originalPath;
        std::optional<uint32_t> copy;
        auto value = [&](size_t& i, const std::string& option) -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                err << "qlstream: " << option << ": missing value\n";
                return std::nullopt;
            }
            return args[++i];
        };
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--help" || a == "-h") {
                out << kUsage;
                return 0;
            } else if (a == "--json") {
                json = true;
            } else if (a == "--no-blocks") {
                listBlocks = false;
            } else if (a == "--drop-fonts") {
                dropFonts = true;
            } else if (a == "--images-per-copy") {
                perCopy = true;
            } else if (a == "--report" || a == "--lossy") {
                (a == "--report" ? transforms : lossy) = true;
            } else if (a == "--input") {
                if (!(originalPath = value(i, a))) return 2;
            } else if (a == "--logical" || a == "--restore") {
                const auto path = value(i, a);
                if (!path) return 2;
                (a == "--logical" ? logicalPath : restorePath) = *path;
            } else if (a == "--copy") {
                const auto text = value(i, a);
                if (!text) return 2;
                char* end = nullptr;
                const unsigned long n = std::strtoul(text->c_str(), &end, 10);
                if (text->empty() || *end != 0 || n < 1 || n > 0xFFFF) {
                    err << "qlstream: --copy: " << *text << " is not a copy number (1, 2, ...)\n";
                    return 2;
                }
                copy = static_cast<uint32_t>(n - 1);
            } else if (a.size() > 1 && a[0] == '-') {
                err << "qlstream: unknown option " << a << "\n(see qlstream --help)\n";
                return 2;
            } else if (inputPath) {
                err << "qlstream: only one input file, got also " << a << "\n";
                return 2;
            } else {
                inputPath = a;
            }
        }
        if (!inputPath) {
            err << "qlstream: no input file given\n(see qlstream --help)\n";
            return 2;
        }
        if ((copy || dropFonts || lossy) && !restorePath) {
            err << "qlstream: --copy, --drop-fonts and --lossy go with --restore\n";
            return 2;
        }
        const auto data = ReadWholeFile(*inputPath);
        if (!data) {
            err << "qlstream: cannot read " << *inputPath << "\n";
            return 2;
        }
        InspectOptions options;
        options.keepLogical = true;
        options.allCopies = true;
        options.imagesPerCopy = perCopy;
        const InspectReport report = InspectStream(*data, options);
        if (!(json && transforms)) out << (json ? FormatReportJson(report) : FormatReportText(report, listBlocks));
        if (!report.ok) {
            err << "qlstream: " << *inputPath << ": malformed: " << report.error << "\n";
            return 1;
        }
        if (!report.ReferencesResolve()) {
            err << "qlstream: " << *inputPath << ": " << report.references.size() - report.resolvedReferences << " of "
                << report.references.size() << " cached bitmaps do not resolve";
            for (const BitmapReference& ref : report.references)
                if (!ref.problem.empty()) {
                    err << "; first: " << ref.problem;
                    break;
                }
            err << "\n";
            return 1;
        }
        auto write = [&](const std::string& path, const std::vector<uint8_t>& bytes) {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            file.close();
            if (!file) err << "qlstream: cannot write " << path << "\n";
            return static_cast<bool>(file);
        };
        if (logicalPath && !write(*logicalPath, report.logical)) return 2;
        std::vector<uint8_t> original;
        if (originalPath) {
            auto bytes = ReadWholeFile(*originalPath);
            if (!bytes) {
                err << "qlstream: cannot read " << *originalPath << "\n";
                return 2;
            }
            original = std::move(*bytes);
        }
        const TransformReport bitmaps = AnalyseBitmaps(report, original, lossy);
        // Compressed bitmaps are always listed with what their streams decode to.
        if (transforms || (!json && bitmaps.Count(BitmapAction::Compressed) > 0))
            out << (json ? FormatTransformJson(bitmaps) : FormatTransformText(bitmaps));
        if (!bitmaps.ok) {
            err << "qlstream: " << *inputPath << ": " << bitmaps.error << "\n";
            return 1;
        }
        if (restorePath) {
            RestoreOptions restore;
            restore.copy = copy.value_or(0);
            restore.dropEngineFonts = dropFonts;
            restore.imagesPerCopy = perCopy;
            RestoreResult r = RestoreSpool(*data, restore);
            if (r.ok && lossy) {
                std::string why;
                const auto replaced = RestoreCompressedBitmaps(r.spool, bitmaps, restore.copy, &why);
                if (!replaced) {
                    err << "qlstream: " << *inputPath << ": cannot restore compressed bitmaps: " << why << "\n";
                    return 1;
                }
                r.leftPrivate -= std::min(r.leftPrivate, *replaced);
                std::erase_if(r.left, [](const std::string& line) {
                    return line.find("(compressed)") != std::string::npos ||
                           line.find(" 0 deleted (0x8001)") != std::string::npos;
                });
            }
            if (!r.ok) {
                err << "qlstream: " << *inputPath << ": cannot restore: " << r.error << "\n";
                return r.error.rfind("there is no copy", 0) == 0 ? 2 : 1;
            }
            if (!write(*restorePath, r.spool)) return 2;
            if (!json)
                out << "restored copy " << restore.copy + 1 << " of " << r.copies << " to " << *restorePath << ": "
                    << r.spool.size() << " bytes, " << r.expanded << " cached bitmaps expanded, " << r.droppedFonts
                    << " font records dropped, " << r.leftPrivate << " bitmap records left as they are\n";
            for (const std::string& line : r.left) err << "qlstream: " << line << "\n";
            if (!r.Complete()) return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        err << "qlstream: " << e.what() << "\n";
        return 2;
    }
}

} // namespace qltools

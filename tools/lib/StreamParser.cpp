// The stream inspector's parser: the marker and header blocks, the framing,
// the watermark and the spool records of every copy, read through the
// logical stream's segment index (holes are never filled in memory).
#include "tools/lib/StreamInternal.h"

#include "emf/EmfRecords.h"
#include "native/Devmode.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/FontRecords.h"
#include "tools/lib/SpoolWriter.h"

#include <exception>

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

// A device mode is at most dmSize + dmDriverExtra bytes, both 16-bit: the
// bytes of a device mode block or record read to decode it.
constexpr uint64_t kDevmodeMaxBytes = 2 * 0xFFFFull;
// The print processor embeds font files of at most 256 MiB.
constexpr uint64_t kEngineFontMaxBytes = 256ull << 20;

using detail::LogicalStream;
using detail::Malformed;
using detail::ReadAt;
using detail::Hex;

// The first bytes of a JDF ticket (of `total`) as one line of text.
std::string TicketText(std::span<const uint8_t> ticket, uint64_t total) {
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
    if (total > kJdfTicketShown) text += "...";
    return text;
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

class Inspector {
public:
    Inspector(LogicalStream& logical, const InspectOptions& options, InspectReport& report)
        : m_src(logical.Source()), m_log(logical), m_options(options), m_r(report) {}

    void Run() {
        const uint64_t size = m_src.Size();
        m_r.streamBytes = size;
        if (size == 0) throw Malformed{0, "the input is empty"};
        const uint32_t first = size >= 4 ? In32(0) : 0;
        if (!InMarkerAt(0) && (size < 4 || (first != SPL_FILE_HEADER && first != kDataBlockTag))) {
            throw Malformed{0, "neither a transport stream (no \"%%EMF\" marker) nor a spool file (first record type " +
                                   (size < 4 ? std::string("cut off") : Hex(first, 8)) +
                                   " is not the file header 0x00010000)"};
        }
        uint64_t pos = 0;
        do {
            pos = Copy(pos);
        } while (pos < size);

        const CopyInfo& firstCopy = m_r.copies.front();
        m_r.marker = firstCopy.marker;
        m_r.devmode = firstCopy.devmode;
        m_r.jdf = firstCopy.jdf;
        m_r.framed = firstCopy.framed;
        m_r.framingStart = firstCopy.framingStart;
        m_r.watermark = firstCopy.watermark;
        detail::CheckReferences(m_log, m_options, std::move(m_countedHeaders), m_r);
        if (m_options.keepLogical) Materialise();
    }

private:
    uint32_t In32(uint64_t pos) const {
        uint8_t b[4];
        m_src.Read(pos, b);
        return static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<uint32_t>(b[3]) << 24;
    }
    bool InMarkerAt(uint64_t pos) const {
        if (pos > m_src.Size() || m_src.Size() - pos < 5) return false;
        uint8_t b[5];
        m_src.Read(pos, b);
        return std::memcmp(b, "%%EMF", 5) == 0;
    }

    // The logical stream as bytes, for callers that asked for it; only here
    // does the size of a hole cost memory, so only here is it capped.
    void Materialise() {
        if (m_log.Size() > m_options.maxLogicalBytes) {
            const Segment* s = m_log.SegmentOf(m_options.maxLogicalBytes);
            throw Malformed{s ? s->streamStart : m_src.Size(),
                            "the logical stream would grow past " + std::to_string(m_options.maxLogicalBytes) + " bytes"};
        }
        m_r.logical.resize(static_cast<size_t>(m_log.Size()));
        m_log.Read(0, m_r.logical);
    }

    using Segment = detail::Segment;

    [[noreturn]] void FailLogical(uint64_t logicalPos, const std::string& why) const {
        const Segment* s = m_log.SegmentOf(logicalPos);
        if (!s) throw Malformed{m_src.Size(), "logical offset " + std::to_string(logicalPos) + ": " + why};
        if (s->hole)
            throw Malformed{s->streamStart, "logical offset " + std::to_string(logicalPos) + " (inside a hole): " + why};
        const uint64_t at = s->streamStart + (logicalPos - s->logicalStart);
        if (!s->framed && at == logicalPos) throw Malformed{at, why};
        throw Malformed{at, "logical offset " + std::to_string(logicalPos) + ": " + why};
    }

    // One copy from stream offset `pos`; returns where the next one begins
    // (the end of the input when this is the last).
    uint64_t Copy(uint64_t pos) {
        const uint64_t size = m_src.Size();
        CopyInfo copy;
        copy.offset = pos;
        copy.logicalOffset = m_log.Size();
        copy.firstRecord = m_r.records.size();
        m_currentCopy = static_cast<uint32_t>(m_r.copies.size());
        uint64_t headerEnd = pos;
        if (InMarkerAt(pos)) {
            copy.marker = true;
            headerEnd = HeaderBlocks(copy, pos + 5);
        }
        m_log.Add(pos, headerEnd - pos, false, false);
        pos = headerEnd;
        if (size - pos >= 4) {
            const uint32_t tag = In32(pos);
            copy.framed = tag == kDataBlockTag || tag == kHoleBlockTag;
        }
        uint64_t next = size;
        if (copy.framed) {
            copy.framingStart = pos;
            next = Unframe(pos);
        } else {
            m_log.Add(pos, size - pos, false, false);  // cut back below when a copy follows
        }
        uint64_t lpos = copy.logicalOffset + (headerEnd - copy.offset);
        const uint64_t wm = lpos;
        lpos = Watermark(copy, lpos);
        if (copy.framed && copy.watermark) m_countedHeaders.push_back(wm);
        const uint64_t stop = Records(copy, lpos, m_log.Size());
        if (!copy.framed && stop < m_log.Size()) {
            // The next copy's marker: this copy's bytes end here.
            next = *m_log.StreamOffsetOf(stop);
            m_log.CutAt(stop);
        }
        copy.logicalEnd = m_log.Size();
        copy.recordCount = m_r.records.size() - copy.firstRecord;
        m_r.copies.push_back(std::move(copy));
        return next;
    }

    // "%%EMF" is followed by the device mode block and the JDF block, each
    // optional, in that order.
    uint64_t HeaderBlocks(CopyInfo& copy, uint64_t pos) {
        const uint64_t size = m_src.Size();
        for (;;) {
            uint8_t tag = 0;
            if (pos >= size) break;
            m_src.Read(pos, std::span<uint8_t>(&tag, 1));
            if (tag != kDevmodeBlockTag && tag != kJdfBlockTag) break;
            const char* what = tag == kDevmodeBlockTag ? "device mode block" : "JDF block";
            if (size - pos < 5) throw Malformed{pos, std::string(what) + " header cut off"};
            const uint32_t length = In32(pos + 1);
            if (length < 5)
                throw Malformed{pos, std::string(what) + " length " + std::to_string(length) + " is below 5"};
            if (length > size - pos)
                throw Malformed{pos, std::string(what) + " of " + std::to_string(length) +
                                         " bytes runs past the end of the stream (" + std::to_string(size - pos) +
                                         " bytes left)"};
            const uint64_t payloadBytes = length - 5u;
            if (tag == kDevmodeBlockTag) {
                if (copy.devmode) throw Malformed{pos, "a second device mode block"};
                if (copy.jdf) throw Malformed{pos, "device mode block after the JDF block"};
                copy.devmode = DevmodeBlockAt(pos, length, payloadBytes);
            } else {
                if (copy.jdf) throw Malformed{pos, "a second JDF block"};
                std::vector<uint8_t> shown(static_cast<size_t>(std::min<uint64_t>(payloadBytes, kJdfTicketShown)));
                m_src.Read(pos + 5, shown);
                copy.jdf = JdfBlock{pos, length, TicketText(shown, payloadBytes)};
                if (length == 5) Warn("the JDF block at " + std::to_string(pos) + " is empty");
            }
            pos += length;
        }
        return pos;
    }

    DevmodeBlock DevmodeBlockAt(uint64_t pos, uint32_t length, uint64_t payloadBytes) {
        if (payloadBytes < kDevmodeHeaderBytes)
            throw Malformed{pos, "device mode block holds " + std::to_string(payloadBytes) +
                                     " bytes, too few for a device mode header (" +
                                     std::to_string(kDevmodeHeaderBytes) + ")"};
        std::vector<uint8_t> payload(static_cast<size_t>(std::min(payloadBytes, kDevmodeMaxBytes)));
        m_src.Read(pos + 5, payload);
        DevmodeBlock block;
        block.offset = pos;
        block.length = length;
        block.devmode = DecodeDevmode(payload);
        const DevmodeInfo& d = block.devmode;
        if (d.dmSize < kDevmodeHeaderBytes)
            throw Malformed{pos + 5 + offsetof(DEVMODEW, dmSize),
                            "device mode dmSize " + std::to_string(d.dmSize) + " is below its header size"};
        const uint64_t announced = static_cast<uint64_t>(d.dmSize) + d.dmDriverExtra;
        if (announced != payloadBytes)
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

    // Indexes the data/hole block framing from `pos` on: the data blocks'
    // bytes, every hole block standing for as many zero bytes. Ends at the
    // end of the input or, with allCopies, at the next copy's marker; returns
    // where it ended.
    uint64_t Unframe(uint64_t pos) {
        const uint64_t size = m_src.Size();
        while (pos < size) {
            const uint64_t left = size - pos;
            if (InMarkerAt(pos)) {
                if (m_options.allCopies) return pos;
                throw Malformed{pos, "a further transport stream (the next copy) begins here"};
            }
            if (left < 8) throw Malformed{pos, std::to_string(left) + " bytes left, too few for a block header"};
            const uint32_t tag = In32(pos);
            const uint32_t length = In32(pos + 4);
            FrameBlock block{pos, false, length, m_log.Size()};
            if (tag != kDataBlockTag && tag != kHoleBlockTag)
                throw Malformed{pos, "unknown block tag " + Hex(tag, 8) + " (a data block 0x08080000 or a hole block "
                                                                            "0x80800000 was expected)"};
            if (tag == kDataBlockTag) {
                if (length > left - 8)
                    throw Malformed{pos, "data block of " + std::to_string(length) +
                                             " bytes runs past the end of the stream (" + std::to_string(left - 8) +
                                             " bytes left)"};
                m_log.Add(pos + 8, length, false, true);
                ++m_r.dataBlocks;
                m_r.dataBlockBytes += length;
                pos += 8 + static_cast<uint64_t>(length);
            } else {
                block.hole = true;
                m_log.Add(pos, length, true, true);
                ++m_r.holeBlocks;
                m_r.holeBlockBytes += length;
                pos += 8;
            }
            m_r.blocks.push_back(block);
        }
        return pos;
    }

    // The watermark block: u32 0, u32 0x40000000, u32 L, L bytes of EMF page.
    uint64_t Watermark(CopyInfo& copy, uint64_t pos) {
        if (!copy.marker && !copy.framed) return pos;
        const uint64_t size = m_log.Size();
        if (size - pos < 12 || m_log.U32(pos) != 0 || m_log.U32(pos + 4) != kWatermarkTag) return pos;
        const uint32_t length = m_log.U32(pos + 8);
        if (length > size - pos - 12)
            FailLogical(pos, "watermark page of " + std::to_string(length) + " bytes runs past the end (" +
                                 std::to_string(size - pos - 12) + " bytes left)");
        WatermarkBlock block{pos, length, {}};
        auto page = SummarizeEmf(pos + 12, length);
        if (!page) FailLogical(pos + 12, "the watermark page does not begin with an EMF header");
        block.page = *page;
        copy.watermark = block;
        return pos + 12 + length;
    }

    // Counts the records of the EMF page of `length` bytes at logical `base`;
    // none when it is not an EMF (no EMR_HEADER with the signature). A broken
    // record structure is malformed.
    std::optional<EmfPageSummary> SummarizeEmf(uint64_t base, uint64_t length) const {
        if (length < 88) return std::nullopt;
        const std::vector<uint8_t> header = m_log.Bytes(base, 88);
        uint32_t type = 0, signature = 0;
        ReadAt(header, 0, 88, type);
        ReadAt(header, 40, 88, signature);
        if (type != EMR_HEADER || signature != ENHMETA_SIGNATURE) return std::nullopt;
        EmfPageSummary s;
        ReadAt(header, 48, 88, s.headerBytes);
        ReadAt(header, 72, 88, s.deviceX);
        ReadAt(header, 76, 88, s.deviceY);
        ReadAt(header, 80, 88, s.millimetersX);
        ReadAt(header, 84, 88, s.millimetersY);
        uint64_t p = 0;
        while (p < length) {
            if (length - p < 8)
                FailLogical(base + p, "EMF record header cut off at the end of the page (" +
                                          std::to_string(length - p) + " bytes left)");
            const uint32_t recType = m_log.U32(base + p);
            const uint32_t size = m_log.U32(base + p + 4);
            if (size < 8 || size % 4 != 0)
                FailLogical(base + p, "EMF record type " + std::to_string(recType) + " has size " +
                                          std::to_string(size) + " (not a multiple of 4 of at least 8)");
            if (size > length - p)
                FailLogical(base + p, "EMF record type " + std::to_string(recType) + " of " + std::to_string(size) +
                                          " bytes runs past the end of its page (" + std::to_string(length - p) +
                                          " bytes left)");
            ++s.records;
            ++s.countsByType[recType];
            p += size;
            if (recType == EMR_EOF) {
                s.endsWithEof = true;
                s.trailingBytes = length - p;
                break;
            }
        }
        return s;
    }

    // A NUL-terminated UTF-16 name at `offset` of a record body of `bodyBytes`
    // beginning at logical `body`.
    std::string NameAt(uint64_t body, uint64_t bodyBytes, uint64_t offset) const {
        if (offset >= bodyBytes) return {};
        const std::vector<uint8_t> text = m_log.Bytes(body + offset, std::min<uint64_t>(bodyBytes - offset, 2048));
        return WideText(text, 0, text.size(), 1024);
    }

    // The spool records of one copy in [pos, end); returns where they end:
    // `end`, or the offset of the next copy's marker in an unframed stream.
    uint64_t Records(const CopyInfo& copy, uint64_t pos, uint64_t end) {
        std::map<uint64_t, uint32_t> starts;  // record offset -> type
        bool first = true;
        while (pos < end) {
            if (!copy.framed && m_log.MarkerAt(pos, end)) {
                if (m_options.allCopies) return pos;
                FailLogical(pos, "a further transport stream (the next copy) begins here");
            }
            if (end - pos < 8)
                FailLogical(pos, std::to_string(end - pos) + " bytes left, too few for a spool record header");
            SpoolRecord rec;
            rec.copy = m_currentCopy;
            rec.offset = pos;
            rec.streamOffset = m_log.StreamOffsetOf(pos);
            rec.type = m_log.U32(pos);
            rec.size = m_log.U32(pos + 4);
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
            const uint64_t body = pos + 8;
            if (header) {
                // In framed output the block header in front of the file
                // header record is sent as payload and counted as such.
                if (copy.framed) m_countedHeaders.push_back(pos);
                // The name offsets count from the record's start, header included.
                const uint32_t docAt = rec.bodyBytes >= 4 ? m_log.U32(body) : 0;
                const uint32_t outAt = rec.bodyBytes >= 8 ? m_log.U32(body + 4) : 0;
                if (docAt >= 8) rec.documentName = NameAt(body, rec.bodyBytes, docAt - 8u);
                if (outAt >= 8) rec.outputName = NameAt(body, rec.bodyBytes, outAt - 8u);
            } else if (IsSpoolPageRecord(rec.type)) {
                ++m_r.pages;
                rec.page = SummarizeEmf(body, rec.bodyBytes);
                if (!rec.page)
                    Warn("the page record at " + std::to_string(pos) + " does not begin with an EMF header");
                else
                    for (const auto& [type, count] : rec.page->countsByType) m_r.emfTotals[type] += count;
            } else if (IsSpoolExtensionRecord(rec.type)) {
                if (rec.bodyBytes < 4)
                    FailLogical(pos, what + ": an extension record needs 4 bytes for its back distance");
                uint64_t distance = m_log.U32(body);
                if (rec.bodyBytes >= 8) distance |= static_cast<uint64_t>(m_log.U32(body + 4)) << 32;
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
                // A font record is read whole: its digest and FreeType's check need the file's bytes.
                rec.font.emplace();
                if (rec.bodyBytes > kEngineFontMaxBytes)
                    FailLogical(pos, what + ": the engine-font record is larger than " +
                                         std::to_string(kEngineFontMaxBytes) + " bytes");
                if (std::string why = ReadEngineFont(m_log.Bytes(body, rec.bodyBytes), *rec.font); !why.empty())
                    FailLogical(pos, what + ": " + why);
            } else if (rec.type == SPL_DEVMODE) {
                if (rec.bodyBytes >= kDevmodeHeaderBytes) {
                    rec.devmode = DecodeDevmode(m_log.Bytes(body, kDevmodeMaxBytes));
                    if (static_cast<uint64_t>(rec.devmode->dmSize) + rec.devmode->dmDriverExtra > rec.bodyBytes)
                        Warn("the device mode record at " + std::to_string(pos) +
                             " is shorter than its dmSize + dmDriverExtra");
                }
            }
            starts[pos] = rec.type;
            pos += 8 + rec.bodyBytes;
            m_r.records.push_back(std::move(rec));
        }
        return end;
    }

    void Warn(std::string text) { m_r.warnings.push_back(std::move(text)); }

    detail::ByteSource& m_src;
    LogicalStream& m_log;
    const InspectOptions& m_options;
    InspectReport& m_r;
    std::vector<uint64_t> m_countedHeaders;  // logical offsets behind a payload block header
    uint32_t m_currentCopy = 0;
};

} // namespace

namespace detail {

void Inspect(LogicalStream& logical, const InspectOptions& options, InspectReport& report) {
    Inspector(logical, options, report).Run();
}

void InspectInto(LogicalStream& logical, const InspectOptions& options, InspectReport& report) {
    try {
        Inspect(logical, options, report);
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
}

} // namespace detail

InspectReport InspectStream(std::span<const uint8_t> data, const InspectOptions& options) {
    InspectReport report;
    detail::MemorySource source(data);
    LogicalStream logical(source);
    detail::InspectInto(logical, options, report);
    return report;
}

InspectReport InspectFile(const std::string& path, uint64_t offset, std::optional<uint64_t> length,
                          const InspectOptions& options) {
    InspectReport report;
    detail::FileSource source;
    std::string error;
    if (!source.Open(path, offset, length, &error)) {
        report.error = "cannot inspect: " + error;
        return report;
    }
    LogicalStream logical(source);
    detail::InspectInto(logical, options, report);
    return report;
}

} // namespace qltools

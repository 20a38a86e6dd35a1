#include "tools/lib/BitmapTransforms.h"

#include "emf/EmfRecords.h"
#include "tools/lib/EmfBuilder.h"

#include <openjpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

namespace qltools {

namespace {

constexpr uint32_t kBitmapTypes[] = {EMR_STRETCHDIBITS_TYPE, EMR_COMPRESSEDDIBITS, EMR_DELETEDDIBITS,
                                     EMR_CACHEDDIBITS};

bool IsBitmapType(uint32_t type) {
    return std::find(std::begin(kBitmapTypes), std::end(kBitmapTypes), type) != std::end(kBitmapTypes);
}

// OpenJPEG reads the code stream from memory.
struct MemoryStream {
    std::span<const uint8_t> data;
    uint64_t pos = 0;
};

OPJ_SIZE_T MemRead(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (s->pos >= s->data.size()) return static_cast<OPJ_SIZE_T>(-1);
    const uint64_t take = std::min<uint64_t>(n, s->data.size() - s->pos);
    std::memcpy(buffer, s->data.data() + s->pos, take);
    s->pos += take;
    return static_cast<OPJ_SIZE_T>(take);
}

OPJ_OFF_T MemSkip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (n < 0) return -1;
    const uint64_t left = s->data.size() - std::min<uint64_t>(s->pos, s->data.size());
    const uint64_t step = std::min<uint64_t>(uint64_t(n), left);
    s->pos += step;
    return static_cast<OPJ_OFF_T>(step);
}

OPJ_BOOL MemSeek(OPJ_OFF_T pos, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (pos < 0 || uint64_t(pos) > s->data.size()) return OPJ_FALSE;
    s->pos = uint64_t(pos);
    return OPJ_TRUE;
}

void KeepMessage(const char* msg, void* user) {
    auto* why = static_cast<std::string*>(user);
    if (why && why->empty()) {
        *why = msg;
        while (!why->empty() && (why->back() == '\n' || why->back() == '\r')) why->pop_back();
    }
}

void QuietMessage(const char*, void*) {}

// The code stream of an EMR_COMPRESSEDDIBITS record: from offBmiSrc + 40 to
// its last non-zero byte (the stream ends with the EOC marker FFD9; the
// released bytes behind it are zero).
std::span<const uint8_t> CompressedStream(std::span<const uint8_t> record, uint32_t offBmiSrc) {
    const uint64_t start = uint64_t(offBmiSrc) + BITMAPINFOHEADER_SIZE;
    if (start >= record.size()) return {};
    uint64_t end = record.size();
    while (end > start && record[end - 1] == 0) --end;
    return record.subspan(start, end - start);
}

struct DibLayout {
    int32_t width = 0, height = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    uint64_t stride = 0;
    bool bottomUp = true;
};

DibLayout ReadLayout(const BITMAPINFOHEADER& h) {
    DibLayout l;
    l.width = h.biWidth;
    l.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    l.bottomUp = h.biHeight > 0;
    l.bitCount = h.biBitCount;
    l.compression = h.biCompression;
    l.stride = (uint64_t(l.width > 0 ? l.width : 0) * h.biBitCount + 31) / 32 * 4;
    return l;
}

std::string At(uint64_t offset, const std::string& why) {
    return "offset " + std::to_string(offset) + ": " + why;
}

struct BitmapRecordRef {
    uint64_t offset;  // in the logical stream
    std::span<const uint8_t> bytes;
    uint32_t copy;
    uint32_t page;
};

// Every bitmap record of the stream, in record order (the inspector's image
// numbering).
std::vector<BitmapRecordRef> BitmapRecords(const InspectReport& report) {
    std::vector<BitmapRecordRef> out;
    const std::span<const uint8_t> logical = report.logical;
    std::vector<uint32_t> pagesPerCopy(report.copies.size() + 1, 0);
    for (const SpoolRecord& rec : report.records) {
        if (!rec.page || rec.endsLoop || rec.offset + 8 + rec.bodyBytes > logical.size()) continue;
        const uint32_t page = ++pagesPerCopy[std::min<size_t>(rec.copy, report.copies.size())];
        const auto body = logical.subspan(rec.offset + 8, rec.bodyBytes);
        uint64_t off = 0;
        while (body.size() - off >= 8) {
            const uint32_t type = GetU32(body, off);
            const uint32_t size = GetU32(body, off + 4);
            if (size < 8 || size > body.size() - off) break;
            if (IsBitmapType(type)) out.push_back({rec.offset + 8 + off, body.subspan(off, size), rec.copy, page});
            off += size;
        }
    }
    return out;
}

// A 24-bit bottom-up EMR_STRETCHDIBITS record of the pixels, with the
// drawing fields of `fixed`.
std::vector<uint8_t> Make24BitRecord(StretchDIBitsRecord fixed, const RgbPixels& px) {
    const uint32_t stride = (px.width * 3 + 3) / 4 * 4;
    const uint32_t cbBits = stride * px.height;
    fixed.iType = EMR_STRETCHDIBITS_TYPE;
    fixed.offBmiSrc = STRETCHDIBITS_FIXED_SIZE;
    fixed.cbBmiSrc = BITMAPINFOHEADER_SIZE;
    fixed.offBitsSrc = STRETCHDIBITS_FIXED_SIZE + BITMAPINFOHEADER_SIZE;
    fixed.cbBitsSrc = cbBits;
    fixed.iUsageSrc = 0;  // DIB_RGB_COLORS
    fixed.nSize = fixed.offBitsSrc + cbBits;
    std::vector<uint8_t> rec(fixed.nSize, 0);
    StoreRecord(rec.data(), fixed);
    BITMAPINFOHEADER h{};
    h.biSize = BITMAPINFOHEADER_SIZE;
    h.biWidth = static_cast<LONG>(px.width);
    h.biHeight = static_cast<LONG>(px.height);
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = cbBits;
    StoreRecord(rec.data() + fixed.offBmiSrc, h);
    for (uint32_t y = 0; y < px.height; ++y) {
        uint8_t* row = rec.data() + fixed.offBitsSrc + size_t(px.height - 1 - y) * stride;
        const uint8_t* src = px.rgb.data() + size_t(y) * px.width * 3;
        for (uint32_t x = 0; x < px.width; ++x) {
            row[3 * x] = src[3 * x + 2];
            row[3 * x + 1] = src[3 * x + 1];
            row[3 * x + 2] = src[3 * x];
        }
    }
    return rec;
}

}  // namespace

std::optional<Jpeg2000Coder> Jpeg2000CoderOf(std::span<const uint8_t> stream) {
    constexpr uint16_t SOC = 0xFF4F, SOT = 0xFF90, CAP = 0xFF50;
    const auto be16 = [&](size_t at) { return uint16_t(stream[at] << 8 | stream[at + 1]); };
    if (stream.size() < 2 || be16(0) != SOC) return std::nullopt;
    // Marker segments of the main header, each a marker and a length that
    // counts itself, up to the first tile part.
    for (size_t at = 2; at + 4 <= stream.size();) {
        const uint16_t marker = be16(at);
        if (marker == SOT) return Jpeg2000Coder::Standard;
        if (marker == CAP) return Jpeg2000Coder::HighThroughput;
        const uint16_t length = be16(at + 2);
        if ((marker >> 8) != 0xFF || length < 2) return std::nullopt;
        at += 2 + size_t(length);
    }
    return std::nullopt;
}

const char* Jpeg2000CoderName(Jpeg2000Coder coder) {
    return coder == Jpeg2000Coder::HighThroughput ? "HTJ2K" : "J2K";
}

std::optional<RgbPixels> DecodeJpeg2000(std::span<const uint8_t> stream, uint32_t* components, std::string* why) {
    std::string message;
    *components = 0;
    MemoryStream mem{stream, 0};
    opj_stream_t* s = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE);
    opj_codec_t* codec = opj_create_decompress(OPJ_CODEC_J2K);
    opj_image_t* image = nullptr;
    std::optional<RgbPixels> out;
    if (s && codec) {
        opj_stream_set_user_data(s, &mem, nullptr);
        opj_stream_set_user_data_length(s, stream.size());
        opj_stream_set_read_function(s, MemRead);
        opj_stream_set_skip_function(s, MemSkip);
        opj_stream_set_seek_function(s, MemSeek);
        opj_set_error_handler(codec, KeepMessage, &message);
        opj_set_warning_handler(codec, QuietMessage, nullptr);
        opj_set_info_handler(codec, QuietMessage, nullptr);
        opj_dparameters_t params;
        opj_set_default_decoder_parameters(&params);
        if (opj_setup_decoder(codec, &params) && opj_read_header(s, codec, &image) && opj_decode(codec, s, image) &&
            opj_end_decompress(codec, s)) {
            *components = image->numcomps;
            const uint32_t w = image->x1 - image->x0, h = image->y1 - image->y0;
            bool plain = image->numcomps == 3;
            for (uint32_t c = 0; plain && c < 3; ++c) {
                const opj_image_comp_t& comp = image->comps[c];
                plain = comp.data && comp.w == w && comp.h == h && comp.prec == 8 && !comp.sgnd;
            }
            if (plain) {
                RgbPixels px;
                px.width = w;
                px.height = h;
                px.rgb.resize(size_t(w) * h * 3);
                for (size_t i = 0; i < size_t(w) * h; ++i)
                    for (uint32_t c = 0; c < 3; ++c)
                        px.rgb[i * 3 + c] = static_cast<uint8_t>(std::clamp(image->comps[c].data[i], 0, 255));
                out = std::move(px);
            } else {
                message = std::to_string(image->numcomps) + " components that are not 8-bit planes of " +
                          std::to_string(w) + "x" + std::to_string(h);
            }
        } else if (message.empty()) {
            message = "not a JPEG 2000 code stream";
        }
    } else {
        message = "out of memory";
    }
    if (image) opj_image_destroy(image);
    if (codec) opj_destroy_codec(codec);
    if (s) opj_stream_destroy(s);
    if (!out && why) *why = message;
    return out;
}

std::optional<RgbPixels> StretchDIBitsToRgb(std::span<const uint8_t> record, std::string* why) {
    auto fail = [why](const std::string& text) -> std::optional<RgbPixels> {
        if (why) *why = text;
        return std::nullopt;
    };
    if (record.size() < STRETCHDIBITS_FIXED_SIZE) return fail("record shorter than its fixed part");
    const auto r = LoadRecord<StretchDIBitsRecord>(record.data());
    if (!StretchDIBitsFitsRecord(r, static_cast<DWORD>(record.size())))
        return fail("BITMAPINFO or bits do not fit the record");
    const auto h = LoadRecord<BITMAPINFOHEADER>(record.data() + r.offBmiSrc);
    const DibLayout l = ReadLayout(h);
    if (l.compression != BI_RGB) return fail("not BI_RGB");
    if (l.width <= 0 || l.height <= 0 || l.width > 65536 || l.height > 65536) return fail("unusable size");
    static constexpr uint16_t kDepths[] = {1, 4, 8, 16, 24, 32};
    if (std::find(std::begin(kDepths), std::end(kDepths), l.bitCount) == std::end(kDepths))
        return fail("unsupported depth " + std::to_string(l.bitCount));
    if (l.stride * uint64_t(l.height) > r.cbBitsSrc) return fail("bits shorter than the header says");
    const uint32_t tableBytes = r.cbBmiSrc - BITMAPINFOHEADER_SIZE;
    const uint8_t* table = record.data() + r.offBmiSrc + BITMAPINFOHEADER_SIZE;
    const uint8_t* bits = record.data() + r.offBitsSrc;
    RgbPixels px;
    px.width = static_cast<uint32_t>(l.width);
    px.height = static_cast<uint32_t>(l.height);
    px.rgb.resize(size_t(px.width) * px.height * 3);
    for (uint32_t y = 0; y < px.height; ++y) {
        const uint8_t* row = bits + (l.bottomUp ? px.height - 1 - y : y) * l.stride;
        uint8_t* dst = px.rgb.data() + size_t(y) * px.width * 3;
        for (uint32_t x = 0; x < px.width; ++x, dst += 3) {
            uint32_t index = 0;
            switch (l.bitCount) {
            case 1: index = (row[x / 8] >> (7 - x % 8)) & 1; break;
            case 4: index = (x & 1) ? row[x / 2] & 15 : row[x / 2] >> 4; break;
            case 8: index = row[x]; break;
            case 16: {
                const uint16_t p = uint16_t(row[2 * x] | row[2 * x + 1] << 8);
                dst[0] = uint8_t(((p >> 10) & 31) << 3);
                dst[1] = uint8_t(((p >> 5) & 31) << 3);
                dst[2] = uint8_t((p & 31) << 3);
                continue;
            }
            default: {
                const uint8_t* p = row + size_t(x) * (l.bitCount / 8);
                dst[0] = p[2];
                dst[1] = p[1];
                dst[2] = p[0];
                continue;
            }
            }
            if ((index + 1) * 4 > tableBytes) return fail("colour index " + std::to_string(index) + " beyond the table");
            dst[0] = table[index * 4 + 2];
            dst[1] = table[index * 4 + 1];
            dst[2] = table[index * 4];
        }
    }
    return px;
}

double Psnr(std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) return 99;
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

const char* BitmapActionName(BitmapAction action) {
    switch (action) {
    case BitmapAction::Kept: return "kept";
    case BitmapAction::Reduced: return "reduced";
    case BitmapAction::Cached: return "cached";
    case BitmapAction::Deleted: return "deleted";
    case BitmapAction::Compressed: return "compressed";
    }
    return "?";
}

uint32_t TransformReport::Count(BitmapAction action) const {
    return static_cast<uint32_t>(
        std::count_if(bitmaps.begin(), bitmaps.end(), [action](const BitmapTransform& b) { return b.action == action; }));
}

TransformReport AnalyseBitmaps(const InspectReport& report, std::span<const uint8_t> original, bool keepPixels) {
    TransformReport out;
    try {
        // The original bitmaps, in order.
        std::vector<std::vector<uint8_t>> originals;
        if (!original.empty()) {
            InspectOptions o;
            o.keepLogical = true;
            const InspectReport orig = InspectStream(original, o);
            if (!orig.ok) {
                out.ok = false;
                out.error = "original spool file: " + orig.error;
                return out;
            }
            for (const BitmapRecordRef& b : BitmapRecords(orig))
                if (GetU32(b.bytes, 0) == EMR_STRETCHDIBITS_TYPE) originals.emplace_back(b.bytes.begin(), b.bytes.end());
        }
        std::map<uint64_t, uint32_t> referenceTarget;  // offset of a 0x8002 record -> image it names
        for (const BitmapReference& ref : report.references) referenceTarget[ref.offset] = ref.imageNumber;

        uint32_t image = 0, lastCopy = 0, imageInCopy = 0;
        for (const BitmapRecordRef& b : BitmapRecords(report)) {
            ++image;
            if (b.copy != lastCopy) imageInCopy = 0, lastCopy = b.copy;
            ++imageInCopy;
            BitmapTransform t;
            t.copy = b.copy;
            t.page = b.page;
            t.image = image;
            t.offset = b.offset;
            t.type = GetU32(b.bytes, 0);
            t.recordSize = static_cast<uint32_t>(b.bytes.size());
            out.bytesIn += t.recordSize;
            if (b.bytes.size() < STRETCHDIBITS_FIXED_SIZE) throw std::runtime_error(At(b.offset, "bitmap record too short"));
            const auto r = LoadRecord<StretchDIBitsRecord>(b.bytes.data());
            const bool headerFits = r.offBmiSrc >= STRETCHDIBITS_FIXED_SIZE &&
                                    uint64_t(r.offBmiSrc) + BITMAPINFOHEADER_SIZE <= b.bytes.size();
            BITMAPINFOHEADER h{};
            if (headerFits) h = LoadRecord<BITMAPINFOHEADER>(b.bytes.data() + r.offBmiSrc);
            t.width = h.biWidth;
            t.height = h.biHeight;
            t.bitCount = h.biBitCount;
            if (r.offBitsSrc >= r.offBmiSrc + BITMAPINFOHEADER_SIZE)
                t.originalBytes = r.offBitsSrc - r.offBmiSrc - BITMAPINFOHEADER_SIZE + r.cbBitsSrc;
            const std::vector<uint8_t>* orig = imageInCopy <= originals.size() ? &originals[imageInCopy - 1] : nullptr;
            if (orig) {
                const auto o = LoadRecord<StretchDIBitsRecord>(orig->data());
                if (StretchDIBitsFitsRecord(o, static_cast<DWORD>(orig->size()))) {
                    const auto oh = LoadRecord<BITMAPINFOHEADER>(orig->data() + o.offBmiSrc);
                    t.originalWidth = oh.biWidth;
                    t.originalHeight = oh.biHeight;
                }
            }
            switch (t.type) {
            case EMR_CACHEDDIBITS:
                t.action = BitmapAction::Cached;
                t.cachedImage = referenceTarget.count(b.offset) ? referenceTarget[b.offset] : 0;
                if (headerFits) t.savedBytes = t.recordSize - std::min<uint64_t>(t.recordSize, r.offBmiSrc + CACHED_RELEASED_OFFSET);
                out.savedByCache += t.savedBytes;
                break;
            case EMR_DELETEDDIBITS:
                t.action = BitmapAction::Deleted;
                t.savedBytes = t.recordSize - STRETCHDIBITS_FIXED_SIZE;
                out.savedByDeletion += t.savedBytes;
                break;
            case EMR_COMPRESSEDDIBITS: {
                t.action = BitmapAction::Compressed;
                if (!headerFits) throw std::runtime_error(At(b.offset, "compressed bitmap without a BITMAPINFOHEADER"));
                const auto stream = CompressedStream(b.bytes, r.offBmiSrc);
                t.streamBytes = static_cast<uint32_t>(stream.size());
                std::string why;
                // A main header that does not parse fails the decode below.
                t.coder = Jpeg2000CoderOf(stream).value_or(Jpeg2000Coder::Standard);
                auto px = DecodeJpeg2000(stream, &t.components, &why);
                if (!px)
                    throw std::runtime_error(At(b.offset, "compressed bitmap (image " + std::to_string(image) +
                                                              ") does not decode: " + why));
                if (int64_t(px->width) != t.width || int64_t(px->height) != (t.height < 0 ? -int64_t(t.height) : t.height))
                    throw std::runtime_error(At(b.offset, "compressed bitmap decodes to " + std::to_string(px->width) +
                                                              "x" + std::to_string(px->height) + ", its header says " +
                                                              std::to_string(t.width) + "x" + std::to_string(t.height)));
                t.ratio = t.streamBytes ? double(t.originalBytes) / t.streamBytes : 0;
                t.savedBytes = t.recordSize - std::min<uint64_t>(t.recordSize, uint64_t(r.offBmiSrc) +
                                                                                   BITMAPINFOHEADER_SIZE + t.streamBytes);
                out.savedByCompression += t.savedBytes;
                if (orig) {
                    auto o = StretchDIBitsToRgb(*orig, nullptr);
                    if (o && o->width == px->width && o->height == px->height) t.psnr = Psnr(o->rgb, px->rgb);
                }
                if (keepPixels) t.rgb = std::move(px->rgb);
                break;
            }
            default: {
                // An ordinary bitmap record: reduced when its bits take less
                // than cbBitsSrc (the rest was released) or it has fewer
                // pixels than the original.
                const DibLayout l = ReadLayout(h);
                const uint64_t bits = l.stride * uint64_t(l.height);
                if (bits < r.cbBitsSrc) t.savedBytes = r.cbBitsSrc - bits;
                break;
            }
            }
            if (t.originalWidth && (*t.originalWidth != t.width || *t.originalHeight != t.height)) t.reduced = true;
            if (t.type == EMR_STRETCHDIBITS_TYPE && (t.reduced || t.savedBytes)) {
                t.reduced = true;
                t.action = BitmapAction::Reduced;
                out.savedByReduction += t.savedBytes;
            }
            out.bitmaps.push_back(std::move(t));
        }
        out.bytesOnWire = out.bytesIn - out.savedByReduction - out.savedByCache - out.savedByDeletion -
                          out.savedByCompression;
    } catch (const std::exception& e) {
        out.ok = false;
        out.error = e.what();
    }
    return out;
}

std::string FormatTransformText(const TransformReport& report) {
    std::ostringstream s;
    s << "bitmap transforms: " << report.bitmaps.size() << " bitmap records (" << report.Count(BitmapAction::Kept)
      << " kept, " << report.Count(BitmapAction::Reduced) << " reduced, " << report.Count(BitmapAction::Cached)
      << " cached, " << report.Count(BitmapAction::Deleted) << " deleted, " << report.Count(BitmapAction::Compressed)
      << " compressed)\n";
    char buf[64];
    for (const BitmapTransform& t : report.bitmaps) {
        s << "  copy " << t.copy + 1 << " page " << t.page << " image " << t.image << ": " << t.width << "x"
          << t.height << " " << t.bitCount << " bpp, ";
        if (t.reduced && t.originalWidth)
            s << "reduced from " << *t.originalWidth << "x" << *t.originalHeight << " to " << t.width << "x"
              << t.height << (t.action == BitmapAction::Reduced ? "" : ", ");
        else if (t.action == BitmapAction::Reduced)
            s << "reduced to " << t.width << "x" << t.height;
        switch (t.action) {
        case BitmapAction::Kept: s << "kept"; break;
        case BitmapAction::Reduced: break;
        case BitmapAction::Cached: s << "cached reference to image " << t.cachedImage; break;
        case BitmapAction::Deleted: s << "deleted"; break;
        case BitmapAction::Compressed:
            std::snprintf(buf, sizeof buf, "%.1f:1", t.ratio);
            s << "compressed to " << t.streamBytes << " bytes (" << Jpeg2000CoderName(t.coder) << ", " << t.components
              << " components, ratio " << buf;
            if (t.psnr) {
                std::snprintf(buf, sizeof buf, "%.2f", *t.psnr);
                s << ", PSNR " << buf << " dB";
            }
            s << ")";
            break;
        }
        s << "\n";
    }
    s << "  bytes in " << report.bytesIn << ", on the wire " << report.bytesOnWire << "; saved by reduction "
      << report.savedByReduction << ", cache " << report.savedByCache << ", deletion " << report.savedByDeletion
      << ", compression " << report.savedByCompression << "\n";
    return s.str();
}

std::string FormatTransformJson(const TransformReport& report) {
    std::ostringstream s;
    s << "{\"bitmaps\":[";
    char buf[64];
    for (size_t i = 0; i < report.bitmaps.size(); ++i) {
        const BitmapTransform& t = report.bitmaps[i];
        s << (i ? "," : "") << "{\"copy\":" << t.copy + 1 << ",\"page\":" << t.page << ",\"image\":" << t.image
          << ",\"offset\":" << t.offset << ",\"type\":" << t.type << ",\"width\":" << t.width << ",\"height\":"
          << t.height << ",\"bitCount\":" << t.bitCount << ",\"action\":\"" << BitmapActionName(t.action) << "\"";
        if (t.reduced && t.originalWidth)
            s << ",\"reducedFrom\":{\"width\":" << *t.originalWidth << ",\"height\":" << *t.originalHeight << "}";
        if (t.action == BitmapAction::Cached) s << ",\"cachedImage\":" << t.cachedImage;
        if (t.action == BitmapAction::Compressed) {
            std::snprintf(buf, sizeof buf, "%.3f", t.ratio);
            s << ",\"coder\":\"" << Jpeg2000CoderName(t.coder) << "\",\"streamBytes\":" << t.streamBytes
              << ",\"components\":" << t.components
              << ",\"originalBytes\":" << t.originalBytes << ",\"ratio\":" << buf;
            if (t.psnr) {
                std::snprintf(buf, sizeof buf, "%.3f", *t.psnr);
                s << ",\"psnr\":" << buf;
            }
        }
        s << ",\"savedBytes\":" << t.savedBytes << "}";
    }
    s << "],\"totals\":{\"bytesIn\":" << report.bytesIn << ",\"bytesOnWire\":" << report.bytesOnWire
      << ",\"savedByReduction\":" << report.savedByReduction << ",\"savedByCache\":" << report.savedByCache
      << ",\"savedByDeletion\":" << report.savedByDeletion << ",\"savedByCompression\":" << report.savedByCompression
      << "}}\n";
    return s.str();
}

std::optional<uint32_t> RestoreCompressedBitmaps(std::vector<uint8_t>& spool, const TransformReport& transforms,
                                                 uint32_t copy, std::string* why) {
    try {
        InspectOptions o;
        o.keepLogical = true;
        const InspectReport in = InspectStream(spool, o);
        if (!in.ok) throw std::runtime_error("restored spool file: " + in.error);
        std::vector<const BitmapTransform*> ofCopy;
        std::map<uint32_t, const BitmapTransform*> byImage;
        for (const BitmapTransform& t : transforms.bitmaps) {
            byImage[t.image] = &t;
            if (t.copy == copy) ofCopy.push_back(&t);
        }
        // The pixels an EMF bitmap record of the restored file stands for, if
        // it is compressed or names a compressed image.
        auto decodedFor = [&](size_t k) -> const BitmapTransform* {
            if (k >= ofCopy.size()) return nullptr;
            const BitmapTransform* t = ofCopy[k];
            if (t->action == BitmapAction::Cached && byImage.count(t->cachedImage)) t = byImage[t->cachedImage];
            return t->action == BitmapAction::Compressed && !t->rgb.empty() ? t : nullptr;
        };

        std::vector<uint8_t> out;
        std::map<uint64_t, uint64_t> placed;
        uint32_t replaced = 0;
        size_t k = 0;
        const std::span<const uint8_t> src = spool;
        for (const SpoolRecord& rec : in.records) {
            placed[rec.offset] = out.size();
            const uint64_t bytes = 8 + (rec.endsLoop ? 0 : rec.bodyBytes);
            const size_t start = out.size();
            out.insert(out.end(), src.begin() + rec.offset, src.begin() + rec.offset + bytes);
            if (!rec.page || rec.endsLoop) continue;
            // Rebuild the page body with its compressed bitmaps expanded.
            const auto body = src.subspan(rec.offset + 8, rec.bodyBytes);
            std::vector<uint8_t> page;
            uint64_t off = 0;
            bool changed = false;
            while (body.size() - off >= 8) {
                const uint32_t type = GetU32(body, off), size = GetU32(body, off + 4);
                if (size < 8 || size > body.size() - off) break;
                const auto record = body.subspan(off, size);
                const BitmapTransform* t = IsBitmapType(type) ? decodedFor(k++) : nullptr;
                if (t && type != EMR_STRETCHDIBITS_TYPE && size >= STRETCHDIBITS_FIXED_SIZE) {
                    RgbPixels px{static_cast<uint32_t>(t->width), static_cast<uint32_t>(std::abs(t->height)), t->rgb};
                    const auto expanded = Make24BitRecord(LoadRecord<StretchDIBitsRecord>(record.data()), px);
                    page.insert(page.end(), expanded.begin(), expanded.end());
                    changed = true;
                    ++replaced;
                } else {
                    page.insert(page.end(), record.begin(), record.end());
                }
                off += size;
            }
            if (!changed) continue;
            page.insert(page.end(), body.begin() + off, body.end());
            if (page.size() > UINT32_MAX - 8) throw std::runtime_error("restored page larger than 4 GB");
            // EMR_HEADER nBytes follows the page size.
            if (page.size() >= 52 && GetU32(page, 0) == EMR_HEADER_TYPE && GetU32(page, 48) == body.size())
                PutU32(page, 48, static_cast<uint32_t>(page.size()));
            out.resize(start + 8);
            PutU32(out, start + 4, static_cast<uint32_t>(page.size()));
            out.insert(out.end(), page.begin(), page.end());
        }
        for (const SpoolRecord& rec : in.records) {
            if (!rec.backDistance || !rec.target || !placed.count(*rec.target)) continue;
            PutU32(out, placed[rec.offset] + 8, static_cast<uint32_t>(placed[rec.offset] - placed[*rec.target]));
        }
        spool = std::move(out);
        return replaced;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return std::nullopt;
    }
}

} // namespace qltools

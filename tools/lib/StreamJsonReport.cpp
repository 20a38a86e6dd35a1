// The stream inspector's JSON report.
#include "tools/lib/StreamInternal.h"

#include "emf/EmfRecords.h"
#include "tools/lib/FontRecords.h"
#include "tools/lib/SpoolWriter.h"

#include <cstdio>
#include <sstream>

namespace qltools {

using namespace detail;

namespace {


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

} // namespace

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


} // namespace qltools

// Engine-font records as a receiver reads them: sizes checked before every
// read, each file hashed and opened with FreeType.
#include "tools/lib/FontRecords.h"

#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <openssl/evp.h>

#include <cstring>
#include <optional>
#include <sstream>

namespace qltools {
namespace {

uint32_t U32At(std::span<const uint8_t> b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::string Md5Hex(std::span<const uint8_t> data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr)) return "";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
    return hex;
}

void OpenWithFreeType(std::span<const uint8_t> data, EngineFontFile& file) {
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib) != 0) return;
    FT_Face face = nullptr;
    if (FT_New_Memory_Face(lib, data.data(), static_cast<FT_Long>(data.size()), 0, &face) == 0) {
        file.opens = true;
        file.family = face->family_name ? face->family_name : "";
        file.style = face->style_name ? face->style_name : "";
        FT_Done_Face(face);
    }
    FT_Done_FreeType(lib);
}

} // namespace

std::string ReadEngineFont(std::span<const uint8_t> body, EngineFontInfo& out) {
    if (body.size() < 8) return "an engine font record needs 8 bytes for its font type and file count";
    out.fontType = U32At(body, 0);
    const uint32_t count = U32At(body, 4);
    if (count == 0) return "an engine font record without font files";
    // The description: type, count and one size per file, padded to 8 bytes.
    const uint64_t described = (8 + 4ull * count + 7) / 8 * 8;
    if (described > body.size())
        return "the sizes of " + std::to_string(count) + " font files do not fit in " + std::to_string(body.size()) +
               " bytes";
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) total += U32At(body, 8 + 4 * i);
    if (described + total > body.size())
        return "font files of " + std::to_string(total) + " bytes declared, " +
               std::to_string(body.size() - described) + " bytes follow";
    if (body.size() - described - total >= 8)
        return std::to_string(body.size() - described - total) + " bytes after the font files";
    uint64_t at = described;
    for (uint32_t i = 0; i < count; ++i) {
        EngineFontFile file;
        file.size = U32At(body, 8 + 4 * i);
        const auto data = body.subspan(at, file.size);
        file.md5 = Md5Hex(data);
        OpenWithFreeType(data, file);
        at += file.size;
        out.files.push_back(std::move(file));
    }
    return "";
}

void LinkEngineFontsToPages(InspectReport& report) {
    // One pass from the end, carrying the next page record of the same copy,
    // so a stream of many font records costs no more than its records.
    std::optional<uint64_t> nextPage;
    for (size_t i = report.records.size(); i-- > 0;) {
        SpoolRecord& rec = report.records[i];
        if (i + 1 < report.records.size() && report.records[i + 1].copy != rec.copy) nextPage.reset();
        if (rec.font) rec.font->beforePage = nextPage;
        if (IsSpoolPageRecord(rec.type)) nextPage = rec.offset;
    }
}

std::string EngineFontText(const EngineFontInfo& font) {
    std::ostringstream o;
    o << "engine font";
    if (font.beforePage) o << " before the page at " << *font.beforePage;
    for (const EngineFontFile& f : font.files) {
        o << "; font file " << f.size << " bytes, md5 " << f.md5 << ", FreeType: ";
        if (f.opens)
            o << f.family << " " << f.style;
        else
            o << "not a font";
    }
    return o.str();
}

std::string EngineFontJson(const EngineFontInfo& font) {
    std::ostringstream o;
    o << "{\"fontType\":" << font.fontType << ",\"beforePage\":";
    if (font.beforePage) o << *font.beforePage; else o << "null";
    o << ",\"files\":[";
    for (size_t i = 0; i < font.files.size(); ++i) {
        const EngineFontFile& f = font.files[i];
        o << (i ? "," : "") << "{\"size\":" << f.size << ",\"md5\":" << JsonString(f.md5)
          << ",\"opens\":" << (f.opens ? "true" : "false");
        if (f.opens) o << ",\"family\":" << JsonString(f.family) << ",\"style\":" << JsonString(f.style);
        o << "}";
    }
    o << "]}";
    return o.str();
}

} // namespace qltools

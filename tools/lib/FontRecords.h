// The receiver's view of engine-font spool records (type 2): the font files
// they carry, each with its size, its MD5 and what FreeType makes of the
// bytes (family and style when they open as a font).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qltools {

struct InspectReport;

struct EngineFontFile {
    uint32_t size = 0;
    std::string md5;  // 32 lower-case hexadecimal digits
    bool opens = false;  // FreeType opened the bytes as a font
    std::string family, style;
};

struct EngineFontInfo {
    uint32_t fontType = 0;
    std::vector<EngineFontFile> files;
    std::optional<uint64_t> beforePage;  // logical offset of the next page record of its copy
};

// Reads the body of an engine-font record (after its 8-byte header). Returns
// an empty string when its declared sizes add up (font type, file count,
// one size per file, the description padded to 8 bytes, the files, at most
// 7 bytes of padding), else why not.
std::string ReadEngineFont(std::span<const uint8_t> body, EngineFontInfo& out);

// Sets beforePage of every engine-font record of the report.
void LinkEngineFontsToPages(InspectReport& report);

// "font file 12345 bytes, md5 ..., FreeType: DejaVu Sans Bold" for the
// record list, and the same as a JSON object.
std::string EngineFontText(const EngineFontInfo& font);
std::string EngineFontJson(const EngineFontInfo& font);

} // namespace qltools

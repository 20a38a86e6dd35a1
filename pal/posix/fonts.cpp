// Font layer: fontconfig for finding faces, FreeType for their metrics, cairo
// font faces for drawing.
#include "fonts.h"

#include "core.h"
#include "palhost.h"

#include <cairo-ft.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <tuple>

namespace pal::fonts {
namespace {

struct Catalogue {
    std::mutex lock;  // fontconfig and FreeType calls of this layer
    FT_Library ft = nullptr;
    // Faces by file and index, and resolutions by request.
    std::map<std::pair<std::string, int>, std::shared_ptr<const Face>> faces;
    std::map<std::tuple<std::u16string, int, bool, bool>, std::shared_ptr<const Face>> resolved;
    // Temporary fonts: lower-case face name -> (face name, file).
    std::map<std::u16string, std::pair<std::u16string, std::string>> temporary;
    std::string machineFontDir;  // C:\Windows\Fonts of the drive root, once added
};

Catalogue& catalogue() {
    static Catalogue* c = [] {
        auto* cat = std::make_unique<Catalogue>().release(); // used until the process ends
        FcInit();
        FT_Init_FreeType(&cat->ft);
        return cat;
    }();
    return *c;
}

std::string Utf8(const std::u16string& s) { return pal::Utf16ToUtf8(s); }

// Loads a face's metrics; null when FreeType cannot open it.
std::shared_ptr<const Face> LoadFace(Catalogue& cat, const std::string& path, int index) {
    auto key = std::make_pair(path, index);
    if (auto it = cat.faces.find(key); it != cat.faces.end()) return it->second;
    FT_Face ftFace = nullptr;
    if (!cat.ft || FT_New_Face(cat.ft, path.c_str(), index, &ftFace) != 0) return nullptr;
    auto face = std::make_shared<Face>();
    face->path = path;
    face->index = index;
    face->family = pal::Utf8ToUtf16(ftFace->family_name ? ftFace->family_name : "");
    face->style = pal::Utf8ToUtf16(ftFace->style_name ? ftFace->style_name : "");
    face->unitsPerEm = ftFace->units_per_EM ? ftFace->units_per_EM : 2048;
    face->fixedPitch = FT_IS_FIXED_WIDTH(ftFace);
    face->italic = (ftFace->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
    face->weight = (ftFace->style_flags & FT_STYLE_FLAG_BOLD) ? FW_BOLD : FW_NORMAL;
    face->maxAdvance = ftFace->max_advance_width;
    const int hheaAsc = ftFace->ascender, hheaDesc = -ftFace->descender;
    int hheaGap = std::max(0, ftFace->height - (hheaAsc + hheaDesc));
    face->winAscent = hheaAsc;
    face->winDescent = hheaDesc;
    face->avgCharWidth = face->maxAdvance;
    if (auto* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(ftFace, FT_SFNT_OS2)); os2 && os2->version != 0xFFFF) {
        if (os2->usWinAscent + os2->usWinDescent > 0) {
            face->winAscent = os2->usWinAscent;
            face->winDescent = os2->usWinDescent;
        }
        if (os2->xAvgCharWidth > 0) face->avgCharWidth = os2->xAvgCharWidth;
        if (os2->usWeightClass >= 100 && os2->usWeightClass <= 1000) face->weight = os2->usWeightClass;
    }
    if (auto* hhea = static_cast<TT_HoriHeader*>(FT_Get_Sfnt_Table(ftFace, FT_SFNT_HHEA))) hheaGap = hhea->Line_Gap;
    // External leading: the line gap less what the Windows ascent and
    // descent already add over the typographic ones.
    face->lineGap = std::max(0, hheaGap - ((face->winAscent + face->winDescent) - (hheaAsc + hheaDesc)));
    FT_Done_Face(ftFace);

    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FILE, reinterpret_cast<const FcChar8*>(path.c_str()));
    FcPatternAddInteger(pattern, FC_INDEX, index);
    face->cairoFace = cairo_ft_font_face_create_for_pattern(pattern);
    FcPatternDestroy(pattern);
    cat.faces[key] = face;
    return face;
}

std::u16string Lower(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    return s;
}

std::u16string RequestedName(const LOGFONTW& lf) {
    std::u16string name;
    for (size_t i = 0; i < LF_FACESIZE && lf.lfFaceName[i]; ++i) name.push_back(lf.lfFaceName[i]);
    return name;
}

// The simulated machine's font folder joins the fonts fontconfig knows the
// first time a font is resolved under a drive root that has one. Caller
// holds cat.lock.
void UseMachineFonts(Catalogue& cat) {
    const std::string dir = pal::HostPath(u"C:\\Windows\\Fonts");
    if (dir == cat.machineFontDir) return;
    struct stat st{};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    if (FcConfigAppFontAddDir(nullptr, reinterpret_cast<const FcChar8*>(dir.c_str()))) {
        cat.machineFontDir = dir;
        cat.resolved.clear();
    }
}

// The temporary font a request names, if any. Caller holds cat.lock.
const std::pair<std::u16string, std::string>* TemporaryFont(Catalogue& cat, const LOGFONTW& lf) {
    auto it = cat.temporary.find(Lower(RequestedName(lf)));
    return it == cat.temporary.end() ? nullptr : &it->second;
}

std::shared_ptr<const Face> ResolveLocked(Catalogue& cat, const LOGFONTW& lf);

} // namespace

Face::~Face() {
    if (cairoFace) cairo_font_face_destroy(cairoFace);
}

std::shared_ptr<const Face> Resolve(const LOGFONTW& lf) {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    return ResolveLocked(cat, lf);
}

std::u16string FaceName(const LOGFONTW& lf) {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    if (auto* t = TemporaryFont(cat, lf)) return t->first;
    auto face = ResolveLocked(cat, lf);
    return face ? face->family : std::u16string();
}

std::string FontFile(const LOGFONTW& lf) {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    if (auto* t = TemporaryFont(cat, lf)) return t->second;
    auto face = ResolveLocked(cat, lf);
    return face ? face->path : std::string();
}

bool AddTemporaryFont(const std::string& path, const std::u16string& face) {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    if (face.empty() || !LoadFace(cat, path, 0)) return false;
    cat.temporary[Lower(face)] = {face, path};
    cat.resolved.clear();
    return true;
}

void RemoveTemporaryFonts() {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    cat.temporary.clear();
    cat.resolved.clear();
}

namespace {
std::shared_ptr<const Face> ResolveLocked(Catalogue& cat, const LOGFONTW& lf) {
    UseMachineFonts(cat);
    if (auto* t = TemporaryFont(cat, lf)) {
        if (auto face = LoadFace(cat, t->second, 0)) return face;
    }
    const std::u16string name = RequestedName(lf);
    const bool fixed = (lf.lfPitchAndFamily & 3) == FIXED_PITCH;
    const bool bold = lf.lfWeight >= 600;
    const bool italic = lf.lfItalic != 0;
    auto key = std::make_tuple(name, int(bold), italic, fixed);
    if (auto it = cat.resolved.find(key); it != cat.resolved.end()) return it->second;

    FcPattern* pattern = FcPatternCreate();
    if (!name.empty()) FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(Utf8(name).c_str()));
    // The pitch asks for a generic family after the named one.
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(fixed || name.empty() ? "monospace" : "sans-serif"));
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    if (fixed) FcPatternAddInteger(pattern, FC_SPACING, FC_MONO);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    std::shared_ptr<const Face> face;
    if (match) {
        FcChar8* file = nullptr;
        int index = 0;
        if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
            FcPatternGetInteger(match, FC_INDEX, 0, &index);
            face = LoadFace(cat, reinterpret_cast<const char*>(file), index);
        }
        FcPatternDestroy(match);
    }
    if (face) cat.resolved[key] = face;
    return face;
}
} // namespace

RealizedFont Realize(std::shared_ptr<const Face> face, const LOGFONTW& lf, int dpi) {
    RealizedFont r;
    r.face = face;
    if (!face) return r;
    const double cellUnits = std::max(1, face->winAscent + face->winDescent);
    double em;
    if (lf.lfHeight < 0) {
        em = -double(lf.lfHeight);
    } else if (lf.lfHeight > 0) {
        em = lf.lfHeight * face->unitsPerEm / cellUnits;
    } else {
        em = 12.0 * dpi / 72.0;
    }
    em = std::clamp(em, 1.0, 100000.0);
    r.emPixels = em;
    const double scale = em / face->unitsPerEm;
    auto px = [&](double units) { return LONG(std::lround(units * scale)); };
    TEXTMETRICW& tm = r.metrics;
    tm.tmAscent = px(face->winAscent);
    tm.tmDescent = px(face->winDescent);
    tm.tmHeight = tm.tmAscent + tm.tmDescent;
    tm.tmInternalLeading = std::max<LONG>(0, tm.tmHeight - LONG(std::lround(em)));
    tm.tmExternalLeading = px(face->lineGap);
    tm.tmAveCharWidth = std::max<LONG>(1, px(face->avgCharWidth));
    tm.tmMaxCharWidth = std::max<LONG>(1, px(face->maxAdvance));
    tm.tmWeight = face->weight;
    tm.tmDigitizedAspectX = tm.tmDigitizedAspectY = dpi;
    tm.tmFirstChar = 0x20;
    tm.tmLastChar = 0xFF;
    tm.tmDefaultChar = 0x1F;
    tm.tmBreakChar = 0x20;
    tm.tmItalic = face->italic;
    tm.tmUnderlined = lf.lfUnderline;
    tm.tmStruckOut = lf.lfStrikeOut;
    // As in Windows, the low bit set means variable pitch.
    tm.tmPitchAndFamily = BYTE((face->fixedPitch ? 0 : 1) | 0x04 /* TMPF_TRUETYPE */ | (lf.lfPitchAndFamily & 0xF0));
    tm.tmCharSet = ANSI_CHARSET;
    return r;
}

bool AddFontFile(const std::string& path) {
    Catalogue& cat = catalogue();
    std::lock_guard<std::mutex> g(cat.lock);
    if (!FcConfigAppFontAddFile(nullptr, reinterpret_cast<const FcChar8*>(path.c_str()))) return false;
    cat.resolved.clear();
    return true;
}

LOGFONTW DefaultPrinterFont() {
    LOGFONTW lf{};
    lf.lfWeight = FW_NORMAL;
    lf.lfPitchAndFamily = FIXED_PITCH | FF_MODERN;
    const char16_t name[] = u"Courier New";
    std::copy(std::begin(name), std::end(name), lf.lfFaceName);
    return lf;
}

} // namespace pal::fonts

namespace pal::host {
bool InstallTemporaryFont(const std::string& path, const std::u16string& face) {
    return pal::fonts::AddTemporaryFont(path, face);
}
void RemoveTemporaryFonts() { pal::fonts::RemoveTemporaryFonts(); }
} // namespace pal::host

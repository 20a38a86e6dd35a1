// Font layer of the Linux build (internal): logical fonts resolved to
// installed faces through fontconfig, measured with FreeType, drawn with
// cairo. One catalogue serves the whole process.
//
// Layers, each usable on its own:
//   Resolve(LOGFONTW)          -> Face: the installed face file a logical font
//                                 maps to (family, weight, slant, pitch),
//                                 with the face's design metrics
//   Realize(Face, LOGFONTW, dpi) -> RealizedFont: the face at a size in device
//                                 units, its TEXTMETRICW and a cairo font face
// A face knows its file, so the font data of the face (a table or the whole
// file) can be read from it; AddFontFile makes a font file of the caller's
// (e.g. a temporary font of a job) resolvable by its family name.
#pragma once
#include "pal/gdiprint.h"

#include <cairo.h>

#include <memory>
#include <string>

namespace pal::fonts {

// An installed face and its design metrics (font units).
struct Face {
    std::string path;        // font file
    int index = 0;           // face index in the file
    std::u16string family;   // family name as the face reports it
    std::u16string style;    // "Regular", "Bold", ...
    int unitsPerEm = 2048;
    int winAscent = 0;       // OS/2 usWinAscent / usWinDescent (hhea when absent)
    int winDescent = 0;
    int lineGap = 0;         // external leading (Windows' rule from hhea)
    int avgCharWidth = 0;    // OS/2 xAvgCharWidth
    int maxAdvance = 0;
    int weight = FW_NORMAL;
    bool italic = false;
    bool fixedPitch = false;
    cairo_font_face_t* cairoFace = nullptr; // owned; lives as long as the Face
    ~Face();
};

// The face a logical font resolves to: lfFaceName (empty: by pitch, a
// monospace or sans face), lfWeight, lfItalic, FIXED_PITCH in
// lfPitchAndFamily. Null only when no font at all is installed.
std::shared_ptr<const Face> Resolve(const LOGFONTW& lf);

// A face at a size: lfHeight < 0 is the em size in device units, > 0 the cell
// height (ascent + descent), 0 the default of 12 points at dpi.
struct RealizedFont {
    std::shared_ptr<const Face> face;
    double emPixels = 0;  // font size for cairo, device units
    TEXTMETRICW metrics{};
};
RealizedFont Realize(std::shared_ptr<const Face> face, const LOGFONTW& lf, int dpi);

// Makes a font file resolvable for the rest of the process.
bool AddFontFile(const std::string& path);

// Windows font mapping as GDI reports it for a logical font: the face name
// (a temporary font's own name, else the resolved family) and the font file.
std::u16string FaceName(const LOGFONTW& lf);
std::string FontFile(const LOGFONTW& lf);

// Temporary fonts (a job's application installed them): the font file at
// `path` is selected by `face` (case-insensitive) until removed. False when
// FreeType cannot open the file as a font.
bool AddTemporaryFont(const std::string& path, const std::u16string& face);
void RemoveTemporaryFonts();

// The printer's default font: 12-point "Courier New", fixed pitch.
LOGFONTW DefaultPrinterFont();

} // namespace pal::fonts

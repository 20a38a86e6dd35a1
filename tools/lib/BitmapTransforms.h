// The receiver's view of what a gateway did to the bitmaps of a job: every
// bitmap record of a transport stream (EMR_STRETCHDIBITS and the private
// records that replace it) with what happened to it — kept, reduced in
// resolution, replaced by a reference to an earlier image, deleted, or
// compressed to JPEG 2000, and by which block coder — and the bytes each
// step saved.
//
// Every EMR_COMPRESSEDDIBITS record is decoded with OpenJPEG: its width,
// height and components must match the record's BITMAPINFOHEADER (three
// 8-bit components, whatever the bitmap's depth was). Given the spool file
// the job was printed from, each bitmap is compared with its original
// (matched by image number within the copy), rendered to 8-bit RGB: the PSNR
// of a compressed bitmap, the original size of a reduced one.
//
// The input is untrusted; nothing here throws out of its functions.
#pragma once

#include "tools/lib/StreamReader.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qltools {

// An image as 8-bit RGB, rows top to bottom.
struct RgbPixels {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

// Decodes a raw JPEG 2000 code stream (trailing zero bytes allowed). The
// number of components is returned in *components; the pixels only when
// they are three 8-bit components.
std::optional<RgbPixels> DecodeJpeg2000(std::span<const uint8_t> stream, uint32_t* components, std::string* why);

// The bitmap of an EMR_STRETCHDIBITS record (1 to 32 bits per pixel, BI_RGB,
// bottom-up or top-down) as 8-bit RGB.
std::optional<RgbPixels> StretchDIBitsToRgb(std::span<const uint8_t> record, std::string* why);

// The block coder of a raw JPEG 2000 code stream, from its main header: a
// stream with the capability marker CAP (ISO/IEC 15444-15) was made by the
// High-Throughput coder. Nothing when the main header does not parse.
enum class Jpeg2000Coder { Standard, HighThroughput };
std::optional<Jpeg2000Coder> Jpeg2000CoderOf(std::span<const uint8_t> stream);
const char* Jpeg2000CoderName(Jpeg2000Coder coder);  // "J2K", "HTJ2K"

// Peak signal-to-noise ratio in dB of two equally sized byte arrays; 99 for
// identical ones.
double Psnr(std::span<const uint8_t> a, std::span<const uint8_t> b);

enum class BitmapAction { Kept, Reduced, Cached, Deleted, Compressed };
const char* BitmapActionName(BitmapAction action);  // "kept", "reduced", ...

struct BitmapTransform {
    uint32_t copy = 0, page = 0, image = 0;  // page counted from 1 within the copy
    uint64_t offset = 0;                     // logical offset of the EMF record
    uint32_t type = 0, recordSize = 0;
    int32_t width = 0, height = 0;  // as the record's BITMAPINFOHEADER says
    uint16_t bitCount = 0;
    BitmapAction action = BitmapAction::Kept;
    uint32_t cachedImage = 0;                    // Cached: the image it names
    std::optional<int32_t> originalWidth, originalHeight;  // from the original spool file
    bool reduced = false;                        // fewer pixels than the original
    uint32_t originalBytes = 0;                  // colour table and bits the record carried
    uint32_t streamBytes = 0;                    // Compressed: length of the code stream
    uint32_t components = 0;                     // Compressed: decoded components
    Jpeg2000Coder coder = Jpeg2000Coder::Standard;  // Compressed: the coder that made the stream
    double ratio = 0;                            // Compressed: originalBytes / streamBytes
    std::optional<double> psnr;                  // Compressed, with the original
    uint64_t savedBytes = 0;                     // bytes of the record released by the step
    std::vector<uint8_t> rgb;                    // Compressed, when asked for: decoded pixels
};

struct TransformReport {
    bool ok = true;
    std::string error;  // "offset N: why" of the first record that does not decode or match
    std::vector<BitmapTransform> bitmaps;
    uint64_t bytesIn = 0;      // nSize of every bitmap record
    uint64_t bytesOnWire = 0;  // bytesIn less what the steps released
    uint64_t savedByReduction = 0, savedByCache = 0, savedByDeletion = 0, savedByCompression = 0;
    uint32_t Count(BitmapAction action) const;
};

// `report` must hold the logical stream (InspectOptions::keepLogical).
// `original`: the spool file the job was printed from, or empty.
TransformReport AnalyseBitmaps(const InspectReport& report, std::span<const uint8_t> original, bool keepPixels);

std::string FormatTransformText(const TransformReport& report);
std::string FormatTransformJson(const TransformReport& report);

// Lossy restore: every EMR_COMPRESSEDDIBITS record of the spool file, and every
// EMR_CACHEDDIBITS record naming one, becomes an ordinary 24-bit
// EMR_STRETCHDIBITS record with the decoded pixels (the page records grow, the
// back distances of extension records follow). `transforms` must come from
// AnalyseBitmaps with keepPixels over the stream the spool file was restored
// from, `copy` the copy restored. Returns the number of records replaced, or
// nothing with *why set.
std::optional<uint32_t> RestoreCompressedBitmaps(std::vector<uint8_t>& spool, const TransformReport& transforms,
                                                 uint32_t copy, std::string* why);

} // namespace qltools

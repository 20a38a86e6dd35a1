// Writer of EMF spool files for test jobs: the file header record, device
// mode records with the gateway driver's private extension and trailer, page
// records with their extension records, font records and any other record,
// and whole generated jobs of synthetic pages. Also wraps existing EMF files
// into a spool file, one page each.
//
// Record framing as in the spool files Windows writes: an 8-byte header of
// u32 type and u32 size; for the file header record the size counts the 8
// header bytes, for every other record only the body. The extension records
// (13 to 18) carry a u64 distance back from their own header to the record
// they refer to.
//
// Misuse and unusable input throw std::invalid_argument (the message is fit
// for a user); RunSpoolGen turns that into exit code 2.
#pragma once

#include "tools/lib/EmfBuilder.h"
#include "tools/lib/SyntheticImages.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qltools {

// ---- spool record types -----------------------------------------------------------
constexpr uint32_t SPL_FILE_HEADER = 0x00010000;
constexpr uint32_t SPL_METAFILE = 1;
constexpr uint32_t SPL_ENGINE_FONT = 2;
constexpr uint32_t SPL_DEVMODE = 3;
constexpr uint32_t SPL_TYPE1_FONT = 4;
constexpr uint32_t SPL_PRESTARTPAGE = 5;
constexpr uint32_t SPL_DESIGNVECTOR = 6;
constexpr uint32_t SPL_SUBSET_FONT = 7;
constexpr uint32_t SPL_DELTA_FONT = 8;
constexpr uint32_t SPL_FORM_METAFILE = 9;
constexpr uint32_t SPL_BW_METAFILE = 10;
constexpr uint32_t SPL_BW_FORM_METAFILE = 11;
constexpr uint32_t SPL_METAFILE_DATA = 12;
constexpr uint32_t SPL_METAFILE_EXT = 13;
constexpr uint32_t SPL_BW_METAFILE_EXT = 14;
constexpr uint32_t SPL_ENGINE_FONT_EXT = 15;
constexpr uint32_t SPL_TYPE1_FONT_EXT = 16;
constexpr uint32_t SPL_DESIGNVECTOR_EXT = 17;
constexpr uint32_t SPL_SUBSET_FONT_EXT = 18;

// A short English name of a spool record type ("metafile data"), or "" for
// a type without one.
const char* SpoolRecordName(uint32_t type);
inline bool IsSpoolPageRecord(uint32_t type) { return type == 1 || type == 9 || type == 10 || type == 12; }
inline bool IsSpoolExtensionRecord(uint32_t type) { return type >= 13 && type <= 18; }

// ---- device modes -----------------------------------------------------------------
// A DEVMODEW (220 public bytes) with optional private bytes. Fields are the
// DEVMODEW ones; zero leaves a field zero.
struct DevmodeOptions {
    std::u16string deviceName = u"QL Spool Bridge";
    uint32_t fields = 0x1 | 0x2 | 0x100 | 0x10000;  // orientation, paper size, copies, form name
    int16_t orientation = 1;
    int16_t paperSize = 9;  // A4
    int16_t paperLength = 0;
    int16_t paperWidth = 0;
    int16_t copies = 1;
    int16_t color = 2;
    std::u16string formName = u"A4";
    // Private bytes. Raised to 1032 with the extension and to 8 with only a
    // trailer; otherwise zero-filled bytes of this count.
    uint16_t driverExtra = 0;
    // "QLEX" extension at byte 220 (valid for the finders only with a trailer).
    bool extension = false;
    uint32_t extensionSize = 527;  // dwSize; below 527 makes it invalid
    uint32_t extensionFields = 0xC00;
    uint32_t compressionRules[4] = {0xFFFFFFFF, 0, 0, 0};
    uint32_t bitmapDPIReduction = 0;
    std::string ptrEmail;
    // "QLPD" trailer in the last 8 private bytes, with these flags.
    std::optional<uint32_t> trailerFlags;
};

std::vector<uint8_t> BuildDevmode(const DevmodeOptions& options);

// ---- spool file writer ------------------------------------------------------------
// The file header record: u32 type, u32 size (header included), u32 offset of
// the document name, u32 offset of the output file name (0 = none), the
// NUL-terminated UTF-16 names, zero padding to a multiple of 4.
std::vector<uint8_t> MakeSpoolFileHeader(std::u16string_view documentName,
                                         const std::optional<std::u16string>& outputName = std::nullopt);

class SpoolWriter {
public:
    // Starts the file with its header record.
    explicit SpoolWriter(std::u16string_view documentName = u"Test document",
                         const std::optional<std::u16string>& outputName = std::nullopt);

    // Each writer returns the file offset of the record's header.
    size_t Record(uint32_t type, std::span<const uint8_t> body);
    // A record whose header claims `size` body bytes but carries `body`
    // (e.g. size 0 to end a job early, or a lying size for negative tests).
    size_t RecordWithSize(uint32_t type, uint32_t size, std::span<const uint8_t> body);
    size_t Page(std::span<const uint8_t> emf, uint32_t type = SPL_METAFILE_DATA);
    size_t Devmode(std::span<const uint8_t> devmode) { return Record(SPL_DEVMODE, devmode); }
    // An engine-font record (type 2): font type 0, one file, its size, a
    // filler word, the file's bytes.
    size_t EngineFont(std::span<const uint8_t> fontData);
    // An extension record (13 to 18) pointing back at the record at `target`.
    size_t Extension(uint32_t type, size_t target);

    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    std::vector<uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
};

// ---- whole jobs -------------------------------------------------------------------
struct SpoolJobOptions {
    uint32_t pages = 1;
    std::vector<ImageKind> images = {ImageKind::Logo};  // drawn on every page
    std::vector<uint32_t> bitsPerPixel = {24};          // every image at every depth
    uint32_t imageWidth = 64;
    uint32_t imageHeight = 64;
    bool topDown = false;
    bool clipSource = false;  // draw the middle half of each bitmap only
    uint64_t seed = 1;        // noise images: page n uses seed + n - 1
    std::optional<DevmodeOptions> devmode;
    uint32_t devmodeBeforePage = 1;  // the device mode record precedes this page
    std::u16string font;             // non-empty: create, select and write text with it
    uint32_t pageType = SPL_METAFILE_DATA;  // 1, 9, 10 or 12
    bool blackWhite = false;                // type 12 pages get extension 14 instead of 13
    uint32_t engineFontBytes = 0;           // > 0: an engine font before every page, extension 15 after
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> extraRecords;  // after the file header
    std::vector<std::vector<uint8_t>> extraPages;  // EMF pages after the generated ones, with extension records
    EmfPageOptions page;
    std::u16string documentName = u"qlspoolgen job";
    std::optional<std::u16string> outputName;
};

// One synthetic EMF page as GenerateSpoolJob draws page `pageNumber` (1-based).
std::vector<uint8_t> GenerateEmfPage(const SpoolJobOptions& options, uint32_t pageNumber);
std::vector<uint8_t> GenerateSpoolJob(const SpoolJobOptions& options);

// Each EMF becomes a metafile-data record (12) followed by its extension
// record (13). An EMF whose record structure is broken (CheckEmf) is refused
// with std::invalid_argument naming `names[i]` and the reason; a file whose
// records are intact is wrapped byte for byte, whatever its bitmaps hold.
std::vector<uint8_t> WrapEmfPages(const std::vector<std::vector<uint8_t>>& pages,
                                  const std::vector<std::string>& names, std::u16string_view documentName);

// The qlspoolgen command: arguments without the program name. Returns the exit
// code: 0 written, 1 output not writable, 2 bad arguments or unusable input.
// The whole content of a regular file; none when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

int RunSpoolGen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qltools

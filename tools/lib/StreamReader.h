// Reader of the gateway transport stream, for tests and for people: the
// "%%EMF" marker, the device mode block (and which of its forms), the JDF and
// watermark blocks, the data and hole blocks of framed output, and every spool
// record with its type and size; for page records the EMF record counts by
// type, the print processor's private bitmap records included. Also reads a
// plain EMF spool file (no marker) and lists its records.
//
// The input is untrusted: every read is bounds-checked, and a malformed stream
// is rejected with the byte offset and the reason. Nothing here throws out of
// InspectStream or RunInspect.
//
// Offsets: stream offsets are positions in the input. Record offsets are
// positions in the logical stream, the bytes a receiver sees once the framing
// is removed and the holes are filled with zeros (everything before the first
// block is the same in both). For an unframed stream the two coincide.
//
// Copies: a job printed with several copies sends one transport stream per
// copy, one after the other, each beginning with "%%EMF". With
// InspectOptions::allCopies the reader lists them all (records of every copy in
// one list, the logical streams of the copies one after the other); without it
// a second marker is reported as malformed at its offset.
//
// Bitmap references: every EMR_STRETCHDIBITS record of a page (81) and every
// private record that replaced one (0x8000, 0x8001, 0x8002) has an image
// number, counted from 1 in record order. Each EMR_CACHEDDIBITS record (0x8002)
// names an earlier one by that number (minus it, in place of biCompression)
// and by a negative 64-bit distance at offBmiSrc + 40 between the two records'
// positions. Positions are counted as the sender counts its output: from the
// job's first byte, holes included, framing block headers not included except
// the two that the sender writes as payload (the one in front of the spool
// file header record and the one in front of the watermark, each 8 bytes).
// The sender starts counting once per job, so references of a later copy may
// lead into an earlier one; InspectOptions::imagesPerCopy counts each copy on
// its own instead.
#pragma once

#include "tools/lib/FontRecords.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qltools {

constexpr uint32_t kDataBlockTag = 0x08080000;
constexpr uint32_t kHoleBlockTag = 0x80800000;
constexpr uint32_t kWatermarkTag = 0x40000000;
constexpr uint8_t kDevmodeBlockTag = 0x02;
constexpr uint8_t kJdfBlockTag = 0x03;

struct EmfPageSummary {
    uint32_t records = 0;
    std::map<uint32_t, uint32_t> countsByType;  // EMF record type -> count
    uint32_t headerBytes = 0;                   // nBytes of the EMR_HEADER
    int32_t deviceX = 0, deviceY = 0;           // szlDevice
    int32_t millimetersX = 0, millimetersY = 0;  // szlMillimeters
    bool endsWithEof = false;
    uint64_t trailingBytes = 0;  // bytes of the record body after EMR_EOF

    uint32_t Count(uint32_t type) const {
        auto it = countsByType.find(type);
        return it == countsByType.end() ? 0 : it->second;
    }
};

struct DevmodeInfo {
    std::string deviceName;  // UTF-8
    std::string formName;    // UTF-8, "" when dmSize does not cover it
    uint16_t dmSpecVersion = 0;
    uint16_t dmSize = 0;
    uint16_t dmDriverExtra = 0;
    uint32_t dmFields = 0;
    int16_t dmOrientation = 0, dmPaperSize = 0, dmPaperLength = 0, dmPaperWidth = 0, dmCopies = 0;
    uint32_t dmDisplayFrequency = 0;
    bool hasTrailer = false;  // "QLPD" in the last 8 private bytes
    uint32_t trailerFlags = 0;
    bool hasExtension = false;  // a valid "QLEX" extension
    uint32_t extensionSize = 0, extensionFields = 0;
    uint32_t compressionRules[4] = {0, 0, 0, 0};
    uint32_t bitmapDPIReduction = 0;
};

enum class DevmodeForm {
    PublicOnly,   // L = dmSize + 5, no private bytes
    PublicPlus8,  // L = dmSize + 13: eight private bytes, the trailer or as the driver sent them
    Full,         // L = dmSize + dmDriverExtra + 5, the extension included
};
const char* DevmodeFormName(DevmodeForm form);  // "public", "public+8", "full"

struct DevmodeBlock {
    uint64_t offset = 0;  // of the 0x02 byte
    uint32_t length = 0;  // L, the 5 header bytes included
    DevmodeForm form = DevmodeForm::PublicOnly;
    DevmodeInfo devmode;
};

struct JdfBlock {
    uint64_t offset = 0;  // of the 0x03 byte
    uint32_t length = 0;  // L, the 5 header bytes included
    // The ticket's first bytes as text (at most kJdfTicketShown; bytes outside
    // printable ASCII as \xNN, line breaks as \n, quote and backslash escaped).
    std::string ticket;
};
constexpr size_t kJdfTicketShown = 160;

struct FrameBlock {
    uint64_t offset = 0;  // stream offset of the block header
    bool hole = false;
    uint32_t length = 0;
    uint64_t logicalPos = 0;  // where its bytes lie in the logical stream
};

struct WatermarkBlock {
    uint64_t offset = 0;  // logical offset of the u32 0
    uint32_t length = 0;  // L, the EMF page's length
    EmfPageSummary page;
};

struct SpoolRecord {
    uint32_t copy = 0;                      // index into InspectReport::copies
    uint64_t offset = 0;                    // logical offset of the header
    std::optional<uint64_t> streamOffset;   // stream offset of the header (none inside a hole)
    uint32_t type = 0;
    uint32_t size = 0;  // as in the header
    uint64_t bodyBytes = 0;
    bool endsLoop = false;                 // size 0: the record loop stops here
    std::optional<EmfPageSummary> page;    // page records with an EMF body
    std::optional<uint64_t> backDistance;  // extension records
    std::optional<uint64_t> target;        // the record the distance leads to, when it is one
    std::optional<uint32_t> targetType;
    std::optional<DevmodeInfo> devmode;  // device mode records
    std::optional<EngineFontInfo> font;  // engine font records (type 2)
    std::string documentName, outputName;  // file header record (UTF-8)
};

// One transport stream (copy) of the input.
struct CopyInfo {
    uint64_t offset = 0;         // stream offset of its first byte (the marker)
    uint64_t logicalOffset = 0;  // the same in the logical stream
    uint64_t logicalEnd = 0;     // logical offset just past its last record
    uint64_t position = 0;       // its first byte's position as the sender counts
    bool marker = false;
    std::optional<DevmodeBlock> devmode;
    std::optional<JdfBlock> jdf;
    bool framed = false;
    uint64_t framingStart = 0;  // stream offset of its first block
    std::optional<WatermarkBlock> watermark;
    size_t firstRecord = 0, recordCount = 0;  // its range of InspectReport::records
};

// An EMR_CACHEDDIBITS record and the bitmap record its reference leads to.
struct BitmapReference {
    uint32_t copy = 0;
    size_t record = 0;         // index of its page record in InspectReport::records
    uint64_t offset = 0;       // logical offset of the EMF record
    uint64_t position = 0;     // its position as the sender counts
    uint32_t ownNumber = 0;    // its own image number
    uint32_t imageNumber = 0;  // the image number it names
    int64_t distance = 0;
    std::optional<uint64_t> target;  // logical offset of the record it resolves to
    uint32_t targetType = 0;         // 81, 0x8000 or 0x8001
    std::string problem;             // empty when the reference resolves
};

struct InspectReport {
    bool ok = false;
    std::string error;         // when !ok: "offset N: why" (where it went wrong)
    uint64_t errorOffset = 0;  // stream offset of the problem
    uint64_t streamBytes = 0;
    bool marker = false;  // began with "%%EMF"
    std::optional<DevmodeBlock> devmode;
    std::optional<JdfBlock> jdf;
    bool framed = false;
    uint64_t framingStart = 0;  // stream offset of the first block
    std::vector<FrameBlock> blocks;
    uint64_t dataBlockBytes = 0, holeBlockBytes = 0;
    uint32_t dataBlocks = 0, holeBlocks = 0;
    std::optional<WatermarkBlock> watermark;
    std::vector<SpoolRecord> records;
    uint32_t pages = 0;  // page records (1, 9, 10, 12) seen
    std::map<uint32_t, uint32_t> emfTotals;  // EMF record type -> count over all pages
    std::vector<std::string> warnings;
    std::vector<uint8_t> logical;  // the logical stream, when asked for and the stream is well-formed

    // Every copy; the fields above that describe header blocks, framing and
    // the watermark are those of the first.
    std::vector<CopyInfo> copies;
    // Bitmap records (81, 0x8000, 0x8001, 0x8002) of all pages, i.e. the
    // image numbers given out, and the references among them.
    uint32_t bitmapRecords = 0;
    std::vector<BitmapReference> references;
    uint32_t resolvedReferences = 0;
    bool ReferencesResolve() const { return resolvedReferences == references.size(); }
};

struct InspectOptions {
    // Fill InspectReport::logical. The only option that holds the stream's
    // bytes in memory: without it the inspector keeps the record index only.
    bool keepLogical = false;
    bool allCopies = false;      // read every copy, not only the first
    bool imagesPerCopy = false;  // image numbers and positions restart with each copy
    // Largest logical stream filled in with keepLogical (holes make it larger
    // than the input); the index itself has no such limit.
    uint64_t maxLogicalBytes = 256ull << 20;
};

InspectReport InspectStream(std::span<const uint8_t> data, const InspectOptions& options = {});
// The same for `length` bytes (default: up to the end) from `offset` of a
// file, read through a small window: a stream of any size in memory
// proportional to its records. A file that cannot be read is reported as a
// failure ("cannot inspect: ...").
InspectReport InspectFile(const std::string& path, uint64_t offset = 0, std::optional<uint64_t> length = std::nullopt,
                          const InspectOptions& options = {});

// "QL_DONT_RESIZE QL_IGNORE_TRAYS" style names of trailer flags; an unnamed bit
// appears as its hex value.
std::string DevmodeFlagNames(uint32_t flags);

std::string FormatReportText(const InspectReport& report, bool listBlocks = true);
std::string FormatReportJson(const InspectReport& report);
// A JSON string literal (quotes included) of UTF-8 text; control characters
// and invalid bytes are escaped.
std::string JsonString(const std::string& text);

// The qlstream command: arguments without the program name. Exit codes: 0
// well-formed, 1 malformed or a bitmap reference that does not resolve (the
// reason on `err`), 2 bad arguments or I/O error; with --restore, 3 when the
// spool file was written but records remain that cannot be restored.
int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qltools

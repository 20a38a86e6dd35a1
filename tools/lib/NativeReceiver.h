// The receiving end of native printing: what a receiver makes of the bytes a
// native job was sent. Under native printing the print processor writes the
// transport stream without its "%%EMF" marker and without the device mode
// block (the device mode travels with the job's open parameters); the rest -
// watermark, block framing, spool records with cached, compressed and deleted
// bitmaps and embedded fonts - is as on a port.
//
// The stream is decoded with the stream inspector and its restore: framing
// removed, cached references expanded, compressed bitmaps decoded into 24-bit
// records, and the result is an EMF spool file that prints on any printer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qltools {

// One embedded font the stream carried (an engine-font record whose one font
// file is described in the record, spool type 2).
struct EmbeddedFont {
    uint64_t offset = 0;  // of the record in the restored spool file
    std::span<const uint8_t> file;  // the font file, inside DecodedNativeJob::spool
};

struct DecodedNativeJob {
    bool ok = false;
    std::string error;  // when !ok: why the stream could not be decoded
    std::vector<uint8_t> spool;  // the EMF spool file
    uint32_t pages = 0;
    uint32_t expandedReferences = 0;
    uint32_t decodedBitmaps = 0;
    uint32_t leftPrivate = 0;  // deleted bitmaps (and references to them) left as they are
    std::vector<EmbeddedFont> fonts;
};

// Decodes the first copy of a native job's stream.
DecodedNativeJob DecodeNativeStream(std::span<const uint8_t> stream);

// The engine-font records of a spool file whose one font file lies wholly
// inside the record.
std::vector<EmbeddedFont> EmbeddedFontsOf(std::span<const uint8_t> spool);

} // namespace qltools

// The receiver's side of a gateway transport stream: the EMF spool file it
// stands for, written back.
//
// From the logical stream of one copy (framing removed, holes filled with
// zeros) the records are taken as they are, without the "%%EMF" marker and the
// header blocks (device mode, JDF, watermark). Every EMR_CACHEDDIBITS record
// (0x8002) is expanded in place, keeping its size: type 81 again, its own
// fixed fields, the referenced record's BITMAPINFOHEADER (which differs from
// the reference's own only in biCompression, where the reference keeps the
// image number), colour table and bits.
//
// What cannot be restored is left as it is and listed: compressed (0x8000)
// and deleted (0x8001) bitmap records, and references to either of them. The
// bytes the sender zeroed in a reference outside the colour table and the bits
// (between the fixed part and offBmiSrc, gaps after the bits) stay zero.
//
// A reference that does not resolve, or whose target does not carry the
// colour table and bits the reference's sizes call for, makes the restore fail:
// the stream is broken. Nothing here throws out of RestoreSpool.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qltools {

struct RestoreOptions {
    uint32_t copy = 0;  // which copy of the stream (0 = the first)
    // Engine-font records (type 2) are dropped, and the back distances of the
    // extension records (13 to 18) shortened by the bytes dropped between the
    // two records: the sender inserts the fonts a page uses in front of it.
    bool dropEngineFonts = false;
    bool imagesPerCopy = false;  // as InspectOptions::imagesPerCopy
    // Largest spool file written: holes in the stream stand for zeros the
    // restored file must hold, so a short stream can call for a huge file.
    uint64_t maxBytes = UINT64_MAX;
};

struct RestoreResult {
    bool ok = false;    // `spool` holds the restored file
    std::string error;  // when !ok
    std::vector<uint8_t> spool;
    uint32_t copies = 0;       // copies in the stream
    uint32_t expanded = 0;     // references turned back into EMR_STRETCHDIBITS
    uint32_t leftPrivate = 0;  // 0x8000/0x8001 records and references to them, left as they are
    uint32_t droppedFonts = 0;
    std::vector<std::string> left;  // one line for each record left

    bool Complete() const { return ok && leftPrivate == 0; }
};

RestoreResult RestoreSpool(std::span<const uint8_t> stream, const RestoreOptions& options = {});

} // namespace qltools

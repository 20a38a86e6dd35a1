// The jobs of `qlspool demo`, built in memory.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qlhost {

// A short page of plain text for a RAW job (CR LF line ends, form feed last).
std::vector<uint8_t> SampleTextPage();

// A longer text page for a RAW job: a few dozen numbered lines of text,
// form feed last.
std::vector<uint8_t> SampleLongTextPage();

// `content` packed into an "%%EMZ" compressed print stream with small blocks
// and several zlib streams, so that streams span blocks and blocks hold the
// end of one stream and the start of the next.
std::vector<uint8_t> SamplePackedJob(const std::vector<uint8_t>& content);

// A small EMF spool file of one page, as the spooler keeps it for an
// "NT EMF 1.008" job: the file header record, a device mode record (one copy,
// A4 portrait), the page's metafile data (an EMF with a header, one line and
// the end record) and its page extension record.
std::vector<uint8_t> SampleEmfSpool(const std::u16string& deviceName);

// A DEVMODEW of 220 bytes without driver extra: A4, portrait, `copies` copies.
std::vector<uint8_t> SampleDevmode(const std::u16string& deviceName, short copies);

} // namespace qlhost

// The jobs of `qlspool demo`, built in memory.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <string>
#include <utility>
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

// The demo's gateway job, made by the spool toolkit: an EMF spool file of
// three A4 pages at 600 dpi, each with a title line in a created font and
// bitmaps of 1, 8 and 24 bits per pixel (a logo and photo-like noise), an
// engine font record before each page, and before the first page a device
// mode record (SampleGatewayDevmode) with the gateway driver's "QLEX"
// extension (the compression rules of "QL Spool Bridge (compressed)") and
// "QLPD" trailer; then
// a fourth page that asks for three more fonts (two weights of "DejaVu Sans"
// that select one font file, and kSampleTemporaryFace) and is covered by an
// A4 photograph at 300 dpi (2480 x 3508, 24 bits).
std::vector<uint8_t> SampleGatewaySpool(const std::u16string& deviceName);

// The demo gateway job's temporary font: a serif face of the system's fonts
// installed under this face name (none when no such file is installed).
inline constexpr char16_t kSampleTemporaryFace[] = u"QLDemo.tmp";
std::vector<std::pair<std::string, std::u16string>> SampleTemporaryFonts();

// The demo's native printing job (AGNP), made by the spool toolkit: two A4
// pages at 600 dpi with a title line, a logo and a gradient bitmap (8 and 24
// bits per pixel), and a device mode record as SampleGatewayDevmode.
std::vector<uint8_t> SampleNativeSpool(const std::u16string& deviceName);
// The gateway driver's full device mode for `deviceName`: 220 public bytes
// (A4, portrait, one copy) and 1032 private bytes with the "QLEX" extension
// and the "QLPD" trailer.
std::vector<uint8_t> SampleGatewayDevmode(const std::u16string& deviceName);

// A DEVMODEW of 220 bytes without driver extra: A4, portrait, `copies` copies.
std::vector<uint8_t> SampleDevmode(const std::u16string& deviceName, short copies);

// Leaves a JDF ticket in the built-in machine's JDF spool directory and
// returns a document name that names it ("..._qlDEMO1.pdf").
std::u16string PlaceSampleTicket();
// Where PlaceSampleTicket puts the ticket (a Windows path).
std::u16string SampleTicketPath();

} // namespace qlhost

namespace qlhost {

// The demo's text job: a title, a table laid out with tabs, a line too long
// for the page that wraps, CR LF and LF line ends, and a form feed before a
// second page.
std::vector<uint8_t> SampleTextJob();

// The demo's EMF job for an ordinary printer, made by the spool toolkit: two
// A4 pages at 600 dpi, each with a title line in a created font and a logo
// and a gradient bitmap at 8 and 24 bits per pixel.
std::vector<uint8_t> SamplePlaybackSpool();

} // namespace qlhost

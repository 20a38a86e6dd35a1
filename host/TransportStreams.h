// The transport streams of a port document, as the stream inspector reads
// them, and the bitmap and font reports made from them.
#pragma once
#include "palhost.h"
#include "tools/lib/StreamReader.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qlhost {

// One transport stream in a port document: the gateway driver writes one per
// copy, each beginning with the marker "%%EMF".
struct TransportStream {
    uint64_t offset = 0;  // where it begins in the document
    qltools::InspectReport report;
    std::string bitmapReport;  // the transform report of its bitmap records (AddBitmapReports)
    std::string fontReport;    // what happened to each font of the job (AddFontReports)
    std::string bitmapError;   // why that report could not be made (a bitmap that does not decode)
};

// Splits a document's bytes into the transport streams of its copies and
// inspects each: a stream ends where the inspector, reading on, meets the
// next copy's marker. Empty when the bytes do not begin with "%%EMF".
std::vector<TransportStream> InspectTransportStreams(std::span<const uint8_t> output);
// The same for a port document, read from its port file through the
// inspector's window (OutputCheck.cpp).
std::vector<TransportStream> InspectTransportStreams(const pal::host::PortDocument& doc);

// Fills the first stream's fontReport from the job's debug log lines: one
// row per font key of the job's font list, with its outcome and the bytes it
// added (FontReport.cpp). Needs the log's information lines.
void AddFontReports(const std::vector<std::string>& logLines, std::vector<TransportStream>& streams);

// Fills each stream's bitmapReport: every bitmap record and what the gateway
// did to it, with the PSNR of compressed bitmaps against `original`, the
// spool file the job was printed from (BitmapReport.cpp).
void AddBitmapReports(std::span<const uint8_t> document, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original);
// The same for a port document: read into memory only when it holds bitmap
// records and is at most kBitmapReportMaxBytes long (OutputCheck.cpp).
constexpr uint64_t kBitmapReportMaxBytes = 64ull << 20;
void AddBitmapReports(const pal::host::PortDocument& doc, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original);

} // namespace qlhost

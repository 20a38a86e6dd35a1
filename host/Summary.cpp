#include "host/Summary.h"
#include "host/Events.h"
#include "host/Report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace qlhost {

namespace {

// PDF documents of the host's printers are small; larger ones are not read
// back just to count their pages.
constexpr uint64_t kMaxPdfBytesToCount = 64ull << 20;

// Pages of a PDF document in a port file: its page objects ("/Type /Page",
// not "/Type /Pages"). Nothing when the document is not a PDF.
std::optional<uint64_t> PdfPageCount(const pal::host::PortDocument& doc) {
    if (doc.bytes < 5 || doc.bytes > kMaxPdfBytesToCount) return std::nullopt;
    std::ifstream in(doc.outputPath, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(doc.offset));
    std::string bytes(static_cast<size_t>(doc.bytes), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())) || bytes.rfind("%PDF-", 0) != 0)
        return std::nullopt;
    static const std::string kPage = "/Type /Page";
    uint64_t pages = 0;
    for (size_t at = bytes.find(kPage); at != std::string::npos; at = bytes.find(kPage, at + kPage.size()))
        if (at + kPage.size() >= bytes.size() || bytes[at + kPage.size()] != 's') ++pages;
    return pages;
}

std::optional<uint64_t> PagesReceived(const JobReport& r) {
    std::optional<uint64_t> pages;
    for (size_t i = 0; i < r.documents.size(); ++i) {
        std::optional<uint64_t> n;
        if (i < r.streams.size() && !r.streams[i].empty() && r.streams[i][0].report.ok)
            n = r.streams[i][0].report.pages;
        else
            n = PdfPageCount(r.documents[i]);
        if (n) pages = pages.value_or(0) + *n;
    }
    return pages;
}

std::string Saving(uint64_t in, uint64_t wire) {
    if (in == 0 || wire == 0) return "-";
    char text[32];
    const double ratio = static_cast<double>(wire) / static_cast<double>(in);
    if (ratio <= 1.0) {
        std::snprintf(text, sizeof text, "%.1f %%", (1.0 - ratio) * 100.0);
    } else {
        std::snprintf(text, sizeof text, "+%.1f %%", (ratio - 1.0) * 100.0);
    }
    return text;
}

} // namespace

std::string FormatJobSummary(const std::vector<JobSummaryRow>& rows) {
    std::vector<std::vector<std::string>> table = {
        {"Job", "Printer", "Datatype", "Pages", "Bytes in", "On the wire", "Saving", "Outcome"}};
    for (const JobSummaryRow& row : rows) {
        const JobReport& r = *row.report;
        uint64_t wire = 0;
        for (const auto& d : r.documents) wire += d.bytes;
        const auto pages = PagesReceived(r);
        // The saving is the gateway's: a transport stream against the spool data it stands for.
        const bool gateway = std::any_of(r.streams.begin(), r.streams.end(), [](const auto& s) { return !s.empty(); });
        table.push_back({std::to_string(r.jobId), pal::host::ToUtf8(r.printer), pal::host::ToUtf8(r.datatype),
                         pages ? std::to_string(*pages) : "-", std::to_string(r.dataBytes), std::to_string(wire),
                         gateway ? Saving(r.dataBytes, wire) : "-", row.outcome});
    }
    std::vector<size_t> width(table[0].size(), 0);
    for (const auto& line : table)
        for (size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
    std::ostringstream o;
    for (const auto& line : table) {
        std::string text;
        for (size_t c = 0; c < line.size(); ++c) {
            // Numbers line up on the right, names on the left; the last column is not padded.
            const bool number = c == 0 || (c >= 3 && c <= 6);
            const std::string pad(width[c] - line[c].size(), ' ');
            if (c + 1 == line.size()) text += line[c];
            else text += (number ? pad + line[c] : line[c] + pad) + "  ";
        }
        o << text << "\n";
    }
    return o.str();
}

std::string FormatJobHighlights(const JobReport& r) {
    std::ostringstream o;
    for (size_t i = 0; i < r.streams.size(); ++i) {
        for (const TransportStream& s : r.streams[i]) {
            if (!s.report.ok) o << "  transport stream rejected by the inspector: " << s.report.error << "\n";
            for (const std::string* text : {&s.bitmapReport, &s.fontReport}) {
                std::istringstream lines(*text);
                for (std::string line; std::getline(lines, line);) o << "  " << line << "\n";
            }
        }
    }
    o << NativePrintingSection(r);
    for (const auto& e : r.events) o << "  event: " << FormatEvent(e) << "\n";
    for (const auto& h : r.leakedHandles) o << "  handle left open: " << h << "\n";
    const std::string text = o.str();
    if (text.empty()) return text;
    return "Job " + std::to_string(r.jobId) + " (" + pal::host::ToUtf8(r.printer) + "):\n" + text;
}

} // namespace qlhost

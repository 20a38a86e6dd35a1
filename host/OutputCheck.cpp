// The check behind "printed": every transport stream a job wrote must pass
// the inspector (listing and bitmap references), and the port output is read
// from its file through the inspector's window, never whole.
#include "host/Machine.h"

#include <fstream>

namespace qlhost {

namespace {

bool FileMarkerAt(const std::string& path, uint64_t at) {
    std::ifstream in(path, std::ios::binary);
    char b[5] = {};
    in.seekg(static_cast<std::streamoff>(at));
    return in.read(b, sizeof b) && std::string_view(b, sizeof b) == "%%EMF";
}

} // namespace

std::vector<TransportStream> InspectTransportStreams(const pal::host::PortDocument& doc) {
    std::vector<TransportStream> streams;
    if (doc.bytes < 5 || !FileMarkerAt(doc.outputPath, doc.offset)) return streams;
    // One pass over all copies finds where each begins; each copy is then
    // read on its own, its references resolved over the whole document (the
    // image cache lives for the whole document).
    qltools::InspectOptions all;
    all.allCopies = true;
    const qltools::InspectReport whole = qltools::InspectFile(doc.outputPath, doc.offset, doc.bytes, all);
    // A malformed document is split where the inspector meets the next
    // marker, from its bytes.
    if (!whole.ok) return InspectTransportStreams(pal::host::PortDocumentBytes(doc));
    if (whole.copies.size() <= 1) {
        streams.push_back({0, whole, {}});
        return streams;
    }
    for (size_t i = 0; i < whole.copies.size(); ++i) {
        const uint64_t from = whole.copies[i].offset;
        const uint64_t to = i + 1 < whole.copies.size() ? whole.copies[i + 1].offset : doc.bytes;
        TransportStream s{from, qltools::InspectFile(doc.outputPath, doc.offset + from, to - from), {}};
        s.report.references.clear();
        s.report.resolvedReferences = 0;
        for (const auto& ref : whole.references) {
            if (ref.copy != i) continue;
            s.report.references.push_back(ref);
            if (ref.problem.empty()) ++s.report.resolvedReferences;
        }
        streams.push_back(std::move(s));
    }
    return streams;
}

void AddBitmapReports(const pal::host::PortDocument& doc, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original) {
    bool bitmaps = false;
    for (const TransportStream& s : streams) bitmaps = bitmaps || (s.report.ok && s.report.bitmapRecords > 0);
    if (!bitmaps) return;
    if (doc.bytes > kBitmapReportMaxBytes) {
        for (TransportStream& s : streams)
            s.bitmapReport = "bitmap report left out: the document's " + std::to_string(doc.bytes) +
                             " bytes are more than the host analyses in memory (" +
                             std::to_string(kBitmapReportMaxBytes >> 20) + " MiB)\n";
        return;
    }
    AddBitmapReports(pal::host::PortDocumentBytes(doc), streams, original);
}

std::string OutputCheckFailure(const JobReport& r) {
    for (size_t d = 0; d < r.streams.size(); ++d) {
        for (size_t i = 0; i < r.streams[d].size(); ++i) {
            const qltools::InspectReport& s = r.streams[d][i].report;
            std::string which = "the transport stream";
            if (r.streams[d].size() > 1) which += " of copy " + std::to_string(i + 1);
            if (d < r.documents.size()) which += " on " + pal::host::ToUtf8(r.documents[d].port);
            if (!s.ok) return which + " fails the inspector's listing: " + s.error;
            if (!s.ReferencesResolve()) {
                for (const auto& ref : s.references)
                    if (!ref.problem.empty())
                        return which + " fails the inspector's check: " +
                               std::to_string(s.references.size() - s.resolvedReferences) +
                               " cached bitmaps do not resolve; first: " + ref.problem;
            }
            if (!r.streams[d][i].bitmapError.empty())
                return which + " fails the bitmap check: " + r.streams[d][i].bitmapError;
        }
    }
    return {};
}

} // namespace qlhost

// The transform report of each transport stream of a document: what the
// gateway did to every bitmap record, compared with the job's own spool file.
#include "host/Machine.h"
#include "tools/lib/BitmapTransforms.h"

namespace qlhost {

void AddBitmapReports(std::span<const uint8_t> document, std::vector<TransportStream>& streams,
                      std::span<const uint8_t> original) {
    for (size_t i = 0; i < streams.size(); ++i) {
        if (!streams[i].report.ok || streams[i].report.bitmapRecords == 0) continue;
        const uint64_t from = streams[i].offset;
        const uint64_t to = i + 1 < streams.size() ? streams[i + 1].offset : document.size();
        if (from > to || to > document.size()) continue;
        qltools::InspectOptions options;
        options.keepLogical = true;
        const qltools::InspectReport report = qltools::InspectStream(document.subspan(from, to - from), options);
        if (!report.ok) continue;
        const qltools::TransformReport transforms = qltools::AnalyseBitmaps(report, original, false);
        if (!transforms.ok) streams[i].bitmapError = transforms.error;
        streams[i].bitmapReport = transforms.ok ? qltools::FormatTransformText(transforms)
                                                : "bitmap transforms: " + transforms.error + "\n";
    }
}

} // namespace qlhost

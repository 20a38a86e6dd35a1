// The receiving end of native printing: a native job's stream back into the
// EMF spool file it stands for, through the stream inspector and its restore.
#include "tools/lib/NativeReceiver.h"

#include "tools/lib/BitmapTransforms.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace qltools {
namespace {

constexpr char kMarker[] = {'%', '%', 'E', 'M', 'F'};
// Engine-font record body: font type, number of files, size of the file,
// filler, then the file.
constexpr uint64_t kEngineFontFileOffset = 16;

uint32_t Le32(std::span<const uint8_t> b, uint64_t at) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + at, sizeof(v));
    return v;
}

} // namespace

std::vector<EmbeddedFont> EmbeddedFontsOf(std::span<const uint8_t> spool) {
    std::vector<EmbeddedFont> fonts;
    uint64_t pos = 0;
    while (spool.size() - pos >= 8) {
        const uint32_t type = Le32(spool, pos);
        const uint32_t size = Le32(spool, pos + 4);
        // The file header's size counts its own header; every other record's
        // size counts only its body.
        const uint64_t total = type == SPL_FILE_HEADER ? size : 8ull + size;
        if (total < 8 || total > spool.size() - pos) break;
        if (type == SPL_ENGINE_FONT && size >= kEngineFontFileOffset && Le32(spool, pos + 12) == 1) {
            const uint32_t cbFile = Le32(spool, pos + 16);
            if (cbFile > 0 && cbFile <= size - kEngineFontFileOffset)
                fonts.push_back({pos, spool.subspan(pos + 8 + kEngineFontFileOffset, cbFile)});
        }
        if (size == 0 && type != SPL_FILE_HEADER) break;
        pos += total;
    }
    return fonts;
}

DecodedNativeJob DecodeNativeStream(std::span<const uint8_t> stream) {
    DecodedNativeJob job;
    try {
        // The marker the native job does not carry puts the stream into the
        // form the inspector reads.
        std::vector<uint8_t> marked(std::begin(kMarker), std::end(kMarker));
        marked.insert(marked.end(), stream.begin(), stream.end());

        InspectOptions inspect;
        inspect.keepLogical = true;
        const InspectReport report = InspectStream(marked, inspect);
        if (!report.ok) {
            job.error = "malformed stream: " + report.error;
            return job;
        }
        if (!report.ReferencesResolve()) {
            job.error = "cached bitmaps that do not resolve";
            return job;
        }
        if (report.records.empty()) {
            job.error = "the stream holds no spool records";
            return job;
        }
        const TransformReport bitmaps = AnalyseBitmaps(report, {}, true);
        if (!bitmaps.ok) {
            job.error = bitmaps.error;
            return job;
        }
        RestoreResult restored = RestoreSpool(marked);
        if (!restored.ok) {
            job.error = restored.error;
            return job;
        }
        std::string why;
        const auto decoded = RestoreCompressedBitmaps(restored.spool, bitmaps, 0, &why);
        if (!decoded) {
            job.error = "compressed bitmaps: " + why;
            return job;
        }
        job.spool = std::move(restored.spool);
        job.expandedReferences = restored.expanded;
        job.decodedBitmaps = *decoded;
        job.leftPrivate = restored.leftPrivate - std::min(restored.leftPrivate, *decoded);
        job.pages = report.pages;
        job.fonts = EmbeddedFontsOf(job.spool);
        job.ok = true;
    } catch (const std::exception& e) {
        job.error = e.what();
        job.spool.clear();
        job.fonts.clear();
    }
    return job;
}

} // namespace qltools

#include "tools/lib/SpoolRestore.h"

#include "emf/EmfRecords.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamInternal.h"

#include <cstring>
#include <exception>
#include <map>

namespace qltools {

// The fields of EMR_STRETCHDIBITS read or written here.
static_assert(offsetof(StretchDIBitsRecord, iType) == 0);
static_assert(offsetof(StretchDIBitsRecord, nSize) == 4);
static_assert(offsetof(StretchDIBitsRecord, xSrc) == 32 && offsetof(StretchDIBitsRecord, cySrc) == 44);
static_assert(offsetof(StretchDIBitsRecord, offBmiSrc) == 48 && offsetof(StretchDIBitsRecord, cbBitsSrc) == 60);
static_assert(BITMAPINFOHEADER_SIZE == 40 && CACHED_DISTANCE_OFFSET == 40 && CACHED_RELEASED_OFFSET == 48);

namespace {

struct RestoreFailure {
    std::string why;
};

// The fixed part of the bitmap record at `offset` of `bytes`, checked to lie
// inside it together with its BITMAPINFO and bits.
StretchDIBitsRecord LoadBitmapRecord(std::span<const uint8_t> bytes, uint64_t offset, const std::string& what) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(StretchDIBitsRecord))
        throw RestoreFailure{what + ": the fixed part runs past the end"};
    const auto r = LoadRecord<StretchDIBitsRecord>(bytes.data() + offset);
    if (r.nSize > bytes.size() - offset) throw RestoreFailure{what + ": the record runs past the end"};
    if (!StretchDIBitsFitsRecord(r, r.nSize))
        throw RestoreFailure{what + ": BITMAPINFO (offBmiSrc " + std::to_string(r.offBmiSrc) + ", cbBmiSrc " +
                             std::to_string(r.cbBmiSrc) + ") or bits (offBitsSrc " + std::to_string(r.offBitsSrc) +
                             ", cbBitsSrc " + std::to_string(r.cbBitsSrc) + ") do not fit its " +
                             std::to_string(r.nSize) + " bytes"};
    return r;
}

// Turns the reference at `at` of `out` back into the EMR_STRETCHDIBITS record
// it stands for, from the record at `target` of `logical`.
void Expand(std::vector<uint8_t>& out, uint64_t at, const detail::LogicalStream& logical, uint64_t target,
            uint64_t maxBytes, const std::string& what) {
    auto r = LoadBitmapRecord(out, at, what);
    // The target record's bytes, read from the stream on their own.
    const std::vector<uint8_t> fixed = logical.Bytes(target, sizeof(StretchDIBitsRecord));
    if (fixed.size() < sizeof(StretchDIBitsRecord))
        throw RestoreFailure{what + ", its target: the fixed part runs past the end"};
    const uint64_t targetSize = LoadRecord<StretchDIBitsRecord>(fixed.data()).nSize;
    if (targetSize > maxBytes) throw RestoreFailure{what + ": its target is larger than the restore may write"};
    const std::vector<uint8_t> targetBytes = logical.Bytes(target, targetSize);
    const auto t = LoadBitmapRecord(targetBytes, 0, what + ", its target");
    if (static_cast<uint64_t>(r.offBmiSrc) + CACHED_RELEASED_OFFSET > r.nSize)
        throw RestoreFailure{what + ": no room for the distance field"};
    if (t.cbBmiSrc != r.cbBmiSrc || t.cbBitsSrc != r.cbBitsSrc)
        throw RestoreFailure{what + ": its target carries cbBmiSrc " + std::to_string(t.cbBmiSrc) + " and cbBitsSrc " +
                             std::to_string(t.cbBitsSrc) + ", it expects " + std::to_string(r.cbBmiSrc) + " and " +
                             std::to_string(r.cbBitsSrc)};
    uint8_t* rec = out.data() + at;
    const uint8_t* src = targetBytes.data();
    // The source rectangle and the BITMAPINFO describe the pixels: as the
    // target was sent (the same as the reference's own when the target was
    // not resampled, as cache hits compare them).
    r.iType = EMR_STRETCHDIBITS_TYPE;
    r.xSrc = t.xSrc;
    r.ySrc = t.ySrc;
    r.cxSrc = t.cxSrc;
    r.cySrc = t.cySrc;
    StoreRecord(rec, r);
    std::memset(rec + r.offBmiSrc + CACHED_DISTANCE_OFFSET, 0, CACHED_RELEASED_OFFSET - CACHED_DISTANCE_OFFSET);
    std::memcpy(rec + r.offBmiSrc, src + t.offBmiSrc, r.cbBmiSrc);
    std::memcpy(rec + r.offBitsSrc, src + t.offBitsSrc, r.cbBitsSrc);
}

RestoreResult Restore(std::span<const uint8_t> stream, const RestoreOptions& options) {
    RestoreResult result;
    InspectOptions inspect;
    inspect.allCopies = true;
    inspect.imagesPerCopy = options.imagesPerCopy;
    InspectReport report;
    detail::MemorySource source(stream);
    detail::LogicalStream logical(source);
    detail::InspectInto(logical, inspect, report);
    if (!report.ok) throw RestoreFailure{"malformed: " + report.error};
    result.copies = static_cast<uint32_t>(report.copies.size());
    if (options.copy >= report.copies.size())
        throw RestoreFailure{"there is no copy " + std::to_string(options.copy + 1) + " (the stream holds " +
                             std::to_string(report.copies.size()) + ")"};
    const CopyInfo& copy = report.copies[options.copy];

    // The records of the copy, the dropped fonts left out.
    std::map<uint64_t, uint64_t> placed;  // logical offset of a record -> its offset in the spool file
    for (size_t i = copy.firstRecord; i < copy.firstRecord + copy.recordCount; ++i) {
        const SpoolRecord& rec = report.records[i];
        if (options.dropEngineFonts && rec.type == SPL_ENGINE_FONT) {
            ++result.droppedFonts;
            continue;
        }
        placed[rec.offset] = result.spool.size();
        const uint64_t bytes = 8 + (rec.endsLoop ? 0 : rec.bodyBytes);
        if (bytes > options.maxBytes - result.spool.size())
            throw RestoreFailure{"the restored spool file would grow past " + std::to_string(options.maxBytes) +
                                 " bytes"};
        const size_t from = result.spool.size();
        result.spool.resize(from + static_cast<size_t>(bytes));
        logical.Read(rec.offset, std::span<uint8_t>(result.spool).subspan(from));
    }
    // Extension records point back across what was dropped.
    if (result.droppedFonts > 0) {
        for (size_t i = copy.firstRecord; i < copy.firstRecord + copy.recordCount; ++i) {
            const SpoolRecord& rec = report.records[i];
            if (!rec.backDistance || !rec.target || !placed.count(rec.offset) || !placed.count(*rec.target)) continue;
            const uint64_t distance = placed[rec.offset] - placed[*rec.target];
            if (distance == *rec.backDistance) continue;
            PutU32(result.spool, placed[rec.offset] + 8, static_cast<uint32_t>(distance));
        }
    }

    // References of the copy; the records they name may lie in an earlier copy.
    for (const BitmapReference& ref : report.references) {
        if (ref.copy != options.copy) continue;
        const std::string what = "the reference at logical offset " + std::to_string(ref.offset);
        if (!ref.problem.empty()) throw RestoreFailure{"unresolved: " + ref.problem};
        const SpoolRecord& page = report.records[ref.record];
        const uint64_t at = placed.at(page.offset) + (ref.offset - page.offset);
        if (ref.targetType != EMR_STRETCHDIBITS_TYPE) {
            ++result.leftPrivate;
            result.left.push_back(what + " names a record of type " +
                                  (ref.targetType == EMR_COMPRESSEDDIBITS ? std::string("0x8000 (compressed)")
                                                                          : std::string("0x8001 (deleted)")) +
                                  "; left as it is");
            continue;
        }
        Expand(result.spool, at, logical, *ref.target, options.maxBytes, what);
        ++result.expanded;
    }
    for (size_t i = copy.firstRecord; i < copy.firstRecord + copy.recordCount; ++i) {
        const SpoolRecord& rec = report.records[i];
        if (!rec.page) continue;
        const uint32_t compressed = rec.page->Count(EMR_COMPRESSEDDIBITS);
        const uint32_t deleted = rec.page->Count(EMR_DELETEDDIBITS);
        if (compressed + deleted == 0) continue;
        result.leftPrivate += compressed + deleted;
        result.left.push_back("the page record at logical offset " + std::to_string(rec.offset) + " holds " +
                              std::to_string(compressed) + " compressed (0x8000) and " + std::to_string(deleted) +
                              " deleted (0x8001) bitmap records; left as they are");
    }
    result.ok = true;
    return result;
}

} // namespace

RestoreResult RestoreSpool(std::span<const uint8_t> stream, const RestoreOptions& options) {
    try {
        return Restore(stream, options);
    } catch (const RestoreFailure& f) {
        RestoreResult failed;
        failed.error = f.why;
        return failed;
    } catch (const detail::Malformed& m) {
        RestoreResult failed;
        failed.error = "malformed: offset " + std::to_string(m.offset) + ": " + m.why;
        return failed;
    } catch (const std::exception& e) {
        RestoreResult failed;
        failed.error = std::string("cannot restore: ") + e.what();
        return failed;
    }
}

} // namespace qltools

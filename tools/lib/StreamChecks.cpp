// The stream inspector's checks of bitmap references: every bitmap record of
// the pages gets its image number, and every cached reference (0x8002) must
// lead back to the first byte of an earlier bitmap record with the image
// number it names.
#include "tools/lib/StreamInternal.h"

#include "emf/EmfRecords.h"
#include "tools/lib/SpoolWriter.h"

namespace qltools::detail {

// Where the private bitmap records keep what is checked here: the fixed part
// of EMR_STRETCHDIBITS, then at offBmiSrc the BITMAPINFOHEADER whose
// biCompression field a reference uses for the image number, and the 8-byte
// distance after the header.
static_assert(offsetof(StretchDIBitsRecord, offBmiSrc) == 48);
static_assert(CACHED_IMAGE_NUMBER_OFFSET == 16 && CACHED_DISTANCE_OFFSET == 40 && CACHED_RELEASED_OFFSET == 48);

namespace {

bool IsBitmapRecordType(uint32_t type) {
    return type == EMR_STRETCHDIBITS || type == EMR_COMPRESSEDDIBITS || type == EMR_DELETEDDIBITS ||
           type == EMR_CACHEDDIBITS;
}

// A bitmap record of a page (81 or one of the private types that replace it).
struct BitmapRecordAt {
    uint32_t type = 0;
    uint32_t number = 0;  // image number
    uint64_t offset = 0;  // logical offset
};

class ReferenceCheck {
public:
    ReferenceCheck(const LogicalStream& logical, const InspectOptions& options, std::vector<uint64_t> counted,
                   InspectReport& report)
        : m_log(logical), m_options(options), m_counted(std::move(counted)), m_r(report) {
        std::sort(m_counted.begin(), m_counted.end());
    }

    // Walks the EMF records of every page as the sender's walker does (after
    // an EMR_HEADER, up to a record whose size does not fit), gives every
    // bitmap record its image number and resolves every reference.
    void Run() {
        uint64_t position = 0;
        for (CopyInfo& copy : m_r.copies) {
            copy.position = m_options.imagesPerCopy ? 0 : position;
            position = PositionOf(copy, copy.logicalEnd);
        }
        std::map<uint64_t, BitmapRecordAt> byPosition;  // position -> bitmap record
        uint32_t number = 0;
        uint32_t lastCopy = 0;
        for (size_t i = 0; i < m_r.records.size(); ++i) {
            const SpoolRecord& rec = m_r.records[i];
            if (!IsSpoolPageRecord(rec.type) || rec.endsLoop) continue;
            const CopyInfo& copy = m_r.copies[rec.copy];
            if (m_options.imagesPerCopy && rec.copy != lastCopy) {
                byPosition.clear();
                number = 0;
            }
            lastCopy = rec.copy;
            const uint64_t page = rec.offset + 8;
            const uint64_t length = rec.bodyBytes;
            if (length < 8 || m_log.U32(page) != EMR_HEADER) continue;
            const uint32_t headerSize = m_log.U32(page + 4);
            if (headerSize < 8 || headerSize > length) continue;
            for (uint64_t p = headerSize; length - p >= 8;) {
                const uint32_t type = m_log.U32(page + p);
                const uint32_t size = m_log.U32(page + p + 4);
                if (size < 8 || size > length - p) break;
                if (IsBitmapRecordType(type)) {
                    ++number;
                    ++m_r.bitmapRecords;
                    const uint64_t at = page + p;
                    const uint64_t pos = PositionOf(copy, at);
                    if (type == EMR_CACHEDDIBITS)
                        Reference(i, at, size, pos, number, byPosition);
                    else
                        byPosition[pos] = {type, number, at};
                }
                p += size;
            }
        }
    }

private:
    // A logical offset as the sender counted it: from the first copy's start
    // (or this copy's, per copy), with the payload block headers.
    uint64_t PositionOf(const CopyInfo& copy, uint64_t logicalPos) const {
        const auto from = std::lower_bound(m_counted.begin(), m_counted.end(), copy.logicalOffset);
        const auto to = std::upper_bound(m_counted.begin(), m_counted.end(), logicalPos);
        return copy.position + (logicalPos - copy.logicalOffset) + 8u * static_cast<uint64_t>(to - from);
    }

    // A field at `offset` of the EMF record of `size` bytes at `at`; false
    // when it does not fit the record.
    template <typename T>
    bool Field(uint64_t at, uint32_t size, uint64_t offset, T& out) const {
        if (offset > size || size - offset < sizeof(T)) return false;
        m_log.Read(at + offset, std::span<uint8_t>(reinterpret_cast<uint8_t*>(&out), sizeof(T)));
        return true;
    }

    void Reference(size_t recordIndex, uint64_t at, uint32_t size, uint64_t pos, uint32_t number,
                   const std::map<uint64_t, BitmapRecordAt>& byPosition) {
        BitmapReference ref;
        ref.copy = m_r.records[recordIndex].copy;
        ref.record = recordIndex;
        ref.offset = at;
        ref.position = pos;
        ref.ownNumber = number;
        const std::string where = "the reference (0x8002) at logical offset " + std::to_string(at) + " (image " +
                                  std::to_string(number) + ")";
        uint32_t offBmiSrc = 0;
        int32_t minusNumber = 0;
        if (!Field(at, size, offsetof(StretchDIBitsRecord, offBmiSrc), offBmiSrc) ||
            offBmiSrc < sizeof(StretchDIBitsRecord) ||
            !Field(at, size, uint64_t{offBmiSrc} + CACHED_IMAGE_NUMBER_OFFSET, minusNumber) ||
            !Field(at, size, uint64_t{offBmiSrc} + CACHED_DISTANCE_OFFSET, ref.distance)) {
            ref.problem = where + ": record of " + std::to_string(size) +
                          " bytes has no room for its fixed part, offBmiSrc " + std::to_string(offBmiSrc) +
                          " and the distance field";
        } else if (minusNumber >= 0) {
            ref.problem = where + ": its image number field holds " + std::to_string(minusNumber) +
                          ", not a negative number";
        } else {
            ref.imageNumber = static_cast<uint32_t>(-static_cast<int64_t>(minusNumber));
            const std::string names = where + " names image " + std::to_string(ref.imageNumber) + " at distance " +
                                      std::to_string(ref.distance);
            if (ref.distance >= 0) {
                ref.problem = names + ": the distance does not lead back";
            } else if (static_cast<uint64_t>(-(ref.distance + 1)) + 1 > pos) {
                ref.problem = names + ": the distance leads before the start of the stream";
            } else {
                const uint64_t target = pos - (static_cast<uint64_t>(-(ref.distance + 1)) + 1);
                const auto it = byPosition.find(target);
                if (it == byPosition.end()) {
                    ref.problem = names + ": position " + std::to_string(target) +
                                  " is not the first byte of an earlier bitmap record";
                    // Say whether it is a reference (those are not targets).
                    const auto other = m_referenceAt.find(target);
                    if (other != m_referenceAt.end())
                        ref.problem += " (it is the reference at logical offset " + std::to_string(other->second) + ")";
                } else if (it->second.number != ref.imageNumber) {
                    ref.problem = names + ": the bitmap record there (logical offset " +
                                  std::to_string(it->second.offset) + ") is image " +
                                  std::to_string(it->second.number);
                } else {
                    ref.target = it->second.offset;
                    ref.targetType = it->second.type;
                }
            }
        }
        if (ref.problem.empty()) ++m_r.resolvedReferences;
        m_referenceAt.emplace(ref.position, ref.offset);
        m_r.references.push_back(std::move(ref));
    }

    const LogicalStream& m_log;
    const InspectOptions& m_options;
    std::vector<uint64_t> m_counted;  // logical offsets behind a payload block header, sorted
    InspectReport& m_r;
    std::map<uint64_t, uint64_t> m_referenceAt;  // position of a reference -> its logical offset
};

} // namespace

void CheckReferences(const LogicalStream& logical, const InspectOptions& options, std::vector<uint64_t> countedHeaders,
                     InspectReport& report) {
    ReferenceCheck(logical, options, std::move(countedHeaders), report).Run();
}

} // namespace qltools::detail

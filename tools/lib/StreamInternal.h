// Inside the stream inspector (not for its callers): where the input bytes
// come from, the logical stream as an index of segments over them, and the
// helpers the parser, the checks and the two report formats share.
//
// The logical stream is never held as bytes: it is a list of segments, each a
// run of input bytes or a hole's zeros, and every read goes through it. A
// stream of any size is read in memory proportional to its record index.
#pragma once

#include "tools/lib/StreamReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qltools::detail {

struct Malformed {
    uint64_t offset;
    std::string why;
};

// The input of the inspector. Read() copies [offset, offset + out.size()),
// which the caller has checked to lie inside Size(); an I/O error throws.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    virtual void Read(uint64_t offset, std::span<uint8_t> out) = 0;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    uint64_t Size() const override { return m_bytes.size(); }
    void Read(uint64_t offset, std::span<uint8_t> out) override;

private:
    std::span<const uint8_t> m_bytes;
};

// A range of a file, read through a fixed window: the inspector's reads are
// small and mostly ascending.
class FileSource final : public ByteSource {
public:
    // False (and *error set) when the file cannot be opened or is shorter
    // than offset + length.
    bool Open(const std::string& path, uint64_t offset, std::optional<uint64_t> length, std::string* error);
    uint64_t Size() const override { return m_length; }
    void Read(uint64_t offset, std::span<uint8_t> out) override;

private:
    void Fill(uint64_t offset, std::span<uint8_t> out);
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> m_file;
    uint64_t m_base = 0, m_length = 0;
    std::vector<uint8_t> m_window;
    uint64_t m_windowAt = 0, m_windowBytes = 0;
};

// The logical stream: runs of input bytes and holes, in order.
struct Segment {
    uint64_t logicalStart = 0;
    uint64_t streamStart = 0;  // of the first byte (a hole: of its block header)
    uint64_t length = 0;
    bool hole = false;
    bool framed = false;  // came from a data or hole block
};

class LogicalStream {
public:
    explicit LogicalStream(ByteSource& source) : m_source(source) {}

    uint64_t Size() const { return m_size; }
    ByteSource& Source() const { return m_source; }
    void Add(uint64_t streamStart, uint64_t length, bool hole, bool framed);
    // Drops everything from `logicalPos` on (an unframed copy ends where the
    // next copy's marker begins).
    void CutAt(uint64_t logicalPos);
    // The segment holding a logical position, or none past the end.
    const Segment* SegmentOf(uint64_t logicalPos) const;
    // The stream offset of a logical position, or none inside a hole.
    std::optional<uint64_t> StreamOffsetOf(uint64_t logicalPos) const;

    // Copies [pos, pos + out.size()), holes as zeros; the caller checks the range.
    void Read(uint64_t pos, std::span<uint8_t> out) const;
    uint32_t U32(uint64_t pos) const;
    // At most `limit` bytes from `pos` (fewer at the end of the stream).
    std::vector<uint8_t> Bytes(uint64_t pos, uint64_t limit) const;
    bool MarkerAt(uint64_t pos, uint64_t end) const;

private:
    ByteSource& m_source;
    std::vector<Segment> m_segments;
    uint64_t m_size = 0;
};

// Reads the stream into `report`; `logical` receives the index of the
// logical stream (which the restore reads from). Throws Malformed.
void Inspect(LogicalStream& logical, const InspectOptions& options, InspectReport& report);
// Runs Inspect and turns a failure into the report's error (as InspectStream).
void InspectInto(LogicalStream& logical, const InspectOptions& options, InspectReport& report);

// Gives every bitmap record of the pages its image number and resolves every
// cached reference (StreamChecks.cpp).
void CheckReferences(const LogicalStream& logical, const InspectOptions& options,
                     std::vector<uint64_t> countedHeaders, InspectReport& report);

std::string Hex(uint64_t v, int width = 0);
std::string TypeLabel(uint32_t type);
std::string EmfTypeName(uint32_t type);
std::string CountsText(const std::map<uint32_t, uint32_t>& counts);
std::string DevmodeText(const DevmodeInfo& d);

// Little-endian reads inside [0, limit) of `b`; false when the field does not fit.
template <typename T>
bool ReadAt(std::span<const uint8_t> b, size_t offset, size_t limit, T& out) {
    limit = std::min(limit, b.size());
    if (offset > limit || limit - offset < sizeof(T)) return false;
    std::memcpy(&out, b.data() + offset, sizeof(T));
    return true;
}

} // namespace qltools::detail

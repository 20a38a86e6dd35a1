// The containers and the decoder a job handle owns. The job record is a
// C-layout block in global memory, so it holds these through plain pointers;
// OpenPrintProcessor creates them and ClosePrintProcessor destroys them.
#pragma once
#include "palwin.h"

#include <array>
#include <cstdint>
#include <map>
#include <vector>

// One bitmap already sent in the current document.
struct ImageCacheEntry {
    DWORD dwImageNumber = 0;   // dwImageCount of the record when it was entered
    uint64_t qwStreamPos = 0;  // position of its first byte in the logical output
};

// Per-document map from a bitmap record's 16-byte digest to the earlier record
// that carried the same bitmap. Emptied at every document start.
class CBitmapCacheMap {
public:
    using Digest = std::array<BYTE, 16>;
    virtual ~CBitmapCacheMap() = default;

    void Clear() { m_map.clear(); }
    size_t Count() const { return m_map.size(); }
    std::map<Digest, ImageCacheEntry>& Map() { return m_map; }

private:
    std::map<Digest, ImageCacheEntry> m_map;
};

// Byte ranges of the logical output stream that the block-framed output leaves
// out, in ascending order.
struct HoleRange {
    uint64_t qwStart = 0;
    uint64_t qwLength = 0;
};

class CHoleList {
public:
    virtual ~CHoleList() = default;

    void Clear() { m_holes.clear(); }
    void Add(uint64_t qwStart, uint64_t qwLength) { m_holes.push_back({qwStart, qwLength}); }
    const std::vector<HoleRange>& Holes() const { return m_holes; }

private:
    std::vector<HoleRange> m_holes;
};

// The containers and the decoder a job handle owns. The job record is a
// C-layout block in global memory, so it holds these through plain pointers;
// OpenPrintProcessor creates them and ClosePrintProcessor destroys them.
#pragma once
#include "palwin.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>

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
    // Bytewise order of the digests.
    struct DigestLess {
        bool operator()(const Digest& a, const Digest& b) const { return std::memcmp(a.data(), b.data(), a.size()) < 0; }
    };
    virtual ~CBitmapCacheMap() = default;

    void Clear() { m_map.clear(); }
    size_t Count() const { return m_map.size(); }
    std::map<Digest, ImageCacheEntry, DigestLess>& Map() { return m_map; }

private:
    std::map<Digest, ImageCacheEntry, DigestLess> m_map;
};

// A range of the logical output stream that the block-framed output leaves
// out: the receiver fills it in itself.
struct HOLE {
    uint64_t qwPosition = 0;  // first byte, in the document's logical output
    DWORD cbLength = 0;
};

// The holes of the current document that the job writer has not passed yet,
// nearest first. The EMF transformation adds the ranges a page released; the
// writer looks at the front hole only and removes it once the output has
// moved past its end.
class CHoleList {
public:
    virtual ~CHoleList() = default;

    // Keeps the list ordered by position. Holes normally arrive in ascending
    // order, so this is an append in practice; a hole at the same position as
    // an earlier one goes behind it.
    void Add(uint64_t qwPosition, DWORD cbLength) {
        HOLE hole{qwPosition, cbLength};
        if (m_holes.empty() || m_holes.back().qwPosition <= qwPosition) {
            m_holes.push_back(hole);
            return;
        }
        auto at = m_holes.begin();
        while (at != m_holes.end() && at->qwPosition <= qwPosition) ++at;
        m_holes.insert(at, hole);
    }
    bool IsEmpty() const { return m_holes.empty(); }
    size_t Count() const { return m_holes.size(); }
    // The nearest hole; only valid while the list is not empty.
    const HOLE& Front() const { return m_holes.front(); }
    void RemoveFront() {
        if (!m_holes.empty()) m_holes.pop_front();
    }
    void Clear() { m_holes.clear(); }
    // Read-only view for diagnostics and tests.
    const std::deque<HOLE>& Holes() const { return m_holes; }

private:
    std::deque<HOLE> m_holes;
};

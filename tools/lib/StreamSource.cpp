// Where the inspector's bytes come from (memory or a file range) and the
// logical stream as an index of segments over them.
#include "tools/lib/StreamInternal.h"

#include <cerrno>

namespace qltools::detail {

namespace {
constexpr size_t kWindowBytes = 1u << 20;
}

void MemorySource::Read(uint64_t offset, std::span<uint8_t> out) {
    if (offset > m_bytes.size() || m_bytes.size() - offset < out.size())
        throw Malformed{offset, "read past the end of the input"};
    if (!out.empty()) std::memcpy(out.data(), m_bytes.data() + offset, out.size());
}

bool FileSource::Open(const std::string& path, uint64_t offset, std::optional<uint64_t> length, std::string* error) {
    m_file.reset(std::fopen(path.c_str(), "rb"));
    if (!m_file || fseeko(m_file.get(), 0, SEEK_END) != 0) {
        *error = "cannot open " + path;
        return false;
    }
    const off_t size = ftello(m_file.get());
    if (size < 0 || static_cast<uint64_t>(size) < offset ||
        (length && static_cast<uint64_t>(size) - offset < *length)) {
        *error = path + " holds " + std::to_string(size) + " bytes, fewer than the range asked for";
        return false;
    }
    m_base = offset;
    m_length = length ? *length : static_cast<uint64_t>(size) - offset;
    m_window.resize(std::min<uint64_t>(kWindowBytes, m_length));
    m_windowBytes = 0;
    return true;
}

void FileSource::Fill(uint64_t offset, std::span<uint8_t> out) {
    if (fseeko(m_file.get(), static_cast<off_t>(m_base + offset), SEEK_SET) != 0 ||
        std::fread(out.data(), 1, out.size(), m_file.get()) != out.size())
        throw Malformed{offset, "the input could not be read here (it changed or a read failed)"};
}

void FileSource::Read(uint64_t offset, std::span<uint8_t> out) {
    if (offset > m_length || m_length - offset < out.size()) throw Malformed{offset, "read past the end of the input"};
    if (out.empty()) return;
    if (offset >= m_windowAt && offset - m_windowAt <= m_windowBytes &&
        m_windowBytes - (offset - m_windowAt) >= out.size()) {
        std::memcpy(out.data(), m_window.data() + (offset - m_windowAt), out.size());
        return;
    }
    if (out.size() >= m_window.size()) {
        Fill(offset, out);
        return;
    }
    m_windowAt = offset;
    m_windowBytes = std::min<uint64_t>(m_window.size(), m_length - offset);
    Fill(offset, std::span<uint8_t>(m_window.data(), m_windowBytes));
    std::memcpy(out.data(), m_window.data(), out.size());
}

void LogicalStream::Add(uint64_t streamStart, uint64_t length, bool hole, bool framed) {
    if (length == 0 && !hole) return;
    m_segments.push_back({m_size, streamStart, length, hole, framed});
    m_size += length;
}

void LogicalStream::CutAt(uint64_t logicalPos) {
    while (!m_segments.empty() && m_segments.back().logicalStart >= logicalPos && m_segments.back().length > 0)
        m_segments.pop_back();
    if (!m_segments.empty() && m_segments.back().logicalStart + m_segments.back().length > logicalPos)
        m_segments.back().length = logicalPos - m_segments.back().logicalStart;
    m_size = std::min(m_size, logicalPos);
}

const Segment* LogicalStream::SegmentOf(uint64_t logicalPos) const {
    auto it = std::upper_bound(m_segments.begin(), m_segments.end(), logicalPos,
                               [](uint64_t p, const Segment& s) { return p < s.logicalStart; });
    // Empty holes share their start with the segment after them.
    while (it != m_segments.begin()) {
        --it;
        if (logicalPos < it->logicalStart + it->length) return &*it;
        if (it->length > 0) return nullptr;
    }
    return nullptr;
}

std::optional<uint64_t> LogicalStream::StreamOffsetOf(uint64_t logicalPos) const {
    const Segment* s = SegmentOf(logicalPos);
    if (!s) return logicalPos == m_size ? std::optional<uint64_t>(m_source.Size()) : std::nullopt;
    if (s->hole) return std::nullopt;
    return s->streamStart + (logicalPos - s->logicalStart);
}

void LogicalStream::Read(uint64_t pos, std::span<uint8_t> out) const {
    if (pos > m_size || m_size - pos < out.size()) throw Malformed{m_source.Size(), "read past the logical stream"};
    size_t done = 0;
    while (done < out.size()) {
        const Segment* s = SegmentOf(pos + done);
        if (!s) throw Malformed{m_source.Size(), "read past the logical stream"};
        const uint64_t inside = pos + done - s->logicalStart;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(s->length - inside, out.size() - done));
        if (s->hole)
            std::memset(out.data() + done, 0, n);
        else
            m_source.Read(s->streamStart + inside, out.subspan(done, n));
        done += n;
    }
}

uint32_t LogicalStream::U32(uint64_t pos) const {
    uint8_t b[4];
    Read(pos, b);
    return static_cast<uint32_t>(b[0] | b[1] << 8 | b[2] << 16) | static_cast<uint32_t>(b[3]) << 24;
}

std::vector<uint8_t> LogicalStream::Bytes(uint64_t pos, uint64_t limit) const {
    std::vector<uint8_t> out(static_cast<size_t>(pos >= m_size ? 0 : std::min(limit, m_size - pos)));
    Read(pos, out);
    return out;
}

bool LogicalStream::MarkerAt(uint64_t pos, uint64_t end) const {
    if (pos > end || end - pos < 5) return false;
    uint8_t b[5];
    Read(pos, b);
    return std::memcmp(b, "%%EMF", 5) == 0;
}

} // namespace qltools::detail

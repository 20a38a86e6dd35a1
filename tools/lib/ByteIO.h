// Little-endian byte helpers shared by the tool writers and readers, and the
// UTF-8 / UTF-16 conversions of the tools.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qltools {

static_assert(std::endian::native == std::endian::little, "the record writers copy little-endian structs");

// ---- little-endian helpers shared by the tool writers and readers ----------------
inline void AppendU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendBytes(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
template <typename T>
void AppendStruct(std::vector<uint8_t>& out, const T& value) {
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof(T));
}
inline void PadTo4(std::vector<uint8_t>& out) {
    while (out.size() % 4 != 0) out.push_back(0);
}
inline void PutU32(std::span<uint8_t> bytes, size_t offset, uint32_t v) {
    if (offset + 4 > bytes.size()) throw std::out_of_range("PutU32 past the end");
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Bounds-checked reads; the caller tests the range first or accepts the throw.
inline uint32_t GetU32(std::span<const uint8_t> bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) throw std::out_of_range("GetU32 past the end");
    return static_cast<uint32_t>(bytes[offset]) | (static_cast<uint32_t>(bytes[offset + 1]) << 8) |
           (static_cast<uint32_t>(bytes[offset + 2]) << 16) | (static_cast<uint32_t>(bytes[offset + 3]) << 24);
}
inline uint16_t GetU16(std::span<const uint8_t> bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) throw std::out_of_range("GetU16 past the end");
    return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

// UTF-8 (ASCII and the BMP; invalid bytes become U+FFFD) to UTF-16 code units.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

} // namespace qltools

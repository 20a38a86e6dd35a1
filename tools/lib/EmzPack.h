// Writer of the "%%EMZ" compressed print stream, which the print processor
// decodes but never produces. A stream is a sequence of blocks
//   "%%EMZ" | u32 header value | u32 payload length | payload   (little-endian)
// whose payloads, concatenated, are one or more complete zlib streams. Block
// boundaries and zlib stream boundaries are independent, so the options below
// can make streams that span blocks, several streams in one block and empty
// blocks.
//
// Errors (a level outside -1..9, a block size of 0 or above 0xFFFFFFFF, zlib
// failures) throw std::invalid_argument or std::runtime_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qltools {

// Bytes of one block header: magic, header value, payload length.
constexpr size_t kEmzBlockHeaderSize = 13;

struct EmzPackOptions {
    // Payload bytes per block; the last block takes the rest. 1 .. 0xFFFFFFFF.
    size_t blockSize = 32768;
    // Input bytes per zlib stream; 0 packs the whole input as one stream.
    // An empty input still gives one (empty) zlib stream.
    size_t streamInputSize = 0;
    // zlib compression level, -1 (zlib's default) .. 9.
    int level = -1;
    // Written into every block header; the decoder only logs it.
    uint32_t headerValue = 0;
    // Appends a block of payload length 0 after the last one.
    bool trailingEmptyBlock = false;
};

// The input deflated into zlib streams (RFC 1950) of streamInputSize input
// bytes each (0: one stream), back to back.
std::vector<uint8_t> EmzDeflate(std::span<const uint8_t> input, size_t streamInputSize, int level);

// Appends one block holding `payload` (at most 0xFFFFFFFF bytes) to `out`.
void EmzAppendBlock(std::vector<uint8_t>& out, std::span<const uint8_t> payload, uint32_t headerValue);

// Cuts an already compressed payload into blocks of blockSize bytes (no block
// for an empty payload), plus the empty block when asked for.
std::vector<uint8_t> EmzFrame(std::span<const uint8_t> payload, size_t blockSize, uint32_t headerValue,
                              bool trailingEmptyBlock);

// EmzDeflate followed by EmzFrame with the options' values.
std::vector<uint8_t> EmzPack(std::span<const uint8_t> input, const EmzPackOptions& options);

} // namespace qltools

#include "tools/lib/EmzPack.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace qltools {
namespace {

constexpr uint8_t kMagic[5] = {'%', '%', 'E', 'M', 'Z'};
constexpr size_t kMaxBlock = 0xFFFFFFFFu;
static_assert(sizeof(kMagic) + 4 + 4 == kEmzBlockHeaderSize);

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Deflates one piece of input as a complete zlib stream and appends it.
void DeflateOne(std::vector<uint8_t>& out, std::span<const uint8_t> piece, int level) {
    z_stream zs{};
    int rc = deflateInit(&zs, level);
    if (rc != Z_OK) throw std::runtime_error("deflateInit failed: " + std::to_string(rc));

    // deflate takes uInt counts; feed the piece in slices that fit.
    constexpr size_t kSlice = 1u << 30;
    std::vector<uint8_t> chunk(64 * 1024);
    size_t offset = 0;
    for (;;) {
        const size_t slice = std::min(kSlice, piece.size() - offset);
        zs.next_in = const_cast<Bytef*>(piece.data() + offset);
        zs.avail_in = static_cast<uInt>(slice);
        offset += slice;
        const int flush = offset == piece.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = chunk.data();
            zs.avail_out = static_cast<uInt>(chunk.size());
            rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) {
                deflateEnd(&zs);
                throw std::runtime_error("deflate failed");
            }
            out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - zs.avail_out));
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
        if (flush == Z_FINISH) break;
    }
    deflateEnd(&zs);
}

} // namespace

std::vector<uint8_t> EmzDeflate(std::span<const uint8_t> input, size_t streamInputSize, int level) {
    if (level < -1 || level > 9) throw std::invalid_argument("level must be -1 .. 9");
    std::vector<uint8_t> out;
    out.reserve(input.size() / 2 + 64);
    if (streamInputSize == 0 || input.empty()) {
        DeflateOne(out, input, level);
        return out;
    }
    for (size_t offset = 0; offset < input.size(); offset += streamInputSize) {
        const size_t n = std::min(streamInputSize, input.size() - offset);
        DeflateOne(out, input.subspan(offset, n), level);
    }
    return out;
}

void EmzAppendBlock(std::vector<uint8_t>& out, std::span<const uint8_t> payload, uint32_t headerValue) {
    if (payload.size() > kMaxBlock) throw std::invalid_argument("block payload above 0xFFFFFFFF bytes");
    out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
    PutLe32(out, headerValue);
    PutLe32(out, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

std::vector<uint8_t> EmzFrame(std::span<const uint8_t> payload, size_t blockSize, uint32_t headerValue,
                              bool trailingEmptyBlock) {
    if (blockSize == 0 || blockSize > kMaxBlock) throw std::invalid_argument("block size must be 1 .. 0xFFFFFFFF");
    std::vector<uint8_t> out;
    const size_t blocks = (payload.size() + blockSize - 1) / blockSize + (trailingEmptyBlock ? 1 : 0);
    out.reserve(payload.size() + blocks * kEmzBlockHeaderSize);
    for (size_t offset = 0; offset < payload.size(); offset += blockSize) {
        EmzAppendBlock(out, payload.subspan(offset, std::min(blockSize, payload.size() - offset)), headerValue);
    }
    if (trailingEmptyBlock) EmzAppendBlock(out, {}, headerValue);
    return out;
}

std::vector<uint8_t> EmzPack(std::span<const uint8_t> input, const EmzPackOptions& options) {
    if (options.blockSize == 0 || options.blockSize > kMaxBlock)
        throw std::invalid_argument("block size must be 1 .. 0xFFFFFFFF");
    const std::vector<uint8_t> payload = EmzDeflate(input, options.streamInputSize, options.level);
    return EmzFrame(payload, options.blockSize, options.headerValue, options.trailingEmptyBlock);
}

} // namespace qltools

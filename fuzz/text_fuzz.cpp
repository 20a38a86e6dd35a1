// libFuzzer target: any bytes as a text job through the line reader, with the
// line capacity, tab size and input block size taken from the first bytes.
// The reader must stay inside its buffers, never fill a line past its
// capacity and always make progress.
#include "printproc/text.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const DWORD cchLine = 1 + data[0] % 200;
    const DWORD dwTabSize = data[1] < 240 ? 1 + data[1] % 16 : 0xFFFFFFF0u + (data[1] & 0x0F);
    const size_t block = 1 + data[2] % 64;
    std::vector<BYTE> text(data + 3, data + size);
    std::vector<BYTE> line(cchLine + 5);
    DWORD c = 0, o = 0, flags = 0;
    BOOL fFormFeed = FALSE;
    for (size_t pos = 0; pos < text.size(); pos += block) {
        // Each block in a buffer of its own, so over-reads are caught.
        std::vector<BYTE> piece(text.begin() + pos, text.begin() + std::min(text.size(), pos + block));
        LPBYTE p = piece.data(), end = piece.data() + piece.size();
        size_t calls = 0;
        while ((p = ReadTextLine(p, end, line.data(), cchLine, dwTabSize, &c, &o, &flags, &fFormFeed)) != nullptr) {
            if (c > cchLine || p < piece.data() || p > end) std::abort();
            // Without consuming a byte a call only ends a full line.
            if (++calls > 2 * piece.size() + 2) std::abort();
            c = 0;
        }
        if (c > cchLine) std::abort();
    }
    return 0;
}

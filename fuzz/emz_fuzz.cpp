// libFuzzer target: the decoder of packed jobs, structure-aware. An input is
// one options byte and a zlib payload; the target wraps the payload in valid
// "%%EMZ" block framing (block size from the options) and reads the job
// through the decoder with a read size from the options. The custom mutator
// either mutates the payload's bytes or inflates it, mutates the plain data
// and deflates it again, so most inputs reach deep into inflate instead of
// stopping at a block header or a zlib header. The decoder must end every job
// with a FALSE read, never crash, hang or over-read.
#include "FuzzMachine.h"
#include "diag/DbgLog.h"
#include "emz/NPDecompress.h"
#include "palhost.h"
#include "tools/lib/EmzPack.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Packed]
"Printer Driver"="QL Spool Bridge"
"Port"="FILE1:"
)";

constexpr DWORD kReadSizes[] = {1, 7, 64, 4096, 8191, 8192, 8193, 65536};
constexpr size_t kBlockSizes[] = {1, 5, 13, 512, 4096, 8192, 65536, 1u << 20};

// The plain data of the payload's zlib streams, back to back; empty when the
// payload does not start with a whole stream.
std::vector<uint8_t> Inflate(const uint8_t* data, size_t size, size_t limit) {
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at < size) {
        z_stream z{};
        if (inflateInit(&z) != Z_OK) break;
        z.next_in = const_cast<Bytef*>(data + at);
        z.avail_in = static_cast<uInt>(size - at);
        uint8_t chunk[4096];
        int rc = Z_OK;
        while (rc == Z_OK && out.size() < limit) {
            z.next_out = chunk;
            z.avail_out = sizeof(chunk);
            rc = inflate(&z, Z_NO_FLUSH);
            out.insert(out.end(), chunk, chunk + (sizeof(chunk) - z.avail_out));
        }
        at += size - at - z.avail_in;
        inflateEnd(&z);
        if (rc != Z_STREAM_END) break;
    }
    return out;
}

} // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize, unsigned int seed) {
    if (size < 2 || maxSize < 16 || (seed & 1)) return LLVMFuzzerMutate(data, size, maxSize);
    // Mutate the plain data and deflate it again: a valid payload with new
    // content. Input that does not inflate counts as plain data itself.
    std::vector<uint8_t> plain = Inflate(data + 1, size - 1, maxSize * 4);
    if (plain.empty()) plain.assign(data + 1, data + size);
    const size_t used = plain.size();
    plain.resize(std::max<size_t>(used * 2, 64));
    plain.resize(LLVMFuzzerMutate(plain.data(), used, plain.size()));
    // Sometimes several streams back to back, sometimes a different level.
    const size_t streamSize = (seed & 2) ? std::max<size_t>(plain.size() / 3, 1) : 0;
    const int level = static_cast<int>((seed >> 2) % 10);
    const std::vector<uint8_t> payload = qltools::EmzDeflate(plain, streamSize, level);
    if (payload.size() + 1 > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data + 1, payload.data(), payload.size());
    return payload.size() + 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlemz-fuzz");
    (void)ready;
    if (size == 0) return 0;
    const DWORD readSize = kReadSizes[data[0] & 0x7];
    const size_t blockSize = kBlockSizes[(data[0] >> 3) & 0x7];
    const bool trailingEmptyBlock = data[0] & 0x40;
    // Large seeds (whole spool files of the corpus) add time, not paths:
    // their first 64 KiB stand for them.
    const std::span<const uint8_t> payload(data + 1, std::min<size_t>(size - 1, 64u << 10));

    pal::host::ResetSpooler();
    pal::host::JobSpec job;
    job.printer = u"Packed";
    // Bit 7: the bytes as they are, framing and all (the old, unstructured form).
    job.data = (data[0] & 0x80) ? std::vector<uint8_t>(payload.begin(), payload.end())
                                : qltools::EmzFrame(payload, blockSize, 0, trailingEmptyBlock);
    std::u16string name = pal::host::JobReadName(pal::host::SubmitJob(job));
    HANDLE hPrinter = nullptr;
    if (!OpenPrinterW(name.data(), &hPrinter, nullptr)) std::abort();
    {
        CNPDecompress decoder(hPrinter);
        std::vector<uint8_t> buffer(readSize);
        // Deflate expands at most about 1032:1; more reads than that is a hang.
        const uint64_t maxCalls = (static_cast<uint64_t>(size) * 1100 + 65536) / readSize + 2;
        uint64_t calls = 0;
        for (;;) {
            DWORD cbRead = 0xFFFFFFFF;
            if (!decoder.ReadPrinter(buffer.data(), readSize, &cbRead)) {
                if (cbRead != 0) std::abort();
                break;
            }
            if (cbRead == 0 || cbRead > readSize) std::abort();
            if (++calls > maxCalls) std::abort();
        }
    }
    ClosePrinter(hPrinter);
    return 0;
}

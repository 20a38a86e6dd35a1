// libFuzzer target: the compression step on one EMR_STRETCHDIBITS record
// with a random header and random bits. The first 16 input bytes set the
// rule, the trial level and the header fields (sizes that may lie about the
// bits, negative heights, any depth, short colour tables); the rest are the
// colour table and the bits. The step must never read or write outside the
// record, and a record it does not compress must stay byte for byte as it was.
#include "emf/BitmapCompress.h"
#include "emf/EmfRecords.h"
#include "FuzzMachine.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00
)";

constexpr WORD kDepths[] = {0, 1, 4, 8, 16, 24, 32, 2, 12};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = SetUpFuzzMachine(kMachine, "qlcompress-fuzz");
    (void)ready;
    constexpr size_t kParams = 16;
    if (size < kParams || size > (1u << 20)) return 0;
    const uint8_t* p = data;
    const size_t cbPayload = size - kParams;

    ComprCnf cnf{};
    cnf.adwCompressionRule[0] = p[0] | (p[1] % 4) << 8;  // lossy 0..255 %, ZIP 0..3 %
    cnf.dwCompressCompare = p[2] & 1;

    BITMAPINFOHEADER h{};
    h.biSize = BITMAPINFOHEADER_SIZE;
    // Mostly small sizes, so that the bits often fit; now and then large ones.
    h.biWidth = static_cast<int8_t>(p[3]) * ((p[4] & 7) == 7 ? 64 : 1);
    h.biHeight = static_cast<int8_t>(p[5]) * ((p[6] & 7) == 7 ? 64 : 1);
    h.biPlanes = 1;
    h.biBitCount = kDepths[p[7] % (sizeof(kDepths) / sizeof(kDepths[0]))];
    h.biCompression = p[8] == 0xFF ? BI_BITFIELDS : BI_RGB;
    h.biClrUsed = p[9];
    h.biSizeImage = static_cast<DWORD>(p[10]) << 8;
    const DWORD cbTable = std::min<DWORD>(static_cast<DWORD>(p[11]) * 4, static_cast<DWORD>(cbPayload));

    StretchDIBitsRecord r{};
    r.iType = EMR_STRETCHDIBITS_TYPE;
    r.offBmiSrc = STRETCHDIBITS_FIXED_SIZE + (p[12] & 4);
    r.cbBmiSrc = BITMAPINFOHEADER_SIZE + cbTable;
    r.offBitsSrc = r.offBmiSrc + r.cbBmiSrc + (p[13] & 8);  // bits may not follow the table
    r.cbBitsSrc = static_cast<DWORD>(cbPayload - cbTable) - (p[14] & 3);  // may be short
    if (r.cbBitsSrc > cbPayload) r.cbBitsSrc = 0;
    r.nSize = r.offBitsSrc + static_cast<DWORD>(cbPayload - cbTable) + (p[15] & 4);

    std::vector<uint8_t> rec(r.nSize, 0);
    StoreRecord(rec.data(), r);
    StoreRecord(rec.data() + r.offBmiSrc, h);
    std::memcpy(rec.data() + r.offBmiSrc + BITMAPINFOHEADER_SIZE, p + kParams, cbTable);
    std::memcpy(rec.data() + r.offBitsSrc, p + kParams + cbTable, cbPayload - cbTable);
    const std::vector<uint8_t> before = rec;

    CompressStretchDIBits(rec.data(), r.nSize, &cnf, nullptr);
    if (LoadRecord<StretchDIBitsRecord>(rec.data()).iType != EMR_COMPRESSEDDIBITS && rec != before) std::abort();
    return 0;
}

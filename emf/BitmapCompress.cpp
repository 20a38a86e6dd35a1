// Lossy compression of bitmap records. For one EMR_STRETCHDIBITS record the
// step compares three sizes — the JPEG 2000 target from the compression
// rules, a trial deflate of the bits and the ZIP threshold below which a
// bitmap is simple enough to stay as it is — and, when JPEG 2000 is worth it,
// stores the code stream over the colour table and the bits and turns the
// record into EMR_COMPRESSEDDIBITS. The trial deflate only measures: its
// output is thrown away. Every answer but success leaves the record as it was.
#define QL_MODULE WSTR("compress")
#include "emf/BitmapCompress.h"

#include "diag/DbgLog.h"
#include "emf/EmfRecords.h"
#include "jpeg2000/Jp2Codec.h"
#include "printproc/Util.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// Values of the codec settings the step asks for (see docs/ARCHITECTURE.md
// for what they mean to the codec).
constexpr int JP2_CREATE_VALUE = 3;
constexpr intptr_t JP2_LEVELS_VALUE = 5;
constexpr intptr_t JP2_LAYERS_VALUE = 1;
constexpr intptr_t JP2_PROGRESSION_VALUE = 0;
constexpr intptr_t JP2_WAVELET_VALUE = 0;

// Answers of the output callback.
constexpr int OUTPUT_NO_DESCRIPTOR = -29;
constexpr int OUTPUT_OVERFLOW = -3;
// Answer of a row reader for a colour index beyond the colour table.
constexpr int ROW_BAD_COLOUR_INDEX = -30;
// Error of the step itself for a 1-bit bitmap.
constexpr int UNSUPPORTED_1_BIT = -31;

// Where the codec writes: used bytes of a buffer of capacity bytes.
struct OutputDescriptor {
    DWORD dwUsed;
    DWORD dwCapacity;
    BYTE* pBuffer;
};

DWORD HeaderU32(const BYTE* pbmi, size_t offset) {
    return LoadRecord<DWORD>(pbmi + offset);
}

LONG HeaderI32(const BYTE* pbmi, size_t offset) {
    return LoadRecord<LONG>(pbmi + offset);
}

WORD HeaderU16(const BYTE* pbmi, size_t offset) {
    return LoadRecord<WORD>(pbmi + offset);
}

void* CodecAlloc(size_t cb, void*) {
    return MemAlloc(cb);
}

void CodecFree(void* p, void*) {
    if (p) MemFree(&p);
}

int WriteOutput(const unsigned char* pData, uint32_t dwOffset, uint32_t cbData, void* pContext) {
    auto* pDesc = static_cast<OutputDescriptor*>(pContext);
    if (!pDesc) return OUTPUT_NO_DESCRIPTOR;
    if (uint64_t(pDesc->dwCapacity) < uint64_t(dwOffset) + cbData) return OUTPUT_OVERFLOW;
    std::memcpy(pDesc->pBuffer + dwOffset, pData, cbData);
    pDesc->dwUsed = dwOffset + cbData;
    return 0;
}

// The source row of image row y (counted from the top) of the DIB whose
// header is at pbmi: bits biSize bytes after the header, bottom-up, rows of
// biSizeImage / biHeight bytes.
const BYTE* SourceRow(const BYTE* pbmi, uint32_t y) {
    const DWORD biSize = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSize));
    const DWORD biSizeImage = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSizeImage));
    const uint32_t dwHeight = static_cast<uint32_t>(HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biHeight)));
    const size_t cbStride = biSizeImage / dwHeight;
    return pbmi + biSize + size_t(dwHeight - 1 - y) * cbStride;
}

// Colour table entries the BITMAPINFO holds for a palettised DIB.
uint32_t ColourTableEntries(const BYTE* pbmi) {
    const DWORD biSize = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSize));
    const DWORD biClrUsed = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biClrUsed));
    const WORD biBitCount = HeaderU16(pbmi, offsetof(BITMAPINFOHEADER, biBitCount));
    const uint32_t dwFit = (biSize - BITMAPINFOHEADER_SIZE) / sizeof(RGBQUAD);
    const uint32_t dwDeclared = biClrUsed ? biClrUsed : (1u << biBitCount);
    return dwFit < dwDeclared ? dwFit : dwDeclared;
}

// Colour table byte of a component: an RGBQUAD holds blue, green, red.
int ReadIndexed(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count, const BYTE* pbmi,
                bool fNibbles) {
    const BYTE* pRow = SourceRow(pbmi, y);
    const BYTE* pTable = pbmi + BITMAPINFOHEADER_SIZE;
    const uint32_t cEntries = ColourTableEntries(pbmi);
    const int iByte = 2 - comp;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t px = x + i;
        const uint32_t index = fNibbles ? ((px & 1) ? pRow[px / 2] & 0x0F : pRow[px / 2] >> 4) : pRow[px];
        if (index >= cEntries) return ROW_BAD_COLOUR_INDEX;
        pDest[i] = pTable[index * sizeof(RGBQUAD) + iByte];
    }
    return 0;
}

int ReadRow4(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count, void* pContext) {
    return ReadIndexed(pDest, comp, y, x, count, static_cast<const BYTE*>(pContext), true);
}

int ReadRow8(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count, void* pContext) {
    return ReadIndexed(pDest, comp, y, x, count, static_cast<const BYTE*>(pContext), false);
}

int ReadRow16(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count, void* pContext) {
    const BYTE* pRow = SourceRow(static_cast<const BYTE*>(pContext), y);
    const int iShift = 10 - 5 * comp;
    for (uint32_t i = 0; i < count; ++i) {
        const WORD p = LoadRecord<WORD>(pRow + size_t(x + i) * 2);
        pDest[i] = static_cast<unsigned char>(((p >> iShift) & 31) << 3);
    }
    return 0;
}

template <size_t BytesPerPixel>
int ReadRowRgb(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count, void* pContext) {
    const BYTE* p = SourceRow(static_cast<const BYTE*>(pContext), y) + size_t(x) * BytesPerPixel + (2 - comp);
    for (uint32_t i = 0; i < count; ++i, p += BytesPerPixel) pDest[i] = *p;
    return 0;
}

// Owns a codec instance for one encode.
class CCodec {
public:
    CCodec() = default;
    ~CCodec() {
        if (m_h) Jp2Destroy(m_h);
    }
    CCodec(const CCodec&) = delete;
    CCodec& operator=(const CCodec&) = delete;
    JP2_HANDLE* Put() { return &m_h; }
    JP2_HANDLE Get() const { return m_h; }

private:
    JP2_HANDLE m_h = nullptr;
};

// Asks the codec for the block coder the configuration names; a build without
// the High-Throughput coder keeps the standard one.
void SelectCoder(JP2_HANDLE hCodec, DWORD dwJpeg2000Coder) {
    if (dwJpeg2000Coder != JPEG2000_CODER_HT) return;
    if (Jp2SetOption(hCodec, JP2_OPT_CODER, -1, -1, JP2_CODER_HT) == 0) {
        QLLOG(LOG_TRC, WSTR("JPEG 2000 coder: HTJ2K"));
    } else {
        QLLOG(LOG_INF, WSTR("JPEG 2000 coder HTJ2K not in this build: standard coder used"));
    }
}

// The encode of Pack2000: 0, or the codec's error number.
int EncodeBitmap(BYTE* pbmi, DWORD dwTarget, DWORD dwJpeg2000Coder, OutputDescriptor* pDesc) {
    const LONG biWidth = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biWidth));
    const LONG biHeight = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biHeight));
    const WORD biBitCount = HeaderU16(pbmi, offsetof(BITMAPINFOHEADER, biBitCount));

    CCodec codec;
    int rc = Jp2Create(codec.Put(), CodecAlloc, nullptr, CodecFree, nullptr, JP2_CREATE_VALUE);
    if (rc) return rc;
    const struct {
        int id;
        intptr_t value;
    } aOptions[] = {
        {JP2_OPT_HEIGHT, biHeight},
        {JP2_OPT_WIDTH, biWidth},
        {JP2_OPT_BITS_PER_COMPONENT, 8},
        {JP2_OPT_STREAM_FORMAT, JP2_FORMAT_CODESTREAM},
        {JP2_OPT_LEVELS, JP2_LEVELS_VALUE},
        {JP2_OPT_LAYERS, JP2_LAYERS_VALUE},
        {JP2_OPT_PROGRESSION, JP2_PROGRESSION_VALUE},
        {JP2_OPT_WAVELET, JP2_WAVELET_VALUE},
        {JP2_OPT_TARGET_SIZE, static_cast<intptr_t>(dwTarget)},
        {JP2_OPT_OUTPUT_CONTEXT, reinterpret_cast<intptr_t>(pDesc)},
        {JP2_OPT_OUTPUT, reinterpret_cast<intptr_t>(&WriteOutput)},
        {JP2_OPT_ROW_READER_CONTEXT, reinterpret_cast<intptr_t>(pbmi)},
    };
    for (const auto& option : aOptions) {
        rc = Jp2SetOption(codec.Get(), option.id, -1, -1, option.value);
        if (rc) return rc;
    }
    SelectCoder(codec.Get(), dwJpeg2000Coder);

    JP2_ROW_READER_FN pfnReader = nullptr;
    switch (biBitCount) {
    case 1: QLLOG(LOG_TRC, WSTR(" don't support 1 bit B.'s")); return UNSUPPORTED_1_BIT;
    case 4: pfnReader = ReadRow4; break;
    case 8: pfnReader = ReadRow8; break;
    case 16: pfnReader = ReadRow16; break;
    case 24: pfnReader = ReadRowRgb<3>; break;
    case 32: pfnReader = ReadRowRgb<4>; break;
    default: break;
    }
    if (pfnReader) {
        rc = Jp2SetOption(codec.Get(), JP2_OPT_ROW_READER, -1, -1, reinterpret_cast<intptr_t>(pfnReader));
        if (rc) return rc;
    }
    return Jp2Encode(codec.Get());
}

// The row readers read biHeight rows of biSizeImage / biHeight bytes from
// biSize bytes after the header: true when that is the bitmap at pBits and
// each row holds biWidth pixels.
bool RowsFitBits(const BYTE* pbmi, const BYTE* pBits) {
    const LONG biWidth = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biWidth));
    const LONG biHeight = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biHeight));
    const WORD biBitCount = HeaderU16(pbmi, offsetof(BITMAPINFOHEADER, biBitCount));
    const DWORD biSize = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSize));
    const DWORD biSizeImage = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSizeImage));
    if (biWidth <= 0 || biHeight <= 0 || biSize < BITMAPINFOHEADER_SIZE || pbmi + biSize != pBits) return false;
    const uint64_t cbRow = (uint64_t(biWidth) * biBitCount + 7) / 8;
    return cbRow <= biSizeImage / uint64_t(biHeight);
}

// Output bytes the trial deflate writes at a time: it keeps none of them.
constexpr uInt TRIAL_CHUNK = 64 * 1024;

// The size of the zlib stream compress2 makes of the cbBits bytes at pBits at
// iLevel, in *pqwSize: exact, or, when qwDecided is not 0 and the stream
// reaches qwDecided bytes, a size from qwDecided up to the exact one.
// Deflates into a small buffer that it overwrites (the stream's bytes do not
// depend on how the output is handed out), except at level 0, whose stored
// blocks follow the room in the output: there the size needs compress2's
// whole buffer, and a stream that is never shorter than its input plus the
// zlib header and check needs no deflate when qwDecided is within that.
// Answers false when a buffer could not be had; a failing zlib gives the
// size of the buffer compress2 would have been given, as compress2 did.
bool TrialDeflateSize(const BYTE* pBits, DWORD cbBits, int iLevel, uint64_t qwDecided, uint64_t* pqwSize) {
    const uint64_t cbBound = uint64_t(cbBits) / 100 + cbBits + 20;
    constexpr uint64_t ZLIB_WRAPPER = 6;
    if (iLevel == 0 && qwDecided && qwDecided <= uint64_t(cbBits) + ZLIB_WRAPPER) {
        *pqwSize = uint64_t(cbBits) + ZLIB_WRAPPER;
        return true;
    }
    const uint64_t cbOut = iLevel == 0 ? cbBound : std::min<uint64_t>(cbBound, TRIAL_CHUNK);
    BYTE* pOut = cbOut <= SIZE_MAX ? static_cast<BYTE*>(MemAlloc(static_cast<SIZE_T>(cbOut))) : nullptr;
    if (!pOut) return false;
    z_stream z{};
    int zrc = deflateInit(&z, iLevel);
    if (zrc == Z_OK) {
        z.next_in = const_cast<Bytef*>(pBits);
        z.avail_in = cbBits;
        do {
            z.next_out = pOut;
            // compress2 too hands zlib at most a uInt of output room at a time.
            z.avail_out = static_cast<uInt>(std::min<uint64_t>(cbOut, UINT_MAX));
            zrc = deflate(&z, Z_FINISH);
        } while (zrc == Z_OK && !(qwDecided && z.total_out >= qwDecided));
        *pqwSize = zrc == Z_STREAM_END || zrc == Z_OK ? z.total_out : cbBound;
        deflateEnd(&z);
    } else {
        *pqwSize = cbBound;
    }
    MemFreeT(&pOut);
    return true;
}

}  // namespace

BOOL Pack2000(BYTE* pbmi, const BYTE* pBits, const ComprCnf* pComprCnf, DWORD dwMinBufferSize, DWORD* pcbStream,
              FILE* pStatFile) {
    // 1. Sizes.
    const DWORD cbBits = HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biSizeImage));
    const DWORD cbWithColourTable = static_cast<DWORD>(pBits - (pbmi + BITMAPINFOHEADER_SIZE)) + cbBits;
    const LONG biWidth = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biWidth));
    const LONG biHeight = HeaderI32(pbmi, offsetof(BITMAPINFOHEADER, biHeight));
    const DWORD dwAssumed = static_cast<DWORD>(biWidth) * static_cast<DWORD>(biHeight) * 3u;

    // 2-3. The rule for the assumed size.
    DWORD dwZipPercent = 0, dwLossyPercent = 0;
    LookupCompressionRule(pComprCnf, dwAssumed, &dwZipPercent, &dwLossyPercent);
    QLLOG(LOG_TRC, WSTR("original size: %d"), cbBits);
    QLLOG(LOG_TRC, WSTR("original size + colormap: %d"), cbWithColourTable);
    QLLOG(LOG_TRC, WSTR("assumed size: %d"), dwAssumed);
    QLLOG(LOG_TRC, WSTR("ZIP: %d"), dwZipPercent);
    QLLOG(LOG_TRC, WSTR("RATIO: %d"), dwLossyPercent);

    // 4-5.
    if (HeaderU32(pbmi, offsetof(BITMAPINFOHEADER, biCompression)) != BI_RGB) {
        QLLOG(LOG_TRC, WSTR("++ B. not rgb"));
        return FALSE;
    }
    if (dwZipPercent == 100) {
        QLLOG(LOG_TRC, WSTR("++ B. to small ZIP == 100"));
        return FALSE;
    }

    // 6-9. Target and threshold.
    DWORD dwTarget = static_cast<DWORD>(uint64_t(dwLossyPercent) * dwAssumed / 100);
    if (dwTarget < dwMinBufferSize && cbBits >= dwMinBufferSize) {
        QLLOG(LOG_INF, WSTR("Adjust B. Size %d -> %d"), dwTarget, dwMinBufferSize);
        dwTarget = dwMinBufferSize;
    }
    const DWORD dwZipThreshold = static_cast<DWORD>(uint64_t(dwZipPercent) * dwAssumed / 100);
    QLLOG(LOG_TRC, WSTR("assumed Size of Rere: %d"), dwTarget);
    QLLOG(LOG_TRC, WSTR("if ZIP size is lower %d, dont zip"), dwZipThreshold);
    QLLOG(LOG_TRC, WSTR("save(assumed) is: %d%%"),
          dwAssumed ? static_cast<int>(uint64_t(dwTarget) * 100 / dwAssumed) : 0);
    if (dwTarget < dwMinBufferSize) {
        QLLOG(LOG_TRC, WSTR("++ B. not used (< MinBufferSize (500 Bytes))"));
        return FALSE;
    }
    if (!RowsFitBits(pbmi, pBits)) {
        QLLOG(LOG_ERR, WSTR("++ B. not used (rows of %d x %d pixels do not fit %d bytes of bits)"), biWidth,
              biHeight, cbBits);
        return FALSE;
    }

    // 10-12. Trial deflate: only its length counts, and only against the
    // threshold and the target, so it may stop once it has passed both —
    // unless the trace shows its size.
    const int iLevel = static_cast<int>(pComprCnf->dwCompressCompare);
    const uint64_t qwDecided = DbgLogWrites(LOG_TRC) ? 0 : std::max<uint64_t>(dwTarget, uint64_t(dwZipThreshold) + 1);
    uint64_t qwZip = 0;
    if (!TrialDeflateSize(pBits, cbBits, iLevel, qwDecided, &qwZip)) {
        QLLOG(LOG_TRC, WSTR("++ not enough memory"));
        return FALSE;
    }
    const DWORD cbZip = static_cast<DWORD>(std::min<uint64_t>(qwZip, UINT32_MAX));
    QLLOG(LOG_TRC, WSTR("ZIP (-%d) size: %d"), iLevel, cbZip);
    if (cbZip <= dwZipThreshold) {
        QLLOG(LOG_TRC, WSTR("++ B. not used (use ZIP image is lower than ZIP threshold)"));
        return FALSE;
    }
    if (cbZip < dwTarget) {
        QLLOG(LOG_TRC, WSTR("++ B. not used (use ZIP is better)"));
        return FALSE;
    }

    // 13-14. Encode into target + slack bytes.
    const uint64_t cbCapacity = uint64_t(dwTarget) + OUTPUT_BUFFER_SLACK;
    OutputDescriptor desc{0, static_cast<DWORD>(cbCapacity > UINT32_MAX ? UINT32_MAX : cbCapacity), nullptr};
    desc.pBuffer = static_cast<BYTE*>(MemAlloc(desc.dwCapacity));
    if (!desc.pBuffer) {
        QLLOG(LOG_TRC, WSTR("++ not enough memory"));
        return FALSE;
    }
    QLLOG(LOG_TRC, WSTR("++ B. will be Rere comressed to: %d bytes"), dwTarget);
    const int rc = EncodeBitmap(pbmi, dwTarget, pComprCnf->dwJpeg2000Coder, &desc);
    if (rc != 0) {
        QLLOG(LOG_TRC, WSTR("Rere Error = %d"), rc);
        QLLOG(LOG_TRC, WSTR("Exeption cought"));
        MemFreeT(&desc.pBuffer);
        return FALSE;
    }

    // 15-17. Store the stream when it fits where the colour table and bits were.
    QLLOG(LOG_INF, WSTR("assumed space:%d, used space:%d, provides space:%d, diff:%d"), dwTarget, desc.dwUsed,
          desc.dwCapacity, static_cast<int>(dwTarget - desc.dwUsed));
    if (desc.dwUsed > cbWithColourTable) {
        QLLOG(LOG_INF, WSTR("picture cannot be saved, because picture is bigger than space %d to %d"), desc.dwUsed,
              cbWithColourTable);
        MemFreeT(&desc.pBuffer);
        return FALSE;
    }
    QLLOG(LOG_INF, WSTR("store picture ..."));
    std::memcpy(pbmi + BITMAPINFOHEADER_SIZE, desc.pBuffer, desc.dwUsed);
    *pcbStream = desc.dwUsed;
    if (pStatFile) fprintf(pStatFile, "IMGCMPR:      %10lu\n", static_cast<unsigned long>(cbWithColourTable - desc.dwUsed));
    MemFreeT(&desc.pBuffer);
    return TRUE;
}

BOOL CompressStretchDIBits(BYTE* pRecord, DWORD nSize, const ComprCnf* pComprCnf, FILE* pStatFile) {
    if (nSize < STRETCHDIBITS_FIXED_SIZE) return TRUE;
    StretchDIBitsRecord rec = LoadRecord<StretchDIBitsRecord>(pRecord);
    if (!StretchDIBitsFitsRecord(rec, nSize)) {
        QLLOG(LOG_ERR, WSTR("bitmap record of %lu bytes does not hold its bitmap: not compressed"), nSize);
        return TRUE;
    }
    BYTE* pbmi = pRecord + rec.offBmiSrc;
    BITMAPINFOHEADER bmih = LoadRecord<BITMAPINFOHEADER>(pbmi);
    if (bmih.biHeight < 0) {
        QLLOG(LOG_INF, WSTR("value(2) < 0 ---> return"));
        return TRUE;
    }

    // The row readers find the bits biSize bytes after the header and take
    // biSizeImage / biHeight bytes per row: both describe the record's own
    // BITMAPINFO and bits while Pack2000 runs.
    const DWORD biSizeSaved = bmih.biSize;
    const DWORD biSizeImageSaved = bmih.biSizeImage;
    bmih.biSize = rec.cbBmiSrc;
    bmih.biSizeImage = rec.cbBitsSrc;
    StoreRecord(pbmi, bmih);

    DWORD cbStream = 0;
    const BOOL fPacked = Pack2000(pbmi, pRecord + rec.offBitsSrc, pComprCnf, MIN_BUFFER_SIZE, &cbStream, pStatFile);
    if (fPacked) {
        rec.iType = EMR_COMPRESSEDDIBITS;
        rec.cbBitsSrc = cbStream;
        StoreRecord(pRecord, rec);
    }
    QLLOG(LOG_INF, WSTR("Pack2000 returns %d"), fPacked);
    bmih.biSize = biSizeSaved;
    bmih.biSizeImage = biSizeImageSaved;
    StoreRecord(pbmi, bmih);
    return TRUE;
}

// The JPEG 2000 codec on OpenJPEG: the options of one encode are collected,
// then the image is encoded tile by tile (opj_write_tile), each tile's rows
// pulled through the row reader, so memory stays bounded by one tile whatever
// the image size. The size budget is met by OpenJPEG's own rate allocation:
// one compression ratio per quality layer, derived from the target size.
// JP2_CODER_HT hands the same settings to the High-Throughput coder
// (Jp2HtCoder.cpp) instead.
#include "jpeg2000/Jp2Codec.h"
#include "jpeg2000/Jp2HtCoder.h"

#include <openjpeg.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <thread>

struct Jp2Codec {
    JP2_ALLOC_FN pfnAlloc = nullptr;
    void* pAllocContext = nullptr;
    JP2_FREE_FN pfnFree = nullptr;
    void* pFreeContext = nullptr;

    uint32_t dwWidth = 0;
    uint32_t dwHeight = 0;
    uint32_t dwBitsPerComponent = 8;
    int iStreamFormat = JP2_FORMAT_CODESTREAM;
    int iCoder = JP2_CODER_PART1;
    uint32_t dwLevels = 5;
    uint32_t dwLayers = 1;
    int iProgression = 0;
    int iWavelet = 0;
    uint64_t qwTargetSize = 0;
    uint32_t dwThreads = 0;
    uint32_t dwTileSize = JP2_DEFAULT_TILE_SIZE;

    JP2_ROW_READER_FN pfnRowReader = nullptr;
    void* pRowReaderContext = nullptr;
    JP2_OUTPUT_FN pfnOutput = nullptr;
    void* pOutputContext = nullptr;

    // Output stream state during an encode.
    uint64_t qwPosition = 0;
    int iCallbackError = 0;
};

namespace {

// Frees a block from the codec's allocator on every way out.
class CCodecBlock {
public:
    CCodecBlock(Jp2Codec* pCodec, size_t cb) : m_pCodec(pCodec), m_p(pCodec->pfnAlloc(cb, pCodec->pAllocContext)) {}
    ~CCodecBlock() {
        if (m_p) m_pCodec->pfnFree(m_p, m_pCodec->pFreeContext);
    }
    CCodecBlock(const CCodecBlock&) = delete;
    CCodecBlock& operator=(const CCodecBlock&) = delete;
    unsigned char* Get() const { return static_cast<unsigned char*>(m_p); }

private:
    Jp2Codec* m_pCodec;
    void* m_p;
};

// The OpenJPEG objects of one encode, released on every way out.
struct OpjEncodeObjects {
    opj_codec_t* pCodec = nullptr;
    opj_image_t* pImage = nullptr;
    opj_stream_t* pStream = nullptr;
    ~OpjEncodeObjects() {
        if (pStream) opj_stream_destroy(pStream);
        if (pCodec) opj_destroy_codec(pCodec);
        if (pImage) opj_image_destroy(pImage);
    }
};

void QuietMessage(const char*, void*) {}

OPJ_SIZE_T StreamWrite(void* pBuffer, OPJ_SIZE_T cb, void* pUser) {
    auto* pCodec = static_cast<Jp2Codec*>(pUser);
    if (pCodec->qwPosition + cb > UINT32_MAX) {
        pCodec->iCallbackError = JP2_ERR_ENCODE;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    const int rc = pCodec->pfnOutput(static_cast<const unsigned char*>(pBuffer), static_cast<uint32_t>(pCodec->qwPosition),
                                     static_cast<uint32_t>(cb), pCodec->pOutputContext);
    if (rc != 0) {
        pCodec->iCallbackError = rc;
        return static_cast<OPJ_SIZE_T>(-1);
    }
    pCodec->qwPosition += cb;
    return cb;
}

OPJ_OFF_T StreamSkip(OPJ_OFF_T cb, void* pUser) {
    auto* pCodec = static_cast<Jp2Codec*>(pUser);
    if (cb < 0 && uint64_t(-cb) > pCodec->qwPosition) return -1;
    pCodec->qwPosition += cb;
    return cb;
}

OPJ_BOOL StreamSeek(OPJ_OFF_T pos, void* pUser) {
    if (pos < 0) return OPJ_FALSE;
    static_cast<Jp2Codec*>(pUser)->qwPosition = static_cast<uint64_t>(pos);
    return OPJ_TRUE;
}

std::atomic<uint32_t> g_dwDefaultThreads{0};

int EncodeHt(const Jp2Codec& c) {
#ifndef QL_HAVE_OPENJPH
    (void)c;
    return JP2_ERR_OPTION;
#else
    const Jp2HtSettings s{c.pfnAlloc,     c.pAllocContext, c.pfnFree,      c.pFreeContext,     c.dwWidth,
                          c.dwHeight,     c.dwLevels,      c.iProgression, c.qwTargetSize,     c.pfnRowReader,
                          c.pRowReaderContext, c.pfnOutput, c.pOutputContext};
    return Jp2HtEncode(s);
#endif
}

uint32_t WorkerThreads(uint32_t dwRequested) {
    if (dwRequested) return dwRequested;
    if (const uint32_t n = g_dwDefaultThreads.load()) return n;
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

}  // namespace

uint32_t Jp2FitLevels(uint32_t dwLevels, uint32_t w, uint32_t h) {
    const uint32_t dwMin = std::min(w, h);
    uint32_t n = dwLevels;
    while (n > 0 && (uint64_t(1) << n) > dwMin) --n;
    return n;
}

int Jp2Create(JP2_HANDLE* phCodec, JP2_ALLOC_FN pfnAlloc, void* pAllocContext, JP2_FREE_FN pfnFree,
              void* pFreeContext, int cComponents) {
    if (!phCodec) return JP2_ERR_ARGUMENT;
    *phCodec = nullptr;
    if (!pfnAlloc || !pfnFree) return JP2_ERR_ARGUMENT;
    if (cComponents != JP2_COMPONENTS_RGB) return JP2_ERR_OPTION;
    void* p = pfnAlloc(sizeof(Jp2Codec), pAllocContext);
    if (!p) return JP2_ERR_MEMORY;
    auto* pCodec = new (p) Jp2Codec;
    pCodec->pfnAlloc = pfnAlloc;
    pCodec->pAllocContext = pAllocContext;
    pCodec->pfnFree = pfnFree;
    pCodec->pFreeContext = pFreeContext;
    *phCodec = pCodec;
    return 0;
}

int Jp2SetOption(JP2_HANDLE hCodec, int id, int comp, int tile, intptr_t value) {
    if (!hCodec || comp != -1 || tile != -1) return JP2_ERR_ARGUMENT;
    Jp2Codec& c = *hCodec;
    const auto inRange = [value](intptr_t lo, intptr_t hi) { return value >= lo && value <= hi; };
    switch (id) {
    case JP2_OPT_WIDTH:
    case JP2_OPT_HEIGHT:
        if (!inRange(1, INT32_MAX)) return JP2_ERR_OPTION;
        (id == JP2_OPT_WIDTH ? c.dwWidth : c.dwHeight) = static_cast<uint32_t>(value);
        return 0;
    case JP2_OPT_BITS_PER_COMPONENT:
        if (value != 8) return JP2_ERR_OPTION;
        return 0;
    case JP2_OPT_STREAM_FORMAT:
        if (value != JP2_FORMAT_CODESTREAM) return JP2_ERR_OPTION;
        c.iStreamFormat = static_cast<int>(value);
        return 0;
    case JP2_OPT_CODER:
        if (value != JP2_CODER_PART1 && !(value == JP2_CODER_HT && JP2_HT_CODER_AVAILABLE)) return JP2_ERR_OPTION;
        c.iCoder = static_cast<int>(value);
        return 0;
    case JP2_OPT_LEVELS:
        if (!inRange(0, 10)) return JP2_ERR_OPTION;
        c.dwLevels = static_cast<uint32_t>(value);
        return 0;
    case JP2_OPT_LAYERS:
        if (!inRange(1, 10)) return JP2_ERR_OPTION;
        c.dwLayers = static_cast<uint32_t>(value);
        return 0;
    case JP2_OPT_PROGRESSION:
        if (!inRange(OPJ_LRCP, OPJ_CPRL)) return JP2_ERR_OPTION;
        c.iProgression = static_cast<int>(value);
        return 0;
    case JP2_OPT_WAVELET:
        if (!inRange(0, 1)) return JP2_ERR_OPTION;
        c.iWavelet = static_cast<int>(value);
        return 0;
    case JP2_OPT_TARGET_SIZE:
        if (value < 0) return JP2_ERR_OPTION;
        c.qwTargetSize = static_cast<uint64_t>(value);
        return 0;
    case JP2_OPT_THREADS:
        if (!inRange(0, 256)) return JP2_ERR_OPTION;
        c.dwThreads = static_cast<uint32_t>(value);
        return 0;
    case JP2_OPT_TILE_SIZE:
        if (!inRange(64, 16384)) return JP2_ERR_OPTION;
        c.dwTileSize = static_cast<uint32_t>(value);
        return 0;
    case JP2_OPT_ROW_READER:
        c.pfnRowReader = reinterpret_cast<JP2_ROW_READER_FN>(value);
        return 0;
    case JP2_OPT_ROW_READER_CONTEXT:
        c.pRowReaderContext = reinterpret_cast<void*>(value);
        return 0;
    case JP2_OPT_OUTPUT:
        c.pfnOutput = reinterpret_cast<JP2_OUTPUT_FN>(value);
        return 0;
    case JP2_OPT_OUTPUT_CONTEXT:
        c.pOutputContext = reinterpret_cast<void*>(value);
        return 0;
    default:
        return JP2_ERR_OPTION;
    }
}

int Jp2Encode(JP2_HANDLE hCodec) {
    if (!hCodec) return JP2_ERR_ARGUMENT;
    Jp2Codec& c = *hCodec;
    if (!c.dwWidth || !c.dwHeight || !c.pfnRowReader || !c.pfnOutput) return JP2_ERR_NOT_READY;
    if (c.iCoder == JP2_CODER_HT) return EncodeHt(c);

    const uint32_t dwTileW = std::min(c.dwTileSize, c.dwWidth);
    const uint32_t dwTileH = std::min(c.dwTileSize, c.dwHeight);
    const uint32_t cTilesX = (c.dwWidth + dwTileW - 1) / dwTileW;
    const uint32_t cTilesY = (c.dwHeight + dwTileH - 1) / dwTileH;

    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = static_cast<int>(c.dwLayers);
    // The last layer reaches the target; each layer before it halves the
    // rate of the one after.
    const double dRawBytes = double(c.dwWidth) * c.dwHeight * JP2_COMPONENTS_RGB;
    // OpenJPEG's allocation lands a few bytes above its budget per tile
    // (marker rounding, the end marker): aim that much lower.
    const uint64_t qwMargin = 32 + 8 * uint64_t(cTilesX) * cTilesY;
    const uint64_t qwBudget = c.qwTargetSize > 2 * qwMargin ? c.qwTargetSize - qwMargin : c.qwTargetSize / 2;
    const double dRatio = c.qwTargetSize ? dRawBytes / double(std::max<uint64_t>(qwBudget, 1)) : 0.0;
    for (uint32_t i = 0; i < c.dwLayers; ++i) {
        const double d = dRatio * double(uint64_t(1) << (c.dwLayers - 1 - i));
        params.tcp_rates[i] = dRatio > 1.0 ? static_cast<float>(d) : 0.0f;
    }
    params.cp_disto_alloc = 1;
    params.numresolution = static_cast<int>(Jp2FitLevels(c.dwLevels, dwTileW, dwTileH)) + 1;
    params.irreversible = c.iWavelet == 0 ? 1 : 0;
    params.prog_order = static_cast<OPJ_PROG_ORDER>(c.iProgression);
    params.tcp_mct = 1;
    params.tile_size_on = OPJ_TRUE;
    params.cp_tx0 = 0;
    params.cp_ty0 = 0;
    params.cp_tdx = static_cast<int>(dwTileW);
    params.cp_tdy = static_cast<int>(dwTileH);

    opj_image_cmptparm_t acmpt[JP2_COMPONENTS_RGB];
    std::memset(acmpt, 0, sizeof(acmpt));
    for (auto& cmpt : acmpt) {
        cmpt.dx = cmpt.dy = 1;
        cmpt.w = c.dwWidth;
        cmpt.h = c.dwHeight;
        cmpt.prec = 8;
        cmpt.sgnd = 0;
    }

    OpjEncodeObjects opj;
    opj.pImage = opj_image_tile_create(JP2_COMPONENTS_RGB, acmpt, OPJ_CLRSPC_SRGB);
    if (!opj.pImage) return JP2_ERR_MEMORY;
    opj.pImage->x0 = 0;
    opj.pImage->y0 = 0;
    opj.pImage->x1 = c.dwWidth;
    opj.pImage->y1 = c.dwHeight;

    opj.pCodec = opj_create_compress(OPJ_CODEC_J2K);
    if (!opj.pCodec) return JP2_ERR_MEMORY;
    opj_set_error_handler(opj.pCodec, QuietMessage, nullptr);
    opj_set_warning_handler(opj.pCodec, QuietMessage, nullptr);
    opj_set_info_handler(opj.pCodec, QuietMessage, nullptr);
    if (!opj_setup_encoder(opj.pCodec, &params, opj.pImage)) return JP2_ERR_ENCODE;
    if (opj_has_thread_support()) opj_codec_set_threads(opj.pCodec, static_cast<int>(WorkerThreads(c.dwThreads)));

    opj.pStream = opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE);
    if (!opj.pStream) return JP2_ERR_MEMORY;
    opj_stream_set_user_data(opj.pStream, &c, nullptr);
    opj_stream_set_write_function(opj.pStream, StreamWrite);
    opj_stream_set_skip_function(opj.pStream, StreamSkip);
    opj_stream_set_seek_function(opj.pStream, StreamSeek);
    c.qwPosition = 0;
    c.iCallbackError = 0;

    const auto failure = [&c] { return c.iCallbackError ? c.iCallbackError : JP2_ERR_ENCODE; };
    if (!opj_start_compress(opj.pCodec, opj.pImage, opj.pStream)) return failure();

    // One tile of planar samples: all of red, then green, then blue.
    const size_t cbTileMax = size_t(dwTileW) * dwTileH * JP2_COMPONENTS_RGB;
    CCodecBlock tileBuffer(&c, cbTileMax);
    if (!tileBuffer.Get()) return JP2_ERR_MEMORY;

    for (uint32_t ty = 0; ty < cTilesY; ++ty) {
        const uint32_t y0 = ty * dwTileH;
        const uint32_t th = std::min(dwTileH, c.dwHeight - y0);
        for (uint32_t tx = 0; tx < cTilesX; ++tx) {
            const uint32_t x0 = tx * dwTileW;
            const uint32_t tw = std::min(dwTileW, c.dwWidth - x0);
            const size_t cbPlane = size_t(tw) * th;
            unsigned char* pTile = tileBuffer.Get();
            for (uint32_t r = 0; r < th; ++r) {
                for (int comp = 0; comp < JP2_COMPONENTS_RGB; ++comp) {
                    const int rc = c.pfnRowReader(pTile + comp * cbPlane + size_t(r) * tw, comp, y0 + r, x0, tw,
                                                  c.pRowReaderContext);
                    if (rc != 0) return rc;
                }
            }
            if (!opj_write_tile(opj.pCodec, ty * cTilesX + tx, pTile, static_cast<OPJ_UINT32>(cbPlane * JP2_COMPONENTS_RGB),
                                opj.pStream)) {
                return failure();
            }
        }
    }
    if (!opj_end_compress(opj.pCodec, opj.pStream)) return failure();
    return c.iCallbackError;
}

void Jp2SetDefaultThreads(uint32_t dwThreads) {
    g_dwDefaultThreads = dwThreads;
}

int Jp2Destroy(JP2_HANDLE hCodec) {
    if (!hCodec) return JP2_ERR_ARGUMENT;
    JP2_FREE_FN pfnFree = hCodec->pfnFree;
    void* pFreeContext = hCodec->pFreeContext;
    hCodec->~Jp2Codec();
    pfnFree(hCodec, pFreeContext);
    return 0;
}

// The JPEG 2000 codec behind the bitmap compression step: one RGB image at a
// time, pulled row by row through a row reader and handed out as a raw
// JPEG 2000 code stream through an output callback, at a requested size.
//
// Every call returns an int, 0 for success; any other value is an error: one
// of the JP2_ERR_* codes below, or the non-zero value a callback returned.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct Jp2Codec* JP2_HANDLE;

// Memory for the codec's own state and row buffers.
typedef void* (*JP2_ALLOC_FN)(size_t cb, void* pContext);
typedef void (*JP2_FREE_FN)(void* p, void* pContext);
// Receives cbData encoded bytes that belong at byte dwOffset of the stream.
typedef int (*JP2_OUTPUT_FN)(const unsigned char* pData, uint32_t dwOffset, uint32_t cbData, void* pContext);
// Writes count samples of component comp (0 red, 1 green, 2 blue) of image
// row y (counted from the top) from column x on, one byte each, to pDest.
typedef int (*JP2_ROW_READER_FN)(unsigned char* pDest, int comp, uint32_t y, uint32_t x, uint32_t count,
                                 void* pContext);

// Option ids of Jp2SetOption; the value is an integer or a pointer as said.
enum Jp2Option : int {
    JP2_OPT_WIDTH = 1,             // image width in pixels
    JP2_OPT_HEIGHT = 2,            // image height in pixels
    JP2_OPT_BITS_PER_COMPONENT = 4,// 8 (the only precision the row reader delivers)
    JP2_OPT_ROW_READER = 40,       // JP2_ROW_READER_FN
    JP2_OPT_ROW_READER_CONTEXT = 41,
    JP2_OPT_OUTPUT = 42,           // JP2_OUTPUT_FN
    JP2_OPT_OUTPUT_CONTEXT = 43,
    JP2_OPT_PROGRESSION = 61,      // 0 LRCP, 1 RLCP, 2 RPCL, 3 PCRL, 4 CPRL
    JP2_OPT_LAYERS = 62,           // quality layers, 1 to 10
    JP2_OPT_TARGET_SIZE = 63,      // byte budget of the whole stream; 0 = lossless
    JP2_OPT_WAVELET = 71,          // 0 irreversible 9/7 (lossy), 1 reversible 5/3
    JP2_OPT_LEVELS = 72,           // wavelet decomposition levels, 0 to 10
    JP2_OPT_STREAM_FORMAT = 20,    // JP2_FORMAT_CODESTREAM
    JP2_OPT_CODER = 21,            // JP2_CODER_PART1 (default) or JP2_CODER_HT
    JP2_OPT_THREADS = 90,          // worker threads of one encode; 0 = one per core
    JP2_OPT_TILE_SIZE = 91,        // tile edge in pixels (default JP2_DEFAULT_TILE_SIZE)
};

// Stream format: a raw JPEG 2000 code stream (SOC ... EOC), no file wrapper.
constexpr int JP2_FORMAT_CODESTREAM = 20;
// Block coders of JP2_OPT_CODER. JP2_CODER_PART1: the block coder every
// JPEG 2000 decoder reads; the target size is met by rate allocation.
// JP2_CODER_HT: the High-Throughput block coder (a code stream with the CAP
// marker), many times faster; it has no rate allocation, so the size is
// reached by choosing the quantisation step (see Jp2HtCoder.cpp), and it
// codes one quality layer in the progression asked for. A build without
// the HT coder (JP2_HT_CODER_AVAILABLE false) refuses JP2_CODER_HT with
// JP2_ERR_OPTION.
constexpr int JP2_CODER_PART1 = 0;
constexpr int JP2_CODER_HT = 1;
#ifdef QL_HAVE_OPENJPH
constexpr bool JP2_HT_CODER_AVAILABLE = true;
#else
constexpr bool JP2_HT_CODER_AVAILABLE = false;
#endif
// Components the codec is created for: red, green, blue.
constexpr int JP2_COMPONENTS_RGB = 3;
// Square tiles of this edge bound the memory of one encode.
constexpr uint32_t JP2_DEFAULT_TILE_SIZE = 1024;

constexpr int JP2_ERR_ARGUMENT = -1;      // null handle or pointer, bad selector
constexpr int JP2_ERR_OPTION = -2;        // unknown option id or value out of range
constexpr int JP2_ERR_MEMORY = -4;        // an allocation failed
constexpr int JP2_ERR_ENCODE = -5;        // the encoder refused the image or failed
constexpr int JP2_ERR_NOT_READY = -6;     // size, reader or output missing at encode time
constexpr int JP2_ERR_BUDGET = -7;        // HT coder: the stream stays above target + JP2_HT_SIZE_SLACK

// Bytes the HT coder's stream may exceed the target by after its one
// correction (the output buffer of the compression step has this room).
constexpr uint32_t JP2_HT_SIZE_SLACK = 65535;

// cComponents must be JP2_COMPONENTS_RGB. pfnAlloc/pfnFree are required.
int Jp2Create(JP2_HANDLE* phCodec, JP2_ALLOC_FN pfnAlloc, void* pAllocContext, JP2_FREE_FN pfnFree,
              void* pFreeContext, int cComponents);
// comp and tile select what the option applies to; only -1, -1 (all
// components, all tiles) is supported.
int Jp2SetOption(JP2_HANDLE hCodec, int id, int comp, int tile, intptr_t value);
int Jp2Encode(JP2_HANDLE hCodec);
int Jp2Destroy(JP2_HANDLE hCodec);

// Worker threads of an encode whose JP2_OPT_THREADS is 0: one per core
// unless set here (0 restores that); for benchmarks.
void Jp2SetDefaultThreads(uint32_t dwThreads);

// The High-Throughput coder behind Jp2Encode (JP2_CODER_HT): the settings
// of one encode as Jp2SetOption collected them.
#pragma once

#include "jpeg2000/Jp2Codec.h"

struct Jp2HtSettings {
    JP2_ALLOC_FN pfnAlloc;
    void* pAllocContext;
    JP2_FREE_FN pfnFree;
    void* pFreeContext;
    uint32_t dwWidth, dwHeight;
    uint32_t dwLevels;     // as asked for; fitted to each encoded image
    int iProgression;      // 0 LRCP ... 4 CPRL
    uint64_t qwTargetSize; // 0: reversible (lossless) coding
    JP2_ROW_READER_FN pfnRowReader;
    void* pRowReaderContext;
    JP2_OUTPUT_FN pfnOutput;
    void* pOutputContext;
};

// Encodes the image and hands the whole stream to the output callback in one
// call; 0 or an error as Jp2Encode returns it. No exception leaves it.
int Jp2HtEncode(const Jp2HtSettings& s);

// Decomposition levels the coders use for an image of w x h pixels: the
// smallest resolution must keep at least one pixel.
uint32_t Jp2FitLevels(uint32_t dwLevels, uint32_t w, uint32_t h);

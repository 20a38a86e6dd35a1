// The watermark. Reading the configured file and sending its page is not
// built yet: no watermark is ever configured, so the job's output carries
// none.
#define QL_MODULE WSTR("Winprint")
#include "gateway/Watermark.h"

#include "diag/DbgLog.h"

HANDLE OpenWatermarkSource(LPDWORD pdwOffset, LPDWORD pdwEnd) {
    if (pdwOffset) *pdwOffset = WATERMARK_NO_PAGE;
    if (pdwEnd) *pdwEnd = WATERMARK_NO_PAGE;
    return nullptr;
}

BOOL WriteWatermarkBlock(PPRINTPROCESSORDATA pData, HANDLE hFile, DWORD dwOffset, DWORD dwEnd) {
    (void)pData;
    (void)dwOffset;
    (void)dwEnd;
    if (hFile && hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
    return TRUE;
}

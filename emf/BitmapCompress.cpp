// The compression step answers "not compressed" until the JPEG 2000 codec is
// in: records leave it unchanged, so the walker sends their bits as they are.
#define QL_MODULE WSTR("BitmapCompress")
#include "emf/BitmapCompress.h"

BOOL CompressStretchDIBits(BYTE* pRecord, DWORD nSize, const ComprCnf* pComprCnf, FILE* pStatFile) {
    (void)pRecord;
    (void)nSize;
    (void)pComprCnf;
    (void)pStatFile;
    return TRUE;
}

#define QL_MODULE WSTR("Addfonts")
#include "printproc/FontList.h"

#include "printproc/Util.h"

void FreeFontList(FONTENTRY** ppList) {
    if (!ppList) return;
    FONTENTRY* pNode = *ppList;
    while (pNode) {
        FONTENTRY* pNext = pNode->pNext;
        if (pNode->pszKey) MemFreeT(&pNode->pszKey);
        MemFreeT(&pNode);
        pNode = pNext;
    }
    *ppList = nullptr;
}

DWORD AdjustSpoolOffset(const FONTENTRY* pList, DWORD dwRecordPos, DWORD dwOffset) {
    // Fonts handled at the target's own position were written in front of the
    // target and do not lengthen the distance. Unsigned 32-bit arithmetic, as
    // the spool format's offsets are.
    const DWORD dwTarget = dwRecordPos - dwOffset;
    DWORD dwAdjusted = dwOffset;
    for (const FONTENTRY* pNode = pList; pNode; pNode = pNode->pNext) {
        if (pNode->dwPos > dwTarget) dwAdjusted += pNode->cbLen;
    }
    return dwAdjusted;
}

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

// The job's font list: every font a gateway job met, with the input position
// at which it was handled and the bytes it added to the output.
#pragma once
#include "palwin.h"

struct FONTENTRY {
    FONTENTRY* pNext;
    LPWSTR pszKey;      // font key (face name and style), owned
    BYTE abMD5[16];     // digest of the font data, zeros when not known
    DWORD dwPos;        // input position of the record that brought the font
    DWORD cbLen;        // bytes the embedded font added to the output
};

// Frees every node and its key and sets the list head to null.
void FreeFontList(FONTENTRY** ppList);

// The backward offset of an extension spool record (recordPos: input position
// of its header; offset: distance back to the record it refers to) corrected
// for the font bytes inserted into the output after the target record.
DWORD AdjustSpoolOffset(const FONTENTRY* pList, DWORD dwRecordPos, DWORD dwOffset);

// Font embedding: the walker hands every EMR_EXTCREATEFONTINDIRECTW record of
// a gateway page to AddFonts, which may write the font to the job output in
// front of the page (advancing qwOutputPos).
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// The job's font state: its font list and inclusion patterns live in the job
// record, so the context is the record's font list head.
using FONTCONTEXT = FONTENTRY**;

// Handles one font-creation record of nSize bytes.
void AddFonts(FONTCONTEXT pFontContext, const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData);

// Test hook: when set, AddFonts calls it for every record instead of the
// embedding (tests insert font bytes mid-page with it). Null restores the
// embedding.
using AddFontsHook = void (*)(const BYTE* pRecord, DWORD nSize, PPRINTPROCESSORDATA pData);
void SetAddFontsHookForTest(AddFontsHook pfnHook);

// The image cache of a document: a bitmap record identical to one already
// sent is replaced by a reference to it (EMR_CACHEDDIBITS).
#pragma once
#include "palwin.h"
#include "emf/EmfPage.h"

#include <cstdint>

// Looks the EMR_STRETCHDIBITS record (nSize bytes at pRecord, stream position
// qwRecordPos) up in the job's image cache. On a hit the record is rewritten
// as a reference to the first occurrence and TRUE is returned; on a miss it is
// entered with the current dwImageCount and left unchanged. The caller has
// checked that the record's bitmap lies inside it and that there is room for
// the distance field. May throw CHResultError when hashing fails.
BOOL LookupBitmapCache(EMFPAGESTATE& page, BYTE* pRecord, DWORD nSize, uint64_t qwRecordPos);

// Moves the entries entered at or after qwFrom by qwDelta bytes (the page
// they belong to was moved by font data written in front of it).
void MoveBitmapCacheEntries(PPRINTPROCESSORDATA pData, uint64_t qwFrom, uint64_t qwDelta);

// Forgets the entries entered at or after qwFrom (a page that was not sent).
void DropBitmapCacheEntries(PPRINTPROCESSORDATA pData, uint64_t qwFrom);

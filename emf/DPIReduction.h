// Resolution reduction of bitmap records: resamples an EMR_STRETCHDIBITS
// record's pixels down to the printer's resolution for the page area they
// cover, in place.
#pragma once
#include "palwin.h"

#include <cstdio>

// 1 when the record (nSize bytes, held whole) should be reduced; *pTarget then
// holds {0, 0, target width, target height}. pEnhMetaHeader is the page's
// EMR_HEADER (cbEnhMetaHeader bytes; null when there is none), lpDevmode the
// job's device mode (public part only).
BOOL NeedsDPIReduction(const BYTE* pRecord, DWORD nSize, const BYTE* pEnhMetaHeader, DWORD cbEnhMetaHeader,
                       const DEVMODEW* lpDevmode, DWORD dwDPIReductionMin, RECT* pTarget);

// Resamples the record to the target size. On success the record describes
// the smaller bitmap and cbBitsSrc holds the new bits size; on any failure the
// record is left as it was, apart from a completed biClrUsed.
void ReduceBitmapDPI(BYTE* pRecord, DWORD nSize, const RECT* pTarget, FILE* pStatFile);

// The state the EMF walker keeps for the one page it is transforming: where
// the page starts in the logical output, the ranges its bitmap steps released
// (as page holes, in framed output) and the distance fields of cached
// references that point into earlier pages.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

#include <cstdint>
#include <vector>

// Bytes of the spool record header written in front of every page.
constexpr DWORD PAGE_RECORD_HEADER_SIZE = 8;

struct PageHole {
    uint64_t qwPosition;  // logical output position of the first released byte
    DWORD cbLength;
    uint64_t qwRecordPos;  // the record that released it (one entry per record)
};

struct EMFPAGESTATE {
    PPRINTPROCESSORDATA pData = nullptr;
    uint64_t qwPageBase = 0;   // qwOutputPos when the page began
    BOOL fFraming = FALSE;
    // Released ranges in record order, at most one per record.
    std::vector<PageHole> holes;
    // Page-data offsets of the 8-byte distance fields whose target lies in an
    // earlier page; the end-of-page fix-up corrects them when the page moved.
    std::vector<DWORD> backRefs;

    // Logical output position of the page-data byte at dwOffset.
    uint64_t StreamPos(uint64_t qwOffset) const { return qwPageBase + PAGE_RECORD_HEADER_SIZE + qwOffset; }

    // Releases record bytes [dwFrom, dwTo) of the record at qwRecordPos:
    // zeroes them, or in framed output makes them the record's page hole
    // (replacing a hole an earlier step of the same record listed).
    void Release(BYTE* pRecord, uint64_t qwRecordPos, DWORD dwFrom, DWORD dwTo);
};

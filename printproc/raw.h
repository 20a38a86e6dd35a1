// Raw job printing and the job reader every printing path uses.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

#include <cstdio>

// Bytes the raw path moves per read and write.
constexpr DWORD RAW_BLOCK_SIZE = 4096;

// Reads cbBuf bytes of the job behind hReader, through the "%%EMZ" decoder
// when the job is compressed. Pieces go into pBuf (or, with no buffer, through
// an internal block), and are also written with the job writer in dwMode when
// hDstPrinter is given, and appended to pFile when it is given. Waits while
// the job is paused. TRUE when the full count was read; FALSE when the data
// ended, a read failed or the job was cancelled. *pcbRead (optional) receives
// the bytes read either way; every byte read is added to dwInputPos.
BOOL ReadJobData(HANDLE hReader, HANDLE hDstPrinter, LPVOID pBuf, DWORD cbBuf, PPRINTPROCESSORDATA pData,
                 FILE* pFile, LPDWORD pcbRead, DWORD dwMode);

// Decides whether a "RAW [FF appended]" or "RAW [FF auto]" job needs a form
// feed at its end. It follows the printer escape sequences so that bytes
// inside them (counts, parameters, binary data) are not taken for text.
class CFormFeedScanner {
public:
    // Scan states.
    enum : DWORD {
        STATE_TEXT = 0,        // normal text
        STATE_ESCAPE = 1,      // after ESC, matching the escape table
        STATE_SKIP_COUNT = 2,  // skipping a byte count
        STATE_SKIP_TO = 3,     // skipping up to a terminator byte
        STATE_COUNT_LOW = 4,   // reading a 16-bit count's low byte
        STATE_COUNT_HIGH = 5,  // reading its high byte
    };
    // What the scan saw last.
    enum : DWORD {
        EVENT_PRINTABLE = 0,   // a byte of 0x20 or above
        EVENT_FORM_FEED = 1,   // 0x0C
        EVENT_ESC_O = 2,       // ESC "o"
        EVENT_ESC_E = 3,       // ESC "E"
    };

    explicit CFormFeedScanner(DWORD dwJobType = JOBTYPE_RAW_FF_APPENDED);
    virtual ~CFormFeedScanner() = default;

    void Reset(DWORD dwJobType);
    void Feed(BYTE b);
    void Feed(const BYTE* pData, DWORD cbData);
    // TRUE when the data seen so far must be followed by a form feed.
    BOOL NeedsFormFeed() const;

    DWORD State() const { return m_dwState; }
    DWORD LastEvent() const { return m_dwLastEvent; }

private:
    void FeedEscape(BYTE b);

    DWORD m_dwState = STATE_TEXT;
    DWORD m_dwEntry = 0;      // first table entry still matching
    DWORD m_dwEntryEnd = 0;   // one past the last entry still matching
    DWORD m_dwMatched = 0;    // characters matched after ESC
    DWORD m_dwCount = 0;      // bytes left to skip
    BYTE m_bTerminator = 0;   // byte that ends STATE_SKIP_TO
    DWORD m_dwLastEvent = EVENT_PRINTABLE;
    DWORD m_dwJobType;
};

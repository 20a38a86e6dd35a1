// Text job printing: the line reader that cuts 8-bit text into printable
// lines, shared by PrintTextJob and its tests.
#pragma once
#include "palwin.h"

// Line reader flags, kept across calls.
constexpr DWORD TEXT_LAST_WAS_CR = 0x1;    // the last line ended with a carriage return
constexpr DWORD TEXT_TAB_CONTINUES = 0x2;  // a tab is continued on the next line

// Fills pLine (capacity cchLine characters) from pInput..pEnd with the next
// line: tabs expanded to dwTabSize columns, CR, LF, CR LF and form feed ending
// a line, a line that would pass cchLine characters wrapped. *pcchLine is the
// line length so far, *pdwTabPhase the tab phase (and the spaces a cut tab
// still owes), *pdwFlags the flags above; *pfFormFeed is set when the line
// ended with a form feed. Returns where the next line starts, or null when
// the input is used up before the line ended (the partial line stays in
// pLine and continues with the next input block). The caller sets
// *pcchLine to 0 after it has handled a returned line.
LPBYTE ReadTextLine(LPBYTE pInput, LPBYTE pEnd, LPBYTE pLine, DWORD cchLine, DWORD dwTabSize, LPDWORD pcchLine,
                    LPDWORD pdwTabPhase, LPDWORD pdwFlags, LPBOOL pfFormFeed);

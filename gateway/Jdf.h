// JDF attachment of "QL PDF Bridge" jobs: the job ticket that the receiver
// needs to produce the PDF travels in a block of its own, after the device
// mode block and before the output framing starts.
//
// The ticket is a file in the spool directory named in the global
// configuration file (registry value "GlobalConfigFile", INI section "print",
// key "spooldir"); its name is the part of the document name after the last
// "_ql" up to the next ".", plus ".tmp". The file is consumed: deleted after
// every attempt that got as far as its name.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

#include <cstdint>
#include <vector>

constexpr BYTE JDF_BLOCK_TAG = 0x03;
// Ticket files are read and sent in pieces of this many bytes.
constexpr DWORD JDF_PIECE = 2048;
// Characters of the ticket path, terminator included.
constexpr size_t JDF_PATH_CCH = 260;

enum class JdfTicketName {
    Ok,         // szPath holds the ticket's path
    NoMarker,   // the document name has no "_ql"
    Refused,    // the name would leave the spool directory or name a device
    TooLong,    // the path would not fit in JDF_PATH_CCH characters
};

// The ticket name rule. The document name comes from the job's user, so the
// text after "_ql" must be a plain file name: no path separators, drive or
// stream colons, wildcards, control characters or device names (it can hold
// no "." by construction). szPath is empty unless the result is Ok.
JdfTicketName BuildJdfTicketPath(LPCWSTR pszSpoolDir, LPCWSTR pszDocumentName, WCHAR (&szPath)[JDF_PATH_CCH]);

// The JDF block header for a ticket of cbTicket bytes: 0x03, u32 cbTicket + 5.
std::vector<BYTE> JdfBlockHeader(DWORD cbTicket);

// Writes the job's JDF block (unframed, writer mode 0) when a ticket for the
// document is found, and deletes the ticket. Nothing to attach is not an
// error: TRUE; FALSE only when a write failed.
BOOL AttachJdf(PPRINTPROCESSORDATA pData);

// JDF attachment of "QL PDF Bridge" jobs: the job ticket that the receiver
// needs to produce the PDF travels in a block of its own, after the device
// mode block and before the output framing starts.
#pragma once
#include "palwin.h"
#include "printproc/PrintProcessorData.h"

// Writes the job's JDF block (unframed, writer mode 0) when a ticket for the
// document is found. Nothing to attach is not an error: TRUE.
BOOL AttachJdf(PPRINTPROCESSORDATA pData);

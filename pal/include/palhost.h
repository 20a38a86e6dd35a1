// Control surface of the platform layer for the spooler host and the tests
// (Linux only; product code never includes this header). It builds the
// simulated machine — drive root, registry, module and output directories —
// submits jobs to the simulated spooler, reads back what ports and channels
// received, injects faults and lists open handles.
//
// One header per area: palhost/machine.h, spooler.h, faults.h, channels.h,
// identity.h.
#pragma once
#include "palhost/machine.h"
#include "palhost/spooler.h"
#include "palhost/faults.h"
#include "palhost/channels.h"
#include "palhost/identity.h"

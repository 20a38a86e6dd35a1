// The machine's Application event log as the host shows it: one event per
// line in job reports and `qlspool events`, or a JSON array.
#pragma once
#include "palhost.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qlhost {

extern const char kEventsHelp[];

// "#3 2026-12-06 11:58:12Z error, source "Quillon", id 1, category 0: <text>"
// (insertion strings joined by " | ", the message file is not expanded).
std::string FormatEvent(const pal::host::EventRecord& e);
// Every event whose number is above `since`, as lines or as a JSON array.
std::string FormatEventLog(const std::vector<pal::host::EventRecord>& events, uint64_t since, bool json);

} // namespace qlhost

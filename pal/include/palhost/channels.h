// What the machine's channels received, for the host and the tests: debugger
// output, message boxes and the Application event log.
#pragma once
#include "palwin.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pal::host {

// ---- channels -------------------------------------------------------------------------
// Lines passed to OutputDebugStringW, in order. Take* empties the channel.
std::vector<std::u16string> TakeDebugOutput();
// Called for every debugger line as it arrives (the host echoes them).
void SetDebugOutputSink(std::function<void(const std::u16string&)> sink);
struct MessageBoxRecord {
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
};
std::vector<MessageBoxRecord> TakeMessageBoxes();

// ---- event log ---------------------------------------------------------------------------
// One event of the machine's Application log (ReportEventW), which lives in
// a file under the drive root and so outlasts the process.
struct EventRecord {
    uint64_t number = 0;        // record number, from 1 upwards
    int64_t timeUtc = 0;        // seconds since 1970-01-01 UTC
    std::u16string source;
    WORD type = 0;              // EVENTLOG_*_TYPE
    WORD category = 0;
    DWORD eventId = 0;
    std::u16string user;        // SID string of the event's user SID, or empty
    std::u16string computer;
    std::vector<std::u16string> strings;  // insertion strings
    std::vector<uint8_t> data;            // raw data
};
// Host path of the log file.
std::string EventLogPath();
// Every event in the log, oldest first (empty when there is no log yet).
std::vector<EventRecord> ReadEventLog();
// Number of the newest event, 0 when there is none.
uint64_t LastEventNumber();

} // namespace pal::host

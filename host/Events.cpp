#include "host/Events.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace qlhost {

const char kEventsHelp[] =
    "Usage: qlspool events [--json] [--since N] [MACHINE OPTIONS]\n"
    "\n"
    "Lists the Application event log of the machine (the drive root's\n"
    "Windows\\System32\\winevt\\Logs\\Application.log, which keeps every event\n"
    "across runs): record number, time (UTC), type, source, event id, category,\n"
    "user and the insertion strings. The print processor reports its failures\n"
    "as error events of source \"Quillon\", id 1, whose one insertion string is\n"
    "the text.\n"
    "\n"
    "Options:\n"
    "  --json               one JSON array of event objects\n"
    "  --since N            only events whose record number is above N\n";

namespace {

const char* TypeName(WORD type) {
    switch (type) {
    case EVENTLOG_SUCCESS: return "success";
    case EVENTLOG_ERROR_TYPE: return "error";
    case EVENTLOG_WARNING_TYPE: return "warning";
    case EVENTLOG_INFORMATION_TYPE: return "information";
    case EVENTLOG_AUDIT_SUCCESS: return "audit success";
    case EVENTLOG_AUDIT_FAILURE: return "audit failure";
    default: return "?";
    }
}

std::string TimeText(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    char buf[32] = "?";
    if (gmtime_r(&tt, &tmv)) std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%SZ", &tmv);
    return buf;
}

std::string JsonString(const std::u16string& s) {
    std::string out = "\"";
    for (unsigned char c : pal::host::ToUtf8(s)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

} // namespace

std::string FormatEvent(const pal::host::EventRecord& e) {
    std::string s = "#" + std::to_string(e.number) + " " + TimeText(e.timeUtc) + " " + TypeName(e.type) +
                    ", source \"" + pal::host::ToUtf8(e.source) + "\", id " + std::to_string(e.eventId) +
                    ", category " + std::to_string(e.category);
    if (!e.user.empty()) s += ", user " + pal::host::ToUtf8(e.user);
    if (!e.data.empty()) s += ", " + std::to_string(e.data.size()) + " data bytes";
    s += ":";
    for (size_t i = 0; i < e.strings.size(); ++i) s += (i ? " | " : " ") + pal::host::ToUtf8(e.strings[i]);
    return s;
}

std::string FormatEventLog(const std::vector<pal::host::EventRecord>& events, uint64_t since, bool json) {
    std::ostringstream o;
    if (json) o << "[";
    bool first = true;
    for (const auto& e : events) {
        if (e.number <= since) continue;
        if (!json) {
            o << FormatEvent(e) << "\n";
            continue;
        }
        o << (first ? "\n" : ",\n") << "  {\"number\": " << e.number << ", \"time\": \"" << TimeText(e.timeUtc)
          << "\", \"timeUtc\": " << e.timeUtc << ", \"type\": \"" << TypeName(e.type) << "\", \"typeCode\": " << e.type
          << ", \"source\": " << JsonString(e.source) << ", \"eventId\": " << e.eventId
          << ", \"category\": " << e.category << ", \"user\": " << (e.user.empty() ? "null" : JsonString(e.user))
          << ", \"computer\": " << JsonString(e.computer) << ", \"strings\": [";
        for (size_t i = 0; i < e.strings.size(); ++i) o << (i ? ", " : "") << JsonString(e.strings[i]);
        o << "], \"dataBytes\": " << e.data.size() << "}";
        first = false;
    }
    if (json) o << (first ? "]\n" : "\n]\n");
    return o.str();
}

} // namespace qlhost

// The simulated machine's Application event log. Every event is one line of
// a text file under the drive root, appended under an exclusive file lock so
// that several processes (qlspool runs, test executables) share one log:
//
//   number TAB time TAB source TAB type TAB category TAB id TAB user TAB
//   computer TAB raw data (hex) [TAB insertion string]...
//
// Text fields escape backslash, tab, CR and LF. Event source handles are
// handle-table objects; a source needs no registration to report.
#include "core.h"
#include "faults.h"
#include "palhost.h"
#include "security_internal.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pal {
namespace {

constexpr char16_t kLogPath[] = u"C:\\Windows\\System32\\winevt\\Logs\\Application.log";
// Windows refuses insertion strings longer than this.
constexpr size_t kMaxInsertionChars = 31839;

class EventSource : public Object {
public:
    explicit EventSource(std::u16string name) : name(std::move(name)) {}
    std::string Describe() const override { return "event source " + Utf16ToUtf8(name); }
    std::u16string name;
};

std::string Escape(std::u16string_view text) {
    std::string out;
    for (char c : Utf16ToUtf8(text)) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::u16string Unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return Utf8ToUtf16(out);
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) return fields;
        start = tab + 1;
    }
}

bool ParseNumber(std::string_view text, uint64_t* out) {
    if (text.empty() || text.size() > 19) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = v;
    return true;
}

std::optional<host::EventRecord> ParseLine(std::string_view line) {
    const auto f = SplitTabs(line);
    if (f.size() < 9) return std::nullopt;
    host::EventRecord e;
    uint64_t time = 0, type = 0, category = 0, id = 0;
    if (!ParseNumber(f[0], &e.number) || !ParseNumber(f[1], &time) || !ParseNumber(f[3], &type) ||
        !ParseNumber(f[4], &category) || !ParseNumber(f[5], &id) || type > 0xFFFF || category > 0xFFFF ||
        id > 0xFFFFFFFF)
        return std::nullopt;
    e.timeUtc = static_cast<int64_t>(time);
    e.source = Unescape(f[2]);
    e.type = static_cast<WORD>(type);
    e.category = static_cast<WORD>(category);
    e.eventId = static_cast<DWORD>(id);
    e.user = Unescape(f[6]);
    e.computer = Unescape(f[7]);
    const std::string_view hex = f[8];
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        e.data.push_back(static_cast<uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    for (size_t i = 9; i < f.size(); ++i) e.strings.push_back(Unescape(f[i]));
    return e;
}

std::string ReadAll(int fd) {
    std::string text;
    if (lseek(fd, 0, SEEK_SET) < 0) return text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return text;
        text.append(buf, static_cast<size_t>(n));
    }
}

// The number after the last complete line's number (1 for an empty log).
uint64_t NextNumber(int fd) {
    const std::string text = ReadAll(fd);
    uint64_t last = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        const std::string_view line(text.data() + start, end - start);
        uint64_t n = 0;
        if (ParseNumber(line.substr(0, line.find('\t')), &n) && n > last) last = n;
        start = end + 1;
    }
    return last + 1;
}

std::mutex& LogLock() {
    static std::mutex* m = new std::mutex;  // used until the process ends
    return *m;
}

// Appends one event line; false with the last error set when the log cannot
// be written.
bool AppendEvent(const std::u16string& source, WORD type, WORD category, DWORD id, const std::u16string& user,
                 const std::vector<uint8_t>& data, const std::vector<std::u16string>& strings) {
    const std::string path = HostPath(kLogPath);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    std::lock_guard<std::mutex> g(LogLock());
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetLastError(Win32FromErrno(errno));
        return false;
    }
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string line = std::to_string(NextNumber(fd)) + '\t' + std::to_string(static_cast<int64_t>(::time(nullptr))) +
                       '\t' + Escape(source) + '\t' + std::to_string(type) + '\t' + std::to_string(category) + '\t' +
                       std::to_string(id) + '\t' + Escape(user) + '\t' + Escape(ComputerName()) + '\t';
    static const char kHex[] = "0123456789abcdef";
    for (uint8_t b : data) {
        line += kHex[b >> 4];
        line += kHex[b & 15];
    }
    for (const auto& s : strings) line += '\t' + Escape(s);
    line += '\n';
    size_t done = 0;
    bool ok = true;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetLastError(Win32FromErrno(errno));
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    flock(fd, LOCK_UN);
    ::close(fd);
    return ok;
}

bool IsLocalServer(std::u16string_view server) {
    while (!server.empty() && server.front() == u'\\') server.remove_prefix(1);
    if (server.empty()) return true;
    const std::u16string local = ComputerName();
    if (server.size() != local.size()) return false;
    for (size_t i = 0; i < server.size(); ++i)
        if (FoldUpper(server[i]) != FoldUpper(local[i])) return false;
    return true;
}

} // namespace

namespace host {

std::string EventLogPath() { return HostPath(kLogPath); }

std::vector<EventRecord> ReadEventLog() {
    std::vector<EventRecord> events;
    const int fd = ::open(EventLogPath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return events;
    while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
    }
    const std::string text = ReadAll(fd);
    flock(fd, LOCK_UN);
    ::close(fd);
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        if (auto e = ParseLine(std::string_view(text.data() + start, end - start))) events.push_back(std::move(*e));
        start = end + 1;
    }
    return events;
}

uint64_t LastEventNumber() {
    const auto events = ReadEventLog();
    return events.empty() ? 0 : events.back().number;
}

} // namespace host
} // namespace pal

using pal::FailWith;

PAL_API HANDLE RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    return pal::Guard<HANDLE>(nullptr, [&]() -> HANDLE {
        if (auto f = pal::faults::Check("RegisterEventSourceW"); f.fail) return FailWith<HANDLE>(f.error, nullptr);
        if (!lpSourceName || !*lpSourceName) return FailWith<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
        if (!pal::IsLocalServer(pal::WView(lpUNCServerName)))
            return FailWith<HANDLE>(RPC_S_SERVER_UNAVAILABLE, nullptr);
        pal::security::AddIdentityRecord("RegisterEventSourceW", std::u16string(pal::WView(lpSourceName)));
        HANDLE h = pal::RegisterHandle(std::make_shared<pal::EventSource>(std::u16string(pal::WView(lpSourceName))));
        SetLastError(ERROR_SUCCESS);
        return h;
    });
}

PAL_API BOOL ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                          WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
    return pal::Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto source = pal::LookupHandle<pal::EventSource>(hEventLog);
        if (!source) return FailWith(ERROR_INVALID_HANDLE);
        if (auto f = pal::faults::Check("ReportEventW"); f.fail) return FailWith(f.error);
        switch (wType) {
        case EVENTLOG_SUCCESS: case EVENTLOG_ERROR_TYPE: case EVENTLOG_WARNING_TYPE:
        case EVENTLOG_INFORMATION_TYPE: case EVENTLOG_AUDIT_SUCCESS: case EVENTLOG_AUDIT_FAILURE: break;
        default: return FailWith(ERROR_INVALID_PARAMETER);
        }
        if ((wNumStrings && !lpStrings) || (dwDataSize && !lpRawData)) return FailWith(ERROR_INVALID_PARAMETER);
        std::u16string user;
        if (lpUserSid) {
            if (!pal::security::SidIsValid(lpUserSid)) return FailWith(ERROR_INVALID_PARAMETER);
            user = pal::security::SidToString(lpUserSid);
        }
        std::vector<std::u16string> strings;
        for (WORD i = 0; i < wNumStrings; ++i) {
            if (!lpStrings[i]) return FailWith(ERROR_INVALID_PARAMETER);
            std::u16string_view s = pal::WView(lpStrings[i]);
            if (s.size() > pal::kMaxInsertionChars) return FailWith(ERROR_INVALID_PARAMETER);
            strings.emplace_back(s);
        }
        const auto* raw = static_cast<const uint8_t*>(lpRawData);
        std::vector<uint8_t> data(raw, raw + (raw ? dwDataSize : 0));
        if (!pal::AppendEvent(source->name, wType, wCategory, dwEventID, user, data, strings)) return FALSE;
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

PAL_API BOOL DeregisterEventSource(HANDLE hEventLog) {
    return pal::Guard<BOOL>(FALSE, [&]() -> BOOL {
        if (!pal::RemoveHandleOf<pal::EventSource>(hEventLog)) return FailWith(ERROR_INVALID_HANDLE);
        if (auto f = pal::faults::Check("DeregisterEventSource"); f.fail) return FailWith(f.error);
        return TRUE;
    });
}

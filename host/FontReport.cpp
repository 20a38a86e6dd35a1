// The transform report's font rows: what the font embedding did with every
// font a gateway job asked for, read from the job's debug log lines (the
// font list's own lines name each key with its outcome and length).
#include "host/Machine.h"

#include <map>
#include <sstream>

namespace qlhost {
namespace {

// The text between "<" and ">" after `marker` in `line`, if the marker is there.
bool KeyAfter(const std::string& line, const std::string& marker, std::string& key) {
    const size_t at = line.find(marker);
    if (at == std::string::npos) return false;
    const size_t open = line.find('<', at + marker.size() - 1);
    const size_t close = open == std::string::npos ? open : line.find('>', open);
    if (close == std::string::npos) return false;
    key = line.substr(open + 1, close - open - 1);
    return true;
}

} // namespace

void AddFontReports(const std::vector<std::string>& logLines, std::vector<TransportStream>& streams) {
    if (streams.empty()) return;
    struct Row {
        std::string outcome;
        std::string bytes = "0";
        unsigned repeats = 0;
    };
    std::vector<std::pair<std::string, Row>> rows;
    std::map<std::string, size_t> byKey;
    std::string pending;  // the outcome the next list line records
    for (const std::string& line : logLines) {
        std::string key;
        if (KeyAfter(line, "under an diffrent face <", key)) {
            pending = "already sent under another key (same data)";
        } else if (KeyAfter(line, "Font data couldn't be read", key)) {
            pending = "not embedded (substituted or unreadable)";
        } else if (KeyAfter(line, "New Font added to LIST and SPOOLFILE <", key)) {
            const size_t len = line.find("len=");
            Row row{"embedded", len == std::string::npos ? "?" : line.substr(len + 4)};
            byKey[key] = rows.size();
            rows.emplace_back(key, row);
            pending.clear();
        } else if (KeyAfter(line, "New Font added to LIST <", key)) {
            byKey[key] = rows.size();
            rows.emplace_back(key, Row{pending.empty() ? "not embedded" : pending});
            pending.clear();
        } else if (KeyAfter(line, "Font already added <", key) && byKey.count(key)) {
            ++rows[byKey[key]].second.repeats;
        }
    }
    if (rows.empty()) return;
    std::ostringstream o;
    o << "fonts: " << rows.size() << " in the job's font list\n";
    for (const auto& [key, row] : rows) {
        o << "  font <" << key << ">: " << row.outcome << ", " << row.bytes << " bytes";
        if (row.repeats) o << "; asked for again " << row.repeats << " time" << (row.repeats == 1 ? "" : "s")
                           << ", already sent by name";
        o << "\n";
    }
    streams.front().fontReport = o.str();
}

} // namespace qlhost

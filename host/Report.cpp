#include "host/Report.h"
#include "host/Events.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <sstream>

namespace qlhost {

namespace {

std::string U8(const std::u16string& s) {
    return pal::host::ToUtf8(s);
}

std::string Quoted(const std::u16string& s) {
    return "\"" + U8(s) + "\"";
}

std::string Hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string Bool(BOOL b) {
    return b ? "TRUE" : "FALSE";
}

const char* FunctionName(DWORD fn) {
    switch (fn) {
    case QUILMON_FN_INCREMENT_PAGE_COUNT: return "IncrementPageCount";
    case QUILMON_FN_SET_PRINT_COPY_COUNT: return "SetPrintCopyCount";
    case QUILMON_FN_UPDATE_STATISTICS: return "UpdateQLWinPrnStatisticsW";
    case QUILMON_FN_VIEW_OPEN: return "view: open";
    case QUILMON_FN_VIEW_REFUSED: return "view: refused";
    case QUILMON_FN_VIEW_SUBMIT: return "view: submit";
    case QUILMON_FN_VIEW_PRINTED: return "view: print";
    case QUILMON_FN_VIEW_CLOSE: return "view: close";
    default: return "?";
    }
}

std::string Arg(const WCHAR* s, BOOL isNull) {
    return isNull ? "NULL" : "\"" + U8(std::u16string(s)) + "\"";
}

std::string DescribeCall(const QuilmonCall& c) {
    std::string s = std::string(FunctionName(c.dwFunction)) + "(" + Arg(c.szArg1, c.fArg1Null) + ", " +
                    Arg(c.szArg2, c.fArg2Null);
    if (c.dwFunction != QUILMON_FN_INCREMENT_PAGE_COUNT) s += ", " + std::to_string(c.dwValue);
    return s + ")";
}

std::vector<size_t> AllCalls(const JobReport& r) {
    std::vector<size_t> all(r.monitorCalls.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
}

// "2 page(s), copy count 3, statistics UpdateQLWinPrnStatisticsW(printer
// "P", server "S", 1234 bytes)" for the given calls.
std::string MonitorSummary(const JobReport& r, const std::vector<size_t>& calls) {
    unsigned pages = 0;
    std::vector<DWORD> copies;
    std::vector<std::string> statistics;
    for (size_t i : calls) {
        const QuilmonCall& c = r.monitorCalls[i];
        switch (c.dwFunction) {
        case QUILMON_FN_INCREMENT_PAGE_COUNT: ++pages; break;
        case QUILMON_FN_SET_PRINT_COPY_COUNT: copies.push_back(c.dwValue); break;
        case QUILMON_FN_UPDATE_STATISTICS:
            statistics.push_back("UpdateQLWinPrnStatisticsW(printer " + Arg(c.szArg1, c.fArg1Null) + ", server " +
                                 Arg(c.szArg2, c.fArg2Null) + ", " + std::to_string(c.dwValue) + " bytes)");
            break;
        default: break;
        }
    }
    std::string s = std::to_string(pages) + " page(s), ";
    if (copies.empty()) {
        s += "no copy count";
    } else {
        s += copies.size() == 1 ? "copy count " : "copy counts ";
        for (size_t i = 0; i < copies.size(); ++i) s += (i ? ", " : "") + std::to_string(copies[i]);
    }
    s += ", statistics ";
    if (statistics.empty()) s += "none";
    for (size_t i = 0; i < statistics.size(); ++i) s += (i ? ", " : "") + statistics[i];
    return s;
}

// "DOMAIN\name".
std::string IdentityName(const pal::host::Identity& id) {
    return id.domain.empty() ? U8(id.user) : U8(id.domain) + "\\" + U8(id.user);
}

// "impersonating HOST\user", or "as NT AUTHORITY\SYSTEM" for a thread that does not impersonate.
std::string ThreadIdentity(const std::optional<pal::host::Identity>& id) {
    if (!id) return "not called";
    return (id->impersonating ? "impersonating " : "as ") + IdentityName(*id);
}

// The event log's source registration (registry key, event source).
bool IsEventLogCall(const pal::host::IdentityRecord& rec) {
    return rec.call == "RegCreateKeyExW" || rec.call == "RegisterEventSourceW";
}

// "6 as NT AUTHORITY\SYSTEM, 1 as HOST\user" for the port queries or the file creations.
std::string IdentityCounts(const std::vector<pal::host::IdentityRecord>& records, bool portQueries) {
    std::vector<std::pair<std::string, unsigned>> counts;
    for (const auto& rec : records) {
        const bool isPortQuery = rec.call == "OpenPrinterW" || rec.call == "XcvDataW";
        if (isPortQuery != portQueries || IsEventLogCall(rec)) continue;
        const std::string name = IdentityName(rec.identity);
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == name; });
        if (it == counts.end()) {
            counts.emplace_back(name, 1);
        } else {
            ++it->second;
        }
    }
    if (counts.empty()) return "none";
    std::string s;
    for (const auto& [name, n] : counts) s += (s.empty() ? "" : ", ") + std::to_string(n) + " as " + name;
    return s;
}

// The inspector's listing of the transport streams of a document (one per
// copy), each line indented.
std::string StreamListing(const std::vector<TransportStream>& streams, const std::string& indent) {
    std::ostringstream o;
    for (size_t i = 0; i < streams.size(); ++i) {
        const qltools::InspectReport& stream = streams[i].report;
        o << indent << "transport stream";
        if (streams.size() > 1) {
            o << " " << i + 1 << " of " << streams.size() << " (from byte " << streams[i].offset << ")";
        }
        if (!stream.ok) {
            o << " rejected by the inspector: " << stream.error << "\n";
            continue;
        }
        o << ", as the inspector reads it:\n";
        // Framed output of a long job has many blocks: list them one by one
        // only while they are few.
        constexpr size_t kMaxListedBlocks = 24;
        std::istringstream text(qltools::FormatReportText(stream, stream.blocks.size() <= kMaxListedBlocks));
        for (std::string line; std::getline(text, line);) o << indent << "  " << line << "\n";
        std::istringstream bitmaps(streams[i].bitmapReport);
        for (std::string line; std::getline(bitmaps, line);) o << indent << "  " << line << "\n";
        std::istringstream fonts(streams[i].fontReport);
        for (std::string line; std::getline(fonts, line);) o << indent << "  " << line << "\n";
    }
    return o.str();
}

} // namespace

const char* ErrorName(DWORD code) {
    switch (code) {
    case ERROR_SUCCESS: return "ERROR_SUCCESS";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return "ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
    case ERROR_INVALID_DATA: return "ERROR_INVALID_DATA";
    case ERROR_OUTOFMEMORY: return "ERROR_OUTOFMEMORY";
    case ERROR_WRITE_FAULT: return "ERROR_WRITE_FAULT";
    case ERROR_READ_FAULT: return "ERROR_READ_FAULT";
    case ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
    case ERROR_HANDLE_EOF: return "ERROR_HANDLE_EOF";
    case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case ERROR_PRINT_CANCELLED: return "ERROR_PRINT_CANCELLED";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_DISK_FULL: return "ERROR_DISK_FULL";
    case ERROR_CALL_NOT_IMPLEMENTED: return "ERROR_CALL_NOT_IMPLEMENTED";
    case ERROR_INSUFFICIENT_BUFFER: return "ERROR_INSUFFICIENT_BUFFER";
    case ERROR_MOD_NOT_FOUND: return "ERROR_MOD_NOT_FOUND";
    case ERROR_PROC_NOT_FOUND: return "ERROR_PROC_NOT_FOUND";
    case ERROR_MORE_DATA: return "ERROR_MORE_DATA";
    case ERROR_NO_MORE_ITEMS: return "ERROR_NO_MORE_ITEMS";
    case ERROR_CANCELLED: return "ERROR_CANCELLED";
    case ERROR_INVALID_PRINTER_NAME: return "ERROR_INVALID_PRINTER_NAME";
    case ERROR_INVALID_DATATYPE: return "ERROR_INVALID_DATATYPE";
    case ERROR_SPL_NO_STARTDOC: return "ERROR_SPL_NO_STARTDOC";
    default: return "";
    }
}

std::string DescribeError(DWORD code) {
    const char* name = ErrorName(code);
    return std::to_string(code) + (*name ? std::string(" (") + name + ")" : std::string());
}

std::string ControlName(DWORD command) {
    switch (command) {
    case JOB_CONTROL_PAUSE: return "PAUSE";
    case JOB_CONTROL_RESUME: return "RESUME";
    case JOB_CONTROL_CANCEL: return "CANCEL";
    default: return std::to_string(command);
    }
}

std::string DescribeStatus(DWORD status) {
    std::string words;
    auto add = [&](const char* w) { words += (words.empty() ? "" : ", ") + std::string(w); };
    if (status & 0x1) add("cancelled");
    if (status & 0x8) add("paused");
    if (words.empty()) add("running");
    return Hex(status) + " (" + words + ")";
}

std::string DescribeFault(const pal::host::Fault& f) {
    std::string s = f.call;
    if (f.atByte) s += " at byte " + std::to_string(*f.atByte);
    if (f.afterCalls) s += " after " + std::to_string(f.afterCalls) + " call(s)";
    if (f.shortCount) {
        s += ": takes fewer bytes than offered";
    } else {
        s += ": fails with " + DescribeError(f.error);
    }
    s += f.once ? ", once" : ", every call from then on";
    return s;
}

MonitorCallsByDocument AssignMonitorCalls(const JobReport& r) {
    MonitorCallsByDocument out;
    out.perDocument.resize(r.documents.size());
    std::vector<size_t> statisticsTaken(r.documents.size(), 0);
    for (size_t i = 0; i < r.monitorCalls.size(); ++i) {
        const QuilmonCall& c = r.monitorCalls[i];
        if (IsViewLibraryCall(c)) continue;  // listed under native printing
        if (r.documents.size() == 1) {
            out.perDocument[0].push_back(i);
            continue;
        }
        const std::u16string arg1 = c.fArg1Null ? std::u16string() : std::u16string(c.szArg1);
        std::optional<size_t> owner;
        for (size_t d = 0; d < r.documents.size() && !owner; ++d) {
            if (c.dwFunction == QUILMON_FN_UPDATE_STATISTICS) {
                if (r.documents[d].printer == arg1 && statisticsTaken[d] == 0) owner = d;
            } else if (r.documents[d].port == arg1) {
                owner = d;
            }
        }
        if (owner) {
            if (c.dwFunction == QUILMON_FN_UPDATE_STATISTICS) ++statisticsTaken[*owner];
            out.perDocument[*owner].push_back(i);
        } else {
            out.unassigned.push_back(i);
        }
    }
    return out;
}

std::string FormatJobReport(const JobReport& r, bool showLog) {
    std::ostringstream o;
    o << "== Job " << r.jobId << ": " << Quoted(r.document) << " on " << Quoted(r.printer) << ", datatype "
      << Quoted(r.datatype) << ", " << r.dataBytes << " bytes";
    if (!r.parameters.empty()) o << ", parameters " << Quoted(r.parameters);
    o << " ==\n";
    if (!r.error.empty()) {
        o << "  not run: " << r.error << "\n";
        return o.str();
    }

    o << "Entry points:\n";
    if (r.opened) {
        o << "  OpenPrintProcessor            -> handle\n";
    } else {
        o << "  OpenPrintProcessor            -> NULL, last error " << DescribeError(r.openError) << "\n";
    }
    if (r.printed) {
        o << "  PrintDocumentOnPrintProcessor -> " << Bool(r.printResult);
        if (!r.printResult) o << ", last error " << DescribeError(r.printError);
        o << " (" << r.printMs << " ms)\n";
    }
    for (const ControlRecord& c : r.controls) {
        o << "  ControlPrintProcessor(" << ControlName(c.command) << ") at " << c.atMs << " ms"
          << (c.fromTimeout ? " (printing did not finish in time)" : "") << " -> " << Bool(c.result);
        if (!c.result) o << ", last error " << DescribeError(c.lastError);
        if (c.statusAfter) o << ", job status " << DescribeStatus(*c.statusAfter);
        o << "\n";
    }
    if (r.closed) {
        o << "  ClosePrintProcessor           -> " << Bool(r.closeResult);
        if (!r.closeResult) o << ", last error " << DescribeError(r.closeError);
        o << "\n";
    }

    if (!r.faults.empty()) {
        o << "Faults armed:\n";
        for (const pal::host::Fault& f : r.faults) o << "  " << DescribeFault(f) << "\n";
    }

    const MonitorCallsByDocument assigned = AssignMonitorCalls(r);
    o << "Port output:";
    if (r.documents.empty()) o << " none";
    o << "\n";
    for (size_t i = 0; i < r.documents.size(); ++i) {
        const auto& d = r.documents[i];
        o << "  document " << Quoted(d.document) << " on " << Quoted(d.printer) << ", port " << Quoted(d.port)
          << ", datatype " << Quoted(d.datatype) << ": " << d.bytes << " bytes"
          << (d.ended ? "" : " (document not ended)") << "\n";
        o << "    port file " << d.outputPath;
        if (d.offset) o << " from offset " << d.offset;
        o << "\n";
        o << "    port monitor: " << MonitorSummary(r, assigned.perDocument[i]) << "\n";
        if (i < r.streams.size()) o << StreamListing(r.streams[i], "    ");
    }

    o << "Port monitor: " << MonitorSummary(r, AllCalls(r)) << "\n";
    for (const QuilmonCall& c : r.monitorCalls) o << "  " << DescribeCall(c) << "\n";
    if (!r.documents.empty() && !assigned.unassigned.empty()) {
        o << "  (" << assigned.unassigned.size() << " call(s) not tied to a port document)\n";
    }
    o << NativePrintingSection(r);

    o << "Debugger output:";
    if (r.debugOutput.empty()) o << " none";
    o << "\n";
    for (const auto& line : r.debugOutput) {
        std::string s = U8(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        o << "  " << s << "\n";
    }
    for (const auto& box : r.messageBoxes) {
        o << "Message box " << Quoted(box.caption) << ": " << U8(box.text) << "\n";
    }

    if (!r.user.sid.empty()) {
        o << "Identities: the job's user is " << IdentityName(r.user) << " (" << U8(r.user.sid) << ")\n";
        o << "  after OpenPrintProcessor: " << ThreadIdentity(r.identityAfterOpen)
          << "; after PrintDocumentOnPrintProcessor: " << ThreadIdentity(r.identityAfterPrint)
          << "; after ClosePrintProcessor: " << ThreadIdentity(r.identityAfterClose) << "\n";
        o << "  port queries: " << IdentityCounts(r.identities, true)
          << "; file creations: " << IdentityCounts(r.identities, false) << "\n";
        for (const auto& rec : r.identities)
            if (IsEventLogCall(rec))
                o << "  event log: " << rec.call << " " << Quoted(rec.target) << " as " << IdentityName(rec.identity)
                  << "\n";
    }

    o << "Events written:";
    if (r.events.empty()) o << " none";
    o << "\n";
    for (const auto& e : r.events) o << "  " << FormatEvent(e) << "\n";

    o << "Handles left open by the job:";
    if (r.leakedHandles.empty()) o << " none";
    o << "\n";
    for (const auto& h : r.leakedHandles) o << "  " << h << "\n";

    if (showLog) {
        o << "Debug log (" << r.logLines.size() << " line" << (r.logLines.size() == 1 ? "" : "s") << "):\n";
        for (const auto& line : r.logLines) o << "  " << line << "\n";
    }
    return o.str();
}

std::string FormatCapabilities(const CapabilitiesReport& c) {
    std::ostringstream o;
    o << Quoted(c.datatype) << ": ";
    if (c.result != ERROR_SUCCESS) {
        o << "error " << DescribeError(c.result) << ", needed " << c.needed << " bytes\n";
        return o.str();
    }
    o << "level " << c.caps.dwLevel << " (" << c.needed << " bytes), n-up options " << Hex(c.caps.dwNupOptions)
      << ", page order flags " << Hex(c.caps.dwPageOrderFlags) << ", copies ";
    if (c.caps.dwNumberOfCopies == 0xFFFFFFFFu) {
        o << "unlimited";
    } else {
        o << c.caps.dwNumberOfCopies;
    }
    if (c.caps.dwLevel >= 2) {
        o << ", n-up direction " << Hex(c.caps.dwNupDirectionCaps) << ", n-up border "
          << Hex(c.caps.dwNupBorderCaps) << ", booklet " << Hex(c.caps.dwBookletHandlingCaps) << ", duplex "
          << Hex(c.caps.dwDuplexHandlingCaps) << ", scaling " << Hex(c.caps.dwScalingCaps);
    }
    o << "\n";
    return o.str();
}

std::string FormatPrinters(const std::vector<PrinterInfo>& printers) {
    std::ostringstream o;
    for (const PrinterInfo& p : printers) {
        o << Quoted(p.name) << ": driver " << Quoted(p.driver) << ", port " << Quoted(p.port);
        if (!p.portType.empty()) o << " (" << U8(p.portType) << ")";
        o << ", attributes " << Hex(p.attributes) << "\n";
    }
    return o.str();
}

} // namespace qlhost

#include "host/Report.h"

#include <cstdio>
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
    default: return "?";
    }
}

std::string Arg(const WCHAR* s, BOOL isNull) {
    return isNull ? "NULL" : "\"" + U8(std::u16string(s)) + "\"";
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

    o << "Port output:";
    if (r.documents.empty()) o << " none";
    o << "\n";
    for (const auto& d : r.documents) {
        o << "  " << Quoted(d.printer) << " port " << Quoted(d.port) << " document " << Quoted(d.document) << ": "
          << d.bytes << " bytes" << (d.ended ? "" : " (document not ended)") << " -> " << d.outputPath;
        if (d.offset) o << " at offset " << d.offset;
        o << "\n";
    }

    unsigned pages = 0, copyCalls = 0, statistics = 0;
    for (const QuilmonCall& c : r.monitorCalls) {
        pages += c.dwFunction == QUILMON_FN_INCREMENT_PAGE_COUNT;
        copyCalls += c.dwFunction == QUILMON_FN_SET_PRINT_COPY_COUNT;
        statistics += c.dwFunction == QUILMON_FN_UPDATE_STATISTICS;
    }
    o << "Port monitor: " << pages << " page(s), " << copyCalls << " copy count call(s), " << statistics
      << " statistics call(s)\n";
    for (const QuilmonCall& c : r.monitorCalls) {
        o << "  " << FunctionName(c.dwFunction) << "(" << Arg(c.szArg1, c.fArg1Null) << ", "
          << Arg(c.szArg2, c.fArg2Null);
        if (c.dwFunction != QUILMON_FN_INCREMENT_PAGE_COUNT) o << ", " << c.dwValue;
        o << ")\n";
    }

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

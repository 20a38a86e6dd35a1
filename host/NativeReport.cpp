// The native-printing part of a job report, from the view library's records
// in the port monitor.
#include "host/Report.h"

#include <sstream>

namespace qlhost {
namespace {

std::string Text(const WCHAR* s) {
    return pal::host::ToUtf8(std::u16string(s));
}

} // namespace

bool IsViewLibraryCall(const QuilmonCall& call) {
    return call.dwFunction >= QUILMON_FN_VIEW_OPEN && call.dwFunction <= QUILMON_FN_VIEW_CLOSE;
}

std::string NativePrintingSection(const JobReport& r) {
    std::ostringstream o;
    unsigned calls = 0;
    for (const QuilmonCall& c : r.monitorCalls) {
        if (!IsViewLibraryCall(c)) continue;
        if (calls++ == 0) o << "Native printing (view library):\n";
        const std::string printer = "\"" + Text(c.szArg1) + "\"";
        switch (c.dwFunction) {
        case QUILMON_FN_VIEW_OPEN:
            o << "  native job opened on " << printer << ", options 0x" << std::hex << c.dwValue << std::dec << "\n";
            break;
        case QUILMON_FN_VIEW_REFUSED:
            o << "  native job refused on " << printer << ": " << Text(c.szArg2) << ", error "
              << DescribeError(c.dwValue) << "\n";
            break;
        case QUILMON_FN_VIEW_SUBMIT:
            if (c.dwValue)
                o << "  " << printer << ": stream decoded, submitted as job " << c.dwValue << " \"" << Text(c.szArg2)
                  << "\" (NT EMF 1.008)\n";
            else
                o << "  " << printer << ": stream not printed: " << Text(c.szArg2) << "\n";
            break;
        case QUILMON_FN_VIEW_PRINTED:
            o << "  " << printer << ": job " << c.dwValue << " " << Text(c.szArg2) << "\n";
            break;
        case QUILMON_FN_VIEW_CLOSE:
            o << "  native job on " << printer << " closed after " << c.dwValue << " bytes\n";
            break;
        default: break;
        }
    }
    if (calls == 0) return {};
    bool cancelled = false;
    for (DWORD command : r.spoolerCommands) cancelled = cancelled || command == JOB_CONTROL_CANCEL;
    o << "  spooler job " << r.jobId
      << (cancelled ? ": cancelled, the view library took it over\n" : ": not cancelled\n");
    return o.str();
}

} // namespace qlhost

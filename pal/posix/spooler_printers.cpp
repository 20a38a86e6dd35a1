// Printers of the simulated spooler, read from the registry at every call:
// GetPrinterW, GetPrinterDataW and DocumentPropertiesW.
#include "faults.h"
#include "registry_store.h"
#include "spooler_handles.h"

#include <algorithm>

namespace pal::spool {
namespace {

std::u16string PrinterKey(std::u16string_view name) {
    std::u16string path(kPrintersKey);
    path += u'\\';
    path += name;
    return path;
}

std::u16string StringValue(const std::u16string& key, std::u16string_view name) {
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, key, name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
    return pal::reg::ValueText(*v);
}

std::optional<DWORD> DwordValue(const std::u16string& key, std::u16string_view name) {
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, key, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    return static_cast<DWORD>(v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
                              (static_cast<DWORD>(v->data[3]) << 24));
}

// The fields DM_IN_BUFFER takes over from the input device mode.
struct DevModeField {
    DWORD flag;
    size_t offset;
    size_t size;
};
constexpr DevModeField kMergeFields[] = {
    {DM_ORIENTATION, offsetof(DEVMODEW, dmOrientation), sizeof(short)},
    {DM_PAPERSIZE, offsetof(DEVMODEW, dmPaperSize), sizeof(short)},
    {DM_PAPERLENGTH, offsetof(DEVMODEW, dmPaperLength), sizeof(short)},
    {DM_PAPERWIDTH, offsetof(DEVMODEW, dmPaperWidth), sizeof(short)},
    {DM_SCALE, offsetof(DEVMODEW, dmScale), sizeof(short)},
    {DM_COPIES, offsetof(DEVMODEW, dmCopies), sizeof(short)},
    {DM_DEFAULTSOURCE, offsetof(DEVMODEW, dmDefaultSource), sizeof(short)},
    {DM_PRINTQUALITY, offsetof(DEVMODEW, dmPrintQuality), sizeof(short)},
    {DM_COLOR, offsetof(DEVMODEW, dmColor), sizeof(short)},
    {DM_DUPLEX, offsetof(DEVMODEW, dmDuplex), sizeof(short)},
    {DM_YRESOLUTION, offsetof(DEVMODEW, dmYResolution), sizeof(short)},
    {DM_TTOPTION, offsetof(DEVMODEW, dmTTOption), sizeof(short)},
    {DM_COLLATE, offsetof(DEVMODEW, dmCollate), sizeof(short)},
    {DM_FORMNAME, offsetof(DEVMODEW, dmFormName), sizeof(WCHAR) * CCHFORMNAME},
};

static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmPrintQuality) == 90);
static_assert(offsetof(DEVMODEW, dmColor) == 92);
static_assert(offsetof(DEVMODEW, dmYResolution) == 96);
static_assert(offsetof(DEVMODEW, dmCollate) == 100);
static_assert(sizeof(PRINTER_INFO_1W) == 32);
static_assert(offsetof(PRINTER_INFO_2W, pDevMode) == 56);
static_assert(offsetof(PRINTER_INFO_2W, pPrintProcessor) == 72);
static_assert(offsetof(PRINTER_INFO_2W, cJobs) == 128);

// The input device mode's fields selected by its dmFields, copied into out.
// Both are whole device modes whose lengths were checked.
void MergeDevMode(std::vector<uint8_t>& out, const uint8_t* in, size_t inLength) {
    DEVMODEW inHead{};
    std::memcpy(&inHead, in, std::min(inLength, sizeof(DEVMODEW)));
    DEVMODEW outHead{};
    std::memcpy(&outHead, out.data(), std::min(out.size(), sizeof(DEVMODEW)));
    for (const auto& f : kMergeFields) {
        if (!(inHead.dmFields & f.flag)) continue;
        if (f.offset + f.size > inHead.dmSize || f.offset + f.size > outHead.dmSize) continue;
        std::memcpy(out.data() + f.offset, in + f.offset, f.size);
        outHead.dmFields |= f.flag;
    }
    std::memcpy(out.data() + offsetof(DEVMODEW, dmFields), &outHead.dmFields, sizeof(DWORD));
    // The driver's private part travels when both sides have the same layout.
    if (inHead.dmDriverExtra && inHead.dmDriverExtra == outHead.dmDriverExtra && inHead.dmSize == outHead.dmSize)
        std::memcpy(out.data() + outHead.dmSize, in + inHead.dmSize, inHead.dmDriverExtra);
}

} // namespace

std::optional<PrinterRecord> FindPrinter(std::u16string_view name) {
    if (name.empty()) return std::nullopt;
    auto names = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, kPrintersKey);
    if (!names) return std::nullopt;
    auto it = std::find_if(names->begin(), names->end(),
                           [&](const std::u16string& n) { return pal::reg::EqualsNoCase(n, name); });
    if (it == names->end()) return std::nullopt;
    PrinterRecord p;
    p.name = *it;
    const std::u16string key = PrinterKey(p.name);
    p.driver = StringValue(key, u"Printer Driver");
    p.port = StringValue(key, u"Port");
    p.spoolDirectory = StringValue(key, u"SpoolDirectory");
    p.shareName = StringValue(key, u"Share Name");
    p.printProcessor = StringValue(key, u"Print Processor");
    p.datatype = StringValue(key, u"Datatype");
    if (p.datatype.empty()) p.datatype = u"RAW";
    p.location = StringValue(key, u"Location");
    p.comment = StringValue(key, u"Description");
    if (p.comment.empty()) p.comment = StringValue(key, u"Comment");
    p.parameters = StringValue(key, u"Parameters");
    p.sepFile = StringValue(key, u"Separator File");
    p.attributes = DwordValue(key, u"Attributes").value_or(0);
    p.priority = DwordValue(key, u"Priority").value_or(1);
    p.defaultPriority = DwordValue(key, u"Default Priority").value_or(0);
    p.startTime = DwordValue(key, u"StartTime").value_or(0);
    p.untilTime = DwordValue(key, u"UntilTime").value_or(0);
    if (auto dm = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, key, u"Default DevMode"); dm && dm->type == REG_BINARY) {
        if (size_t n = DevModeLength(dm->data.data(), dm->data.size()))
            p.defaultDevMode.assign(dm->data.begin(), dm->data.begin() + static_cast<ptrdiff_t>(n));
    }
    return p;
}

size_t DevModeLength(const void* p, size_t size) {
    constexpr size_t kHead = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
    if (!p || size < kHead) return 0;
    WORD dmSize = 0, dmDriverExtra = 0;
    std::memcpy(&dmSize, static_cast<const uint8_t*>(p) + offsetof(DEVMODEW, dmSize), sizeof(WORD));
    std::memcpy(&dmDriverExtra, static_cast<const uint8_t*>(p) + offsetof(DEVMODEW, dmDriverExtra), sizeof(WORD));
    if (dmSize < kHead || dmSize > sizeof(DEVMODEW)) return 0;
    const size_t total = size_t(dmSize) + dmDriverExtra;
    return total <= size ? total : 0;
}

std::vector<uint8_t> DefaultDevMode(const PrinterRecord& printer) {
    if (!printer.defaultDevMode.empty()) return printer.defaultDevMode;
    DEVMODEW dm{};
    const size_t n = std::min<size_t>(printer.name.size(), CCHDEVICENAME - 1);
    std::copy_n(printer.name.begin(), n, dm.dmDeviceName);
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = 0;
    dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_SCALE | DM_COPIES | DM_PRINTQUALITY | DM_YRESOLUTION |
                  DM_COLOR | DM_DUPLEX | DM_COLLATE | DM_FORMNAME;
    dm.dmOrientation = 1; // portrait
    dm.dmPaperSize = DMPAPER_A4;
    dm.dmScale = 100;
    dm.dmCopies = 1;
    dm.dmPrintQuality = 600;
    dm.dmYResolution = 600;
    dm.dmColor = 1;  // monochrome
    dm.dmDuplex = 1; // simplex
    dm.dmCollate = 0;
    const char16_t form[] = u"A4";
    std::copy_n(form, 3, dm.dmFormName);
    std::vector<uint8_t> out(sizeof(DEVMODEW));
    std::memcpy(out.data(), &dm, sizeof(DEVMODEW));
    return out;
}

} // namespace pal::spool

namespace pal::host {

std::vector<std::u16string> PrinterNames() {
    auto names = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, pal::spool::kPrintersKey);
    return names ? *names : std::vector<std::u16string>();
}

} // namespace pal::host

using namespace pal::spool;
using pal::FailWith;
using pal::Guard;

PAL_API BOOL GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
    return Guard<BOOL>(FALSE, [&]() -> BOOL {
        auto h = LookupPrinter(hPrinter);
        if (!h || h->kind == PrinterHandle::Kind::XcvPort || h->kind == PrinterHandle::Kind::XcvMonitor)
            return FailWith(ERROR_INVALID_HANDLE, FALSE);
        if (!pcbNeeded) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
        if (auto f = pal::faults::Check("GetPrinterW"); f.fail) return FailWith(f.error, FALSE);
        auto printer = FindPrinter(h->printer);
        if (!printer) return FailWith(ERROR_INVALID_PRINTER_NAME, FALSE);
        if (Level == 1) {
            const std::u16string description = printer->name + u"," + printer->driver + u"," + printer->location;
            return PackRecord<PRINTER_INFO_1W>(pPrinter, cbBuf, pcbNeeded, [&](Packer& p, PRINTER_INFO_1W& i) {
                i.Flags = PRINTER_ENUM_ICON8;
                i.pDescription = p.String(description);
                i.pName = p.String(printer->name);
                i.pComment = p.String(printer->comment);
            });
        }
        if (Level == 2) {
            const std::vector<uint8_t> devmode = DefaultDevMode(*printer);
            const DWORD jobs = CountJobs(printer->name);
            return PackRecord<PRINTER_INFO_2W>(pPrinter, cbBuf, pcbNeeded, [&](Packer& p, PRINTER_INFO_2W& i) {
                i.pServerName = nullptr; // a local printer
                i.pDevMode = p.DevMode(devmode);
                i.pPrinterName = p.String(printer->name);
                i.pShareName = p.String(printer->shareName);
                i.pPortName = p.String(printer->port);
                i.pDriverName = p.String(printer->driver);
                i.pComment = p.String(printer->comment);
                i.pLocation = p.String(printer->location);
                i.pSepFile = p.String(printer->sepFile);
                i.pPrintProcessor = p.String(printer->printProcessor);
                i.pDatatype = p.String(printer->datatype);
                i.pParameters = p.String(printer->parameters);
                i.pSecurityDescriptor = nullptr;
                i.Attributes = printer->attributes;
                i.Priority = printer->priority;
                i.DefaultPriority = printer->defaultPriority;
                i.StartTime = printer->startTime;
                i.UntilTime = printer->untilTime;
                i.Status = 0;
                i.cJobs = jobs;
                i.AveragePPM = 0;
            });
        }
        return FailWith(ERROR_INVALID_LEVEL, FALSE);
    });
}

PAL_API DWORD GetPrinterDataW(HANDLE hPrinter, LPWSTR pValueName, LPDWORD pType, LPBYTE pData, DWORD nSize,
                              LPDWORD pcbNeeded) {
    return Guard<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        auto h = LookupPrinter(hPrinter);
        if (!h || h->kind == PrinterHandle::Kind::XcvPort || h->kind == PrinterHandle::Kind::XcvMonitor)
            return ERROR_INVALID_HANDLE;
        if (!pcbNeeded) return ERROR_INVALID_PARAMETER;
        *pcbNeeded = 0;
        if (auto f = pal::faults::Check("GetPrinterDataW"); f.fail) return f.error;
        std::u16string key = PrinterKey(h->printer) + u"\\PrinterDriverData";
        auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, key,
                                      pValueName ? std::u16string_view(pValueName) : std::u16string_view());
        if (!v) return ERROR_FILE_NOT_FOUND;
        *pcbNeeded = static_cast<DWORD>(v->data.size());
        if (pType) *pType = v->type;
        if (nSize < v->data.size() || (!pData && !v->data.empty())) return ERROR_MORE_DATA;
        if (!v->data.empty()) std::memcpy(pData, v->data.data(), v->data.size());
        return ERROR_SUCCESS;
    });
}

PAL_API LONG DocumentPropertiesW(HWND /*hWnd*/, HANDLE hPrinter, LPWSTR pDeviceName, PDEVMODEW pDevModeOutput,
                                 PDEVMODEW pDevModeInput, DWORD fMode) {
    return Guard<LONG>(-1, [&]() -> LONG {
        std::optional<PrinterRecord> printer;
        if (hPrinter) {
            auto h = LookupPrinter(hPrinter);
            if (!h || h->kind == PrinterHandle::Kind::XcvPort || h->kind == PrinterHandle::Kind::XcvMonitor)
                return FailWith(ERROR_INVALID_HANDLE, -1);
            printer = FindPrinter(h->printer);
        } else if (pDeviceName) {
            printer = FindPrinter(pDeviceName);
        }
        if (!printer) return FailWith(ERROR_INVALID_PRINTER_NAME, -1);
        if (auto f = pal::faults::Check("DocumentPropertiesW"); f.fail) return FailWith(f.error, -1);
        std::vector<uint8_t> dm = DefaultDevMode(*printer);
        if (fMode == 0) return static_cast<LONG>(dm.size());
        if ((fMode & DM_OUT_BUFFER) && !pDevModeOutput) return FailWith(ERROR_INVALID_PARAMETER, -1);
        if ((fMode & DM_IN_BUFFER) && pDevModeInput) {
            // The input's own header tells its length; a nonsensical one is refused.
            size_t inLength = DevModeLength(pDevModeInput, size_t(pDevModeInput->dmSize) + pDevModeInput->dmDriverExtra);
            if (!inLength) return FailWith(ERROR_INVALID_PARAMETER, -1);
            MergeDevMode(dm, reinterpret_cast<const uint8_t*>(pDevModeInput), inLength);
        }
        if (fMode & DM_OUT_BUFFER) std::memcpy(pDevModeOutput, dm.data(), dm.size());
        return IDOK;
    });
}

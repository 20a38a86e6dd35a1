// Destination settings, the device mode adjustment, the device mode block in
// native printing, the device mode record patch, the compression rules taken
// from the device mode extension and the extended user name.
//
// The machine: the gateway printer "Gate" on FILE1: (default geometry: 600
// dpi, 4 mm margin), an ordinary printer "Local" and a second gateway printer
// "QLTarget" as native-printing targets, a hosts list naming the client
// "CLIENT", and the debug log sent to the debugger channel. Each test gets a
// fresh job record with "Gate" open.
#include "diag/DbgLog.h"

#include "support/HandJob.h"
#include "emf/ComprCnf.h"
#include "gateway/Destination.h"
#include "native/Devmode.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "support/ViewLibrary.h"
#include "palhost.h"
#include "printproc/JobContainers.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"
#include "tools/lib/SpoolWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using qltest::Contains;
using qltest::ExpectLines;

using Bytes = std::vector<uint8_t>;

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Gate]
"Printer Driver"="QL Spool Bridge"
"Port"="FILE1:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Local]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QLTarget]
"Printer Driver"="QL Spool Bridge"
"Port"="FILE3:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Hosts]
"CLIENT"="192.0.2.17"
)";

template <typename T> T Read(const uint8_t* p) {
    T v{};
    std::memcpy(&v, p, sizeof(v));
    return v;
}
DWORD ReadU32(const uint8_t* p) { return Read<DWORD>(p); }
WORD ReadU16(const uint8_t* p) { return Read<WORD>(p); }

// The gateway driver's device mode with a trailer and, optionally, the extension.
Bytes GatewayDevmode(DWORD trailerFlags, bool extension, WORD driverExtra = QL_DEVMODE_DRIVER_EXTRA) {
    qltools::DevmodeOptions o;
    o.driverExtra = driverExtra;
    o.extension = extension;
    o.trailerFlags = trailerFlags;
    return qltools::BuildDevmode(o);
}

DEVMODEW* AsDevmode(Bytes& b) { return reinterpret_cast<DEVMODEW*>(b.data()); }
DWORD TrailerFlags(const Bytes& dm) { return ReadU32(dm.data() + dm.size() - 4); }

constexpr DWORD kRules[4] = {0x00320A14, 0x00641E28, 0x00C82850, 0};

// A4 at 600 dpi with a 4 mm margin, in tenths of a millimetre as the
// single-precision scale HORZSIZE / HORZRES * 10 yields them.
constexpr short kA4Width = 2099, kA4Height = 2969;

class Destination : public qltest::HandJobTest {
protected:
    Destination() : HandJobTest(u"Gate") {}
    void SetUp() override {
        qltest::SetUpMachine(kMachine, "dest", qltest::Attach::LogOnly);
        HandJobTest::SetUp();
        Data()->dwCopies = 1;
        m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_OFF;
        m_cnf.fDPIReduction = 1;
    }
    void TearDown() override {
        if (Data()->pExtendedUserName) MemFreeT(&Data()->pExtendedUserName);
        qltest::SetViewLibraryAvailable(false);
        HandJobTest::TearDown();
    }

    void UseJobDevmode(Bytes dm) {
        m_jobDevmode = std::move(dm);
        Data()->pDevMode = AsDevmode(m_jobDevmode);
    }

    ComprCnf m_cnf = {};
    PRINTABLEAREACACHE m_area{};
    Bytes m_jobDevmode;
};

// ---- destination settings ----------------------------------------------------------

TEST_F(Destination, SettingsFollowTheTarget) {
    struct Case {
        const char* what;
        LPCWSTR nativeTarget;  // agentless native printing to this printer
        DWORD rule0, remote, held;
        DWORD agnpQL, rule0After, rule1After, dpiAfter, cachingAfter;
        bool fontsKept;
        const char16_t* line;
        const char16_t* notLine;
    } cases[] = {
        {"native, ordinary printer", WSTR("Local"), kRules[0], 0, 1, 0, COMPRESSION_RULE_OFF, 0, 0, 0, false,
         u"AGNP: Kompression:normal, DPIReduction:off, ImageRecall disabled, no IncludeFonts", u"Held Printing detected"},
        {"native, deletion kept", WSTR("Local"), COMPRESSION_RULE_DELETE, 0, 0, 0, COMPRESSION_RULE_DELETE, kRules[1], 1,
         0, false, u"AGNP: ", nullptr},
        {"native, gateway printer", WSTR("QLTarget"), kRules[0], 0, 1, 1, COMPRESSION_RULE_OFF, 0, 0, 0, true,
         u"Held Printing detected: Compression disabled", nullptr},
        {"print to remote wins", nullptr, kRules[0], 1, 1, 0, kRules[0], kRules[1], 1, 0, true,
         u"Print-To-Remote detected: ImageRecall disabled", u"Held Printing detected"},
    };
    qltest::SetViewLibraryAvailable(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ComprCnf cnf = {};
        cnf.fDPIReduction = 1;
        if (c.nativeTarget) lstrcpynW(cnf.szAgentlessNativePrinting, c.nativeTarget, MAX_PATH);
        std::memcpy(cnf.adwCompressionRule, kRules, sizeof(kRules));
        cnf.adwCompressionRule[0] = c.rule0;
        cnf.fBitmapCaching = 1;
        cnf.pIncludeFonts = AllocSplStr(WSTR("Arial"));
        Data()->fRemotePort = c.remote;
        Data()->fHeldPrintingPort = c.held;
        Data()->fAGNPQLPrinter = 0;
        Data()->pIncludeFonts = nullptr;
        ApplyDestinationSettings(Data(), &cnf);
        EXPECT_EQ(Data()->fAGNPQLPrinter, c.agnpQL);
        EXPECT_EQ(cnf.adwCompressionRule[0], c.rule0After);
        EXPECT_EQ(cnf.adwCompressionRule[1], c.rule1After);
        EXPECT_EQ(cnf.fDPIReduction, c.dpiAfter);
        EXPECT_EQ(cnf.fBitmapCaching, c.cachingAfter);
        EXPECT_EQ(cnf.pIncludeFonts != nullptr, c.fontsKept);
        EXPECT_EQ(Data()->pIncludeFonts, cnf.pIncludeFonts);
        const auto lines = Lines();
        EXPECT_TRUE(Contains(lines, c.line));
        EXPECT_FALSE(c.notLine && Contains(lines, c.notLine));
        ReleaseCompressionConfig(&cnf);
    }
}

// ---- device mode adjustment ----------------------------------------------------------

TEST_F(Destination, PaperCodesGoThroughTheFormsTable) {
    WORD aForms[] = {100, 101, 102, 103, 7};  // four entries and the terminating word
    WORD* pSaved = g_pForms;
    const DWORD cSaved = g_cForms;
    g_pForms = aForms;
    g_cForms = 4;
    const auto translate = [&](short code, DWORD fields = DM_PAPERSIZE | DM_ORIENTATION) {
        Bytes dm = GatewayDevmode(0, false, 0);
        AsDevmode(dm)->dmPaperSize = code;
        AsDevmode(dm)->dmFields = fields;
        AdjustDevmode(Data()->hPrinter, AsDevmode(dm), &m_area, m_printerName.c_str());
        return AsDevmode(dm)->dmPaperSize;
    };
    EXPECT_EQ(translate(0), 100);
    EXPECT_EQ(translate(2), 102);
    EXPECT_EQ(translate(4), 7);  // the terminator
    EXPECT_EQ(translate(9), 265);
    EXPECT_EQ(translate(-3), -3);
    EXPECT_EQ(translate(2, DM_ORIENTATION), 2);
    g_pForms = pSaved;
    g_cForms = cSaved;
}

TEST_F(Destination, OneDeviceContextPerFormAndOrientation) {
    const auto patch = [&](short orientation, const std::u16string& form) {
        qltools::DevmodeOptions o;
        o.orientation = orientation;
        o.formName = form;
        Bytes dm = qltools::BuildDevmode(o);
        PatchDevmodeRecord(Data(), &m_cnf, &m_area, dm.data(), static_cast<DWORD>(dm.size()));
        return AsDevmode(dm)->dmPaperWidth;
    };
    EXPECT_EQ(patch(1, u"A4"), kA4Width);
    EXPECT_EQ(patch(1, u"a4"), kA4Width);
    EXPECT_EQ(patch(1, u"Other name"), kA4Width);  // same paper code
    EXPECT_EQ(pal::host::DeviceContexts().size(), 1u);
    EXPECT_EQ(patch(2, u"A4"), kA4Height);
    EXPECT_EQ(pal::host::DeviceContexts().size(), 2u);

    // Without a device context the device mode is left alone.
    pal::host::InjectFault({.call = "CreateDCW"});
    m_area = {};
    Bytes dm = GatewayDevmode(0, false, 8);
    AsDevmode(dm)->dmPaperSize = DMPAPER_LETTER;
    const Bytes before = dm;
    AdjustDevmode(Data()->hPrinter, AsDevmode(dm), &m_area, m_printerName.c_str());
    EXPECT_EQ(dm, before);
    EXPECT_FALSE(m_area.fOrientationValid);
}

// ---- device mode block -------------------------------------------------------------------

// ---- device mode records and the extended user name --------------------------------------------

TEST_F(Destination, NativePrintingCopiesTheDevmodeIntoTheWorkingBuffer) {
    UseJobDevmode(GatewayDevmode(0, false));
    Bytes work(m_jobDevmode.size() + 1024, 0xCC);
    EXPECT_TRUE(WriteDevmodeBlock(Data(), &m_cnf, &m_area, work.data(), TRUE));
    EXPECT_TRUE(pal::host::PortDocuments().empty());
    EXPECT_EQ(ReadU16(&work[offsetof(DEVMODEW, dmDriverExtra)]), 8u);
    EXPECT_EQ(ReadU32(&work[220]), QL_PRIVATEDEVMODE_SIGNATURE);
    EXPECT_EQ(ReadU32(&work[224]), QL_DM_IMGAREA | QL_IGNORE_TRAYS);
    EXPECT_EQ(work[228], 0xCC);
}

// ---- device mode records and the extended user name --------------------------------------------

TEST_F(Destination, RecordPatch) {
    qltools::DevmodeOptions o;
    o.extension = true;
    o.trailerFlags = QL_IGNORE_TRAYS;
    std::copy(std::begin(kRules), std::end(kRules), o.compressionRules);
    Bytes dm = qltools::BuildDevmode(o);
    m_cnf.fOptionTrays = 1;
    m_cnf.fRescaleOptSet = 1;
    m_cnf.dwRescaleOpt = 2;
    PatchDevmodeRecord(Data(), &m_cnf, &m_area, dm.data(), static_cast<DWORD>(dm.size()));
    EXPECT_EQ(TrailerFlags(dm), QL_DM_IMGAREA | QL_DONT_RESIZE);
    EXPECT_EQ(m_cnf.adwCompressionRule[1], kRules[1]);
    EXPECT_EQ(AsDevmode(dm)->dmDriverExtra, QL_DEVMODE_DRIVER_EXTRA);

    // Private bytes of another driver are zeroed and no longer counted.
    Bytes foreign = GatewayDevmode(0, false, 0);
    foreign.resize(220 + 40, 0xEE);
    AsDevmode(foreign)->dmDriverExtra = 40;
    PatchDevmodeRecord(Data(), &m_cnf, &m_area, foreign.data(), static_cast<DWORD>(foreign.size()));
    EXPECT_EQ(AsDevmode(foreign)->dmDriverExtra, 0);
    EXPECT_EQ(Bytes(foreign.begin() + 220, foreign.end()), Bytes(40, 0));

    // A device mode claiming more bytes than its record holds is not touched.
    Bytes lying = GatewayDevmode(0, true);
    AsDevmode(lying)->dmDriverExtra = 2000;
    const Bytes before = lying;
    PatchDevmodeRecord(Data(), &m_cnf, &m_area, lying.data(), static_cast<DWORD>(lying.size()));
    EXPECT_EQ(lying, before);
}

TEST_F(Destination, ExtendedUserName) {
    const auto build = [&](const std::u16string& machine) {
        pal::host::JobSpec job;
        job.printer = u"Gate";
        job.user = u"alice";
        job.machine = machine;
        job.data = {1, 2, 3};
        Data()->dwJobId = pal::host::SubmitJob(job);
        std::u16string name = pal::host::JobReadName(Data()->dwJobId);
        HANDLE hReader = nullptr;
        EXPECT_TRUE(OpenPrinterW(name.data(), &hReader, nullptr));
        if (Data()->pExtendedUserName) MemFreeT(&Data()->pExtendedUserName);
        BuildExtendedUserName(Data(), hReader);
        ClosePrinter(hReader);
        return Data()->pExtendedUserName ? std::u16string(Data()->pExtendedUserName) : u"<none>";
    };
    EXPECT_EQ(build(u"\\\\CLIENT"), u"alice[192.0.2.17]");
    EXPECT_TRUE(Contains(Lines(), u"ExtendName=1"));
    EXPECT_EQ(build(u"\\\\NOWHERE"), u"alice[NOWHERE]") << "a machine that does not resolve";
    pal::host::InjectFault({.call = "GetJobW"});
    EXPECT_EQ(build(u"\\\\CLIENT"), u"<none>") << "no job information";
}

// ---- compression rules from the device mode extension ---------------------------------

TEST_F(Destination, AdoptCompressionFromTheExtension) {
    constexpr DWORD kPrinterRules[5] = {0x00140A0A, 0x00281414, 0x003C1E1E, 0x00502828, 0x00003232};
    Bytes devmode;
    // An extension with the given first rule (rules 1 to 3 fixed) and fields.
    const auto extension = [&](DWORD rule0, DWORD fields = 0xC00) {
        qltools::DevmodeOptions o;
        o.extension = true;
        o.trailerFlags = 0;
        o.extensionFields = fields;
        const DWORD rules[4] = {rule0, 0x00641E28, 0x00C82850, 0};
        std::copy(std::begin(rules), std::end(rules), o.compressionRules);
        o.bitmapDPIReduction = 0;
        devmode = qltools::BuildDevmode(o);
        std::memcpy(m_cnf.adwCompressionRule, kPrinterRules, sizeof(kPrinterRules));
        m_cnf.fDPIReduction = 1;
        return FindDevmodeExtension(AsDevmode(devmode));
    };
    const auto printerRulesKept = [&] {
        return std::memcmp(m_cnf.adwCompressionRule, kPrinterRules, sizeof(kPrinterRules)) == 0 &&
               m_cnf.fDPIReduction == 1;
    };

    AdoptDevmodeCompression(extension(0x00320A14), &m_cnf, FALSE);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], 0x00320A14u);
    EXPECT_EQ(m_cnf.adwCompressionRule[2], 0x00C82850u);
    EXPECT_EQ(m_cnf.adwCompressionRule[3], 0u);
    EXPECT_EQ(m_cnf.adwCompressionRule[4], kPrinterRules[4]);  // behind the copied ones
    EXPECT_EQ(m_cnf.fDPIReduction, 0u);
    EXPECT_TRUE(Contains(Lines(), u"Compression Settings are took from devmode"));

    // Deletion only: anything but deletion is ignored, the reduction is kept.
    AdoptDevmodeCompression(extension(COMPRESSION_RULE_OFF), &m_cnf, TRUE);
    EXPECT_TRUE(printerRulesKept());
    AdoptDevmodeCompression(extension(COMPRESSION_RULE_DELETE), &m_cnf, TRUE);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], COMPRESSION_RULE_DELETE);
    EXPECT_EQ(m_cnf.adwCompressionRule[1], 0x00641E28u);
    EXPECT_EQ(m_cnf.fDPIReduction, 1u);

    Lines();
    AdoptDevmodeCompression(extension(0x00320A14, 0x800), &m_cnf, FALSE);
    EXPECT_TRUE(printerRulesKept());
    auto lines = Lines();
    ExpectLines(lines, {u"QL_EDF_MASK_COMPRESSION no set in devmode"}, {u"Compression Settings are took from devmode"});

    AdoptDevmodeCompression(extension(0), nullptr, FALSE);
    AdoptDevmodeCompression(nullptr, &m_cnf, FALSE);
    EXPECT_TRUE(printerRulesKept());
    lines = Lines();
    ExpectLines(lines, {u"!(pComprCnf == 0)", u"!(pDevmodeExt == 0)"});
}

}  // namespace

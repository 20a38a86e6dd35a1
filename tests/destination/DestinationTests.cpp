// Destination settings, the device mode adjustment, the four forms of the
// device mode block, the device mode record patch, the compression rules taken
// from the device mode extension and the extended user name.
//
// The machine: the gateway printer "Gate" on FILE1: (default geometry: 600
// dpi, 4 mm margin), an ordinary printer "Local" and a second gateway printer
// "QLTarget" as native-printing targets, a hosts list naming the client
// "CLIENT", and the debug log sent to the debugger channel. Each test gets a
// fresh job record with "Gate" open.
#include "diag/DbgLog.h"

#include "support/TestMachine.h"
#include "emf/ComprCnf.h"
#include "gateway/Destination.h"
#include "native/Devmode.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "palhost.h"
#include "printproc/JobContainers.h"
#include "printproc/PrintProcessorData.h"
#include "printproc/Util.h"
#include "printproc/Winprint.h"
#include "tools/lib/SpoolWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using qltest::Contains;

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

void EnsureMachine() {
    qltest::SetUpMachine(kMachine, "dest", qltest::Attach::LogOnly);
}

DWORD ReadU32(const uint8_t* p) {
    DWORD v = 0;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// The gateway driver's device mode with a trailer and, optionally, the extension.
Bytes GatewayDevmode(DWORD trailerFlags, bool extension, WORD driverExtra = QL_DEVMODE_DRIVER_EXTRA) {
    qltools::DevmodeOptions o;
    o.driverExtra = driverExtra;
    o.extension = extension;
    o.trailerFlags = trailerFlags;
    return qltools::BuildDevmode(o);
}

DEVMODEW* AsDevmode(Bytes& b) { return reinterpret_cast<DEVMODEW*>(b.data()); }

class DestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMachine();
        pal::host::ResetSpooler();
        m_data = std::make_unique<PRINTPROCESSORDATA>();
        m_data->dwSignature = PRINTPROCESSOR_SIGNATURE;
        m_data->cbSize = sizeof(PRINTPROCESSORDATA);
        m_data->pHoleList = &m_holes;
        m_data->pBitmapCache = &m_cache;
        m_data->pPrinterName = m_printerName.data();
        m_data->dwCopies = 1;
        std::u16string name = u"Gate";
        EXPECT_TRUE(OpenPrinterW(name.data(), &m_data->hPrinter, nullptr));
        std::memset(&m_cnf, 0, sizeof(m_cnf));
        m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_OFF;
        m_cnf.fDPIReduction = 1;
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        if (m_data->hPrinter) ClosePrinter(m_data->hPrinter);
        if (m_data->pExtendedUserName) MemFreeT(&m_data->pExtendedUserName);
        pal::host::ClearFaults();
        SetViewFunctionsForTest(nullptr);
    }

    PPRINTPROCESSORDATA Data() { return m_data.get(); }
    std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }

    std::u16string m_printerName = u"Gate";
    std::unique_ptr<PRINTPROCESSORDATA> m_data;
    ComprCnf m_cnf;
    PRINTABLEAREACACHE m_area{};
    CHoleList m_holes;
    CBitmapCacheMap m_cache;
};


constexpr DWORD kRules[4] = {0x00320A14, 0x00641E28, 0x00C82850, 0};

// A4 and Letter at 600 dpi with a 4 mm margin, in tenths of a millimetre as
// the single-precision scale HORZSIZE / HORZRES * 10 yields them.
constexpr short kA4Width = 2099, kA4Height = 2969;
constexpr short kLetterWidth = 2159, kLetterHeight = 2794;
constexpr DWORD kOffsets = (39u << 16) | 39u;

DWORD TrailerFlags(const Bytes& dm) { return ReadU32(dm.data() + dm.size() - 4); }

WORD ReadU16(const uint8_t* p) {
    WORD v = 0;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

class Destination : public DestinationTest {
protected:
    // The port's bytes of one document holding the device mode block.
    Bytes WriteBlock() {
        std::u16string doc = u"Doc", type = u"RAW";
        DOC_INFO_1W info{doc.data(), nullptr, type.data()};
        EXPECT_NE(MyStartDocPrinter(Data(), 1, &info, FALSE), 0u);
        EXPECT_TRUE(WriteDevmodeBlock(Data(), &m_cnf, &m_area, nullptr, FALSE));
        MyEndDocPrinter(Data(), FALSE);
        auto docs = pal::host::PortDocuments();
        EXPECT_EQ(docs.size(), 1u);
        return docs.empty() ? Bytes{} : pal::host::PortDocumentBytes(docs.front());
    }
    void UseJobDevmode(Bytes dm) {
        m_jobDevmode = std::move(dm);
        Data()->pDevMode = AsDevmode(m_jobDevmode);
    }
    void EnableViewLibrary() {
        static const ViewFunctions functions;
        SetViewFunctionsForTest(&functions);
    }
    Bytes m_jobDevmode;
};

// ---- destination settings ----------------------------------------------------------

TEST_F(Destination, NativePrintingOnOrdinaryPrinterSendsPlainBitmapsWithoutFonts) {
    EnableViewLibrary();
    lstrcpynW(m_cnf.szAgentlessNativePrinting, WSTR("Local"), MAX_PATH);
    std::memcpy(m_cnf.adwCompressionRule, kRules, sizeof(kRules));
    m_cnf.fBitmapCaching = 1;
    m_cnf.pIncludeFonts = AllocSplStr(WSTR("Arial"));
    Data()->fHeldPrintingPort = 1;

    ApplyDestinationSettings(Data(), &m_cnf);
    EXPECT_EQ(Data()->fAGNPQLPrinter, 0u);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], COMPRESSION_RULE_OFF);
    EXPECT_EQ(m_cnf.adwCompressionRule[1], 0u);
    EXPECT_EQ(m_cnf.fDPIReduction, 0u);
    EXPECT_EQ(m_cnf.fBitmapCaching, 0u);
    EXPECT_EQ(m_cnf.pIncludeFonts, nullptr);
    EXPECT_EQ(Data()->pIncludeFonts, nullptr);
    const auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"AGNP: Kompression:normal, DPIReduction:off, ImageRecall disabled, no IncludeFonts"));
    EXPECT_FALSE(Contains(lines, u"Held Printing detected"));
}

TEST_F(Destination, NativePrintingKeepsBitmapDeletionAndResolutionReduction) {
    EnableViewLibrary();
    lstrcpynW(m_cnf.szAgentlessNativePrinting, WSTR("Local"), MAX_PATH);
    m_cnf.adwCompressionRule[0] = COMPRESSION_RULE_DELETE;
    ApplyDestinationSettings(Data(), &m_cnf);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], COMPRESSION_RULE_DELETE);
    EXPECT_EQ(m_cnf.fDPIReduction, 1u);
}

TEST_F(Destination, NativePrintingOnGatewayPrinterFollowsThePortRules) {
    EnableViewLibrary();
    lstrcpynW(m_cnf.szAgentlessNativePrinting, WSTR("QLTarget"), MAX_PATH);
    std::memcpy(m_cnf.adwCompressionRule, kRules, sizeof(kRules));
    m_cnf.fBitmapCaching = 1;
    m_cnf.pIncludeFonts = AllocSplStr(WSTR("Arial"));
    Data()->fHeldPrintingPort = 1;

    ApplyDestinationSettings(Data(), &m_cnf);
    EXPECT_EQ(Data()->fAGNPQLPrinter, 1u);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], COMPRESSION_RULE_OFF);
    EXPECT_EQ(m_cnf.fBitmapCaching, 0u);
    EXPECT_EQ(Data()->pIncludeFonts, m_cnf.pIncludeFonts);
    EXPECT_TRUE(Contains(Lines(), u"Held Printing detected: Compression disabled"));
    ReleaseCompressionConfig(&m_cnf);
}

TEST_F(Destination, PrintToRemoteOnlyTurnsTheImageCacheOff) {
    std::memcpy(m_cnf.adwCompressionRule, kRules, sizeof(kRules));
    m_cnf.fBitmapCaching = 1;
    Data()->fRemotePort = 1;
    Data()->fHeldPrintingPort = 1;  // a remote port wins
    ApplyDestinationSettings(Data(), &m_cnf);
    EXPECT_EQ(m_cnf.fBitmapCaching, 0u);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], kRules[0]);
    EXPECT_EQ(m_cnf.fDPIReduction, 1u);
    const auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"Print-To-Remote detected: ImageRecall disabled"));
    EXPECT_FALSE(Contains(lines, u"Held Printing detected"));
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

TEST_F(Destination, PhysicalSizeAndOffsetsComeFromThePrinter) {
    Bytes a4 = GatewayDevmode(0, false, 8);
    AdjustDevmode(Data()->hPrinter, AsDevmode(a4), &m_area, m_printerName.c_str());
    EXPECT_EQ(AsDevmode(a4)->dmPaperWidth, kA4Width);
    EXPECT_EQ(AsDevmode(a4)->dmPaperLength, kA4Height);
    EXPECT_EQ(AsDevmode(a4)->dmFields & (DM_PAPERWIDTH | DM_PAPERLENGTH), DWORD(DM_PAPERWIDTH | DM_PAPERLENGTH));
    EXPECT_EQ(TrailerFlags(a4), QL_DM_IMGAREA);
    EXPECT_EQ(AsDevmode(a4)->dmDisplayFrequency, kOffsets);

    // Letter, landscape A4, and no trailer: sizes only.
    qltools::DevmodeOptions o;
    o.paperSize = DMPAPER_LETTER;
    o.formName = u"Letter";
    Bytes letter = qltools::BuildDevmode(o);
    AdjustDevmode(Data()->hPrinter, AsDevmode(letter), &m_area, m_printerName.c_str());
    EXPECT_EQ(AsDevmode(letter)->dmPaperWidth, kLetterWidth);
    EXPECT_EQ(AsDevmode(letter)->dmPaperLength, kLetterHeight);
    EXPECT_EQ(AsDevmode(letter)->dmDisplayFrequency, 0u);

    o = {};
    o.orientation = DMORIENT_LANDSCAPE;
    Bytes landscape = qltools::BuildDevmode(o);
    AdjustDevmode(Data()->hPrinter, AsDevmode(landscape), &m_area, m_printerName.c_str());
    EXPECT_EQ(AsDevmode(landscape)->dmPaperWidth, kA4Height);
    EXPECT_EQ(AsDevmode(landscape)->dmPaperLength, kA4Width);
    EXPECT_EQ(pal::host::DeviceContexts().size(), 3u);
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
}

TEST_F(Destination, NoDeviceContextLeavesTheDevmodeAlone) {
    pal::host::InjectFault({.call = "CreateDCW"});
    Bytes dm = GatewayDevmode(0, false, 8);
    const Bytes before = dm;
    AdjustDevmode(Data()->hPrinter, AsDevmode(dm), &m_area, m_printerName.c_str());
    EXPECT_EQ(dm, before);
    EXPECT_FALSE(m_area.fOrientationValid);
}

// ---- device mode block -------------------------------------------------------------------

TEST_F(Destination, PublicPartOnlyWithoutTrailer) {
    Bytes dm = GatewayDevmode(0, false, 0);
    dm.resize(dm.size() - 8);  // no private bytes at all
    AsDevmode(dm)->dmDriverExtra = 0;
    UseJobDevmode(dm);
    const Bytes out = WriteBlock();
    ASSERT_EQ(out.size(), 1u + 4u + 220u);
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(ReadU32(&out[1]), 225u);
    EXPECT_EQ(AsDevmode(m_jobDevmode)->dmPaperSize, 0);  // later copies send paper size 0

    // Private bytes of another driver are left out, and come back afterwards.
    Bytes foreign = GatewayDevmode(0, false, 0);
    foreign.resize(foreign.size() - 8 + 16, 0xEE);
    AsDevmode(foreign)->dmDriverExtra = 16;
    UseJobDevmode(foreign);
    pal::host::ResetSpooler();
    const Bytes out2 = WriteBlock();
    ASSERT_EQ(out2.size(), 225u);
    EXPECT_EQ(ReadU32(&out2[1]), 225u);
    EXPECT_EQ(ReadU16(&out2[5 + offsetof(DEVMODEW, dmDriverExtra)]), 0u);
    EXPECT_EQ(AsDevmode(m_jobDevmode)->dmDriverExtra, 16);
}

TEST_F(Destination, TrailerWithoutExtensionFollowsThePublicPart) {
    UseJobDevmode(GatewayDevmode(QL_PREVIEW_ON_CLIENT, false));
    m_cnf.fOptionTrays = 0;
    const Bytes out = WriteBlock();
    ASSERT_EQ(out.size(), 5u + 220u + 8u);
    EXPECT_EQ(ReadU32(&out[1]), 233u);
    EXPECT_EQ(ReadU16(&out[5 + offsetof(DEVMODEW, dmDriverExtra)]), 8u);
    EXPECT_EQ(ReadU32(&out[225]), QL_PRIVATEDEVMODE_SIGNATURE);
    EXPECT_EQ(ReadU32(&out[229]), QL_PREVIEW_ON_CLIENT | QL_DM_IMGAREA | QL_IGNORE_TRAYS);
    EXPECT_EQ(AsDevmode(m_jobDevmode)->dmDriverExtra, QL_DEVMODE_DRIVER_EXTRA);
}

TEST_F(Destination, FullDevmodeCarriesItsCompressionRulesIntoTheJob) {
    qltools::DevmodeOptions o;
    o.extension = true;
    o.trailerFlags = 0;
    std::copy(std::begin(kRules), std::end(kRules), o.compressionRules);
    o.bitmapDPIReduction = 0;
    UseJobDevmode(qltools::BuildDevmode(o));
    m_cnf.fOptionTrays = 1;
    const Bytes out = WriteBlock();
    ASSERT_EQ(out.size(), 5u + QL_DEVMODE_SIZE);
    EXPECT_EQ(ReadU32(&out[1]), QL_DEVMODE_SIZE + 5);
    EXPECT_EQ(ReadU32(&out[out.size() - 4]), QL_DM_IMGAREA);
    EXPECT_EQ(m_cnf.adwCompressionRule[2], kRules[2]);
    EXPECT_EQ(m_cnf.fDPIReduction, 0u);
}

TEST_F(Destination, ExactlyATrailerIsSentAsItIs) {
    UseJobDevmode(GatewayDevmode(QL_PREVIEW_ON_CLIENT, false, 8));
    m_cnf.fRescaleOptSet = 1;
    m_cnf.dwRescaleOpt = 3;
    const Bytes out = WriteBlock();
    ASSERT_EQ(out.size(), 5u + 228u);
    EXPECT_EQ(ReadU32(&out[1]), 233u);
    // Only the adjustment's own bit: no tray or rescale flags from the configuration.
    EXPECT_EQ(ReadU32(&out[229]), QL_PREVIEW_ON_CLIENT | QL_DM_IMGAREA);
}

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

// ---- device mode records ---------------------------------------------------------------------

TEST_F(Destination, RecordPatchAdoptsExtensionAndSetsFlags) {
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
}

TEST_F(Destination, RecordPatchRemovesForeignPrivateBytes) {
    Bytes dm = GatewayDevmode(0, false, 0);
    dm.resize(220 + 40, 0xEE);
    AsDevmode(dm)->dmDriverExtra = 40;
    PatchDevmodeRecord(Data(), &m_cnf, &m_area, dm.data(), static_cast<DWORD>(dm.size()));
    EXPECT_EQ(AsDevmode(dm)->dmDriverExtra, 0);
    EXPECT_EQ(dm.size(), 260u);
    EXPECT_EQ(Bytes(dm.begin() + 220, dm.end()), Bytes(40, 0));

    // A device mode claiming more bytes than its record holds is not touched.
    Bytes lying = GatewayDevmode(0, true);
    AsDevmode(lying)->dmDriverExtra = 2000;
    const Bytes before = lying;
    PatchDevmodeRecord(Data(), &m_cnf, &m_area, lying.data(), static_cast<DWORD>(lying.size()));
    EXPECT_EQ(lying, before);
}

// ---- extended user name ----------------------------------------------------------------------

class ExtendedUserName : public DestinationTest {
protected:
    std::u16string Build(const std::u16string& machine) {
        pal::host::JobSpec job;
        job.printer = u"Gate";
        job.user = u"alice";
        job.machine = machine;
        job.data = {1, 2, 3};
        Data()->dwJobId = pal::host::SubmitJob(job);
        std::u16string name = pal::host::JobReadName(Data()->dwJobId);
        HANDLE hReader = nullptr;
        EXPECT_TRUE(OpenPrinterW(name.data(), &hReader, nullptr));
        BuildExtendedUserName(Data(), hReader);
        ClosePrinter(hReader);
        return Data()->pExtendedUserName ? std::u16string(Data()->pExtendedUserName) : u"<none>";
    }
};

TEST_F(ExtendedUserName, AddressOfAResolvingMachine) {
    EXPECT_EQ(Build(u"\\\\CLIENT"), u"alice[192.0.2.17]");
    EXPECT_TRUE(Contains(Lines(), u"ExtendName=1"));
}

TEST_F(ExtendedUserName, NameOfAMachineThatDoesNotResolve) {
    EXPECT_EQ(Build(u"\\\\NOWHERE"), u"alice[NOWHERE]");
}

TEST_F(ExtendedUserName, NoneWithoutJobInformation) {
    pal::host::InjectFault({.call = "GetJobW"});
    EXPECT_EQ(Build(u"\\\\CLIENT"), u"<none>");
}

// ---- compression rules from the device mode extension ---------------------------------


constexpr DWORD kPrinterRules[5] = {0x00140A0A, 0x00281414, 0x003C1E1E, 0x00502828, 0x00003232};

class AdoptCompression : public DestinationTest {
protected:
    void SetUp() override {
        DestinationTest::SetUp();
        std::memcpy(m_cnf.adwCompressionRule, kPrinterRules, sizeof(kPrinterRules));
    }
    // An extension with the given first rule (rules 1 to 3 fixed) and fields.
    const PRIVATEDEVMODEEXT* Extension(DWORD rule0, DWORD fields = 0xC00) {
        qltools::DevmodeOptions o;
        o.extension = true;
        o.trailerFlags = 0;
        o.extensionFields = fields;
        o.compressionRules[0] = rule0;
        o.compressionRules[1] = 0x00641E28;
        o.compressionRules[2] = 0x00C82850;
        o.compressionRules[3] = 0;
        o.bitmapDPIReduction = 0;
        m_devmode = qltools::BuildDevmode(o);
        return FindDevmodeExtension(AsDevmode(m_devmode));
    }
    bool PrinterRulesKept() {
        return std::memcmp(m_cnf.adwCompressionRule, kPrinterRules, sizeof(kPrinterRules)) == 0 &&
               m_cnf.fDPIReduction == 1;
    }
    Bytes m_devmode;
};

TEST_F(AdoptCompression, TakesRulesAndResolutionReduction) {
    AdoptDevmodeCompression(Extension(0x00320A14), &m_cnf, FALSE);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], 0x00320A14u);
    EXPECT_EQ(m_cnf.adwCompressionRule[2], 0x00C82850u);
    EXPECT_EQ(m_cnf.adwCompressionRule[3], 0u);
    EXPECT_EQ(m_cnf.adwCompressionRule[4], kPrinterRules[4]);  // behind the copied ones
    EXPECT_EQ(m_cnf.fDPIReduction, 0u);
    EXPECT_TRUE(Contains(Lines(), u"Compression Settings are took from devmode"));
}

TEST_F(AdoptCompression, DeletionOnlyTakesNothingButDeletion) {
    AdoptDevmodeCompression(Extension(COMPRESSION_RULE_OFF), &m_cnf, TRUE);
    EXPECT_TRUE(PrinterRulesKept());
    EXPECT_TRUE(Contains(Lines(), u"Compression Settings are took from devmode"));

    AdoptDevmodeCompression(Extension(COMPRESSION_RULE_DELETE), &m_cnf, TRUE);
    EXPECT_EQ(m_cnf.adwCompressionRule[0], COMPRESSION_RULE_DELETE);
    EXPECT_EQ(m_cnf.adwCompressionRule[1], 0x00641E28u);
    EXPECT_EQ(m_cnf.fDPIReduction, 1u);  // kept under deletion-only
}

TEST_F(AdoptCompression, ExtensionWithoutCompressionFieldsChangesNothing) {
    AdoptDevmodeCompression(Extension(0x00320A14, 0x800), &m_cnf, FALSE);
    EXPECT_TRUE(PrinterRulesKept());
    const auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"QL_EDF_MASK_COMPRESSION no set in devmode"));
    EXPECT_FALSE(Contains(lines, u"Compression Settings are took from devmode"));
}

TEST_F(AdoptCompression, MissingRecordsAreChecked) {
    AdoptDevmodeCompression(Extension(0), nullptr, FALSE);
    AdoptDevmodeCompression(nullptr, &m_cnf, FALSE);
    EXPECT_TRUE(PrinterRulesKept());
    const auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"!(pComprCnf == 0)"));
    EXPECT_TRUE(Contains(lines, u"!(pDevmodeExt == 0)"));
}

}  // namespace

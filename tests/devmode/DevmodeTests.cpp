// The gateway driver's private device mode: finders, dump, version
// conversion, default device mode and the validating merge.
#include "diag/DbgLog.h"
#include "native/Devmode.h"
#include "native/QLDDCommon.h"
#include "palhost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

// Packed fields are compared through a unary + so that no reference binds to
// a misaligned member.
namespace {

using Block = std::vector<BYTE>;

DEVMODEW* Dm(Block& b) { return reinterpret_cast<DEVMODEW*>(b.data()); }
PRIVATEDEVMODEEXT* Ext(Block& b) { return reinterpret_cast<PRIVATEDEVMODEEXT*>(b.data() + 220); }
PRIVATEDEVMODE* Trailer(Block& b) { return reinterpret_cast<PRIVATEDEVMODE*>(b.data() + b.size() - 8); }

DEVCAPSFORM Form(DWORD code, const std::u16string& name, LONG width, LONG length) {
    DEVCAPSFORM f = {};
    f.dwPaperSize = code;
    std::copy(name.begin(), name.end(), f.szFormName);
    f.lPaperWidth = width;
    f.lPaperLength = length;
    return f;
}

const DEVCAPSFORM kForms[] = {Form(DMPAPER_LETTER, u"Letter", 2159, 2794), Form(DMPAPER_LEGAL, u"Legal", 2159, 3556),
                              Form(DMPAPER_A4, u"A4", 2100, 2970)};

DEVCAPSINFO AllCaps() {
    DEVCAPSINFO c = {};
    c.dwFormCount = 3;
    c.pForms = kForms;
    c.dwCapFlags = 0x3FD;
    c.dwPunchingSupport = c.dwStaplingSupport = c.dwBindingSupport = 0xFFFF;
    c.dwNupDirectionSupport = c.dwNupSheetsSupport = 0xFF;
    c.dwMinGutter = 10;
    c.dwMaxGutter = 100;
    return c;
}

Block Gateway(BOOL metric = TRUE, const DEVCAPSINFO& caps = AllCaps()) {
    Block b(QL_DEVMODE_SIZE);
    EXPECT_TRUE(BuildDefaultDevmode(metric, Dm(b), WSTR("QL Spool Bridge"), &caps));
    return b;
}

std::u16string Str(const WCHAR* p) {
    std::u16string s;
    for (size_t i = 0; i < 32 && p[i]; ++i) s.push_back(p[i]);
    return s;
}

std::u16string FlagsText(DWORD flags, size_t cch = DEVMODE_FLAGS_TEXT_CCH) {
    std::vector<WCHAR> buf(cch, u'#');
    return DevmodeFlagsText(flags, buf.data(), cch);
}

// ---- finders, flags text, value tables --------------------------------------------------------

TEST(DevmodeFinders, TrailerAndExtensionRules) {
    Block b = Gateway();
    EXPECT_EQ(reinterpret_cast<const BYTE*>(FindPrivateDevmode(Dm(b))), b.data() + 1244);
    EXPECT_EQ(reinterpret_cast<const BYTE*>(FindDevmodeExtension(Dm(b))), b.data() + 220);
    EXPECT_EQ(FindDevmodeExtension(Dm(b), 1251), nullptr);  // block shorter than it claims
    EXPECT_EQ(FindDevmodeExtension(static_cast<DEVMODEW*>(nullptr)), nullptr);

    for (DWORD size : {526u, 527u, 0xFFFFFFFFu}) {
        Ext(b)->dwSize = size;
        EXPECT_EQ(FindDevmodeExtension(Dm(b)) != nullptr, size >= 527) << size;
    }
    b[223] = 'Y';  // "QLEY"
    EXPECT_EQ(FindDevmodeExtension(Dm(b)), nullptr);
    b[223] = 'X';
    b[1244] = 'X';  // "QLEX" present, trailer missing
    EXPECT_EQ(FindPrivateDevmode(Dm(b)), nullptr);
    EXPECT_EQ(FindDevmodeExtension(Dm(b)), nullptr);

    Block small = Gateway();  // one private byte less, trailer moved to the end
    small.resize(1251);
    Dm(small)->dmDriverExtra = 1031;
    std::memcpy(small.data() + 1243, "QLPD", 4);
    EXPECT_NE(FindPrivateDevmode(Dm(small)), nullptr);
    EXPECT_EQ(FindDevmodeExtension(Dm(small)), nullptr);
}

TEST(DevmodeFinders, TrailerForAnyPrivateAreaOfEightBytesOrMore) {
    Block b(220);
    Dm(b)->dmSize = 212;
    Dm(b)->dmDriverExtra = 8;
    std::memcpy(b.data() + 212, "QLPD\x18\0\0\0", 8);
    const PRIVATEDEVMODE* p = FindPrivateDevmode(Dm(b));
    ASSERT_EQ(reinterpret_cast<const BYTE*>(p), b.data() + 212);
    EXPECT_EQ(+p->dwFlags, 0x18u);
    EXPECT_EQ(FindDevmodeExtension(Dm(b)), nullptr);
    Dm(b)->dmSize = 213;
    Dm(b)->dmDriverExtra = 7;  // the signature at 212 no longer counts
    EXPECT_EQ(FindPrivateDevmode(Dm(b)), nullptr);
}

// ---- dump ----------------------------------------------------------------------------------

class DevmodeDump : public testing::Test {
protected:
    // Without the socket layer started: the log makes no syslog socket.
    static void SetUpTestSuite() {
        s_root = std::filesystem::temp_directory_path() / ("devmode-" + std::to_string(::getpid()));
        std::filesystem::create_directories(s_root);
        pal::host::SetDriveRoot(s_root.string());
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText("Windows Registry Editor Version 5.00\n\n"
                                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\QLWinPrn]\n"
                                                "\"DebugLevel\"=dword:00020001\n"
                                                "\"DebugFile\"=\"C:\\\\devmode.log\"\n",
                                                "devmode-test", &error))
            << error;
        g_DbgLog.Init(WSTR("QLWinPrn"), WSTR("Software\\Quillon\\QLWinPrn"));
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(s_root); }
    void SetUp() override {
        ASSERT_EQ(g_dwDebugLevel, 0x20001u);
        pal::host::TakeDebugOutput();
        std::filesystem::remove(s_root / "devmode.log");
    }
    void TearDown() override { g_dwDebugLevel = 0x20001; }

    // Debugger lines, and the message part of each (after "(00000000) ").
    std::vector<std::string> Take() {
        m_lines.clear();
        m_msgs.clear();
        for (const auto& s : pal::host::TakeDebugOutput()) {
            const std::string& l = m_lines.emplace_back(pal::host::ToUtf8(s));
            const size_t pos = l.find("(00000000) ");
            std::string m = pos == std::string::npos ? l : l.substr(pos + 11);
            m_msgs.push_back(m.substr(0, m.find_last_not_of('\n') + 1));
        }
        return m_msgs;
    }
    bool Has(const std::string& m) const { return std::find(m_msgs.begin(), m_msgs.end(), m) != m_msgs.end(); }
    bool HasPrefix(const std::string& p) const {
        return std::any_of(m_msgs.begin(), m_msgs.end(), [&](const std::string& m) { return m.rfind(p, 0) == 0; });
    }

    static inline std::filesystem::path s_root;
    std::vector<std::string> m_lines, m_msgs;
};

TEST(DevmodeText, FlagsAndValueTables) {
    EXPECT_EQ(FlagsText(0x18), u" QL_DONT_RESIZE(0x8) QL_DONT_MOVE(0x10)");
    EXPECT_EQ(FlagsText(0x40), u" <UNKNOWN FLAG>(0x40)");
    EXPECT_EQ(FlagsText(0), u"QL_NO_DWFLAG(0x0)");
    EXPECT_EQ(FlagsText(0x427), u" QL_PREVIEW_ON_CLIENT(0x1) QL_SHOW_CONFIG_DLG(0x2) QL_DM_IMGAREA(0x4)"
                                u" QL_IGNORE_TRAYS(0x20) QL_MAX_PRIVUNI_SIZE(0x400)");
    EXPECT_EQ(FlagsText(0x80000000u), u"");  // only the low 31 bits are named
    const std::u16string all = FlagsText(0x7FFFFFFF);
    EXPECT_EQ(all.rfind(u" <UNKNOWN FLAG>(0x40000000)"), all.size() - 27);
    EXPECT_EQ(FlagsText(0x18, 10), u" QL_DONT_");  // cut, still terminated

    EXPECT_EQ(std::u16string(DevmodeValueText(g_aSheetsPerPageText, 8)), u"Undefined Pages per Sheet");
}

TEST_F(DevmodeDump, WholeGatewayDevmodeWithSecretsOnlyHexDumped) {
    Block b = Gateway();
    PRIVATEDEVMODEEXT* e = Ext(b);
    e->dwFields = QL_EDF_MASK_PIN | QL_EDF_MASK_PUNCHING | QL_EDF_MASK_NUPSHEETS | QL_EDF_MASK_PTR;
    std::memcpy(e->lpszPIN, "PIN-4711-secret", 15);
    std::memcpy(e->arrPTRPasswd, "hunter2-password", 16);
    std::strcpy(e->lpszPTREmail, "user@example.org");
    std::memset(e->lpszFax, 'F', sizeof(e->lpszFax));  // not terminated
    e->uPunching = 9;
    e->NUP.uSheetsPerPage = 3;
    e->NUP.uPresentationDirection = 0;
    Trailer(b)->dwFlags = 0x18;

    PrintDEVMODE(Dm(b), 220, WSTR("R-Stage"));
    Take();
    EXPECT_TRUE(Has(">>R-Stage: dmDeviceName: 'QL Spool Bridge'"));
    EXPECT_TRUE(Has(">>R-Stage: dmFields: 122627 (0x1df03)"));
    EXPECT_TRUE(Has(">>R-Stage: dmPrintQuality: -2 (0xfffffffe)"));
    EXPECT_FALSE(HasPrefix(">>R-Stage: dmPanning"));
    EXPECT_TRUE(Has("Quillon(c) private *devmode extension part* found: [dwFields = 0x905]"));
    EXPECT_TRUE(Has("--\t lpszFax: '" + std::string(32, 'F') + "'"));
    EXPECT_TRUE(Has(">>\t uPunching: 9 (0x9), [Left Edge Punch]"));
    EXPECT_TRUE(Has(">>\t NUP.uSheetsPerPage: 3 (0x3), [4 Pages per Sheet]"));
    EXPECT_TRUE(Has("--\t NUP.uPresentationDirection: 0 (0x0), [Bottom-Right Direction]"));
    EXPECT_TRUE(Has(">>\t lpszPTREmail: 'user@example.org'"));
    EXPECT_TRUE(Has("Quillon(c) private *devmode* found: dwFlags = 0x18"));
    EXPECT_TRUE(Has(" QL_DONT_RESIZE(0x8) QL_DONT_MOVE(0x10)"));

    // Each secret: its field line, then a hex-dump line without message text.
    for (const char* name : {">>\t lpszPIN:", ">>\t arrPTRPasswd:"}) {
        const size_t i = static_cast<size_t>(std::find(m_msgs.begin(), m_msgs.end(), name) - m_msgs.begin());
        ASSERT_LT(i + 1, m_msgs.size()) << name;
        EXPECT_EQ(m_msgs[i + 1], "");
        EXPECT_NE(m_lines[i + 1].find("_INF_"), std::string::npos);
    }
    for (const auto& l : m_lines) {
        EXPECT_EQ(l.find("4711"), std::string::npos) << l;
        EXPECT_EQ(l.find("hunter2"), std::string::npos) << l;
    }
    // In the log file the secrets stand only in hex-dump rows.
    std::ifstream file(s_root / "devmode.log", std::ios::binary);
    bool hexRow = false;
    for (std::string row; std::getline(file, row);) {
        hexRow = hexRow || row.find("68 75 6e 74 65 72 32") != std::string::npos;  // "hunter2"
        if (row.find("4711") == std::string::npos && row.find("hunter2") == std::string::npos) continue;
        EXPECT_EQ(row.rfind("    ", 0), 0u) << row;
        EXPECT_NE(row.find("  :"), std::string::npos) << row;
    }
    EXPECT_TRUE(hexRow);
}

TEST_F(DevmodeDump, ShortPublicPartAndMissingParts) {
    Block b = Gateway();
    PrintDEVMODE(Dm(b), 100, WSTR("S"));
    Take();
    EXPECT_TRUE(Has(">>S: dmTTOption: 1 (0x1)"));  // bytes 98..99 are inside
    EXPECT_TRUE(HasPrefix("!!S: dmCollate"));
    EXPECT_TRUE(HasPrefix("!!S: dmFormName"));

    Block plain(220);
    Dm(plain)->dmSize = 220;
    PrintDEVMODE(Dm(plain), 220, WSTR("P"));
    Take();
    EXPECT_TRUE(Has("--P: dmOrientation: 0 (0x0)"));
    EXPECT_TRUE(Has("Quillon(c) private *devmode extension part* NOT found"));
    EXPECT_FALSE(HasPrefix("Quillon(c) private *devmode* found"));

    PrintDEVMODE(nullptr, 0, WSTR("L"));
    ASSERT_EQ(Take(), std::vector<std::string>{"..L: Call PrintDEVMODE with NULL pinter"});
    EXPECT_NE(m_lines[0].find("_ERR_"), std::string::npos);

    g_dwDebugLevel = 0;
    PrintDEVMODE(Dm(b), 220, WSTR("Off"));
    EXPECT_TRUE(Take().empty());
}

// ---- versions and the default device mode ------------------------------------------------------

TEST(DevmodeVersion, SpecVersionAndConversion) {
    DEVMODEW dm = {};
    dm.dmSpecVersion = 0x123;
    for (auto [size, version] : {std::pair<WORD, WORD>{188, 0x320}, {212, 0x400}, {220, 0x401}, {200, 0x123}}) {
        dm.dmSize = size;
        EXPECT_EQ(GetDevmodeSpecVersion(&dm), version) << size;
    }
    EXPECT_EQ(GetDevmodeSpecVersion(nullptr), 0);

    // 212-byte public part with an 8-byte private area (just a trailer).
    Block in(220);
    for (size_t i = 0; i < 212; ++i) in[i] = static_cast<BYTE>(i);
    Dm(in)->dmSize = 212;
    Dm(in)->dmDriverExtra = 8;
    std::memcpy(in.data() + 212, "QLPD\x30\0\0\0", 8);
    Block out = Gateway();
    std::memset(out.data() + 212, 0xEE, 8);  // beyond the source's public part
    EXPECT_EQ(ConvertDevmodeVersion(Dm(in), Dm(out)), 212 + 8);
    EXPECT_EQ(std::memcmp(out.data(), in.data(), 64), 0);
    EXPECT_EQ(std::memcmp(out.data() + 72, in.data() + 72, 212 - 72), 0);
    EXPECT_EQ(Dm(out)->dmSize, 220);
    EXPECT_EQ(Dm(out)->dmDriverExtra, 1032);
    EXPECT_EQ(Dm(out)->dmDriverVersion, 0x500);
    EXPECT_EQ(Dm(out)->dmSpecVersion, 0x401);
    EXPECT_EQ(out[219], 0xEE);
    EXPECT_EQ(std::memcmp(out.data() + 220, in.data() + 212, 8), 0);  // private bytes from the start
    EXPECT_EQ(+Trailer(out)->dwFlags, 0x30u);                          // trailers at different offsets

    Dm(in)->dmSize = 100;  // no derivable version
    Dm(in)->dmSpecVersion = 0;
    EXPECT_EQ(ConvertDevmodeVersion(Dm(in), Dm(out)), -1);
    EXPECT_EQ(ConvertDevmodeVersion(Dm(out), nullptr), -1);
}

TEST(DevmodeDefault, MetricLetterAndForms) {
    DEVCAPSINFO caps = AllCaps();
    caps.dwCapFlags = QL_CAP_STAPLING | QL_CAP_BINDING;
    caps.dwMinGutter = 0;
    Block b = Gateway(TRUE, caps);
    const DEVMODEW* dm = Dm(b);
    EXPECT_EQ(Str(dm->dmDeviceName), u"QL Spool Bridge");
    EXPECT_EQ(dm->dmFields, 0x1DF03u);
    EXPECT_EQ(dm->dmPaperSize, DMPAPER_A4);
    EXPECT_EQ(Str(dm->dmFormName), u"A4");
    EXPECT_EQ(dm->dmDefaultSource, 7);
    EXPECT_EQ(dm->dmPrintQuality, -2);
    const PRIVATEDEVMODEEXT* e = Ext(b);
    EXPECT_EQ(+e->dwSize, 527u);
    EXPECT_EQ(+e->dwFields, 0xC00u | QL_EDF_MASK_STAPLING | QL_EDF_MASK_BINDING);
    EXPECT_EQ(+e->dwCompressionRule_0, 0xFFFFFFFFu);
    EXPECT_EQ(+e->NUP.uPresentationDirection, 1);
    EXPECT_EQ(+e->BINDING.dwBindingGutter, 1u);  // minimum gutter 0
    EXPECT_EQ(std::memcmp(b.data() + 1244, "QLPD\0\0\0\0", 8), 0);

    Block letter = Gateway(FALSE);
    EXPECT_EQ(Dm(letter)->dmPaperSize, DMPAPER_LETTER);
    EXPECT_EQ(Str(Dm(letter)->dmFormName), u"Letter");
    EXPECT_EQ(+Ext(letter)->dwFields, 0xFFDu);  // every capability maps to its field
    EXPECT_EQ(+Ext(letter)->BINDING.dwBindingGutter, 10u);

    // Forms without A4: the first form is taken. A long name is cut at 32.
    caps.dwFormCount = 2;
    const std::u16string longName(40, u'N');
    ASSERT_TRUE(BuildDefaultDevmode(TRUE, Dm(b), longName.c_str(), &caps));
    EXPECT_EQ(Dm(b)->dmPaperSize, DMPAPER_LETTER);
    EXPECT_EQ(Str(Dm(b)->dmFormName), u"Letter");
    EXPECT_EQ(Str(Dm(b)->dmDeviceName), std::u16string(32, u'N'));

    EXPECT_FALSE(BuildDefaultDevmode(TRUE, nullptr, WSTR("x"), &caps));
    EXPECT_FALSE(BuildDefaultDevmode(TRUE, Dm(b), nullptr, &caps));
}

// ---- validating merge ----------------------------------------------------------------------------

class DevmodeMerge : public testing::Test {
protected:
    void SetUp() override {
        pal::host::TakeMessageBoxes();
        out = Gateway();
        in = Gateway();
        Dm(in)->dmFields = 0;
        Ext(in)->dwFields = 0;
    }
    BOOL Merge() { return ConvertDevMode(Dm(in), Dm(out), &caps); }
    // A fresh default destination in the same buffer (pointers stay valid).
    void ResetOut() {
        const Block fresh = Gateway();
        std::copy(fresh.begin(), fresh.end(), out.begin());
    }

    DEVCAPSINFO caps = AllCaps();
    Block in, out;
    DEVMODEW* i = nullptr;
    DEVMODEW* o = nullptr;
};

TEST_F(DevmodeMerge, PublicFields) {
    EXPECT_TRUE(ConvertDevMode(nullptr, Dm(out), &caps));
    EXPECT_FALSE(ConvertDevMode(Dm(in), nullptr, &caps));

    i = Dm(in);
    o = Dm(out);
    i->dmCopies = 5;  // not flagged: not carried
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmCopies, 1);

    i->dmFields = DM_COPIES | DM_DUPLEX | DM_ORIENTATION | DM_COLOR | DM_COLLATE | DM_DEFAULTSOURCE;
    i->dmCopies = 1000;
    i->dmDuplex = 4;
    i->dmOrientation = 3;
    i->dmColor = 5;
    i->dmCollate = 2;
    i->dmDefaultSource = 261;
    o->dmFields |= DM_SCALE;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmCopies, 1);
    EXPECT_EQ(o->dmDuplex, 1);
    EXPECT_EQ(o->dmOrientation, 1);
    EXPECT_EQ(o->dmColor, 1);
    EXPECT_EQ(o->dmCollate, 0);
    EXPECT_EQ(o->dmDefaultSource, 261);
    EXPECT_EQ(o->dmFields & DM_SCALE, 0u);

    // Print quality and y resolution.
    i->dmFields = DM_PRINTQUALITY | DM_YRESOLUTION;
    i->dmPrintQuality = 600;
    i->dmYResolution = 300;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmYResolution, 600);
    EXPECT_NE(o->dmFields & DM_YRESOLUTION, 0u);
    i->dmFields = DM_PRINTQUALITY;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmFields & DM_YRESOLUTION, 0u);
    i->dmFields = DM_YRESOLUTION;
    i->dmYResolution = 150;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPrintQuality, 150);
    EXPECT_EQ(o->dmYResolution, 150);
}

TEST_F(DevmodeMerge, FormsAndCustomSizes) {
    i = Dm(in);
    o = Dm(out);
    const DWORD sizeBits = DM_PAPERLENGTH | DM_PAPERWIDTH, formBits = DM_PAPERSIZE | DM_FORMNAME;
    o->dmFields |= sizeBits;
    i->dmFields = DM_PAPERSIZE;
    i->dmPaperSize = DMPAPER_LEGAL;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperSize, DMPAPER_LEGAL);
    EXPECT_EQ(Str(o->dmFormName), u"Legal");
    EXPECT_EQ(o->dmFields & (sizeBits | formBits), formBits);  // no custom size: size bits dropped

    i->dmFields = formBits;  // unknown code, known name
    i->dmPaperSize = 77;
    std::memset(i->dmFormName, 0, sizeof(i->dmFormName));
    std::memcpy(i->dmFormName, u"Letter", 12);
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperSize, DMPAPER_LETTER);
    i->dmFormName[0] = u'X';  // neither known: the destination keeps its form
    o->dmPaperSize = DMPAPER_A4;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperSize, DMPAPER_A4);

    i->dmFields = sizeBits;  // custom size alone
    i->dmPaperWidth = 1500;
    i->dmPaperLength = 2000;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperWidth, 1500);
    EXPECT_EQ(o->dmFields & (sizeBits | formBits), sizeBits);

    // With a form: kept within 0.3 mm of it, dropped at 0.3 mm.
    ResetOut();
    i->dmFields = sizeBits | DM_PAPERSIZE;
    i->dmPaperSize = DMPAPER_A4;
    i->dmPaperWidth = 2102;
    i->dmPaperLength = 2968;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmFields & (sizeBits | formBits), sizeBits | formBits);
    i->dmPaperWidth = 2103;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmFields & (sizeBits | formBits), sizeBits);

    ResetOut();
    i->dmFields = sizeBits;
    i->dmPaperWidth = 0;  // invalid custom size: ignored
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmFields & (sizeBits | formBits), formBits);

    // Names compare over 32 characters; a 31-character name ends at the 32nd.
    const DEVCAPSFORM forms[] = {Form(300, std::u16string(31, u'F') + u"A", 1, 1),
                                 Form(301, std::u16string(31, u'F') + u"B", 1, 1)};
    caps.pForms = forms;
    caps.dwFormCount = 2;
    i->dmFields = DM_FORMNAME;
    std::fill(i->dmFormName, i->dmFormName + 31, u'F');
    i->dmFormName[31] = u'B';
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperSize, 301);
    i->dmFormName[31] = 0;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(o->dmPaperSize, 300);
}

TEST_F(DevmodeMerge, ExtensionFollowsCapabilitiesAndMasks) {
    PRIVATEDEVMODEEXT* ie = Ext(in);
    PRIVATEDEVMODEEXT* oe = Ext(out);
    ie->dwFields = 0x3FF;  // every field but compression and Print-To-Remote
    ie->uPunching = 3;
    ie->STAPLING.uDocStaple = 9;
    ie->STAPLING.dwSheetCapacity = 50;
    ie->BINDING.uDocumentBinding = 13;
    ie->BINDING.dwBindingGutter = 500;
    ie->NUP.uSheetsPerPage = 7;
    ie->NUP.uPresentationDirection = 8;
    std::memcpy(ie->lpszPIN, "0000", 4);
    std::strcpy(ie->lpszFax, "+49 555");

    caps.dwCapFlags &= ~QL_CAP_PIN;
    caps.dwPunchingSupport = 0x3;      // punching 1 and 2 only
    caps.dwStaplingSupport = 1u << 8;  // stapling 9
    caps.dwBindingSupport = 0;
    caps.dwNupSheetsSupport = 1u << 6;
    caps.dwNupDirectionSupport = 0x7F;  // not direction 8
    ASSERT_TRUE(Merge());
    EXPECT_EQ(+oe->dwFields & QL_EDF_MASK_PIN, 0u);  // no capability: cleared
    EXPECT_EQ(oe->lpszPIN[0], 0);
    EXPECT_EQ(+oe->uPunching, 0);
    EXPECT_EQ(+oe->STAPLING.uDocStaple, 9);
    EXPECT_EQ(+oe->STAPLING.dwSheetCapacity, 50u);
    EXPECT_EQ(+oe->BINDING.uDocumentBinding, 0);
    EXPECT_EQ(+oe->BINDING.dwBindingGutter, 100u);  // clamped to the maximum
    EXPECT_EQ(+oe->NUP.uSheetsPerPage, 7);
    EXPECT_EQ(+oe->NUP.uPresentationDirection, 1);
    EXPECT_EQ(oe->lpszFax[0], 0);  // the fax number is never merged
    EXPECT_EQ(+oe->dwFields & QL_EDF_MASK_FAX, 0u);

    caps.dwCapFlags = 0;  // missing features are cleared even without source fields
    ie->dwFields = 0;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(+oe->dwFields, QL_EDF_MASK_COMPRESSION | QL_EDF_MASK_PTR);

    caps = AllCaps();
    ie->dwFields = QL_EDF_MASK_GUTTER | QL_EDF_MASK_PIN | QL_EDF_MASK_PUNCHING | QL_EDF_MASK_NUPSHEETS;
    ie->BINDING.dwBindingGutter = 2;
    ie->uPunching = 5;  // beyond the punching values
    ie->NUP.uSheetsPerPage = 0;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(+oe->BINDING.dwBindingGutter, 10u);  // raised to the minimum
    EXPECT_EQ(std::memcmp(oe->lpszPIN, "0000", 4), 0);
    EXPECT_EQ(+oe->dwFields & (QL_EDF_MASK_PUNCHING | QL_EDF_MASK_NUPSHEETS), 0u);
    EXPECT_EQ(+oe->NUP.uSheetsPerPage, 7);
}

TEST_F(DevmodeMerge, CompressionAndPrintToRemoteNeedNoCapability) {
    caps.dwCapFlags = 0;
    PRIVATEDEVMODEEXT* ie = Ext(in);
    PRIVATEDEVMODEEXT* oe = Ext(out);
    ie->dwFields = QL_EDF_MASK_COMPRESSION | QL_EDF_MASK_PTR;
    ie->dwCompressionRule_3 = 9;
    ie->dwBitmapDPIReduction = 150;
    std::strcpy(ie->lpszPTREmail, "old@example.org");
    std::memset(ie->arrPTRPasswd, 'p', sizeof(ie->arrPTRPasswd));
    ASSERT_TRUE(Merge());
    EXPECT_EQ(+oe->dwCompressionRule_3, 9u);
    EXPECT_EQ(+oe->dwBitmapDPIReduction, 150u);
    EXPECT_STREQ(oe->lpszPTREmail, "old@example.org");
    EXPECT_EQ(oe->arrPTRPasswd[127], 'p');

    std::memset(ie->lpszPTREmail, 'e', sizeof(ie->lpszPTREmail));  // no terminator: becomes empty
    ASSERT_TRUE(Merge());
    EXPECT_EQ(std::count(oe->lpszPTREmail, oe->lpszPTREmail + 256, 0), 256);
}

TEST_F(DevmodeMerge, TrailerFlagsAndFailures) {
    Trailer(in)->dwFlags = QL_DONT_RESIZE | QL_MAX_PRIVUNI_SIZE;
    ASSERT_TRUE(Merge());
    EXPECT_EQ(+Trailer(out)->dwFlags, QL_DONT_RESIZE | QL_MAX_PRIVUNI_SIZE);
    EXPECT_TRUE(pal::host::TakeMessageBoxes().empty());

    std::memset(out.data() + 1244, 0, 8);  // destination without trailer
    ASSERT_TRUE(Merge());
    const auto boxes = pal::host::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, u"pdmDest invalid. Private flags lost.");
    EXPECT_EQ(boxes[0].caption, u"QLPrnUI.dll::ValidateSetDevMode");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_ICONERROR));
    EXPECT_EQ(+Trailer(out)->dwFlags, 0u);

    // A 212-byte source without private data merges its public fields only.
    ResetOut();
    Ext(out)->dwCompressionRule_0 = 5;
    Block small(212);
    Dm(small)->dmSize = 212;
    Dm(small)->dmFields = DM_COPIES;
    Dm(small)->dmCopies = 3;
    ASSERT_TRUE(ConvertDevMode(Dm(small), Dm(out), &caps));
    EXPECT_EQ(Dm(out)->dmCopies, 3);
    EXPECT_EQ(+Ext(out)->dwCompressionRule_0, 5u);

    Block bad(120);
    Dm(bad)->dmSize = 120;  // no derivable version
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ConvertDevMode(Dm(bad), Dm(out), &caps));
    const std::string text = testing::internal::GetCapturedStdout();
    EXPECT_NE(text.find("QLDDCommon.cpp ("), std::string::npos) << text;
    EXPECT_NE(text.find("): ConvertDevMode failed.\n"), std::string::npos) << text;
}

} // namespace

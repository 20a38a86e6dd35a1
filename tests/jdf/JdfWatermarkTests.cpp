// JDF tickets, the watermark page and the event log: the ticket name rule and
// its hostile inputs, the page finder over good and broken files, the blocks'
// bytes, and the event with its source registration under both identities.
#include "support/HandJob.h"
#include "support/JobMachine.h"

#include "diag/EventLog.h"
#include "gateway/Jdf.h"
#include "gateway/Watermark.h"
#include "native/JobWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using qltest::Concat;

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001
"GlobalConfigFile"="C:\\conf\\global.ini"
"Watermark"="C:\\conf\\wm.spl"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\PDF]
"Printer Driver"="QL PDF Bridge"
"Port"="FILE1:"
)";

constexpr char16_t kEventKey[] = u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillon";

fs::path Host(const std::u16string& windowsPath) { return pal::host::MapPath(windowsPath); }

void WriteFile(const std::u16string& windowsPath, const Bytes& bytes) {
    fs::create_directories(Host(windowsPath).parent_path());
    std::ofstream(Host(windowsPath), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Record(uint32_t type, const Bytes& body) { return Concat({Le32(type), Le32(uint32_t(body.size())), body}); }
// An EMF page body of `size` bytes (>= 100) whose EMR_HEADER says nBytes.
Bytes EmfPage(uint32_t size, uint32_t nBytes, uint32_t signature = 0x464D4520) {
    Bytes b(size, 0x5A);
    auto put = [&](size_t at, uint32_t v) { std::copy_n(Le32(v).begin(), 4, b.begin() + static_cast<long>(at)); };
    put(0, 1), put(4, 108), put(40, signature), put(48, nBytes);
    return b;
}
Bytes FileHeader() { return Concat({Le32(0x00010000), Le32(16), Le32(0), Le32(0)}); }

class JdfTest : public qltest::HandJobTest {
protected:
    JdfTest() : HandJobTest(u"PDF") {}
    void SetUp() override {
        qltest::SetUpMachine(kMachine, "jdf", qltest::Attach::LogOnly);
        HandJobTest::SetUp();
        const std::string ini = "[Print]\nspooldir=C:\\jdf\n";
        WriteFile(u"C:\\conf\\global.ini", Bytes(ini.begin(), ini.end()));
        fs::create_directories(Host(u"C:\\jdf"));
    }
    Bytes AttachFor(std::u16string document) {
        EXPECT_NE(Start(), 0u);
        Data()->pDocumentName = document.data();
        EXPECT_TRUE(AttachJdf(Data()));
        Data()->pDocumentName = nullptr;
        MyEndDocPrinter(Data(), FALSE);
        const auto docs = pal::host::PortDocuments();
        return docs.empty() ? Bytes{} : pal::host::PortDocumentBytes(docs.back());
    }
};

TEST(JdfTicketName, Table) {
    const std::u16string dir250 = u"C:\\" + std::u16string(246, u'd') + u"\\";  // 250 characters
    struct Case {
        std::u16string dir, document;
        JdfTicketName result;
        std::u16string path;
    } cases[] = {
        {u"C:\\spool", u"report_qlA1B2.pdf", JdfTicketName::Ok, u"C:\\spool\\A1B2.tmp"},
        {u"C:\\spool\\", u"a_qlx_qlY7", JdfTicketName::Ok, u"C:\\spool\\Y7.tmp"},
        {u"C:\\spool", u"v1.2 draft_qlT9.doc.pdf", JdfTicketName::Ok, u"C:\\spool\\T9.tmp"},
        {u"C:\\spool", u"report_ql.pdf", JdfTicketName::Ok, u"C:\\spool\\.tmp"},
        {u"C:\\spool", u"x_ql..\\..\\Windows\\win.ini", JdfTicketName::Ok, u"C:\\spool\\.tmp"},
        {u"C:\\spool", u"report.pdf", JdfTicketName::NoMarker, u""},
        {u"C:\\spool", u"report_QLA1.pdf", JdfTicketName::NoMarker, u""},
        {u"C:\\spool", u"", JdfTicketName::NoMarker, u""},
        {u"C:\\spool", u"x_ql\\..\\..\\victim", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_ql/etc/passwd", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlC:\\victim", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlticket:stream", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_ql\\\\?\\GLOBALROOT\\Device", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlCON.pdf", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlnul  ", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlLpT9", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlCOM\u00B9", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlCONOUT$", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qla*b", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qla\tb", JdfTicketName::Refused, u""},
        {u"C:\\spool", u"x_qlCOM10", JdfTicketName::Ok, u"C:\\spool\\COM10.tmp"},
        {u"C:\\spool", u"x_ql" + std::u16string(300, u'a'), JdfTicketName::TooLong, u""},
        {dir250, u"x_ql12345", JdfTicketName::Ok, dir250 + u"12345.tmp"},  // 259 characters
        {dir250, u"x_ql123456", JdfTicketName::TooLong, u""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(k.document));
        WCHAR path[JDF_PATH_CCH];
        EXPECT_EQ(BuildJdfTicketPath(k.dir.c_str(), k.document.c_str(), path), k.result);
        EXPECT_EQ(std::u16string(path), k.path);
    }
}

// The ticket's bytes go out in one block and the ticket is consumed; empty,
// missing and unusable tickets add nothing.
TEST_F(JdfTest, BlockBytesAndTicketLifetime) {
    Bytes ticket(5000);
    for (size_t i = 0; i < ticket.size(); ++i) ticket[i] = uint8_t(i * 7);
    WriteFile(u"C:\\jdf\\A1B2.tmp", ticket);
    EXPECT_EQ(AttachFor(u"report_qlA1B2.pdf"), Concat({Bytes{0x03}, Le32(5005), ticket}));
    EXPECT_FALSE(fs::exists(Host(u"C:\\jdf\\A1B2.tmp")));
    // A second copy finds nothing.
    pal::host::ResetSpooler();
    EXPECT_EQ(AttachFor(u"report_qlA1B2.pdf"), Bytes{});

    WriteFile(u"C:\\jdf\\E.tmp", {});
    pal::host::ResetSpooler();
    EXPECT_EQ(AttachFor(u"x_qlE"), Bytes{});
    EXPECT_FALSE(fs::exists(Host(u"C:\\jdf\\E.tmp")));
    EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"try to open file <C:\\jdf\\E.tmp>"));

    // A directory by the ticket's name is neither read nor removed.
    fs::create_directories(Host(u"C:\\jdf\\D.tmp"));
    pal::host::ResetSpooler();
    EXPECT_EQ(AttachFor(u"x_qlD"), Bytes{});
    EXPECT_TRUE(qltest::Contains(pal::host::TakeDebugOutput(), u"cannot open file <C:\\jdf\\D.tmp>"));
    EXPECT_TRUE(fs::is_directory(Host(u"C:\\jdf\\D.tmp")));
}

// Hostile document names and links in the spool directory: no file outside it
// is read, changed or removed, and nothing reaches the stream.
TEST_F(JdfTest, HostileNamesTouchNothingOutsideTheSpoolDirectory) {
    const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
    const std::u16string victims[] = {u"C:\\victim.tmp", u"C:\\Windows\\win.tmp", u"C:\\conf\\x.tmp"};
    for (const auto& v : victims) WriteFile(v, secret);
    fs::create_symlink(Host(u"C:\\victim.tmp"), Host(u"C:\\jdf\\link.tmp"));
    fs::create_hard_link(Host(u"C:\\conf\\x.tmp"), Host(u"C:\\jdf\\hard.tmp"));

    for (const char16_t* name : {u"x_ql\\..\\victim", u"x_ql..\\victim", u"x_qlC:\\victim", u"x_ql/../victim",
                                 u"x_ql..\\Windows\\win", u"x_ql\\\\.\\C:\\victim", u"x_qlvictim::$DATA",
                                 u"x_qllink", u"x_qlhard", u"x_qlCON", u"x_qlx_ql..\\..\\conf\\x"}) {
        SCOPED_TRACE(pal::host::ToUtf8(name));
        pal::host::ResetSpooler();
        EXPECT_EQ(AttachFor(name), Bytes{});
        for (const auto& v : victims) {
            std::ifstream in(Host(v), std::ios::binary);
            EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), secret) << pal::host::ToUtf8(v);
        }
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(Host(u"C:\\jdf\\link.tmp"))));  // the link itself is consumed
}

TEST(WatermarkFinder, WellFormedAndMalformedFiles) {
    qltest::SetUpMachine(kMachine, "jdf", qltest::Attach::LogOnly);
    const Bytes page = EmfPage(120, 120);
    struct Case {
        const char* name;
        Bytes file;
        DWORD offset, cbEmf;
    } cases[] = {
        {"page after the file header", Concat({FileHeader(), Record(12, page)}), 24, 120},
        {"page after a font record", Concat({FileHeader(), Record(15, Bytes(40, 1)), Record(1, page)}), 72, 120},
        {"record that is no EMF header is skipped",
         Concat({FileHeader(), Record(12, EmfPage(100, 100, 0)), Record(12, page)}), 132, 120},
        {"nBytes as the header says", Concat({FileHeader(), Record(12, EmfPage(120, 7000))}), 24, 7000},
        {"empty file", {}, WATERMARK_NO_PAGE, 0},
        {"truncated header", Bytes{0, 0, 1, 0, 16}, WATERMARK_NO_PAGE, 0},
        {"first record's size lies", Concat({Le32(0x00010000), Le32(0xFFFFFFF0), Bytes(16, 0)}), WATERMARK_NO_PAGE, 0},
        {"page record runs past the end", Concat({FileHeader(), Le32(12), Le32(500), page}), WATERMARK_NO_PAGE, 0},
        {"page body shorter than the probe", Concat({FileHeader(), Record(12, Bytes(60, 0))}), WATERMARK_NO_PAGE, 0},
        {"no page record", Concat({FileHeader(), Record(3, Bytes(220, 0))}), WATERMARK_NO_PAGE, 0},
        {"zero-size page record", Concat({FileHeader(), Record(1, {}), Bytes(100, 0)}), WATERMARK_NO_PAGE, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        WriteFile(u"C:\\conf\\probe.spl", k.file);
        HANDLE h = CreateFileW(u"C:\\conf\\probe.spl", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD cbEmf = 0xDEAD;
        EXPECT_EQ(FindWatermarkPage(h, &cbEmf), k.offset);
        EXPECT_EQ(cbEmf, k.cbEmf);
        CloseHandle(h);
    }
}

// The block, unframed and framed, once for a page whose nBytes overshoots the
// file (cut at the file's end).
TEST_F(JdfTest, WatermarkBlockBytes) {
    for (BOOL framed : {FALSE, TRUE})
        for (uint32_t nBytes : {120u, 9999u}) {
            SCOPED_TRACE(testing::Message() << "framed " << framed << ", nBytes " << nBytes);
            const Bytes body = EmfPage(120, nBytes);
            WriteFile(u"C:\\conf\\wm.spl", Concat({FileHeader(), Record(12, body)}));
            DWORD offset = 0, end = 0;
            HANDLE h = OpenWatermarkSource(&offset, &end);
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(offset, 24u);
            EXPECT_EQ(end, 144u);
            pal::host::ResetSpooler();
            EXPECT_NE(Start(), 0u);
            Data()->fFraming = framed;
            EXPECT_TRUE(WriteWatermarkBlock(Data(), h, offset, end));
            Data()->fFraming = FALSE;
            const Bytes block = Concat({Le32(0), Le32(0x40000000), Le32(120), body});
            EXPECT_EQ(End(), framed ? Concat({Le32(0x08080000), Le32(132), block}) : block);
        }
}

struct EventCheck {
    uint64_t before = pal::host::LastEventNumber();
    std::vector<pal::host::EventRecord> New() const {
        std::vector<pal::host::EventRecord> out;
        for (auto& e : pal::host::ReadEventLog())
            if (e.number > before) out.push_back(e);
        return out;
    }
};

// The event and the source's registration, reported as the spooler itself and
// from a thread impersonating a user (who may not write below HKLM): both end
// with the event, the two values, and the thread under the identity it had.
TEST(EventLog, ErrorEventAndRegistrationUnderBothIdentities) {
    qltest::SetUpMachine(kMachine, "jdf", qltest::Attach::LogOnly);
    for (const char16_t* user : {u"", u"alice"}) {
        SCOPED_TRACE(pal::host::ToUtf8(user));
        pal::host::ClearRegistry();
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText(kMachine, "jdf.reg", &error)) << error;
        if (*user) pal::host::ImpersonateUser(user);
        const auto identity = pal::host::CurrentIdentity();
        pal::host::TakeIdentityRecords();
        EventCheck check;
        SetLastError(1234);
        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: Configured watermark not found."));
        EXPECT_EQ(GetLastError(), 1234u);
        EXPECT_EQ(pal::host::CurrentIdentity().sid, identity.sid);
        for (const auto& rec : pal::host::TakeIdentityRecords()) EXPECT_EQ(rec.identity.sid, u"S-1-5-18") << rec.call;
        pal::host::StopImpersonating();

        const auto events = check.New();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].source, u"Quillon");
        EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(events[0].eventId, 1u);
        EXPECT_EQ(events[0].category, 0u);
        EXPECT_EQ(events[0].user, u"");
        EXPECT_EQ(events[0].strings, std::vector<std::u16string>{u"QLWinPrn: Configured watermark not found."});
        const std::string reg = pal::host::ExportRegistry();
        EXPECT_NE(reg.find("EventLog\\Application\\Quillon]"), std::string::npos);
        EXPECT_NE(reg.find("\"TypesSupported\"=dword:00000007"), std::string::npos);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventKey, 0, KEY_READ, &key), ERROR_SUCCESS);
        WCHAR file[64] = {};
        DWORD type = 0, cb = sizeof(file);
        EXPECT_EQ(RegQueryValueExW(key, u"EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(file), &cb), 0);
        EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
        EXPECT_EQ(std::u16string(file), u"%SystemRoot%\\System32\\quilmon.dll");
        RegCloseKey(key);
    }
}

// Failures on the way are logged and swallowed; the registration's failure
// does not stop the event; an over-long source is refused before anything.
TEST(EventLog, FailuresAreLoggedAndSwallowed) {
    qltest::SetUpMachine(kMachine, "jdf", qltest::Attach::LogOnly);
    struct Case {
        const char* fault;
        size_t events;
        const char16_t* line;
    } cases[] = {
        {"RegCreateKeyW", 1, u"RegCreateKey fails with 5"},
        {"RegisterEventSourceW", 0, u"RegisterEventSource fails with Rtn=0, LastErr=5"},
        {"ReportEventW", 0, u"ReportEvent fails with Rtn=0, LastErr=5"},
        {"DeregisterEventSource", 1, u"DeregisterEventSource fails with Rtn=0, LastErr=5"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.fault);
        pal::host::ResetSpooler();
        pal::host::InjectFault({k.fault, 0, std::nullopt, ERROR_ACCESS_DENIED, false, true});
        EventCheck check;
        ReportEventToLog(QL_EVENT_SOURCE, WSTR("QLWinPrn: No page in watermark."));
        EXPECT_EQ(check.New().size(), k.events);
        const auto lines = pal::host::TakeDebugOutput();
        EXPECT_TRUE(qltest::Contains(lines, k.line)) << qltest::Dump(lines);
        pal::host::ClearFaults();
    }
    EventCheck check;
    ReportEventToLog(u"QuillonSourceNameOf25Chr", WSTR("x"));  // 24 characters: accepted
    ReportEventToLog(u"QuillonSourceNameOf25Chrs", WSTR("y"));
    const auto events = check.New();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].strings.at(0), u"x");
    EXPECT_EQ(pal::host::ExportRegistry().find("QuillonSourceNameOf25Chrs"), std::string::npos);
}

TEST(Profile, Win32Semantics) {
    qltest::SetUpMachine(kMachine, "jdf", qltest::Attach::LogOnly);
    const std::string text = "junk=before\r\n[Other]\r\nspooldir=wrong\r\n;[print]\r\n  [ PRINT ]  \r\n"
                             "; spooldir=comment\r\nnovalue\r\n SpoolDir =  \"C:\\q spool\"  \r\nspooldir=second\r\n"
                             "quote='one\r\n[print]\r\nlater=1\r\n";
    WriteFile(u"C:\\conf\\p.ini", Bytes(text.begin(), text.end()));
    struct Case {
        const char16_t *section, *key, *def;
        DWORD size;
        std::u16string value;
        DWORD count;
    } cases[] = {
        {u"print", u"SPOOLDIR", u"d", 260, u"C:\\q spool", 10},
        {u"print", u"spooldir", u"d", 5, u"C:\\q", 4},
        {u"print", u"quote", u"", 260, u"'one", 4},
        {u"print", u"later", u"def  ", 260, u"def", 3},
        {u"print", u"missing", nullptr, 260, u"", 0},
        {u"nosection", u"spooldir", u"dflt", 3, u"df", 2},
        {u"print", nullptr, u"", 260, std::u16string(u"SpoolDir\0spooldir\0quote\0", 24), 24},
        {nullptr, nullptr, u"", 12, std::u16string(u"Other\0PRIN\0", 11), 10},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(pal::host::ToUtf8(k.value));
        WCHAR buf[260];
        std::fill(std::begin(buf), std::end(buf), u'#');
        const DWORD n = GetPrivateProfileStringW(k.section, k.key, k.def, buf, k.size, u"C:\\conf\\p.ini");
        EXPECT_EQ(n, k.count);
        EXPECT_EQ(std::u16string(buf, k.value.size()), k.value);
        EXPECT_EQ(buf[k.value.size()], 0);
    }
    WCHAR buf[8];
    EXPECT_EQ(GetPrivateProfileStringW(u"print", u"spooldir", u"none", buf, 8, u"C:\\conf\\absent.ini"), 4u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

} // namespace

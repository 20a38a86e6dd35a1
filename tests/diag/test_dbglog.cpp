// The debug log: configuration, line format, targets, buffered writes, hex
// dumps, check forms and concurrent use.
#define QL_MODULE WSTR("Util")
#include "diag/DbgClock.h"
#include "diag/DbgLog.h"
#include "palhost.h"
#include "udp_receiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr LPCWSTR kKeyPath = WSTR("Software\\Quillon\\QLWinPrn");
constexpr LPCWSTR kApp = WSTR("QLWinPrn");
const std::string kTimeRe = R"(\d\d/\d\d \d\d:\d\d:\d\d:\d\d\d Id:\d{3,})";

std::atomic<LONGLONG> g_now{1000000};
LONGLONG FakeClock() { return g_now.load(); }

std::string Narrow(const std::u16string& s) { return pal::host::ToUtf8(s); }

class DbgLogTest : public testing::Test {
protected:
    void SetUp() override {
        m_root = std::filesystem::temp_directory_path() /
                 ("dbglog-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(m_root);
        pal::host::SetDriveRoot(m_root.string());
        pal::host::ClearRegistry();
        pal::host::TakeDebugOutput();
        pal::host::TakeMessageBoxes();
        WSADATA wsa;
        WSAStartup(0x0202, &wsa);
        DbgSetClock(&FakeClock);
        m_savedLevel = g_dwDebugLevel;
    }
    void TearDown() override {
        DbgSetClock(nullptr);
        g_dwDebugLevel = m_savedLevel;
        std::filesystem::remove_all(m_root);
    }

    // A fresh log configured from the given registry values (.reg syntax).
    std::unique_ptr<CDbgLog> MakeLog(const std::string& values) {
        std::string text = "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\QLWinPrn]\n" +
                           values;
        std::string error;
        EXPECT_TRUE(pal::host::LoadRegistryText(text, "dbglog-test", &error)) << error;
        auto log = std::make_unique<CDbgLog>();
        log->Init(kApp, kKeyPath);
        return log;
    }
    std::unique_ptr<CDbgLog> MakeLog(DWORD level, const std::string& more = "") {
        char sz[64];
        std::snprintf(sz, sizeof(sz), "\"DebugLevel\"=dword:%08x\n", level);
        return MakeLog(sz + more);
    }
    static std::string FileValue() { return "\"DebugFile\"=\"C:\\\\ql.log\"\n"; }

    std::string ReadLogFile() const {
        std::ifstream in(m_root / "ql.log", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool LogFileExists() const { return std::filesystem::exists(m_root / "ql.log"); }

    static std::vector<std::string> Debugger() {
        std::vector<std::string> out;
        for (const auto& s : pal::host::TakeDebugOutput())
            out.push_back(Narrow(s));
        return out;
    }

    std::filesystem::path m_root;
    DWORD m_savedLevel = 0;
};

// ---- configuration --------------------------------------------------------------------------

TEST_F(DbgLogTest, InitReadsTheConfiguration) {
    auto log = MakeLog(0x00420001, FileValue() + "\"DebugSyslog\"=\"127.0.0.2\"\n");
    EXPECT_EQ(g_dwDebugLevel, 0x00420001u);
    EXPECT_EQ(Narrow(log->DebugFile()), "C:\\ql.log");
    EXPECT_EQ(Narrow(log->SyslogHost()), "127.0.0.2");
    EXPECT_TRUE(log->HasBuffer());
    EXPECT_TRUE(log->HasSocket());

    // No key at all, a zero level, a level of the wrong type: nothing is configured.
    pal::host::ClearRegistry();
    CDbgLog none;
    g_dwDebugLevel = 7;
    none.Init(kApp, kKeyPath);
    EXPECT_EQ(g_dwDebugLevel, 0u);
    EXPECT_FALSE(none.HasSocket());
    EXPECT_EQ(Narrow(none.SyslogHost()), "127.0.0.1");
    for (const std::string& level : {std::string("\"DebugLevel\"=dword:00000000\n"), std::string("\"DebugLevel\"=\"1\"\n")}) {
        pal::host::ClearRegistry();
        log = MakeLog(level + FileValue());
        if (level.find("dword") != std::string::npos) {
            EXPECT_EQ(g_dwDebugLevel, 0u);
        }
        EXPECT_FALSE(log->HasSocket()) << level;
        EXPECT_FALSE(log->HasBuffer()) << level;
    }

    // A syslog host that is not an address leaves no socket; logging keeps the last error.
    pal::host::ClearRegistry();
    log = MakeLog(0x00080001, "\"DebugSyslog\"=\"printserver\"\n");
    EXPECT_FALSE(log->HasSocket());
    SetLastError(42);
    Log(*log, WSTR("Util"), 1, LOG_ERR, WSTR("dropped"));
    EXPECT_EQ(GetLastError(), 42u);
}

TEST_F(DbgLogTest, DebugFileMustBeANonEmptyShortString) {
    const std::string p259 = "C:\\\\" + std::string(256, 'a');  // 3 + 256 = 259 characters
    const std::string p260 = "C:\\\\" + std::string(257, 'a');
    struct Case {
        std::string value;
        bool usable;
    } cases[] = {
        {"", false},
        {"\"DebugFile\"=\"\"\n", false},
        {"\"DebugFile\"=dword:00000001\n", false},
        {"\"DebugFile\"=\"" + p259 + "\"\n", true},
        {"\"DebugFile\"=\"" + p260 + "\"\n", false},
    };
    for (const auto& c : cases) {
        pal::host::ClearRegistry();
        auto log = MakeLog(0x00400001, c.value);
        EXPECT_EQ((log->Level() & DBG_NOFILE) == 0, c.usable) << c.value;
        EXPECT_EQ(log->HasBuffer(), c.usable) << c.value;
        if (!c.usable) {
            EXPECT_EQ(Narrow(log->DebugFile()), "") << c.value;
        }
    }
}

// ---- line format and filtering ------------------------------------------------------------------

TEST_F(DbgLogTest, LineFormat) {
    auto log = MakeLog(0x000200FF);
    Log(*log, WSTR("Util"), 390, LOG_INF, WSTR("MyImpersonateLoggedOnUser %s %d"), WSTR("ok"), 7);
    Log(*log, WSTR("Winprint"), -5, LOG_TRC, WSTR("t"));
    Log(*log, WSTR("raw"), 12, LOG_ERR, WSTR("e"));
    Log(*log, WSTR("raw"), 12, 0x403, WSTR("w"));
    Log(*log, WSTR("raw"), 12, 0x1001, WSTR("f"));
    Log(*log, WSTR("raw"), 12, 0x301, WSTR("two severities"));
    auto lines = Debugger();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("^" + kTimeRe +
                                                      R"( _INF_/NORM Util:390 \(00000000\) MyImpersonateLoggedOnUser ok 7\n$)")))
        << lines[0];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"( _TRC_/NORM Winprint:-5 \(00000000\) t\n$)"))) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(R"( _ERR_/NORM raw:12 )"))) << lines[2];
    EXPECT_TRUE(std::regex_search(lines[3], std::regex(R"( _WRN_/NORM,[A-Z]+ raw:12 )"))) << lines[3];
    EXPECT_TRUE(std::regex_search(lines[4], std::regex(R"( _FAT_/NORM raw:12 )"))) << lines[4];
    EXPECT_TRUE(std::regex_search(lines[5], std::regex(R"( _\?\?\?_/NORM raw:12 )"))) << lines[5];
}

TEST_F(DbgLogTest, EarlyTestAndSeveritySuppression) {
    struct Case {
        DWORD config;
        DWORD level;
        bool logged;
    } cases[] = {
        {0x00020001, 0x201, true},  {0x00020001, 0x101, true},  {0x00020101, 0x101, false},
        {0x00020101, 0x201, true},  {0x00020301, 0x201, false}, {0x00020301, 0x801, true},
        {0x00020001, 0x001, false}, {0x00020001, 0x202, false}, {0x00020000, 0x201, false},
    };
    for (const auto& c : cases) {
        pal::host::ClearRegistry();
        auto log = MakeLog(c.config);
        Log(*log, WSTR("Util"), 1, c.level, WSTR("m"));
        EXPECT_EQ(Debugger().size(), c.logged ? 1u : 0u) << std::hex << c.config << " " << c.level;
    }
}

TEST_F(DbgLogTest, ConsoleNeedsAnotherTargetAndDropsTheFirstFourFields) {
    auto quiet = MakeLog(0x00800001);
    testing::internal::CaptureStdout();
    Log(*quiet, WSTR("Util"), 390, LOG_INF, WSTR("hello"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    pal::host::ClearRegistry();
    auto log = MakeLog(0x00820001);
    testing::internal::CaptureStdout();
    Log(*log, WSTR("Util"), 390, LOG_INF, WSTR("hello %s"), WSTR("world"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nUtil:390 (00000000) hello world");
    EXPECT_EQ(Debugger().size(), 1u);
}

TEST_F(DbgLogTest, OverlongMessageIsCutTo1023Characters) {
    auto log = MakeLog(0x00020001, FileValue());
    std::u16string big(2000, u'x');
    Log(*log, WSTR("Util"), 1, LOG_INF, WSTR("%s"), big.c_str());
    Log(*log, WSTR("Util"), 2, LOG_INF, big.c_str());
    auto lines = Debugger();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& l : lines) {
        EXPECT_EQ(l.size(), 1024u);  // 1023 characters and the appended "\n"
        EXPECT_EQ(l.substr(1020), "xxx\n");
    }
    std::string file = ReadLogFile();
    EXPECT_EQ(file.size(), 2 * (1023u + 2u));
}

// ---- file targets -----------------------------------------------------------------------------

TEST_F(DbgLogTest, FileThatCannotBeOpenedDropsTheLine) {
    auto log = MakeLog(0x00000001, "\"DebugFile\"=\"C:\\\\missing\\\\ql.log\"\n");
    SetLastError(ERROR_ACCESS_DENIED);
    Log(*log, WSTR("Util"), 1, LOG_INF, WSTR("lost"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(std::filesystem::exists(m_root / "missing"));
}

TEST_F(DbgLogTest, BufferedLinesWaitForTheFlushTime) {
    g_now = 1000000;
    auto log = MakeLog(0x00400001, FileValue());
    ASSERT_TRUE(log->HasBuffer());
    for (int i = 1; i <= 3; ++i) {
        g_now += 1000;
        Log(*log, WSTR("Util"), i, LOG_INF, WSTR("held %d"), i);
    }
    EXPECT_FALSE(LogFileExists());
    EXPECT_GT(log->BufferedChars(), 0u);

    g_now = 1000000 + 5000;  // the flush time itself
    Log(*log, WSTR("Util"), 4, LOG_INF, WSTR("flushes"));
    std::string file = ReadLogFile();
    EXPECT_TRUE(std::regex_match(file, std::regex("(" + kTimeRe + R"( _INF_/NORM Util:\d \(00000000\) held \d\r\n){3})" +
                                                  kTimeRe + R"( _INF_/NORM Util:4 \(00000000\) flushes\r\n)")))
        << file;
    EXPECT_LT(file.find("held 1"), file.find("held 2"));
    EXPECT_LT(file.find("held 2"), file.find("held 3"));
    EXPECT_EQ(log->BufferedChars(), 0u);

    // The write restarted the interval: the next line is held again.
    g_now += 4999;
    Log(*log, WSTR("Util"), 5, LOG_INF, WSTR("held again"));
    EXPECT_EQ(ReadLogFile(), file);
}

TEST_F(DbgLogTest, FullBufferOrHexDumpForcesTheWrite) {
    g_now = 1000000;
    auto log = MakeLog(0x00400001, FileValue());
    std::u16string chunk(900, u'b');
    int logged = 0;
    while (!LogFileExists() && logged < 20) {
        Log(*log, WSTR("Util"), 1, LOG_INF, WSTR("%s"), chunk.c_str());
        ++logged;
    }
    // Each line is ~950 characters: the eleventh no longer fits below 9998.
    EXPECT_EQ(logged, 11);
    EXPECT_EQ(log->BufferedChars(), 0u);

    Log(*log, WSTR("Util"), 2, LOG_INF, WSTR("held"));
    EXPECT_GT(log->BufferedChars(), 0u);
    const BYTE data[] = {1, 2};
    Log(*log, WSTR("Util"), 3, LOG_HEX, reinterpret_cast<LPCWSTR>(data), DWORD{sizeof(data)});
    EXPECT_EQ(log->BufferedChars(), 0u);
    std::string file = ReadLogFile();
    EXPECT_NE(file.find("held\r\n"), std::string::npos);
    EXPECT_NE(file.find("    01 02   :.."), std::string::npos);
}

// ---- hex dumps ------------------------------------------------------------------------------

TEST_F(DbgLogTest, HexDumpRows) {
    auto log = MakeLog(0x00020001, FileValue());
    BYTE data[20] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P', 0x00, 0x7F, ' ', 0xFF};
    Log(*log, WSTR("Util"), 1, LOG_HEX, reinterpret_cast<LPCWSTR>(data), DWORD{20});
    Log(*log, WSTR("Util"), 2, LOG_HEX, reinterpret_cast<LPCWSTR>(data), DWORD{16});
    Log(*log, WSTR("Util"), 3, LOG_HEX, reinterpret_cast<LPCWSTR>(data), DWORD{0});

    const std::string head = R"( _INF_/NORM Util:\d \(00000000\) )";
    const std::string row16 = R"(\r\n    41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   :ABCDEFGHIJKLMNOP)";
    std::string file = ReadLogFile();
    EXPECT_TRUE(std::regex_match(file, std::regex(kTimeRe + head + row16 + R"(\r\n    00 7f 20 ff   :\.\. \.\r\n)" +
                                                  kTimeRe + head + row16 + R"(\r\n      :\r\n)" +  //
                                                  kTimeRe + head + R"(\r\n)")))
        << file;

    // Other targets get the line with its empty message and no bytes.
    auto lines = Debugger();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(\(00000000\) \n$)"))) << lines[0];
}

// ---- message box and syslog --------------------------------------------------------------------------

TEST_F(DbgLogTest, SyslogDatagram) {
    UdpReceiver receiver;
    if (!receiver.Bind(514))
        GTEST_SKIP() << "cannot bind 127.0.0.1:514";
    auto log = MakeLog(0x00080001);
    ASSERT_TRUE(log->HasSocket());
    Log(*log, WSTR("Util"), 390, LOG_INF, WSTR("hello"));
    auto datagram = receiver.Receive(2000);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_TRUE(std::regex_match(*datagram, std::regex("<14>QLWinPrn: " + kTimeRe +
                                                       R"( _INF_/NORM Util:390 \(00000000\) hello)")))
        << *datagram;

    // Without the syslog bit the socket exists but nothing is sent.
    pal::host::ClearRegistry();
    auto quiet = MakeLog(0x00020001);
    Log(*quiet, WSTR("Util"), 1, LOG_INF, WSTR("not sent"));
    EXPECT_FALSE(receiver.Receive(0).has_value());
}

// ---- last error and check forms ---------------------------------------------------------------------

TEST_F(DbgLogTest, LastErrorSurvivesEveryPath) {
    auto off = MakeLog(0x00000000);
    pal::host::ClearRegistry();
    // Syslog to another loopback address, so no datagram reaches a syslog
    // test running at the same time in another process.
    auto all = MakeLog(0x009A0001, FileValue() + "\"DebugSyslog\"=\"127.0.0.9\"\n");
    testing::internal::CaptureStdout();
    for (CDbgLog* log : {off.get(), all.get()}) {
        for (DWORD level : {LOG_TRC, LOG_ERR, LOG_HEX, DWORD{0x002}}) {
            SetLastError(0x1234);
            BYTE b = 0;
            if (level == LOG_HEX)
                Log(*log, WSTR("Util"), 1, level, reinterpret_cast<LPCWSTR>(&b), DWORD{1});
            else
                Log(*log, WSTR("Util"), 1, level, WSTR("%s %d"), WSTR("x"), 5);
            EXPECT_EQ(GetLastError(), 0x1234u) << std::hex << level;
        }
    }
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Util:1"), std::string::npos);
    EXPECT_EQ(Debugger().size(), 3u);
    // A message box for the error line only.
    const auto boxes = pal::host::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(std::regex_match(Narrow(boxes[0].text), std::regex(kTimeRe + R"( _ERR_/NORM Util:1 \(00000000\) x 5)")))
        << Narrow(boxes[0].text);
    EXPECT_EQ(Narrow(boxes[0].caption), "QLWinPrn");
    EXPECT_EQ(boxes[0].type, 0x00200040u);
}

TEST_F(DbgLogTest, CheckForms) {
    // The process-wide log is configured once, as at process attach.
    static DWORD s_dwLevelRead = 0;
    if (!s_dwLevelRead) {
        MakeLog(0x00020001).reset();
        g_DbgLog.Init(kApp, kKeyPath);
        s_dwLevelRead = g_dwDebugLevel;
    }
    ASSERT_EQ(s_dwLevelRead, 0x00020001u);
    EXPECT_EQ(g_DbgLog.Level(), 0x00020001u | DBG_NOFILE);
    g_dwDebugLevel = s_dwLevelRead;

    int evaluated = 0;
    void* lpMem = nullptr;
    int fRtn = 0;
    SetLastError(5);
    EXPECT_FALSE(CHECK(++evaluated == 5));
    EXPECT_EQ(GetLastError(), 5u);
    SetLastError(6);
    EXPECT_FALSE(FLUNKKED(lpMem));
    SetLastError(7);
    EXPECT_FALSE(PASSED(fRtn == 0));
    EXPECT_TRUE(CHECK(evaluated == 1));
    EXPECT_TRUE(PASSED(fRtn != 0));
    auto lines = Debugger();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"( _ERR_/NORM Util:\d+ \(00000000\) \[CHECK<LastError=5>\] \(\+\+evaluated == 5\)\n$)")))
        << lines[0];
    EXPECT_TRUE(std::regex_search(lines[1], std::regex(R"(\[FLUNKKED<LastError=6>\] \(lpMem\)\n$)"))) << lines[1];
    EXPECT_TRUE(std::regex_search(lines[2], std::regex(R"(\[PASSED<LastError=7>\] !\(fRtn == 0\)\n$)"))) << lines[2];

    // With logging off the condition is still evaluated, and nothing is logged.
    g_dwDebugLevel = 0;
    EXPECT_FALSE(CHECK(++evaluated == 0));
    EXPECT_EQ(evaluated, 2);
    EXPECT_TRUE(Debugger().empty());
}

// ---- threads -------------------------------------------------------------------------------------

TEST_F(DbgLogTest, ConcurrentLinesAndDumpsStayWhole) {
    for (DWORD config : {DWORD{0x00000001}, DWORD{0x00400001}}) {
        std::filesystem::remove(m_root / "ql.log");
        pal::host::ClearRegistry();
        auto log = MakeLog(config, FileValue());
        constexpr int kThreads = 4, kLines = 300;
        std::vector<std::thread> threads;
        std::vector<DWORD> ids(kThreads);
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ids[t] = GetCurrentThreadId();
                BYTE dump[4] = {BYTE('a' + t), BYTE('a' + t), BYTE('a' + t), BYTE('a' + t)};
                for (int i = 0; i < kLines; ++i) {
                    Log(*log, WSTR("Util"), 1, LOG_INF, WSTR("thread %d line %d"), t, i);
                    if (i % 10 == 0)
                        Log(*log, WSTR("Util"), 2, LOG_HEX, reinterpret_cast<LPCWSTR>(dump), DWORD{sizeof(dump)});
                }
            });
        }
        for (auto& th : threads)
            th.join();
        g_now += 10000;
        Log(*log, WSTR("Util"), 3, LOG_INF, WSTR("end"));

        std::string file = ReadLogFile();
        std::regex lineRe(kTimeRe + R"( _INF_/NORM Util:1 \(00000000\) thread (\d) line (\d+))");
        std::regex dumpRe(R"(\d\d/\d\d \d\d:\d\d:\d\d:\d\d\d Id:(\d+) _INF_/NORM Util:2 \(00000000\) )");
        std::regex rowRe(R"(    (6[1-4]) \1 \1 \1   :(.)\2\2\2)");
        std::set<std::pair<int, int>> seen;
        int dumps = 0;
        std::istringstream in(file);
        std::string l;
        bool dumpPending = false;
        unsigned long dumpThread = 0;
        while (std::getline(in, l, '\n')) {
            ASSERT_FALSE(l.empty());
            ASSERT_EQ(l.back(), '\r') << l;
            l.pop_back();
            std::smatch m;
            if (dumpPending) {
                // The row right after a dump line holds the bytes of the same thread.
                ASSERT_TRUE(std::regex_match(l, m, rowRe)) << l;
                const int t = m[2].str()[0] - 'a';
                EXPECT_EQ(dumpThread, ids[t]);
                dumpPending = false;
                ++dumps;
            } else if (std::regex_match(l, m, lineRe)) {
                EXPECT_TRUE(seen.insert({std::stoi(m[1]), std::stoi(m[2])}).second) << l;
            } else if (std::regex_match(l, m, dumpRe)) {
                dumpPending = true;
                dumpThread = std::stoul(m[1]);
            } else {
                ASSERT_NE(l.find("end"), std::string::npos) << l;
            }
        }
        EXPECT_EQ(seen.size(), size_t{kThreads * kLines}) << std::hex << config;
        EXPECT_EQ(dumps, kThreads * kLines / 10);
    }
}

}  // namespace

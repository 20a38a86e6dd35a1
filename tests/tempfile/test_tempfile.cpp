// Temporary spool files: GetTempFileNameW of the platform layer, the five
// directories CreateTempFile tries in order (preferred, the printer's own,
// the cluster's, the spooler's default, the system spool directory), and the
// discovery of the cluster's spool directories through the platform layer's
// cluster calls: which virtual server owns which directory. The machine has
// printers with and without their own spool directory, the spooler's default
// spool directory, the debug log on the debugger channel, and (loaded by the
// tests that want it) a failover cluster with two virtual print servers.
#include "diag/DbgLog.h"
#include "palhost.h"
#include "port/GetClusterSpoolDirs.h"
#include "printproc/Util.h"
#include "support/TestMachine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using qltest::Contains;
using qltest::Dump;
using qltest::ExpectLines;

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="C:\\DefaultSpool"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Printer]
"Printer Driver"="Generic Printer"
"Port"="FILE1:"
"SpoolDirectory"="C:\\PrinterSpool"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\NoDir]
"Printer Driver"="Generic Printer"
"Port"="FILE2:"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Missing]
"Printer Driver"="Generic Printer"
"Port"="FILE3:"
"SpoolDirectory"="C:\\DoesNotExist"
)";

// "hex(2):..." data of a REG_EXPAND_SZ value holding text.
std::string ExpandSz(const std::string& text) {
    std::string out = "hex(2):";
    char buf[8];
    for (char c : text) {
        std::snprintf(buf, sizeof buf, "%02x,00,", static_cast<unsigned char>(c));
        out += buf;
    }
    return out + "00,00";
}

// Groups in enumeration order: "Cluster Group" (a network name, no spool
// directory), "PrintGroup1" (vs1, S:\Spool), "PrintGroup2" (VS2, T:\Spool),
// "PrintGroup3" (two network name resources: the later one, vs3, wins;
// U:\Spool).
std::string ClusterText() {
    const std::string groups = "[HKEY_LOCAL_MACHINE\\Cluster\\Groups\\";
    return std::string("Windows Registry Editor Version 5.00\n\n") +
           "[HKEY_LOCAL_MACHINE\\Cluster]\n\"ClusterName\"=\"QLCLUSTER\"\n\n" +
           groups + "Cluster Group\\Resources\\Cluster Name]\n\"NetworkName\"=\"QLCLUSTER\"\n\n" +
           groups + "Cluster Group\\Resources\\Quorum Disk]\n\n" +
           groups + "PrintGroup1\\Resources\\Network Name VS1]\n\"NetworkName\"=\"vs1\"\n\n" +
           groups + "PrintGroup1\\Resources\\Print Spooler VS1\\Parameters]\n" +
           "\"JobCompletionTimeout\"=dword:00000160\n" +
           "\"Name\"=\"spooler of vs1\"\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("S:\\Spool") + "\n\n" +
           groups + "PrintGroup2\\Resources\\Network Name VS2]\n\"NetworkName\"=\"VS2\"\n\n" +
           groups + "PrintGroup2\\Resources\\Print Spooler VS2\\Parameters]\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("T:\\Spool") + "\n\n" +
           groups + "PrintGroup3\\Resources\\A Old Name]\n\"NetworkName\"=\"old3\"\n\n" +
           groups + "PrintGroup3\\Resources\\B New Name]\n\"NetworkName\"=\"vs3\"\n\n" +
           groups + "PrintGroup3\\Resources\\C Spooler\\Parameters]\n" +
           "\"DefaultSpoolDirectory\"=" + ExpandSz("U:\\Spool") + "\n";
}

void LoadRegistry(const std::string& text) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(text, "tempfile-change.reg", &error)) << error;
}

void EnsureMachine() {
    qltest::SetUpMachine(kMachine, "tempfile", qltest::Attach::LogOnly);
}

void LoadCluster() { LoadRegistry(ClusterText()); }

void RemoveCluster() { LoadRegistry("Windows Registry Editor Version 5.00\n\n[-HKEY_LOCAL_MACHINE\\Cluster]\n"); }

// Host folder of a Windows directory, created empty.
std::filesystem::path FreshDir(const std::u16string& windowsDir) {
    std::filesystem::path p = pal::host::MapPath(windowsDir);
    std::error_code ec;
    std::filesystem::remove_all(p, ec);
    std::filesystem::create_directories(p);
    return p;
}

// Files in `dir` other than the spooler's own job files (<id>.SPL, <id>.SHD).
size_t FileCount(const std::filesystem::path& dir) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        n += it->path().extension() != ".SPL" && it->path().extension() != ".SHD";
    return n;
}

// Handles of the layer whose description starts with `prefix`.
std::vector<std::string> OpenHandlesLike(const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& h : pal::host::OpenHandles())
        if (h.rfind(prefix, 0) == 0) out.push_back(h);
    return out;
}

size_t CountLines(const std::vector<std::u16string>& lines, const std::u16string& text) {
    size_t n = 0;
    for (const auto& l : lines)
        if (l.find(text) != std::u16string::npos) ++n;
    return n;
}

constexpr char16_t kMsDir[] = u"C:\\Windows\\SYSTEM32\\SPOOL\\PRINTERS";

struct Attempt {
    DWORD result = 0;
    DWORD lastError = 0;
    FILE* file = nullptr;
    std::u16string name;
    std::vector<std::u16string> lines;
};

class TempFile : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMachine();
        pal::host::ResetSpooler();
        LoadRegistry(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="C:\\DefaultSpool"
)");
        FreshDir(u"C:\\Preferred");
        FreshDir(u"C:\\PrinterSpool");
        FreshDir(u"C:\\DefaultSpool");
        std::error_code ec;
        std::filesystem::remove_all(pal::host::MapPath(u"C:\\DoesNotExist"), ec);
        std::filesystem::remove_all(pal::host::MapPath(kMsDir), ec);
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        for (HANDLE h : printers) ClosePrinter(h);
        EXPECT_TRUE(OpenHandlesLike("key").empty()) << "registry keys left open";
        EXPECT_TRUE(OpenHandlesLike("file").empty()) << "files left open";
        EXPECT_TRUE(OpenHandlesLike("cluster").empty()) << "cluster handles left open";
    }

    // Opens the printer and queues a job on it; returns the job id.
    DWORD Job(const std::u16string& printer, HANDLE* phPrinter) {
        pal::host::JobSpec job;
        job.printer = printer;
        job.data = {1, 2, 3};
        DWORD jobId = pal::host::SubmitJob(job);
        std::u16string name = printer;
        EXPECT_TRUE(OpenPrinterW(name.data(), phPrinter, nullptr));
        printers.push_back(*phPrinter);
        return jobId;
    }

    static Attempt Create(HANDLE hPrinter, LPCWSTR server, DWORD jobId, LPCWSTR preferred, DWORD cch = MAX_PATH) {
        Attempt a;
        std::vector<WCHAR> name(cch + 1, 0);
        a.file = reinterpret_cast<FILE*>(1);
        a.result = CreateTempFile(hPrinter, server, jobId, name.data(), cch, preferred, &a.file);
        a.lastError = GetLastError();
        a.name = name.data();
        a.lines = pal::host::TakeDebugOutput();
        return a;
    }

    // Closes and deletes a file that was made; checks it was open for writing.
    static void Done(Attempt& a) {
        ASSERT_NE(a.file, nullptr);
        EXPECT_EQ(std::fputs("spool", a.file) >= 0, true);
        std::fclose(a.file);
        a.file = nullptr;
        EXPECT_TRUE(DeleteFileW(a.name.c_str()));
    }

    std::vector<HANDLE> printers;
};

// "<dir>\WPr" + 1 to 4 upper-case hex digits + ".TMP".
bool IsTempName(const std::u16string& name, const std::u16string& dir) {
    const std::u16string head = dir + u"\\WPr";
    if (name.size() < head.size() + 5 || name.compare(0, head.size(), head) != 0) return false;
    if (name.compare(name.size() - 4, 4, u".TMP") != 0) return false;
    const std::u16string hex = name.substr(head.size(), name.size() - head.size() - 4);
    if (hex.empty() || hex.size() > 4) return false;
    for (char16_t c : hex)
        if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'))) return false;
    return true;
}

class TempFileCluster : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMachine();
        pal::host::ResetSpooler();
        LoadCluster();
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        EXPECT_TRUE(OpenHandlesLike("cluster").empty()) << "cluster handles left open";
        Free(table);
    }
    static void Free(ClusterSpoolDirs& t) {
        if (t.names) MemFreeT(&t.names);
        if (t.dirs) MemFreeT(&t.dirs);
        t = {};
    }
    static std::u16string MultiSz(LPCWSTR p, SIZE_T cb) {
        return p ? std::u16string(p, cb / sizeof(WCHAR)) : std::u16string();
    }
    ClusterSpoolDirs table = {};
};

} // namespace

TEST_F(TempFile, GetTempFileNameMakesUniqueEmptyFiles) {
    WCHAR a[MAX_PATH] = {}, b[MAX_PATH] = {};
    UINT ua = GetTempFileNameW(WSTR("C:\\Preferred"), WSTR("WPrn"), 0, a);
    UINT ub = GetTempFileNameW(WSTR("C:\\Preferred\\"), WSTR("WPrn"), 0, b);
    ASSERT_NE(ua, 0u);
    ASSERT_NE(ub, 0u);
    EXPECT_NE(ua, ub);
    EXPECT_TRUE(IsTempName(a, u"C:\\Preferred")) << pal::host::ToUtf8(a);
    EXPECT_TRUE(IsTempName(b, u"C:\\Preferred")) << "one separator only: " << pal::host::ToUtf8(b);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", ua);
    EXPECT_EQ(std::u16string(a), u"C:\\Preferred\\WPr" + pal::host::FromUtf8(hex) + u".TMP");
    EXPECT_EQ(std::filesystem::file_size(pal::host::MapPath(a)), 0u);
    EXPECT_EQ(FileCount(pal::host::MapPath(u"C:\\Preferred")), 2u);

    // A given number only builds the name.
    WCHAR c[MAX_PATH] = {};
    EXPECT_EQ(GetTempFileNameW(WSTR("C:\\Preferred"), WSTR("X"), 0x1A2B, c), 0x1A2Bu);
    EXPECT_EQ(std::u16string(c), u"C:\\Preferred\\X1A2B.TMP");
    EXPECT_EQ(FileCount(pal::host::MapPath(u"C:\\Preferred")), 2u);

    // Failures leave the buffer alone.
    WCHAR d[MAX_PATH] = {u'-', 0};
    SetLastError(0);
    EXPECT_EQ(GetTempFileNameW(WSTR("C:\\DoesNotExist"), WSTR("WPrn"), 0, d), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(std::u16string(d), u"-");
    EXPECT_EQ(GetTempFileNameW(a, WSTR("WPrn"), 0, d), 0u) << "a file is not a directory";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    const std::u16string longDir = u"C:\\" + std::u16string(MAX_PATH - 16, u'd');
    EXPECT_EQ(GetTempFileNameW(longDir.c_str(), WSTR("WPrn"), 0, d), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUFFER_OVERFLOW));
    EXPECT_EQ(std::u16string(d), u"-");
    EXPECT_TRUE(DeleteFileW(a));
    EXPECT_TRUE(DeleteFileW(b));
}

TEST_F(TempFile, TheFirstDirectoryThatWorksTakesTheFile) {
    struct Case {
        const char* what;
        const char16_t* printer;  // opened with a job queued on it, or none
        bool passJobId, failGetJob;
        LPCWSTR preferred;
        std::u16string dir;
        std::vector<std::u16string> want;
        const char16_t* notWanted;
        bool noDefaultDir = false;  // the spooler's default directory removed from the registry
    } cases[] = {
        {"preferred", u"Printer", true, false, WSTR("C:\\Preferred"), u"C:\\Preferred",
         {u"this spooldir will be used: C:\\Preferred"}, u"system spooldir (one)"},
        {"-1 skips to the printer's", u"Printer", true, false, WSTR("-1"), u"C:\\PrinterSpool",
         {u"system spooldir (one)....:", u"system spooldir (one): C:\\PrinterSpool",
          u"this spooldir will be used: C:\\PrinterSpool"},
         u"empty directoty"},
        {"no job id skips the printer's", u"Printer", false, false, WSTR("-1"), u"C:\\DefaultSpool", {},
         u"system spooldir (one)"},
        {"empty preferred", nullptr, false, false, WSTR(""), u"C:\\DefaultSpool",
         {u"try to open file in empty directoty", u"system spooldir (all): C:\\DefaultSpool"}, nullptr},
        {"job unreadable", u"Printer", true, true, WSTR("-1"), u"C:\\DefaultSpool", {u"one: getjob2 failed"}, nullptr},
        {"printer without directory", u"NoDir", true, false, WSTR("-1"), u"C:\\DefaultSpool",
         {u"RegQueryValueEx fehlgeschlagen: 2"}, nullptr},
        // The failed attempt leaves nothing behind.
        {"printer's directory missing", u"Missing", true, false, WSTR("-1"), u"C:\\DefaultSpool",
         {u"TryToCreateTempFile: could not create spoolfile: ", u"system spooldir (one): C:\\DoesNotExist"}, nullptr},
        {"system spool directory last", nullptr, false, false, WSTR("-1"), kMsDir,
         {u"system spooldir (all): DefaultSpoolDirectory not found", u"system spooldir (MS): " + std::u16string(kMsDir)},
         nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE hPrinter = nullptr;
        DWORD jobId = c.printer ? Job(c.printer, &hPrinter) : 0;
        if (c.failGetJob) pal::host::InjectFault({.call = "GetJobW", .error = ERROR_ACCESS_DENIED, .once = true});
        if (c.noDefaultDir) {
            LoadRegistry("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
                         "Print\\Printers]\n\"DefaultSpoolDirectory\"=-\n");
            FreshDir(kMsDir);
        }
        Attempt a = Create(hPrinter, WSTR(""), c.passJobId ? jobId : 0, c.preferred);
        EXPECT_EQ(a.result, 0u);
        EXPECT_EQ(a.lastError, 0u);
        EXPECT_TRUE(IsTempName(a.name, c.dir)) << pal::host::ToUtf8(a.name);
        EXPECT_EQ(FileCount(pal::host::MapPath(c.dir)), 1u);
        for (const auto& line : c.want) EXPECT_TRUE(Contains(a.lines, line)) << pal::host::ToUtf8(line) << Dump(a.lines);
        EXPECT_FALSE(c.notWanted && Contains(a.lines, c.notWanted)) << Dump(a.lines);
        EXPECT_TRUE(Contains(a.lines, u">>>>>>>>>>>>>>>>>>>> CreateTempFile")) << Dump(a.lines);
        EXPECT_TRUE(Contains(a.lines, u"TryToCreateTempFile: spoolfile: " + a.name)) << Dump(a.lines);
        ASSERT_FALSE(a.lines.empty());
        EXPECT_NE(a.lines.back().find(u"<<<<<<<<<<<<<<<<<<<< CreateTempFile"), std::u16string::npos) << Dump(a.lines);
        Done(a);
    }
}

TEST_F(TempFile, EveryDirectoryFailing) {
    LoadRegistry(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
"DefaultSpoolDirectory"="C:\\DoesNotExist"
)");
    HANDLE hMissing = nullptr;
    DWORD jobId = Job(u"Missing", &hMissing);
    Attempt a = Create(hMissing, WSTR(""), jobId, WSTR("C:\\DoesNotExist"));
    EXPECT_EQ(a.result, QL_E_NO_TEMP_FILE);
    EXPECT_EQ(a.result, 0x8237117Au);
    EXPECT_EQ(a.lastError, QL_E_NO_TEMP_FILE);
    EXPECT_EQ(a.file, nullptr);
    EXPECT_EQ(CountLines(a.lines, u"TryToCreateTempFile: could not create spoolfile"), 4u) << Dump(a.lines);
    EXPECT_FALSE(Contains(a.lines, u"this spooldir will be used")) << Dump(a.lines);
    ASSERT_FALSE(a.lines.empty());
    EXPECT_NE(a.lines.back().find(u"<<<<<<<<<<<<<<<<<<<< CreateTempFile"), std::u16string::npos) << Dump(a.lines);

    // The spooler's key itself missing.
    LoadRegistry(R"(Windows Registry Editor Version 5.00

[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers]
)");
    a = Create(nullptr, WSTR(""), 0, WSTR("-1"));
    EXPECT_EQ(a.result, QL_E_NO_TEMP_FILE);
    EXPECT_TRUE(Contains(a.lines, u"system spooldir (all): SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\ not found"))
        << Dump(a.lines);
    LoadRegistry(kMachine);
}

TEST_F(TempFile, FileNameBufferNeedsTwoCharactersMore) {
    // The numbers GetTempFileNameW picks count up, so the next name's length
    // is known from this one.
    WCHAR probe[MAX_PATH] = {};
    UINT n = GetTempFileNameW(WSTR("C:\\Preferred"), WSTR("WPrn"), 0, probe);
    ASSERT_NE(n, 0u);
    ASSERT_TRUE(DeleteFileW(probe));
    ASSERT_LT(n, 0xFFF0u) << "numbers about to wrap; run again";
    auto lengthOf = [](UINT unique) {
        char hex[8];
        return std::u16string(u"C:\\Preferred\\WPr").size() + std::snprintf(hex, sizeof hex, "%X", unique) + 4;
    };

    WCHAR name[MAX_PATH] = {};
    FILE* file = nullptr;
    const DWORD len1 = static_cast<DWORD>(lengthOf(n + 1));
    pal::host::TakeDebugOutput();
    EXPECT_FALSE(TryToCreateTempFile(WSTR("C:\\Preferred"), name, len1 + 1, &file));
    EXPECT_EQ(file, nullptr);
    auto lines = pal::host::TakeDebugOutput();
    ExpectLines(lines, {u"[PASSED<LastError=", u"!(cTcharsFileName < wcslen(tszTempFileName) + sizeof(TCHAR))"});
    EXPECT_EQ(FileCount(pal::host::MapPath(u"C:\\Preferred")), 0u) << "the name's file was removed again";

    const DWORD len2 = static_cast<DWORD>(lengthOf(n + 2));
    ASSERT_TRUE(TryToCreateTempFile(WSTR("C:\\Preferred"), name, len2 + 2, &file));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(std::u16string(name).size(), len2);
    std::fclose(file);
    EXPECT_TRUE(DeleteFileW(name));
}

TEST_F(TempFile, ClusterSpoolDirectoryOfTheServer) {
    LoadCluster();
    FreshDir(u"S:\\Spool");
    std::error_code ec;
    std::filesystem::remove_all(pal::host::MapPath(u"T:\\Spool"), ec);
    if (!IsClusterSpoolDirFound()) GetClusterSpoolDirs(&g_ClusterSpoolDirs);
    ASSERT_TRUE(IsClusterSpoolDirFound());
    pal::host::TakeDebugOutput();

    // The printer's own directory fails, the cluster's takes the file.
    HANDLE hMissing = nullptr;
    DWORD jobId = Job(u"Missing", &hMissing);
    Attempt a = Create(hMissing, WSTR("VS1"), jobId, WSTR("-1"));
    EXPECT_EQ(a.result, 0u);
    EXPECT_TRUE(IsTempName(a.name, u"S:\\Spool")) << pal::host::ToUtf8(a.name);
    ExpectLines(a.lines, {u"Try Cluster Spool Dir<S:\\Spool>", u"bDirExists = TRUE",
                          u"this spooldir will be used: S:\\Spool"});
    Done(a);

    // A cluster directory that fails hands on to the default directory.
    a = Create(nullptr, WSTR("vs2"), 0, WSTR("-1"));
    ExpectLines(a.lines, {u"Try Cluster Spool Dir<T:\\Spool>"}, {u"bDirExists = TRUE"});
    EXPECT_TRUE(IsTempName(a.name, u"C:\\DefaultSpool")) << pal::host::ToUtf8(a.name);
    Done(a);
}

TEST_F(TempFileCluster, WithoutDescriptionThereIsNoClusterAndDiscoveryRepeats) {
    RemoveCluster();
    SetLastError(0);
    EXPECT_EQ(OpenCluster(nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

    // A server without a cluster asks again at every job.
    GetClusterSpoolDirs(&table);
    GetClusterSpoolDirs(&table);
    auto lines = pal::host::TakeDebugOutput();
    EXPECT_EQ(CountLines(lines, u"no cluster"), 2u) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"running on cluster"));
    EXPECT_EQ(table.names, nullptr);
    EXPECT_EQ(table.dirs, nullptr);

    EXPECT_EQ(FindClusterSpoolDir(&table, WSTR("VS1")), nullptr);
    lines = pal::host::TakeDebugOutput();
    ExpectLines(lines, {u"[FLUNKKED<LastError=", u"(IsClusterSpoolDirFound())"});
}

TEST_F(TempFileCluster, DiscoveryPairsNetworkNamesWithSpoolDirectories) {
    GetClusterSpoolDirs(&table);
    auto lines = pal::host::TakeDebugOutput();
    ExpectLines(lines, {u"running on cluster", u"GroupName=PrintGroup1", u"Ressource Name=Print Spooler VS1",
                        u"Add Network Name=vs1", u"Add SpoolDir=S:\\Spool"},
                       {u"FLUNKKED"});

    // "Cluster Group" has no spool directory and is left out; in PrintGroup3
    // the later network name replaced the earlier one.
    const std::u16string names(u"vs1\0VS2\0vs3\0\0", 13);
    const std::u16string dirs(u"S:\\Spool\0T:\\Spool\0U:\\Spool\0\0", 28);
    EXPECT_EQ(MultiSz(table.names, table.cbNames), names);
    EXPECT_EQ(table.cbNames, names.size() * sizeof(WCHAR));
    EXPECT_EQ(MultiSz(table.dirs, table.cbDirs), dirs);
    EXPECT_EQ(table.cbDirs, dirs.size() * sizeof(WCHAR));

    // Whole names, any case.
    auto find = [&](LPCWSTR server) {
        LPCWSTR d = FindClusterSpoolDir(&table, server);
        return d ? std::u16string(d) : std::u16string(u"(none)");
    };
    EXPECT_EQ(find(WSTR("VS1")), u"S:\\Spool");
    EXPECT_EQ(find(WSTR("vs2")), u"T:\\Spool");
    EXPECT_EQ(find(WSTR("Vs3")), u"U:\\Spool");
    EXPECT_EQ(find(WSTR("vs")), u"(none)");
    EXPECT_EQ(find(WSTR("vs1x")), u"(none)");
    EXPECT_EQ(find(WSTR("old3")), u"(none)");
    EXPECT_EQ(find(WSTR("")), u"(none)");
    EXPECT_EQ(find(nullptr), u"(none)");

    // A filled table is not filled again.
    GetClusterSpoolDirs(&table);
    lines = pal::host::TakeDebugOutput();
    EXPECT_FALSE(Contains(lines, u"running on cluster")) << Dump(lines);
}

// A group that cannot be opened ends the walk, a group whose resources
// cannot be listed too; a resource that cannot be opened is skipped (its
// group then lacks a network name and is left out); a failing control code
// counts as no answer. What was found before stays.
TEST_F(TempFileCluster, ErrorsEndTheDiscoveryAndKeepWhatWasFound) {
    const struct {
        pal::host::Fault fault;
        std::vector<std::u16string_view> present, absent;
        std::u16string names, dirs;
    } cases[] = {
        {{.call = "OpenClusterGroup", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true},
         {u"[CHECK<LastError=5>] (hGroup)"}, {u"GroupName=PrintGroup3"}, {u"vs1\0\0", 5}, {u"S:\\Spool\0\0", 10}},
        {{.call = "ClusterGroupOpenEnum", .error = ERROR_ACCESS_DENIED, .once = true}, {u"(hGroupEnum)"},
         {u"GroupName=PrintGroup1"}, u"", u""},
        {{.call = "OpenClusterResource", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true},
         {u"[FLUNKKED<LastError=5>] (hResource != 0)", u"Ressource Name=Print Spooler VS1"}, {},
         {u"VS2\0vs3\0\0", 9}, {u"T:\\Spool\0U:\\Spool\0\0", 19}},
        {{.call = "ClusterResourceControl", .error = ERROR_ACCESS_DENIED}, {u"running on cluster"},
         {u"Add Network Name"}, u"", u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.call);
        pal::host::InjectFault(c.fault);
        GetClusterSpoolDirs(&table);
        pal::host::ClearFaults();
        ExpectLines(pal::host::TakeDebugOutput(), c.present, c.absent);
        EXPECT_EQ(MultiSz(table.names, table.cbNames), c.names);
        EXPECT_EQ(MultiSz(table.dirs, table.cbDirs), c.dirs);
        Free(table);
    }
}

TEST_F(TempFileCluster, TwoJobsOpeningAtOnceFillTheTableOnce) {
    for (int round = 0; round < 20; ++round) {
        Free(table);
        pal::host::TakeDebugOutput();
        std::atomic<int> ready{0};
        auto job = [&] {
            ++ready;
            while (ready.load() < 2) std::this_thread::yield();
            GetClusterSpoolDirs(&table);
            // Whatever this job sees is complete.
            if (LPCWSTR d = FindClusterSpoolDir(&table, WSTR("vs2"))) {
                EXPECT_EQ(std::u16string(d), u"T:\\Spool");
            }
        };
        std::thread a(job), b(job);
        a.join();
        b.join();
        auto lines = pal::host::TakeDebugOutput();
        ASSERT_EQ(CountLines(lines, u"running on cluster"), 1u) << Dump(lines);
        ASSERT_EQ(table.cbNames, 13 * sizeof(WCHAR));
        ASSERT_EQ(table.cbDirs, 28 * sizeof(WCHAR));
    }
}

// The discovery of the cluster's spool directories through the platform
// layer's cluster calls: which virtual server owns which directory.
#include "TempFileMachine.h"

#include "port/GetClusterSpoolDirs.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace tempfile_test;
using qltest::Contains;
using qltest::ExpectLines;
using qltest::Dump;

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

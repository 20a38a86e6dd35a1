// The failover cluster calls of the platform layer and the discovery of the
// cluster's spool directories: which virtual server owns which directory.
#include "TempFileMachine.h"

#include "port/GetClusterSpoolDirs.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

using namespace tempfile_test;
using qltest::Contains;
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

// A DWORD of a property list, for layout checks.
DWORD U32(const BYTE* p) {
    DWORD v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

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
    EXPECT_TRUE(Contains(lines, u"[FLUNKKED<LastError=")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"(IsClusterSpoolDirFound())")) << Dump(lines);
}

TEST_F(TempFileCluster, ResourceControlAnswersAsWin32) {
    HCLUSTER hCluster = OpenCluster(nullptr);
    ASSERT_NE(hCluster, nullptr);
    HRESOURCE hName = OpenClusterResource(hCluster, WSTR("network name vs1"));
    ASSERT_NE(hName, nullptr);

    // Too small a buffer gets the size and no bytes.
    DWORD cb = 0;
    WCHAR buf[8] = {u'x'};
    EXPECT_EQ(ClusterResourceControl(hName, nullptr, CLUSCTL_RESOURCE_GET_NETWORK_NAME, nullptr, 0, buf, 6, &cb),
              static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(cb, 8u) << "\"vs1\" and its terminator";
    EXPECT_EQ(buf[0], u'x');
    EXPECT_EQ(ClusterResourceControl(hName, nullptr, 0x01000001, nullptr, 0, nullptr, 0, &cb),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    HRESOURCE hSpooler = OpenClusterResource(hCluster, WSTR("Print Spooler VS1"));
    ASSERT_NE(hSpooler, nullptr);
    EXPECT_EQ(ClusterResourceControl(hSpooler, nullptr, CLUSCTL_RESOURCE_GET_NETWORK_NAME, nullptr, 0, nullptr, 0, &cb),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION))
        << "a resource without a network name";

    ASSERT_EQ(ClusterResourceControl(hSpooler, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0, nullptr, 0,
                                     &cb),
              static_cast<DWORD>(ERROR_SUCCESS));
    std::vector<BYTE> list(cb);
    DWORD cbList = 0;
    ASSERT_EQ(ClusterResourceControl(hSpooler, nullptr, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, nullptr, 0,
                                     list.data(), cb, &cbList),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(cbList, cb);
    // Count, then name "JobCompletionTimeout" (21 chars -> 42 bytes, padded 44),
    // its DWORD value and the end mark of its value list.
    EXPECT_EQ(U32(&list[0]), 3u);
    EXPECT_EQ(U32(&list[4]), static_cast<DWORD>(CLUSPROP_SYNTAX_NAME));
    EXPECT_EQ(U32(&list[8]), 42u);
    EXPECT_EQ(U32(&list[12 + 44]), static_cast<DWORD>(CLUSPROP_SYNTAX_LIST_VALUE_DWORD));
    EXPECT_EQ(U32(&list[12 + 44 + 4]), 4u);
    EXPECT_EQ(U32(&list[12 + 44 + 8]), 0x160u);
    EXPECT_EQ(U32(&list[12 + 44 + 12]), static_cast<DWORD>(CLUSPROP_SYNTAX_ENDMARK));
    EXPECT_EQ(U32(&list[cbList - 8]), static_cast<DWORD>(CLUSPROP_SYNTAX_ENDMARK));

    LPWSTR value = nullptr;
    ASSERT_EQ(ResUtilFindExpandSzProperty(list.data(), cbList, WSTR("defaultspooldirectory"), &value),
              static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::u16string(value), u"S:\\Spool");
    LocalFree(value);
    value = nullptr;
    EXPECT_EQ(ResUtilFindExpandSzProperty(list.data(), cbList, WSTR("Name"), &value),
              static_cast<DWORD>(ERROR_INVALID_DATA))
        << "a plain string is not an expandable string";
    EXPECT_EQ(ResUtilFindExpandSzProperty(list.data(), cbList, WSTR("Nothing"), &value),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(value, nullptr);

    // Cut or corrupted lists are refused, never read past their end.
    EXPECT_EQ(ResUtilFindExpandSzProperty(list.data(), cbList - 4, WSTR("Nothing"), &value),
              static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(ResUtilFindExpandSzProperty(list.data(), 3, WSTR("Nothing"), &value),
              static_cast<DWORD>(ERROR_INVALID_DATA));
    std::vector<BYTE> bad(list.begin(), list.end());
    const DWORD huge = 0xFFFFFFF0u;
    std::memcpy(&bad[8], &huge, sizeof huge);
    EXPECT_EQ(ResUtilFindExpandSzProperty(bad.data(), cbList, WSTR("DefaultSpoolDirectory"), &value),
              static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(value, nullptr);

    EXPECT_TRUE(CloseClusterResource(hSpooler));
    EXPECT_TRUE(CloseClusterResource(hName));
    EXPECT_TRUE(CloseCluster(hCluster));
}

TEST_F(TempFileCluster, DiscoveryPairsNetworkNamesWithSpoolDirectories) {
    GetClusterSpoolDirs(&table);
    auto lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, u"running on cluster")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"GroupName=PrintGroup1")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"Ressource Name=Print Spooler VS1")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"Add Network Name=vs1")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"Add SpoolDir=S:\\Spool")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"FLUNKKED")) << Dump(lines);

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

TEST_F(TempFileCluster, ErrorsEndTheDiscoveryAndKeepWhatWasFound) {
    // The third group cannot be opened: the first two were read.
    pal::host::InjectFault({.call = "OpenClusterGroup", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true});
    GetClusterSpoolDirs(&table);
    auto lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, u"[CHECK<LastError=5>] (hGroup)")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"GroupName=PrintGroup3")) << "the walk ended";
    EXPECT_EQ(MultiSz(table.names, table.cbNames), std::u16string(u"vs1\0\0", 5));
    Free(table);

    // A group's resources cannot be listed: nothing after it is read.
    pal::host::InjectFault({.call = "ClusterGroupOpenEnum", .error = ERROR_ACCESS_DENIED, .once = true});
    GetClusterSpoolDirs(&table);
    lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, u"(hGroupEnum)")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"GroupName=PrintGroup1")) << Dump(lines);
    EXPECT_EQ(table.dirs, nullptr);

    // One resource cannot be opened: the walk goes on. PrintGroup1 then lacks
    // its network name and is left out.
    pal::host::InjectFault({.call = "OpenClusterResource", .afterCalls = 2, .error = ERROR_ACCESS_DENIED, .once = true});
    GetClusterSpoolDirs(&table);
    lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, u"[FLUNKKED<LastError=5>] (hResource != 0)")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"Ressource Name=Print Spooler VS1")) << Dump(lines);
    EXPECT_EQ(MultiSz(table.names, table.cbNames), std::u16string(u"VS2\0vs3\0\0", 9));
    EXPECT_EQ(MultiSz(table.dirs, table.cbDirs), std::u16string(u"T:\\Spool\0U:\\Spool\0\0", 19));
    Free(table);

    // A control code that fails counts as no answer.
    pal::host::InjectFault({.call = "ClusterResourceControl", .error = ERROR_ACCESS_DENIED});
    GetClusterSpoolDirs(&table);
    lines = pal::host::TakeDebugOutput();
    EXPECT_TRUE(Contains(lines, u"running on cluster")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"Add Network Name")) << Dump(lines);
    EXPECT_EQ(table.dirs, nullptr);
    pal::host::ClearFaults();
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

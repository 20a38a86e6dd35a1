// Impersonation helpers, file security of temporary spool files, and the port
// query that runs under the spooler's identity and gives the user's back.
#include "diag/DbgLog.h"

#include "support/TestMachine.h"
#include "palhost.h"
#include "port/Impersonate.h"
#include "port/WinPort.h"
#include "printproc/Util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using qltest::Contains;
using qltest::Dump;

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLVM:]
"PortType"="Quillon Print Port for VMware"
)";

struct TempRoot {
    std::filesystem::path path;
    ~TempRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
} g_root;

bool TokensOpen() {
    for (const auto& h : pal::host::OpenHandles())
        if (h.rfind("token", 0) == 0) return true;
    return false;
}

class Impersonation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!g_root.path.empty()) return;
        std::string tmpl = (std::filesystem::temp_directory_path() / "qlimp-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        g_root.path = tmpl;
        pal::host::SetDriveRoot(tmpl);
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText(kMachine, "security.reg", &error)) << error;
        g_DbgLog.Init(WSTR("QLWinPrn"), WSTR("Software\\Quillon\\QLWinPrn"));
    }
    void SetUp() override {
        pal::host::StopImpersonating();
        pal::host::ResetSpooler();
        pal::host::ClearSecurityRecords();
    }
    void TearDown() override {
        EXPECT_FALSE(TokensOpen()) << "token handles left open";
        pal::host::StopImpersonating();
    }
    static std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }
    static std::u16string FilePath(const std::string& name) { return u"C:\\" + pal::host::FromUtf8(name); }
};

} // namespace

TEST_F(Impersonation, RevertWithoutImpersonationSavesTheProcessToken) {
    ImpersonationContext oCon = {};
    ASSERT_TRUE(MyRevertToSelf(&oCon));
    EXPECT_NE(oCon.hToken, nullptr);
    EXPECT_EQ(oCon.hThread, GetCurrentThread());
    EXPECT_EQ(oCon.hProcess, GetCurrentProcess());
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);

    ASSERT_TRUE(MyImpersonateLoggedOnUser(&oCon));
    auto id = pal::host::CurrentIdentity();
    EXPECT_EQ(id.sid, u"S-1-5-18") << "the spooler's own identity is impersonated";
    EXPECT_TRUE(id.impersonating);
    EXPECT_EQ(oCon.hToken, nullptr);
    EXPECT_EQ(oCon.hThread, nullptr);
    EXPECT_EQ(oCon.hProcess, nullptr);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"MyRevertToSelf ok")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"MyImpersonateLoggedOnUser ok")) << Dump(lines);
}

TEST_F(Impersonation, RevertAndRestoreTheUser) {
    pal::host::ImpersonateUser(u"alice");
    ImpersonationContext oCon = {};
    ASSERT_TRUE(MyRevertToSelf(&oCon));
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"SYSTEM");
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
    ASSERT_TRUE(MyImpersonateLoggedOnUser(&oCon));
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");

    // An empty context has nothing to restore and still succeeds.
    ImpersonationContext empty = {};
    EXPECT_TRUE(MyImpersonateLoggedOnUser(&empty));
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");
}

TEST_F(Impersonation, FailuresLeaveTheThreadAsItWas) {
    pal::host::ImpersonateUser(u"alice");
    ImpersonationContext oCon = {};

    pal::host::InjectFault({.call = "OpenThreadToken", .error = ERROR_ACCESS_DENIED, .once = true});
    pal::host::InjectFault({.call = "OpenProcessToken", .error = ERROR_ACCESS_DENIED, .once = true});
    EXPECT_FALSE(MyRevertToSelf(&oCon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(oCon.hToken, nullptr);
    EXPECT_EQ(oCon.hThread, nullptr);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"SetJobStatusToErr: OpenProcessToken failed: 5")) << Dump(lines);

    pal::host::InjectFault({.call = "RevertToSelf", .error = ERROR_BAD_TOKEN_TYPE, .once = true});
    EXPECT_FALSE(MyRevertToSelf(&oCon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_TOKEN_TYPE)) << "kept across the clean-up";
    EXPECT_EQ(oCon.hToken, nullptr) << "the saved token is closed";
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");
    lines = Lines();
    EXPECT_TRUE(Contains(lines, u"SetJobStatusToErr: RevertToSelf failed: 1349")) << Dump(lines);

    ASSERT_TRUE(MyRevertToSelf(&oCon));
    pal::host::InjectFault({.call = "ImpersonateLoggedOnUser", .error = ERROR_ACCESS_DENIED, .once = true});
    EXPECT_FALSE(MyImpersonateLoggedOnUser(&oCon));
    EXPECT_EQ(oCon.hToken, nullptr);
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
    lines = Lines();
    EXPECT_TRUE(Contains(lines, u"SetJobStatusToErr: ImpersonateLoggedOnUser failed: 5")) << Dump(lines);
    EXPECT_FALSE(Contains(lines, u"MyImpersonateLoggedOnUser ok")) << Dump(lines);
}

TEST_F(Impersonation, NoTokenUserWithoutImpersonation) {
    SetLastError(0);
    EXPECT_EQ(GetTokenUser(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"OpenProcessToken failed: 1008")) << Dump(lines);

    const std::u16string file = FilePath("nouser.tmp");
    std::ofstream(g_root.path / "nouser.tmp") << "x";
    EXPECT_FALSE(TakeOwnership(file.c_str()));
    EXPECT_EQ(SetFileToStdRigths(file.c_str()), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_FALSE(pal::host::FileSecurity(file)) << "nothing was applied";
}

TEST_F(Impersonation, OwnerAndStandardRightsForTheUser) {
    pal::host::ImpersonateUser(u"bob");
    const std::u16string bob = pal::host::UserSid(u"bob");
    PTOKEN_USER pUser = GetTokenUser();
    ASSERT_NE(pUser, nullptr);
    EXPECT_EQ(pal::host::SidString(pUser->User.Sid), bob);
    MemFreeT(&pUser);

    const std::u16string file = FilePath("spool.tmp");
    std::ofstream(g_root.path / "spool.tmp") << "x";
    ASSERT_TRUE(TakeOwnership(file.c_str()));
    ASSERT_EQ(SetFileToStdRigths(file.c_str()), 0u);
    auto rec = pal::host::FileSecurity(file);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->owner, bob);
    ASSERT_EQ(rec->dacl.size(), 3u);
    EXPECT_EQ(rec->dacl[0].sid, u"S-1-5-32-544");
    EXPECT_EQ(rec->dacl[0].mask, 0x001F01FFu);
    EXPECT_EQ(rec->dacl[1].sid, u"S-1-5-18");
    EXPECT_EQ(rec->dacl[1].mask, 0x001F01FFu);
    EXPECT_EQ(rec->dacl[2].sid, bob);
    EXPECT_EQ(rec->dacl[2].mask, 0x001301BFu) << "no WRITE_DAC, WRITE_OWNER or FILE_DELETE_CHILD";
    for (const auto& ace : rec->dacl) {
        EXPECT_EQ(ace.type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace.flags, 0) << "no inheritance";
    }

    // The standard rights leave the user no WRITE_OWNER.
    EXPECT_FALSE(TakeOwnership(file.c_str()));
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"SetNamedSecurityInfo failed: 5")) << Dump(lines);
}

TEST_F(Impersonation, StandardRightsFailures) {
    pal::host::ImpersonateUser(u"bob");
    const std::u16string file = FilePath("fail.tmp");
    std::ofstream(g_root.path / "fail.tmp") << "x";

    pal::host::InjectFault({.call = "SetEntriesInAclW", .error = ERROR_NOT_ENOUGH_MEMORY, .once = true});
    EXPECT_EQ(SetFileToStdRigths(file.c_str()), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"[FLUNKKED<LastError=8>] (acl.SetEntriesInAclW(3, ea) == 0L)")) << Dump(lines);

    const std::u16string missing = FilePath("missing.tmp");
    EXPECT_EQ(SetFileToStdRigths(missing.c_str()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    lines = Lines();
    EXPECT_TRUE(Contains(lines, u"SetNamedSecurityInfo with securities is not possible <C:\\missing.tmp> with error 2"))
        << Dump(lines);
    EXPECT_FALSE(TakeOwnership(missing.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Impersonation, CreateFileEveryOneAccessKeepsExistingContent) {
    EXPECT_TRUE(IsWin2000OrLater());
    pal::host::ImpersonateUser(u"carol");

    const std::u16string fresh = FilePath("fresh.tmp");
    ASSERT_EQ(CreateFileEveryOneAccess(fresh.c_str()), 0u);
    EXPECT_TRUE(std::filesystem::exists(g_root.path / "fresh.tmp"));
    EXPECT_FALSE(pal::host::FileSecurity(fresh)) << "default security of the directory";

    std::ofstream(g_root.path / "full.tmp") << "keep me";
    ASSERT_EQ(CreateFileEveryOneAccess(FilePath("full.tmp").c_str()), 0u);
    EXPECT_EQ(std::filesystem::file_size(g_root.path / "full.tmp"), 7u) << "opened, not truncated";

    auto records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, "CreateFileW");
    EXPECT_EQ(records[0].target, fresh);
    EXPECT_EQ(records[0].identity.user, u"carol") << "made under the thread's identity";
}

TEST_F(Impersonation, CreateFileEveryOneAccessFailures) {
    EXPECT_EQ(CreateFileEveryOneAccess(WSTR("C:\\nodir\\x.tmp")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"[FLUNKKED<LastError=3>] (hFile != ((HANDLE)(LONG_PTR)-1))")) << Dump(lines);
    EXPECT_TRUE(Contains(lines, u"Filecreate with securities is not possible <C:\\nodir\\x.tmp> with error 3"))
        << Dump(lines);

    pal::host::InjectFault({.call = "SetEntriesInAclW", .error = ERROR_NOT_ENOUGH_MEMORY, .once = true});
    EXPECT_EQ(CreateFileEveryOneAccess(FilePath("never.tmp").c_str()), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(std::filesystem::exists(g_root.path / "never.tmp")) << "no file without the ACL";
    lines = Lines();
    EXPECT_TRUE(Contains(lines, u"(acl.SetEntriesInAclW(1, ea) == 0L)")) << Dump(lines);
}

TEST_F(Impersonation, SystemLibrariesNeedABareName) {
    for (const char16_t* name : {u".\\winspool.drv", u"\\winspool.drv", u"\\\\server\\share\\winspool.drv",
                                 u"system32\\winspool.drv"})
        EXPECT_EQ(LoadSystemLibrary(reinterpret_cast<LPCWSTR>(name)), nullptr) << pal::host::ToUtf8(name);
}

class PortQuery : public Impersonation {};

TEST_F(PortQuery, RunsAsTheSpoolerAndRestoresTheUser) {
    pal::host::ImpersonateUser(u"dave");
    CWinPort oPort;
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), WSTR("QUILLON PRINT PORT FOR VMWARE")), 0u);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"dave");

    auto records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, "OpenPrinterW");
    EXPECT_EQ(records[0].target, u",XcvPort QLVM:");
    EXPECT_EQ(records[1].call, "XcvDataW");
    for (const auto& r : records) {
        EXPECT_EQ(r.identity.sid, u"S-1-5-18") << r.call;
        EXPECT_FALSE(r.identity.impersonating) << r.call;
    }
}

TEST_F(PortQuery, RestoresTheUserWhenTheChannelFails) {
    pal::host::ImpersonateUser(u"dave");
    pal::host::InjectFault({.call = "OpenPrinterW", .error = ERROR_ACCESS_DENIED, .once = true});
    CWinPort oPort;
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), WSTR("Quillon Print Port for VMware")), 1u);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"dave");
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"open <,XcvPort QLVM:> fails with 5")) << Dump(lines);
    auto records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].identity.user, u"SYSTEM");

    // A port nobody knows, and a monitor that fails the command.
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("NOSUCH:"), WSTR("Quillon Print Port for VMware")), 1u);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"dave");
    pal::host::InjectFault({.call = "XcvDataW", .error = ERROR_GEN_FAILURE, .once = true});
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), WSTR("Quillon Print Port for VMware")), 1u);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"dave");

    EXPECT_EQ(oPort.TestAllPortInPortList(nullptr, WSTR("x")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(pal::host::TakeIdentityRecords().size(), 3u) << "a null name asks nobody";
}

TEST_F(PortQuery, ScopeFailuresAreLogged) {
    pal::host::ImpersonateUser(u"erin");
    pal::host::InjectFault({.call = "RevertToSelf", .error = ERROR_ACCESS_DENIED, .once = true});
    CWinPort oPort;
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), WSTR("Quillon Print Port for VMware")), 0u);
    auto lines = Lines();
    EXPECT_TRUE(Contains(lines, u"[CHECK<LastError=5>] (m_fRevertToSelfTakePlace = MyRevertToSelf(&m_oCon))"))
        << Dump(lines);
    EXPECT_EQ(pal::host::TakeIdentityRecords()[0].identity.user, u"erin") << "the query ran as the user then";
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"erin");

    pal::host::InjectFault({.call = "ImpersonateLoggedOnUser", .error = ERROR_ACCESS_DENIED, .once = true});
    {
        CRevertToSelfScope scope;
        EXPECT_TRUE(scope.RevertToSelfTookPlace());
    }
    lines = Lines();
    EXPECT_TRUE(Contains(lines, u"[CHECK<LastError=5>] (MyImpersonateLoggedOnUser(&m_oCon))")) << Dump(lines);
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
}

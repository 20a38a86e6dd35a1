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
using qltest::ExpectLines;
using qltest::Dump;

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Quillon\QLWinPrn]
"DebugLevel"=dword:00020001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLVM:]
"PortType"="Quillon Print Port for VMware"
)";

constexpr LPCWSTR kVmware = WSTR("Quillon Print Port for VMware");

class Impersonation : public ::testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine(kMachine, "qlimp", qltest::Attach::LogOnly);
        pal::host::StopImpersonating();
        pal::host::ResetSpooler();
        pal::host::ClearSecurityRecords();
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        for (const auto& h : pal::host::OpenHandles()) EXPECT_NE(h.rfind("token", 0), 0u) << "left open: " << h;
        pal::host::StopImpersonating();
    }
    static std::vector<std::u16string> Lines() { return pal::host::TakeDebugOutput(); }
    // A file with some content on drive C:, by its Windows path.
    static std::u16string MakeFile(const std::string& name, const char* content = "x") {
        std::ofstream(qltest::MachineRoot() / name) << content;
        return u"C:\\" + pal::host::FromUtf8(name);
    }
};

} // namespace

TEST_F(Impersonation, RevertAndRestore) {
    // Without impersonation the process token is saved and impersonated back.
    ImpersonationContext oCon = {};
    ASSERT_TRUE(MyRevertToSelf(&oCon));
    EXPECT_NE(oCon.hToken, nullptr);
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
    ASSERT_TRUE(MyImpersonateLoggedOnUser(&oCon));
    EXPECT_EQ(pal::host::CurrentIdentity().sid, u"S-1-5-18");
    EXPECT_TRUE(pal::host::CurrentIdentity().impersonating);
    EXPECT_EQ(oCon.hToken, nullptr);
    EXPECT_EQ(oCon.hThread, nullptr);
    auto lines = Lines();
    ExpectLines(lines, {u"MyRevertToSelf ok", u"MyImpersonateLoggedOnUser ok"});

    pal::host::ImpersonateUser(u"alice");
    ASSERT_TRUE(MyRevertToSelf(&oCon));
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"SYSTEM");
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
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");
    EXPECT_TRUE(Contains(Lines(), u"SetJobStatusToErr: OpenProcessToken failed: 5"));

    pal::host::InjectFault({.call = "RevertToSelf", .error = ERROR_BAD_TOKEN_TYPE, .once = true});
    EXPECT_FALSE(MyRevertToSelf(&oCon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_TOKEN_TYPE)) << "kept across the clean-up";
    EXPECT_EQ(oCon.hToken, nullptr) << "the saved token is closed";
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"alice");
    EXPECT_TRUE(Contains(Lines(), u"SetJobStatusToErr: RevertToSelf failed: 1349"));

    ASSERT_TRUE(MyRevertToSelf(&oCon));
    pal::host::InjectFault({.call = "ImpersonateLoggedOnUser", .error = ERROR_ACCESS_DENIED, .once = true});
    EXPECT_FALSE(MyImpersonateLoggedOnUser(&oCon));
    EXPECT_EQ(oCon.hToken, nullptr);
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
    auto lines = Lines();
    ExpectLines(lines, {u"SetJobStatusToErr: ImpersonateLoggedOnUser failed: 5"}, {u"MyImpersonateLoggedOnUser ok"});
}

TEST_F(Impersonation, OwnerAndStandardRightsForTheUser) {
    // Without impersonation there is no user to give the file to.
    const std::u16string noUser = MakeFile("nouser.tmp");
    SetLastError(0);
    EXPECT_EQ(GetTokenUser(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_TRUE(Contains(Lines(), u"OpenProcessToken failed: 1008"));
    EXPECT_FALSE(TakeOwnership(noUser.c_str()));
    EXPECT_EQ(SetFileToStdRigths(noUser.c_str()), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_FALSE(pal::host::FileSecurity(noUser)) << "nothing was applied";

    pal::host::ImpersonateUser(u"bob");
    const std::u16string bob = pal::host::UserSid(u"bob");
    const std::u16string file = MakeFile("spool.tmp");
    ASSERT_TRUE(TakeOwnership(file.c_str()));
    ASSERT_EQ(SetFileToStdRigths(file.c_str()), 0u);
    auto rec = pal::host::FileSecurity(file);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->owner, bob);
    const std::pair<std::u16string, DWORD> want[] = {
        {u"S-1-5-32-544", 0x001F01FF}, {u"S-1-5-18", 0x001F01FF}, {bob, 0x001301BF}};  // no WRITE_DAC/OWNER for the user
    ASSERT_EQ(rec->dacl.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rec->dacl[i].sid, want[i].first) << i;
        EXPECT_EQ(rec->dacl[i].mask, want[i].second) << i;
        EXPECT_EQ(rec->dacl[i].type, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(rec->dacl[i].flags, 0) << "no inheritance";
    }
    // The standard rights leave the user no WRITE_OWNER.
    EXPECT_FALSE(TakeOwnership(file.c_str()));
    EXPECT_TRUE(Contains(Lines(), u"SetNamedSecurityInfo failed: 5"));

    pal::host::InjectFault({.call = "SetEntriesInAclW", .error = ERROR_NOT_ENOUGH_MEMORY, .once = true});
    EXPECT_EQ(SetFileToStdRigths(file.c_str()), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(Contains(Lines(), u"[FLUNKKED<LastError=8>] (acl.SetEntriesInAclW(3, ea) == 0L)"));

    const std::u16string missing = u"C:\\missing.tmp";
    EXPECT_EQ(SetFileToStdRigths(missing.c_str()), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(Contains(Lines(), u"SetNamedSecurityInfo with securities is not possible <C:\\missing.tmp> with error 2"));
    EXPECT_FALSE(TakeOwnership(missing.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Impersonation, CreateFileEveryOneAccess) {
    EXPECT_TRUE(IsWin2000OrLater());
    pal::host::ImpersonateUser(u"carol");
    const std::u16string fresh = u"C:\\fresh.tmp";
    ASSERT_EQ(CreateFileEveryOneAccess(fresh.c_str()), 0u);
    EXPECT_TRUE(std::filesystem::exists(qltest::MachineRoot() / "fresh.tmp"));
    EXPECT_FALSE(pal::host::FileSecurity(fresh)) << "default security of the directory";
    ASSERT_EQ(CreateFileEveryOneAccess(MakeFile("full.tmp", "keep me").c_str()), 0u);
    EXPECT_EQ(std::filesystem::file_size(qltest::MachineRoot() / "full.tmp"), 7u) << "opened, not truncated";
    auto records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, "CreateFileW");
    EXPECT_EQ(records[0].target, fresh);
    EXPECT_EQ(records[0].identity.user, u"carol") << "made under the thread's identity";

    EXPECT_EQ(CreateFileEveryOneAccess(WSTR("C:\\nodir\\x.tmp")), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    auto lines = Lines();
    ExpectLines(lines, {u"[FLUNKKED<LastError=3>] (hFile != ((HANDLE)(LONG_PTR)-1))",
                        u"Filecreate with securities is not possible <C:\\nodir\\x.tmp> with error 3"});

    pal::host::InjectFault({.call = "SetEntriesInAclW", .error = ERROR_NOT_ENOUGH_MEMORY, .once = true});
    EXPECT_EQ(CreateFileEveryOneAccess(WSTR("C:\\never.tmp")), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(std::filesystem::exists(qltest::MachineRoot() / "never.tmp")) << "no file without the ACL";
    EXPECT_TRUE(Contains(Lines(), u"(acl.SetEntriesInAclW(1, ea) == 0L)"));
}

TEST_F(Impersonation, PortQueryRunsAsTheSpoolerAndRestoresTheUser) {
    pal::host::ImpersonateUser(u"dave");
    CWinPort oPort;
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), WSTR("quillon print port for vmware")), 0u);
    EXPECT_TRUE(Contains(Lines(), u"fRtn: 1, dwStatus: 0, szAnswer: <Quillon Print Port for VMware>"));
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

    // A channel that cannot be opened, a port nobody knows, a monitor that
    // fails the command: the answer is "not this type" and the user is back.
    pal::host::InjectFault({.call = "OpenPrinterW", .error = ERROR_ACCESS_DENIED, .once = true});
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), kVmware), 1u);
    EXPECT_TRUE(Contains(Lines(), u"open <,XcvPort QLVM:> fails with 5"));
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("NOSUCH:"), kVmware), 1u);
    pal::host::InjectFault({.call = "XcvDataW", .error = ERROR_GEN_FAILURE, .once = true});
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), kVmware), 1u);
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"dave");
    EXPECT_EQ(oPort.TestAllPortInPortList(nullptr, WSTR("x")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 4u) << "a null name asks nobody";
    EXPECT_EQ(records[0].identity.user, u"SYSTEM");
}

TEST_F(Impersonation, PortQueryScopeFailuresAreLogged) {
    pal::host::ImpersonateUser(u"erin");
    pal::host::InjectFault({.call = "RevertToSelf", .error = ERROR_ACCESS_DENIED, .once = true});
    CWinPort oPort;
    EXPECT_EQ(oPort.TestAllPortInPortList(WSTR("QLVM:"), kVmware), 0u);
    EXPECT_TRUE(Contains(Lines(), u"[CHECK<LastError=5>] (m_fRevertToSelfTakePlace = MyRevertToSelf(&m_oCon))"));
    EXPECT_EQ(pal::host::TakeIdentityRecords()[0].identity.user, u"erin") << "the query ran as the user then";
    EXPECT_EQ(pal::host::CurrentIdentity().user, u"erin");

    pal::host::InjectFault({.call = "ImpersonateLoggedOnUser", .error = ERROR_ACCESS_DENIED, .once = true});
    {
        CRevertToSelfScope scope;
        EXPECT_TRUE(scope.RevertToSelfTookPlace());
    }
    EXPECT_TRUE(Contains(Lines(), u"[CHECK<LastError=5>] (MyImpersonateLoggedOnUser(&m_oCon))"));
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);
}

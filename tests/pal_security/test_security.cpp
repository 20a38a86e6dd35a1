// Tokens and impersonation per thread, SIDs, ACL building, security
// descriptors, the file security records of SetNamedSecurityInfoW and the
// identity records of file creation. (Port queries: the product's
// impersonation tests in tests/security and the host's gateway jobs.)
#include "palhost.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// The drive root of the machine, removed when the process ends.
struct TempRoot {
    std::filesystem::path path;
    ~TempRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
} g_root;

class Security : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!g_root.path.empty()) return;
        std::string tmpl = (std::filesystem::temp_directory_path() / "qlsec-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        g_root.path = tmpl;
        pal::host::SetDriveRoot(tmpl);
    }
    void SetUp() override {
        pal::host::StopImpersonating();
        pal::host::ResetSpooler();
        pal::host::ClearSecurityRecords();
    }
    void TearDown() override { pal::host::StopImpersonating(); }

    // Makes C:\<name> with some bytes.
    static std::u16string MakeFile(const std::string& name) {
        std::ofstream(g_root.path / name) << "data";
        return u"C:\\" + pal::host::FromUtf8(name);
    }

    // The SID a token reports as its user.
    static std::u16string TokenUserSid(HANDLE token) {
        DWORD cb = 0;
        EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &cb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<uint64_t> buf((cb + 7) / 8);
        EXPECT_TRUE(GetTokenInformation(token, TokenUser, buf.data(), cb, &cb));
        const auto* user = reinterpret_cast<const TOKEN_USER*>(buf.data());
        const auto* first = reinterpret_cast<const BYTE*>(buf.data());
        EXPECT_EQ(static_cast<const BYTE*>(user->User.Sid), first + sizeof(TOKEN_USER)) << "SID follows the record";
        EXPECT_EQ(cb, sizeof(TOKEN_USER) + GetLengthSid(user->User.Sid));
        return pal::host::SidString(user->User.Sid);
    }
};

// Reads the allowed/denied entries of an ACL, checking that they fill it.
struct AceView {
    BYTE type;
    DWORD mask;
    std::u16string sid;
};
std::vector<AceView> Aces(PACL acl) {
    std::vector<AceView> out;
    size_t at = sizeof(ACL);
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(reinterpret_cast<const BYTE*>(acl) + at);
        EXPECT_EQ(ace->Header.AceSize, 8 + GetLengthSid(const_cast<DWORD*>(&ace->SidStart)));
        out.push_back({ace->Header.AceType, ace->Mask, pal::host::SidString(const_cast<DWORD*>(&ace->SidStart))});
        at += ace->Header.AceSize;
    }
    EXPECT_EQ(at, acl->AclSize);
    return out;
}

EXPLICIT_ACCESS_W SidEntry(PSID sid, DWORD mask, ACCESS_MODE mode = SET_ACCESS) {
    EXPLICIT_ACCESS_W ea = {};
    ea.grfAccessPermissions = mask;
    ea.grfAccessMode = mode;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = TRUSTEE_IS_USER;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return ea;
}

struct WellKnown {
    std::vector<BYTE> bytes;
    explicit WellKnown(WELL_KNOWN_SID_TYPE type) : bytes(SECURITY_MAX_SID_SIZE) {
        DWORD cb = static_cast<DWORD>(bytes.size());
        EXPECT_TRUE(CreateWellKnownSid(type, nullptr, bytes.data(), &cb));
        bytes.resize(cb);
    }
    PSID get() { return bytes.data(); }
};

} // namespace

TEST_F(Security, ProcessTokenIsTheSpoolersAccount) {
    HANDLE token = nullptr;
    SetLastError(0);
    EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_EQ(token, nullptr);

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_EQ(TokenUserSid(token), u"S-1-5-18");

    // TokenUser needs TOKEN_QUERY; a small buffer reports the size needed.
    std::vector<uint64_t> small(2);
    DWORD cb = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, small.data(), 16, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cb, 28u);
    HANDLE noQuery = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &noQuery));
    EXPECT_FALSE(GetTokenInformation(noQuery, TokenUser, nullptr, 0, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    bool listed = false;
    for (const auto& h : pal::host::OpenHandles()) listed |= h == "token NT AUTHORITY\\SYSTEM";
    EXPECT_TRUE(listed) << "tokens live in the handle table";
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_TRUE(CloseHandle(noQuery));
    for (const auto& h : pal::host::OpenHandles()) EXPECT_EQ(h.find("token"), std::string::npos) << h;

    EXPECT_FALSE(OpenThreadToken(GetCurrentProcess(), TOKEN_QUERY, FALSE, &token)) << "not a thread handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Security, UserSidsAreStableAndDistinct) {
    const std::u16string alice = pal::host::UserSid(u"alice");
    EXPECT_EQ(alice.rfind(u"S-1-5-21-", 0), 0u) << pal::host::ToUtf8(alice);
    EXPECT_EQ(pal::host::UserSid(u"ALICE"), alice) << "account names ignore case";
    EXPECT_NE(pal::host::UserSid(u"bob"), alice);
    EXPECT_NE(pal::host::UserSid(u"OTHERDOM\\alice"), alice);
    EXPECT_EQ(pal::host::UserSid(u"SYSTEM"), u"S-1-5-18");
}

TEST_F(Security, TokenAccessAndHandlesAreChecked) {
    pal::host::ImpersonateUser(u"carol");
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &queryOnly));
    pal::host::StopImpersonating();
    EXPECT_FALSE(ImpersonateLoggedOnUser(queryOnly));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(pal::host::CurrentIdentity().impersonating);

    EXPECT_FALSE(ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(0x7777)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    CloseHandle(queryOnly);

    // Failures injected into the calls the print processor makes.
    pal::host::InjectFault({.call = "RevertToSelf", .error = ERROR_ACCESS_DENIED, .once = true});
    pal::host::ImpersonateUser(u"carol");
    EXPECT_FALSE(RevertToSelf());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(pal::host::CurrentIdentity().impersonating) << "a failed revert leaves the thread as it was";
    EXPECT_TRUE(RevertToSelf());
}

TEST_F(Security, SidFunctions) {
    DWORD cb = 0;
    EXPECT_FALSE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, nullptr, &cb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cb, 16u);
    WellKnown admins(WinBuiltinAdministratorsSid), world(WinWorldSid);
    EXPECT_EQ(pal::host::SidString(admins.get()), u"S-1-5-32-544");
    EXPECT_EQ(pal::host::SidString(world.get()), u"S-1-1-0");
    EXPECT_TRUE(IsValidSid(admins.get()));
    EXPECT_EQ(GetLengthSid(admins.get()), 16u);

    BYTE copy[16] = {};
    EXPECT_FALSE(CopySid(15, copy, admins.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(CopySid(16, copy, admins.get()));
    EXPECT_EQ(std::memcmp(copy, admins.get(), 16), 0);

    copy[0] = 2; // unknown revision
    EXPECT_FALSE(IsValidSid(copy));
    copy[0] = 1;
    copy[1] = 16; // more sub-authorities than a SID may have
    EXPECT_FALSE(IsValidSid(copy));
}

TEST_F(Security, SetEntriesInAclBuildsCanonicalLists) {
    WellKnown admins(WinBuiltinAdministratorsSid), system(WinLocalSystemSid), world(WinWorldSid);
    EXPLICIT_ACCESS_W ea[3] = {SidEntry(admins.get(), FILE_ALL_ACCESS), SidEntry(system.get(), FILE_ALL_ACCESS),
                               SidEntry(world.get(), FILE_GENERIC_WRITE, DENY_ACCESS)};
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(3, ea, nullptr, &acl), 0u);
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION);
    EXPECT_EQ(acl->AceCount, 3);
    EXPECT_EQ(acl->AclSize, 8 + (8 + 16) + (8 + 12) + (8 + 12));
    auto aces = Aces(acl);
    ASSERT_EQ(aces.size(), 3u);
    EXPECT_EQ(aces[0].type, ACCESS_DENIED_ACE_TYPE) << "denials come first";
    EXPECT_EQ(aces[0].sid, u"S-1-1-0");
    EXPECT_EQ(aces[1].sid, u"S-1-5-32-544");
    EXPECT_EQ(aces[1].mask, 0x001F01FFu);
    EXPECT_EQ(aces[2].sid, u"S-1-5-18");

    // Merging into an old list: SET replaces the trustee's entries, GRANT adds
    // rights, REVOKE drops the grants.
    EXPLICIT_ACCESS_W more[3] = {SidEntry(world.get(), FILE_GENERIC_READ), SidEntry(admins.get(), GENERIC_READ, GRANT_ACCESS),
                                 SidEntry(system.get(), 0, REVOKE_ACCESS)};
    PACL merged = nullptr;
    ASSERT_EQ(SetEntriesInAclW(3, more, acl, &merged), 0u);
    aces = Aces(merged);
    ASSERT_EQ(aces.size(), 2u);
    EXPECT_EQ(aces[0].sid, u"S-1-5-32-544");
    EXPECT_EQ(aces[0].mask, 0x001F01FFu | GENERIC_READ);
    EXPECT_EQ(aces[1].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(aces[1].sid, u"S-1-1-0");
    EXPECT_EQ(aces[1].mask, static_cast<DWORD>(FILE_GENERIC_READ));
    EXPECT_EQ(LocalFree(merged), nullptr);
    EXPECT_EQ(LocalFree(acl), nullptr);

    // Trustees by name; errors as return codes.
    EXPLICIT_ACCESS_W byName = {};
    byName.grfAccessPermissions = GENERIC_ALL;
    byName.grfAccessMode = SET_ACCESS;
    byName.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    byName.Trustee.ptstrName = const_cast<LPWSTR>(WSTR("Everyone"));
    ASSERT_EQ(SetEntriesInAclW(1, &byName, nullptr, &acl), 0u);
    EXPECT_EQ(Aces(acl)[0].sid, u"S-1-1-0");
    LocalFree(acl);
    byName.Trustee.ptstrName = const_cast<LPWSTR>(WSTR("NoSuchAccount"));
    EXPECT_EQ(SetEntriesInAclW(1, &byName, nullptr, &acl), static_cast<DWORD>(ERROR_NONE_MAPPED));
    EXPECT_EQ(acl, nullptr);
    BYTE bad[12] = {7};
    EXPLICIT_ACCESS_W badSid = SidEntry(bad, 1);
    EXPECT_EQ(SetEntriesInAclW(1, &badSid, nullptr, &acl), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_EQ(SetEntriesInAclW(1, nullptr, nullptr, &acl), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    pal::host::InjectFault({.call = "SetEntriesInAclW", .error = ERROR_NOT_ENOUGH_MEMORY, .once = true});
    EXPECT_EQ(SetEntriesInAclW(3, ea, nullptr, &acl), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(acl, nullptr);
}

TEST_F(Security, MalformedOldAclsAreRefused) {
    WellKnown world(WinWorldSid);
    EXPLICIT_ACCESS_W ea = SidEntry(world.get(), FILE_ALL_ACCESS);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), 0u);
    PACL out = nullptr;
    acl->AceCount = 2; // claims an entry past AclSize
    EXPECT_EQ(SetEntriesInAclW(0, nullptr, acl, &out), static_cast<DWORD>(ERROR_INVALID_ACL));
    acl->AceCount = 1;
    reinterpret_cast<ACE_HEADER*>(acl + 1)->AceSize = 40; // entry longer than the list
    EXPECT_EQ(SetEntriesInAclW(0, nullptr, acl, &out), static_cast<DWORD>(ERROR_INVALID_ACL));
    EXPECT_EQ(out, nullptr);
    LocalFree(acl);
}

TEST_F(Security, SetNamedSecurityInfoRecordsOwnerAndDacl) {
    const std::u16string file = MakeFile("owned.tmp");
    WellKnown world(WinWorldSid), admins(WinBuiltinAdministratorsSid);
    auto set = [](std::u16string path, SECURITY_INFORMATION info, PSID owner, PACL dacl,
                  SE_OBJECT_TYPE type = SE_FILE_OBJECT) {
        return SetNamedSecurityInfoW(path.data(), type, info, owner, nullptr, dacl, nullptr);
    };

    EXPECT_EQ(set(u"C:\\nothere.tmp", OWNER_SECURITY_INFORMATION, world.get(), nullptr),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(set(u"C:\\nodir\\x.tmp", DACL_SECURITY_INFORMATION, nullptr, nullptr),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(set(file, DACL_SECURITY_INFORMATION, nullptr, nullptr, SE_PRINTER), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(pal::host::FileSecurity(file));

    // A user may make only itself the owner.
    pal::host::ImpersonateUser(u"erin");
    const std::u16string erin = pal::host::UserSid(u"erin");
    EXPECT_EQ(set(file, OWNER_SECURITY_INFORMATION, admins.get(), nullptr), static_cast<DWORD>(ERROR_INVALID_OWNER));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, FALSE, &token));
    std::vector<uint64_t> buf(16);
    DWORD cb = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buf.data(), 128, &cb));
    CloseHandle(token);
    PSID self = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
    ASSERT_EQ(set(file, OWNER_SECURITY_INFORMATION, self, nullptr), 0u);
    auto rec = pal::host::FileSecurity(file);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->owner, erin);
    EXPECT_FALSE(rec->daclSet);

    // A DACL that gives the user no WRITE_OWNER: the owner may still change
    // the DACL, but no longer the owner.
    EXPLICIT_ACCESS_W ea = SidEntry(self, 0x001301BF);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), 0u);
    ASSERT_EQ(set(file, DACL_SECURITY_INFORMATION, nullptr, acl), 0u);
    rec = pal::host::FileSecurity(file);
    ASSERT_TRUE(rec);
    EXPECT_TRUE(rec->daclSet);
    ASSERT_EQ(rec->dacl.size(), 1u);
    EXPECT_EQ(rec->dacl[0].sid, erin);
    EXPECT_EQ(rec->dacl[0].mask, 0x001301BFu);
    EXPECT_EQ(set(file, OWNER_SECURITY_INFORMATION, self, nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(set(file, DACL_SECURITY_INFORMATION, nullptr, acl), 0u);
    LocalFree(acl);

    // The spooler's own account may set any owner; a null DACL is recorded as such.
    pal::host::StopImpersonating();
    ASSERT_EQ(set(file, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, admins.get(), nullptr), 0u);
    rec = pal::host::FileSecurity(u"c:\\OWNED.TMP");
    ASSERT_TRUE(rec) << "the same file under another spelling";
    EXPECT_EQ(rec->owner, u"S-1-5-32-544");
    EXPECT_TRUE(rec->nullDacl);
    EXPECT_TRUE(rec->dacl.empty());

    pal::host::InjectFault({.call = "SetNamedSecurityInfoW", .error = ERROR_ACCESS_DENIED, .once = true});
    EXPECT_EQ(set(file, DACL_SECURITY_INFORMATION, nullptr, nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(Security, FileCreationRecordsIdentityAndDescriptor) {
    std::u16string file = u"C:\\created.tmp";
    WellKnown world(WinWorldSid);
    EXPLICIT_ACCESS_W ea = SidEntry(world.get(), FILE_ALL_ACCESS);
    PACL acl = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &ea, nullptr, &acl), 0u);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};

    pal::host::ImpersonateUser(u"frank");
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    auto rec = pal::host::FileSecurity(file);
    ASSERT_TRUE(rec) << "a new file takes the descriptor's DACL";
    EXPECT_EQ(rec->owner, pal::host::UserSid(u"frank"));
    ASSERT_EQ(rec->dacl.size(), 1u);
    EXPECT_EQ(rec->dacl[0].sid, u"S-1-1-0");

    // Opening it again, or reading it, changes nothing; reading is not recorded.
    pal::host::StopImpersonating();
    h = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    FILE* f = _wfopen(file.c_str(), WSTR("rb"));
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(pal::host::FileSecurity(file));

    // Making it anew through the C runtime is recorded with the thread's identity.
    ASSERT_TRUE(DeleteFileW(file.c_str()));
    f = _wfopen(file.c_str(), WSTR("w+b"));
    ASSERT_NE(f, nullptr);
    fclose(f);
    LocalFree(acl);

    auto records = pal::host::TakeIdentityRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, "CreateFileW");
    EXPECT_EQ(records[0].target, file);
    EXPECT_EQ(records[0].identity.user, u"frank");
    EXPECT_EQ(records[1].call, "_wfopen");
    EXPECT_EQ(records[1].identity.user, u"SYSTEM");
    EXPECT_FALSE(records[1].identity.impersonating);
    EXPECT_TRUE(pal::host::TakeIdentityRecords().empty());
}

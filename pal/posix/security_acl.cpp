// Security identifiers, access control lists, security descriptors and the
// security of named files. SetNamedSecurityInfoW keeps owner and DACL per
// file in a process-wide table rather than changing the real file; it checks
// the caller's right to change them against what the table already holds.
#include "core.h"
#include "faults.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>

namespace pal::security {
namespace {

constexpr BYTE kWorldAuthority[6] = SECURITY_WORLD_SID_AUTHORITY;
constexpr BYTE kNtAuthority[6] = SECURITY_NT_AUTHORITY;
constexpr BYTE kNullAuthority[6] = SECURITY_NULL_SID_AUTHORITY;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// One entry of an ACL: allowed and denied entries are taken apart, any other
// kind is kept as its bytes.
struct Ace {
    BYTE type = 0;
    BYTE flags = 0;
    DWORD mask = 0;
    std::vector<BYTE> sid;
    std::vector<BYTE> raw; // other kinds: the whole entry
    bool Simple() const { return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE; }
};

// Reads the entries of an ACL, bounds-checked against AclSize. Nothing when
// the list is malformed.
std::optional<std::vector<Ace>> ParseAcl(const ACL* acl) {
    if (!acl) return std::nullopt;
    if (acl->AclRevision < ACL_REVISION || acl->AclRevision > ACL_REVISION_DS) return std::nullopt;
    if (acl->AclSize < sizeof(ACL)) return std::nullopt;
    const auto* base = reinterpret_cast<const BYTE*>(acl);
    const size_t size = acl->AclSize;
    size_t at = sizeof(ACL);
    std::vector<Ace> out;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        if (size - at < sizeof(ACE_HEADER)) return std::nullopt;
        ACE_HEADER h;
        std::memcpy(&h, base + at, sizeof(h));
        if (h.AceSize < sizeof(ACE_HEADER) || h.AceSize > size - at) return std::nullopt;
        Ace ace;
        ace.type = h.AceType;
        ace.flags = h.AceFlags;
        if (ace.Simple()) {
            if (h.AceSize < offsetof(ACCESS_ALLOWED_ACE, SidStart) + 8) return std::nullopt;
            std::memcpy(&ace.mask, base + at + offsetof(ACCESS_ALLOWED_ACE, Mask), 4);
            const BYTE* sid = base + at + offsetof(ACCESS_ALLOWED_ACE, SidStart);
            const size_t room = h.AceSize - offsetof(ACCESS_ALLOWED_ACE, SidStart);
            if (sid[0] != SID_REVISION || sid[1] > SID_MAX_SUB_AUTHORITIES || 8u + 4u * sid[1] > room)
                return std::nullopt;
            ace.sid.assign(sid, sid + 8 + 4 * sid[1]);
        } else {
            ace.raw.assign(base + at, base + at + h.AceSize);
        }
        out.push_back(std::move(ace));
        at += h.AceSize;
    }
    return out;
}

size_t AceSize(const Ace& a) {
    return a.Simple() ? offsetof(ACCESS_ALLOWED_ACE, SidStart) + a.sid.size() : a.raw.size();
}

void WriteAce(BYTE* out, const Ace& a) {
    if (!a.Simple()) {
        std::memcpy(out, a.raw.data(), a.raw.size());
        return;
    }
    ACE_HEADER h{a.type, a.flags, static_cast<WORD>(AceSize(a))};
    std::memcpy(out, &h, sizeof(h));
    std::memcpy(out + offsetof(ACCESS_ALLOWED_ACE, Mask), &a.mask, 4);
    std::memcpy(out + offsetof(ACCESS_ALLOWED_ACE, SidStart), a.sid.data(), a.sid.size());
}

// Bytes the entries take after the ACL header; bounds for AddAccessAllowedAce.
size_t UsedBytes(const std::vector<Ace>& aces) {
    size_t n = sizeof(ACL);
    for (const auto& a : aces) n += AceSize(a);
    return n;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (pal::FoldUpper(a[i]) != pal::FoldUpper(b[i])) return false;
    return true;
}

// Trustee of an explicit entry as SID bytes, or the Win32 error.
DWORD TrusteeSid(const TRUSTEE_W& t, std::vector<BYTE>& sid) {
    if (t.pMultipleTrustee || t.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) return ERROR_NOT_SUPPORTED;
    if (t.TrusteeForm == TRUSTEE_IS_SID) {
        if (!SidIsValid(t.ptstrName)) return ERROR_INVALID_SID;
        sid = SidBytes(t.ptstrName);
        return ERROR_SUCCESS;
    }
    if (t.TrusteeForm != TRUSTEE_IS_NAME) return ERROR_INVALID_PARAMETER;
    if (!t.ptstrName) return ERROR_INVALID_PARAMETER;
    std::u16string_view name = pal::WView(t.ptstrName);
    if (EqualNoCase(name, u"Everyone")) sid = MakeSid(kWorldAuthority, {SECURITY_WORLD_RID});
    else if (EqualNoCase(name, u"SYSTEM") || EqualNoCase(name, u"NT AUTHORITY\\SYSTEM"))
        sid = MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID});
    else if (EqualNoCase(name, u"Administrators") || EqualNoCase(name, u"BUILTIN\\Administrators"))
        sid = MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    else if (EqualNoCase(name, u"CURRENT_USER"))
        sid = EffectiveAccount()->sid;
    else
        return ERROR_NONE_MAPPED;
    return ERROR_SUCCESS;
}

void RemoveTrustee(std::vector<Ace>& aces, const std::vector<BYTE>& sid, bool allowedOnly) {
    std::erase_if(aces, [&](const Ace& a) {
        return a.Simple() && a.sid == sid && (!allowedOnly || a.type == ACCESS_ALLOWED_ACE_TYPE);
    });
}

// Adds rights to an entry of the same kind, trustee and flags, or appends one.
void MergeAce(std::vector<Ace>& aces, BYTE type, BYTE flags, DWORD mask, const std::vector<BYTE>& sid) {
    if (!mask) return;
    for (auto& a : aces) {
        if (a.Simple() && a.type == type && a.flags == flags && a.sid == sid) {
            a.mask |= mask;
            return;
        }
    }
    Ace a;
    a.type = type;
    a.flags = flags;
    a.mask = mask;
    a.sid = sid;
    aces.push_back(std::move(a));
}

// ---- file security table ---------------------------------------------------------------------
struct FileTable {
    std::mutex lock;
    std::map<std::string, pal::host::FileSecurityRecord> files; // by host path
};

FileTable& Files() {
    static FileTable* t = std::make_unique<FileTable>().release(); // lives until the process ends
    return *t;
}

std::vector<pal::host::AceRecord> AceRecords(const std::vector<Ace>& aces) {
    std::vector<pal::host::AceRecord> out;
    for (const auto& a : aces) {
        pal::host::AceRecord r;
        r.type = a.type;
        r.flags = a.flags;
        if (a.Simple()) {
            r.mask = a.mask;
            r.sid = SidToString(a.sid.data());
        }
        out.push_back(std::move(r));
    }
    return out;
}

// Whether the calling identity holds `right` on a file with this record. The
// spooler's own account may do anything; a file whose DACL was never set (or
// is null) has the default security that lets its creator change it; an owner
// may always change the DACL.
bool HasRight(const pal::host::FileSecurityRecord* rec, DWORD right) {
    auto account = EffectiveAccount();
    if (account->system || !rec || !rec->daclSet || rec->nullDacl) return true;
    const std::u16string self = SidToString(account->sid.data());
    if (right == static_cast<DWORD>(WRITE_DAC) && rec->owner == self) return true;
    DWORD granted = 0;
    for (const auto& a : rec->dacl) {
        if (a.flags & INHERIT_ONLY_ACE) continue;
        if (a.sid != self && a.sid != u"S-1-1-0") continue;
        if (a.type == ACCESS_DENIED_ACE_TYPE && (a.mask & (right | GENERIC_ALL))) return false;
        if (a.type == ACCESS_ALLOWED_ACE_TYPE) granted |= a.mask;
    }
    return (granted & right) == right || (granted & GENERIC_ALL);
}

} // namespace

bool SidIsValid(const void* sid) {
    if (!sid) return false;
    const auto* b = static_cast<const BYTE*>(sid);
    return b[0] == SID_REVISION && b[1] <= SID_MAX_SUB_AUTHORITIES;
}

DWORD SidLength(const void* sid) {
    return SidIsValid(sid) ? 8u + 4u * static_cast<const BYTE*>(sid)[1] : 0u;
}

std::vector<BYTE> SidBytes(const void* sid) {
    const DWORD n = SidLength(sid);
    const auto* b = static_cast<const BYTE*>(sid);
    return n ? std::vector<BYTE>(b, b + n) : std::vector<BYTE>();
}

std::u16string SidToString(const void* sid) {
    if (!SidIsValid(sid)) return {};
    const auto* b = static_cast<const BYTE*>(sid);
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | b[i];
    std::string s = "S-1-" + std::to_string(authority);
    for (int i = 0; i < b[1]; ++i) {
        DWORD sub;
        std::memcpy(&sub, b + 8 + 4 * i, 4);
        s += "-" + std::to_string(sub);
    }
    return pal::Utf8ToUtf16(s);
}

void ForgetFileSecurity(const std::string& hostPath) {
    FileTable& t = Files();
    std::lock_guard<std::mutex> g(t.lock);
    t.files.erase(hostPath);
}

void NoteFileOpened(const char* call, const WCHAR* windowsPath, const std::string& hostPath, bool forWriting,
                    bool created, const SECURITY_ATTRIBUTES* sa) {
    if (forWriting) AddIdentityRecord(call, std::u16string(pal::WView(windowsPath)));
    if (!created) return;
    ForgetFileSecurity(hostPath);
    if (!sa || !sa->lpSecurityDescriptor) return;
    // The descriptor a new file is created with: owner and DACL as given.
    const auto* sd = static_cast<const SECURITY_DESCRIPTOR*>(sa->lpSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) return;
    pal::host::FileSecurityRecord rec;
    rec.owner = SidToString(sd->Owner ? sd->Owner : EffectiveAccount()->sid.data());
    if (sd->Control & SE_DACL_PRESENT) {
        rec.daclSet = true;
        rec.nullDacl = sd->Dacl == nullptr;
        if (sd->Dacl) {
            auto aces = ParseAcl(sd->Dacl);
            if (!aces) return;
            rec.dacl = AceRecords(*aces);
        }
    }
    FileTable& t = Files();
    std::lock_guard<std::mutex> g(t.lock);
    t.files[hostPath] = std::move(rec);
}

} // namespace pal::security

namespace pal::host {

std::optional<FileSecurityRecord> FileSecurity(const std::u16string& windowsPath) {
    const std::string path = pal::HostPath(windowsPath);
    auto& t = pal::security::Files();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.files.find(path);
    if (it == t.files.end()) return std::nullopt;
    return it->second;
}

void ClearSecurityRecords() {
    TakeIdentityRecords();
    auto& t = pal::security::Files();
    std::lock_guard<std::mutex> g(t.lock);
    t.files.clear();
}

} // namespace pal::host

using namespace pal::security;

// ---- SIDs ------------------------------------------------------------------------------------

PAL_API BOOL CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID /*DomainSid*/, PSID pSid, DWORD* cbSid) {
    if (!cbSid) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> sid;
    switch (WellKnownSidType) {
    case WinNullSid: sid = MakeSid(kNullAuthority, {SECURITY_NULL_RID}); break;
    case WinWorldSid: sid = MakeSid(kWorldAuthority, {SECURITY_WORLD_RID}); break;
    case WinLocalSystemSid: sid = MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}); break;
    case WinBuiltinDomainSid: sid = MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID}); break;
    case WinBuiltinAdministratorsSid:
        sid = MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
        break;
    case WinBuiltinUsersSid: sid = MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}); break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD needed = static_cast<DWORD>(sid.size());
    if (!pSid || *cbSid < needed) {
        *cbSid = needed;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(pSid, sid.data(), needed);
    *cbSid = needed;
    return TRUE;
}

PAL_API BOOL IsValidSid(PSID pSid) {
    if (!SidIsValid(pSid)) return Fail(ERROR_INVALID_SID);
    return TRUE;
}

PAL_API DWORD GetLengthSid(PSID pSid) { return SidLength(pSid); }

PAL_API BOOL CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
    if (!SidIsValid(pSourceSid)) return Fail(ERROR_INVALID_SID);
    const DWORD n = SidLength(pSourceSid);
    if (nDestinationSidLength < n) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!pDestinationSid) return Fail(ERROR_INVALID_PARAMETER);
    std::memmove(pDestinationSid, pSourceSid, n);
    return TRUE;
}

// ---- ACLs ------------------------------------------------------------------------------------

PAL_API DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                               PACL* NewAcl) {
    if (!NewAcl) return ERROR_INVALID_PARAMETER;
    *NewAcl = nullptr;
    if (cCountOfExplicitEntries && !pListOfExplicitEntries) return ERROR_INVALID_PARAMETER;
    if (auto f = pal::faults::Check("SetEntriesInAclW"); f.fail) return f.error;

    std::vector<Ace> aces;
    if (OldAcl) {
        auto old = ParseAcl(OldAcl);
        if (!old) return ERROR_INVALID_ACL;
        aces = std::move(*old);
    }
    for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
        const EXPLICIT_ACCESS_W& e = pListOfExplicitEntries[i];
        if (e.grfAccessMode == NOT_USED_ACCESS) continue;
        std::vector<BYTE> sid;
        if (DWORD err = TrusteeSid(e.Trustee, sid); err != ERROR_SUCCESS) return err;
        const BYTE flags = static_cast<BYTE>(e.grfInheritance & VALID_INHERIT_FLAGS);
        switch (e.grfAccessMode) {
        case SET_ACCESS:
            RemoveTrustee(aces, sid, false);
            MergeAce(aces, ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, sid);
            break;
        case GRANT_ACCESS: MergeAce(aces, ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, sid); break;
        case DENY_ACCESS: MergeAce(aces, ACCESS_DENIED_ACE_TYPE, flags, e.grfAccessPermissions, sid); break;
        case REVOKE_ACCESS: RemoveTrustee(aces, sid, true); break;
        default: return ERROR_INVALID_PARAMETER;
        }
    }

    // Denials first, then grants, then entries of other kinds as they came.
    std::vector<Ace> ordered;
    for (int pass = 0; pass < 3; ++pass)
        for (const auto& a : aces) {
            const int rank = a.type == ACCESS_DENIED_ACE_TYPE ? 0 : (a.type == ACCESS_ALLOWED_ACE_TYPE ? 1 : 2);
            if (rank == pass) ordered.push_back(a);
        }
    const size_t size = UsedBytes(ordered);
    if (size > 0xFFFC || ordered.size() > 0xFFFF) return ERROR_INVALID_PARAMETER;
    auto* acl = static_cast<PACL>(LocalAlloc(LPTR, size));
    if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
    acl->AclRevision = ACL_REVISION;
    acl->AclSize = static_cast<WORD>(size);
    acl->AceCount = static_cast<WORD>(ordered.size());
    size_t at = sizeof(ACL);
    for (const auto& a : ordered) {
        WriteAce(reinterpret_cast<BYTE*>(acl) + at, a);
        at += AceSize(a);
    }
    *NewAcl = acl;
    return ERROR_SUCCESS;
}

// ---- security descriptors -----------------------------------------------------------------------

namespace {

SECURITY_DESCRIPTOR* AbsoluteDescriptor(PSECURITY_DESCRIPTOR p) {
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(p);
    if (!sd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return nullptr;
    }
    if (sd->Control & SE_SELF_RELATIVE) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return nullptr;
    }
    return sd;
}

} // namespace

PAL_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (!pSecurityDescriptor) return Fail(ERROR_INVALID_PARAMETER);
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_UNKNOWN_REVISION);
    std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

PAL_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                       BOOL bDaclDefaulted) {
    SECURITY_DESCRIPTOR* sd = AbsoluteDescriptor(pSecurityDescriptor);
    if (!sd) return FALSE;
    sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    sd->Dacl = nullptr;
    if (bDaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = pDacl;
    }
    return TRUE;
}

// ---- named objects ----------------------------------------------------------------------------------

PAL_API DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                                    PSID psidOwner, PSID /*psidGroup*/, PACL pDacl, PACL /*pSacl*/) {
    if (!pObjectName || !*pObjectName) return ERROR_INVALID_PARAMETER;
    if (ObjectType != SE_FILE_OBJECT) return ERROR_NOT_SUPPORTED;
    if (auto f = pal::faults::Check("SetNamedSecurityInfoW"); f.fail) return f.error;
    const bool setOwner = SecurityInfo & OWNER_SECURITY_INFORMATION;
    const bool setDacl = SecurityInfo & DACL_SECURITY_INFORMATION;
    if (setOwner && !SidIsValid(psidOwner)) return ERROR_INVALID_PARAMETER;
    std::optional<std::vector<Ace>> aces;
    if (setDacl && pDacl) {
        aces = ParseAcl(pDacl);
        if (!aces) return ERROR_INVALID_ACL;
    }

    const std::u16string_view name = pal::WView(pObjectName);
    if (pal::HasInvalidPathChars(name)) return ERROR_INVALID_NAME;
    const std::string path = pal::HostPath(name);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        const size_t slash = path.find_last_of('/');
        const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        struct stat pst;
        return stat(parent.c_str(), &pst) == 0 && S_ISDIR(pst.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }

    auto account = EffectiveAccount();
    FileTable& t = Files();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.files.find(path);
    const pal::host::FileSecurityRecord* current = it == t.files.end() ? nullptr : &it->second;
    if (setOwner) {
        // Without the privileges of the spooler's account, a caller may only
        // make itself the owner.
        if (!account->system && SidBytes(psidOwner) != account->sid) return ERROR_INVALID_OWNER;
        if (!HasRight(current, WRITE_OWNER)) return ERROR_ACCESS_DENIED;
    }
    if (setDacl && !HasRight(current, WRITE_DAC)) return ERROR_ACCESS_DENIED;

    pal::host::FileSecurityRecord& rec = t.files[path];
    if (setOwner) rec.owner = SidToString(psidOwner);
    if (setDacl) {
        rec.daclSet = true;
        rec.nullDacl = pDacl == nullptr;
        rec.dacl = aces ? AceRecords(*aces) : std::vector<pal::host::AceRecord>();
    }
    return ERROR_SUCCESS;
}

// Access tokens and impersonation. The process is the spooler's LocalSystem
// account; each thread may impersonate another account. Tokens are handle
// table objects that carry an account; the identity records tell tests which
// account ran a port query or created a file.
#include "core.h"
#include "faults.h"
#include "security_internal.h"

#include "palhost.h"
#include "palwin.h"

#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace pal::security {
namespace {

constexpr BYTE kNtAuthority[6] = SECURITY_NT_AUTHORITY;
constexpr size_t kMaxIdentityRecords = 4096;

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

HANDLE PseudoProcess() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)); }
HANDLE PseudoThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

// 32-bit FNV-1a over the upper-cased code units, from a seed.
uint32_t Hash(std::u16string_view s, uint32_t seed) {
    uint32_t h = seed;
    for (char16_t c : s) {
        char16_t u = pal::FoldUpper(c);
        h = (h ^ (u & 0xFF)) * 16777619u;
        h = (h ^ (u >> 8)) * 16777619u;
    }
    return h;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (pal::FoldUpper(a[i]) != pal::FoldUpper(b[i])) return false;
    return true;
}

struct AccountTable {
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<const Account>> byKey; // "DOMAIN\USER", upper case
};

AccountTable& Accounts() {
    static AccountTable* t = std::make_unique<AccountTable>().release(); // lives until the process ends
    return *t;
}

struct RecordList {
    std::mutex lock;
    std::deque<pal::host::IdentityRecord> records;
};

RecordList& Records() {
    static RecordList* r = std::make_unique<RecordList>().release(); // lives until the process ends
    return *r;
}

thread_local std::shared_ptr<const Account> t_impersonation;

pal::host::Identity IdentityOf(const Account& a, bool impersonating) {
    pal::host::Identity id;
    id.user = a.user;
    id.domain = a.domain;
    id.sid = SidToString(a.sid.data());
    id.impersonating = impersonating;
    return id;
}

// A token: an account with the access the handle was opened for.
class Token : public pal::Object {
public:
    std::shared_ptr<const Account> account;
    DWORD access = 0;
    TOKEN_TYPE type = TokenPrimary;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    std::string Describe() const override {
        return "token " + pal::Utf16ToUtf8(account->domain) + "\\" + pal::Utf16ToUtf8(account->user);
    }
};

DWORD EffectiveAccess(DWORD desired) {
    return (desired & MAXIMUM_ALLOWED) ? static_cast<DWORD>(TOKEN_ALL_ACCESS) : desired;
}

HANDLE NewToken(std::shared_ptr<const Account> account, DWORD access, TOKEN_TYPE type,
                SECURITY_IMPERSONATION_LEVEL level) {
    auto t = std::make_shared<Token>();
    t->account = std::move(account);
    t->access = EffectiveAccess(access);
    t->type = type;
    t->level = level;
    return pal::RegisterHandle(std::move(t));
}

// Writes a header record of cbHead bytes followed by the SID; the header's
// first field is the pointer to the SID.
BOOL WriteSidInfo(const Account& a, size_t cbHead, LPVOID out, DWORD cbOut, PDWORD pcbNeeded) {
    const DWORD cbSid = static_cast<DWORD>(a.sid.size());
    const DWORD needed = static_cast<DWORD>(cbHead) + cbSid;
    *pcbNeeded = needed;
    if (cbOut < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* bytes = static_cast<BYTE*>(out);
    std::memset(bytes, 0, cbHead);
    PSID sid = bytes + cbHead;
    std::memcpy(sid, a.sid.data(), cbSid);
    std::memcpy(bytes, &sid, sizeof(sid));
    return TRUE;
}

} // namespace

std::vector<BYTE> MakeSid(const BYTE (&authority)[6], std::initializer_list<DWORD> subAuthorities) {
    std::vector<BYTE> sid(8 + 4 * subAuthorities.size());
    sid[0] = SID_REVISION;
    sid[1] = static_cast<BYTE>(subAuthorities.size());
    std::memcpy(&sid[2], authority, 6);
    size_t at = 8;
    for (DWORD sub : subAuthorities) {
        std::memcpy(&sid[at], &sub, 4);
        at += 4;
    }
    return sid;
}

std::shared_ptr<const Account> SystemAccount() {
    static const std::shared_ptr<const Account> system = [] {
        auto a = std::make_shared<Account>();
        a->user = u"SYSTEM";
        a->domain = u"NT AUTHORITY";
        a->sid = MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID});
        a->system = true;
        return a;
    }();
    return system;
}

std::shared_ptr<const Account> UserAccount(std::u16string_view user) {
    std::u16string domain;
    std::u16string name(user);
    if (size_t sep = user.find(u'\\'); sep != std::u16string_view::npos) {
        domain = std::u16string(user.substr(0, sep));
        name = std::u16string(user.substr(sep + 1));
    }
    if (EqualNoCase(name, u"SYSTEM") && (domain.empty() || EqualNoCase(domain, u"NT AUTHORITY")))
        return SystemAccount();
    if (domain.empty()) domain = pal::ComputerName();

    std::u16string key;
    for (char16_t c : domain + u"\\" + name) key += pal::FoldUpper(c);
    AccountTable& t = Accounts();
    std::lock_guard<std::mutex> g(t.lock);
    if (auto it = t.byKey.find(key); it != t.byKey.end()) return it->second;
    auto a = std::make_shared<Account>();
    a->user = name;
    a->domain = domain;
    const DWORD rid = 1000 + Hash(name, 2166136261u) % 100000000u;
    a->sid = MakeSid(kNtAuthority, {SECURITY_NT_NON_UNIQUE, Hash(domain, 2166136261u), Hash(domain, 0x51ED270Bu),
                                    Hash(domain, 0x2545F491u), rid});
    t.byKey.emplace(key, a);
    return a;
}

std::shared_ptr<const Account> ThreadImpersonation() { return t_impersonation; }
void SetThreadImpersonation(std::shared_ptr<const Account> account) { t_impersonation = std::move(account); }
std::shared_ptr<const Account> EffectiveAccount() { return t_impersonation ? t_impersonation : SystemAccount(); }

void AddIdentityRecord(const char* call, std::u16string target) {
    pal::host::IdentityRecord r;
    r.call = call;
    r.target = std::move(target);
    r.identity = IdentityOf(*EffectiveAccount(), t_impersonation != nullptr);
    RecordList& list = Records();
    std::lock_guard<std::mutex> g(list.lock);
    if (list.records.size() >= kMaxIdentityRecords) list.records.pop_front();
    list.records.push_back(std::move(r));
}

void NoteSpoolerCall(const char* call, const WCHAR* target, const WCHAR* command) {
    std::u16string_view name = pal::WView(target);
    if (std::strcmp(call, "OpenPrinterW") == 0) {
        if (name.find(u",XcvPort ") == std::u16string_view::npos &&
            name.find(u",XcvMonitor ") == std::u16string_view::npos)
            return;
        AddIdentityRecord(call, std::u16string(name));
        return;
    }
    std::u16string text(name);
    if (command) {
        text += u' ';
        text += pal::WView(command);
    }
    AddIdentityRecord(call, std::move(text));
}

} // namespace pal::security

namespace pal::host {

void ImpersonateUser(const std::u16string& user) {
    if (user.empty()) {
        pal::security::SetThreadImpersonation(nullptr);
        return;
    }
    pal::security::SetThreadImpersonation(pal::security::UserAccount(user));
}

void StopImpersonating() { pal::security::SetThreadImpersonation(nullptr); }

Identity CurrentIdentity() {
    auto imp = pal::security::ThreadImpersonation();
    return pal::security::IdentityOf(*pal::security::EffectiveAccount(), imp != nullptr);
}

std::u16string UserSid(const std::u16string& user) {
    return pal::security::SidToString(pal::security::UserAccount(user)->sid.data());
}

std::u16string SidString(const void* sid) { return pal::security::SidToString(sid); }

std::vector<IdentityRecord> TakeIdentityRecords() {
    auto& list = pal::security::Records();
    std::lock_guard<std::mutex> g(list.lock);
    std::vector<IdentityRecord> out(std::make_move_iterator(list.records.begin()),
                                    std::make_move_iterator(list.records.end()));
    list.records.clear();
    return out;
}

} // namespace pal::host

using namespace pal::security;

PAL_API HANDLE GetCurrentProcess(void) { return PseudoProcess(); }
PAL_API HANDLE GetCurrentThread(void) { return PseudoThread(); }

PAL_API BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL /*OpenAsSelf*/, PHANDLE TokenHandle) {
    if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
    *TokenHandle = nullptr;
    if (ThreadHandle != PseudoThread()) return Fail(ERROR_INVALID_HANDLE);
    if (auto f = pal::faults::Check("OpenThreadToken"); f.fail) return Fail(f.error);
    auto imp = ThreadImpersonation();
    if (!imp) return Fail(ERROR_NO_TOKEN);
    *TokenHandle = NewToken(imp, DesiredAccess, TokenImpersonation, SecurityImpersonation);
    return TRUE;
}

PAL_API BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
    *TokenHandle = nullptr;
    if (ProcessHandle != PseudoProcess()) return Fail(ERROR_INVALID_HANDLE);
    if (auto f = pal::faults::Check("OpenProcessToken"); f.fail) return Fail(f.error);
    *TokenHandle = NewToken(SystemAccount(), DesiredAccess, TokenPrimary, SecurityAnonymous);
    return TRUE;
}

PAL_API BOOL RevertToSelf(void) {
    if (auto f = pal::faults::Check("RevertToSelf"); f.fail) return Fail(f.error);
    SetThreadImpersonation(nullptr);
    return TRUE;
}

PAL_API BOOL ImpersonateLoggedOnUser(HANDLE hToken) {
    auto token = pal::LookupHandle<Token>(hToken);
    if (!token) return Fail(ERROR_INVALID_HANDLE);
    if (!(token->access & TOKEN_QUERY) || !(token->access & (TOKEN_DUPLICATE | TOKEN_IMPERSONATE)))
        return Fail(ERROR_ACCESS_DENIED);
    if (auto f = pal::faults::Check("ImpersonateLoggedOnUser"); f.fail) return Fail(f.error);
    SetThreadImpersonation(token->account);
    return TRUE;
}

PAL_API BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    if (!ReturnLength) return Fail(ERROR_INVALID_PARAMETER);
    auto token = pal::LookupHandle<Token>(TokenHandle);
    if (!token) return Fail(ERROR_INVALID_HANDLE);
    if (!(token->access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
    if (auto f = pal::faults::Check("GetTokenInformation"); f.fail) return Fail(f.error);
    if (!TokenInformation && TokenInformationLength) return Fail(ERROR_INVALID_PARAMETER);
    switch (TokenInformationClass) {
    case TokenUser:
        return WriteSidInfo(*token->account, sizeof(TOKEN_USER), TokenInformation, TokenInformationLength,
                            ReturnLength);
    case TokenOwner:
        return WriteSidInfo(*token->account, sizeof(TOKEN_OWNER), TokenInformation, TokenInformationLength,
                            ReturnLength);
    case TokenType: {
        *ReturnLength = sizeof(TOKEN_TYPE);
        if (TokenInformationLength < sizeof(TOKEN_TYPE)) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(TokenInformation, &token->type, sizeof(TOKEN_TYPE));
        return TRUE;
    }
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
}

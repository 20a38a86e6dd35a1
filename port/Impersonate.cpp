#define QL_MODULE WSTR("Util")
#include "port/Impersonate.h"

#include "diag/DbgLog.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <memory>

// The records read here, as laid out on Windows x64.
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16);
static_assert(offsetof(SID_AND_ATTRIBUTES, Attributes) == 8);
static_assert(sizeof(TOKEN_USER) == 16);
static_assert(offsetof(TOKEN_USER, User) == 0);
static_assert(sizeof(EXPLICIT_ACCESS_W) == 48);
static_assert(offsetof(EXPLICIT_ACCESS_W, Trustee) == 16);
static_assert(offsetof(TRUSTEE_W, ptstrName) == 24);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40);
static_assert(sizeof(OSVERSIONINFOEXW) == 284);

namespace {

// Token access to save a token and impersonate it again later.
constexpr DWORD TOKEN_SAVE_ACCESS = TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY | READ_CONTROL; // 0x0002000E
// Token access to read the token's user.
constexpr DWORD TOKEN_USER_ACCESS = TOKEN_IMPERSONATE | TOKEN_QUERY | READ_CONTROL; // 0x0002000C
static_assert(TOKEN_SAVE_ACCESS == 0x0002000E && TOKEN_USER_ACCESS == 0x0002000C);

// Read, write, execute and delete, without WRITE_DAC, WRITE_OWNER and
// FILE_DELETE_CHILD.
constexpr DWORD FILE_USER_ACCESS = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
static_assert(FILE_USER_ACCESS == 0x001301BF && FILE_ALL_ACCESS == 0x001F01FF);

// Keeps the thread's last-error code across clean-up calls.
class CKeepLastError {
public:
    CKeepLastError() : m_dwError(GetLastError()) {}
    ~CKeepLastError() { SetLastError(m_dwError); }
    CKeepLastError(const CKeepLastError&) = delete;
    CKeepLastError& operator=(const CKeepLastError&) = delete;

private:
    DWORD m_dwError;
};

// Closes the saved token and clears the context. The thread and process
// entries are pseudo handles, which need no closing.
void ReleaseContext(ImpersonationContext* pCon) {
    CKeepLastError keep;
    if (pCon->hToken) CloseHandle(pCon->hToken);
    pCon->hToken = nullptr;
    pCon->hThread = nullptr;
    pCon->hProcess = nullptr;
}

// A token handle closed when it goes out of scope.
struct TokenCloser {
    void operator()(HANDLE h) const {
        CKeepLastError keep;
        CloseHandle(h);
    }
};
using TokenHandle = std::unique_ptr<void, TokenCloser>;

// A TOKEN_USER of GetTokenUser, freed with MemFree.
struct TokenUserFree {
    void operator()(TOKEN_USER* p) const {
        CKeepLastError keep;
        MemFreeT(&p);
    }
};
using TokenUserPtr = std::unique_ptr<TOKEN_USER, TokenUserFree>;

void SetSidTrustee(EXPLICIT_ACCESS_W& ea, DWORD dwAccess, PSID pSid, TRUSTEE_TYPE type) {
    ea.grfAccessPermissions = dwAccess;
    ea.grfAccessMode = SET_ACCESS;
    ea.grfInheritance = NO_INHERITANCE;
    ea.Trustee.pMultipleTrustee = nullptr;
    ea.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ea.Trustee.TrusteeType = type;
    ea.Trustee.ptstrName = static_cast<LPWSTR>(pSid);
}

} // namespace

// ---- security objects ---------------------------------------------------------------------

CSid::CSid(WELL_KNOWN_SID_TYPE type) {
    DWORD cbSid = SECURITY_MAX_SID_SIZE;
    m_sid.resize(cbSid);
    if (!CreateWellKnownSid(type, nullptr, m_sid.data(), &cbSid)) {
        m_sid.clear();
        return;
    }
    m_sid.resize(cbSid);
}

CSid::CSid(PSID pSid) {
    if (!pSid || !IsValidSid(pSid)) return;
    DWORD cbSid = GetLengthSid(pSid);
    m_sid.resize(cbSid);
    if (!CopySid(cbSid, m_sid.data(), pSid)) m_sid.clear();
}

CSid::~CSid() = default;

CAcl::CAcl() : m_pAcl(nullptr), m_dwResult(ERROR_SUCCESS) {}

CAcl::~CAcl() {
    if (m_pAcl) LocalFree(m_pAcl);
}

DWORD CAcl::SetEntriesInAclW(ULONG cEntries, PEXPLICIT_ACCESS_W pEntries) {
    PACL pNew = nullptr;
    m_dwResult = ::SetEntriesInAclW(cEntries, pEntries, nullptr, &pNew);
    if (m_dwResult != ERROR_SUCCESS) {
        SetLastError(m_dwResult);
        return m_dwResult;
    }
    if (m_pAcl) LocalFree(m_pAcl);
    m_pAcl = pNew;
    return m_dwResult;
}

CSecurityDescriptor::CSecurityDescriptor() { std::memset(&m_sd, 0, sizeof(m_sd)); }

CSecurityDescriptor::~CSecurityDescriptor() = default;

BOOL CSecurityDescriptor::SetDacl(PACL pAcl) {
    if (!InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION)) return FALSE;
    return SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE);
}

// ---- impersonation ---------------------------------------------------------------------------

BOOL MyRevertToSelf(ImpersonationContext* pCon) {
    if (!pCon) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pCon->hToken = nullptr;
    pCon->hThread = GetCurrentThread();
    pCon->hProcess = GetCurrentProcess();

    // A thread that does not impersonate saves the process token, so the
    // matching MyImpersonateLoggedOnUser has a token to restore either way.
    if (!OpenThreadToken(pCon->hThread, TOKEN_SAVE_ACCESS, FALSE, &pCon->hToken) &&
        !OpenProcessToken(pCon->hProcess, TOKEN_SAVE_ACCESS, &pCon->hToken)) {
        QLLOG(LOG_ERR, WSTR("SetJobStatusToErr: OpenProcessToken failed: %lu"), GetLastError());
        pCon->hToken = nullptr;
        ReleaseContext(pCon);
        return FALSE;
    }
    if (!RevertToSelf()) {
        QLLOG(LOG_ERR, WSTR("SetJobStatusToErr: RevertToSelf failed: %lu"), GetLastError());
        ReleaseContext(pCon);
        return FALSE;
    }
    QLLOG(LOG_TRC, WSTR("MyRevertToSelf ok"));
    return TRUE;
}

BOOL MyImpersonateLoggedOnUser(ImpersonationContext* pCon) {
    if (!pCon) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL fImpersonated = TRUE;
    if (pCon->hToken && !ImpersonateLoggedOnUser(pCon->hToken)) {
        QLLOG(LOG_ERR, WSTR("SetJobStatusToErr: ImpersonateLoggedOnUser failed: %lu"), GetLastError());
        fImpersonated = FALSE;
    }
    ReleaseContext(pCon);
    if (!fImpersonated) return FALSE;
    QLLOG(LOG_TRC, WSTR("MyImpersonateLoggedOnUser ok"));
    return TRUE;
}

PTOKEN_USER GetTokenUser() {
    HANDLE hRawToken = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_USER_ACCESS, FALSE, &hRawToken)) {
        QLLOG(LOG_ERR, WSTR("OpenProcessToken failed: %u"), GetLastError());
        return nullptr;
    }
    TokenHandle hToken(hRawToken);

    DWORD cbNeeded = 0;
    if (!GetTokenInformation(hToken.get(), TokenUser, nullptr, 0, &cbNeeded) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        QLLOG(LOG_ERR, WSTR("GetTokenInformation failed: %u"), GetLastError());
        return nullptr;
    }
    if (cbNeeded < sizeof(TOKEN_USER)) {
        SetLastError(ERROR_INVALID_DATA);
        QLLOG(LOG_ERR, WSTR("GetTokenInformation failed: %u"), GetLastError());
        return nullptr;
    }
    TokenUserPtr pUser(static_cast<PTOKEN_USER>(MemAlloc(cbNeeded)));
    if (!pUser) {
        QLLOG(LOG_ERR, WSTR("no memory: %u"), GetLastError());
        return nullptr;
    }
    if (!GetTokenInformation(hToken.get(), TokenUser, pUser.get(), cbNeeded, &cbNeeded)) {
        QLLOG(LOG_ERR, WSTR("GetTokenInformation failed: %u"), GetLastError());
        return nullptr;
    }
    return pUser.release();
}

// ---- file security ------------------------------------------------------------------------------

BOOL TakeOwnership(LPCWSTR pszFile) {
    TokenUserPtr pUser(GetTokenUser());
    if (!pUser) return FALSE;
    DWORD dwErr = SetNamedSecurityInfoW(const_cast<LPWSTR>(pszFile), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                        pUser->User.Sid, nullptr, nullptr, nullptr);
    if (dwErr != ERROR_SUCCESS) {
        QLLOG(LOG_ERR, WSTR("SetNamedSecurityInfo failed: %u"), dwErr);
        SetLastError(dwErr);
        return FALSE;
    }
    return TRUE;
}

DWORD SetFileToStdRigths(LPCWSTR pszFile) {
    TokenUserPtr pUser(GetTokenUser());
    if (!pUser) {
        DWORD dwErr = GetLastError();
        return dwErr != ERROR_SUCCESS ? dwErr : static_cast<DWORD>(ERROR_NO_TOKEN);
    }
    CSid sidAdmins(WinBuiltinAdministratorsSid);
    CSid sidSystem(WinLocalSystemSid);
    if (!sidAdmins.Get() || !sidSystem.Get()) return GetLastError();

    EXPLICIT_ACCESS_W ea[3] = {};
    SetSidTrustee(ea[0], FILE_ALL_ACCESS, sidAdmins.Get(), TRUSTEE_IS_ALIAS);
    SetSidTrustee(ea[1], FILE_ALL_ACCESS, sidSystem.Get(), TRUSTEE_IS_USER);
    SetSidTrustee(ea[2], FILE_USER_ACCESS, pUser->User.Sid, TRUSTEE_IS_USER);

    CAcl acl;
    if (!FLUNKKED(acl.SetEntriesInAclW(3, ea) == 0L)) return acl.Result();

    DWORD dwErr = SetNamedSecurityInfoW(const_cast<LPWSTR>(pszFile), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                        nullptr, nullptr, acl.Get(), nullptr);
    if (dwErr != ERROR_SUCCESS) {
        QLLOG(LOG_ERR, WSTR("SetNamedSecurityInfo with securities is not possible <%s> with error %d"), pszFile, dwErr);
        return dwErr;
    }
    return ERROR_SUCCESS;
}

DWORD CreateFileEveryOneAccess(LPCWSTR pszFile) {
    if (!pszFile) return ERROR_INVALID_PARAMETER;
    CSid sidEveryone(WinWorldSid);
    if (!sidEveryone.Get()) return GetLastError();

    EXPLICIT_ACCESS_W ea[1] = {};
    SetSidTrustee(ea[0], FILE_ALL_ACCESS, sidEveryone.Get(), TRUSTEE_IS_WELL_KNOWN_GROUP);

    CAcl acl;
    if (!FLUNKKED(acl.SetEntriesInAclW(1, ea) == 0L)) return acl.Result();
    CSecurityDescriptor sd;
    if (!sd.SetDacl(acl.Get())) return GetLastError();

    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = sd.Get();
    sa.bInheritHandle = FALSE;
    HANDLE hFile = CreateFileW(pszFile, GENERIC_READ | GENERIC_WRITE, 0, IsWin2000OrLater() ? nullptr : &sa,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (!FLUNKKED(hFile != ((HANDLE)(LONG_PTR)-1))) {
        DWORD dwErr = GetLastError();
        QLLOG(LOG_ERR, WSTR("Filecreate with securities is not possible <%s> with error %d"), pszFile, dwErr);
        return dwErr;
    }
    CloseHandle(hFile);
    return ERROR_SUCCESS;
}

// ---- system facts ---------------------------------------------------------------------------------

BOOL IsWin2000OrLater() {
    // -1 until the first call; two threads computing it at once store the
    // same answer.
    static std::atomic<int> s_nAnswer{-1};
    int nAnswer = s_nAnswer.load(std::memory_order_relaxed);
    if (nAnswer >= 0) return nAnswer;

    OSVERSIONINFOEXW osvi = {};
    osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    BOOL fGot = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&osvi));
    if (!fGot) {
        std::memset(&osvi, 0, sizeof(osvi));
        osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        fGot = GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&osvi));
    }
    nAnswer = fGot && osvi.dwPlatformId == VER_PLATFORM_WIN32_NT && osvi.dwMajorVersion >= 5 ? 1 : 0;
    s_nAnswer.store(nAnswer, std::memory_order_relaxed);
    return nAnswer;
}

HMODULE LoadSystemLibrary(LPCWSTR lpszName) {
    if (!lpszName) return nullptr;
    for (LPCWSTR p = lpszName; *p; ++p) {
        if (*p == WSTR('\\')) return nullptr;
    }

    WCHAR szPath[MAX_PATH] = {};
    UINT cchDir = GetSystemDirectoryW(szPath, MAX_PATH);
    if (cchDir == 0 || cchDir >= MAX_PATH - 1) return nullptr;
    size_t cchName = static_cast<size_t>(lstrlenW(lpszName));
    if (cchDir + cchName >= MAX_PATH - 1) return nullptr;

    szPath[cchDir] = WSTR('\\');
    lstrcpynW(szPath + cchDir + 1, lpszName, static_cast<int>(MAX_PATH - cchDir - 1));
    return LoadLibraryW(szPath);
}

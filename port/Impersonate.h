// Identity and file security helpers of the print processor, and the loading
// of system libraries.
//
// The print processor runs in the spooler and its printing thread normally
// impersonates the job's user. Work that needs the spooler's own identity
// (port queries, event log registration, files in system directories) is
// bracketed by MyRevertToSelf and MyImpersonateLoggedOnUser on the same thread.
#pragma once
#include "palwin.h"

#include <vector>

// What MyRevertToSelf saved: the thread's token (or the process token when the
// thread did not impersonate) and the pseudo handles of the current thread and
// process. All null when not in use.
struct ImpersonationContext {
    HANDLE hToken;
    HANDLE hThread;
    HANDLE hProcess;
};

// Saves the thread's token in *pCon and reverts the thread to the spooler's
// identity. TRUE on success; on failure the thread is left as it was and the
// context is cleared.
BOOL MyRevertToSelf(ImpersonationContext* pCon);

// Impersonates the token saved in *pCon again and clears the context. TRUE on
// success, also when there was no token to restore.
BOOL MyImpersonateLoggedOnUser(ImpersonationContext* pCon);

// TOKEN_USER of the thread's impersonation token in memory of MemAlloc (the
// caller frees it with MemFree), or null with the last error set.
PTOKEN_USER GetTokenUser();

// Makes the thread's user the owner of the file. TRUE on success.
BOOL TakeOwnership(LPCWSTR pszFile);

// Replaces the file's DACL: Administrators and LocalSystem full access, the
// thread's user read, write, execute and delete. 0 or a Windows error code.
DWORD SetFileToStdRigths(LPCWSTR pszFile);

// Creates the file, or opens it when it exists (never truncating it), and
// closes it again. Before Windows 2000 the file gets a DACL that gives Everyone
// full access; later systems give it the default security of its directory.
// 0 or a Windows error code.
DWORD CreateFileEveryOneAccess(LPCWSTR pszFile);

// Windows NT 5.0 or later. Computed at the first call, then cached.
BOOL IsWin2000OrLater();

// Loads a library by bare file name from the system directory only. Null for
// a null name, a name with a backslash, or a path that would not fit.
HMODULE LoadSystemLibrary(LPCWSTR lpszName);

// One security identifier, owning its storage.
class CSid {
public:
    explicit CSid(WELL_KNOWN_SID_TYPE type);
    // Copy of an identifier held elsewhere (e.g. in a TOKEN_USER).
    explicit CSid(PSID pSid);
    virtual ~CSid();
    CSid(const CSid&) = delete;
    CSid& operator=(const CSid&) = delete;

    // Null when the identifier could not be made.
    PSID Get() { return m_sid.empty() ? nullptr : m_sid.data(); }

private:
    std::vector<BYTE> m_sid;
};

// One discretionary ACL, owning its storage (freed with LocalFree).
class CAcl {
public:
    CAcl();
    virtual ~CAcl();
    CAcl(const CAcl&) = delete;
    CAcl& operator=(const CAcl&) = delete;

    // Builds a new list from the entries; returns 0 or the Windows error code,
    // which Result() keeps.
    DWORD SetEntriesInAclW(ULONG cEntries, PEXPLICIT_ACCESS_W pEntries);
    DWORD Result() const { return m_dwResult; }
    PACL Get() const { return m_pAcl; }

private:
    PACL m_pAcl;
    DWORD m_dwResult;
};

// One absolute security descriptor, revision 1.
class CSecurityDescriptor {
public:
    CSecurityDescriptor();
    virtual ~CSecurityDescriptor();
    CSecurityDescriptor(const CSecurityDescriptor&) = delete;
    CSecurityDescriptor& operator=(const CSecurityDescriptor&) = delete;

    // Initialises the descriptor and makes pAcl its DACL. The ACL must outlive
    // the descriptor's use. FALSE with the last error set on failure.
    BOOL SetDacl(PACL pAcl);
    PSECURITY_DESCRIPTOR Get() { return &m_sd; }

private:
    SECURITY_DESCRIPTOR m_sd;
};

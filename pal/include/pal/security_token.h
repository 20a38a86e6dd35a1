// Access tokens and impersonation for the Linux build.
//
// Identities are simulated. The process runs as the spooler's own account
// (LocalSystem, S-1-5-18); each thread may carry an impersonation token of a
// user (palhost.h ImpersonateUser, or ImpersonateLoggedOnUser with a token).
#pragma once
#include "pal/security_sid.h"

// ---- tokens and impersonation ------------------------------------------------------------
#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ADJUST_SESSIONID 0x0100
#define TOKEN_READ (STANDARD_RIGHTS_READ | TOKEN_QUERY)
#define TOKEN_ALL_ACCESS \
    (STANDARD_RIGHTS_REQUIRED | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY | \
     TOKEN_QUERY_SOURCE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID)

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType,
    TokenImpersonationLevel
} TOKEN_INFORMATION_CLASS;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation } TOKEN_TYPE;
typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_OWNER {
    PSID Owner;
} TOKEN_OWNER, *PTOKEN_OWNER;

// Pseudo handles, as on Windows: (HANDLE)-1 and (HANDLE)-2. They need no
// closing.
PAL_API HANDLE GetCurrentProcess(void);
PAL_API HANDLE GetCurrentThread(void);

// Only the calling thread can be asked (GetCurrentThread()); ERROR_NO_TOKEN
// when it does not impersonate.
PAL_API BOOL OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf, PHANDLE TokenHandle);
PAL_API BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);
// The calling thread stops impersonating.
PAL_API BOOL RevertToSelf(void);
// The calling thread impersonates the token's identity. The token needs
// TOKEN_QUERY and TOKEN_DUPLICATE or TOKEN_IMPERSONATE access.
PAL_API BOOL ImpersonateLoggedOnUser(HANDLE hToken);
// TokenUser, TokenOwner and TokenType. TokenUser writes TOKEN_USER followed by
// the SID; a buffer that is too small gives ERROR_INSUFFICIENT_BUFFER with the
// size needed in *ReturnLength.
PAL_API BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength);

static_assert(sizeof(TOKEN_USER) == 16);

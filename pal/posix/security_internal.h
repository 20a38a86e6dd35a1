// Internals of the simulated security: identities, SID bytes, and the hooks
// through which the spooler and the file calls report under which identity
// they ran.
#pragma once
#include "pal/security.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pal::security {

// One account: the spooler's own or a user's.
struct Account {
    std::u16string user;
    std::u16string domain;
    std::vector<BYTE> sid;
    bool system = false;
};

// LocalSystem, the identity of the process.
std::shared_ptr<const Account> SystemAccount();
// The account of a user name ("name" or "DOMAIN\name"); made on first use and
// remembered, so a name keeps its SID and account.
std::shared_ptr<const Account> UserAccount(std::u16string_view user);
// The calling thread's impersonated account, or null.
std::shared_ptr<const Account> ThreadImpersonation();
void SetThreadImpersonation(std::shared_ptr<const Account> account);
// The impersonated account or, without one, the process account.
std::shared_ptr<const Account> EffectiveAccount();

// SID bytes for an authority and sub-authorities.
std::vector<BYTE> MakeSid(const BYTE (&authority)[6], std::initializer_list<DWORD> subAuthorities);
// A SID in memory: revision 1 and at most 15 sub-authorities.
bool SidIsValid(const void* sid);
// 8 + 4 * sub-authority count; 0 for an invalid SID.
DWORD SidLength(const void* sid);
std::vector<BYTE> SidBytes(const void* sid);
std::u16string SidToString(const void* sid);

// ---- hooks of the spooler and the file calls ---------------------------------------------
// OpenPrinterW (records only ",XcvPort" and ",XcvMonitor" channel names) and
// XcvDataW (target: the port or monitor and the command).
void NoteSpoolerCall(const char* call, const WCHAR* target, const WCHAR* command = nullptr);
// A file was opened. Write access records the identity; a file made anew
// forgets recorded security and takes the DACL of the descriptor in sa.
void NoteFileOpened(const char* call, const WCHAR* windowsPath, const std::string& hostPath, bool forWriting,
                    bool created, const SECURITY_ATTRIBUTES* sa);

// Appends an identity record (bounded list).
void AddIdentityRecord(const char* call, std::u16string target);
// Drops the file security record of a host path.
void ForgetFileSecurity(const std::string& hostPath);

} // namespace pal::security

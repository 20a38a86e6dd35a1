// Identities and file security for the host and the tests: impersonation of
// users, the identity records of port queries and file creation, and the
// security recorded for files.
#pragma once
#include "palwin.h"

#include <optional>
#include <string>
#include <vector>

namespace pal::host {

// ---- identities and file security -----------------------------------------------------
// The process runs as the spooler's account "SYSTEM" (S-1-5-18). A thread may
// impersonate a user, as the spooler's printing thread impersonates the job's
// user. `user` is "name" (domain: the computer name) or "DOMAIN\name"; every
// user gets a stable SID S-1-5-21-<a>-<b>-<c>-<rid> derived from the names.
void ImpersonateUser(const std::u16string& user);
// The calling thread stops impersonating (as RevertToSelf).
void StopImpersonating();
struct Identity {
    std::u16string user;   // "SYSTEM" for the spooler's own account
    std::u16string domain; // "NT AUTHORITY" for it, else the user's domain
    std::u16string sid;    // "S-1-5-18", "S-1-5-21-..."
    bool impersonating = false; // the thread carries an impersonation token
};
// The identity the calling thread runs under.
Identity CurrentIdentity();
// The SID string the layer gives a user name ("name" or "DOMAIN\name").
std::u16string UserSid(const std::u16string& user);
// "S-1-..." form of a SID in memory; empty when it is not a valid SID.
std::u16string SidString(const void* sid);

// Which identity ran a port query or created a file: OpenPrinterW of an
// ",XcvPort"/",XcvMonitor" channel (target: the name given, also when the
// open fails), XcvDataW (target: the port or monitor, then " " and the
// command), CreateFileW and _wfopen with write access (target: the Windows
// path, recorded when the open succeeded).
struct IdentityRecord {
    std::string call;
    std::u16string target;
    Identity identity;
};
// Records in call order; Take* empties the list.
std::vector<IdentityRecord> TakeIdentityRecords();

// Security recorded for a file by SetNamedSecurityInfoW, or taken from the
// security descriptor of a CreateFileW that created it.
struct AceRecord {
    BYTE type = 0;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
    BYTE flags = 0; // inheritance flags
    DWORD mask = 0;
    std::u16string sid;
};
struct FileSecurityRecord {
    std::u16string owner;          // SID string; empty when never set
    bool daclSet = false;          // a DACL was applied
    bool nullDacl = false;         // ... and it was a null DACL (everyone, full access)
    std::vector<AceRecord> dacl;   // in ACL order
};
// Nothing when the file's security was never set (or the file was created
// anew since).
std::optional<FileSecurityRecord> FileSecurity(const std::u16string& windowsPath);
// Forgets identity records and file security records.
void ClearSecurityRecords();

} // namespace pal::host

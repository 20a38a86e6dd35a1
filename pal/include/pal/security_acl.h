// Access control lists, security descriptors and the security of named files
// for the Linux build. Layouts are those of Windows x64.
//
// SetNamedSecurityInfoW records owner and DACL per file instead of changing the
// real file's ownership; palhost.h reads the records back.
#pragma once
#include "pal/security_sid.h"

// ---- access control lists --------------------------------------------------------------
typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

typedef struct _ACE_HEADER {
    BYTE AceType;
    BYTE AceFlags;
    WORD AceSize;
} ACE_HEADER, *PACE_HEADER;

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    DWORD SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define VALID_INHERIT_FLAGS 0x1F

typedef enum _MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_IMPERSONATE } MULTIPLE_TRUSTEE_OPERATION;
typedef enum _TRUSTEE_FORM {
    TRUSTEE_IS_SID,
    TRUSTEE_IS_NAME,
    TRUSTEE_BAD_FORM,
    TRUSTEE_IS_OBJECTS_AND_SID,
    TRUSTEE_IS_OBJECTS_AND_NAME
} TRUSTEE_FORM;
typedef enum _TRUSTEE_TYPE {
    TRUSTEE_IS_UNKNOWN,
    TRUSTEE_IS_USER,
    TRUSTEE_IS_GROUP,
    TRUSTEE_IS_DOMAIN,
    TRUSTEE_IS_ALIAS,
    TRUSTEE_IS_WELL_KNOWN_GROUP,
    TRUSTEE_IS_DELETED,
    TRUSTEE_IS_INVALID,
    TRUSTEE_IS_COMPUTER
} TRUSTEE_TYPE;
typedef enum _ACCESS_MODE {
    NOT_USED_ACCESS = 0,
    GRANT_ACCESS,
    SET_ACCESS,
    DENY_ACCESS,
    REVOKE_ACCESS,
    SET_AUDIT_SUCCESS,
    SET_AUDIT_FAILURE
} ACCESS_MODE;

#define NO_INHERITANCE 0x0
#define SUB_OBJECTS_ONLY_INHERIT 0x1
#define SUB_CONTAINERS_ONLY_INHERIT 0x2
#define SUB_CONTAINERS_AND_OBJECTS_INHERIT 0x3
#define INHERIT_NO_PROPAGATE 0x4
#define INHERIT_ONLY 0x8

// With TRUSTEE_IS_SID, ptstrName holds the PSID (as in the SDK's own headers).
typedef struct _TRUSTEE_W {
    struct _TRUSTEE_W* pMultipleTrustee;
    MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
    TRUSTEE_FORM TrusteeForm;
    TRUSTEE_TYPE TrusteeType;
    LPWSTR ptstrName;
} TRUSTEE_W, *PTRUSTEE_W;

typedef struct _EXPLICIT_ACCESS_W {
    DWORD grfAccessPermissions;
    ACCESS_MODE grfAccessMode;
    DWORD grfInheritance;
    TRUSTEE_W Trustee;
} EXPLICIT_ACCESS_W, *PEXPLICIT_ACCESS_W;

// Builds a new ACL in LocalAlloc memory from OldAcl (may be null) and the
// entries: SET_ACCESS replaces the trustee's entries, GRANT_ACCESS adds rights,
// DENY_ACCESS adds a denying entry (denials come first), REVOKE_ACCESS removes
// the trustee's entries. Trustees are SIDs, or the names "Everyone", "SYSTEM",
// "Administrators" and "CURRENT_USER". Returns a Win32 error code.
PAL_API DWORD SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                               PACL* NewAcl);

// ---- security descriptors --------------------------------------------------------------
typedef PVOID PSECURITY_DESCRIPTOR;
typedef WORD SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

// Absolute form.
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SELF_RELATIVE 0x8000

PAL_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
PAL_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                       BOOL bDaclDefaulted);

typedef DWORD SECURITY_INFORMATION, *PSECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L

typedef enum _SE_OBJECT_TYPE {
    SE_UNKNOWN_OBJECT_TYPE = 0,
    SE_FILE_OBJECT,
    SE_SERVICE,
    SE_PRINTER,
    SE_REGISTRY_KEY,
    SE_LMSHARE,
    SE_KERNEL_OBJECT,
    SE_WINDOW_OBJECT
} SE_OBJECT_TYPE;

// Files only. Records the owner and the DACL for the file (palhost.h
// FileSecurity); the real file keeps its ownership. ERROR_FILE_NOT_FOUND for a
// missing file; ERROR_INVALID_OWNER when a caller other than the spooler's
// own account names an owner other than itself.
PAL_API DWORD SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType, SECURITY_INFORMATION SecurityInfo,
                                    PSID psidOwner, PSID psidGroup, PACL pDacl, PACL pSacl);

static_assert(sizeof(ACL) == 8);
static_assert(offsetof(ACL, AclSize) == 2);
static_assert(offsetof(ACL, AceCount) == 4);
static_assert(sizeof(ACE_HEADER) == 4);
static_assert(offsetof(ACE_HEADER, AceSize) == 2);
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12);
static_assert(offsetof(ACCESS_ALLOWED_ACE, Mask) == 4);
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == 8);
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40);
static_assert(offsetof(SECURITY_DESCRIPTOR, Control) == 2);
static_assert(offsetof(SECURITY_DESCRIPTOR, Owner) == 8);
static_assert(offsetof(SECURITY_DESCRIPTOR, Dacl) == 32);
static_assert(sizeof(TRUSTEE_W) == 32);
static_assert(offsetof(TRUSTEE_W, TrusteeForm) == 12);
static_assert(offsetof(TRUSTEE_W, TrusteeType) == 16);
static_assert(offsetof(TRUSTEE_W, ptstrName) == 24);
static_assert(sizeof(EXPLICIT_ACCESS_W) == 48);
static_assert(offsetof(EXPLICIT_ACCESS_W, grfInheritance) == 8);
static_assert(offsetof(EXPLICIT_ACCESS_W, Trustee) == 16);

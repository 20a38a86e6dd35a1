// Security for the Linux build, by area: identifiers (security_sid.h), access
// control lists, descriptors and file security (security_acl.h), tokens and
// impersonation (security_token.h).
#pragma once
#include "pal/security_sid.h"
#include "pal/security_acl.h"
#include "pal/security_token.h"

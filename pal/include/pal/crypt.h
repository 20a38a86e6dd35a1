// CryptoAPI subset for the Linux build: hash providers and hashes (MD5,
// SHA-1, SHA-256) with the Windows constants and error codes. Contexts and
// hashes are handles of the platform layer, so a leaked one shows in the list
// of open handles.
#pragma once
#include "pal/types.h"

#define PAL_API extern "C" __attribute__((visibility("default")))

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef UINT ALG_ID;

// Provider types.
#define PROV_RSA_FULL 1
#define PROV_RSA_AES 24

// CryptAcquireContext flags.
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008u
#define CRYPT_DELETEKEYSET 0x00000010u
#define CRYPT_MACHINE_KEYSET 0x00000020u
#define CRYPT_SILENT 0x00000040u
#define CRYPT_DEFAULT_CONTAINER_OPTIONAL 0x00000080u

// Hash algorithms.
#define CALG_MD5 0x00008003u
#define CALG_SHA1 0x00008004u
#define CALG_SHA_256 0x0000800Cu

// CryptGetHashParam parameters.
#define HP_ALGID 0x0001u
#define HP_HASHVAL 0x0002u
#define HP_HASHSIZE 0x0004u

// Errors (HRESULT values, reported as the last-error code).
#define NTE_BAD_UID ((HRESULT)0x80090001L)
#define NTE_BAD_HASH ((HRESULT)0x80090002L)
#define NTE_BAD_KEY ((HRESULT)0x80090003L)
#define NTE_BAD_ALGID ((HRESULT)0x80090008L)
#define NTE_BAD_FLAGS ((HRESULT)0x80090009L)
#define NTE_BAD_TYPE ((HRESULT)0x8009000AL)
#define NTE_BAD_HASH_STATE ((HRESULT)0x8009000CL)
#define NTE_NO_MEMORY ((HRESULT)0x8009000EL)
#define NTE_BAD_PROV_TYPE ((HRESULT)0x80090014L)
#define NTE_BAD_KEYSET ((HRESULT)0x80090016L)
#define NTE_PROV_TYPE_NOT_DEF ((HRESULT)0x80090017L)
#define NTE_KEYSET_NOT_DEF ((HRESULT)0x80090019L)

// Only key-less ephemeral contexts exist: without CRYPT_VERIFYCONTEXT the
// call fails with NTE_BAD_KEYSET, as on a machine without key containers. A
// named provider other than null or empty fails with NTE_KEYSET_NOT_DEF.
PAL_API BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                            DWORD dwProvType, DWORD dwFlags);
PAL_API BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);
PAL_API BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                       HCRYPTHASH* phHash);
// Once the value has been read (HP_HASHVAL with a buffer), further data fails
// with NTE_BAD_HASH_STATE; the value can be read again.
PAL_API BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
// A null pbData asks for the size only; a short buffer fails with
// ERROR_MORE_DATA and *pdwDataLen set to the size needed.
PAL_API BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwFlags);
PAL_API BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);

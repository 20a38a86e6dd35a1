// MD5 and SHA-1 digests on CryptoAPI.
#define QL_MODULE WSTR("Addfonts")
#include "fonts/HashPipe.h"

#include "diag/DbgLog.h"

#include <cstring>

namespace {

// A key-less context that opens no key container and never shows a dialog,
// as fits the spooler process.
constexpr DWORD kProviderFlags = CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_MACHINE_KEYSET;
static_assert(kProviderFlags == 0xF0000060u);

// The thread's last error as an HRESULT; thrown only when it is a failure.
void ThrowLastError() {
    DWORD dwError = GetLastError();
    HRESULT hr = HRESULT_FROM_WIN32(dwError);
    if (FAILED(hr)) throw CHResultError(hr);
}

} // namespace

BYTE* ComputeMD5(BYTE* digest, const void* data, DWORD size) {
    HCRYPTPROV hProv = 0;
    if (!CryptAcquireContextW(&hProv, nullptr, nullptr, PROV_RSA_FULL, kProviderFlags)) {
        QLLOG(LOG_ERR, WSTR("CryptAcquireContext failed: %d"), GetLastError());
        return nullptr;
    }
    HCRYPTHASH hHash = 0;
    if (!CryptCreateHash(hProv, CALG_MD5, 0, 0, &hHash)) {
        QLLOG(LOG_ERR, WSTR("CryptCreateHash failed: %d"), GetLastError());
        CryptReleaseContext(hProv, 0);
        return nullptr;
    }
    BYTE abValue[MD5_DIGEST_SIZE];
    DWORD cbValue = sizeof(abValue);
    if (!CryptHashData(hHash, static_cast<const BYTE*>(data), size, 0) ||
        !CryptGetHashParam(hHash, HP_HASHVAL, abValue, &cbValue, 0)) {
        // The clean-up must not hide the error of the failing step.
        DWORD dwError = GetLastError();
        CryptDestroyHash(hHash);
        CryptReleaseContext(hProv, 0);
        QLLOG(LOG_ERR, WSTR("CryptHashData failed: %d"), dwError);
        return nullptr;
    }
    std::memcpy(digest, abValue, sizeof(abValue));
    CryptDestroyHash(hHash);
    CryptReleaseContext(hProv, 0);
    return digest;
}

COHashPipe::COHashPipe(COPipe* pNext, DWORD algorithm, bool fOwnsNext) : m_pNext(nullptr) {
    ALG_ID algid;
    if (algorithm == ALG_MD5) algid = CALG_MD5;
    else if (algorithm == ALG_SHA1) algid = CALG_SHA1;
    else throw CHResultError(E_INVALIDARG);

    if (!CryptAcquireContextW(&m_hProv, nullptr, nullptr, PROV_RSA_FULL, kProviderFlags)) {
        m_hProv = 0;
        ThrowLastError();
    }
    if (!CryptCreateHash(m_hProv, algid, 0, 0, &m_hHash)) {
        m_hHash = 0;
        DWORD dwError = GetLastError();
        if (m_hProv) CryptReleaseContext(m_hProv, 0);
        m_hProv = 0;
        SetLastError(dwError);
        ThrowLastError();
    }
    m_pNext = pNext;
    if (fOwnsNext) m_pOwnedNext.reset(pNext);
    m_cbHash = 0;
}

COHashPipe::~COHashPipe() {
    // The owned next pipe goes after this body, once the hash and the
    // provider are released.
    if (m_hHash) CryptDestroyHash(m_hHash);
    if (m_hProv) CryptReleaseContext(m_hProv, 0);
}

DWORD COHashPipe::Write(const void* buffer, DWORD size) {
    if (m_pNext && m_pNext->Write(buffer, size) != size) return 0xFFFFFFFF;
    if (!CryptHashData(m_hHash, static_cast<const BYTE*>(buffer), size, 0)) ThrowLastError();
    m_cbHash = 0;
    return size;
}

void COHashPipe::ReadHash() {
    if (m_cbHash) return;
    DWORD cbHash = HASH_CAPACITY;
    if (!CryptGetHashParam(m_hHash, HP_HASHVAL, m_abHash, &cbHash, 0)) {
        ThrowLastError();
        return;
    }
    m_cbHash = cbHash;
}

const BYTE* COHashPipe::GetHash() {
    ReadHash();
    return m_abHash;
}

DWORD COHashPipe::GetHashSize() {
    ReadHash();
    return m_cbHash;
}

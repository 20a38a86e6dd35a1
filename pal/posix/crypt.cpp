// CryptoAPI hash providers and hashes on OpenSSL's EVP digests. Providers and
// hashes live in the handle table; every failure sets the Win32 or NTE code
// Windows reports for it. Each call asks the fault injector first, so tests
// can make any of them fail.
#include "core.h"
#include "faults.h"

#include "palwin.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace pal {
namespace {

class CryptProvider : public Object {
public:
    explicit CryptProvider(DWORD type) : m_type(type) {}
    std::string Describe() const override {
        return m_type == PROV_RSA_AES ? "crypt provider (PROV_RSA_AES)" : "crypt provider (PROV_RSA_FULL)";
    }

private:
    const DWORD m_type;
};

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

class CryptHash : public Object {
public:
    CryptHash(ALG_ID algid, const char* name, std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx, DWORD size)
        : m_algid(algid), m_name(name), m_ctx(std::move(ctx)), m_size(size) {}
    std::string Describe() const override { return std::string("crypt hash (") + m_name + ")"; }

    ALG_ID Algid() const { return m_algid; }
    DWORD Size() const { return m_size; }

    // Adds bytes; false once the value has been read.
    bool Update(const BYTE* pb, size_t cb) {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_finished) return false;
        return cb == 0 || EVP_DigestUpdate(m_ctx.get(), pb, cb) == 1;
    }
    // Finishes the hash on the first call; copies the value (m_size bytes).
    bool Value(BYTE* out) {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_finished) {
            unsigned int len = 0;
            if (EVP_DigestFinal_ex(m_ctx.get(), m_value, &len) != 1 || len != m_size) return false;
            m_finished = true;
        }
        std::memcpy(out, m_value, m_size);
        return true;
    }
    bool Finished() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_finished;
    }

private:
    const ALG_ID m_algid;
    const char* const m_name;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> m_ctx;
    const DWORD m_size;
    std::mutex m_lock;
    bool m_finished = false;
    BYTE m_value[EVP_MAX_MD_SIZE] = {};
};

HANDLE AsHandle(ULONG_PTR h) { return reinterpret_cast<HANDLE>(h); }

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Runs the armed fault of `call`, if any; true when the call must fail.
bool Faulted(const char* call) {
    faults::Decision d = faults::Check(call);
    if (!d.fail) return false;
    SetLastError(d.error);
    return true;
}

constexpr DWORD kKnownAcquireFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET |
                                     CRYPT_MACHINE_KEYSET | CRYPT_SILENT | CRYPT_DEFAULT_CONTAINER_OPTIONAL;

} // namespace
} // namespace pal

using namespace pal;

PAL_API BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                         DWORD dwProvType, DWORD dwFlags) {
    if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
    *phProv = 0;
    if (Faulted("CryptAcquireContextW")) return FALSE;
    if (dwFlags & ~kKnownAcquireFlags) return Fail(NTE_BAD_FLAGS);
    if (dwProvType != PROV_RSA_FULL && dwProvType != PROV_RSA_AES) return Fail(NTE_PROV_TYPE_NOT_DEF);
    if (szProvider && szProvider[0]) return Fail(NTE_KEYSET_NOT_DEF);
    // No key containers exist on this machine: only ephemeral contexts.
    if ((dwFlags & CRYPT_VERIFYCONTEXT) != CRYPT_VERIFYCONTEXT) return Fail(NTE_BAD_KEYSET);
    if (szContainer && szContainer[0]) return Fail(NTE_BAD_FLAGS);
    HANDLE h = RegisterHandle(std::make_shared<CryptProvider>(dwProvType));
    *phProv = reinterpret_cast<HCRYPTPROV>(h);
    return TRUE;
}

PAL_API BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
    if (!LookupHandle<CryptProvider>(AsHandle(hProv))) return Fail(NTE_BAD_UID);
    if (Faulted("CryptReleaseContext")) return FALSE;
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    RemoveHandleOf<CryptProvider>(AsHandle(hProv));
    return TRUE;
}

PAL_API BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                                    HCRYPTHASH* phHash) {
    if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
    *phHash = 0;
    if (!LookupHandle<CryptProvider>(AsHandle(hProv))) return Fail(NTE_BAD_UID);
    if (Faulted("CryptCreateHash")) return FALSE;
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    const EVP_MD* md = nullptr;
    const char* name = nullptr;
    switch (Algid) {
    case CALG_MD5: md = EVP_md5(); name = "MD5"; break;
    case CALG_SHA1: md = EVP_sha1(); name = "SHA-1"; break;
    case CALG_SHA_256: md = EVP_sha256(); name = "SHA-256"; break;
    default: return Fail(NTE_BAD_ALGID);
    }
    // These algorithms take no key.
    if (hKey) return Fail(NTE_BAD_KEY);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || !md || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) return Fail(NTE_NO_MEMORY);
    DWORD size = static_cast<DWORD>(EVP_MD_get_size(md));
    HANDLE h = RegisterHandle(std::make_shared<CryptHash>(Algid, name, std::move(ctx), size));
    *phHash = reinterpret_cast<HCRYPTHASH>(h);
    return TRUE;
}

PAL_API BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
    auto hash = LookupHandle<CryptHash>(AsHandle(hHash));
    if (!hash) return Fail(NTE_BAD_HASH);
    if (Faulted("CryptHashData")) return FALSE;
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    if (!pbData && dwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    if (hash->Finished()) return Fail(NTE_BAD_HASH_STATE);
    if (!hash->Update(pbData, dwDataLen)) return Fail(NTE_BAD_HASH_STATE);
    return TRUE;
}

PAL_API BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                                      DWORD dwFlags) {
    auto hash = LookupHandle<CryptHash>(AsHandle(hHash));
    if (!hash) return Fail(NTE_BAD_HASH);
    if (Faulted("CryptGetHashParam")) return FALSE;
    if (dwFlags) return Fail(NTE_BAD_FLAGS);
    if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed = 0;
    switch (dwParam) {
    case HP_ALGID:
    case HP_HASHSIZE: needed = sizeof(DWORD); break;
    case HP_HASHVAL: needed = hash->Size(); break;
    default: return Fail(NTE_BAD_TYPE);
    }
    if (!pbData) {
        *pdwDataLen = needed;
        return TRUE;
    }
    if (*pdwDataLen < needed) {
        *pdwDataLen = needed;
        return Fail(ERROR_MORE_DATA);
    }
    if (dwParam == HP_HASHVAL) {
        if (!hash->Value(pbData)) return Fail(NTE_BAD_HASH_STATE);
    } else {
        DWORD v = dwParam == HP_ALGID ? hash->Algid() : hash->Size();
        std::memcpy(pbData, &v, sizeof(v));
    }
    *pdwDataLen = needed;
    return TRUE;
}

PAL_API BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
    if (!LookupHandle<CryptHash>(AsHandle(hHash))) return Fail(NTE_BAD_HASH);
    if (Faulted("CryptDestroyHash")) return FALSE;
    RemoveHandleOf<CryptHash>(AsHandle(hHash));
    return TRUE;
}

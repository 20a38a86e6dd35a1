// CryptoAPI hashes of the platform layer: known digests, the Win32 error codes
// of misuse, and that contexts and hashes are tracked as handles.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string Hex(const BYTE* pb, DWORD cb) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (DWORD i = 0; i < cb; ++i) {
        s += digits[pb[i] >> 4];
        s += digits[pb[i] & 15];
    }
    return s;
}

size_t CryptHandles() {
    auto list = pal::host::OpenHandles();
    return std::count_if(list.begin(), list.end(), [](const std::string& d) { return d.rfind("crypt ", 0) == 0; });
}

class Crypt : public testing::Test {
protected:
    void SetUp() override {
        m_handlesBefore = CryptHandles();
        ASSERT_TRUE(CryptAcquireContextW(&m_prov, nullptr, nullptr, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT | CRYPT_SILENT | CRYPT_MACHINE_KEYSET));
    }
    void TearDown() override {
        pal::host::ClearFaults();
        EXPECT_TRUE(CryptReleaseContext(m_prov, 0));
        EXPECT_EQ(CryptHandles(), m_handlesBefore) << "leaked crypt handles";
    }

    // Hashes the pieces in order and returns the value as hex.
    std::string Digest(ALG_ID alg, const std::vector<std::string>& pieces) {
        HCRYPTHASH h = 0;
        if (!CryptCreateHash(m_prov, alg, 0, 0, &h)) return "create failed";
        for (const auto& p : pieces) {
            if (!CryptHashData(h, reinterpret_cast<const BYTE*>(p.data()), static_cast<DWORD>(p.size()), 0)) {
                CryptDestroyHash(h);
                return "hash failed";
            }
        }
        BYTE value[64];
        DWORD cb = sizeof(value);
        BOOL ok = CryptGetHashParam(h, HP_HASHVAL, value, &cb, 0);
        CryptDestroyHash(h);
        return ok ? Hex(value, cb) : "value failed";
    }

    HCRYPTPROV m_prov = 0;
    size_t m_handlesBefore = 0;
};

TEST_F(Crypt, KnownDigests) {
    EXPECT_EQ(Digest(CALG_MD5, {}), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest(CALG_MD5, {"abc"}), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest(CALG_MD5, {"a", "", "bc"}), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest(CALG_SHA1, {}), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Digest(CALG_SHA1, {"abc"}), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(Digest(CALG_SHA_256, {"abc"}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(Crypt, HashParamsAndBufferSizes) {
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA1, 0, 0, &h));
    DWORD v = 0, cb = sizeof(v);
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&v), &cb, 0));
    EXPECT_EQ(v, 20u);
    cb = sizeof(v);
    ASSERT_TRUE(CryptGetHashParam(h, HP_ALGID, reinterpret_cast<BYTE*>(&v), &cb, 0));
    EXPECT_EQ(v, CALG_SHA1);

    // Size query with a null buffer, then a buffer one byte short.
    cb = 0;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, nullptr, &cb, 0));
    EXPECT_EQ(cb, 20u);
    BYTE value[20] = {};
    cb = 19;
    SetLastError(0);
    EXPECT_FALSE(CryptGetHashParam(h, HP_HASHVAL, value, &cb, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(cb, 20u);
    // Neither query finished the hash.
    EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>("abc"), 3, 0));

    EXPECT_FALSE(CryptGetHashParam(h, HP_HASHVAL, value, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    cb = sizeof(value);
    EXPECT_FALSE(CryptGetHashParam(h, 0x77, value, &cb, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_TYPE);

    // Reading the value finishes the hash; the value can be read again.
    cb = sizeof(value);
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, value, &cb, 0));
    EXPECT_EQ(Hex(value, cb), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_FALSE(CryptHashData(h, reinterpret_cast<const BYTE*>("x"), 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH_STATE);
    BYTE again[20] = {};
    cb = sizeof(again);
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, again, &cb, 0));
    EXPECT_EQ(Hex(again, cb), Hex(value, 20));
    EXPECT_TRUE(CryptDestroyHash(h));
}

TEST_F(Crypt, MisuseErrorCodes) {
    HCRYPTHASH h = 0;
    EXPECT_FALSE(CryptCreateHash(m_prov, 0x1234, 0, 0, &h));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_ALGID);
    EXPECT_EQ(h, 0u);
    EXPECT_FALSE(CryptCreateHash(m_prov, CALG_MD5, 0, 1, &h));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptCreateHash(m_prov, CALG_MD5, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CryptCreateHash(0xdead, CALG_MD5, 0, 0, &h));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);

    // A provider handle is not a hash handle and the other way round.
    EXPECT_FALSE(CryptHashData(m_prov, reinterpret_cast<const BYTE*>("a"), 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
    ASSERT_TRUE(CryptCreateHash(m_prov, CALG_MD5, 0, 0, &h));
    EXPECT_FALSE(CryptReleaseContext(h, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
    EXPECT_FALSE(CryptHashData(h, nullptr, 5, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CryptHashData(h, nullptr, 0, 0));
    EXPECT_TRUE(CryptDestroyHash(h));
    EXPECT_FALSE(CryptDestroyHash(h));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
    EXPECT_FALSE(CryptGetHashParam(h, HP_HASHSIZE, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_HASH);
}

TEST_F(Crypt, AcquireContextRules) {
    HCRYPTPROV p = 1;
    EXPECT_FALSE(CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_KEYSET);
    EXPECT_EQ(p, 0u);
    EXPECT_FALSE(CryptAcquireContextW(&p, nullptr, nullptr, 999, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_PROV_TYPE_NOT_DEF);
    EXPECT_FALSE(CryptAcquireContextW(&p, nullptr, WSTR("Some Provider"), PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_KEYSET_NOT_DEF);
    EXPECT_FALSE(CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | 0x100));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_FALSE(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A context is a visible handle until released; releasing it twice fails.
    size_t before = CryptHandles();
    ASSERT_TRUE(CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(CryptHandles(), before + 1);
    EXPECT_FALSE(CryptReleaseContext(p, 1));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_FLAGS);
    EXPECT_TRUE(CryptReleaseContext(p, 0));
    EXPECT_EQ(CryptHandles(), before);
    EXPECT_FALSE(CryptReleaseContext(p, 0));
    EXPECT_EQ(GetLastError(), (DWORD)NTE_BAD_UID);
}

} // namespace

// MD5 and SHA-1 digests on CryptoAPI: a one-shot MD5 of a memory block and an
// output pipe that hashes everything written through it.
#pragma once
#include "palwin.h"

#include <exception>
#include <memory>

// Digest length of ComputeMD5.
constexpr DWORD MD5_DIGEST_SIZE = 16;

// MD5 of `size` bytes at `data` into the 16 bytes at `digest`. Returns
// `digest`, or null after logging the failing CryptoAPI call. Never throws.
BYTE* ComputeMD5(BYTE* digest, const void* data, DWORD size);

// The error a COHashPipe throws: an HRESULT, as a COM error would carry it.
class CHResultError : public std::exception {
public:
    explicit CHResultError(HRESULT hr) : m_hr(hr) {}
    HRESULT Error() const { return m_hr; }
    const char* what() const noexcept override { return "CryptoAPI error"; }

private:
    HRESULT m_hr;
};

// An output pipe: takes bytes and reports how many it accepted.
class COPipe {
public:
    virtual ~COPipe() = default;
    virtual DWORD Write(const void* buffer, DWORD size) = 0;
};

// Hashes every byte written through it and passes the bytes on to an optional
// further pipe first. Hashes one item: once the value has been read, further
// writes throw. Every CryptoAPI failure throws CHResultError.
class COHashPipe : public COPipe {
public:
    // Algorithm codes of the constructor.
    static constexpr DWORD ALG_MD5 = 1;
    static constexpr DWORD ALG_SHA1 = 2;
    // Capacity of the value buffer.
    static constexpr DWORD HASH_CAPACITY = 256;

    // Throws E_INVALIDARG for an unknown algorithm. With fOwnsNext the pipe
    // deletes pNext when it is destroyed (not when construction throws).
    COHashPipe(COPipe* pNext, DWORD algorithm, bool fOwnsNext = false);
    ~COHashPipe() override;
    COHashPipe(const COHashPipe&) = delete;
    COHashPipe& operator=(const COHashPipe&) = delete;

    // Returns size, or 0xFFFFFFFF (nothing hashed) when pNext accepts a
    // different count.
    DWORD Write(const void* buffer, DWORD size) override;
    // The value (16 bytes for MD5, 20 for SHA-1), read on first use.
    const BYTE* GetHash();
    DWORD GetHashSize();

private:
    void ReadHash();

    COPipe* m_pNext;
    std::unique_ptr<COPipe> m_pOwnedNext;  // m_pNext when the pipe owns it
    HCRYPTPROV m_hProv = 0;
    HCRYPTHASH m_hHash = 0;
    BYTE m_abHash[HASH_CAPACITY] = {};
    DWORD m_cbHash = 0;  // 0: not read since the last write
};

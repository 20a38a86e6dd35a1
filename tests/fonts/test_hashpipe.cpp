// ComputeMD5 and COHashPipe: digests, failure logging and error codes, the
// next pipe, and that no CryptoAPI handle outlives its user.
#include "support/TestMachine.h"

#include "diag/DbgLog.h"
#include "fonts/HashPipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Hex(const BYTE* pb, DWORD cb) {
    std::string s;
    for (DWORD i = 0; i < cb; ++i) s += {"0123456789abcdef"[pb[i] >> 4], "0123456789abcdef"[pb[i] & 15]};
    return s;
}

size_t CryptHandles() {
    auto list = pal::host::OpenHandles();
    return std::count_if(list.begin(), list.end(), [](const std::string& d) { return d.rfind("crypt ", 0) == 0; });
}

// Records what it is given and accepts at most `limit` bytes of each write.
class RecordingPipe : public COPipe {
public:
    explicit RecordingPipe(DWORD limit = 0xFFFFFFFF, bool* destroyed = nullptr)
        : m_limit(limit), m_destroyed(destroyed) {}
    ~RecordingPipe() override { if (m_destroyed) *m_destroyed = true; }
    DWORD Write(const void* buffer, DWORD size) override {
        const DWORD take = std::min(size, m_limit);
        data.append(static_cast<const char*>(buffer), take);
        return take;
    }
    std::string data;
    DWORD m_limit;
    bool* m_destroyed;
};

class HashPipe : public testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine("fonts", qltest::Attach::LogOnly);
        pal::host::TakeDebugOutput();
        m_handlesBefore = CryptHandles();
    }
    void TearDown() override {
        pal::host::ClearFaults();
        EXPECT_EQ(CryptHandles(), m_handlesBefore) << "leaked crypt handles";
    }
    static void Fail(const char* call, DWORD error) { pal::host::InjectFault({.call = call, .error = error, .once = true}); }
    static HRESULT ThrownBy(auto&& action) {
        try {
            action();
        } catch (const CHResultError& e) {
            return e.Error();
        }
        return S_OK;
    }
    size_t m_handlesBefore = 0;
};

TEST_F(HashPipe, ComputeMD5FailuresLogAndReleaseHandles) {
    const std::pair<const char*, const char16_t*> cases[] = {
        {"CryptAcquireContextW", u"CryptAcquireContext failed: 8"},
        {"CryptCreateHash", u"CryptCreateHash failed: 8"},
        {"CryptHashData", u"CryptHashData failed: 8"},
        {"CryptGetHashParam", u"CryptHashData failed: 8"},
    };
    for (const auto& [call, text] : cases) {
        SCOPED_TRACE(call);
        Fail(call, ERROR_NOT_ENOUGH_MEMORY);
        BYTE digest[16] = {};
        EXPECT_EQ(ComputeMD5(digest, "abc", 3), nullptr);
        auto lines = pal::host::TakeDebugOutput();
        EXPECT_TRUE(qltest::Contains(lines, text)) << qltest::Dump(lines);
        EXPECT_TRUE(qltest::Contains(lines, u"Addfonts")) << qltest::Dump(lines);
        EXPECT_EQ(CryptHandles(), m_handlesBefore);
    }
    // A range inside a larger block hashes only its own bytes into exactly 16 bytes.
    const char text[] = "xxThe quick brown fox jumps over the lazy dogyy";
    BYTE area[20];
    std::memset(area, 0xCC, sizeof(area));
    ASSERT_EQ(ComputeMD5(area + 2, text + 2, 43), area + 2);
    EXPECT_EQ(Hex(area, 20), "cccc9e107d9d372bb6826bd81d3542a419d6cccc");
}

TEST_F(HashPipe, NextPipeGetsDataFirstAndCanRefuse) {
    // A next pipe that takes fewer bytes: 0xFFFFFFFF, and the hash is as
    // if the write had not happened.
    RecordingPipe shortNext(2);
    COHashPipe pipe(&shortNext, COHashPipe::ALG_MD5);
    EXPECT_EQ(pipe.Write("a", 1), 1u);
    EXPECT_EQ(pipe.Write("xyz", 3), 0xFFFFFFFFu);
    EXPECT_EQ(pipe.Write("bc", 2), 2u);
    EXPECT_EQ(shortNext.data, "axybc");
    ASSERT_EQ(pipe.GetHashSize(), 16u);
    EXPECT_EQ(Hex(pipe.GetHash(), 16), "900150983cd24fb0d6963f7d28e17f72");

    // An owned next pipe is deleted with the hash pipe, a borrowed one is not.
    bool ownedGone = false, borrowedGone = false;
    RecordingPipe borrowed(0xFFFFFFFF, &borrowedGone);
    {
        COHashPipe owner(std::make_unique<RecordingPipe>(0xFFFFFFFF, &ownedGone).release(), COHashPipe::ALG_MD5, true);
        COHashPipe borrower(&borrowed, COHashPipe::ALG_MD5);
    }
    EXPECT_TRUE(ownedGone);
    EXPECT_FALSE(borrowedGone);
}

TEST_F(HashPipe, ErrorsAreThrownAsHResults) {
    EXPECT_EQ(ThrownBy([] { COHashPipe p(nullptr, 3); }), E_INVALIDARG);
    EXPECT_EQ(ThrownBy([] { COHashPipe p(nullptr, 0); }), E_INVALIDARG);

    // A Win32 code becomes 0x8007xxxx; an NTE code is thrown as it is.
    Fail("CryptAcquireContextW", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ThrownBy([] { COHashPipe p(nullptr, COHashPipe::ALG_MD5); }), (HRESULT)0x80070008);
    Fail("CryptCreateHash", NTE_BAD_ALGID);
    EXPECT_EQ(ThrownBy([] { COHashPipe p(nullptr, COHashPipe::ALG_SHA1); }), NTE_BAD_ALGID);
    EXPECT_EQ(CryptHandles(), m_handlesBefore);

    COHashPipe pipe(nullptr, COHashPipe::ALG_MD5);
    Fail("CryptHashData", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ThrownBy([&] { pipe.Write("a", 1); }), E_INVALIDARG);
    Fail("CryptGetHashParam", NTE_BAD_HASH);
    EXPECT_EQ(ThrownBy([&] { pipe.GetHash(); }), NTE_BAD_HASH);
    // The value is read once the failure is gone; after that the hash is
    // finished and more data is refused.
    EXPECT_EQ(Hex(pipe.GetHash(), pipe.GetHashSize()), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(ThrownBy([&] { pipe.Write("a", 1); }), NTE_BAD_HASH_STATE);
}

} // namespace

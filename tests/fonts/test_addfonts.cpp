// Font embedding: wildcard rules, the font key, the list modes, and the
// decisions AddFonts takes over a job's font requests on the machine's fonts
// (installed, temporary, substituted, excluded, malformed).
#include "support/TestMachine.h"

#include "fonts/AddFonts.h"
#include "printproc/Util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr char kSystemFont[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

TEST(FontRules, WildcardMatch) {
    struct Case {
        const char16_t* text;
        const char16_t* pattern;
        bool match;
    };
    const Case cases[] = {
        {u"arial", u"ar?al", true},          {u"arial black", u"ar?al", false},
        {u"times new roman", u"times*", true}, {u"times", u"times*", true},
        {u"x.tmp", u"*.tmp", true},          {u"x.tmp.ttf", u"*.tmp", false},
        {u"abcabd", u"*abd", true},          {u"aaab", u"*a*a*b", true},
        {u"aaaa", u"*a*a*b", false},         {u"", u"*", true},
        {u"", u"?", false},                  {u"b", u"[abc]", true},
        {u"d", u"[abc]", false},             {u"d", u"[^abc]", true},
        {u"a", u"[^abc]", false},            {u"m", u"[a-z]", true},
        {u"M", u"[a-z]", false},             {u"z", u"[m-]", true},
        {u"a", u"[m-]", false},              {u"a", u"[abc", false},
        {u"a*", u"a\\*", true},              {u"ab", u"a\\*", false},
        {u"a?", u"a\\?", true},              {u"f[1]", u"f\\[1]", true},
        {u"Arial", u"arial", false},         {u"dejavu sans", u"dejavu*", true},
        {u"x-y", u"x[\\-]y", true},          {u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac",
                                              u"*a*a*a*a*a*a*a*a*a*a*a*a*b", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.text, c.pattern) != FALSE, c.match) << pal::host::ToUtf8(c.pattern);
}

LOGFONTW Request(std::u16string_view face, LONG weight = FW_NORMAL, BYTE italic = 0) {
    LOGFONTW lf{};
    lf.lfHeight = -24;
    lf.lfWeight = weight;
    lf.lfItalic = italic;
    std::copy_n(face.begin(), std::min<size_t>(face.size(), LF_FACESIZE), lf.lfFaceName);
    return lf;
}

// An EMR_EXTCREATEFONTINDIRECTW record of nSize bytes around the request.
std::vector<BYTE> FontRecord(const LOGFONTW& lf, DWORD nSize = 368) {
    std::vector<BYTE> rec(std::max<DWORD>(nSize, EXTCREATEFONT_MIN_SIZE), 0);
    const DWORD head[] = {82, nSize, 1};
    std::memcpy(rec.data(), head, sizeof(head));
    std::memcpy(rec.data() + EXTCREATEFONT_LOGFONT_OFFSET, &lf, sizeof(lf));
    rec.resize(nSize);
    return rec;
}

TEST(FontRules, KeyAndListModes) {
    qltest::SetUpMachine("fonts", qltest::Attach::LogOnly);
    WCHAR key[FONT_KEY_CHARS];
    BuildFontKey(Request(u"Arial", 700, 1), key, FONT_KEY_CHARS);
    EXPECT_EQ(std::u16string(key), u"Arial,2bc,1");
    // A face name that fills its field without a terminator is cut at 31.
    BuildFontKey(Request(std::u16string(40, u'x'), 400), key, FONT_KEY_CHARS);
    EXPECT_EQ(std::u16string(key), std::u16string(31, u'x') + u",190,0");

    FONTENTRY* list = nullptr;
    const BYTE md5a[16] = {1, 2, 3}, md5b[16] = {9};
    ASSERT_TRUE(AddFontEntry(&list, u"Arial,190,0", md5a, 100, 1000));
    ASSERT_TRUE(AddFontEntry(&list, u"Gone,190,0", nullptr, 200, 0));
    ASSERT_NE(list->pNext, nullptr);
    EXPECT_EQ(list->pNext->dwPos, 200u);
    const BYTE zeros[16] = {};
    struct Case {
        DWORD mode;
        const char16_t* key;
        const BYTE* md5;
        bool found;
    };
    const Case cases[] = {
        {FONT_CHECK_NAME_AND_FACE, u"ARIAL,190,0", nullptr, true}, {FONT_CHECK_NAME_AND_FACE, u"Arial,2bc,0", md5a, false},
        {FONT_CHECK_MD5, u"Other", md5a, true},                    {FONT_CHECK_MD5, u"Arial,190,0", md5b, false},
        {FONT_CHECK_MD5, u"Arial,190,0", nullptr, false},          {FONT_CHECK_MD5, u"x", zeros, true},
        {3, u"Other", md5a, true},                                 {3, u"gone,190,0", md5b, true},
        {3, u"Other", md5b, false},
    };
    for (const Case& c : cases) EXPECT_EQ(FontInList(list, c.mode, c.key, c.md5) != FALSE, c.found) << c.mode;
    FreeFontList(&list);
    EXPECT_EQ(list, nullptr);
}

class AddFontsTest : public testing::Test {
protected:
    void SetUp() override {
        qltest::SetUpMachine("fonts", qltest::Attach::LogOnly);
        if (!std::filesystem::exists(kSystemFont)) GTEST_SKIP() << "fonts-dejavu-core not installed";
        const auto dir = qltest::MachineRoot() / "tempfonts";
        std::filesystem::create_directories(dir);
        std::ifstream in(kSystemFont, std::ios::binary);
        const std::string font((std::istreambuf_iterator<char>(in)), {});
        // The same file, one that differs only after the hashed head, one
        // that differs inside it, and a file that is no font.
        auto write = [&](const char* name, std::string bytes) {
            std::ofstream(dir / name, std::ios::binary) << bytes;
            return (dir / name).string();
        };
        std::string tail = font, head = font;
        tail[FONT_DIGEST_BYTES + 10] ^= 0x55;
        head[FONT_DIGEST_BYTES - 10] ^= 0x55;
        ASSERT_TRUE(pal::host::InstallTemporaryFont(write("same.ttf", font), u"Same.tmp"));
        ASSERT_TRUE(pal::host::InstallTemporaryFont(write("tail.ttf", tail), u"Tail.tmp"));
        ASSERT_TRUE(pal::host::InstallTemporaryFont(write("head.ttf", head), u"Head.tmp"));
        EXPECT_FALSE(pal::host::InstallTemporaryFont(write("junk.ttf", "not a font"), u"Junk.tmp"));
        m_fontSize = static_cast<DWORD>(font.size());
        pal::host::TakeDebugOutput();
    }
    void TearDown() override {
        pal::host::RemoveTemporaryFonts();
        FreeFontList(&m_job.Data()->pFontList);
        for (const std::string& h : pal::host::OpenHandles())
            EXPECT_TRUE(h.find("font") == std::string::npos && h.find("device context") == std::string::npos) << h;
    }
    qltest::HandJobRecord m_job{u"Fonts"};
    DWORD m_fontSize = 0;
};

TEST_F(AddFontsTest, OneDecisionPerRequest) {
    const char16_t patterns[] = u"DejaVu S?ns\0MISSING*\0xx*\0";
    PPRINTPROCESSORDATA data = m_job.Data();
    struct Case {
        LOGFONTW lf;
        DWORD nSize;
        const char16_t* patterns;
        int added;          // nodes appended; -1 for none
        DWORD cbLen;        // of the node appended
        const char16_t* line;  // a log line the request must produce
    };
    const DWORD embedded = ENGINE_FONT_HEADER_SIZE + m_fontSize;
    const Case cases[] = {
        {Request(u"DejaVu Sans"), 368, patterns, 1, embedded, u"GetFontData <DejaVu Sans> ok"},
        {Request(u"dejavu sans"), 368, patterns, 0, 0, u"(name is equal)"},
        {Request(u"DejaVu Sans", 700), 368, nullptr, 0, 0, u"no font list given for font <dejavu sans>"},
        {Request(u"Same.tmp"), 368, nullptr, 1, 0, u"under an diffrent face <Same.tmp,190,0>"},
        {Request(u"Tail.tmp"), 368, nullptr, 1, 0, u"no retransmission"},
        {Request(u"Head.tmp"), 368, nullptr, 1, embedded, u"added to LIST and SPOOLFILE <Head.tmp,190,0>"},
        {Request(u"Missing Face"), 368, patterns, 1, 0, u"installed font is not exactly the requested"},
        {Request(u"Missing Face"), 368, patterns, 0, 0, u"(name is equal)"},
        {Request(u"Junk.tmp"), 368, patterns, 1, 0, u"couldn't be read, but added to list (for no retry) <Junk.tmp"},
        {Request(u"Liberation Serif"), 368, patterns, 0, 0, u"IncludeThisFont: <liberation serif> don't match"},
        {Request(std::u16string(40, u'x')), 368, patterns, 1, 0, u"not exactly the requested"},
        {Request(u"DejaVu Serif"), EXTCREATEFONT_MIN_SIZE - 1, patterns, 0, 0, u"CreateFontIndirect failed err=13"},
    };
    DWORD pos = 1000;
    size_t nodes = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.lf.lfFaceName, c.lf.lfFaceName + 8));
        data->pIncludeFonts = c.patterns;
        data->dwRecordPos = ++pos;
        AddFonts(&data->pFontList, FontRecord(c.lf, c.nSize).data(), c.nSize, data);
        size_t count = 0;
        const FONTENTRY* last = nullptr;
        for (const FONTENTRY* p = data->pFontList; p; p = p->pNext, ++count) last = p;
        ASSERT_EQ(count, nodes + std::max(c.added, 0));
        nodes = count;
        if (c.added > 0) {
            EXPECT_EQ(last->cbLen, c.cbLen);
            EXPECT_EQ(last->dwPos, pos);
        }
        const auto lines = pal::host::TakeDebugOutput();
        EXPECT_TRUE(qltest::Contains(lines, c.line)) << qltest::Dump(lines);
    }
}

} // namespace

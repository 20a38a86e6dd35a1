// UTF-16 string functions and code-page conversions.
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WideCrt, CaseInsensitiveCompareFoldsAsciiAndLatin1) {
    EXPECT_EQ(_wcsicmp(u"QL Spool Bridge", u"ql spool BRIDGE"), 0);
    EXPECT_EQ(_wcsicmp(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);
    EXPECT_NE(_wcsicmp(u"\u00D7", u"\u00F7"), 0); // multiplication and division signs are not a case pair
    EXPECT_LT(_wcsicmp(u"abc", u"ABD"), 0);
    EXPECT_GT(_wcsicmp(u"abcd", u"ABC"), 0);
    EXPECT_EQ(_wcsnicmp(u"NT EMF 1.008", u"nt emf 1.003", 10), 0);
    EXPECT_NE(_wcsnicmp(u"NT EMF 1.008", u"nt emf 1.003", 12), 0);
    EXPECT_EQ(towlower(u'Z'), u'z');
}

TEST(WideCrt, Search) {
    const WCHAR* s = u"Printer, Job 17";
    EXPECT_EQ(wcschr(s, u','), s + 7);
    EXPECT_EQ(wcschr(s, u'\0'), s + 15);
    EXPECT_EQ(wcsrchr(s, u'J'), s + 9);
    EXPECT_EQ(wcsstr(s, u"Job"), s + 9);
    EXPECT_EQ(wcsstr(s, u"job"), nullptr);
    EXPECT_EQ(wcsstr(s, u""), s);
    EXPECT_EQ(wcsnlen(u"abcdef", 3), 3u);
}

TEST(Lstr, CopyNTruncatesAndTerminates) {
    WCHAR buf[5] = {u'x', u'x', u'x', u'x', u'x'};
    lstrcpynW(buf, u"abcdefgh", 4);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(lstrlenW(buf), 3);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(lstrcmpW(u"a", u"b"), -1);
    EXPECT_EQ(lstrcmpiW(u"RAW", u"raw"), 0);
    EXPECT_EQ(lstrcmpiW(u"b", u"A"), 1);
}

std::string Ansi(const std::u16string& in, bool* usedDefault = nullptr) {
    BOOL used = FALSE;
    int n = WideCharToMultiByte(CP_ACP, 0, in.c_str(), static_cast<int>(in.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, in.c_str(), static_cast<int>(in.size()), out.data(), n, nullptr, &used), n);
    if (usedDefault) *usedDefault = used != FALSE;
    return out;
}

TEST(CodePages, AnsiIsWindows1252) {
    bool used = true;
    EXPECT_EQ(Ansi(u"A\u00E9\u20AC\u2122", &used), "A\xE9\x80\x99");
    EXPECT_FALSE(used);
    EXPECT_EQ(Ansi(u"x\u4E2Dy", &used), "x?y");
    EXPECT_TRUE(used);
    EXPECT_EQ(Ansi(u"\U0001F600", &used), "?"); // a surrogate pair is one character
    EXPECT_TRUE(used);

    char narrow[4];
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u4E2D", 1, narrow, 4, "#", nullptr), 1);
    EXPECT_EQ(narrow[0], '#');
}

TEST(CodePages, Utf8RoundTripWithSurrogatePairs) {
    const std::u16string text = u"Gr\u00FC\u00DFe \u20AC \U0001F600";
    char buf[64];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buf, sizeof(buf), nullptr, nullptr);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(n, static_cast<int>(std::string(buf).size()) + 1); // -1 input counts the terminator
    EXPECT_EQ(pal::host::FromUtf8(pal::host::ToUtf8(text)), text);
}

TEST(CodePages, Utf8InvalidInput) {
    // Each byte of an overlong form or an encoded surrogate becomes U+FFFD, a
    // truncated sequence one U+FFFD.
    EXPECT_EQ(pal::host::FromUtf8("\xC0\xAF|\xED\xA0\x80|\xE2\x82"), u"\xFFFD\xFFFD|\xFFFD\xFFFD\xFFFD|\xFFFD");

    char narrow[8];
    const WCHAR lone[] = {u'a', 0xD800, u'b'};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 3, narrow, 8, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(narrow, 5), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    BOOL used;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"a", 1, narrow, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CodePages, BufferRules) {
    char small[3];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcd", -1, small, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcd", -1, nullptr, 0, nullptr, nullptr), 5);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"abcd", 0, small, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace

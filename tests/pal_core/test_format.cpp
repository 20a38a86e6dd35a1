// The UTF-16 printf: Windows meanings of the conversions and size prefixes,
// flags, width, precision and truncation, with the formats the log uses.
#include "palfmt.h"
#include "palhost.h"
#include "palwin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <class... Args>
std::string Fmt(const char16_t* format, Args... args) {
    WCHAR buf[512];
    size_t n = PalFormatW(buf, 512, format, args...);
    EXPECT_EQ(n, std::u16string(buf).size());
    return pal::host::ToUtf8(buf);
}

TEST(Format, StringWidthAndPrecision) {
    EXPECT_EQ(Fmt(u"%-10s|%5.3s|", u"left", u"abcdef"), "left      |  abc|");
    EXPECT_EQ(Fmt(u"%*s|%-*s|", 4, u"a", 3, u"b"), "   a|b  |");
    EXPECT_EQ(Fmt(u"%.*s", 2, u"xyz"), "xy");
    EXPECT_EQ(Fmt(u"%s", static_cast<const WCHAR*>(nullptr)), "(null)");
    EXPECT_EQ(Fmt(u"%S", static_cast<const char*>(nullptr)), "(null)");
    // The Windows runtime pads strings with zeros under the 0 flag.
    EXPECT_EQ(Fmt(u"%05s", u"ab"), "000ab");
}

TEST(Format, NarrowAndWideStringForms) {
    // %S and %hs take 8-bit Windows-1252 text; %s, %ws, %ls take UTF-16.
    EXPECT_EQ(Fmt(u"%S|%hs|%ws|%ls", "a\x80", "b\xE9", u"c", u"d"), "a\xE2\x82\xAC|b\xC3\xA9|c|d");
    EXPECT_EQ(Fmt(u"%C%hc%wc", 'x', '\x9C', u'\x263A'), "x\xC5\x93\xE2\x98\xBA");
    EXPECT_EQ(Fmt(u"%.2S", "abc"), "ab");
}

TEST(Format, IntegerSizesFollowLlp64) {
    // l is 32 bits: a DWORD passed for %lu reads exactly that argument, and
    // the next one is still in place.
    EXPECT_EQ(Fmt(u"%lu %d", static_cast<DWORD>(4000000000u), 7), "4000000000 7");
    EXPECT_EQ(Fmt(u"%ld", static_cast<LONG>(-5)), "-5");
    EXPECT_EQ(Fmt(u"%lld %I64u %I64x", -9000000000LL, 18446744073709551615ULL, 0x123456789ULL),
              "-9000000000 18446744073709551615 123456789");
    EXPECT_EQ(Fmt(u"%hd %hu", 70000, 70000), "4464 4464");
    EXPECT_EQ(Fmt(u"%Iu %zu", static_cast<size_t>(1) << 40, static_cast<size_t>(3)), "1099511627776 3");
    EXPECT_EQ(Fmt(u"%d %u %i", INT32_MIN, 0xFFFFFFFFu, -1), "-2147483648 4294967295 -1");
}

TEST(Format, IntegerFlags) {
    EXPECT_EQ(Fmt(u"[%5d][%-5d][%05d][%+d][% d]", 42, 42, -42, 42, 42), "[   42][42   ][-0042][+42][ 42]");
    EXPECT_EQ(Fmt(u"[%#x][%#X][%#o][%o]", 255u, 255u, 8u, 8u), "[0xff][0XFF][010][10]");
    EXPECT_EQ(Fmt(u"[%#x][%.0d][%5.3d]", 0u, 0, 7), "[0][][  007]");
    EXPECT_EQ(Fmt(u"[%08.3d]", 5), "[     005]"); // precision disables zero padding
    EXPECT_EQ(Fmt(u"[%#010x]", 0xabu), "[0x000000ab]");
    EXPECT_EQ(Fmt(u"[%*d]", -4, 1), "[1   ]"); // negative width means left-justified
}

TEST(Format, TruncatesAndAlwaysTerminates) {
    WCHAR buf[6];
    EXPECT_EQ(PalFormatW(buf, 6, u"%s-%d", u"abcdef", 12), 5u);
    EXPECT_EQ(std::u16string(buf), u"abcde");
    WCHAR one[1] = {u'x'};
    EXPECT_EQ(PalFormatW(one, 1, u"abc"), 0u);
    EXPECT_EQ(one[0], 0);
    // Width padding that would overflow is cut as well.
    EXPECT_EQ(PalFormatW(buf, 6, u"%20d", 1), 5u);
    EXPECT_EQ(std::u16string(buf), u"     ");
}

} // namespace

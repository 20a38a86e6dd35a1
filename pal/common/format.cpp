// UTF-16 printf with the meaning the Windows wide printf family gives its
// conversions, built on standard C++ only so the same code serves both builds.
#include "palfmt.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Char = PalWChar;

// Windows-1252 bytes 0x80..0x9F as UTF-16 (undefined bytes map to the C1
// control of the same value, like the system's conversion).
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

Char FromAnsi(char c) {
    auto b = static_cast<unsigned char>(c);
    return static_cast<Char>(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
}

// Output cursor that never writes past cap - 1 characters.
class Sink {
public:
    Sink(Char* buf, size_t cap) : m_buf(buf), m_cap(cap) {}
    void Put(Char c) {
        if (m_len + 1 < m_cap) m_buf[m_len++] = c;
        else m_full = true;
    }
    void Repeat(Char c, size_t n) {
        for (size_t i = 0; i < n && !m_full; ++i) Put(c);
    }
    bool Full() const { return m_full; }
    size_t Finish() {
        m_buf[m_len] = 0;
        return m_len;
    }

private:
    Char* m_buf;
    size_t m_cap;
    size_t m_len = 0;
    bool m_full = false;
};

enum class Size { Default, Char8, Short, Long, LongLong, Pointer, Wide, LongDouble };

struct Conversion {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
};

// Pads `body` (already converted) to the field width. `prefix` (sign, 0x)
// stays in front of zero padding.
void Emit(Sink& out, const Conversion& field, const std::u16string& prefix, const std::u16string& body, bool zeroPad) {
    size_t len = prefix.size() + body.size();
    size_t pad = field.width > 0 && static_cast<size_t>(field.width) > len ? field.width - len : 0;
    if (!field.left && !zeroPad) out.Repeat(u' ', pad);
    for (char16_t c : prefix) out.Put(static_cast<Char>(c));
    if (!field.left && zeroPad) out.Repeat(u'0', pad);
    for (char16_t c : body) out.Put(static_cast<Char>(c));
    if (field.left) out.Repeat(u' ', pad);
}

void EmitInteger(Sink& out, const Conversion& field, char conv, uint64_t magnitude, bool negative) {
    unsigned base = conv == 'o' ? 8 : ((conv == 'x' || conv == 'X') ? 16 : 10);
    const char* digitSet = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    // Digits are produced backwards into a fixed buffer, then turned around.
    char16_t rev[24];
    size_t count = 0;
    for (uint64_t v = magnitude; v; v /= base) rev[count++] = static_cast<char16_t>(digitSet[v % base]);
    size_t minDigits = field.precision >= 0 ? static_cast<size_t>(field.precision) : 1;
    const bool octalZero = field.alt && base == 8 && (magnitude != 0 || minDigits == 0) && count >= minDigits;
    std::u16string digits;
    digits.reserve(std::max(count, minDigits) + 1);
    if (octalZero) digits += u'0';
    if (count < minDigits) digits.append(minDigits - count, u'0');
    for (size_t i = count; i > 0; --i) digits += rev[i - 1];
    std::u16string prefix;
    if (conv == 'd' || conv == 'i') {
        if (negative) prefix = u"-";
        else if (field.plus) prefix = u"+";
        else if (field.space) prefix = u" ";
    } else if (field.alt && magnitude != 0 && base == 16) {
        prefix = conv == 'X' ? u"0X" : u"0x";
    }
    Emit(out, field, prefix, digits, field.zero && !field.left && field.precision < 0);
}

void EmitString(Sink& out, const Conversion& field, std::u16string body) {
    if (field.precision >= 0 && body.size() > static_cast<size_t>(field.precision)) body.resize(field.precision);
    // The Windows runtime pads strings with zeros when the 0 flag is given.
    Emit(out, field, u"", body, field.zero && !field.left);
}

std::u16string WideBody(const Char* s, int precision) {
    if (!s) return u"(null)";
    std::u16string r;
    for (size_t i = 0; s[i] && (precision < 0 || i < static_cast<size_t>(precision)); ++i)
        r += static_cast<char16_t>(s[i]);
    return r;
}

std::u16string NarrowBody(const char* s, int precision) {
    if (!s) return u"(null)";
    std::u16string r;
    for (size_t i = 0; s[i] && (precision < 0 || i < static_cast<size_t>(precision)); ++i)
        r += static_cast<char16_t>(FromAnsi(s[i]));
    return r;
}

void EmitDouble(Sink& out, const Conversion& field, char conv, double value) {
    std::string fmt = "%";
    if (field.left) fmt += '-';
    if (field.plus) fmt += '+';
    if (field.space) fmt += ' ';
    if (field.alt) fmt += '#';
    if (field.zero) fmt += '0';
    if (field.width > 0) fmt += std::to_string(field.width);
    if (field.precision >= 0) fmt += '.' + std::to_string(field.precision);
    fmt += conv;
    char small[128];
    int n = std::snprintf(small, sizeof(small), fmt.c_str(), value);
    if (n < 0) return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof(small)) {
        text.assign(small, n);
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        std::snprintf(text.data(), text.size(), fmt.c_str(), value);
        text.resize(n);
    }
    for (char c : text) out.Put(static_cast<Char>(static_cast<unsigned char>(c)));
}

bool IsDigit(Char c) { return c >= '0' && c <= '9'; }

} // namespace

size_t PalFormatVW(PalWChar* buf, size_t cch, const PalWChar* format, va_list args) {
    if (!buf || cch == 0) return 0;
    Sink out(buf, cch);
    if (!format) return out.Finish();

    va_list ap;
    va_copy(ap, args);
    const Char* p = format;
    while (*p && !out.Full()) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        Conversion field;
        for (;; ++p) {
            if (*p == '-') field.left = true;
            else if (*p == '+') field.plus = true;
            else if (*p == ' ') field.space = true;
            else if (*p == '#') field.alt = true;
            else if (*p == '0') field.zero = true;
            else break;
        }
        if (*p == '*') {
            int w = va_arg(ap, int);
            if (w < 0) {
                field.left = true;
                w = w == INT32_MIN ? 0 : -w;
            }
            field.width = w;
            ++p;
        } else {
            for (; IsDigit(*p); ++p) field.width = (field.width < 0 ? 0 : field.width) * 10 % 100000000 + (*p - '0');
        }
        if (*p == '.') {
            ++p;
            field.precision = 0;
            if (*p == '*') {
                int pr = va_arg(ap, int);
                field.precision = pr < 0 ? -1 : pr;
                ++p;
            } else {
                for (; IsDigit(*p); ++p) field.precision = field.precision * 10 % 100000000 + (*p - '0');
            }
        }
        switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') ++p, field.size = Size::Char8;
            else field.size = Size::Short;
            break;
        case 'l':
            ++p;
            if (*p == 'l') ++p, field.size = Size::LongLong;
            else field.size = Size::Long;
            break;
        case 'w':
            ++p;
            field.size = Size::Wide;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') p += 3, field.size = Size::LongLong;
            else if (p[1] == '3' && p[2] == '2') p += 3, field.size = Size::Long;
            else ++p, field.size = Size::Pointer;
            break;
        case 'z':
        case 't':
            ++p;
            field.size = Size::Pointer;
            break;
        case 'j':
            ++p;
            field.size = Size::LongLong;
            break;
        case 'L':
            ++p;
            field.size = Size::LongDouble;
            break;
        default:
            break;
        }

        const Char conv = *p;
        if (!conv) break;
        ++p;
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v;
            switch (field.size) {
            case Size::LongLong: v = va_arg(ap, long long); break;
            case Size::Pointer: v = va_arg(ap, intptr_t); break;
            case Size::Short: v = static_cast<short>(va_arg(ap, int)); break;
            case Size::Char8: v = static_cast<signed char>(va_arg(ap, int)); break;
            default: v = va_arg(ap, int); break;
            }
            uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            EmitInteger(out, field, static_cast<char>(conv), mag, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v;
            switch (field.size) {
            case Size::LongLong: v = va_arg(ap, unsigned long long); break;
            case Size::Pointer: v = va_arg(ap, uintptr_t); break;
            case Size::Short: v = static_cast<unsigned short>(va_arg(ap, unsigned int)); break;
            case Size::Char8: v = static_cast<unsigned char>(va_arg(ap, unsigned int)); break;
            default: v = va_arg(ap, unsigned int); break;
            }
            EmitInteger(out, field, static_cast<char>(conv), v, false);
            break;
        }
        case 'p': {
            auto v = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
            Conversion ps = field;
            ps.precision = static_cast<int>(2 * sizeof(void*));
            EmitInteger(out, ps, 'X', v, false);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(ap, int);
            bool narrow = field.size == Size::Short || field.size == Size::Char8 ||
                          (conv == 'C' && field.size != Size::Long && field.size != Size::Wide);
            std::u16string body(1, narrow ? static_cast<char16_t>(FromAnsi(static_cast<char>(v)))
                                          : static_cast<char16_t>(static_cast<Char>(v)));
            Conversion cs = field;
            cs.precision = -1;
            EmitString(out, cs, body);
            break;
        }
        case 's':
        case 'S': {
            bool narrow = field.size == Size::Short || field.size == Size::Char8 ||
                          (conv == 'S' && field.size != Size::Long && field.size != Size::Wide);
            if (narrow) EmitString(out, field, NarrowBody(va_arg(ap, const char*), field.precision));
            else EmitString(out, field, WideBody(va_arg(ap, const Char*), field.precision));
            break;
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            EmitDouble(out, field, static_cast<char>(conv), va_arg(ap, double));
            break;
        case 'n':
            // Disabled by the Windows runtime; the argument is consumed, nothing stored.
            (void)va_arg(ap, void*);
            break;
        default:
            // "%%" and unknown conversions print the character itself.
            out.Put(conv);
            break;
        }
    }
    va_end(ap);
    return out.Finish();
}

size_t PalFormatW(PalWChar* buf, size_t cch, const PalWChar* format, ...) {
    va_list args;
    va_start(args, format);
    size_t n = PalFormatVW(buf, cch, format, args);
    va_end(args);
    return n;
}

// .reg text files: the loader that merges one into the hive, and the exporter
// that writes the whole hive back in a form the loader reads again unchanged.
//
// A file is parsed completely into a list of changes first; only a file
// without errors touches the hive, and then all at once.
#include "registry_store.h"

#include "palhost.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>

namespace pal::reg {
namespace {

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
    while (!s.empty() && (IsBlank(s.back()) || s.back() == u'\r')) s.remove_suffix(1);
    return s;
}

std::u16string_view Trim(std::u16string_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// Decodes the file's bytes: UTF-16LE with a byte order mark, otherwise UTF-8
// with or without one.
bool DecodeText(const std::string& bytes, std::u16string* text) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2) return false;
        text->clear();
        text->reserve(bytes.size() / 2 - 1);
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        return true;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        *text = pal::host::FromUtf8(bytes.substr(3));
    else
        *text = pal::host::FromUtf8(bytes);
    return true;
}

void AppendUtf16(std::vector<uint8_t>& out, std::u16string_view s, bool terminate) {
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) {
        out.push_back(0);
        out.push_back(0);
    }
}

class Parser {
public:
    Parser(std::u16string_view text, std::string source) : m_source(std::move(source)) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string_view::npos) end = text.size();
            m_lines.emplace_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool Parse(std::vector<Change>* changes, std::string* error) {
        m_changes = changes;
        if (!ParseHeader()) return Report(error);
        while (m_next < m_lines.size()) {
            size_t lineNo = m_next + 1;
            std::u16string_view line = Trim(m_lines[m_next++]);
            if (line.empty() || line.front() == u';') continue;
            bool ok = line.front() == u'[' ? ParseKey(line, lineNo) : ParseValue(line, lineNo);
            if (!ok) return Report(error);
        }
        return true;
    }

private:
    bool Fail(size_t lineNo, const std::string& what) {
        m_error = m_source + ":" + std::to_string(lineNo) + ": " + what;
        return false;
    }

    bool Report(std::string* error) {
        if (error) *error = m_error;
        return false;
    }

    bool ParseHeader() {
        while (m_next < m_lines.size()) {
            size_t lineNo = m_next + 1;
            std::u16string_view line = Trim(m_lines[m_next++]);
            if (line.empty()) continue;
            if (line == kHeader5) return true;
            if (line == kHeader4) {
                m_version4 = true;
                return true;
            }
            return Fail(lineNo, "missing header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
        }
        return Fail(m_lines.size(), "missing header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }

    bool ParseKey(std::u16string_view line, size_t lineNo) {
        if (line.back() != u']') return Fail(lineNo, "key line without closing \"]\"");
        std::u16string_view body = line.substr(1, line.size() - 2);
        bool remove = !body.empty() && body.front() == u'-';
        if (remove) body.remove_prefix(1);
        size_t sep = body.find(u'\\');
        std::u16string_view rootName = body.substr(0, sep);
        HKEY root = RootFromName(rootName);
        if (!root) return Fail(lineNo, "unknown root key \"" + pal::host::ToUtf8(std::u16string(rootName)) + "\"");
        std::u16string path;
        if (sep != std::u16string_view::npos) {
            // Normalise the path: no empty components.
            std::u16string_view rest = body.substr(sep + 1);
            size_t start = 0;
            while (start <= rest.size()) {
                size_t end = rest.find(u'\\', start);
                if (end == std::u16string_view::npos) end = rest.size();
                if (end > start) {
                    if (!path.empty()) path += u'\\';
                    path += rest.substr(start, end - start);
                }
                start = end + 1;
            }
        }
        if (remove) {
            if (path.empty()) return Fail(lineNo, "a root key cannot be deleted");
            m_changes->push_back(Change{Change::Kind::DeleteKey, root, path, {}});
            m_haveKey = false;
            return true;
        }
        m_root = root;
        m_path = path;
        m_haveKey = true;
        m_changes->push_back(Change{Change::Kind::CreateKey, root, path, {}});
        return true;
    }

    // Reads a quoted string starting at s[pos] == '"'; pos ends after the
    // closing quote.
    bool ParseQuoted(std::u16string_view s, size_t& pos, std::u16string* out, size_t lineNo) {
        ++pos;
        out->clear();
        while (pos < s.size()) {
            char16_t c = s[pos++];
            if (c == u'"') return true;
            if (c == u'\\') {
                if (pos >= s.size()) break;
                char16_t e = s[pos++];
                if (e != u'\\' && e != u'"') return Fail(lineNo, "unknown escape sequence in a string");
                out->push_back(e);
                continue;
            }
            out->push_back(c);
        }
        return Fail(lineNo, "string without closing quote");
    }

    bool ParseValue(std::u16string_view line, size_t lineNo) {
        Value value;
        size_t pos = 0;
        if (line.front() == u'@') {
            pos = 1;
        } else if (line.front() == u'"') {
            if (!ParseQuoted(line, pos, &value.name, lineNo)) return false;
        } else {
            return Fail(lineNo, "unexpected text; expected a key \"[...]\" or a value \"name\"=...");
        }
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != u'=') return Fail(lineNo, "expected \"=\" after the value name");
        ++pos;
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
        if (!m_haveKey) return Fail(lineNo, "value outside of a key");
        std::u16string_view data = line.substr(pos);
        if (data.empty()) return Fail(lineNo, "missing value data");

        if (data == u"-") {
            m_changes->push_back(Change{Change::Kind::DeleteValue, m_root, m_path, std::move(value)});
            return true;
        }
        if (data.front() == u'"') {
            std::u16string text;
            size_t p = 0;
            if (!ParseQuoted(data, p, &text, lineNo)) return false;
            if (!Trim(data.substr(p)).empty()) return Fail(lineNo, "unexpected text after the string");
            value.type = REG_SZ;
            AppendUtf16(value.data, text, true);
        } else if (StartsWithNoCase(data, u"dword:")) {
            std::u16string_view digits = Trim(data.substr(6));
            if (digits.empty() || digits.size() > 8) return Fail(lineNo, "invalid dword value");
            uint32_t n = 0;
            for (char16_t c : digits) {
                int d = HexDigit(c);
                if (d < 0) return Fail(lineNo, "invalid dword value");
                n = (n << 4) | static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
        } else if (StartsWithNoCase(data, u"hex")) {
            if (!ParseHex(data, lineNo, &value)) return false;
        } else {
            return Fail(lineNo, "unknown value data (expected \"string\", dword:, hex: or -)");
        }
        m_changes->push_back(Change{Change::Kind::SetValue, m_root, m_path, std::move(value)});
        return true;
    }

    // hex:..., hex(N):...; the byte list may continue on following lines
    // when a line ends in a backslash.
    bool ParseHex(std::u16string_view data, size_t lineNo, Value* value) {
        size_t pos = 3;
        DWORD type = REG_BINARY;
        if (pos < data.size() && data[pos] == u'(') {
            size_t close = data.find(u')', pos);
            if (close == std::u16string_view::npos || close == pos + 1 || close - pos - 1 > 8)
                return Fail(lineNo, "invalid hex type");
            type = 0;
            for (size_t i = pos + 1; i < close; ++i) {
                int d = HexDigit(data[i]);
                if (d < 0) return Fail(lineNo, "invalid hex type");
                type = (type << 4) | static_cast<DWORD>(d);
            }
            pos = close + 1;
        }
        if (pos >= data.size() || data[pos] != u':') return Fail(lineNo, "expected \":\" after hex");
        std::u16string bytes(TrimRight(data.substr(pos + 1)));
        while (!bytes.empty() && bytes.back() == u'\\') {
            bytes.pop_back();
            if (m_next >= m_lines.size()) return Fail(lineNo, "continuation line missing at end of file");
            bytes += Trim(m_lines[m_next++]);
        }
        std::vector<uint8_t> out;
        std::u16string_view rest = bytes;
        while (true) {
            rest = TrimLeft(rest);
            if (rest.empty()) break;
            size_t comma = rest.find(u',');
            std::u16string_view item = TrimRight(rest.substr(0, comma));
            if (item.empty() || item.size() > 2) return Fail(lineNo, "invalid hex byte");
            int v = 0;
            for (char16_t c : item) {
                int d = HexDigit(c);
                if (d < 0) return Fail(lineNo, "invalid hex byte");
                v = v * 16 + d;
            }
            out.push_back(static_cast<uint8_t>(v));
            if (comma == std::u16string_view::npos) break;
            rest = rest.substr(comma + 1);
        }
        // REGEDIT4 files hold string types as 8-bit text.
        if (m_version4 && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)) {
            std::vector<uint8_t> wide;
            wide.reserve(out.size() * 2);
            for (uint8_t b : out) {
                wide.push_back(b);
                wide.push_back(0);
            }
            out = std::move(wide);
        }
        value->type = type;
        value->data = std::move(out);
        return true;
    }

    std::string m_source;
    std::vector<std::u16string_view> m_lines;
    size_t m_next = 0;
    std::vector<Change>* m_changes = nullptr;
    std::string m_error;
    bool m_version4 = false;
    bool m_haveKey = false;
    HKEY m_root = nullptr;
    std::u16string m_path;
};

std::string Escape(const std::u16string& s) {
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return pal::host::ToUtf8(out);
}

// A REG_SZ value that can be written as "text": terminated once at its end,
// no other NUL, no line break.
bool PrintableString(const Value& v) {
    if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2) return false;
    size_t n = v.data.size() / 2;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
        bool last = i + 1 == n;
        if (last != (c == 0)) return false;
        if (c == u'\r' || c == u'\n') return false;
    }
    return true;
}

void WriteValue(std::string& out, const Value& v) {
    std::string line = v.name.empty() ? "@=" : "\"" + Escape(v.name) + "\"=";
    if (PrintableString(v)) {
        out += line + "\"" + Escape(ValueText(v)) + "\"\n";
        return;
    }
    char buf[32];
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", n);
        out += line + buf + "\n";
        return;
    }
    if (v.type == REG_BINARY)
        line += "hex:";
    else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        line += buf;
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
        line += buf;
        if (i + 1 < v.data.size()) {
            line += ',';
            if (line.size() >= 76) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + "\n";
}

} // namespace
} // namespace pal::reg

namespace pal::host {

bool LoadRegistryText(const std::string& text, const std::string& sourceName, std::string* error) {
    try {
        std::u16string decoded;
        if (!pal::reg::DecodeText(text, &decoded)) {
            if (error) *error = sourceName + ":1: UTF-16 text with an odd number of bytes";
            return false;
        }
        std::vector<pal::reg::Change> changes;
        pal::reg::Parser parser(decoded, sourceName);
        if (!parser.Parse(&changes, error)) return false;
        pal::reg::ApplyChanges(changes);
        return true;
    } catch (const std::bad_alloc&) {
        if (error) *error = sourceName + ": out of memory";
        return false;
    }
}

bool LoadRegistryFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot open the file";
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        if (error) *error = path + ": cannot read the file";
        return false;
    }
    return LoadRegistryText(bytes, path, error);
}

std::string ExportRegistry() {
    std::string out = "Windows Registry Editor Version 5.00\n\n";
    for (const auto& key : pal::reg::Snapshot()) {
        // The predefined keys always exist; they appear only to carry values.
        if (key.path.empty() && key.values.empty()) continue;
        std::u16string name = pal::reg::RootName(key.root);
        if (!key.path.empty()) name += u'\\' + key.path;
        out += "[" + ToUtf8(name) + "]\n";
        for (const auto& v : key.values) pal::reg::WriteValue(out, v);
        out += "\n";
    }
    return out;
}

} // namespace pal::host

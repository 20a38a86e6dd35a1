// INI files: GetPrivateProfileStringW over a file under the drive root. The
// file is read whole on every call (as Windows does without its cache) and
// parsed line by line: "[section]", "key=value", and ";" comment lines;
// lines before the first section and lines without "=" are skipped.
#include "core.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace pal {
namespace {

// Larger files are read up to this many bytes.
constexpr size_t kMaxProfileBytes = 16u << 20;

std::optional<std::string> ReadProfileBytes(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    char buf[16384];
    while (bytes.size() < kMaxProfileBytes) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) bytes.clear();
            break;
        }
        bytes.append(buf, static_cast<size_t>(std::min<size_t>(static_cast<size_t>(n), kMaxProfileBytes - bytes.size())));
    }
    ::close(fd);
    return bytes;
}

std::u16string DecodeProfile(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF && static_cast<uint8_t>(bytes[1]) == 0xFE) {
        std::u16string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
        return text;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToUtf16(std::string_view(bytes).substr(3));
    return AnsiToUtf16(bytes);
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r'; }

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldUpper(a[i]) != FoldUpper(b[i])) return false;
    return true;
}

struct Entry {
    std::u16string_view key, value;
};
struct Section {
    std::u16string_view name;
    std::vector<Entry> entries;
};

std::vector<Section> ParseProfile(std::u16string_view text) {
    std::vector<Section> sections;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string_view::npos) end = text.size();
        const std::u16string_view line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == u';') continue;
        if (line.front() == u'[') {
            const size_t close = line.find(u']');
            sections.push_back({Trim(line.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos
                                                                                        : close - 1)),
                                {}});
            continue;
        }
        const size_t eq = line.find(u'=');
        if (sections.empty() || eq == std::u16string_view::npos) continue;
        std::u16string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == value.back() && (value.front() == u'"' || value.front() == u'\''))
            value = value.substr(1, value.size() - 2);
        sections.back().entries.push_back({Trim(line.substr(0, eq)), value});
    }
    return sections;
}

// Copies one value, truncated to the buffer; returns the characters copied.
DWORD CopyValue(std::u16string_view value, WCHAR* buf, DWORD nSize) {
    const size_t n = std::min<size_t>(value.size(), nSize - 1);
    for (size_t i = 0; i < n; ++i) buf[i] = value[i];
    buf[n] = 0;
    return static_cast<DWORD>(n);
}

// Copies a list of names, each NUL-terminated, plus a final NUL. A list that
// does not fit is cut and still ends in two NULs; the result is nSize - 2.
DWORD CopyList(const std::vector<std::u16string_view>& names, WCHAR* buf, DWORD nSize) {
    if (nSize < 2) {
        buf[0] = 0;
        return 0;
    }
    size_t pos = 0;
    for (auto name : names) {
        for (char16_t c : name) {
            if (pos + 2 >= nSize) {
                buf[nSize - 2] = 0;
                buf[nSize - 1] = 0;
                return nSize - 2;
            }
            buf[pos++] = c;
        }
        if (pos + 2 >= nSize) {
            buf[nSize - 2] = 0;
            buf[nSize - 1] = 0;
            return nSize - 2;
        }
        buf[pos++] = 0;
    }
    buf[pos] = 0;
    return static_cast<DWORD>(pos);
}

} // namespace
} // namespace pal

PAL_API DWORD GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                       LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
    return pal::Guard<DWORD>(0, [&]() -> DWORD {
        if (!lpReturnedString || !lpFileName) return pal::FailWith<DWORD>(ERROR_INVALID_PARAMETER, 0);
        if (nSize == 0) return 0;
        std::u16string fileName(pal::WView(lpFileName));
        if (fileName.find_first_of(u"\\/:") == std::u16string::npos) fileName = u"C:\\Windows\\" + fileName;

        std::u16string_view def = pal::WView(lpDefault);
        while (!def.empty() && def.back() == u' ') def.remove_suffix(1);

        const auto bytes = pal::ReadProfileBytes(pal::HostPath(fileName));
        const std::u16string text = bytes ? pal::DecodeProfile(*bytes) : std::u16string();
        const auto sections = pal::ParseProfile(text);

        if (!lpAppName) {
            std::vector<std::u16string_view> names;
            for (const auto& s : sections) names.push_back(s.name);
            SetLastError(bytes ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
            return pal::CopyList(names, lpReturnedString, nSize);
        }
        const pal::Section* section = nullptr;
        for (const auto& s : sections)
            if (pal::SameName(s.name, pal::WView(lpAppName))) {
                section = &s;
                break;
            }
        if (section && !lpKeyName) {
            std::vector<std::u16string_view> keys;
            for (const auto& e : section->entries) keys.push_back(e.key);
            SetLastError(ERROR_SUCCESS);
            return pal::CopyList(keys, lpReturnedString, nSize);
        }
        if (section) {
            for (const auto& e : section->entries)
                if (pal::SameName(e.key, pal::WView(lpKeyName))) {
                    SetLastError(ERROR_SUCCESS);
                    return pal::CopyValue(e.value, lpReturnedString, nSize);
                }
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
        return pal::CopyValue(def, lpReturnedString, nSize);
    });
}

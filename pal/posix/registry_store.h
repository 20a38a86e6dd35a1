// The in-memory registry hive (internal). The Reg* calls, the .reg loader and
// exporter and the simulated spooler all go through these functions, which
// take the one hive lock for each call.
#pragma once
#include "pal/types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pal::reg {

// Key and value names compare case-insensitively and keep their case.
std::u16string Fold(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

struct Value {
    std::u16string name; // "" = the default value
    DWORD type = 0;
    std::vector<uint8_t> data;
};

// The text of a string value: its UTF-16 code units up to the first NUL (an
// odd trailing byte is ignored).
std::u16string ValueText(const Value& v);

// "HKEY_LOCAL_MACHINE" etc. for a predefined key, null for anything else.
const char16_t* RootName(HKEY root);
// Predefined key for a root name or its abbreviation ("HKLM"), null if none.
HKEY RootFromName(std::u16string_view name);

// Reads. `path` is relative to the predefined key `root`, backslash-separated.
std::optional<Value> QueryValue(HKEY root, std::u16string_view path, std::u16string_view name);
// Subkey names in their stored case, sorted case-insensitively; nullopt when
// the key does not exist.
std::optional<std::vector<std::u16string>> SubkeyNames(HKEY root, std::u16string_view path);
bool KeyExists(HKEY root, std::u16string_view path);

// One change read from a .reg file. A file's changes are applied together.
struct Change {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    HKEY root = nullptr;
    std::u16string path;
    Value value; // SetValue: the value; DeleteValue: its name
};
void ApplyChanges(const std::vector<Change>& changes);

// Every key of the hive, depth first, subkeys sorted case-insensitively,
// values in insertion order.
struct KeySnapshot {
    HKEY root = nullptr;
    std::u16string path; // "" for the predefined key itself
    std::vector<Value> values;
};
std::vector<KeySnapshot> Snapshot();

void Clear();

} // namespace pal::reg

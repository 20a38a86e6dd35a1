// Registry of the Linux build: one in-memory hive per process with four
// predefined roots, and the Reg* calls with their Win32 return codes. Opened
// keys are handle-table objects, so a test sees every key left open.
#include "registry_store.h"

#include "core.h"
#include "faults.h"
#include "handles.h"
#include "security_internal.h"
#include "palhost.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

namespace pal::reg {
namespace {

struct Key {
    std::u16string name;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys; // by folded name
    std::vector<Value> values;                                // insertion order
    bool deleted = false;

    Value* FindValue(std::u16string_view valueName) {
        for (auto& v : values)
            if (EqualsNoCase(v.name, valueName)) return &v;
        return nullptr;
    }
};

constexpr size_t kRootCount = 4;

struct Hive {
    std::mutex lock;
    std::shared_ptr<Key> roots[kRootCount];
    Hive() { Reset(); }
    void Reset() {
        for (auto& r : roots) {
            if (r) MarkDeleted(*r);
            r = std::make_shared<Key>();
        }
    }
    static void MarkDeleted(Key& k) {
        k.deleted = true;
        for (auto& [folded, sub] : k.subkeys) MarkDeleted(*sub);
    }
};

Hive& hive() {
    // Lives until the process ends, so a key closed from a late destructor
    // never meets a destroyed hive.
    static Hive* h = std::make_unique<Hive>().release();
    return *h;
}

const char16_t* const kRootNames[kRootCount] = {u"HKEY_CLASSES_ROOT", u"HKEY_CURRENT_USER", u"HKEY_LOCAL_MACHINE",
                                                u"HKEY_USERS"};
const char16_t* const kRootShort[kRootCount] = {u"HKCR", u"HKCU", u"HKLM", u"HKU"};
// The predefined keys are the sign-extended values 0x80000000..0x80000003, in
// the order of kRootNames.
constexpr uint64_t kRootBase = 0xFFFFFFFF80000000ull;

int RootIndex(HKEY h) {
    const uint64_t v = reinterpret_cast<uintptr_t>(h);
    return v >= kRootBase && v < kRootBase + kRootCount ? static_cast<int>(v - kRootBase) : -1;
}

HKEY RootKey(size_t i) { return reinterpret_cast<HKEY>(static_cast<uintptr_t>(kRootBase + i)); }

std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Follows path below key; null when a component is missing. Hive lock held.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> key, std::u16string_view path) {
    for (auto part : SplitPath(path)) {
        auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end()) return nullptr;
        key = it->second;
    }
    return key;
}

// Follows path below key, creating what is missing. Hive lock held.
std::shared_ptr<Key> WalkCreate(std::shared_ptr<Key> key, std::u16string_view path, bool* created) {
    if (created) *created = false;
    for (auto part : SplitPath(path)) {
        auto folded = Fold(part);
        auto it = key->subkeys.find(folded);
        if (it == key->subkeys.end()) {
            auto sub = std::make_shared<Key>();
            sub->name = std::u16string(part);
            it = key->subkeys.emplace(std::move(folded), std::move(sub)).first;
            if (created) *created = true;
        }
        key = it->second;
    }
    return key;
}

void SetValueLocked(Key& key, const Value& value) {
    if (Value* v = key.FindValue(value.name)) {
        v->type = value.type;
        v->data = value.data;
    } else {
        key.values.push_back(value);
    }
}

bool DeleteValueLocked(Key& key, std::u16string_view name) {
    auto it = std::find_if(key.values.begin(), key.values.end(),
                           [&](const Value& v) { return EqualsNoCase(v.name, name); });
    if (it == key.values.end()) return false;
    key.values.erase(it);
    return true;
}

// Removes the key at path (and everything below it) from its parent.
void DeleteTreeLocked(const std::shared_ptr<Key>& root, std::u16string_view path) {
    auto parts = SplitPath(path);
    if (parts.empty()) return;
    std::shared_ptr<Key> parent = root;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = parent->subkeys.find(Fold(parts[i]));
        if (it == parent->subkeys.end()) return;
        parent = it->second;
    }
    auto it = parent->subkeys.find(Fold(parts.back()));
    if (it == parent->subkeys.end()) return;
    Hive::MarkDeleted(*it->second);
    parent->subkeys.erase(it);
}

// An opened key. The description is fixed at open time so that listing the
// handle table never needs the hive lock.
class KeyHandle : public Object {
public:
    KeyHandle(std::shared_ptr<Key> key, std::u16string fullPath) : key(std::move(key)), fullPath(std::move(fullPath)) {}
    std::string Describe() const override { return "registry key " + pal::host::ToUtf8(fullPath); }
    std::shared_ptr<Key> key;
    std::u16string fullPath;
};

struct Resolved {
    std::shared_ptr<Key> key;
    std::u16string fullPath;
    LONG error = ERROR_SUCCESS;
};

// The key behind a predefined key or an open handle. Hive lock held.
Resolved ResolveLocked(HKEY h) {
    Resolved r;
    int root = RootIndex(h);
    if (root >= 0) {
        r.key = hive().roots[root];
        r.fullPath = kRootNames[root];
        return r;
    }
    auto handle = LookupHandle<KeyHandle>(h);
    if (!handle) {
        r.error = ERROR_INVALID_HANDLE;
        return r;
    }
    if (handle->key->deleted) {
        r.error = ERROR_KEY_DELETED;
        return r;
    }
    r.key = handle->key;
    r.fullPath = handle->fullPath;
    return r;
}

// Below HKEY_LOCAL_MACHINE only the machine's own accounts may create keys
// or set values: a thread impersonating a user is refused, as ordinary users
// are on Windows.
bool UserDeniedLocked(const Resolved& r) {
    const auto account = pal::security::ThreadImpersonation();
    return account && !account->system && std::u16string_view(r.fullPath).starts_with(kRootNames[2]);
}

std::u16string JoinPath(const std::u16string& base, std::u16string_view sub) {
    std::u16string out = base;
    for (auto part : SplitPath(sub)) {
        out += u'\\';
        out += part;
    }
    return out;
}

// Hands a value's data to a caller the way RegQueryValueExW does.
LONG CopyData(const Value& v, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    if (type) *type = v.type;
    const DWORD size = static_cast<DWORD>(v.data.size());
    if (!data) {
        if (cbData) *cbData = size;
        return ERROR_SUCCESS;
    }
    if (!cbData) return ERROR_INVALID_PARAMETER;
    if (*cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(data, v.data.data(), size);
    *cbData = size;
    return ERROR_SUCCESS;
}

template <class F>
LONG Guarded(F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

std::u16string Fold(std::u16string_view s) {
    std::u16string out(s);
    for (auto& c : out) c = pal::FoldUpper(c);
    return out;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (pal::FoldUpper(a[i]) != pal::FoldUpper(b[i])) return false;
    return true;
}

std::u16string ValueText(const Value& v) {
    std::u16string s;
    for (size_t i = 0; i + 1 < v.data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8));
        if (!c) break;
        s += c;
    }
    return s;
}

const char16_t* RootName(HKEY root) {
    int i = RootIndex(root);
    return i < 0 ? nullptr : kRootNames[i];
}

HKEY RootFromName(std::u16string_view name) {
    for (size_t i = 0; i < kRootCount; ++i)
        if (EqualsNoCase(name, kRootNames[i]) || EqualsNoCase(name, kRootShort[i])) return RootKey(i);
    return nullptr;
}

std::optional<Value> QueryValue(HKEY root, std::u16string_view path, std::u16string_view name) {
    int i = RootIndex(root);
    if (i < 0) return std::nullopt;
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    auto key = Walk(h.roots[i], path);
    if (!key) return std::nullopt;
    if (Value* v = key->FindValue(name)) return *v;
    return std::nullopt;
}

std::optional<std::vector<std::u16string>> SubkeyNames(HKEY root, std::u16string_view path) {
    int i = RootIndex(root);
    if (i < 0) return std::nullopt;
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    auto key = Walk(h.roots[i], path);
    if (!key) return std::nullopt;
    std::vector<std::u16string> names;
    names.reserve(key->subkeys.size());
    for (const auto& [folded, sub] : key->subkeys) names.push_back(sub->name);
    return names;
}

bool KeyExists(HKEY root, std::u16string_view path) {
    int i = RootIndex(root);
    if (i < 0) return false;
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    return Walk(h.roots[i], path) != nullptr;
}

void ApplyChanges(const std::vector<Change>& changes) {
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    for (const auto& c : changes) {
        int i = RootIndex(c.root);
        if (i < 0) continue;
        switch (c.kind) {
        case Change::Kind::CreateKey:
            WalkCreate(h.roots[i], c.path, nullptr);
            break;
        case Change::Kind::DeleteKey:
            DeleteTreeLocked(h.roots[i], c.path);
            break;
        case Change::Kind::SetValue:
            SetValueLocked(*WalkCreate(h.roots[i], c.path, nullptr), c.value);
            break;
        case Change::Kind::DeleteValue:
            if (auto key = Walk(h.roots[i], c.path)) DeleteValueLocked(*key, c.value.name);
            break;
        }
    }
}

std::vector<KeySnapshot> Snapshot() {
    std::vector<KeySnapshot> out;
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    struct Walker {
        std::vector<KeySnapshot>& out;
        void Visit(HKEY root, const std::u16string& path, const Key& key) {
            out.push_back(KeySnapshot{root, path, key.values});
            for (const auto& [folded, sub] : key.subkeys)
                Visit(root, path.empty() ? sub->name : path + u'\\' + sub->name, *sub);
        }
    } walker{out};
    for (size_t i = 0; i < kRootCount; ++i) walker.Visit(RootKey(i), u"", *h.roots[i]);
    return out;
}

void Clear() {
    Hive& h = hive();
    std::lock_guard<std::mutex> g(h.lock);
    h.Reset();
}

} // namespace pal::reg

namespace pal::host {

void ClearRegistry() { pal::reg::Clear(); }

} // namespace pal::host

using namespace pal::reg;

PAL_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM /*samDesired*/,
                           PHKEY phkResult) {
    return Guarded([&]() -> LONG {
        if (!phkResult) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        std::u16string_view sub = lpSubKey ? std::u16string_view(lpSubKey) : std::u16string_view();
        auto key = Walk(r.key, sub);
        if (!key) return ERROR_FILE_NOT_FOUND;
        *phkResult = static_cast<HKEY>(
            pal::RegisterHandle(std::make_shared<KeyHandle>(std::move(key), JoinPath(r.fullPath, sub))));
        return ERROR_SUCCESS;
    });
}

PAL_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/, LPWSTR /*lpClass*/,
                             DWORD /*dwOptions*/, REGSAM /*samDesired*/,
                             LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                             LPDWORD lpdwDisposition) {
    return Guarded([&]() -> LONG {
        if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
        *phkResult = nullptr;
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        if (UserDeniedLocked(r)) return ERROR_ACCESS_DENIED;
        bool created = false;
        auto key = WalkCreate(r.key, lpSubKey, &created);
        pal::security::AddIdentityRecord("RegCreateKeyExW", JoinPath(r.fullPath, lpSubKey));
        if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        *phkResult = static_cast<HKEY>(
            pal::RegisterHandle(std::make_shared<KeyHandle>(std::move(key), JoinPath(r.fullPath, lpSubKey))));
        return ERROR_SUCCESS;
    });
}

PAL_API LONG RegCreateKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
    if (auto f = pal::faults::Check("RegCreateKeyW"); f.fail) return static_cast<LONG>(f.error);
    return RegCreateKeyExW(hKey, lpSubKey ? lpSubKey : u"", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, phkResult, nullptr);
}

PAL_API LONG RegCloseKey(HKEY hKey) {
    return Guarded([&]() -> LONG {
        if (RootIndex(hKey) >= 0) return ERROR_SUCCESS;
        return pal::RemoveHandleOf<KeyHandle>(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    });
}

PAL_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                              LPDWORD lpcbData) {
    return Guarded([&]() -> LONG {
        if (lpReserved) return ERROR_INVALID_PARAMETER;
        if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        Value* v = r.key->FindValue(lpValueName ? std::u16string_view(lpValueName) : std::u16string_view());
        if (!v) return ERROR_FILE_NOT_FOUND;
        return CopyData(*v, lpType, lpData, lpcbData);
    });
}

PAL_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                            DWORD cbData) {
    return Guarded([&]() -> LONG {
        if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        if (UserDeniedLocked(r)) return ERROR_ACCESS_DENIED;
        Value v;
        v.name = lpValueName ? lpValueName : u"";
        v.type = dwType;
        if (cbData) v.data.assign(lpData, lpData + cbData);
        SetValueLocked(*r.key, v);
        return ERROR_SUCCESS;
    });
}

PAL_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    return Guarded([&]() -> LONG {
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        return DeleteValueLocked(*r.key, lpValueName ? std::u16string_view(lpValueName) : std::u16string_view())
                   ? ERROR_SUCCESS
                   : ERROR_FILE_NOT_FOUND;
    });
}

PAL_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    return Guarded([&]() -> LONG {
        if (!lpSubKey || SplitPath(lpSubKey).empty()) return ERROR_INVALID_PARAMETER;
        Hive& h = hive();
        std::lock_guard<std::mutex> g(h.lock);
        Resolved r = ResolveLocked(hKey);
        if (r.error) return r.error;
        auto key = Walk(r.key, lpSubKey);
        if (!key) return ERROR_FILE_NOT_FOUND;
        // As on Windows, only a key without subkeys can be deleted this way.
        if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;
        DeleteTreeLocked(r.key, lpSubKey);
        return ERROR_SUCCESS;
    });
}

// The simulated failover cluster: clusapi's cluster, group and resource calls
// over the description in HKLM\Cluster (layout in pal/include/pal/cluster.h),
// and the one resutils property-list look-up the product uses.
#include "core.h"
#include "faults.h"
#include "handles.h"
#include "registry_store.h"

#include "palwin.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace pal::cluster {
namespace {

constexpr char16_t kClusterKey[] = u"Cluster";
constexpr char16_t kGroupsKey[] = u"Cluster\\Groups";

// One property-list entry header: syntax word and data byte count.
struct PropEntry {
    DWORD Syntax;
    DWORD cbLength;
};
static_assert(sizeof(PropEntry) == 8);
static_assert(offsetof(PropEntry, Syntax) == 0);
static_assert(offsetof(PropEntry, cbLength) == 4);

std::u16string GroupKey(std::u16string_view group) {
    std::u16string path(kGroupsKey);
    path += u'\\';
    path += group;
    return path;
}

std::u16string ResourceKey(std::u16string_view group, std::u16string_view resource) {
    std::u16string path = GroupKey(group);
    path += u"\\Resources\\";
    path += resource;
    return path;
}

// The stored case of a subkey name matched without regard to case.
bool FindSubkey(std::u16string_view parent, std::u16string_view name, std::u16string& found) {
    auto names = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, parent);
    if (!names) return false;
    for (const auto& n : *names) {
        if (pal::reg::EqualsNoCase(n, name)) {
            found = n;
            return true;
        }
    }
    return false;
}

bool ClusterConfigured() {
    auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, kClusterKey, u"ClusterName");
    return v && (v->type == REG_SZ || v->type == REG_EXPAND_SZ) && !pal::reg::ValueText(*v).empty();
}

class ClusterObject : public Object {
public:
    std::string Describe() const override { return "cluster"; }
};

// A snapshot of names taken when the enumeration was opened.
class NameEnumObject : public Object {
public:
    NameEnumObject(const char* what, DWORD type, std::vector<std::u16string> names)
        : what(what), type(type), names(std::move(names)) {}
    std::string Describe() const override { return what; }
    const char* const what;
    const DWORD type;
    const std::vector<std::u16string> names;
};

class ClusterEnumObject : public NameEnumObject {
public:
    using NameEnumObject::NameEnumObject;
};
class GroupEnumObject : public NameEnumObject {
public:
    using NameEnumObject::NameEnumObject;
};

class GroupObject : public Object {
public:
    explicit GroupObject(std::u16string name) : name(std::move(name)) {}
    std::string Describe() const override { return "cluster group " + Utf16ToUtf8(name); }
    const std::u16string name;
};

class ResourceObject : public Object {
public:
    ResourceObject(std::u16string group, std::u16string name) : group(std::move(group)), name(std::move(name)) {}
    std::string Describe() const override { return "cluster resource " + Utf16ToUtf8(name); }
    const std::u16string group;
    const std::u16string name;
};

template <class H>
H ToHandle(std::shared_ptr<Object> obj) {
    return static_cast<H>(RegisterHandle(std::move(obj)));
}

template <class T, class H>
std::shared_ptr<T> Lookup(H h) {
    return LookupHandle<T>(static_cast<HANDLE>(h));
}

template <class T, class H>
bool Close(H h) {
    return RemoveHandleOf<T>(static_cast<HANDLE>(h)) != nullptr;
}

DWORD EnumName(const NameEnumObject& e, DWORD index, LPDWORD lpdwType, LPWSTR lpszName, LPDWORD lpcchName) {
    if (!lpcchName) return ERROR_INVALID_PARAMETER;
    if (index >= e.names.size()) return ERROR_NO_MORE_ITEMS;
    const std::u16string& name = e.names[index];
    if (lpdwType) *lpdwType = e.type;
    const DWORD cch = *lpcchName;
    *lpcchName = static_cast<DWORD>(name.size());
    if (!lpszName || cch <= name.size()) return ERROR_MORE_DATA;
    std::memcpy(lpszName, name.data(), name.size() * sizeof(WCHAR));
    lpszName[name.size()] = 0;
    return ERROR_SUCCESS;
}

// ---- property lists --------------------------------------------------------------------------

void AppendEntry(std::vector<uint8_t>& out, DWORD syntax, const void* data, size_t cb) {
    PropEntry head{syntax, static_cast<DWORD>(cb)};
    const uint8_t* h = reinterpret_cast<const uint8_t*>(&head);
    out.insert(out.end(), h, h + sizeof head);
    const uint8_t* d = static_cast<const uint8_t*>(data);
    if (cb) out.insert(out.end(), d, d + cb);
    out.resize(out.size() + (ALIGN_CLUSPROP(cb) - cb), 0);
}

std::vector<uint8_t> StringBytes(std::u16string_view s) {
    std::vector<uint8_t> b((s.size() + 1) * sizeof(char16_t), 0);
    if (!s.empty()) std::memcpy(b.data(), s.data(), s.size() * sizeof(char16_t));
    return b;
}

// The private properties of a resource from its Parameters key.
std::vector<uint8_t> PrivateProperties(const std::u16string& resourceKey) {
    std::vector<uint8_t> list(sizeof(DWORD), 0);
    DWORD count = 0;
    for (const auto& snap : pal::reg::Snapshot()) {
        if (snap.root != HKEY_LOCAL_MACHINE || !pal::reg::EqualsNoCase(snap.path, resourceKey + u"\\Parameters"))
            continue;
        for (const auto& v : snap.values) {
            DWORD syntax = 0;
            std::vector<uint8_t> data;
            switch (v.type) {
            case REG_SZ:
            case REG_EXPAND_SZ:
                syntax = v.type == REG_SZ ? CLUSPROP_SYNTAX_LIST_VALUE_SZ : CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ;
                data = StringBytes(pal::reg::ValueText(v));
                break;
            case REG_DWORD:
                if (v.data.size() != sizeof(DWORD)) continue;
                syntax = CLUSPROP_SYNTAX_LIST_VALUE_DWORD;
                data = v.data;
                break;
            case REG_MULTI_SZ:
                syntax = CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ;
                data = v.data;
                break;
            case REG_BINARY:
                syntax = CLUSPROP_SYNTAX_LIST_VALUE_BINARY;
                data = v.data;
                break;
            default: continue;
            }
            const auto name = StringBytes(v.name);
            AppendEntry(list, CLUSPROP_SYNTAX_NAME, name.data(), name.size());
            AppendEntry(list, syntax, data.data(), data.size());
            AppendEntry(list, CLUSPROP_SYNTAX_ENDMARK, nullptr, 0);
            ++count;
        }
        break;
    }
    std::memcpy(list.data(), &count, sizeof count);
    return list;
}

// Reads one entry header at `pos`; false when header or padded data run past
// the end.
bool ReadEntry(const uint8_t* list, size_t cb, size_t pos, PropEntry& e, size_t& next) {
    if (pos > cb || cb - pos < sizeof(PropEntry)) return false;
    std::memcpy(&e, list + pos, sizeof e);
    const size_t padded = ALIGN_CLUSPROP(static_cast<size_t>(e.cbLength));
    if (cb - pos - sizeof(PropEntry) < padded) return false;
    next = pos + sizeof(PropEntry) + padded;
    return true;
}

// The UTF-16 text of an entry's data, up to its first NUL; false when the data
// holds no NUL.
bool EntryText(const uint8_t* data, DWORD cbLength, std::u16string& text) {
    const size_t cch = cbLength / sizeof(char16_t);
    text.clear();
    for (size_t i = 0; i < cch; ++i) {
        char16_t c;
        std::memcpy(&c, data + i * sizeof c, sizeof c);
        if (c == 0) return true;
        text.push_back(c);
    }
    return false;
}

} // namespace
} // namespace pal::cluster

using namespace pal::cluster;
using pal::FailWith;
using pal::Guard;

PAL_API HCLUSTER OpenCluster(LPCWSTR lpszClusterName) {
    return Guard<HCLUSTER>(nullptr, [&]() -> HCLUSTER {
        if (auto f = pal::faults::Check("OpenCluster"); f.fail) return FailWith(f.error, HCLUSTER(nullptr));
        if (!ClusterConfigured()) return FailWith(RPC_S_SERVER_UNAVAILABLE, HCLUSTER(nullptr));
        if (lpszClusterName && *lpszClusterName) {
            auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, kClusterKey, u"ClusterName");
            if (!pal::reg::EqualsNoCase(pal::reg::ValueText(*v), pal::WView(lpszClusterName)))
                return FailWith(RPC_S_SERVER_UNAVAILABLE, HCLUSTER(nullptr));
        }
        return ToHandle<HCLUSTER>(std::make_shared<ClusterObject>());
    });
}

PAL_API BOOL CloseCluster(HCLUSTER hCluster) {
    if (!Close<ClusterObject>(hCluster)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

PAL_API HCLUSENUM ClusterOpenEnum(HCLUSTER hCluster, DWORD dwType) {
    return Guard<HCLUSENUM>(nullptr, [&]() -> HCLUSENUM {
        if (!Lookup<ClusterObject>(hCluster)) return FailWith(ERROR_INVALID_HANDLE, HCLUSENUM(nullptr));
        if (auto f = pal::faults::Check("ClusterOpenEnum"); f.fail) return FailWith(f.error, HCLUSENUM(nullptr));
        std::vector<std::u16string> names;
        if (dwType & CLUSTER_ENUM_GROUP) {
            if (auto groups = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, kGroupsKey)) names = std::move(*groups);
        }
        return ToHandle<HCLUSENUM>(std::make_shared<ClusterEnumObject>("cluster enum", DWORD(CLUSTER_ENUM_GROUP),
                                                                       std::move(names)));
    });
}

PAL_API DWORD ClusterEnum(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName, LPDWORD lpcchName) {
    return Guard<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        auto e = Lookup<ClusterEnumObject>(hEnum);
        if (!e) return ERROR_INVALID_HANDLE;
        return EnumName(*e, dwIndex, lpdwType, lpszName, lpcchName);
    });
}

PAL_API DWORD ClusterCloseEnum(HCLUSENUM hEnum) {
    return Close<ClusterEnumObject>(hEnum) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

PAL_API HGROUP OpenClusterGroup(HCLUSTER hCluster, LPCWSTR lpszGroupName) {
    return Guard<HGROUP>(nullptr, [&]() -> HGROUP {
        if (!Lookup<ClusterObject>(hCluster)) return FailWith(ERROR_INVALID_HANDLE, HGROUP(nullptr));
        if (!lpszGroupName) return FailWith(ERROR_INVALID_PARAMETER, HGROUP(nullptr));
        if (auto f = pal::faults::Check("OpenClusterGroup"); f.fail) return FailWith(f.error, HGROUP(nullptr));
        std::u16string stored;
        if (!FindSubkey(kGroupsKey, pal::WView(lpszGroupName), stored))
            return FailWith(ERROR_GROUP_NOT_FOUND, HGROUP(nullptr));
        return ToHandle<HGROUP>(std::make_shared<GroupObject>(std::move(stored)));
    });
}

PAL_API BOOL CloseClusterGroup(HGROUP hGroup) {
    if (!Close<GroupObject>(hGroup)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

PAL_API HGROUPENUM ClusterGroupOpenEnum(HGROUP hGroup, DWORD dwType) {
    return Guard<HGROUPENUM>(nullptr, [&]() -> HGROUPENUM {
        auto g = Lookup<GroupObject>(hGroup);
        if (!g) return FailWith(ERROR_INVALID_HANDLE, HGROUPENUM(nullptr));
        if (auto f = pal::faults::Check("ClusterGroupOpenEnum"); f.fail) return FailWith(f.error, HGROUPENUM(nullptr));
        if (!pal::reg::KeyExists(HKEY_LOCAL_MACHINE, GroupKey(g->name)))
            return FailWith(ERROR_GROUP_NOT_FOUND, HGROUPENUM(nullptr));
        std::vector<std::u16string> names;
        if (dwType & CLUSTER_GROUP_ENUM_CONTAINS) {
            if (auto res = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, GroupKey(g->name) + u"\\Resources"))
                names = std::move(*res);
        }
        return ToHandle<HGROUPENUM>(std::make_shared<GroupEnumObject>(
            "cluster group enum", DWORD(CLUSTER_GROUP_ENUM_CONTAINS), std::move(names)));
    });
}

PAL_API DWORD ClusterGroupEnum(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszResourceName,
                               LPDWORD lpcchName) {
    return Guard<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        auto e = Lookup<GroupEnumObject>(hGroupEnum);
        if (!e) return ERROR_INVALID_HANDLE;
        return EnumName(*e, dwIndex, lpdwType, lpszResourceName, lpcchName);
    });
}

PAL_API DWORD ClusterGroupCloseEnum(HGROUPENUM hGroupEnum) {
    return Close<GroupEnumObject>(hGroupEnum) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

PAL_API HRESOURCE OpenClusterResource(HCLUSTER hCluster, LPCWSTR lpszResourceName) {
    return Guard<HRESOURCE>(nullptr, [&]() -> HRESOURCE {
        if (!Lookup<ClusterObject>(hCluster)) return FailWith(ERROR_INVALID_HANDLE, HRESOURCE(nullptr));
        if (!lpszResourceName) return FailWith(ERROR_INVALID_PARAMETER, HRESOURCE(nullptr));
        if (auto f = pal::faults::Check("OpenClusterResource"); f.fail) return FailWith(f.error, HRESOURCE(nullptr));
        auto groups = pal::reg::SubkeyNames(HKEY_LOCAL_MACHINE, kGroupsKey);
        if (groups) {
            for (const auto& group : *groups) {
                std::u16string stored;
                if (FindSubkey(GroupKey(group) + u"\\Resources", pal::WView(lpszResourceName), stored))
                    return ToHandle<HRESOURCE>(std::make_shared<ResourceObject>(group, std::move(stored)));
            }
        }
        return FailWith(ERROR_RESOURCE_NOT_FOUND, HRESOURCE(nullptr));
    });
}

PAL_API BOOL CloseClusterResource(HRESOURCE hResource) {
    if (!Close<ResourceObject>(hResource)) return FailWith(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

PAL_API DWORD ClusterResourceControl(HRESOURCE hResource, HNODE /*hHostNode*/, DWORD dwControlCode,
                                     LPVOID /*lpInBuffer*/, DWORD /*cbInBufferSize*/, LPVOID lpOutBuffer,
                                     DWORD cbOutBufferSize, LPDWORD lpcbBytesReturned) {
    return Guard<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        if (lpcbBytesReturned) *lpcbBytesReturned = 0;
        auto r = Lookup<ResourceObject>(hResource);
        if (!r) return ERROR_INVALID_HANDLE;
        if (auto f = pal::faults::Check("ClusterResourceControl"); f.fail) return f.error;
        const std::u16string key = ResourceKey(r->group, r->name);
        if (!pal::reg::KeyExists(HKEY_LOCAL_MACHINE, key)) return ERROR_RESOURCE_NOT_FOUND;

        std::vector<uint8_t> answer;
        switch (dwControlCode) {
        case CLUSCTL_RESOURCE_GET_NETWORK_NAME: {
            auto v = pal::reg::QueryValue(HKEY_LOCAL_MACHINE, key, u"NetworkName");
            if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return ERROR_INVALID_FUNCTION;
            const std::u16string name = pal::reg::ValueText(*v);
            if (name.empty()) return ERROR_INVALID_FUNCTION;
            answer = StringBytes(name);
            break;
        }
        case CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES:
            answer = PrivateProperties(key);
            break;
        default: return ERROR_INVALID_FUNCTION;
        }
        const DWORD cb = static_cast<DWORD>(answer.size());
        if (lpcbBytesReturned) *lpcbBytesReturned = cb;
        // No buffer at all is the size query, which succeeds.
        if (!lpOutBuffer) return ERROR_SUCCESS;
        if (cbOutBufferSize < cb) return ERROR_MORE_DATA;
        std::memcpy(lpOutBuffer, answer.data(), cb);
        return ERROR_SUCCESS;
    });
}

PAL_API DWORD ResUtilFindExpandSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                          LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue) {
    return Guard<DWORD>(ERROR_NOT_ENOUGH_MEMORY, [&]() -> DWORD {
        if (!pPropertyList || !pszPropertyName) return ERROR_INVALID_PARAMETER;
        const auto* list = static_cast<const uint8_t*>(pPropertyList);
        const size_t cb = cbPropertyListSize;
        if (cb < sizeof(DWORD)) return ERROR_INVALID_DATA;
        DWORD count = 0;
        std::memcpy(&count, list, sizeof count);
        size_t pos = sizeof(DWORD);
        const std::u16string_view wanted = pal::WView(pszPropertyName);
        for (DWORD i = 0; i < count; ++i) {
            PropEntry e{};
            size_t next = 0;
            if (!ReadEntry(list, cb, pos, e, next) || e.Syntax != CLUSPROP_SYNTAX_NAME) return ERROR_INVALID_DATA;
            std::u16string name;
            if (!EntryText(list + pos + sizeof(PropEntry), e.cbLength, name)) return ERROR_INVALID_DATA;
            pos = next;
            // The value entries of this property, up to its end mark.
            bool first = true;
            PropEntry value{};
            size_t valuePos = 0;
            for (;;) {
                if (!ReadEntry(list, cb, pos, e, next)) return ERROR_INVALID_DATA;
                if (e.Syntax == CLUSPROP_SYNTAX_ENDMARK) {
                    pos = next;
                    break;
                }
                if (first) {
                    value = e;
                    valuePos = pos;
                    first = false;
                }
                pos = next;
            }
            if (!pal::reg::EqualsNoCase(name, wanted)) continue;
            if (first || value.Syntax != CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ) return ERROR_INVALID_DATA;
            std::u16string text;
            if (!EntryText(list + valuePos + sizeof(PropEntry), value.cbLength, text)) return ERROR_INVALID_DATA;
            if (pszPropertyValue) {
                auto* copy = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, (text.size() + 1) * sizeof(WCHAR)));
                if (!copy) return ERROR_NOT_ENOUGH_MEMORY;
                if (!text.empty()) std::memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
                copy[text.size()] = 0;
                *pszPropertyValue = copy;
            }
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

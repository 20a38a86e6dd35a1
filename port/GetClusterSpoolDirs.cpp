#define QL_MODULE WSTR("GetClusterSpoolDirs")
#include "port/GetClusterSpoolDirs.h"

#include "diag/DbgLog.h"
#include "printproc/Util.h"

#include <atomic>
#include <cstring>
#include <mutex>

ClusterSpoolDirs g_ClusterSpoolDirs = {};

namespace {

// Serialises the filling of a table: two jobs that open at the same moment
// neither run the discovery into the same table twice nor read it half-built.
std::mutex g_fillLock;

// Characters of the group and resource name buffers.
constexpr DWORD kNameCch = 128;

// The dirs list is published last (release) and read first (acquire), so a
// reader that sees it also sees the names and both sizes.
LPWSTR LoadDirs(const ClusterSpoolDirs* pDirs) {
    return std::atomic_ref<LPWSTR>(const_cast<LPWSTR&>(pDirs->dirs)).load(std::memory_order_acquire);
}

void StoreDirs(ClusterSpoolDirs* pDirs, LPWSTR dirs) {
    std::atomic_ref<LPWSTR>(pDirs->dirs).store(dirs, std::memory_order_release);
}

// A copy of the multi-string pList (cbList bytes, both terminators included;
// null for none) with psz appended. Null when memory runs out.
LPWSTR AppendedMultiSz(LPCWSTR pList, SIZE_T cbList, LPCWSTR psz, SIZE_T* pcbNew) {
    const SIZE_T cbKeep = pList && cbList >= sizeof(WCHAR) ? cbList - sizeof(WCHAR) : 0;  // without the final terminator
    const SIZE_T cbString = (wcslen(psz) + 1) * sizeof(WCHAR);
    const SIZE_T cbNew = cbKeep + cbString + sizeof(WCHAR);
    LPWSTR pNew = static_cast<LPWSTR>(MemAlloc(cbNew));
    if (!CHECK(pNew)) return nullptr;
    if (cbKeep) std::memcpy(pNew, pList, cbKeep);
    std::memcpy(reinterpret_cast<BYTE*>(pNew) + cbKeep, psz, cbString);
    // The zero-filled allocation supplies the list's final terminator.
    *pcbNew = cbNew;
    return pNew;
}

// Adds one name/directory pair; both lists grow together or not at all.
void AppendPair(ClusterSpoolDirs* pFound, LPCWSTR pszName, LPCWSTR pszDir) {
    SIZE_T cbNames = 0, cbDirs = 0;
    LPWSTR pNames = AppendedMultiSz(pFound->names, pFound->cbNames, pszName, &cbNames);
    LPWSTR pDirs = AppendedMultiSz(pFound->dirs, pFound->cbDirs, pszDir, &cbDirs);
    if (!pNames || !pDirs) {
        if (pNames) MemFreeT(&pNames);
        if (pDirs) MemFreeT(&pDirs);
        return;
    }
    if (pFound->names) MemFreeT(&pFound->names);
    if (pFound->dirs) MemFreeT(&pFound->dirs);
    pFound->names = pNames;
    pFound->cbNames = cbNames;
    pFound->dirs = pDirs;
    pFound->cbDirs = cbDirs;
}

// What the resources of one group told about it; a later resource replaces
// an earlier value.
struct GroupFinds {
    LPWSTR pszNetworkName;
    LPWSTR pszSpoolDir;
};

void Replace(LPWSTR* ppsz, LPWSTR pszNew) {
    if (*ppsz) MemFreeT(ppsz);
    *ppsz = pszNew;
}

// Asks a resource for one control code: a size query, then the answer into
// an allocated buffer. The buffer has four zero bytes after the answer, so a
// string answer is terminated even when the resource did not terminate it.
// Null (no answer) when the size query does not return 0, the size is 0, the
// allocation fails or the second call fails.
LPBYTE ResourceControl(HRESOURCE hResource, DWORD dwControlCode, DWORD* pcbAnswer) {
    DWORD cbNeeded = 0;
    if (ClusterResourceControl(hResource, nullptr, dwControlCode, nullptr, 0, nullptr, 0, &cbNeeded) != ERROR_SUCCESS ||
        cbNeeded == 0 || cbNeeded > 0x7FFFFFF0u) {
        return nullptr;
    }
    LPBYTE pAnswer = static_cast<LPBYTE>(MemAlloc(static_cast<SIZE_T>(cbNeeded) + 4));
    if (!pAnswer) return nullptr;
    DWORD cbReturned = 0;
    if (ClusterResourceControl(hResource, nullptr, dwControlCode, nullptr, 0, pAnswer, cbNeeded, &cbReturned) !=
            ERROR_SUCCESS ||
        cbReturned > cbNeeded) {
        MemFreeT(&pAnswer);
        return nullptr;
    }
    *pcbAnswer = cbReturned;
    return pAnswer;
}

void ReadResource(HCLUSTER hCluster, LPCWSTR pszResource, GroupFinds* pFinds) {
    HRESOURCE hResource = OpenClusterResource(hCluster, pszResource);
    if (!FLUNKKED(hResource != 0)) return;

    DWORD cbAnswer = 0;
    if (LPBYTE pName = ResourceControl(hResource, CLUSCTL_RESOURCE_GET_NETWORK_NAME, &cbAnswer)) {
        LPWSTR pszCopy = AllocSplStr(reinterpret_cast<LPCWSTR>(pName));
        if (pszCopy) {
            Replace(&pFinds->pszNetworkName, pszCopy);
            QLLOG(LOG_INF, WSTR("Add Network Name=%s"), pszCopy);
        }
        MemFreeT(&pName);
    }
    if (LPBYTE pProps = ResourceControl(hResource, CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES, &cbAnswer)) {
        LPWSTR pszValue = nullptr;
        if (ResUtilFindExpandSzProperty(pProps, cbAnswer, WSTR("DefaultSpoolDirectory"), &pszValue) == ERROR_SUCCESS &&
            pszValue) {
            LPWSTR pszCopy = AllocSplStr(pszValue);
            LocalFree(pszValue);
            if (pszCopy) {
                Replace(&pFinds->pszSpoolDir, pszCopy);
                QLLOG(LOG_INF, WSTR("Add SpoolDir=%s"), pszCopy);
            }
        }
        MemFreeT(&pProps);
    }
    CloseClusterResource(hResource);
}

// Reads the resources of one group and adds the group's pair when it has
// both a network name and a spool directory. FALSE ends the discovery.
BOOL ReadGroup(HCLUSTER hCluster, LPCWSTR pszGroup, ClusterSpoolDirs* pFound) {
    HGROUP hGroup = OpenClusterGroup(hCluster, pszGroup);
    if (!CHECK(hGroup)) return FALSE;
    HGROUPENUM hGroupEnum = ClusterGroupOpenEnum(hGroup, CLUSTER_GROUP_ENUM_CONTAINS);
    if (!CHECK(hGroupEnum)) {
        CloseClusterGroup(hGroup);
        return FALSE;
    }

    GroupFinds finds = {};
    WCHAR szResource[kNameCch];
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwType = 0;
        DWORD cchName = kNameCch;
        DWORD dwRet = ClusterGroupEnum(hGroupEnum, dwIndex, &dwType, szResource, &cchName);
        if (dwRet == ERROR_MORE_DATA) continue;  // a name longer than the buffer: not one of ours
        if (dwRet != ERROR_SUCCESS) break;
        QLLOG(LOG_INF, WSTR("Ressource Name=%s"), szResource);
        ReadResource(hCluster, szResource, &finds);
    }
    ClusterGroupCloseEnum(hGroupEnum);

    if (finds.pszNetworkName && finds.pszSpoolDir) AppendPair(pFound, finds.pszNetworkName, finds.pszSpoolDir);
    if (finds.pszNetworkName) MemFreeT(&finds.pszNetworkName);
    if (finds.pszSpoolDir) MemFreeT(&finds.pszSpoolDir);
    CloseClusterGroup(hGroup);
    return TRUE;
}

// Walks the groups of the local cluster. Errors end the walk quietly; what
// was found so far is kept.
void Discover(ClusterSpoolDirs* pFound) {
    HCLUSTER hCluster = OpenCluster(nullptr);
    if (!hCluster) {
        QLLOG(LOG_INF, WSTR("no cluster"));
        return;
    }
    QLLOG(LOG_INF, WSTR("running on cluster"));

    HCLUSENUM hEnum = ClusterOpenEnum(hCluster, CLUSTER_ENUM_GROUP);
    if (hEnum) {
        WCHAR szGroup[kNameCch];
        for (DWORD dwIndex = 0;; ++dwIndex) {
            DWORD dwType = 0;
            DWORD cchName = kNameCch;
            DWORD dwRet = ClusterEnum(hEnum, dwIndex, &dwType, szGroup, &cchName);
            if (dwRet == ERROR_MORE_DATA) continue;
            if (dwRet != ERROR_SUCCESS) break;
            QLLOG(LOG_INF, WSTR("GroupName=%s"), szGroup);
            if (!ReadGroup(hCluster, szGroup, pFound)) break;
        }
        ClusterCloseEnum(hEnum);
    }
    CloseCluster(hCluster);
}

// The entry at position `index` of a multi-string of cb bytes, or null.
LPCWSTR MultiSzEntry(LPCWSTR pList, SIZE_T cb, SIZE_T index) {
    const SIZE_T cch = cb / sizeof(WCHAR);
    SIZE_T pos = 0;
    for (SIZE_T i = 0; pos < cch && pList[pos]; ++i) {
        const SIZE_T len = wcsnlen(pList + pos, cch - pos);
        if (len == cch - pos) return nullptr;  // unterminated
        if (i == index) return pList + pos;
        pos += len + 1;
    }
    return nullptr;
}

} // namespace

BOOL IsClusterSpoolDirFound() {
    return LoadDirs(&g_ClusterSpoolDirs) != nullptr;
}

void GetClusterSpoolDirs(ClusterSpoolDirs* pDirs) {
    if (!pDirs) return;
    std::unique_lock<std::mutex> lock(g_fillLock, std::defer_lock);
    try {
        lock.lock();
    } catch (...) {
        return;
    }
    // Another job may have filled the table while this one waited.
    if (LoadDirs(pDirs)) return;

    ClusterSpoolDirs found = {};
    Discover(&found);
    if (!found.dirs) return;
    pDirs->names = found.names;
    pDirs->cbNames = found.cbNames;
    pDirs->cbDirs = found.cbDirs;
    StoreDirs(pDirs, found.dirs);
}

LPCWSTR FindClusterSpoolDir(const ClusterSpoolDirs* pDirs, LPCWSTR serverName) {
    LPCWSTR pszDirs = pDirs ? LoadDirs(pDirs) : nullptr;
    if (!QL_CHECK_FORM("FLUNKKED", pszDirs != nullptr, "(IsClusterSpoolDirFound())")) return nullptr;
    if (!serverName || !pDirs->names) return nullptr;
    const SIZE_T cch = pDirs->cbNames / sizeof(WCHAR);
    SIZE_T pos = 0;
    for (SIZE_T index = 0; pos < cch && pDirs->names[pos]; ++index) {
        const SIZE_T len = wcsnlen(pDirs->names + pos, cch - pos);
        if (len == cch - pos) return nullptr;
        if (lstrcmpiW(pDirs->names + pos, serverName) == 0) return MultiSzEntry(pszDirs, pDirs->cbDirs, index);
        pos += len + 1;
    }
    return nullptr;
}

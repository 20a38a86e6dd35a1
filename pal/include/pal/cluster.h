// Failover cluster subset for the Linux build (clusapi and resutils), with the
// Win32 names, codes and property-list format.
//
// The simulated cluster is described in the machine's registry; a machine
// without the description is not clustered (OpenCluster returns null with
// RPC_S_SERVER_UNAVAILABLE):
//
//   HKLM\Cluster
//       "ClusterName"   REG_SZ   name of the cluster (required)
//   HKLM\Cluster\Groups\<group name>
//   HKLM\Cluster\Groups\<group name>\Resources\<resource name>
//       "NetworkName"   REG_SZ   answer to CLUSCTL_RESOURCE_GET_NETWORK_NAME
//                                (optional; without it that control code
//                                fails with ERROR_INVALID_FUNCTION)
//   HKLM\Cluster\Groups\<group name>\Resources\<resource name>\Parameters
//       the resource's private properties, in the answer to
//       CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES as
//         REG_EXPAND_SZ -> CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ
//         REG_SZ        -> CLUSPROP_SYNTAX_LIST_VALUE_SZ
//         REG_DWORD     -> CLUSPROP_SYNTAX_LIST_VALUE_DWORD
//         REG_MULTI_SZ  -> CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ
//         REG_BINARY    -> CLUSPROP_SYNTAX_LIST_VALUE_BINARY
//       (values of other types are left out).
//
// Resource names are unique in the cluster, as on Windows: OpenClusterResource
// finds a resource in whichever group holds it. Enumerations are snapshots
// taken when they are opened. Every handle lives in the layer's handle table.
//
// Control codes answer as Win32 does: with no output buffer the call succeeds
// and reports the size needed in *lpBytesReturned; a buffer that is too small
// gives ERROR_MORE_DATA with the size needed.
#pragma once
#include "pal/types.h"

#define PAL_API extern "C" __attribute__((visibility("default")))

#ifndef RPC_S_SERVER_UNAVAILABLE
#define RPC_S_SERVER_UNAVAILABLE 1722L
#endif
#ifndef ERROR_RESOURCE_NOT_FOUND
#define ERROR_RESOURCE_NOT_FOUND 5007L
#endif
#ifndef ERROR_GROUP_NOT_FOUND
#define ERROR_GROUP_NOT_FOUND 5013L
#endif

typedef struct _HCLUSTER* HCLUSTER;
typedef struct _HNODE* HNODE;
typedef struct _HRESOURCE* HRESOURCE;
typedef struct _HGROUP* HGROUP;
typedef struct _HCLUSENUM* HCLUSENUM;
typedef struct _HGROUPENUM* HGROUPENUM;

typedef enum CLUSTER_ENUM {
    CLUSTER_ENUM_NODE = 0x00000001,
    CLUSTER_ENUM_RESTYPE = 0x00000002,
    CLUSTER_ENUM_RESOURCE = 0x00000004,
    CLUSTER_ENUM_GROUP = 0x00000008,
    CLUSTER_ENUM_NETWORK = 0x00000010,
    CLUSTER_ENUM_NETINTERFACE = 0x00000020,
} CLUSTER_ENUM;

typedef enum CLUSTER_GROUP_ENUM {
    CLUSTER_GROUP_ENUM_CONTAINS = 0x00000001,
    CLUSTER_GROUP_ENUM_NODES = 0x00000002,
} CLUSTER_GROUP_ENUM;

// Property list syntax words: (type << 16) | format.
#define CLUSPROP_SYNTAX_VALUE(type, format) ((DWORD)(((type) << 16) | (format)))
typedef enum CLUSTER_PROPERTY_SYNTAX {
    CLUSPROP_SYNTAX_ENDMARK = 0x00000000,
    CLUSPROP_SYNTAX_NAME = 0x00040003,
    CLUSPROP_SYNTAX_LIST_VALUE_BINARY = 0x00010001,
    CLUSPROP_SYNTAX_LIST_VALUE_DWORD = 0x00010002,
    CLUSPROP_SYNTAX_LIST_VALUE_SZ = 0x00010003,
    CLUSPROP_SYNTAX_LIST_VALUE_EXPAND_SZ = 0x00010004,
    CLUSPROP_SYNTAX_LIST_VALUE_MULTI_SZ = 0x00010005,
} CLUSTER_PROPERTY_SYNTAX;

// Each entry of a property list: syntax word, byte count of the data, then
// the data padded to a multiple of 4 bytes. A list begins with the DWORD
// number of properties; each property is a CLUSPROP_SYNTAX_NAME entry, its
// value entries and a CLUSPROP_SYNTAX_ENDMARK.
#define ALIGN_CLUSPROP(count) (((count) + 3) & ~3)

typedef enum CLUSCTL_RESOURCE_CODES {
    CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES = 0x01000081,
    CLUSCTL_RESOURCE_GET_NETWORK_NAME = 0x01000169,
} CLUSCTL_RESOURCE_CODES;

// Null lpszClusterName: the local cluster.
PAL_API HCLUSTER OpenCluster(LPCWSTR lpszClusterName);
PAL_API BOOL CloseCluster(HCLUSTER hCluster);

// Only CLUSTER_ENUM_GROUP objects exist in the simulated cluster; other types
// enumerate nothing. ClusterEnum: *lpcchName is the buffer size in characters
// on input and the name's length on output; ERROR_MORE_DATA when it does not
// fit, ERROR_NO_MORE_ITEMS past the end.
PAL_API HCLUSENUM ClusterOpenEnum(HCLUSTER hCluster, DWORD dwType);
PAL_API DWORD ClusterEnum(HCLUSENUM hEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszName, LPDWORD lpcchName);
PAL_API DWORD ClusterCloseEnum(HCLUSENUM hEnum);

PAL_API HGROUP OpenClusterGroup(HCLUSTER hCluster, LPCWSTR lpszGroupName);
PAL_API BOOL CloseClusterGroup(HGROUP hGroup);
PAL_API HGROUPENUM ClusterGroupOpenEnum(HGROUP hGroup, DWORD dwType);
PAL_API DWORD ClusterGroupEnum(HGROUPENUM hGroupEnum, DWORD dwIndex, LPDWORD lpdwType, LPWSTR lpszResourceName,
                               LPDWORD lpcchName);
PAL_API DWORD ClusterGroupCloseEnum(HGROUPENUM hGroupEnum);

PAL_API HRESOURCE OpenClusterResource(HCLUSTER hCluster, LPCWSTR lpszResourceName);
PAL_API BOOL CloseClusterResource(HRESOURCE hResource);
// CLUSCTL_RESOURCE_GET_NETWORK_NAME (the name, NUL-terminated) and
// CLUSCTL_RESOURCE_GET_PRIVATE_PROPERTIES (a property list); other codes give
// ERROR_INVALID_FUNCTION.
PAL_API DWORD ClusterResourceControl(HRESOURCE hResource, HNODE hHostNode, DWORD dwControlCode, LPVOID lpInBuffer,
                                     DWORD cbInBufferSize, LPVOID lpOutBuffer, DWORD cbOutBufferSize,
                                     LPDWORD lpcbBytesReturned);

// Finds the property named pszPropertyName (case-insensitive) in a property
// list and returns a LocalAlloc'ed copy of its expandable-string value in
// *pszPropertyValue (may be null to test only). ERROR_FILE_NOT_FOUND when the
// list has no such property, ERROR_INVALID_DATA when the list is malformed or
// the value is not an expandable string.
PAL_API DWORD ResUtilFindExpandSzProperty(const PVOID pPropertyList, DWORD cbPropertyListSize,
                                          LPCWSTR pszPropertyName, LPWSTR* pszPropertyValue);

#define QL_MODULE WSTR("GetClusterSpoolDirs")
#include "port/GetClusterSpoolDirs.h"

ClusterSpoolDirs g_ClusterSpoolDirs = {};

BOOL IsClusterSpoolDirFound() {
    return g_ClusterSpoolDirs.dirs != nullptr;
}

// This build does not ask a cluster service: the server counts as not
// clustered, the table stays empty and every job asks again.
void GetClusterSpoolDirs(ClusterSpoolDirs* pDirs) {
    (void)pDirs;
}

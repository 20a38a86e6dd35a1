// Spool directories of a failover cluster: which virtual server name owns
// which spool directory. Discovered once per process, by the first job that
// finds a cluster.
#pragma once
#include "palwin.h"

struct ClusterSpoolDirs {
    LPWSTR names;    // multi-string of network names, owned
    SIZE_T cbNames;  // its size in bytes, both terminators included
    LPWSTR dirs;     // multi-string of spool directories, the i-th for the i-th name
    SIZE_T cbDirs;
};

extern ClusterSpoolDirs g_ClusterSpoolDirs;

// True once a cluster's spool directories were found.
BOOL IsClusterSpoolDirFound();
// Fills the table when the server is part of a cluster.
void GetClusterSpoolDirs(ClusterSpoolDirs* pDirs);
// The spool directory paired with serverName (whole names, case-insensitive),
// or null; points into the table.
LPCWSTR FindClusterSpoolDir(const ClusterSpoolDirs* pDirs, LPCWSTR serverName);

// The simulated machine a fuzz target runs on: a drive root under the system's
// temporary directory, the machine's registry, and the debug log off.
#pragma once
#include "diag/DbgLog.h"
#include "palhost.h"

#include <cstdlib>
#include <filesystem>
#include <string>

// Ports write into outputDir (empty: the drive root). Aborts when the
// registry text does not load.
inline bool SetUpFuzzMachine(const char* regText, const char* name, const std::string& outputDir = {}) {
    const std::string root = (std::filesystem::temp_directory_path() / name).string();
    std::filesystem::create_directories(root);
    pal::host::SetDriveRoot(root);
    pal::host::SetOutputDirectory(outputDir.empty() ? root : outputDir);
    std::string error;
    if (!pal::host::LoadRegistryText(regText, std::string(name) + ".reg", &error)) std::abort();
    g_dwDebugLevel = 0;
    return true;
}

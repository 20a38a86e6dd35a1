// The simulated machine for the host and the tests: drive root, module and
// output directories, computer name, registry, open handles, temporary fonts
// and string helpers.
#pragma once
#include "palwin.h"

#include <string>
#include <vector>

namespace pal::host {

// ---- machine --------------------------------------------------------------------
// Windows drive C maps to this directory (created when missing).
void SetDriveRoot(const std::string& dir);
std::string DriveRoot();
// Host path of a Windows path: "C:\a\b.txt" -> <drive root>/a/b.txt; other
// drive letters -> <drive root>/<letter>/...; relative paths stay relative.
std::string MapPath(const std::u16string& windowsPath);
// Where LoadLibraryW looks for "<name>.dll" as "lib<name>.so" or "<name>.so".
void SetModuleDirectory(const std::string& dir);
std::string ModuleDirectory();
// Where ports write their output: one file per port, named after the port
// with characters outside [A-Za-z0-9._-] replaced by "_".
void SetOutputDirectory(const std::string& dir);
std::string OutputDirectory();
// The computer name reported by gethostname.
void SetComputerName(const std::u16string& name);

// ---- registry ---------------------------------------------------------------------
// Merges a .reg file ("Windows Registry Editor Version 5.00") into the hive.
// On a syntax error returns false with "<file>:<line>: <what>" in *error and
// leaves the hive as it was before the call.
bool LoadRegistryFile(const std::string& path, std::string* error);
bool LoadRegistryText(const std::string& text, const std::string& sourceName, std::string* error);
// The whole hive as .reg text (keys sorted, values in insertion order).
std::string ExportRegistry();
void ClearRegistry();

// ---- handles --------------------------------------------------------------------------
// Descriptions of every handle the layer has handed out and not yet closed.
std::vector<std::string> OpenHandles();

// UTF-8 <-> UTF-16 helpers for hosts and tests.
std::u16string FromUtf8(const std::string& s);
std::string ToUtf8(const std::u16string& s);

// Temporary fonts of a job's application: the font file at `path` (host
// path) is selected by the face name `face` until RemoveTemporaryFonts.
// False when the file is no font FreeType can open.
bool InstallTemporaryFont(const std::string& path, const std::u16string& face);
void RemoveTemporaryFonts();

} // namespace pal::host

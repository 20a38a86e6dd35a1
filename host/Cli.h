// The qlspool command line.
#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace qlhost {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitJobFailed = 1;  // a job did not print, or the library could not be loaded
inline constexpr int kExitBadInput = 2;   // bad option, missing file, bad .reg, unknown printer or datatype

// Runs qlspool with the arguments after the program name. Reports go to out,
// one-line errors prefixed "qlspool: " to err.
int RunQlspool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qlhost

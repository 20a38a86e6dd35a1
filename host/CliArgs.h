// Command-line parsing shared by the qlspool commands: options of one
// command, numbers, device mode and job files, faults and temporary fonts.
#pragma once
#include "host/Machine.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qlhost {

// Raised for bad input; turned into one error line and exit code 2.
struct UsageError {
    std::string message;
};

// Options of one command: names that take a value and flags.
struct OptionTable {
    std::vector<std::string> valued;
    std::vector<std::string> flags;
};

struct ParsedArgs {
    std::map<std::string, std::string> values;              // the last value of each option
    std::map<std::string, std::vector<std::string>> every;  // every value, in order
    std::map<std::string, bool> flags;
    std::vector<std::string> positional;
    bool help = false;

    std::optional<std::string> Get(const std::string& name) const {
        auto it = values.find(name);
        if (it == values.end()) return std::nullopt;
        return it->second;
    }
    bool Flag(const std::string& name) const { return flags.count(name) != 0; }
};

// Parses the options of `command` from args[first..]: the table's options
// plus the machine options every command takes. Unknown options, missing
// values and values given to flags are usage errors.
ParsedArgs Parse(const std::vector<std::string>& args, size_t first, const std::string& command,
                 OptionTable table);

// A decimal number of at most 9 digits for `option`.
unsigned ParseNumber(const std::string& option, const std::string& text);
std::optional<unsigned> NumberOption(const ParsedArgs& a, const std::string& option);
// A whole unsigned number within [0, max], decimal or 0x hex.
std::optional<unsigned long long> ParseUnsigned(const std::string& text, unsigned long long max);
// The same within [min, max] for `option`, else a usage error.
unsigned long long UnsignedOption(const std::string& option, const std::string& text, unsigned long long min,
                                  unsigned long long max);

// A whole file (`what` names it in errors), the first n bytes of a job file,
// and a device mode file checked to hold a whole DEVMODEW.
std::vector<uint8_t> ReadFileBytes(const std::string& path, const char* what);
std::vector<uint8_t> ReadFileHead(const std::string& path, size_t n);
std::vector<uint8_t> ReadDevmode(const std::string& path);

// An error code given as a number or by its name.
std::optional<DWORD> ParseErrorCode(const std::string& text);
// "FILE[=FACE]" -> a temporary font of the job (absolute path, face name).
std::pair<std::string, std::u16string> ParseTemporaryFont(const std::string& text);
// "CALL:AT[:EFFECT]" -> a fault of the simulated spooler.
pal::host::Fault ParseFault(const std::string& text);

MachineOptions MachineOptionsFrom(const ParsedArgs& a);
std::unique_ptr<Machine> MakeMachine(const MachineOptions& options);

} // namespace qlhost

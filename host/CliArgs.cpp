#include "host/CliArgs.h"
#include "host/Report.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace qlhost {

namespace {
const std::vector<std::string> kMachineOptions = {"--machine", "--drive-root", "--output-dir", "--module-dir"};
} // namespace

ParsedArgs Parse(const std::vector<std::string>& args, size_t first, const std::string& command,
                 OptionTable table) {
    table.valued.insert(table.valued.end(), kMachineOptions.begin(), kMachineOptions.end());
    ParsedArgs parsed;
    bool onlyPositional = false;
    for (size_t i = first; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyPositional || arg.empty() || arg[0] != '-' || arg == "-") {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyPositional = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name == "-d") name = "--datatype";
        const bool isValued = std::find(table.valued.begin(), table.valued.end(), name) != table.valued.end();
        const bool isFlag = std::find(table.flags.begin(), table.flags.end(), name) != table.flags.end();
        if (isFlag && !value) {
            parsed.flags[name] = true;
        } else if (isValued) {
            if (!value) {
                if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
                value = args[++i];
            }
            parsed.values[name] = *value;
            parsed.every[name].push_back(*value);
        } else if (isFlag) {
            throw UsageError{"option " + name + " takes no value"};
        } else {
            throw UsageError{"unknown option " + arg + " for `" + command + "` (see qlspool " + command +
                             " --help)"};
        }
    }
    return parsed;
}

unsigned ParseNumber(const std::string& option, const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw UsageError{"bad value for " + option + ": \"" + text + "\" (expected a number)"};
    }
    return static_cast<unsigned>(std::stoul(text));
}

std::optional<unsigned> NumberOption(const ParsedArgs& a, const std::string& option) {
    auto v = a.Get(option);
    if (!v) return std::nullopt;
    return ParseNumber(option, *v);
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, const char* what) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw UsageError{std::string(what) + " " + path + ": no such file"};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{std::string(what) + " " + path + ": cannot open"};
    std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path, ec)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (ec || in.gcount() != static_cast<std::streamsize>(bytes.size())) throw UsageError{std::string(what) + " " + path + ": read error"};
    return bytes;
}

// The first bytes of a job file (all of them when it is shorter).
std::vector<uint8_t> ReadFileHead(const std::string& path, size_t n) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) throw UsageError{"job file " + path + ": no such file"};
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError{"job file " + path + ": cannot open"};
    std::vector<uint8_t> head(n);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(n));
    head.resize(static_cast<size_t>(in.gcount()));
    return head;
}

// A device mode file must hold a whole DEVMODEW: dmSize (at 68) plus
// dmDriverExtra (at 70) bytes, with dmSize at least up to dmFields.
std::vector<uint8_t> ReadDevmode(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFileBytes(path, "device mode file");
    constexpr size_t kSizeAt = offsetof(DEVMODEW, dmSize);
    constexpr size_t kExtraAt = offsetof(DEVMODEW, dmDriverExtra);
    constexpr size_t kMinSize = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
    if (bytes.size() < kMinSize) throw UsageError{"device mode file " + path + ": too short for a DEVMODEW"};
    const size_t dmSize = bytes[kSizeAt] | (bytes[kSizeAt + 1] << 8);
    const size_t dmExtra = bytes[kExtraAt] | (bytes[kExtraAt + 1] << 8);
    if (dmSize < kMinSize || dmSize + dmExtra > bytes.size()) {
        throw UsageError{"device mode file " + path + ": dmSize " + std::to_string(dmSize) + " + dmDriverExtra " +
                         std::to_string(dmExtra) + " does not fit its " + std::to_string(bytes.size()) +
                         " bytes"};
    }
    bytes.resize(dmSize + dmExtra);
    return bytes;
}

// A whole unsigned number within [0, max], decimal or 0x hex.
std::optional<unsigned long long> ParseUnsigned(const std::string& text, unsigned long long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != 0 || v > max) return std::nullopt;
    return v;
}

unsigned long long UnsignedOption(const std::string& option, const std::string& text, unsigned long long min,
                                  unsigned long long max) {
    auto v = ParseUnsigned(text, max);
    if (!v || *v < min) {
        throw UsageError{"bad value for " + option + ": \"" + text + "\" (expected " + std::to_string(min) +
                         " .. " + std::to_string(max) + ")"};
    }
    return *v;
}

namespace {
// The spooler calls the simulated spooler can be made to misbehave.
const std::vector<std::string> kFaultCalls = {
    "ClosePrinter", "CreateDCW", "DocumentPropertiesW", "EndDocPrinter", "EndPagePrinter", "GetJobW",
    "GetPrinterDataW", "GetPrinterW", "OpenPrinterW", "ReadPrinter", "SetJobW", "StartDocPrinterW",
    "StartPagePrinter", "WritePrinter", "XcvDataW",
    // Printer device contexts and EMF playback.
    "StartDocW", "StartPage", "EndPage", "EndDoc", "TextOutA", "GdiPlayEMF",
    // Writes to the spool directory while the job is submitted (at a byte).
    "SpoolFileWrite"};
} // namespace

// An error code given as a number or by its name.
std::optional<DWORD> ParseErrorCode(const std::string& text) {
    if (auto v = ParseUnsigned(text, 0xFFFFFFFFull)) return static_cast<DWORD>(*v);
    for (DWORD code = 0; code < 20000; ++code) {
        if (*ErrorName(code) && text == ErrorName(code)) return code;
    }
    return std::nullopt;
}

// "FILE[=FACE]" -> a temporary font of the job.
std::pair<std::string, std::u16string> ParseTemporaryFont(const std::string& text) {
    const size_t eq = text.find('=');
    const std::string file = text.substr(0, eq);
    std::error_code ec;
    if (file.empty() || !fs::is_regular_file(file, ec))
        throw UsageError{"bad --temp-font \"" + text + "\": no font file \"" + file + "\""};
    const std::string face = eq == std::string::npos ? fs::path(file).stem().string() + ".tmp" : text.substr(eq + 1);
    if (face.empty() || face.size() >= 32)
        throw UsageError{"bad --temp-font \"" + text + "\": the face name needs 1 to 31 characters"};
    return {fs::absolute(file, ec).string(), pal::host::FromUtf8(face)};
}

// "CALL:AT[:EFFECT]" -> a fault of the simulated spooler.
pal::host::Fault ParseFault(const std::string& text) {
    const std::string where = "bad --fault \"" + text + "\": ";
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) throw UsageError{where + "expected CALL:AT[:EFFECT]"};
    pal::host::Fault f;
    f.call = parts[0];
    if (std::find(kFaultCalls.begin(), kFaultCalls.end(), f.call) == kFaultCalls.end()) {
        std::string known;
        for (const auto& c : kFaultCalls) known += (known.empty() ? "" : ", ") + c;
        throw UsageError{where + "unknown call \"" + f.call + "\" (calls: " + known + ")"};
    }
    const bool transfer = f.call == "WritePrinter" || f.call == "ReadPrinter" || f.call == "SpoolFileWrite";
    const auto at = ParseUnsigned(parts[1], transfer ? 0xFFFFFFFFFFFFull : 0xFFFFFFFFull);
    if (!at) throw UsageError{where + "AT must be " + (transfer ? "a byte position" : "a call count")};
    if (transfer) {
        f.atByte = *at;
    } else {
        f.afterCalls = *at;
    }
    if (parts.size() == 3) {
        if (parts[2] == "short") {
            if (!transfer) throw UsageError{where + "\"short\" applies to WritePrinter and ReadPrinter only"};
            f.shortCount = true;
            f.once = true;
        } else if (auto code = ParseErrorCode(parts[2])) {
            if (*code == ERROR_SUCCESS) throw UsageError{where + "a failing call needs a non-zero error code"};
            f.error = *code;
        } else {
            throw UsageError{where + "EFFECT must be \"short\", an error number or an error name"};
        }
    }
    return f;
}

MachineOptions MachineOptionsFrom(const ParsedArgs& a) {
    MachineOptions m;
    m.machineFile = a.Get("--machine").value_or("");
    m.driveRoot = a.Get("--drive-root").value_or("");
    m.outputDir = a.Get("--output-dir").value_or("");
    m.moduleDir = a.Get("--module-dir").value_or("");
    return m;
}

std::unique_ptr<Machine> MakeMachine(const MachineOptions& options) {
    std::string error;
    auto machine = Machine::Create(options, &error);
    if (!machine) throw UsageError{error};
    return machine;
}

} // namespace qlhost

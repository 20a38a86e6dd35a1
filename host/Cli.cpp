#include "host/Cli.h"
#include "host/DefaultMachine.h"
#include "host/Machine.h"
#include "host/Report.h"
#include "host/SampleJobs.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>

namespace fs = std::filesystem;

namespace qlhost {

namespace {

// Raised for bad input; turned into one error line and exit code 2.
struct UsageError {
    std::string message;
};

constexpr const char kMainHelp[] =
    "Usage: qlspool [COMMAND] [OPTIONS]\n"
    "\n"
    "Runs print jobs through the print processor library qlwinprn.dll the way\n"
    "the spooler does, on a simulated machine (registry, printers, ports).\n"
    "\n"
    "Commands:\n"
    "  demo        run the built-in sample jobs on the built-in machine (the default)\n"
    "  print       run files as print jobs\n"
    "  machine     print the machine as a .reg file\n"
    "  datatypes   list the datatypes the library reports\n"
    "  caps        show the library's capabilities for each datatype\n"
    "  printers    list the machine's printers with driver and port\n"
    "\n"
    "Run `qlspool COMMAND --help` for the options of a command.\n"
    "Exit status: 0 success, 1 a job failed or the library could not be loaded,\n"
    "2 bad input (option, file, .reg, printer or datatype).\n";

constexpr const char kMachineOptionsHelp[] =
    "Machine options:\n"
    "  --machine FILE.reg   the machine's registry (default: the built-in machine)\n"
    "  --drive-root DIR     directory that stands for drive C: (default ./qlspool-machine)\n"
    "  --output-dir DIR     where ports write their output (default <drive root>/ports)\n"
    "  --module-dir DIR     where qlwinprn.dll and quilmon.dll are loaded from\n"
    "                       (default: the directory of qlspool)\n";

constexpr const char kDemoHelp[] =
    "Usage: qlspool [demo] [OPTIONS]\n"
    "\n"
    "Runs the built-in sample jobs through the print processor's entry points:\n"
    "a RAW text page on \"Office Laser\" and an \"NT EMF 1.008\" page on\n"
    "\"QL Spool Bridge\", and prints what each entry point returned, what the\n"
    "ports and the port monitor received and the debug log lines of each job.\n"
    "It exits with 0 when the jobs ran through the entry points, whatever\n"
    "the entry points returned.\n"
    "\n"
    "Options:\n"
    "  --quiet              leave out the debug log lines\n";

constexpr const char kPrintHelp[] =
    "Usage: qlspool print [OPTIONS] FILE...\n"
    "\n"
    "Submits each FILE as a job and runs it through OpenPrintProcessor,\n"
    "PrintDocumentOnPrintProcessor (on a printing thread), ControlPrintProcessor\n"
    "(from another thread) and ClosePrintProcessor.\n"
    "\n"
    "Job options:\n"
    "  --printer P          printer (default \"Office Laser\")\n"
    "  --datatype D         datatype (default RAW)\n"
    "  --document NAME      document name (default: the file's name)\n"
    "  --params S           the job's parameter string, e.g. \"TABS=4;\"\n"
    "  --copies N           adds \"COPIES=N;\" to the parameters\n"
    "  --user U             the job's user (default \"user\")\n"
    "  --devmode FILE       a DEVMODEW block passed with the job\n"
    "  --pause-after MS     pause the job MS milliseconds after printing started\n"
    "  --resume-after MS    resume it MS milliseconds after printing started\n"
    "  --cancel-after MS    cancel it MS milliseconds after printing started\n"
    "  --timeout MS         cancel a job still printing this long after the last\n"
    "                       control command (default 30000)\n"
    "  --quiet              leave out the debug log lines\n";

constexpr const char kMachineHelp[] =
    "Usage: qlspool machine [--machine FILE.reg]\n"
    "\n"
    "Prints the machine's registry as a .reg file: by default the built-in\n"
    "machine, a starting point for a machine of your own (--machine FILE.reg).\n";

constexpr const char kDatatypesHelp[] =
    "Usage: qlspool datatypes [OPTIONS]\n"
    "\n"
    "Loads the print processor and lists the datatypes that\n"
    "EnumPrintProcessorDatatypesW reports.\n";

constexpr const char kCapsHelp[] =
    "Usage: qlspool caps [-d DATATYPE] [OPTIONS]\n"
    "\n"
    "Loads the print processor and shows GetPrintProcessorCapabilities for each\n"
    "datatype it reports, or for DATATYPE only.\n"
    "\n"
    "Options:\n"
    "  -d, --datatype D     only this datatype\n";

constexpr const char kPrintersHelp[] =
    "Usage: qlspool printers [--machine FILE.reg]\n"
    "\n"
    "Lists the machine's printers with driver, port, port type and attributes.\n";

// Options of one command: names that take a value and flags.
struct OptionTable {
    std::vector<std::string> valued;
    std::vector<std::string> flags;
};

struct ParsedArgs {
    std::map<std::string, std::string> values;
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

const std::vector<std::string> kMachineOptions = {"--machine", "--drive-root", "--output-dir", "--module-dir"};

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
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError{std::string(what) + " " + path + ": read error"};
    return bytes;
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

class Command {
public:
    Command(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

    int Fail(int code, const std::string& message) {
        m_err << "qlspool: " << message << "\n";
        return code;
    }

    void ShowLines(const char* title, const std::vector<std::string>& lines) {
        m_out << title << " (" << lines.size() << " line" << (lines.size() == 1 ? "" : "s") << "):\n";
        for (const auto& line : lines) m_out << "  " << line << "\n";
    }

    // Loads the print processor; shows what DllMain logged unless quiet.
    bool Load(Machine& machine, bool quiet) {
        std::string error;
        if (!machine.LoadPrintProcessor(&error)) {
            Fail(kExitJobFailed, error);
            return false;
        }
        const auto lines = machine.TakeLogLines();
        if (!quiet) {
            m_out << "qlwinprn.dll loaded from " << machine.ModuleDir() << "\n";
            ShowLines("Debug log of DllMain attach", lines);
            m_out << "\n";
        }
        return true;
    }

    void Unload(Machine& machine, bool quiet) {
        machine.UnloadPrintProcessor();
        const auto lines = machine.TakeLogLines();
        if (!quiet) {
            m_out << "qlwinprn.dll unloaded\n";
            ShowLines("Debug log of DllMain detach", lines);
        }
    }

    void ShowMachine(const Machine& machine) {
        m_out << "Machine: drive C: = " << machine.DriveRoot() << ", port output in " << machine.OutputDir();
        if (!machine.LogPath().empty()) m_out << ", debug log " << machine.LogPath();
        m_out << "\n";
    }

    // Runs jobs and returns the exit code.
    int RunJobs(Machine& machine, const std::vector<JobOptions>& jobs, bool quiet, bool demo) {
        int code = kExitOk;
        unsigned printed = 0, failed = 0;
        for (const JobOptions& job : jobs) {
            const JobReport report = machine.RunJob(job);
            m_out << FormatJobReport(report, !quiet) << "\n";
            if (!report.error.empty()) {
                Fail(kExitBadInput, report.error);
                code = std::max(code, kExitBadInput);
                ++failed;
            } else if (report.UnknownDatatype()) {
                Fail(kExitBadInput, "unknown datatype \"" + pal::host::ToUtf8(job.datatype) +
                                        "\": OpenPrintProcessor failed with error " +
                                        DescribeError(report.openError));
                code = std::max(code, kExitBadInput);
                ++failed;
            } else if (report.Succeeded()) {
                ++printed;
            } else {
                ++failed;
                if (!demo) code = std::max(code, kExitJobFailed);
            }
        }
        m_out << jobs.size() << " job(s): " << printed << " printed, " << failed << " failed\n";
        return code;
    }

    int Demo(const ParsedArgs& a) {
        if (a.help) {
            m_out << kDemoHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"demo takes no arguments (got \"" + a.positional[0] + "\")"};
        const bool quiet = a.Flag("--quiet");
        auto machine = MakeMachine(MachineOptionsFrom(a));
        ShowMachine(*machine);
        if (!Load(*machine, quiet)) return kExitJobFailed;

        std::vector<JobOptions> jobs(2);
        jobs[0].printer = u"Office Laser";
        jobs[0].datatype = u"RAW";
        jobs[0].document = u"qlspool sample page";
        jobs[0].data = SampleTextPage();
        jobs[1].printer = u"QL Spool Bridge";
        jobs[1].datatype = u"NT EMF 1.008";
        jobs[1].document = u"qlspool sample drawing";
        jobs[1].data = SampleEmfSpool(u"QL Spool Bridge");
        const int code = RunJobs(*machine, jobs, quiet, true);
        Unload(*machine, quiet);
        return code;
    }

    int Print(const ParsedArgs& a) {
        if (a.help) {
            m_out << kPrintHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (a.positional.empty()) throw UsageError{"print needs at least one FILE (see qlspool print --help)"};
        JobOptions base;
        if (auto v = a.Get("--printer")) base.printer = pal::host::FromUtf8(*v);
        if (auto v = a.Get("--datatype")) base.datatype = pal::host::FromUtf8(*v);
        if (auto v = a.Get("--params")) base.parameters = pal::host::FromUtf8(*v);
        if (auto v = a.Get("--user")) base.user = pal::host::FromUtf8(*v);
        base.copies = NumberOption(a, "--copies");
        base.pauseAfterMs = NumberOption(a, "--pause-after");
        base.resumeAfterMs = NumberOption(a, "--resume-after");
        base.cancelAfterMs = NumberOption(a, "--cancel-after");
        if (auto t = NumberOption(a, "--timeout")) base.timeoutMs = *t;
        if (auto v = a.Get("--devmode")) base.devmode = ReadDevmode(*v);
        if (base.datatype.empty()) throw UsageError{"--datatype must not be empty"};

        std::vector<JobOptions> jobs;
        for (const std::string& file : a.positional) {
            JobOptions job = base;
            job.data = ReadFileBytes(file, "job file");
            const auto document = a.Get("--document");
            job.document = pal::host::FromUtf8(document ? *document : fs::path(file).filename().string());
            jobs.push_back(std::move(job));
        }

        const bool quiet = a.Flag("--quiet");
        auto machine = MakeMachine(MachineOptionsFrom(a));
        if (!machine->PrinterExists(base.printer)) {
            std::string known;
            for (const auto& name : pal::host::PrinterNames()) {
                known += (known.empty() ? "" : ", ") + ("\"" + pal::host::ToUtf8(name) + "\"");
            }
            throw UsageError{"unknown printer \"" + pal::host::ToUtf8(base.printer) + "\" (printers: " +
                             (known.empty() ? "none" : known) + ")"};
        }
        if (!quiet) ShowMachine(*machine);
        if (!Load(*machine, quiet)) return kExitJobFailed;
        const int code = RunJobs(*machine, jobs, quiet, false);
        Unload(*machine, quiet);
        return code;
    }

    int MachineReg(const ParsedArgs& a) {
        if (a.help) {
            m_out << kMachineHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"machine takes no arguments"};
        MachineOptions options = MachineOptionsFrom(a);
        options.registryOnly = true;
        auto machine = MakeMachine(options);
        m_out << pal::host::ExportRegistry();
        return kExitOk;
    }

    int Printers(const ParsedArgs& a) {
        if (a.help) {
            m_out << kPrintersHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"printers takes no arguments"};
        MachineOptions options = MachineOptionsFrom(a);
        options.registryOnly = true;
        auto machine = MakeMachine(options);
        m_out << FormatPrinters(machine->Printers());
        return kExitOk;
    }

    int Datatypes(const ParsedArgs& a) {
        if (a.help) {
            m_out << kDatatypesHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"datatypes takes no arguments"};
        auto machine = MakeMachine(MachineOptionsFrom(a));
        if (!Load(*machine, true)) return kExitJobFailed;
        std::string error;
        const auto names = machine->Datatypes(&error);
        machine->UnloadPrintProcessor();
        if (!error.empty()) return Fail(kExitJobFailed, error);
        for (const auto& name : names) m_out << pal::host::ToUtf8(name) << "\n";
        return kExitOk;
    }

    int Caps(const ParsedArgs& a) {
        if (a.help) {
            m_out << kCapsHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"caps takes no arguments (use -d DATATYPE)"};
        auto machine = MakeMachine(MachineOptionsFrom(a));
        if (!Load(*machine, true)) return kExitJobFailed;
        std::vector<std::u16string> names;
        if (auto d = a.Get("--datatype")) {
            names.push_back(pal::host::FromUtf8(*d));
        } else {
            std::string error;
            names = machine->Datatypes(&error);
            if (!error.empty()) {
                machine->UnloadPrintProcessor();
                return Fail(kExitJobFailed, error);
            }
        }
        for (const auto& name : names) m_out << FormatCapabilities(machine->Capabilities(name));
        machine->UnloadPrintProcessor();
        return kExitOk;
    }

private:
    std::ostream& m_out;
    std::ostream& m_err;
};

} // namespace

int RunQlspool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Command cmd(out, err);
    try {
        size_t first = 0;
        std::string command = "demo";
        if (!args.empty() && !args[0].empty() && args[0][0] != '-') {
            command = args[0];
            first = 1;
        } else if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
            out << kMainHelp;
            return kExitOk;
        }
        if (command == "help") {
            out << kMainHelp;
            return kExitOk;
        }
        if (command == "demo") return cmd.Demo(Parse(args, first, command, {{}, {"--quiet"}}));
        if (command == "print") {
            return cmd.Print(Parse(args, first, command,
                                   {{"--printer", "--datatype", "--document", "--params", "--copies", "--user",
                                     "--devmode", "--pause-after", "--resume-after", "--cancel-after", "--timeout"},
                                    {"--quiet"}}));
        }
        if (command == "machine") return cmd.MachineReg(Parse(args, first, command, {}));
        if (command == "printers") return cmd.Printers(Parse(args, first, command, {}));
        if (command == "datatypes") return cmd.Datatypes(Parse(args, first, command, {}));
        if (command == "caps") return cmd.Caps(Parse(args, first, command, {{"--datatype"}, {}}));
        throw UsageError{"unknown command \"" + command + "\" (see qlspool --help)"};
    } catch (const UsageError& e) {
        return cmd.Fail(kExitBadInput, e.message);
    }
}

} // namespace qlhost

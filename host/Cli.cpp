#include "host/Cli.h"
#include "host/CliArgs.h"
#include "host/DefaultMachine.h"
#include "host/Events.h"
#include "host/PdfPages.h"
#include "host/Machine.h"
#include "host/Report.h"
#include "host/SampleJobs.h"
#include "host/Parallel.h"
#include "host/Stress.h"
#include "host/Summary.h"
#include "tools/lib/EmzPack.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace qlhost {

namespace {


constexpr const char kMainHelp[] =
    "Usage: qlspool [COMMAND] [OPTIONS]\n"
    "\n"
    "Runs print jobs through the print processor library qlwinprn.dll the way\n"
    "the spooler does, on a simulated machine (registry, printers, ports).\n"
    "\n"
    "Commands:\n"
    "  demo        run the built-in sample jobs on the built-in machine (the default)\n"
    "  print       run files as print jobs\n"
    "  pack        pack a file into an \"%%EMZ\" compressed print stream\n"
    "  spool       write an EMF spool file of synthetic pages (the spool toolkit)\n"
    "  inspect     list what a gateway transport stream or a spool file holds, or\n"
    "              write back the spool file a transport stream stands for\n"
    "  machine     print the machine as a .reg file\n"
    "  datatypes   list the datatypes the library reports\n"
    "  caps        show the library's capabilities for each datatype\n"
    "  printers    list the machine's printers with driver and port\n"
    "  events      list the machine's Application event log\n"
    "  stress      run many concurrent jobs of every kind and check each outcome\n"
    "\n"
    "Examples:\n"
    "  qlspool                                  the demo: the built-in sample jobs\n"
    "  qlspool print --printer \"QL Spool Bridge\" job.spl\n"
    "  qlspool inspect qlspool-machine/ports/QLPORT3_\n"
    "\n"
    "Run `qlspool COMMAND --help` for the options of a command, `qlspool --version`\n"
    "for the version.\n"
    "Exit status: 0 success, 1 a job failed or the library could not be loaded,\n"
    "2 bad input (option, file, .reg, printer or datatype); `spool` and `inspect`\n"
    "exit as their --help says.\n";

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
    "a RAW text page on \"Office Laser\", the same kind of page packed into an\n"
    "\"%%EMZ\" compressed print stream (datatype RAW, decoded while it prints)\n"
    "and the main job, a gateway job: a three-page \"NT EMF 1.008\" spool file\n"
    "made by the spool toolkit (bitmaps of 1, 8 and 24 bits per pixel, a font,\n"
    "a device mode with the driver's \"QLEX\" extension and \"QLPD\" trailer)\n"
    "printed on \"QL Spool Bridge (cached)\" (image cache on: the logo of every\n"
    "page after the first is sent as a reference to the first), and a one-page\n"
    "job on \"QL PDF Bridge\" whose document name names the JDF ticket the demo\n"
    "leaves in C:\\QLWinPrn\\jdf (sent in a JDF block and deleted). Every gateway\n"
    "stream carries the machine's watermark page (C:\\QLWinPrn\\watermark.spl,\n"
    "made when the drive root is new; remove it to see the event \"QLWinPrn:\n"
    "Configured watermark not found.\" in `qlspool events`). For each job it\n"
    "prints what each entry point\n"
    "returned, what the ports and the port monitor received, the identities the\n"
    "job ran under and the debug log lines; the transport stream the gateway\n"
    "printer's port received is listed as the stream inspector reads it.\n"
    "Then a TEXT job (tabs, a wrapped line, a form feed) and an EMF job (two\n"
    "pages with text and bitmaps, made by the spool toolkit) print on \"Office\n"
    "Laser\", which renders them into PDF documents on its port; each PDF is\n"
    "also saved as a file of its own, and the report says where.\n"
    "Last, a two-page gateway job on \"QL Spool Bridge (native)\" prints natively\n"
    "(AGNP): the view library decodes it and prints it on \"Office Laser\" and,\n"
    "as a virtual copy, on \"Office Copier\"; the spooler job is cancelled.\n"
    "It exits with 0 when the jobs ran through the entry points, whatever\n"
    "the entry points returned.\n"
    "\n"
    "Options:\n"
    "  --verbose            add each job's full report: entry points, port\n"
    "                       documents with their stream listings, port monitor\n"
    "                       calls, identities and the debug log\n"
    "  --quiet              with --verbose, leave out the debug log lines\n";

constexpr const char kPrintHelp[] =
    "Usage: qlspool print [OPTIONS] FILE...\n"
    "\n"
    "Submits each FILE as a job and runs it through OpenPrintProcessor,\n"
    "PrintDocumentOnPrintProcessor (on a printing thread), ControlPrintProcessor\n"
    "(from another thread) and ClosePrintProcessor. Output that a gateway\n"
    "printer's port received (a transport stream beginning with \"%%EMF\") is\n"
    "listed as `qlspool inspect` reads it.\n"
    "\n"
    "Job options:\n"
    "  --printer P          printer (default \"Office Laser\")\n"
    "  --datatype D         datatype (default: \"NT EMF 1.008\" for a file that begins\n"
    "                       with an EMF spool file header, else RAW)\n"
    "  --document NAME      document name (default: the file's name)\n"
    "  --params S           the job's parameter string, e.g. \"TABS=4;\"\n"
    "  --copies N           adds \"COPIES=N;\" to the parameters\n"
    "  --user U             the job's user (default \"user\")\n"
    "  --devmode FILE       a DEVMODEW block passed with the job\n"
    "  --pause-after MS     pause the job MS milliseconds after printing started\n"
    "                       (0: before it starts)\n"
    "  --resume-after MS    resume it MS milliseconds after printing started\n"
    "  --cancel-after MS    cancel it MS milliseconds after printing started\n"
    "  --timeout MS         cancel a job still printing this long after the last\n"
    "                       control command (default 30000)\n"
    "  --fault CALL:AT[:EFFECT]\n"
    "                       make a spooler call misbehave during each job (may be\n"
    "                       given more than once). For WritePrinter and ReadPrinter\n"
    "                       AT is a byte of the document (or of the job's data):\n"
    "                       the call that reaches it transfers the bytes before it\n"
    "                       and then fails; for other calls (OpenPrinterW,\n"
    "                       StartDocPrinterW, EndDocPrinter, ...) AT is the number\n"
    "                       of calls that pass first. EFFECT is an error code\n"
    "                       (number or name, default 31 ERROR_GEN_FAILURE: every\n"
    "                       call from then on fails) or \"short\" (WritePrinter,\n"
    "                       ReadPrinter: the call takes only the bytes before AT,\n"
    "                       once), e.g. --fault WritePrinter:5000\n"
    "                       --fault WritePrinter:100:short --fault OpenPrinterW:2:5\n"
    "                       GdiPlayEMF:N makes the EMF renderer crash in the\n"
    "                       playback after N playbacks\n"
    "                       SpoolFileWrite:BYTE fails the write of the job's spool\n"
    "                       file at that byte (a full disk: ERROR_DISK_FULL)\n"
    "  --temp-font FILE[=FACE]\n"
    "                       install the font file FILE as a temporary font of\n"
    "                       the job's application under the face name FACE\n"
    "                       (default: the file's name without extension plus\n"
    "                       \".tmp\"); may be given more than once\n"
    "  --parallel N         print the files as concurrent jobs on N threads, each\n"
    "                       job on a printing thread of its own (documents for the\n"
    "                       same port still reach it one after the other)\n"
    "  --png DIR            render each PDF document the ports received (text and\n"
    "                       EMF jobs on ordinary printers) to PNG pages in DIR\n"
    "                       (needs pdftoppm)\n"
    "  --verbose            add each job's full report: entry points, port\n"
    "                       documents with their stream listings, port monitor\n"
    "                       calls, identities and the debug log\n"
    "  --quiet              with --verbose, leave out the debug log lines\n";

constexpr const char kPackHelp[] =
    "Usage: qlspool pack [OPTIONS] IN OUT\n"
    "\n"
    "Packs the file IN into an \"%%EMZ\" compressed print stream written to OUT:\n"
    "blocks of \"%%EMZ\", a u32 header value, a u32 payload length and the payload,\n"
    "whose payloads together form one or more zlib streams. Block boundaries and\n"
    "zlib stream boundaries are independent, so streams may span blocks and a\n"
    "block may hold several streams. Print the result with\n"
    "`qlspool print OUT` (any raw datatype): the print processor decodes it.\n"
    "\n"
    "Options:\n"
    "  --block-size N       payload bytes per block, 1 .. 4294967295 (default 32768)\n"
    "  --stream-size N      input bytes per zlib stream; 0 = one stream (default 0)\n"
    "  --level N            zlib level, -1 .. 9 (default -1, zlib's default)\n"
    "  --header-value N     value written into every block header (default 0)\n"
    "  --empty-block        append a block with payload length 0\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal. Exit status: 0 done,\n"
    "1 OUT could not be written, 2 bad input (option, unreadable IN).\n";

constexpr const char kSpoolIntro[] =
    "qlspool spool: the spool toolkit, also built as the command qlspoolgen.\n"
    "Print the file with `qlspool print --printer \"QL Spool Bridge\" OUT.spl`.\n"
    "\n";

constexpr const char kInspectIntro[] =
    "qlspool inspect: the stream inspector, also built as the command qlstream.\n"
    "The port output of a job is in the port's file (see `qlspool print`);\n"
    "`qlspool inspect --restore OUT.spl FILE` turns it back into a spool file.\n"
    "\n";

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

// The toolkit commands name themselves (qlspoolgen, qlstream); run under
// qlspool, their help and messages name the qlspool command instead. Outside
// the help only the lines the command itself begins with its name change, so
// listings of user data pass through untouched.
std::string Retitle(const std::string& text, const std::string& tool, const std::string& command, bool help) {
    std::string result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (help) {
            if (line.rfind("usage: ", 0) == 0) line[0] = 'U';
            for (size_t at = line.find(tool); at != std::string::npos; at = line.find(tool, at + command.size())) {
                line.replace(at, tool.size(), command);
            }
        } else {
            if (line.rfind(tool + ": ", 0) == 0) line.replace(0, tool.size(), command);
            const std::string see = "(see " + tool + " --help)";
            if (line == see) line = "(see " + command + " --help)";
        }
        result += line;
        if (!in.eof()) result += '\n';
    }
    return result;
}

bool WantsHelp(const std::vector<std::string>& args) {
    return std::find_if(args.begin(), args.end(), [](const std::string& a) { return a == "--help" || a == "-h"; }) !=
           args.end();
}

// Files that begin with the EMF spool file header record (type 0x00010000).
bool IsSpoolFile(const std::vector<uint8_t>& data) {
    return data.size() >= 8 && data[0] == 0x00 && data[1] == 0x00 && data[2] == 0x01 && data[3] == 0x00;
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

    // Runs jobs and returns the exit code. The report leads with a summary
    // table and each job's highlights; verbose adds every job's full report
    // (entry points, port documents with their stream listings, port monitor
    // calls, identities, and the debug log unless quiet).
    int RunJobs(Machine& machine, const std::vector<JobOptions>& jobs, bool quiet, bool verbose, bool demo,
                unsigned parallel = 0) {
        int code = kExitOk;
        unsigned printed = 0, failed = 0;
        std::vector<JobReport> reports;
        if (parallel) reports = RunJobsInParallel(machine, jobs, parallel);
        reports.resize(jobs.size());
        std::vector<JobSummaryRow> rows;
        std::string pdfLines;
        for (size_t i = 0; i < jobs.size(); ++i) {
            const JobOptions& job = jobs[i];
            if (!parallel) reports[i] = machine.RunJob(job);
            const JobReport& report = reports[i];
            if (verbose) m_out << FormatJobReport(report, !quiet) << "\n";
            const std::string saved = SavePdfDocuments(report, m_pngDir);
            if (verbose) m_out << saved;
            else pdfLines += saved;
            std::string outcome;
            if (!report.error.empty()) {
                Fail(kExitBadInput, report.error);
                code = std::max(code, kExitBadInput);
                outcome = "not run: " + report.error;
                ++failed;
            } else if (report.UnknownDatatype()) {
                Fail(kExitBadInput, "unknown datatype \"" + pal::host::ToUtf8(job.datatype) +
                                        "\": OpenPrintProcessor failed with error " +
                                        DescribeError(report.openError));
                code = std::max(code, kExitBadInput);
                outcome = "unknown datatype";
                ++failed;
            } else if (const std::string why = report.Succeeded() ? OutputCheckFailure(report) : ""; !why.empty()) {
                Fail(kExitJobFailed, "job " + std::to_string(report.jobId) + " printed, but " + why);
                code = std::max(code, kExitJobFailed);
                outcome = "output check failed";
                ++failed;
            } else if (report.Succeeded()) {
                outcome = "printed";
                ++printed;
            } else {
                ++failed;
                if (!demo) code = std::max(code, kExitJobFailed);
                outcome = !report.opened  ? "failed: OpenPrintProcessor error " + std::to_string(report.openError)
                          : report.printed ? "failed: error " + std::to_string(report.printError)
                                           : "failed";
            }
            rows.push_back({&report, std::move(outcome)});
        }
        if (!verbose) {
            for (const JobReport& report : reports) m_out << FormatJobHighlights(report);
            m_out << pdfLines;
        }
        m_out << "\n" << FormatJobSummary(rows);
        m_out << jobs.size() << " job(s): " << printed << " printed, " << failed << " failed"
              << (verbose ? "" : " (--verbose for the full reports)") << "\n";
        return code;
    }

    int Demo(const ParsedArgs& a) {
        if (a.help) {
            m_out << kDemoHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"demo takes no arguments (got \"" + a.positional[0] + "\")"};
        const bool quiet = a.Flag("--quiet"), verbose = a.Flag("--verbose");
        auto machine = MakeMachine(MachineOptionsFrom(a));
        ShowMachine(*machine);
        if (!Load(*machine, quiet || !verbose)) return kExitJobFailed;

        std::vector<JobOptions> jobs(4);
        jobs[0].printer = u"Office Laser";
        jobs[0].datatype = u"RAW";
        jobs[0].document = u"qlspool sample page";
        jobs[0].data = SampleTextPage();
        jobs[1].printer = u"Office Laser";
        jobs[1].datatype = u"RAW";
        jobs[1].document = u"qlspool packed sample page";
        jobs[1].data = SamplePackedJob(SampleLongTextPage());
        jobs[2].printer = u"QL Spool Bridge (compressed)";
        jobs[2].datatype = u"NT EMF 1.008";
        jobs[2].document = u"qlspool gateway sample";
        jobs[2].data = SampleGatewaySpool(u"QL Spool Bridge (compressed)");
        jobs[2].devmode = SampleGatewayDevmode(u"QL Spool Bridge (compressed)");
        jobs[2].temporaryFonts = SampleTemporaryFonts();
        jobs[3].printer = u"QL PDF Bridge";
        jobs[3].datatype = u"NT EMF 1.008";
        jobs[3].document = PlaceSampleTicket();
        jobs[3].data = SampleEmfSpool(u"QL PDF Bridge");
        // Ordinary printers render text and EMF jobs into a PDF on their port.
        JobOptions text;
        text.printer = u"Office Laser";
        text.datatype = u"TEXT";
        text.document = u"qlspool text sample";
        text.data = SampleTextJob();
        jobs.push_back(std::move(text));
        JobOptions emf;
        emf.printer = u"Office Laser";
        emf.datatype = u"NT EMF 1.008";
        emf.document = u"qlspool EMF sample";
        emf.data = SamplePlaybackSpool();
        jobs.push_back(std::move(emf));
        // A gateway job printed natively (AGNP) on "Office Laser", with a
        // virtual copy on "Office Copier": each printer's port gets a PDF.
        JobOptions native;
        native.printer = u"QL Spool Bridge (native)";
        native.datatype = u"NT EMF 1.008";
        native.document = u"qlspool native sample";
        native.data = SampleNativeSpool(native.printer);
        native.devmode = SampleGatewayDevmode(native.printer);
        jobs.push_back(std::move(native));
        const int code = RunJobs(*machine, jobs, quiet, verbose, true);
        std::error_code ec;
        m_out << "JDF ticket " << pal::host::ToUtf8(SampleTicketPath())
              << (fs::exists(pal::host::MapPath(SampleTicketPath()), ec) ? ": still there" : ": consumed") << "\n";
        Unload(*machine, quiet || !verbose);
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
        const auto datatype = a.Get("--datatype");
        if (datatype) base.datatype = pal::host::FromUtf8(*datatype);
        if (auto v = a.Get("--params")) base.parameters = pal::host::FromUtf8(*v);
        if (auto v = a.Get("--user")) base.user = pal::host::FromUtf8(*v);
        base.copies = NumberOption(a, "--copies");
        base.pauseAfterMs = NumberOption(a, "--pause-after");
        base.resumeAfterMs = NumberOption(a, "--resume-after");
        base.cancelAfterMs = NumberOption(a, "--cancel-after");
        if (auto t = NumberOption(a, "--timeout")) base.timeoutMs = *t;
        if (auto v = a.Get("--devmode")) base.devmode = ReadDevmode(*v);
        if (auto v = a.Get("--png")) m_pngDir = *v;
        if (base.datatype.empty()) throw UsageError{"--datatype must not be empty"};
        if (auto it = a.every.find("--fault"); it != a.every.end()) {
            for (const std::string& text : it->second) base.faults.push_back(ParseFault(text));
        }
        if (auto it = a.every.find("--temp-font"); it != a.every.end()) {
            for (const std::string& text : it->second) base.temporaryFonts.push_back(ParseTemporaryFont(text));
        }

        std::vector<JobOptions> jobs;
        for (const std::string& file : a.positional) {
            JobOptions job = base;
            // The job is submitted from the file as it is read, in large blocks.
            job.dataFile = file;
            if (!datatype && IsSpoolFile(ReadFileHead(file, 8))) job.datatype = u"NT EMF 1.008";
            const auto document = a.Get("--document");
            job.document = pal::host::FromUtf8(document ? *document : fs::path(file).filename().string());
            jobs.push_back(std::move(job));
        }

        const bool quiet = a.Flag("--quiet"), verbose = a.Flag("--verbose");
        auto machine = MakeMachine(MachineOptionsFrom(a));
        if (!machine->PrinterExists(base.printer)) {
            std::string known;
            for (const auto& name : pal::host::PrinterNames()) {
                known += (known.empty() ? "" : ", ") + ("\"" + pal::host::ToUtf8(name) + "\"");
            }
            throw UsageError{"unknown printer \"" + pal::host::ToUtf8(base.printer) + "\" (printers: " +
                             (known.empty() ? "none" : known) + ")"};
        }
        if (verbose && !quiet) ShowMachine(*machine);
        if (!Load(*machine, quiet || !verbose)) return kExitJobFailed;
        const auto parallel = NumberOption(a, "--parallel");
        if (parallel && *parallel == 0) throw UsageError{"--parallel needs at least 1 thread"};
        if (parallel && !base.faults.empty()) throw UsageError{"--fault cannot be used with --parallel"};
        const int code = RunJobs(*machine, jobs, quiet, verbose, false, parallel.value_or(0));
        Unload(*machine, quiet || !verbose);
        return code;
    }

    int Stress(const ParsedArgs& a) {
        if (a.help) {
            m_out << kStressHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"stress takes no arguments"};
        StressOptions o;
        if (auto v = NumberOption(a, "--threads")) o.threads = *v;
        if (auto v = NumberOption(a, "--jobs")) o.jobs = *v;
        if (auto v = a.Get("--seed")) o.seed = UnsignedOption("--seed", *v, 0, 0xFFFFFFFFFFFFull);
        auto share = [&](const char* option, unsigned& to) {
            auto v = a.Get(option);
            if (!v) return;
            std::string text = *v;
            if (!text.empty() && text.back() == '%') text.pop_back();
            to = ParseNumber(option, text);
            if (to > 100) throw UsageError{std::string("bad value for ") + option + ": more than 100 %"};
        };
        share("--cancel", o.cancelPercent);
        share("--pause", o.pausePercent);
        if (auto v = a.Get("--corpus")) o.corpusDir = *v;
        if (o.threads == 0 || o.jobs == 0) throw UsageError{"--threads and --jobs need at least 1"};
        auto machine = MakeMachine(MachineOptionsFrom(a));
        if (!Load(*machine, true)) return kExitJobFailed;
        const bool ok = RunStress(*machine, o, m_out, m_err);
        Unload(*machine, true);
        return ok ? kExitOk : kExitJobFailed;
    }

    int Pack(const ParsedArgs& a) {
        if (a.help) {
            m_out << kPackHelp;
            return kExitOk;
        }
        qltools::EmzPackOptions options;
        if (auto v = a.Get("--block-size")) options.blockSize = UnsignedOption("--block-size", *v, 1, 0xFFFFFFFFull);
        if (auto v = a.Get("--stream-size")) {
            options.streamInputSize = UnsignedOption("--stream-size", *v, 0, 0xFFFFFFFFFFFFull);
        }
        if (auto v = a.Get("--level")) {
            options.level = *v == "-1" ? -1 : static_cast<int>(UnsignedOption("--level", *v, 0, 9));
        }
        if (auto v = a.Get("--header-value")) {
            options.headerValue = static_cast<uint32_t>(UnsignedOption("--header-value", *v, 0, 0xFFFFFFFFull));
        }
        options.trailingEmptyBlock = a.Flag("--empty-block");
        if (a.positional.size() != 2) {
            throw UsageError{"pack needs IN and OUT files, got " + std::to_string(a.positional.size()) +
                             " (see qlspool pack --help)"};
        }
        const std::string& in = a.positional[0];
        const std::string& out = a.positional[1];
        const std::vector<uint8_t> input = ReadFileBytes(in, "input file");
        std::vector<uint8_t> packed;
        try {
            packed = qltools::EmzPack(input, options);
        } catch (const std::exception& e) {
            throw UsageError{std::string("cannot pack ") + in + ": " + e.what()};
        }
        std::ofstream file(out, std::ios::binary | std::ios::trunc);
        if (!file) return Fail(kExitJobFailed, "cannot create " + out + ": " + std::strerror(errno));
        file.write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(packed.size()));
        file.close();
        if (!file) return Fail(kExitJobFailed, "cannot write " + out);
        m_out << "packed " << in << " (" << input.size() << " bytes) into " << out << " (" << packed.size()
              << " bytes)\n";
        return kExitOk;
    }

    // `qlspool spool ...` and `qlspool inspect ...`: the toolkit commands with
    // their own options and exit codes.
    int Toolkit(const std::vector<std::string>& args, bool inspect) {
        const std::string tool = inspect ? "qlstream" : "qlspoolgen";
        const std::string command = inspect ? "qlspool inspect" : "qlspool spool";
        const bool help = WantsHelp(args);
        std::ostringstream out, err;
        const int code = inspect ? qltools::RunInspect(args, out, err) : qltools::RunSpoolGen(args, out, err);
        if (help) m_out << (inspect ? kInspectIntro : kSpoolIntro);
        m_out << Retitle(out.str(), tool, command, help);
        m_err << Retitle(err.str(), tool, command, false);
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

    int Events(const ParsedArgs& a) {
        if (a.help) {
            m_out << kEventsHelp << "\n" << kMachineOptionsHelp;
            return kExitOk;
        }
        if (!a.positional.empty()) throw UsageError{"events takes no arguments"};
        uint64_t since = 0;
        if (auto v = a.Get("--since")) since = UnsignedOption("--since", *v, 0, 0xFFFFFFFFFFFFull);
        auto machine = MakeMachine(MachineOptionsFrom(a));
        m_out << FormatEventLog(pal::host::ReadEventLog(), since, a.Flag("--json"));
        return kExitOk;
    }

private:
    std::ostream& m_out;
    std::ostream& m_err;
    std::string m_pngDir;  // print --png: where PDF pages go as PNG images
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
        } else if (!args.empty() && args[0] == "--version") {
            out << "qlspool " QL_VERSION " (print processor host; library qlwinprn " QL_VERSION ")\n";
            return kExitOk;
        }
        if (command == "help") {
            out << kMainHelp;
            return kExitOk;
        }
        if (command == "demo") return cmd.Demo(Parse(args, first, command, {{}, {"--quiet", "--verbose"}}));
        if (command == "print") {
            return cmd.Print(Parse(args, first, command,
                                   {{"--printer", "--datatype", "--document", "--params", "--copies", "--user",
                                     "--devmode", "--pause-after", "--resume-after", "--cancel-after", "--timeout",
                                     "--fault", "--png", "--temp-font", "--parallel"},
                                    {"--quiet", "--verbose"}}));
        }
        if (command == "pack") {
            return cmd.Pack(Parse(args, first, command,
                                  {{"--block-size", "--stream-size", "--level", "--header-value"}, {"--empty-block"}}));
        }
        if (command == "spool" || command == "inspect") {
            return cmd.Toolkit(std::vector<std::string>(args.begin() + static_cast<std::ptrdiff_t>(first), args.end()),
                               command == "inspect");
        }
        if (command == "machine") return cmd.MachineReg(Parse(args, first, command, {}));
        if (command == "printers") return cmd.Printers(Parse(args, first, command, {}));
        if (command == "datatypes") return cmd.Datatypes(Parse(args, first, command, {}));
        if (command == "events") return cmd.Events(Parse(args, first, command, {{"--since"}, {"--json"}}));
        if (command == "stress") {
            return cmd.Stress(
                Parse(args, first, command, {{"--threads", "--jobs", "--cancel", "--pause", "--seed", "--corpus"}, {}}));
        }
        if (command == "caps") return cmd.Caps(Parse(args, first, command, {{"--datatype"}, {}}));
        throw UsageError{"unknown command \"" + command + "\" (see qlspool --help)"};
    } catch (const UsageError& e) {
        return cmd.Fail(kExitBadInput, e.message);
    }
}

} // namespace qlhost

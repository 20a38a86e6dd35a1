// The qlstream command: lists a stream, checks it, writes its logical stream
// or the spool file it stands for.
#include "tools/lib/StreamReader.h"

#include "tools/lib/BitmapTransforms.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"

#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <ostream>

namespace qltools {

namespace {

constexpr char kUsage[] =
    "usage: qlstream [OPTIONS] FILE\n"
    "\n"
    "Lists a gateway transport stream: the \"%%EMF\" marker, the device mode block\n"
    "and its form, the JDF and watermark blocks, the data and hole blocks of framed\n"
    "output and every spool record with its type and size; for page records the\n"
    "EMF record counts by type (0x8000 compressed, 0x8001 deleted and 0x8002 cached\n"
    "bitmaps included). A plain EMF spool file is listed the same way. The copies\n"
    "of a job (one stream each) are listed one after the other.\n"
    "\n"
    "Every cached bitmap (0x8002) is checked: its distance must lead to the first\n"
    "byte of an earlier bitmap record (81, 0x8000 or 0x8001) of the job whose image\n"
    "number is the one it names. Every compressed bitmap (0x8000) is decoded: its\n"
    "JPEG 2000 stream must give the width and height of its BITMAPINFOHEADER; the\n"
    "text output lists the bitmaps (as --report) when there are compressed ones.\n"
    "\n"
    "  --json             machine-readable output\n"
    "  --logical OUT      write the receiver's logical stream (framing removed, holes\n"
    "                     filled with zeros) to OUT; only for a well-formed stream\n"
    "  --no-blocks        do not list the framing blocks one by one (text output)\n"
    "  --restore OUT      write the EMF spool file the stream stands for to OUT: the\n"
    "                     records without marker and header blocks, every cached\n"
    "                     bitmap expanded again; compressed and deleted bitmaps (and\n"
    "                     cached ones that name them) stay as they are\n"
    "  --copy N           with --restore: the copy to restore (default 1)\n"
    "  --drop-fonts       with --restore: leave out the engine-font records (type 2)\n"
    "                     the sender inserts, and shorten the back distances of\n"
    "                     extension records across them\n"
    "  --images-per-copy  count image numbers and positions from each copy's start\n"
    "                     (the sender counts them once per job)\n"
    "  --report           list every bitmap record and what the gateway did to it\n"
    "                     (kept, reduced, cached, deleted, compressed with its ratio),\n"
    "                     with the bytes each step saved\n"
    "  --input SPL        the spool file the job was printed from: the report adds\n"
    "                     each compressed bitmap's PSNR and each reduced one's size\n"
    "  --lossy            with --restore: compressed bitmaps become 24-bit\n"
    "                     EMR_STRETCHDIBITS records of their decoded pixels\n"
    "  --help             show this text\n"
    "\n"
    "Exit codes: 0 well-formed, 1 malformed or a cached bitmap that does not\n"
    "resolve (where and why on standard error), 2 bad arguments or I/O error,\n"
    "3 spool file restored but with records left that cannot be restored.\n";


} // namespace

int RunInspect(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        bool json = false, listBlocks = true, dropFonts = false, perCopy = false, transforms = false, lossy = false;
        std::optional<std::string> logicalPath, inputPath, restorePath, originalPath;
        std::optional<uint32_t> copy;
        auto value = [&](size_t& i, const std::string& option) -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                err << "qlstream: " << option << ": missing value\n";
                return std::nullopt;
            }
            return args[++i];
        };
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--help" || a == "-h") {
                out << kUsage;
                return 0;
            } else if (a == "--json") {
                json = true;
            } else if (a == "--no-blocks") {
                listBlocks = false;
            } else if (a == "--drop-fonts") {
                dropFonts = true;
            } else if (a == "--images-per-copy") {
                perCopy = true;
            } else if (a == "--report" || a == "--lossy") {
                (a == "--report" ? transforms : lossy) = true;
            } else if (a == "--input") {
                if (!(originalPath = value(i, a))) return 2;
            } else if (a == "--logical" || a == "--restore") {
                const auto path = value(i, a);
                if (!path) return 2;
                (a == "--logical" ? logicalPath : restorePath) = *path;
            } else if (a == "--copy") {
                const auto text = value(i, a);
                if (!text) return 2;
                char* end = nullptr;
                const unsigned long n = std::strtoul(text->c_str(), &end, 10);
                if (text->empty() || *end != 0 || n < 1 || n > 0xFFFF) {
                    err << "qlstream: --copy: " << *text << " is not a copy number (1, 2, ...)\n";
                    return 2;
                }
                copy = static_cast<uint32_t>(n - 1);
            } else if (a.size() > 1 && a[0] == '-') {
                err << "qlstream: unknown option " << a << "\n(see qlstream --help)\n";
                return 2;
            } else if (inputPath) {
                err << "qlstream: only one input file, got also " << a << "\n";
                return 2;
            } else {
                inputPath = a;
            }
        }
        if (!inputPath) {
            err << "qlstream: no input file given\n(see qlstream --help)\n";
            return 2;
        }
        if ((copy || dropFonts || lossy) && !restorePath) {
            err << "qlstream: --copy, --drop-fonts and --lossy go with --restore\n";
            return 2;
        }
        if (!std::ifstream(*inputPath, std::ios::binary)) {
            err << "qlstream: cannot read " << *inputPath << "\n";
            return 2;
        }
        InspectOptions options;
        options.allCopies = true;
        options.imagesPerCopy = perCopy;
        // The listing reads the file through a window. The stream's bytes are
        // held only for what needs them: the logical stream, the restore, the
        // bitmap report, and the check of compressed bitmaps of streams small
        // enough to hold.
        InspectReport report = InspectFile(*inputPath, 0, std::nullopt, options);
        std::optional<std::vector<uint8_t>> data;
        const bool needBytes = logicalPath || restorePath || transforms || originalPath || lossy;
        const uint64_t logicalBytes = report.copies.empty() ? 0 : report.copies.back().logicalEnd;
        if (report.ok && (needBytes || logicalBytes <= options.maxLogicalBytes)) {
            data = ReadWholeFile(*inputPath);
            if (!data) {
                err << "qlstream: cannot read " << *inputPath << "\n";
                return 2;
            }
            options.keepLogical = true;
            report = InspectStream(*data, options);
        }
        if (!(json && transforms)) out << (json ? FormatReportJson(report) : FormatReportText(report, listBlocks));
        if (!report.ok) {
            err << "qlstream: " << *inputPath << ": malformed: " << report.error << "\n";
            return 1;
        }
        if (!report.ReferencesResolve()) {
            err << "qlstream: " << *inputPath << ": " << report.references.size() - report.resolvedReferences << " of "
                << report.references.size() << " cached bitmaps do not resolve";
            for (const BitmapReference& ref : report.references)
                if (!ref.problem.empty()) {
                    err << "; first: " << ref.problem;
                    break;
                }
            err << "\n";
            return 1;
        }
        auto write = [&](const std::string& path, const std::vector<uint8_t>& bytes) {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            file.close();
            if (!file) err << "qlstream: cannot write " << path << "\n";
            return static_cast<bool>(file);
        };
        if (logicalPath && !write(*logicalPath, report.logical)) return 2;
        std::vector<uint8_t> original;
        if (originalPath) {
            auto bytes = ReadWholeFile(*originalPath);
            if (!bytes) {
                err << "qlstream: cannot read " << *originalPath << "\n";
                return 2;
            }
            original = std::move(*bytes);
        }
        const TransformReport bitmaps = data ? AnalyseBitmaps(report, original, lossy) : TransformReport{};
        // Compressed bitmaps are always listed with what their streams decode to.
        if (transforms || (!json && bitmaps.Count(BitmapAction::Compressed) > 0))
            out << (json ? FormatTransformJson(bitmaps) : FormatTransformText(bitmaps));
        if (!bitmaps.ok) {
            err << "qlstream: " << *inputPath << ": " << bitmaps.error << "\n";
            return 1;
        }
        if (restorePath) {
            RestoreOptions restore;
            restore.copy = copy.value_or(0);
            restore.dropEngineFonts = dropFonts;
            restore.imagesPerCopy = perCopy;
            RestoreResult r = RestoreSpool(*data, restore);
            if (r.ok && lossy) {
                std::string why;
                const auto replaced = RestoreCompressedBitmaps(r.spool, bitmaps, restore.copy, &why);
                if (!replaced) {
                    err << "qlstream: " << *inputPath << ": cannot restore compressed bitmaps: " << why << "\n";
                    return 1;
                }
                r.leftPrivate -= std::min(r.leftPrivate, *replaced);
                std::erase_if(r.left, [](const std::string& line) {
                    return line.find("(compressed)") != std::string::npos ||
                           line.find(" 0 deleted (0x8001)") != std::string::npos;
                });
            }
            if (!r.ok) {
                err << "qlstream: " << *inputPath << ": cannot restore: " << r.error << "\n";
                return r.error.rfind("there is no copy", 0) == 0 ? 2 : 1;
            }
            if (!write(*restorePath, r.spool)) return 2;
            if (!json)
                out << "restored copy " << restore.copy + 1 << " of " << r.copies << " to " << *restorePath << ": "
                    << r.spool.size() << " bytes, " << r.expanded << " cached bitmaps expanded, " << r.droppedFonts
                    << " font records dropped, " << r.leftPrivate << " bitmap records left as they are\n";
            for (const std::string& line : r.left) err << "qlstream: " << line << "\n";
            if (!r.Complete()) return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        err << "qlstream: " << e.what() << "\n";
        return 2;
    }
}

} // namespace qltools

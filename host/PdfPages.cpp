// Saves the PDF documents a job's port received and renders them to PNG.
#include "host/PdfPages.h"

#include "palhost.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

extern char** environ;

namespace qlhost {
namespace {

namespace fs = std::filesystem;

std::string SafeName(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_';
        out.push_back(plain ? char(c) : '_');
    }
    return out;
}

// Runs a program found on PATH and waits for it; its exit code, -1 when it
// could not run.
int RunProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::string SavePdfDocuments(const JobReport& report, const std::string& pngDir, int pngDpi) {
    std::ostringstream o;
    for (size_t i = 0; i < report.documents.size(); ++i) {
        const auto& doc = report.documents[i];
        // Only the first bytes are read to tell a PDF; the document is copied
        // out of the port file in blocks.
        std::ifstream in(doc.outputPath, std::ios::binary);
        char head[5] = {};
        in.seekg(static_cast<std::streamoff>(doc.offset));
        if (doc.bytes < 5 || !in.read(head, 5) || std::string(head, 5) != "%PDF-") continue;
        in.seekg(static_cast<std::streamoff>(doc.offset));
        const std::string name = SafeName(doc.port) + "-job" + std::to_string(report.jobId) + "-" + std::to_string(i + 1);
        const fs::path pdf = fs::path(pal::host::OutputDirectory()) / (name + ".pdf");
        std::ofstream out(pdf, std::ios::binary);
        std::vector<char> block(1u << 20);
        for (uint64_t left = doc.bytes; left > 0 && in;) {
            const auto n = static_cast<std::streamsize>(std::min<uint64_t>(left, block.size()));
            in.read(block.data(), n);
            out.write(block.data(), in.gcount());
            left -= static_cast<uint64_t>(in.gcount());
            if (in.gcount() == 0) break;
        }
        o << "PDF document \"" << pal::host::ToUtf8(doc.document) << "\": " << pdf.string() << "\n";
        if (pngDir.empty()) continue;
        std::error_code ec;
        fs::create_directories(pngDir, ec);
        const std::string prefix = (fs::path(pngDir) / name).string();
        const int rc = RunProgram({"pdftoppm", "-png", "-r", std::to_string(pngDpi), pdf.string(), prefix});
        if (rc == 0) {
            o << "  PNG pages: " << prefix << "-*.png\n";
        } else {
            o << "  PNG pages: pdftoppm failed (" << (rc < 0 ? "not installed?" : "exit " + std::to_string(rc))
              << ")\n";
        }
    }
    return o.str();
}

} // namespace qlhost

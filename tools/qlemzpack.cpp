// qlemzpack: packs any file into an "%%EMZ" compressed print stream.
//
//   qlemzpack [--block-size N] [--stream-size N] [--level N] [--header-value N] [--empty-block] IN OUT
//
// Exit codes: 0 done, 1 the output could not be written, 2 bad arguments or
// unreadable input.
#include "tools/lib/EmzPack.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: qlemzpack [--block-size N] [--stream-size N] [--level N] [--header-value N] [--empty-block] IN OUT\n"
    "\n"
    "Packs the file IN into an \"%%EMZ\" compressed print stream written to OUT.\n"
    "\n"
    "  --block-size N    payload bytes per block, 1 .. 4294967295 (default 32768)\n"
    "  --stream-size N   input bytes per zlib stream; 0 = one stream (default 0)\n"
    "  --level N         zlib level, -1 .. 9 (default -1)\n"
    "  --header-value N  value written into every block header (default 0)\n"
    "  --empty-block     append a block with payload length 0\n"
    "  --help            show this text\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal.\n";

int Fail(int code, const std::string& message) {
    std::cerr << "qlemzpack: " << message << "\n";
    return code;
}

// A whole unsigned number within [0, max], decimal or 0x hex.
std::optional<unsigned long long> ParseUnsigned(const std::string& text, unsigned long long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != 0 || v > max) return std::nullopt;
    return v;
}

std::optional<int> ParseLevel(const std::string& text) {
    if (text == "-1") return -1;
    auto v = ParseUnsigned(text, 9);
    if (!v) return std::nullopt;
    return static_cast<int>(*v);
}

} // namespace

int main(int argc, char** argv) {
    qltools::EmzPackOptions options;
    std::vector<std::string> files;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--block-size") {
            auto text = value();
            if (!text) return Fail(2, "--block-size needs a value");
            auto v = ParseUnsigned(*text, 0xFFFFFFFFull);
            if (!v || *v == 0) return Fail(2, "bad --block-size '" + *text + "': expected 1 .. 4294967295");
            options.blockSize = static_cast<size_t>(*v);
        } else if (arg == "--stream-size") {
            auto text = value();
            if (!text) return Fail(2, "--stream-size needs a value");
            auto v = ParseUnsigned(*text, static_cast<unsigned long long>(SIZE_MAX));
            if (!v) return Fail(2, "bad --stream-size '" + *text + "': expected a byte count");
            options.streamInputSize = static_cast<size_t>(*v);
        } else if (arg == "--level") {
            auto text = value();
            if (!text) return Fail(2, "--level needs a value");
            auto v = ParseLevel(*text);
            if (!v) return Fail(2, "bad --level '" + *text + "': expected -1 .. 9");
            options.level = *v;
        } else if (arg == "--header-value") {
            auto text = value();
            if (!text) return Fail(2, "--header-value needs a value");
            auto v = ParseUnsigned(*text, 0xFFFFFFFFull);
            if (!v) return Fail(2, "bad --header-value '" + *text + "': expected 0 .. 4294967295");
            options.headerValue = static_cast<uint32_t>(*v);
        } else if (arg == "--empty-block") {
            options.trailingEmptyBlock = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail(2, "unknown option '" + arg + "' (see --help)");
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return Fail(2, "expected IN and OUT files (see --help)");

    std::error_code ec;
    if (std::filesystem::is_directory(files[0], ec)) return Fail(2, "cannot read '" + files[0] + "': is a directory");
    std::ifstream in(files[0], std::ios::binary);
    if (!in) return Fail(2, "cannot open '" + files[0] + "': " + std::strerror(errno));
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail(2, "cannot read '" + files[0] + "'");

    std::vector<uint8_t> packed;
    try {
        packed = qltools::EmzPack(input, options);
    } catch (const std::exception& e) {
        return Fail(2, e.what());
    }

    std::ofstream out(files[1], std::ios::binary | std::ios::trunc);
    if (!out) return Fail(1, "cannot create '" + files[1] + "': " + std::strerror(errno));
    out.write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(packed.size()));
    out.close();
    if (!out) return Fail(1, "cannot write '" + files[1] + "'");
    return 0;
}

// Helpers of the toolkit tests: corpus access, EMF record walking and a
// transport stream framer for hand-made framed streams.
#pragma once

#include "tools/lib/EmfBuilder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

namespace toolkittest {

using Bytes = std::vector<uint8_t>;

inline std::filesystem::path CorpusDir(const char* sub) { return std::filesystem::path(QL_CORPUS_DIR) / sub; }

inline Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes data(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

inline std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// A temporary folder for command tests, removed with the object.
struct TempDir {
    std::filesystem::path dir;
    explicit TempDir(const char* name)
        : dir(std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& name) const { return (dir / name).string(); }
    std::string Write(const std::string& name, const Bytes& b) const {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return Path(name);
    }
};

// Offsets of the EMF records of one type in a page.
inline std::vector<size_t> RecordsOfType(const Bytes& emf, uint32_t type) {
    std::vector<size_t> found;
    for (size_t p = 0; p + 8 <= emf.size();) {
        const uint32_t t = qltools::GetU32(emf, p), size = qltools::GetU32(emf, p + 4);
        if (t == type) found.push_back(p);
        if (size < 8) break;
        p += size;
    }
    return found;
}

template <typename T>
T ReadStruct(const Bytes& b, size_t offset) {
    T v{};
    if (offset + sizeof(T) <= b.size()) std::memcpy(&v, b.data() + offset, sizeof(T));
    return v;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Frames `payload` as the job writer does: every range in `holes` (offset in
// the payload, length) becomes a hole block, every other range a data block;
// a data range is further cut at `cuts` (payload offsets, e.g. record starts).
inline Bytes Frame(const Bytes& payload, std::vector<std::pair<size_t, uint32_t>> holes,
                   std::vector<size_t> cuts = {}) {
    std::sort(holes.begin(), holes.end());
    std::sort(cuts.begin(), cuts.end());
    Bytes out;
    auto data = [&](size_t from, size_t to) {
        while (from < to) {
            size_t end = to;
            for (size_t c : cuts)
                if (c > from && c < end) end = c;
            qltools::AppendU32(out, 0x08080000);
            qltools::AppendU32(out, static_cast<uint32_t>(end - from));
            out.insert(out.end(), payload.begin() + static_cast<ptrdiff_t>(from),
                       payload.begin() + static_cast<ptrdiff_t>(end));
            from = end;
        }
    };
    size_t pos = 0;
    for (const auto& [at, length] : holes) {
        data(pos, at);
        qltools::AppendU32(out, 0x80800000);
        qltools::AppendU32(out, length);
        pos = at + length;
    }
    data(pos, payload.size());
    return out;
}

// The marker a transport stream begins with, and a header block.
inline Bytes Marker() { return Bytes{'%', '%', 'E', 'M', 'F'}; }

inline Bytes Block(uint8_t tag, const Bytes& payload) {
    Bytes b{tag};
    qltools::AppendU32(b, static_cast<uint32_t>(payload.size() + 5));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

} // namespace toolkittest

// The driver that replays a fuzz target's regression inputs without
// libFuzzer: every file named on the command line, or found in a directory
// named there, goes once through LLVMFuzzerTestOneInput. A crash or a
// sanitizer report ends the run; so does an input that takes a second or more.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Structure-aware targets call back into libFuzzer's mutator, which replay
// never runs.
extern "C" size_t LLVMFuzzerMutate(uint8_t*, size_t size, size_t) { return size; }

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& entry : fs::directory_iterator(argv[i], ec)) {
                if (entry.is_regular_file()) inputs.push_back(entry.path());
            }
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    int failures = 0;
    for (const fs::path& input : inputs) {
        std::ifstream in(input, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", input.c_str());
            ++failures;
            continue;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto start = std::chrono::steady_clock::now();
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-60s %8zu bytes %7.3f s\n", input.filename().c_str(), bytes.size(), seconds);
        if (seconds >= 1.0) {
            std::fprintf(stderr, "%s took %.3f s (limit 1 s)\n", input.c_str(), seconds);
            ++failures;
        }
    }
    std::printf("%zu inputs replayed, %d failed\n", inputs.size(), failures);
    return failures ? 1 : 0;
}

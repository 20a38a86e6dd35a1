// The qlemzpack command: packs like the library and refuses bad input. (The
// packer library itself is checked by the decoder tests, which decode its
// output back to the input.)
#include "EmzTestUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <sys/wait.h>

using namespace emztest;

namespace {

// ---- the command --------------------------------------------------------------------------

class EmzPackCommand : public ::testing::Test {
protected:
    void SetUp() override {
        m_tool = std::filesystem::path(QL_BIN_DIR) / "qlemzpack";
        if (!std::filesystem::exists(m_tool)) GTEST_SKIP() << "qlemzpack not built";
        std::string tmpl = (std::filesystem::temp_directory_path() / "qlemzpack-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    // Runs the tool with "{in}", "{out}" and "{missing}" replaced; returns
    // its exit code, stdout and stderr in *out and *err.
    int Run(std::string args, std::string* out = nullptr, std::string* err = nullptr) {
        for (auto [from, to] : {std::pair<std::string, std::string>{"{missing}", (m_dir / "nope.bin").string()},
                                {"{in}", In().string()}, {"{out}", Out().string()}})
            if (size_t p = args.find(from); p != std::string::npos) args.replace(p, from.size(), to);
        const std::string cmd = m_tool.string() + " " + args + " >" + (m_dir / "stdout.txt").string() + " 2>" +
                                (m_dir / "stderr.txt").string();
        const int status = std::system(cmd.c_str());
        if (out) *out = ReadText(m_dir / "stdout.txt");
        if (err) *err = ReadText(m_dir / "stderr.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string ReadText(const std::filesystem::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::path In() const { return m_dir / "in.bin"; }
    std::filesystem::path Out() const { return m_dir / "out.emz"; }
    void WriteInput(const Bytes& data) {
        std::ofstream(In(), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }

    std::filesystem::path m_tool;
    std::filesystem::path m_dir;
};

// The command packs like the library; bad use exits 2 with one line, an
// output that cannot be made exits 1.
TEST_F(EmzPackCommand, PacksLikeTheLibraryAndRejectsBadInput) {
    std::mt19937 rng(3);
    const Bytes input = TextBytes(rng, 50000);
    WriteInput(input);
    ASSERT_EQ(Run("--block-size 0x1000 --stream-size 7000 --level 9 --header-value 4294967295 --empty-block {in} {out}"),
              0);
    const qltools::EmzPackOptions o{.blockSize = 0x1000, .streamInputSize = 7000, .level = 9,
                                    .headerValue = 0xFFFFFFFF, .trailingEmptyBlock = true};
    const std::string packed = ReadText(Out());
    EXPECT_TRUE(Bytes(packed.begin(), packed.end()) == qltools::EmzPack(input, o));

    std::string out;
    EXPECT_EQ(Run("--help", &out), 0);
    EXPECT_NE(out.find("usage: qlemzpack"), std::string::npos);
    for (const char* args : {"--block-size 0 {in} {out}", "--block-size 4294967296 {in} {out}", "--level 10 {in} {out}",
                             "--header-value -1 {in} {out}", "--stream-size {in}", "--bogus {in} {out}", "{in}",
                             "{missing} {out}"}) {
        std::string err;
        EXPECT_EQ(Run(args, nullptr, &err), 2) << args;
        EXPECT_EQ(err.rfind("qlemzpack: ", 0), 0u) << args << ": " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << args << ": " << err;
    }
    std::string err;
    EXPECT_EQ(Run("{in} " + (m_dir / "no" / "such" / "dir.emz").string(), nullptr, &err), 1) << err;
}

} // namespace

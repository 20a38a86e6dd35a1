// The "%%EMZ" packer library and the qlemzpack command.
#include "EmzTestUtil.h"

#include <zlib.h>

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

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | (static_cast<uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<uint32_t>(b.at(at + 2)) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}

struct ParsedBlock {
    uint32_t headerValue;
    Bytes payload;
};

// Splits a packed stream into its blocks; fails the test on a framing error.
std::vector<ParsedBlock> ParseBlocks(const Bytes& s) {
    std::vector<ParsedBlock> blocks;
    size_t at = 0;
    while (at < s.size()) {
        if (s.size() - at < qltools::kEmzBlockHeaderSize) {
            ADD_FAILURE() << "short header at " << at;
            break;
        }
        EXPECT_EQ(std::string(s.begin() + at, s.begin() + at + 5), "%%EMZ") << "at " << at;
        const uint32_t len = Le32(s, at + 9);
        if (s.size() - at - 13 < len) {
            ADD_FAILURE() << "short payload at " << at;
            break;
        }
        blocks.push_back({Le32(s, at + 5), Bytes(s.begin() + at + 13, s.begin() + at + 13 + len)});
        at += 13 + len;
    }
    return blocks;
}

// Inflates back-to-back zlib streams independently of the decoder under test.
Bytes InflateAll(const Bytes& payload, int* streams) {
    Bytes out;
    *streams = 0;
    size_t at = 0;
    while (at < payload.size()) {
        z_stream zs{};
        EXPECT_EQ(inflateInit(&zs), Z_OK);
        zs.next_in = const_cast<Bytef*>(payload.data() + at);
        zs.avail_in = static_cast<uInt>(payload.size() - at);
        uint8_t chunk[4096];
        int rc;
        do {
            zs.next_out = chunk;
            zs.avail_out = sizeof(chunk);
            rc = inflate(&zs, Z_NO_FLUSH);
            out.insert(out.end(), chunk, chunk + (sizeof(chunk) - zs.avail_out));
        } while (rc == Z_OK);
        EXPECT_EQ(rc, Z_STREAM_END);
        at = payload.size() - zs.avail_in;
        inflateEnd(&zs);
        ++*streams;
        if (rc != Z_STREAM_END) break;
    }
    return out;
}

TEST(EmzPack, FramesPayloadIntoBlocks) {
    std::mt19937 rng(1);
    const Bytes input = RandomBytes(rng, 10000);
    qltools::EmzPackOptions o;
    o.blockSize = 3000;
    o.headerValue = 0xA1B2C3D4;
    const Bytes packed = qltools::EmzPack(input, o);
    auto blocks = ParseBlocks(packed);
    const Bytes payload = qltools::EmzDeflate(input, 0, -1);
    ASSERT_EQ(blocks.size(), (payload.size() + 2999) / 3000);
    Bytes joined;
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].headerValue, 0xA1B2C3D4u);
        if (i + 1 < blocks.size()) {
            EXPECT_EQ(blocks[i].payload.size(), 3000u);
        }
        joined.insert(joined.end(), blocks[i].payload.begin(), blocks[i].payload.end());
    }
    EXPECT_EQ(joined, payload);
    int streams = 0;
    EXPECT_EQ(InflateAll(joined, &streams), input);
    EXPECT_EQ(streams, 1);

    // The trailing empty block comes last and carries the header value too.
    o.trailingEmptyBlock = true;
    blocks = ParseBlocks(qltools::EmzPack(input, o));
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(blocks.back().payload.empty());
    EXPECT_EQ(blocks.back().headerValue, 0xA1B2C3D4u);
}

TEST(EmzPack, SplitsInputIntoStreams) {
    std::mt19937 rng(2);
    const Bytes input = TextBytes(rng, 10001);
    int streams = 0;
    EXPECT_EQ(InflateAll(qltools::EmzDeflate(input, 1000, 6), &streams), input);
    EXPECT_EQ(streams, 11);
    EXPECT_EQ(InflateAll(qltools::EmzDeflate(input, 20000, 6), &streams), input);
    EXPECT_EQ(streams, 1);
    EXPECT_EQ(InflateAll(qltools::EmzDeflate({}, 1000, 6), &streams), Bytes{});
    EXPECT_EQ(streams, 1);
    // Level 0 stores: larger than the input, and still a valid stream.
    const Bytes stored = qltools::EmzDeflate(input, 0, 0);
    EXPECT_GT(stored.size(), input.size());
    EXPECT_EQ(InflateAll(stored, &streams), input);
}

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

TEST_F(EmzPackCommand, PacksLikeTheLibrary) {
    std::mt19937 rng(3);
    const Bytes input = TextBytes(rng, 50000);
    WriteInput(input);
    ASSERT_EQ(Run("--block-size 0x1000 --stream-size 7000 --level 9 --header-value 4294967295 --empty-block {in} {out}"),
              0);
    const qltools::EmzPackOptions o{.blockSize = 0x1000, .streamInputSize = 7000, .level = 9,
                                    .headerValue = 0xFFFFFFFF, .trailingEmptyBlock = true};
    const std::string packed = ReadText(Out());
    EXPECT_TRUE(Bytes(packed.begin(), packed.end()) == qltools::EmzPack(input, o));
}

TEST_F(EmzPackCommand, BadInputExitsTwoWithOneLine) {
    WriteInput(Bytes(100, 7));
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

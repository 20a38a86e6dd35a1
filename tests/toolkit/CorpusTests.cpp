// The wrapper on the real EMF files of the shared corpus (read in place, never
// copied). (The real spool files: the gateway and host suites print them.)
#include "ToolkitTestUtil.h"

#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>


using namespace qltools;
using namespace toolkittest;

namespace {

// Wrapping refuses an EMF whose record structure is broken, naming the file
// and the byte; a file whose records tile cleanly is wrapped byte for byte.
// Every *bad_corrupted* file of the corpus has a broken structure and is
// refused; every other file is wrapped and inspects cleanly.
TEST(CorpusEmf, WrappingEveryRealEmfFile) {
    const auto dir = CorpusDir("emf");
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    std::vector<Bytes> good;
    std::vector<std::string> names;
    int refused = 0, corruptFiles = 0;
    for (const auto& path : FilesIn(dir)) {
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        const Bytes emf = ReadFile(path);
        const bool corrupt = name.find("bad_corrupted") != std::string::npos;
        corruptFiles += corrupt;
        Bytes spool;
        try {
            spool = WrapEmfPages({emf}, {name}, u"corpus");
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(corrupt) << e.what();
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos);
            ++refused;
            continue;
        }
        const InspectReport r = InspectStream(spool);
        ASSERT_TRUE(r.ok) << r.error;
        ASSERT_EQ(r.records.size(), 3u);
        EXPECT_EQ(r.records[1].size, (emf.size() + 3) / 4 * 4);
        ASSERT_TRUE(r.records[1].page);
        EXPECT_EQ(r.records[1].page->records, CheckEmf(emf).records);
        EXPECT_EQ(r.records[2].target, std::optional<uint64_t>(r.records[1].offset));
        if (!corrupt) {
            good.push_back(emf);
            names.push_back(name);
        }
    }
    EXPECT_EQ(refused, corruptFiles);
    ASSERT_FALSE(good.empty());
    const InspectReport all = InspectStream(WrapEmfPages(good, names, u"all"));
    ASSERT_TRUE(all.ok) << all.error;
    EXPECT_EQ(all.pages, good.size());
}

} // namespace

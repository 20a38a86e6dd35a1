// The inspector on the real spool files and the wrapper on the real EMF files
// of the shared corpus (read in place, never copied).
#include "ToolkitTestUtil.h"

#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

using namespace qltools;
using namespace toolkittest;

namespace {

// "12x2 13x2" -> {12: 2, 13: 2}; "total=N" is returned separately.
std::map<uint32_t, uint32_t> ParseCounts(const std::string& text, uint32_t* total = nullptr) {
    std::map<uint32_t, uint32_t> counts;
    std::istringstream in(text);
    for (std::string item; in >> item;) {
        if (item.rfind("total=", 0) == 0) {
            if (total) *total = static_cast<uint32_t>(std::stoul(item.substr(6)));
            continue;
        }
        const size_t x = item.find('x');
        if (x != std::string::npos) counts[std::stoul(item.substr(0, x))] = std::stoul(item.substr(x + 1));
    }
    return counts;
}

// The MANIFEST's record summary of each spool file: "SPL[..] pages=N EMF[..]".
struct ManifestEntry {
    std::string summary, notes;
};
std::map<std::string, ManifestEntry> ReadManifest() {
    std::map<std::string, ManifestEntry> entries;
    std::ifstream in(CorpusDir("MANIFEST.tsv"));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cols;
        std::istringstream row(line);
        for (std::string col; std::getline(row, col, '\t');) cols.push_back(col);
        if (cols.size() >= 10) entries[cols[0]] = {cols[6], cols[9]};
    }
    return entries;
}

std::string Between(const std::string& s, const std::string& open, char close) {
    const size_t a = s.find(open);
    if (a == std::string::npos) return "";
    const size_t b = s.find(close, a + open.size());
    return s.substr(a + open.size(), b - a - open.size());
}

TEST(CorpusSpool, EveryRealSpoolFileIsListedOrRejectedCleanly) {
    const auto dir = CorpusDir("spl");
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    const auto manifest = ReadManifest();
    int checked = 0;
    for (const auto& path : FilesIn(dir)) {
        SCOPED_TRACE(path.filename().string());
        const Bytes data = ReadFile(path);
        const InspectReport r = InspectStream(data);
        const auto entry = manifest.find("spl/" + path.filename().string());
        ASSERT_NE(entry, manifest.end());
        const std::string& summary = entry->second.summary;
        if (summary.find("not-EMF") != std::string::npos) {
            // A package that is not a spool file: refused at its first byte.
            EXPECT_FALSE(r.ok);
            EXPECT_EQ(r.errorOffset, 0u);
            EXPECT_NE(r.error.find("not the file header"), std::string::npos) << r.error;
            EXPECT_NE(FormatReportText(r).find("malformed"), std::string::npos);
            continue;
        }
        ASSERT_TRUE(r.ok) << r.error;
        ++checked;
        std::map<uint32_t, uint32_t> spl;
        for (const SpoolRecord& rec : r.records)
            if (rec.type != SPL_FILE_HEADER) ++spl[rec.type];
        EXPECT_EQ(spl, ParseCounts(Between(summary, "SPL[", ']')));
        if (entry->second.notes.find("UNFINALIZED") != std::string::npos) {
            // The unfinished job: its last page record has size 0, then zeros.
            EXPECT_TRUE(r.records.back().endsLoop);
            ASSERT_EQ(r.warnings.size(), 1u);
            EXPECT_NE(r.warnings[0].find("ends the record loop"), std::string::npos);
            continue;
        }
        EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
        EXPECT_EQ(std::to_string(r.pages), Between(summary, "pages=", ' '));
        // Every EMF record type the manifest counts, and the total.
        uint32_t total = 0, seen = 0;
        for (const auto& [type, count] : ParseCounts(Between(summary, "EMF[", ']'), &total))
            EXPECT_EQ(r.emfTotals.count(type) ? r.emfTotals.at(type) : 0u, count) << "EMF type " << type;
        for (const auto& [type, count] : r.emfTotals) seen += count;
        EXPECT_EQ(seen, total);
        for (const SpoolRecord& rec : r.records) {
            if (IsSpoolExtensionRecord(rec.type)) {
                EXPECT_TRUE(rec.target.has_value()) << "at " << rec.offset;
            }
        }
    }
    EXPECT_GE(checked, 5);
}

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

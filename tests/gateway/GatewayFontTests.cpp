// Engine font records whose sizes do not add up are rejected at the record.
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qltools;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(EngineFontRecords, SizesThatDoNotAddUpAreMalformed) {
    SpoolWriter w;
    const size_t at = w.EngineFont(Bytes(40, 0xAB));
    const Bytes good = w.Bytes();
    ASSERT_TRUE(InspectStream(good).ok);
    // Body words: font type, file count, file size, filler.
    const std::pair<size_t, uint32_t> patches[] = {{4, 0}, {4, 1000}, {8, 41}, {8, 24}, {8, 0xFFFFFFF0}};
    for (const auto& [word, value] : patches) {
        Bytes bad = good;
        for (int i = 0; i < 4; ++i) bad[at + 8 + word + i] = static_cast<uint8_t>(value >> (8 * i));
        const InspectReport r = InspectStream(bad);
        EXPECT_FALSE(r.ok) << word << " = " << value;
        EXPECT_EQ(r.errorOffset, at) << r.error;
    }
}

} // namespace

// The form-feed scanner alone: which data ends in a form feed for the two
// form-feed datatypes, and which bytes escape sequences hide from it.
#include "printproc/raw.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Whether data of the job type needs a closing form feed.
bool Needs(DWORD jobType, const std::string& data) {
    CFormFeedScanner scanner(jobType);
    scanner.Feed(reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    return scanner.NeedsFormFeed() != FALSE;
}

bool Auto(const std::string& data) {
    return Needs(JOBTYPE_RAW_FF_AUTO, data);
}

const std::string ESC = "\x1b";

// "Appended" adds one unless ESC E or ESC o came last (the host's raw job
// table prints those cases); "auto" adds one only after text.
TEST(FormFeedScanner, AppendedAndAutoFormFeeds) {
    EXPECT_TRUE(Needs(JOBTYPE_RAW_FF_APPENDED, "abc\x0c\r\n"));
    EXPECT_FALSE(Needs(JOBTYPE_RAW_FF_APPENDED, ESC + "E\r\n")) << "other control bytes change nothing";
    EXPECT_TRUE(Needs(JOBTYPE_RAW_FF_APPENDED, ESC + "Eabc")) << "text after the reset counts again";
    EXPECT_TRUE(Auto("abc"));
    EXPECT_FALSE(Auto("abc\x0c"));
    EXPECT_FALSE(Auto("abc\x0c\r\n\x00")) << "control bytes after a form feed";
    EXPECT_TRUE(Auto("\x0c" "abc "));
    EXPECT_FALSE(Auto("abc" + ESC + "E"));
    EXPECT_FALSE(Auto("abc" + ESC + "o"));
    // Plain RAW never gets one.
    EXPECT_FALSE(Needs(JOBTYPE_RAW, "abc"));
}

TEST(FormFeedScanner, CountedSequencesHideTheirBytes) {
    // ESC K with the count 3: the three bytes that follow are not looked at.
    EXPECT_FALSE(Auto("\x0c" + ESC + std::string("K\x03\x00", 3) + "abc"));
    EXPECT_TRUE(Auto("text" + ESC + std::string("K\x03\x00", 3) + "\x0c\x0c\x0c"))
        << "a form feed inside the hidden bytes does not count";
    EXPECT_TRUE(Auto("\x0c" + ESC + std::string("K\x03\x00", 3) + "abcd")) << "the fourth byte is text again";

    // The high byte counts 256 each.
    const std::string k256 = "\x0c" + ESC + std::string("L\x00\x01", 3);
    EXPECT_FALSE(Auto(k256 + std::string(256, 'x')));
    EXPECT_TRUE(Auto(k256 + std::string(257, 'x')));

    // A count of 0 ends the sequence at once.
    EXPECT_TRUE(Auto("\x0c" + ESC + std::string("Y\x00\x00", 3) + "a"));
}

TEST(FormFeedScanner, TwoCharacterAndBackslashEntries) {
    for (const std::string seq : {"[@", "[C", "[g", "[\\", "\\", "Z"}) {
        EXPECT_FALSE(Auto("\x0c" + ESC + seq + std::string("\x02\x00", 2) + "ab")) << seq;
        EXPECT_TRUE(Auto("\x0c" + ESC + seq + std::string("\x02\x00", 2) + "abc")) << seq;
    }
    // "[" followed by a character no entry continues: the escape ends there
    // and that character is not counted, but what follows is text.
    EXPECT_FALSE(Auto("\x0c" + ESC + "[X"));
    EXPECT_TRUE(Auto("\x0c" + ESC + "[Xab"));
    // A byte that starts no entry ends the escape the same way.
    EXPECT_FALSE(Auto("\x0c" + ESC + "!"));
    EXPECT_FALSE(Auto("\x0c" + ESC + ESC));
    EXPECT_TRUE(Auto("\x0c" + ESC + ESC + "a"));
}

TEST(FormFeedScanner, FixedCountsAndTerminators) {
    // One parameter byte ("-", "3", "_" ...), two for "X", "d", "e".
    EXPECT_FALSE(Auto("\x0c" + ESC + "-1"));
    EXPECT_TRUE(Auto("\x0c" + ESC + "-12"));
    EXPECT_FALSE(Auto("\x0c" + ESC + "_z"));
    EXPECT_FALSE(Auto("\x0c" + ESC + "Xab"));
    EXPECT_TRUE(Auto("\x0c" + ESC + "Xabc"));
    EXPECT_FALSE(Auto("\x0c" + ESC + "e\x0c\x0c"));
    // "B" and "D" run up to and including a zero byte.
    EXPECT_FALSE(Auto("\x0c" + ESC + "Babcdef" + std::string(1, '\0')));
    EXPECT_TRUE(Auto("\x0c" + ESC + "Babc" + std::string(1, '\0') + "x"));
    EXPECT_FALSE(Auto("\x0c" + ESC + "D\x08\x10\x18"));
    // Sequences that end at once leave the last event alone.
    EXPECT_FALSE(Auto("\x0c" + ESC + "0"));
    EXPECT_TRUE(Auto("abc" + ESC + "n"));
    // Data that ends inside an escape.
    EXPECT_TRUE(Auto("abc" + ESC));
    EXPECT_FALSE(Auto("\x0c" + ESC + "["));
    EXPECT_FALSE(Auto("\x0c" + ESC + "K\x05"));
    EXPECT_TRUE(Needs(JOBTYPE_RAW_FF_APPENDED, "abc" + ESC + std::string("K\x09\x00", 3) + "xy"));
}

TEST(FormFeedScanner, StateCarriesAcrossFeedsAndResetClearsIt) {
    CFormFeedScanner scanner(JOBTYPE_RAW_FF_AUTO);
    const std::string first = "page\x0c" + ESC;
    const std::string second = std::string("K\x02\x00", 3) + "ab";
    scanner.Feed(reinterpret_cast<const BYTE*>(first.data()), static_cast<DWORD>(first.size()));
    scanner.Feed(reinterpret_cast<const BYTE*>(second.data()), static_cast<DWORD>(second.size()));
    EXPECT_FALSE(scanner.NeedsFormFeed());
    EXPECT_EQ(scanner.LastEvent(), static_cast<DWORD>(CFormFeedScanner::EVENT_FORM_FEED));

    scanner.Reset(JOBTYPE_RAW_FF_APPENDED);
    EXPECT_EQ(scanner.State(), static_cast<DWORD>(CFormFeedScanner::STATE_TEXT));
    EXPECT_EQ(scanner.LastEvent(), static_cast<DWORD>(CFormFeedScanner::EVENT_PRINTABLE));
    EXPECT_TRUE(scanner.NeedsFormFeed());
}

} // namespace

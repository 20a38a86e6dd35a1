// Scratch directories and the machine fixture of the host tests.
#pragma once
#include "host/Machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <filesystem>
#include <string>
#include <vector>

namespace qlhost::test {

// Whether a log line contains `text`, and all lines joined for failure messages.
inline bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}
inline std::string Joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

// A fresh directory under the system temp directory, removed at the end.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qlhost-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// A machine on a fresh drive root with the print processor loaded, the log
// lines of its attach already taken.
class MachineTest : public ::testing::Test {
protected:
    void SetUp() override {
        qlhost::MachineOptions options;
        options.driveRoot = m_dir / "c";
        options.moduleDir = QL_BIN_DIR;
        std::string error;
        m_machine = qlhost::Machine::Create(options, &error);
        ASSERT_TRUE(m_machine) << error;
        ASSERT_TRUE(m_machine->LoadPrintProcessor(&error)) << error;
        m_machine->TakeLogLines();
    }
    void TearDown() override { m_machine.reset(); }

    ScratchDir m_dir;
    std::unique_ptr<qlhost::Machine> m_machine;
};

} // namespace qlhost::test

#include "support/TestMachine.h"

#include "diag/DbgLog.h"
#include "printproc/Winprint.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace qltest {
namespace {

struct TempRoot {
    std::filesystem::path path;
    ~TempRoot() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
} g_root;

} // namespace

void SetUpMachine(const char* regText, const char* name, Attach attach) {
    static std::once_flag once;
    std::call_once(once, [&] {
        std::string tmpl = (std::filesystem::temp_directory_path() / (std::string("ql") + name + "-XXXXXX")).string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        g_root.path = tmpl;
        std::filesystem::create_directories(g_root.path / "out");
        pal::host::SetDriveRoot(tmpl);
        pal::host::SetOutputDirectory((g_root.path / "out").string());
        pal::host::SetModuleDirectory(QL_BIN_DIR);
        std::string error;
        ASSERT_TRUE(pal::host::LoadRegistryText(regText, std::string(name) + ".reg", &error)) << error;
        if (attach == Attach::Product) {
            ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
        } else if (attach == Attach::LogOnly) {
            // As at process attach: sockets first (the syslog target), then the log.
            WSADATA wsa;
            ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
            g_DbgLog.Init(WSTR("QLWinPrn"), WSTR("SOFTWARE\\Quillon\\QLWinPrn"));
        }
    });
}

void SetUpMachine(const char* name, Attach attach) {
    SetUpMachine("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quillon\\QLWinPrn]\n"
                 "\"DebugLevel\"=dword:00020001\n",
                 name, attach);
}

const std::filesystem::path& MachineRoot() {
    return g_root.path;
}

std::vector<QuilmonCall> TakeMonitorCalls() {
    HMODULE hMonitor = GetModuleHandleW(QUILMON_DLL);
    if (!hMonitor) return {};
    auto take = reinterpret_cast<PFN_QuilmonTakeCalls>(
        reinterpret_cast<void (*)()>(GetProcAddress(hMonitor, QUILMON_TAKE_CALLS)));
    if (!take) return {};
    std::vector<QuilmonCall> calls(take(nullptr, 0));
    if (!calls.empty()) calls.resize(take(calls.data(), static_cast<DWORD>(calls.size())));
    return calls;
}

bool Contains(const std::vector<std::u16string>& lines, const std::u16string& text) {
    for (const auto& line : lines) {
        if (line.find(text) != std::u16string::npos) return true;
    }
    return false;
}

std::string Dump(const std::vector<std::u16string>& lines) {
    std::string out;
    for (const auto& line : lines) out += pal::host::ToUtf8(line);
    return out;
}

void ExpectLines(const std::vector<std::u16string>& lines, const std::vector<std::u16string_view>& present,
                 const std::vector<std::u16string_view>& absent) {
    for (std::u16string_view text : present)
        EXPECT_TRUE(Contains(lines, std::u16string(text))) << "no line with: " << pal::host::ToUtf8(std::u16string(text))
                                                            << "\n" << Dump(lines);
    for (std::u16string_view text : absent)
        EXPECT_FALSE(Contains(lines, std::u16string(text))) << "a line with: " << pal::host::ToUtf8(std::u16string(text))
                                                             << "\n" << Dump(lines);
}

} // namespace qltest

// The view library binding: the start's failure reports, the channel name,
// the open options and the native jobs a job opens (refused virtual copies:
// tests/host/NativePrintingTests.cpp).
#include "WriterTest.h"

#include "native/Devmode.h"
#include "native/JobWriter.h"
#include "native/ViewLibrary.h"
#include "support/TestMachine.h"
#include "support/ViewLibrary.h"

#include <cstring>

using namespace writertest;

namespace {

class ViewLibrary : public WriterTest {
protected:
    void TearDown() override {
        pal::host::ClearFaults();
        qltest::SetViewLibraryAvailable(true);
        WriterTest::TearDown();
    }
};

TEST_F(ViewLibrary, FailedStartsReportAndAreNotRetried) {
    const struct {
        const char* pal;  // platform fault that hides an export
        DWORD view;       // fault of the view library
        const char16_t* report;
    } cases[] = {
        {nullptr, QUILMON_VIEW_FAULT_NO_TABLE, u"QLWinPrn: Wrong Version of quilmon.dll(1)."},
        {nullptr, QUILMON_VIEW_FAULT_SHORT_TABLE, u"QLWinPrn: Wrong Version of quilmon.dll(3)."},
        {"GetProcAddress InitializeAGNP", QUILMON_VIEW_FAULT_NONE, u"QLWinPrn: Wrong Version of quilmon.dll(2)."},
        {"GetProcAddress ClosePrinter", QUILMON_VIEW_FAULT_NONE, u"QLWinPrn: Wrong Version of spoolss.dll"},
    };
    for (const auto& c : cases) {
        qltest::SetViewLibraryAvailable(true);
        if (c.pal) pal::host::InjectFault({.call = c.pal});
        qltest::SetViewFault(c.view);
        EXPECT_FALSE(EnsureViewLibrary()) << pal::host::ToUtf8(c.report);
        const auto events = pal::host::ReadEventLog();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().strings, std::vector<std::u16string>{c.report});
        EXPECT_EQ(GetViewFunctions().pfnOpenJob, nullptr);

        // Once failed, the start is not tried again in this process.
        pal::host::ClearFaults();
        qltest::SetViewFault(QUILMON_VIEW_FAULT_NONE);
        EXPECT_FALSE(EnsureViewLibrary());
        EXPECT_FALSE(ClosePortMonitorChannel(nullptr));
        EXPECT_EQ(GetLastError(), 1u);
    }
    qltest::SetViewLibraryAvailable(true);
    EXPECT_TRUE(EnsureViewLibrary());
}

TEST_F(ViewLibrary, ChannelNamesAndOpenOptions) {
    const struct {
        const char16_t* prefix;
        const char16_t* name;
    } channels[] = {
        {u"", u",XcvMonitor Quillon Port"},
        {u"\\\\SRV1\\", u"\\\\SRV1\\,XcvMonitor Quillon Port"},
        {u"SRV1", u"\\\\SRV1\\,XcvMonitor Quillon Port"},
        {u"\\SRV1", u"\\SRV1\\,XcvMonitor Quillon Port"},
    };
    for (const auto& c : channels) {
        WCHAR name[256];
        BuildPortMonitorChannelName(c.prefix, name);
        EXPECT_EQ(std::u16string(name), c.name);
    }

    const struct {
        bool trailer;
        DWORD flags, options;
    } options[] = {{false, 0, 5}, {true, 0x18, 0x305}, {true, 0x8, 0x105}, {true, 0x24, 5}};
    for (const auto& c : options) {
        std::vector<uint8_t> bytes(sizeof(DEVMODEW) + QL_DEVMODE_TRAILER_SIZE);
        auto* dm = reinterpret_cast<DEVMODEW*>(bytes.data());
        dm->dmSize = sizeof(DEVMODEW);
        if (c.trailer) {
            dm->dmDriverExtra = QL_DEVMODE_TRAILER_SIZE;
            const PRIVATEDEVMODE trailer = {QL_PRIVATEDEVMODE_SIGNATURE, c.flags};
            std::memcpy(bytes.data() + sizeof(DEVMODEW), &trailer, sizeof(trailer));
        }
        EXPECT_EQ(ViewOpenOptions(dm), c.options) << c.flags;
    }
    EXPECT_EQ(ViewOpenOptions(nullptr), QLVIEW_OPEN_BASE);
}

TEST_F(ViewLibrary, OpenJobOpensTheAllowedVirtualCopies) {
    std::string error;
    ASSERT_TRUE(pal::host::LoadRegistryText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port]
"Driver"="quilmon.dll"
)", "monitor.reg", &error)) << error;
    m_printerName = u"\\\\SRV1\\Plain";
    Data()->pPrinterName = m_printerName.data();

    WCHAR copies[VIRTUAL_COPY_JOBS][VIRTUAL_COPY_NAME_CCH] = {};
    const std::u16string second = u"\\\\srv1\\Other";
    std::memcpy(copies[1], second.c_str(), (second.size() + 1) * 2);
    ASSERT_TRUE(QLViewDLL_QLEMFOpenJob(Data(), u"\\\\SRV1\\Plain", copies, nullptr));
    EXPECT_NE(Data()->hNativeJob, nullptr);
    EXPECT_NE(Data()->hViewJob, nullptr);
    for (DWORD i = 0; i < VIRTUAL_COPY_JOBS; ++i) EXPECT_EQ(Data()->ahVirtualCopyJobs[i] != nullptr, i == 1) << i;
    MyEndDocPrinter(Data(), TRUE);

    // A failed main open fails the call; the channel stays until the next open.
    EXPECT_FALSE(QLViewDLL_QLEMFOpenJob(Data(), u"Nowhere", copies, nullptr));
    EXPECT_EQ(Data()->hViewJob, nullptr);
    EXPECT_TRUE(ClosePortMonitorChannel(Data()->hNativeJob));
    Data()->hNativeJob = nullptr;
}

} // namespace

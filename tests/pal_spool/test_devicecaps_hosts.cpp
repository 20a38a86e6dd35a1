// Printer device contexts with the page geometry of their printer and paper,
// and the host-name look-up from the machine's hosts list.
#include "spool_test_util.h"

#include <thread>

using namespace spooltest;

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Plain]
"Printer Driver"="Generic"
"Port"="FILE:"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Coarse]
"Printer Driver"="Generic"
"Port"="FILE:"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Coarse\Geometry]
"Dpi"=dword:0000012c
"MarginMM10"=dword:00000032
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Coarse\Geometry\9]
"WidthMM10"=dword:000007d0
"HeightMM10"=dword:00000bb8
"Dpi"=dword:000004b0
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Hosts]
"SRV"="192.0.2.1, 192.0.2.2"
"Broken"="not-an-address"
)";

class Geometry : public ::testing::Test {
protected:
    void SetUp() override {
        pal::host::ClearRegistry();
        pal::host::ResetSpooler();
        LoadReg(kMachine);
    }
    void TearDown() override {
        pal::host::ResetSpooler();
        pal::host::ClearRegistry();
    }
};

struct Caps {
    int width, height, offX, offY, horzRes, vertRes, horzMM, vertMM, dpi;
};

Caps Measure(const char16_t* printer, DWORD fields, short paper, short orientation = 1,
             const char16_t* form = u"", short customWidth = 0, short customLength = 0) {
    DEVMODEW dm{};
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmFields = fields;
    dm.dmPaperSize = paper;
    dm.dmOrientation = orientation;
    dm.dmPaperWidth = customWidth;
    dm.dmPaperLength = customLength;
    std::u16string name(form);
    std::copy(name.begin(), name.end(), dm.dmFormName);
    HDC hdc = CreateDCW(u"winspool", printer, nullptr, &dm);
    EXPECT_NE(hdc, nullptr);
    Caps c{GetDeviceCaps(hdc, PHYSICALWIDTH), GetDeviceCaps(hdc, PHYSICALHEIGHT), GetDeviceCaps(hdc, PHYSICALOFFSETX),
           GetDeviceCaps(hdc, PHYSICALOFFSETY), GetDeviceCaps(hdc, HORZRES),      GetDeviceCaps(hdc, VERTRES),
           GetDeviceCaps(hdc, HORZSIZE),      GetDeviceCaps(hdc, VERTSIZE),       GetDeviceCaps(hdc, LOGPIXELSX)};
    EXPECT_EQ(GetDeviceCaps(hdc, LOGPIXELSY), c.dpi);
    DeleteDC(hdc);
    return c;
}

TEST_F(Geometry, PaperChosenByCodeFormNameOrCustomSize) {
    // A form name counts when no paper code is given; an unknown code takes
    // the custom size, else A4.
    EXPECT_EQ(Measure(u"Plain", DM_FORMNAME, 0, 1, u"letter").width, 5100);
    EXPECT_EQ(Measure(u"Plain", DM_PAPERSIZE | DM_PAPERWIDTH | DM_PAPERLENGTH, 300, 1, u"", 1000, 1500).width, 2362);
    EXPECT_EQ(Measure(u"Plain", DM_PAPERSIZE | DM_PAPERWIDTH | DM_PAPERLENGTH, 300, 1, u"", 1000, 1500).height, 3543);
    EXPECT_EQ(Measure(u"Plain", DM_PAPERSIZE, 300).width, 4961);
    // Without a device mode the printer's default one (A4) is used.
    HDC hdc = CreateDCW(u"winspool", u"Plain", nullptr, nullptr);
    EXPECT_EQ(GetDeviceCaps(hdc, PHYSICALWIDTH), 4961);
    EXPECT_EQ(GetDeviceCaps(hdc, 9999), 0);
    DeleteDC(hdc);
    EXPECT_EQ(GetDeviceCaps(hdc, PHYSICALWIDTH), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Geometry, RegistryOverridesPerPrinterAndPaper) {
    const Caps a4 = Measure(u"Coarse", DM_PAPERSIZE, DMPAPER_A4);  // Geometry\9: 200 x 300 mm at 1200 dpi
    EXPECT_EQ(a4.dpi, 1200);
    EXPECT_EQ(a4.width, 9449);
    EXPECT_EQ(a4.height, 14173);
    EXPECT_EQ(a4.offX, 236);
    const Caps letter = Measure(u"Coarse", DM_PAPERSIZE, DMPAPER_LETTER);  // printer-wide 300 dpi, 5 mm
    EXPECT_EQ(letter.dpi, 300);
    EXPECT_EQ(letter.width, 2550);
    EXPECT_EQ(letter.offY, 59);
}

// ---- host names ------------------------------------------------------------------------------

class HostNames : public Geometry {
protected:
    void SetUp() override {
        Geometry::SetUp();
        pal::host::SetComputerName(u"PALHOST");
        WSADATA wsa;
        ASSERT_EQ(pal::ws::WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    }
    static std::vector<std::string> Addresses(const HOSTENT* h) {
        std::vector<std::string> out;
        for (char** p = h->h_addr_list; *p; ++p) {
            const auto* b = reinterpret_cast<const unsigned char*>(*p);
            out.push_back(std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                          std::to_string(b[3]));
        }
        return out;
    }
};

TEST_F(HostNames, AnswersListedNamesTheComputerAndLocalhost) {
    const HOSTENT* h = pal::ws::gethostbyname("srv");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "SRV");
    EXPECT_EQ(h->h_addrtype, 2);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_EQ(h->h_aliases[0], nullptr);
    EXPECT_EQ(Addresses(h), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));

    h = pal::ws::gethostbyname("palhost");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "PALHOST");
    EXPECT_EQ(Addresses(h), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(Addresses(pal::ws::gethostbyname("localhost")), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(Addresses(pal::ws::gethostbyname("192.0.2.9")), std::vector<std::string>{"192.0.2.9"});

    // A multi-string lists one address a string.
    const char16_t multi[] = u"192.0.2.5\0" u"192.0.2.6\0";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Hosts", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"PALHOST", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Addresses(pal::ws::gethostbyname("PALHOST")), (std::vector<std::string>{"192.0.2.5", "192.0.2.6"}));
}

TEST_F(HostNames, UnknownNamesFail) {
    for (const char* name : {"nowhere", "Broken", "1.2.3"}) {
        SetLastError(0);
        EXPECT_EQ(pal::ws::gethostbyname(name), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAHOST_NOT_FOUND)) << name;
    }
}

TEST_F(HostNames, EntryBelongsToTheCallingThread) {
    const HOSTENT* mine = pal::ws::gethostbyname("srv");
    ASSERT_NE(mine, nullptr);
    const HOSTENT* theirs = nullptr;
    std::string theirName;
    std::thread([&] {
        theirs = pal::ws::gethostbyname("localhost");
        theirName = theirs ? theirs->h_name : "";
    }).join();
    EXPECT_NE(mine, theirs);
    EXPECT_EQ(theirName, "localhost");
    EXPECT_STREQ(mine->h_name, "SRV");
    // The thread's next call reuses its entry.
    EXPECT_EQ(pal::ws::gethostbyname("localhost"), mine);
    EXPECT_STREQ(mine->h_name, "localhost");
}

} // namespace

#include "host/SampleJobs.h"
#include "host/DefaultMachine.h"
#include "palhost.h"
#include "tools/lib/EmfBuilder.h"
#include "tools/lib/EmzPack.h"
#include "tools/lib/SpoolWriter.h"

#include <cstdio>
#include <filesystem>
#include <cstring>
#include <fstream>

namespace qlhost {

namespace {

// EMF spool record types.
constexpr uint32_t kSplFileHeader = 0x00010000;
constexpr uint32_t kSplDevmode = 3;
constexpr uint32_t kSplMetafileData = 12;
constexpr uint32_t kSplMetafileExt = 13;

// EMF record types.
constexpr uint32_t kEmrHeader = 1;
constexpr uint32_t kEmrEof = 14;
constexpr uint32_t kEmrMoveToEx = 27;
constexpr uint32_t kEmrLineTo = 54;
constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr uint32_t kEmrHeaderSize = 108;         // ENHMETAHEADER with szlMicrometers

class ByteWriter {
public:
    void U16(uint16_t v) {
        m_bytes.push_back(static_cast<uint8_t>(v));
        m_bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void Bytes(const std::vector<uint8_t>& b) { m_bytes.insert(m_bytes.end(), b.begin(), b.end()); }
    void Text16(const std::u16string& s) {
        for (char16_t c : s) U16(c);
        U16(0);
    }
    void Align4() {
        while (m_bytes.size() % 4 != 0) m_bytes.push_back(0);
    }
    void PatchU32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) m_bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    size_t Size() const { return m_bytes.size(); }
    std::vector<uint8_t>& Data() { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// One page at 600 dpi on A4 (4960 x 7016 device units): a diagonal line.
std::vector<uint8_t> SampleEmf() {
    ByteWriter w;
    w.U32(kEmrHeader);
    w.U32(kEmrHeaderSize);
    for (int32_t v : {0, 0, 4959, 7015}) w.I32(v);      // rclBounds
    for (int32_t v : {0, 0, 21000, 29700}) w.I32(v);    // rclFrame, 0.01 mm
    w.U32(kEmfSignature);
    w.U32(0x00010000);  // nVersion
    const size_t nBytesAt = w.Size();
    w.U32(0);           // nBytes, patched below
    w.U32(4);           // nRecords
    w.U16(1);           // nHandles
    w.U16(0);           // sReserved
    w.U32(0);           // nDescription
    w.U32(0);           // offDescription
    w.U32(0);           // nPalEntries
    w.I32(4960);        // szlDevice
    w.I32(7016);
    w.I32(210);         // szlMillimeters
    w.I32(297);
    w.U32(0);           // cbPixelFormat
    w.U32(0);           // offPixelFormat
    w.U32(0);           // bOpenGL
    w.I32(210000);      // szlMicrometers
    w.I32(297000);
    w.U32(kEmrMoveToEx);
    w.U32(16);
    w.I32(600);
    w.I32(600);
    w.U32(kEmrLineTo);
    w.U32(16);
    w.I32(4360);
    w.I32(6416);
    w.U32(kEmrEof);
    w.U32(20);
    w.U32(0);   // nPalEntries
    w.U32(16);  // offPalEntries
    w.U32(20);  // nSizeLast
    w.PatchU32(nBytesAt, static_cast<uint32_t>(w.Size()));
    return std::move(w.Data());
}

} // namespace

std::vector<uint8_t> SampleTextPage() {
    static const char kText[] =
        "qlspool sample page\r\n"
        "\r\n"
        "This job was spooled by the qlspool host and handed to the print\r\n"
        "processor through OpenPrintProcessor and PrintDocumentOnPrintProcessor.\r\n"
        "\f";
    return std::vector<uint8_t>(kText, kText + sizeof(kText) - 1);
}

std::vector<uint8_t> SampleLongTextPage() {
    std::string text = "qlspool packed sample page\r\n\r\n";
    for (int line = 1; line <= 40; ++line) {
        char buf[96];
        std::snprintf(buf, sizeof(buf), "%02d  The quick brown fox jumps over the lazy dog, line %d of 40.\r\n", line,
                      line);
        text += buf;
    }
    text += "\f";
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> SamplePackedJob(const std::vector<uint8_t>& content) {
    qltools::EmzPackOptions options;
    options.blockSize = 200;        // payload bytes per block
    options.streamInputSize = 1000; // a new zlib stream every 1000 input bytes
    options.headerValue = 1;
    return qltools::EmzPack(content, options);
}

namespace {

qltools::DevmodeOptions GatewayDevmodeOptions(const std::u16string& deviceName) {
    qltools::DevmodeOptions dm;
    dm.deviceName = deviceName;
    dm.extension = true;
    dm.trailerFlags = 0;
    // The driver's compression rules, as "QL Spool Bridge (compressed)" has
    // them: ZIP 10 %, lossy 5 % below 1,000,000 bytes, lossy 2 % above.
    dm.compressionRules[0] = 0x03E80A05;
    dm.compressionRules[1] = 0x00000A02;
    return dm;
}

// A4 at 300 dpi, drawn over the whole page of the 600 dpi device. The page
// first asks for fonts: "DejaVu Sans" at two weights that select the same
// font file, and the demo's temporary font.
std::vector<uint8_t> PhotoPage() {
    constexpr uint32_t kWidth = 2480, kHeight = 3508;
    qltools::EmfBuilder page;
    page.CreateFont(u"DejaVu Sans", -100, 400);
    page.CreateFont(u"DejaVu Sans", -100, 500);
    page.CreateFont(kSampleTemporaryFace, -100, 400);
    page.StretchDIBits(qltools::MakeDib(qltools::MakePhotoImage(kWidth, kHeight, 1), 24, false), 0, 0, 4960, 7016);
    return page.Finish();
}

} // namespace

std::vector<std::pair<std::string, std::u16string>> SampleTemporaryFonts() {
    for (const char* file : {"/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf",
                             "/usr/share/fonts/truetype/liberation2/LiberationSerif-Regular.ttf"}) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(file, ec)) return {{file, kSampleTemporaryFace}};
    }
    return {};
}

std::vector<uint8_t> SampleGatewayDevmode(const std::u16string& deviceName) {
    return qltools::BuildDevmode(GatewayDevmodeOptions(deviceName));
}

std::vector<uint8_t> SampleGatewaySpool(const std::u16string& deviceName) {
    qltools::SpoolJobOptions job;
    job.pages = 3;
    job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Noise};
    job.bitsPerPixel = {1, 8, 24};
    job.font = u"Arial";
    job.engineFontBytes = 512;
    job.devmode = GatewayDevmodeOptions(deviceName);
    job.documentName = u"qlspool gateway sample";
    job.extraPages.push_back(PhotoPage());
    return qltools::GenerateSpoolJob(job);
}

std::vector<uint8_t> SampleNativeSpool(const std::u16string& deviceName) {
    qltools::SpoolJobOptions job;
    job.pages = 2;
    job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Gradient};
    job.bitsPerPixel = {8, 24};
    job.imageWidth = 512;
    job.imageHeight = 512;
    job.font = u"Arial";
    job.devmode = GatewayDevmodeOptions(deviceName);
    job.documentName = u"qlspool native sample";
    return qltools::GenerateSpoolJob(job);
}

std::vector<uint8_t> SampleDevmode(const std::u16string& deviceName, short copies) {
    DEVMODEW dm;
    std::memset(&dm, 0, sizeof(dm));
    for (size_t i = 0; i < deviceName.size() && i + 1 < CCHDEVICENAME; ++i) dm.dmDeviceName[i] = deviceName[i];
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = 0;
    dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
    dm.dmOrientation = 1;  // portrait
    dm.dmPaperSize = 9;    // A4
    dm.dmCopies = copies;
    dm.dmPrintQuality = 600;
    std::vector<uint8_t> bytes(sizeof(DEVMODEW));
    std::memcpy(bytes.data(), &dm, sizeof(DEVMODEW));
    return bytes;
}

std::vector<uint8_t> SampleEmfSpool(const std::u16string& deviceName) {
    ByteWriter w;
    // File header: its size counts the 8 header bytes; the document name
    // follows the four header words.
    w.U32(kSplFileHeader);
    const size_t headerSizeAt = w.Size();
    w.U32(0);
    w.U32(16);  // offset of the document name
    w.U32(0);   // no output file
    w.Text16(u"qlspool sample");
    w.Align4();
    w.PatchU32(headerSizeAt, static_cast<uint32_t>(w.Size()));

    // Every other record's size counts only its body.
    const std::vector<uint8_t> devmode = SampleDevmode(deviceName, 1);
    w.U32(kSplDevmode);
    w.U32(static_cast<uint32_t>(devmode.size()));
    w.Bytes(devmode);

    const size_t pageAt = w.Size();
    const std::vector<uint8_t> emf = SampleEmf();
    w.U32(kSplMetafileData);
    w.U32(static_cast<uint32_t>(emf.size()));
    w.Bytes(emf);

    // The page extension points back at the metafile data record.
    const size_t extAt = w.Size();
    w.U32(kSplMetafileExt);
    w.U32(8);
    w.U32(static_cast<uint32_t>(extAt - pageAt));
    w.U32(0);
    return std::move(w.Data());
}

std::u16string PlaceSampleTicket() {
    static const char kTicket[] =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<JDF xmlns=\"http://www.CIP4.org/JDFSchema_1_1\" ID=\"qlspool-demo\" Type=\"Product\" "
        "Status=\"Waiting\" Version=\"1.3\">\n"
        "  <ResourcePool><Media ID=\"M1\" Class=\"Consumable\" Status=\"Available\" MediaType=\"Paper\"/>"
        "</ResourcePool>\n"
        "</JDF>\n";
    std::ofstream(pal::host::MapPath(SampleTicketPath()), std::ios::binary) << kTicket;
    return u"qlspool pdf sample_qlDEMO1.pdf";
}

std::u16string SampleTicketPath() { return std::u16string(kDefaultJdfSpoolDir) + u"\\DEMO1.tmp"; }

} // namespace qlhost

namespace qlhost {

std::vector<uint8_t> SampleTextJob() {
    std::string text =
        "qlspool text job sample\r\n"
        "\r\n"
        "Printer\tDriver\tPort\r\n"
        "Office Laser\tgeneric\tFILE1:\r\n"
        "QL Spool Bridge\tgateway\tQLPORT1:\r\n"
        "\n"
        "Tabs:\ta\tbb\tccc\tdddd\teeeee\n"
        "Text\t1\t22\t333\t4444\t55555\n"
        "\n"
        "A long line wraps at the printable width: ";
    for (int i = 0; i < 12; ++i) text += "lorem ipsum ";
    text += "\r\n\fSecond page, after a form feed.\r\n";
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> SamplePlaybackSpool() {
    qltools::SpoolJobOptions job;
    job.pages = 2;
    job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Gradient};
    job.bitsPerPixel = {8, 24};
    job.imageWidth = 256;
    job.imageHeight = 256;
    job.font = u"Arial";
    job.documentName = u"qlspool EMF sample";
    return qltools::GenerateSpoolJob(job);
}

} // namespace qlhost

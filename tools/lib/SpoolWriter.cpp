#include "tools/lib/SpoolWriter.h"

#include "native/Devmode.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <stdexcept>
#include <tuple>

namespace qltools {

static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(sizeof(PRIVATEDEVMODEEXT) == QL_DEVMODE_EXT_SIZE);
static_assert(sizeof(PRIVATEDEVMODE) == QL_DEVMODE_TRAILER_SIZE);

const char* SpoolRecordName(uint32_t type) {
    switch (type) {
    case SPL_FILE_HEADER: return "file header";
    case SPL_METAFILE: return "metafile";
    case SPL_ENGINE_FONT: return "engine font";
    case SPL_DEVMODE: return "device mode";
    case SPL_TYPE1_FONT: return "Type 1 font";
    case SPL_PRESTARTPAGE: return "pre-start page";
    case SPL_DESIGNVECTOR: return "design vector";
    case SPL_SUBSET_FONT: return "subset font";
    case SPL_DELTA_FONT: return "delta font";
    case SPL_FORM_METAFILE: return "form metafile";
    case SPL_BW_METAFILE: return "black-and-white metafile";
    case SPL_BW_FORM_METAFILE: return "black-and-white form metafile";
    case SPL_METAFILE_DATA: return "metafile data";
    case SPL_METAFILE_EXT: return "metafile extension";
    case SPL_BW_METAFILE_EXT: return "black-and-white metafile extension";
    case SPL_ENGINE_FONT_EXT: return "engine font extension";
    case SPL_TYPE1_FONT_EXT: return "Type 1 font extension";
    case SPL_DESIGNVECTOR_EXT: return "design vector extension";
    case SPL_SUBSET_FONT_EXT: return "subset font extension";
    default: return "";
    }
}

// ---- device modes -----------------------------------------------------------------

std::vector<uint8_t> BuildDevmode(const DevmodeOptions& options) {
    uint32_t extra = options.driverExtra;
    if (options.extension) extra = std::max<uint32_t>(extra, QL_DEVMODE_DRIVER_EXTRA);
    if (options.trailerFlags) extra = std::max<uint32_t>(extra, QL_DEVMODE_TRAILER_SIZE);

    DEVMODEW dm{};
    std::copy_n(options.deviceName.begin(), std::min<size_t>(options.deviceName.size(), CCHDEVICENAME - 1),
                dm.dmDeviceName);
    dm.dmSpecVersion = 0x401;
    dm.dmDriverVersion = 0x500;
    dm.dmSize = sizeof(DEVMODEW);
    dm.dmDriverExtra = static_cast<WORD>(extra);
    dm.dmFields = options.fields;
    dm.dmOrientation = options.orientation;
    dm.dmPaperSize = options.paperSize;
    dm.dmPaperLength = options.paperLength;
    dm.dmPaperWidth = options.paperWidth;
    dm.dmScale = 100;
    dm.dmCopies = options.copies;
    dm.dmDefaultSource = 7;
    dm.dmPrintQuality = 600;
    dm.dmColor = options.color;
    dm.dmDuplex = 1;
    dm.dmYResolution = 600;
    dm.dmTTOption = 1;
    std::copy_n(options.formName.begin(), std::min<size_t>(options.formName.size(), CCHFORMNAME - 1),
                dm.dmFormName);

    std::vector<uint8_t> out(sizeof(DEVMODEW) + extra, 0);
    std::memcpy(out.data(), &dm, sizeof(dm));
    if (options.extension) {
        PRIVATEDEVMODEEXT ext{};
        ext.dwSignature = QL_PRIVATEDEVMODEEXT_SIGNATURE;
        ext.dwSize = options.extensionSize;
        ext.dwFields = options.extensionFields;
        ext.NUP.uPresentationDirection = 1;
        ext.NUP.uSheetsPerPage = 1;
        ext.BINDING.dwBindingGutter = 1;
        ext.dwCompressionRule_0 = options.compressionRules[0];
        ext.dwCompressionRule_1 = options.compressionRules[1];
        ext.dwCompressionRule_2 = options.compressionRules[2];
        ext.dwCompressionRule_3 = options.compressionRules[3];
        ext.dwBitmapDPIReduction = options.bitmapDPIReduction;
        std::copy_n(options.ptrEmail.begin(), std::min<size_t>(options.ptrEmail.size(), QL_PTR_EMAIL_SIZE - 1),
                    ext.lpszPTREmail);
        std::memcpy(out.data() + sizeof(DEVMODEW), &ext, sizeof(ext));
    }
    if (options.trailerFlags) {
        const PRIVATEDEVMODE trailer{QL_PRIVATEDEVMODE_SIGNATURE, *options.trailerFlags};
        std::memcpy(out.data() + out.size() - sizeof(trailer), &trailer, sizeof(trailer));
    }
    return out;
}

// ---- spool file writer ------------------------------------------------------------

std::vector<uint8_t> MakeSpoolFileHeader(std::u16string_view documentName,
                                         const std::optional<std::u16string>& outputName) {
    std::vector<uint8_t> out;
    AppendU32(out, SPL_FILE_HEADER);
    AppendU32(out, 0);  // size, below
    AppendU32(out, 16);  // the document name follows the four header words
    AppendU32(out, 0);   // output name offset, below
    for (char16_t c : documentName) AppendU16(out, c);
    AppendU16(out, 0);
    if (outputName) {
        PutU32(out, 12, static_cast<uint32_t>(out.size()));
        for (char16_t c : *outputName) AppendU16(out, c);
        AppendU16(out, 0);
    }
    PadTo4(out);
    PutU32(out, 4, static_cast<uint32_t>(out.size()));
    return out;
}

SpoolWriter::SpoolWriter(std::u16string_view documentName, const std::optional<std::u16string>& outputName)
    : m_bytes(MakeSpoolFileHeader(documentName, outputName)) {}

size_t SpoolWriter::RecordWithSize(uint32_t type, uint32_t size, std::span<const uint8_t> body) {
    const size_t at = m_bytes.size();
    AppendU32(m_bytes, type);
    AppendU32(m_bytes, size);
    AppendBytes(m_bytes, body);
    return at;
}

size_t SpoolWriter::Record(uint32_t type, std::span<const uint8_t> body) {
    if (body.size() > 0xFFFFFFFFu) throw std::invalid_argument("record body larger than 4 GiB");
    return RecordWithSize(type, static_cast<uint32_t>(body.size()), body);
}

size_t SpoolWriter::Page(std::span<const uint8_t> emf, uint32_t type) {
    if (!IsSpoolPageRecord(type)) throw std::invalid_argument("page record type must be 1, 9, 10 or 12");
    return Record(type, emf);
}

size_t SpoolWriter::EngineFont(std::span<const uint8_t> fontData) {
    std::vector<uint8_t> body;
    AppendU32(body, 0);  // TrueType
    AppendU32(body, 1);  // one file
    AppendU32(body, static_cast<uint32_t>(fontData.size()));
    AppendU32(body, 0);  // filler
    AppendBytes(body, fontData);
    PadTo4(body);
    return Record(SPL_ENGINE_FONT, body);
}

size_t SpoolWriter::Extension(uint32_t type, size_t target) {
    if (!IsSpoolExtensionRecord(type)) throw std::invalid_argument("extension record type must be 13 to 18");
    if (target >= m_bytes.size()) throw std::invalid_argument("extension target must precede the extension");
    const uint64_t distance = m_bytes.size() - target;
    std::vector<uint8_t> body;
    AppendU32(body, static_cast<uint32_t>(distance));
    AppendU32(body, static_cast<uint32_t>(distance >> 32));
    return Record(type, body);
}

// ---- whole jobs -------------------------------------------------------------------

std::vector<uint8_t> GenerateEmfPage(const SpoolJobOptions& options, uint32_t pageNumber) {
    EmfPageOptions pageOptions = options.page;
    EmfBuilder page(pageOptions);
    const int32_t margin = pageOptions.devicePixelsX / 20;
    const auto cellW = static_cast<int32_t>(options.imageWidth) * 2;
    const auto cellH = static_cast<int32_t>(options.imageHeight) * 2;
    int32_t x = margin, y = margin * 3;

    uint32_t font = 0;
    if (!options.font.empty()) {
        font = page.CreateFont(options.font, -pageOptions.devicePixelsY / 60);
        page.SelectObject(font);
        std::u16string title = options.documentName + u" - page ";
        for (char c : std::to_string(pageNumber)) title.push_back(static_cast<char16_t>(c));
        page.TextOut(margin, margin, title);
    }
    for (ImageKind kind : options.images) {
        const RgbImage image =
            MakeImage(kind, options.imageWidth, options.imageHeight, options.seed + pageNumber - 1);
        for (uint32_t bpp : options.bitsPerPixel) {
            const Dib dib = MakeDib(image, bpp, options.topDown);
            SourceRect source;
            if (options.clipSource) {
                const auto w = static_cast<int32_t>(options.imageWidth), h = static_cast<int32_t>(options.imageHeight);
                source = {w / 4, h / 4, std::max(1, w / 2), std::max(1, h / 2)};
            }
            page.StretchDIBits(dib, x, y, cellW, cellH, source);
            x += cellW + margin / 4;
            if (x + cellW > pageOptions.devicePixelsX - margin) {
                x = margin;
                y += cellH + margin / 4;
            }
        }
    }
    if (font != 0) page.DeleteObject(font);
    return page.Finish();
}

namespace {

// Deterministic stand-in bytes for an embedded font file.
std::vector<uint8_t> SyntheticFontData(uint32_t size, uint32_t pageNumber) {
    std::vector<uint8_t> data(size);
    SplitMix64 gen(0x466F6E74ull + pageNumber);
    for (uint8_t& b : data) b = static_cast<uint8_t>(gen.Next());
    if (size >= 4) data[0] = 0, data[1] = 1, data[2] = 0, data[3] = 0;  // TrueType version 1.0
    return data;
}

} // namespace

std::vector<uint8_t> GenerateSpoolJob(const SpoolJobOptions& options) {
    if (options.pages == 0) throw std::invalid_argument("a job needs at least one page");
    if (!IsSpoolPageRecord(options.pageType)) throw std::invalid_argument("page type must be 1, 9, 10 or 12");
    SpoolWriter spool(options.documentName, options.outputName);
    for (const auto& [type, body] : options.extraRecords) spool.Record(type, body);
    for (uint32_t n = 1; n <= options.pages; ++n) {
        if (options.devmode && options.devmodeBeforePage == n) spool.Devmode(BuildDevmode(*options.devmode));
        std::optional<size_t> fontAt;
        if (options.engineFontBytes > 0) fontAt = spool.EngineFont(SyntheticFontData(options.engineFontBytes, n));
        const size_t pageAt = spool.Page(GenerateEmfPage(options, n), options.pageType);
        if (fontAt) spool.Extension(SPL_ENGINE_FONT_EXT, *fontAt);
        if (options.pageType == SPL_METAFILE_DATA)
            spool.Extension(options.blackWhite ? SPL_BW_METAFILE_EXT : SPL_METAFILE_EXT, pageAt);
    }
    for (const std::vector<uint8_t>& emf : options.extraPages) spool.Extension(SPL_METAFILE_EXT, spool.Page(emf));
    return spool.Take();
}

std::vector<uint8_t> WrapEmfPages(const std::vector<std::vector<uint8_t>>& pages,
                                  const std::vector<std::string>& names, std::u16string_view documentName) {
    if (pages.empty()) throw std::invalid_argument("nothing to wrap");
    SpoolWriter spool(documentName);
    for (size_t i = 0; i < pages.size(); ++i) {
        const std::string name = i < names.size() ? names[i] : "page " + std::to_string(i + 1);
        const EmfCheck check = CheckEmf(pages[i]);
        if (!check.ok)
            throw std::invalid_argument(name + ": not a usable EMF at byte " + std::to_string(check.problemOffset) +
                                        ": " + check.problem);
        std::vector<uint8_t> body(pages[i]);
        PadTo4(body);
        const size_t at = spool.Page(body, SPL_METAFILE_DATA);
        spool.Extension(SPL_METAFILE_EXT, at);
    }
    return spool.Take();
}

// ---- command line -----------------------------------------------------------------

namespace {

constexpr char kUsage[] =
    "usage: qlspoolgen [options] OUT.spl\n"
    "       qlspoolgen --wrap A.emf [B.emf ...] OUT.spl\n"
    "\n"
    "Writes an EMF spool file of synthetic pages, or wraps EMF files into one\n"
    "(a metafile-data record and its extension record per file).\n"
    "\n"
    "Pages:\n"
    "  --pages N            number of pages (default 1)\n"
    "  --images LIST        comma list of flat,gradient,noise,logo,photo (default logo)\n"
    "  --bpp LIST           comma list of 1,4,8,16,24,32: every image at every depth (default 24)\n"
    "  --size WxH           bitmap size in pixels (default 64x64)\n"
    "  --topdown            top-down bitmaps (default bottom-up)\n"
    "  --clip               draw only the middle half of each bitmap (clipped source rectangle)\n"
    "  --seed N             seed of the noise and photo images (default 1)\n"
    "  --font FACE          create and select the font FACE and write a title line on each page\n"
    "  --device WxH         device size in pixels (default 4960x7016)\n"
    "  --mm WxH             device size in millimetres (default 210x297)\n"
    "  --page-type N        page record type 1, 9, 10 or 12 (default 12, followed by extension 13)\n"
    "  --bw                 type-12 pages get the black-and-white extension record 14\n"
    "  --engine-font N      an engine font record of N synthetic bytes before every page,\n"
    "                       with an engine font extension record (15) after the page\n"
    "  --record TYPE[:HEX]  an extra record of TYPE with body HEX after the file header (repeatable)\n"
    "Device mode record (type 3):\n"
    "  --devmode            write a device mode record\n"
    "  --devmode-page N     put it before page N (default 1)\n"
    "  --qlex               add the private \"QLEX\" extension (implies --qlpd 0 unless given)\n"
    "  --qlpd FLAGS         add the private \"QLPD\" trailer with these flags\n"
    "  --driver-extra N     private bytes (raised to 8 with a trailer, 1032 with the extension)\n"
    "  --copies N  --paper N  --orientation N  --form NAME   public fields\n"
    "  --rules A,B,C,D      the extension's four compression rules (default 0xffffffff,0,0,0)\n"
    "  --dpi-reduction N    the extension's bitmap DPI reduction\n"
    "Document:\n"
    "  --doc NAME           document name in the file header (default \"qlspoolgen job\")\n"
    "  --output NAME        output file name in the file header (default none)\n"
    "  --help               show this text\n"
    "\n"
    "Numbers may be decimal or 0x-prefixed hexadecimal. Exit codes: 0 written,\n"
    "1 output not writable, 2 bad arguments or unusable input.\n";

struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

unsigned long long Number(const std::string& option, const std::string& text, unsigned long long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') throw UsageError(option + ": not a number: " + text);
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != 0 || v > max)
        throw UsageError(option + ": bad value " + text + " (0.." + std::to_string(max) + ")");
    return v;
}

int16_t Short(const std::string& option, const std::string& text) {
    if (!text.empty() && text[0] == '-')
        return static_cast<int16_t>(-static_cast<int32_t>(Number(option, text.substr(1), 32768)));
    return static_cast<int16_t>(Number(option, text, 32767));
}

std::vector<std::string> SplitComma(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return parts;
}

std::pair<uint32_t, uint32_t> Dimensions(const std::string& option, const std::string& text, uint32_t max) {
    const size_t x = text.find('x');
    if (x == std::string::npos) throw UsageError(option + ": expected WxH, got " + text);
    const auto w = static_cast<uint32_t>(Number(option, text.substr(0, x), max));
    const auto h = static_cast<uint32_t>(Number(option, text.substr(x + 1), max));
    if (w == 0 || h == 0) throw UsageError(option + ": sizes must be positive");
    return {w, h};
}

std::vector<uint8_t> Hex(const std::string& option, const std::string& text) {
    if (text.size() % 2 != 0) throw UsageError(option + ": odd number of hex digits");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::string pair = text.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) || !std::isxdigit(static_cast<unsigned char>(pair[1])))
            throw UsageError(option + ": not hex: " + pair);
        out.push_back(static_cast<uint8_t>(std::strtoul(pair.c_str(), nullptr, 16)));
    }
    return out;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace

int RunSpoolGen(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        SpoolJobOptions job;
        DevmodeOptions devmode;
        bool wantDevmode = false, wantQlpd = false, wrap = false;
        std::vector<std::string> positional;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            auto value = [&]() -> const std::string& {
                if (i + 1 >= args.size()) throw UsageError(a + ": missing value");
                return args[++i];
            };
            if (a == "--help" || a == "-h") {
                out << kUsage;
                return 0;
            } else if (a == "--pages") {
                job.pages = static_cast<uint32_t>(Number(a, value(), 10000));
                if (job.pages == 0) throw UsageError("--pages: at least 1");
            } else if (a == "--images") {
                job.images.clear();
                for (const std::string& name : SplitComma(value())) {
                    const auto kind = ParseImageKind(name);
                    if (!kind) throw UsageError("--images: unknown image \"" + name + "\"");
                    job.images.push_back(*kind);
                }
            } else if (a == "--bpp") {
                job.bitsPerPixel.clear();
                for (const std::string& text : SplitComma(value())) {
                    const auto bpp = static_cast<uint32_t>(Number(a, text, 32));
                    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
                        throw UsageError("--bpp: " + text + " is not one of 1,4,8,16,24,32");
                    job.bitsPerPixel.push_back(bpp);
                }
            } else if (a == "--size") {
                std::tie(job.imageWidth, job.imageHeight) = Dimensions(a, value(), 4096);
            } else if (a == "--topdown") {
                job.topDown = true;
            } else if (a == "--clip") {
                job.clipSource = true;
            } else if (a == "--seed") {
                job.seed = Number(a, value(), UINT64_MAX);
            } else if (a == "--font") {
                job.font = Utf8ToUtf16(value());
                if (job.font.empty()) throw UsageError("--font: empty face name");
            } else if (a == "--device") {
                const auto [w, h] = Dimensions(a, value(), 100000);
                job.page.devicePixelsX = static_cast<int32_t>(w);
                job.page.devicePixelsY = static_cast<int32_t>(h);
            } else if (a == "--mm") {
                const auto [w, h] = Dimensions(a, value(), 10000);
                job.page.millimetersX = static_cast<int32_t>(w);
                job.page.millimetersY = static_cast<int32_t>(h);
            } else if (a == "--page-type") {
                job.pageType = static_cast<uint32_t>(Number(a, value(), 12));
                if (!IsSpoolPageRecord(job.pageType)) throw UsageError("--page-type: must be 1, 9, 10 or 12");
            } else if (a == "--bw") {
                job.blackWhite = true;
            } else if (a == "--engine-font") {
                job.engineFontBytes = static_cast<uint32_t>(Number(a, value(), 64u << 20));
            } else if (a == "--record") {
                const std::string& recordArg = value();
                const size_t colon = recordArg.find(':');
                const auto type = static_cast<uint32_t>(Number(a, recordArg.substr(0, colon), 0xFFFFFFFFu));
                job.extraRecords.emplace_back(type, colon == std::string::npos
                                                        ? std::vector<uint8_t>{}
                                                        : Hex(a, recordArg.substr(colon + 1)));
            } else if (a == "--devmode") {
                wantDevmode = true;
            } else if (a == "--devmode-page") {
                wantDevmode = true;
                job.devmodeBeforePage = static_cast<uint32_t>(Number(a, value(), 10000));
            } else if (a == "--qlex") {
                wantDevmode = true;
                devmode.extension = true;
            } else if (a == "--qlpd") {
                wantDevmode = wantQlpd = true;
                devmode.trailerFlags = static_cast<uint32_t>(Number(a, value(), 0xFFFFFFFFu));
            } else if (a == "--driver-extra") {
                wantDevmode = true;
                devmode.driverExtra = static_cast<uint16_t>(Number(a, value(), 0xFFFF - 220));
            } else if (a == "--copies") {
                wantDevmode = true;
                devmode.copies = Short(a, value());
            } else if (a == "--paper") {
                wantDevmode = true;
                devmode.paperSize = Short(a, value());
            } else if (a == "--orientation") {
                wantDevmode = true;
                devmode.orientation = Short(a, value());
            } else if (a == "--form") {
                wantDevmode = true;
                devmode.formName = Utf8ToUtf16(value());
            } else if (a == "--rules") {
                wantDevmode = true;
                devmode.extension = true;
                const auto parts = SplitComma(value());
                if (parts.size() != 4) throw UsageError("--rules: four values expected");
                for (size_t r = 0; r < 4; ++r)
                    devmode.compressionRules[r] = static_cast<uint32_t>(Number(a, parts[r], 0xFFFFFFFFu));
            } else if (a == "--dpi-reduction") {
                wantDevmode = true;
                devmode.extension = true;
                devmode.bitmapDPIReduction = static_cast<uint32_t>(Number(a, value(), 0xFFFFFFFFu));
            } else if (a == "--doc") {
                job.documentName = Utf8ToUtf16(value());
            } else if (a == "--output") {
                job.outputName = Utf8ToUtf16(value());
            } else if (a == "--wrap") {
                wrap = true;
            } else if (a.size() > 1 && a[0] == '-') {
                throw UsageError("unknown option " + a);
            } else {
                positional.push_back(a);
            }
        }
        if (positional.empty()) throw UsageError("no output file given");
        const std::string outPath = positional.back();
        positional.pop_back();

        std::vector<uint8_t> bytes;
        if (wrap) {
            if (positional.empty()) throw UsageError("--wrap: no EMF files given");
            std::vector<std::vector<uint8_t>> pages;
            for (const std::string& path : positional) {
                auto data = ReadWholeFile(path);
                if (!data) throw UsageError(path + ": cannot read");
                pages.push_back(std::move(*data));
            }
            bytes = WrapEmfPages(pages, positional, job.documentName);
        } else {
            if (!positional.empty()) throw UsageError("unexpected argument " + positional.front());
            if (wantDevmode) {
                if (devmode.extension && !wantQlpd) devmode.trailerFlags = 0;
                job.devmode = devmode;
                if (job.devmodeBeforePage == 0 || job.devmodeBeforePage > job.pages)
                    throw UsageError("--devmode-page: must name one of the pages");
            }
            bytes = GenerateSpoolJob(job);
        }
        if (!WriteFile(outPath, bytes)) {
            err << "qlspoolgen: cannot write " << outPath << "\n";
            return 1;
        }
        out << "qlspoolgen: wrote " << outPath << " (" << bytes.size() << " bytes)\n";
        return 0;
    } catch (const UsageError& e) {
        err << "qlspoolgen: " << e.what() << "\n(see qlspoolgen --help)\n";
        return 2;
    } catch (const std::exception& e) {
        err << "qlspoolgen: " << e.what() << "\n";
        return 2;
    }
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    const std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    std::vector<uint8_t> data(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(data.data()), size)) return std::nullopt;
    return data;
}

} // namespace qltools

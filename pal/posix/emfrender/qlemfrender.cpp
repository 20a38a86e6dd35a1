// qlemfrender: converts one EMF page to SVG in a process of its own, so that
// a malformed page that makes the converter fault ends this process and not
// the one hosting the print processor.
//
//   qlemfrender WIDTH HEIGHT [--fault]  < page.emf  > page.svg
//
// WIDTH and HEIGHT are the size of the SVG image (the sheet, in device
// units). EMF+ records are ignored, so pages that carry them print their EMF
// fallback records. Before it reads anything the process limits itself to
// kMaxMemory of address space and kMaxCpuSeconds of processor time (the host
// also kills it after a wall-clock limit). Bitmaps larger than
// kMaxImagePixels are left out of the SVG, so the host never decodes them.
// --fault makes the process crash on purpose (the GdiPlayEMF fault knob).
// Exit codes: 0 SVG written, 1 the page could not be converted, 2 bad usage.
#include <emf2svg.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr rlim_t kMaxMemory = rlim_t(1) << 30;      // 1 GiB
constexpr rlim_t kMaxCpuSeconds = 30;
constexpr size_t kMaxInput = size_t(256) << 20;    // one page record at most
constexpr uint64_t kMaxImagePixels = 64ull << 20;   // 64 megapixels per bitmap

void LimitSelf() {
    rlimit cpu{kMaxCpuSeconds, kMaxCpuSeconds + 1};
    setrlimit(RLIMIT_CPU, &cpu);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The address and thread sanitizers reserve terabytes of shadow address space.
    rlimit as{kMaxMemory, kMaxMemory};
    setrlimit(RLIMIT_AS, &as);
#endif
}

bool ReadAll(int fd, std::vector<char>& out) {
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out.size() + size_t(n) > kMaxInput) return false;
        out.insert(out.end(), buf, buf + n);
    }
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Width x height of a base64 PNG from its IHDR chunk; 0 when unreadable.
uint64_t PngPixels(const std::string& svg, size_t start) {
    unsigned char bytes[24];
    size_t got = 0, pos = start;
    uint32_t acc = 0;
    int bits = 0;
    while (got < sizeof bytes && pos < svg.size()) {
        const int v = Base64Value(svg[pos++]);
        if (v < 0) break;
        acc = (acc << 6) | uint32_t(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes[got++] = uint8_t(acc >> bits);
        }
    }
    if (got < sizeof bytes || std::memcmp(bytes + 12, "IHDR", 4) != 0) return 0;
    auto be = [&](int o) { return uint32_t(bytes[o]) << 24 | uint32_t(bytes[o + 1]) << 16 | uint32_t(bytes[o + 2]) << 8 | bytes[o + 3]; };
    return uint64_t(be(16)) * be(20);
}

// Drops <image> elements whose bitmap is over the limit (or unreadable).
std::string DropHugeImages(const std::string& svg) {
    std::string out;
    size_t pos = 0;
    for (;;) {
        const size_t tag = svg.find("<image", pos);
        if (tag == std::string::npos) break;
        const size_t end = svg.find("/>", tag);
        if (end == std::string::npos) break;
        const std::string marker = "base64,";
        const size_t data = svg.find(marker, tag);
        bool keep = false;
        if (data != std::string::npos && data < end) {
            const uint64_t pixels = PngPixels(svg, data + marker.size());
            keep = pixels > 0 && pixels <= kMaxImagePixels;
        }
        out.append(svg, pos, tag - pos);
        if (keep) out.append(svg, tag, end + 2 - tag);
        pos = end + 2;
    }
    out.append(svg, pos, std::string::npos);
    return out;
}

// The converter sizes its picture by the header's drawing bounds; a printed
// page is the whole frame. The bounds become the frame in device units
// (frame in 0.01 mm, szlDevice pixels per szlMillimeters).
void BoundsToFrame(std::vector<char>& emf) {
    if (emf.size() < 88) return;
    int32_t v[20];
    std::memcpy(v, emf.data(), sizeof v);
    if (v[0] != 1) return;  // EMR_HEADER
    const int64_t devX = v[18], devY = v[19];
    int32_t mm[2];
    std::memcpy(mm, emf.data() + 80, sizeof mm);
    if (devX <= 0 || devY <= 0 || mm[0] <= 0 || mm[1] <= 0) return;
    const int32_t bounds[4] = {int32_t(v[6] * devX / (int64_t(mm[0]) * 100)), int32_t(v[7] * devY / (int64_t(mm[1]) * 100)),
                               int32_t(v[8] * devX / (int64_t(mm[0]) * 100)), int32_t(v[9] * devY / (int64_t(mm[1]) * 100))};
    if (bounds[2] <= bounds[0] || bounds[3] <= bounds[1]) return;
    std::memcpy(emf.data() + 8, bounds, sizeof bounds);
}

} // namespace

// Under the sanitizers: the converter's own leaks would turn every page into
// a failed one (the process ends after one page anyway), and a memory error
// it makes must end the process on a signal, as a fault does without them.
extern "C" const char* __lsan_default_options() { return "detect_leaks=0"; }
extern "C" const char* __asan_default_options() { return "detect_leaks=0:abort_on_error=1"; }

int main(int argc, char** argv) {
    LimitSelf();
    if (argc < 3) return 2;
    const double width = std::atof(argv[1]), height = std::atof(argv[2]);
    if (!(width > 0) || !(height > 0)) return 2;
    if (argc > 3 && std::strcmp(argv[3], "--fault") == 0) {
        // A renderer fault, on purpose: the process ends on SIGSEGV.
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    std::vector<char> emf;
    if (!ReadAll(0, emf) || emf.empty()) return 1;
    BoundsToFrame(emf);

    generatorOptions options{};
    options.nameSpace = const_cast<char*>("");
    options.verbose = false;
    options.emfplus = false;
    options.svgDelimiter = true;
    options.imgWidth = width;
    options.imgHeight = height;
    char* svg = nullptr;
    size_t length = 0;
    const int ok = emf2svg(emf.data(), emf.size(), &svg, &length, &options);
    if (!ok || !svg) {
        std::free(svg);
        return 1;
    }
    const std::string checked = DropHugeImages(std::string(svg, length));
    std::free(svg);
    return WriteAll(1, checked.data(), checked.size()) ? 0 : 1;
}

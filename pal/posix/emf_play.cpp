// GdiPlayEMF: plays a job's EMF spool pages on a printer device context.
//
// Route of one page: the EMF bytes go to the helper process qlemfrender
// (an in-memory file as its standard input), which converts them to SVG;
// librsvg draws the SVG onto the page's cairo context, scaled to the sheet.
// The helper runs with a time and memory limit; a helper that dies on a
// signal is a renderer fault and is raised as pal::gdi::PlaybackFault.
#include "gdi_print.h"

#include "core.h"
#include "faults.h"

#include <librsvg/rsvg.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace pal::gdi {
namespace {

constexpr uint64_t kMaxJobBytes = uint64_t(1) << 30;  // the whole spool file
constexpr size_t kMaxSvgBytes = size_t(256) << 20;    // one converted page
constexpr int kPageTimeoutMs = 60000;                  // one page in the helper
constexpr uint32_t SPL_FILE_HEADER = 0x00010000;
constexpr uint32_t EMF_SIGNATURE = 0x464D4520;         // " EMF"

bool IsPageRecord(uint32_t type) { return type == 1 || type == 9 || type == 10 || type == 12; }

uint32_t U32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The job's spool data, read through the simulated spooler.
bool ReadJob(LPWSTR jobName, std::vector<uint8_t>& data) {
    HANDLE h = nullptr;
    if (!OpenPrinterW(jobName, &h, nullptr)) return false;
    std::vector<uint8_t> buf(65536);
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadPrinter(h, buf.data(), DWORD(buf.size()), &got)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        if (data.size() + got > kMaxJobBytes) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            ok = false;
            break;
        }
        data.insert(data.end(), buf.begin(), buf.begin() + got);
    }
    const DWORD error = GetLastError();
    ClosePrinter(h);
    SetLastError(error);
    return ok;
}

// The document name the spool file header carries; empty when it has none.
std::u16string SpoolDocumentName(const std::vector<uint8_t>& data) {
    if (data.size() < 16) return {};
    const uint32_t headerSize = std::min<uint32_t>(U32(data.data() + 4), uint32_t(data.size()));
    const uint32_t offset = U32(data.data() + 8);
    std::u16string name;
    for (uint64_t pos = offset; offset >= 16 && pos + 2 <= headerSize && name.size() < 256; pos += 2) {
        const char16_t c = char16_t(data[pos] | (data[pos + 1] << 8));
        if (!c) return name;
        name.push_back(c);
    }
    return {};
}

struct Page {
    size_t offset = 0;
    size_t size = 0;
};

// Page records of a spool file; false when the framing is broken before the
// first page or the file is no spool file. A record that runs past the end
// ends the list (an unfinished job prints the pages it has).
bool SplitPages(const std::vector<uint8_t>& data, std::vector<Page>& pages) {
    if (data.size() < 8 || U32(data.data()) != SPL_FILE_HEADER) return false;
    const uint32_t headerSize = U32(data.data() + 4);
    if (headerSize < 8 || headerSize > data.size()) return false;
    size_t pos = headerSize;
    while (pos + 8 <= data.size()) {
        const uint32_t type = U32(data.data() + pos), size = U32(data.data() + pos + 4);
        if (size == 0 && type == 0) break;
        if (size > data.size() - pos - 8) break;
        if (IsPageRecord(type) && size > 0) pages.push_back({pos + 8, size});
        pos += 8 + size_t(size);
    }
    return true;
}

// Where the helper lives: $QL_EMF_RENDERER, else beside this library.
std::string HelperPath() {
    if (const char* env = std::getenv("QL_EMF_RENDERER"); env && *env) return env;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&HelperPath), &info) && info.dli_fname) {
        std::string lib = info.dli_fname;
        const size_t slash = lib.rfind('/');
        return (slash == std::string::npos ? std::string(".") : lib.substr(0, slash)) + "/qlemfrender";
    }
    return "qlemfrender";
}

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

enum class Convert { Ok, Failed, Fault };

// Runs the helper on one EMF page; the SVG lands in `svg`.
Convert ConvertPage(const uint8_t* emf, size_t size, int width, int height, bool fault, std::string& svg) {
    const int input = memfd_create("qlemfpage", MFD_CLOEXEC);
    if (input < 0) return Convert::Failed;
    for (size_t done = 0; done < size;) {
        ssize_t w = write(input, emf + done, size - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            close(input);
            return Convert::Failed;
        }
        done += size_t(w);
    }
    lseek(input, 0, SEEK_SET);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(input);
        return Convert::Failed;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string path = HelperPath();
    std::string w = std::to_string(width), h = std::to_string(height);
    std::vector<char*> argv = {const_cast<char*>(path.c_str()), w.data(), h.data()};
    if (fault) argv.push_back(const_cast<char*>("--fault"));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return Convert::Failed;
    }

    bool tooBig = false, timedOut = false;
    const int64_t deadline = NowMs() + kPageTimeoutMs;
    char buf[65536];
    for (;;) {
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int r = poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (svg.size() + size_t(n) > kMaxSvgBytes) {
            tooBig = true;
            break;
        }
        svg.append(buf, size_t(n));
    }
    close(out[0]);
    if (timedOut || tooBig) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) return Convert::Fault;
    if (tooBig) return Convert::Failed;
    if (WIFSIGNALED(status)) return Convert::Fault;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Convert::Ok : Convert::Failed;
}

// Draws an SVG page over the whole sheet.
bool DrawSvg(DeviceContext& dc, const std::string& svg) {
    GError* error = nullptr;
    // A page's bitmaps travel as data URIs, one attribute of megabytes for a
    // full-page photograph: beyond the XML parser's default limits, so the
    // limits are lifted. The SVG itself is bounded by kMaxSvgBytes.
    GInputStream* stream = g_memory_input_stream_new_from_data(svg.data(), gssize(svg.size()), nullptr);
    RsvgHandle* handle =
        rsvg_handle_new_from_stream_sync(stream, nullptr, RSVG_HANDLE_FLAG_UNLIMITED, nullptr, &error);
    g_object_unref(stream);
    if (!handle) {
        if (error) g_error_free(error);
        return false;
    }
    cairo_t* cr = PageContext(dc);
    bool ok = false;
    if (cr) {
        const PageGeometry& g = dc.geometry;
        RsvgRectangle sheet{-double(g.offsetX), -double(g.offsetY), double(g.physicalWidth), double(g.physicalHeight)};
        cairo_save(cr);
        ok = rsvg_handle_render_document(handle, cr, &sheet, &error);
        cairo_restore(cr);
    }
    if (error) g_error_free(error);
    g_object_unref(handle);
    return ok;
}

} // namespace

PlaybackFault::~PlaybackFault() = default;
const char* PlaybackFault::what() const noexcept { return "EMF renderer fault"; }

} // namespace pal::gdi

using namespace pal::gdi;
using pal::FailWith;

PAL_API BOOL GdiPlayEMF(LPWSTR pwszPrinterName, LPDEVMODEW pDevmode, LPWSTR pwszDocName, void* pfnEMFPlayFn,
                        HANDLE hPageQuery) {
    if (!pwszPrinterName || !pwszDocName || pfnEMFPlayFn || hPageQuery) return FailWith(ERROR_INVALID_PARAMETER);
    // The fault knob: the renderer crashes on purpose before the first page.
    if (pal::faults::Check("GdiPlayEMF").fail) {
        std::string ignored;
        if (ConvertPage(nullptr, 0, 1, 1, true, ignored) == Convert::Fault) throw PlaybackFault();
        return FailWith(ERROR_GEN_FAILURE);
    }
    std::vector<uint8_t> data;
    std::vector<Page> pages;
    try {
        if (!ReadJob(pwszDocName, data)) return FALSE;
        if (!SplitPages(data, pages)) return FailWith(ERROR_INVALID_DATA);
    } catch (const std::bad_alloc&) {
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }

    HDC hdc = CreateDCW(nullptr, pwszPrinterName, nullptr, pDevmode);
    if (!hdc) return FALSE;
    auto dc = LookupDC(hdc);
    std::u16string docName = SpoolDocumentName(data);
    if (docName.empty()) docName = pwszDocName;
    DOCINFOW di{sizeof(DOCINFOW), docName.c_str(), nullptr, nullptr, 0};
    bool ok = StartDocW(hdc, &di) > 0;
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    bool faulted = false;
    for (size_t i = 0; ok && i < pages.size(); ++i) {
        const Page page = pages[i];
        if (StartPage(hdc) <= 0) {
            ok = false;
            error = GetLastError();
            break;
        }
        std::string svg;
        const bool isEmf = page.size >= 8 && U32(data.data() + page.offset) == 1 &&
                           (page.size < 44 || U32(data.data() + page.offset + 40) == EMF_SIGNATURE);
        Convert c = Convert::Failed;
        if (isEmf) {
            const PageGeometry& g = dc->geometry;
            c = ConvertPage(data.data() + page.offset, page.size, g.physicalWidth, g.physicalHeight, false, svg);
        }
        if (c == Convert::Fault) {
            faulted = true;
            ok = false;
            break;
        }
        bool drawn = false;
        if (c == Convert::Ok) {
            std::lock_guard<std::mutex> g(dc->lock);
            drawn = DrawSvg(*dc, svg);
        }
        if (!drawn) {
            ok = false;
            error = ERROR_INVALID_DATA;
            break;
        }
        if (EndPage(hdc) <= 0) {
            ok = false;
            error = GetLastError();
        }
    }
    if (ok && EndDoc(hdc) <= 0) {
        ok = false;
        error = GetLastError();
    }
    if (!ok) AbortDoc(hdc);
    DeleteDC(hdc);
    if (faulted) throw PlaybackFault();
    if (!ok) return FailWith(error ? error : ERROR_GEN_FAILURE);
    return TRUE;
}

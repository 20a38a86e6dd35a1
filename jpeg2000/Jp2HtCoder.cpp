// The High-Throughput JPEG 2000 coder on OpenJPH. OpenJPH codes the image line
// by line, so its memory stays small whatever the image size, but it has no
// rate allocation: the size of the stream follows from the quantisation step
// alone. The target size is reached in three moves:
//
//  1. Estimate: up to three encodes of a sample of the image (every second
//     to fourth band of 128 rows, each band coded on its own; small images
//     whole) find the step at which the sample has its share of the aim:
//     each next step from the nearest size and a power law,
//     size = c * step^-k, with k from two sizes (between the closest sizes
//     above and below the aim once there are both). Bands keep the full
//     resolution, so the sample has the image's own mix of detail and flat
//     areas (a scaled-down copy would have more detail per pixel); coded
//     apart, no wavelet crosses from band to band.
//  2. One encode of the whole image at that step.
//  3. If it is larger than the target or below 90 % of it, one more encode
//     at a step corrected by the measured size and k, aimed at 90 % (from
//     above) or 95 % (from below) of the target. Of the two streams the
//     larger one within the target is kept, else the smaller one.
//
// The streams are collected in buffers of target + JP2_HT_SIZE_SLACK bytes;
// the one kept is handed out only when it fits there, else JP2_ERR_BUDGET. With a
// target of 0 the image is coded reversibly (lossless) in one encode.
#include "jpeg2000/Jp2HtCoder.h"

// OpenJPH's headers need ojph_arch.h and ojph_base.h before the others.
// clang-format off
#include <ojph_arch.h>
#include <ojph_base.h>
#include <ojph_codestream.h>
#include <ojph_file.h>
#include <ojph_mem.h>
#include <ojph_message.h>
#include <ojph_params.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// The sample: every n-th band of SAMPLE_BAND_ROWS rows, n up to
// SAMPLE_BAND_EVERY so that there are at least SAMPLE_BANDS bands. Many thin
// bands follow the image's content down the page better than a few thick
// ones; each band is coded apart, and its edges cost a few per cent more bytes than
// the same rows inside the whole image (see AIM_SAMPLE).
constexpr uint32_t SAMPLE_BAND_ROWS = 128;
constexpr uint32_t SAMPLE_BAND_EVERY = 4;
constexpr uint32_t SAMPLE_BANDS = 4;
// Images up to this many pixels, or too short for SAMPLE_BANDS bands, are
// their own sample.
constexpr uint64_t SAMPLE_WHOLE_PIXELS = uint64_t(1) << 20;
// Where the estimate aims, as a part of the target: AIM_ESTIMATE, but from
// a sample of bands at the target itself, because the edges of the bands
// cost more bytes than the same rows inside the whole image (3 to 10 per
// cent on photographs), so the whole image lands below it. A correction
// from above aims at AIM_CORRECTION, from below at AIM_ESTIMATE.
constexpr double AIM_SAMPLE = 1.0;
constexpr double AIM_ESTIMATE = 0.95;
constexpr double AIM_CORRECTION = 0.90;
// A stream below this part of the target is corrected too (upwards).
constexpr double AIM_LOW = 0.90;
// A sample encode this close to where the estimate aims ends the estimate.
constexpr double SAMPLE_CLOSE = 0.03;
// Sample encodes at most.
constexpr int SAMPLE_ENCODES = 3;
// Quantisation steps (of samples scaled to 0..1) the coder is given: below
// the smallest the 8-bit image is as good as lossless, above the largest the
// step's exponent would not fit the quantisation marker.
constexpr double STEP_MIN = 1.0 / 4096;
constexpr double STEP_MAX = 1.0;
constexpr double STEP_FIRST = 1.0 / 128;
// Exponent k of size = c * step^-k assumed before two sizes are known (about
// what photographs show at 1 to 2 bits per pixel), and the range a fitted
// one is kept in.
constexpr double K_FIRST = 0.8;
constexpr double K_MIN = 0.25, K_MAX = 4.0;

const char* const kProgressionNames[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};

// OpenJPH reports through global handlers that print; these only stop the
// encode (an error must not return to the coder).
class CQuietInfo : public ojph::message_info {
public:
    void operator()(int, const char*, int, const char*, ...) override {}
};
class CQuietWarning : public ojph::message_warning {
public:
    void operator()(int, const char*, int, const char*, ...) override {}
};
class CThrowingError : public ojph::message_error {
public:
    void operator()(int, const char*, int, const char*, ...) override { throw std::runtime_error("openjph"); }
};

void QuietMessages() {
    static CQuietInfo info;
    static CQuietWarning warning;
    static CThrowingError error;
    static std::once_flag once;
    std::call_once(once, [] {
        ojph::configure_info(&info);
        ojph::configure_warning(&warning);
        ojph::configure_error(&error);
    });
}

// Where an encode writes: the first cbCapacity bytes are kept in a buffer of
// the codec's allocator (none for a capacity of 0), the rest only counted, so
// an encode that overshoots still tells its size.
class CBudgetFile : public ojph::outfile_base {
public:
    CBudgetFile(const Jp2HtSettings& s, size_t cbCapacity)
        : m_s(s), m_cbCapacity(cbCapacity),
          m_p(cbCapacity ? static_cast<unsigned char*>(s.pfnAlloc(cbCapacity, s.pAllocContext)) : nullptr) {}
    ~CBudgetFile() override {
        if (m_p) m_s.pfnFree(m_p, m_s.pFreeContext);
    }
    CBudgetFile(const CBudgetFile&) = delete;
    CBudgetFile& operator=(const CBudgetFile&) = delete;

    bool Allocated() const { return m_cbCapacity == 0 || m_p; }
    void Rewind() { m_cbWritten = 0; }
    uint64_t Size() const { return m_cbWritten; }
    bool Kept() const { return m_p && m_cbWritten <= m_cbCapacity; }
    const unsigned char* Data() const { return m_p; }

    size_t write(const void* ptr, size_t size) override {
        if (m_p && m_cbWritten < m_cbCapacity)
            std::memcpy(m_p + m_cbWritten, ptr, std::min<uint64_t>(size, m_cbCapacity - m_cbWritten));
        m_cbWritten += size;
        return size;
    }
    ojph::si64 tell() override { return static_cast<ojph::si64>(m_cbWritten); }

private:
    const Jp2HtSettings& m_s;
    size_t m_cbCapacity;
    unsigned char* m_p;
    uint64_t m_cbWritten = 0;
};

// One encode of rows y0 .. y0 + cRows of the image as an image of its own
// (one tile) at quantisation step dStep; 0 or the row reader's error. The
// bytes of its main header go to *pcbHeader.
int EncodeOnce(const Jp2HtSettings& s, uint32_t y0, uint32_t cRows, double dStep, CBudgetFile& file,
               std::vector<unsigned char>& row, uint64_t* pcbHeader = nullptr) {
    ojph::codestream cs;
    ojph::param_siz siz = cs.access_siz();
    siz.set_image_extent(ojph::point(s.dwWidth, cRows));
    siz.set_tile_size(ojph::size(s.dwWidth, cRows));
    siz.set_num_components(JP2_COMPONENTS_RGB);
    for (ojph::ui32 c = 0; c < JP2_COMPONENTS_RGB; ++c) siz.set_component(c, ojph::point(1, 1), 8, false);
    ojph::param_cod cod = cs.access_cod();
    cod.set_num_decomposition(Jp2FitLevels(s.dwLevels, s.dwWidth, cRows));
    cod.set_block_dims(64, 64);
    cod.set_progression_order(kProgressionNames[s.iProgression]);
    cod.set_color_transform(true);
    cod.set_reversible(s.qwTargetSize == 0);
    if (s.qwTargetSize) cs.access_qcd().set_irrev_quant(static_cast<float>(dStep));
    cs.set_planar(false);

    file.Rewind();
    cs.write_headers(&file);
    if (pcbHeader) *pcbHeader = file.Size();
    ojph::ui32 comp = 0;
    ojph::line_buf* line = cs.exchange(nullptr, comp);
    for (uint32_t y = y0; y < y0 + cRows; ++y) {
        for (int c = 0; c < JP2_COMPONENTS_RGB; ++c) {
            const int rc = s.pfnRowReader(row.data(), static_cast<int>(comp), y, 0, s.dwWidth, s.pRowReaderContext);
            if (rc != 0) return rc;
            ojph::si32* pDest = line->i32;
            for (uint32_t x = 0; x < s.dwWidth; ++x) pDest[x] = row[x];
            line = cs.exchange(line, comp);
        }
    }
    cs.flush();
    cs.close();
    return 0;
}

// The first rows of the sample's bands: every n-th band of SAMPLE_BAND_ROWS
// rows, n up to SAMPLE_BAND_EVERY so that the sample has at least
// SAMPLE_BANDS bands; empty for the whole image.
std::vector<uint32_t> SampleBands(uint32_t w, uint32_t h) {
    std::vector<uint32_t> bands;
    const uint32_t n = std::min(SAMPLE_BAND_EVERY, h / (SAMPLE_BAND_ROWS * SAMPLE_BANDS));
    if (uint64_t(w) * h <= SAMPLE_WHOLE_PIXELS || n < 2) return bands;
    const uint32_t dwGroup = SAMPLE_BAND_ROWS * n;
    for (uint32_t y0 = dwGroup / 2; y0 + SAMPLE_BAND_ROWS <= h; y0 += dwGroup) bands.push_back(y0);
    return bands;
}

// The stream size of the sample at dStep. Each band is coded as an image of
// its own, one after the other, so that OpenJPH holds the buffers of one
// band at a time (it allocates those of every tile of a stream at once);
// their sizes add up as the bands' tiles in one stream would, with one main
// header.
int EncodeSample(const Jp2HtSettings& s, const std::vector<uint32_t>& bands, double dStep, CBudgetFile& counter,
                 std::vector<unsigned char>& row, double* pdSize) {
    int rc = 0;
    if (bands.empty()) {
        rc = EncodeOnce(s, 0, s.dwHeight, dStep, counter, row);
        *pdSize = double(counter.Size());
        return rc;
    }
    uint64_t cbTotal = 0, cbHeader = 0;
    for (size_t i = 0; i < bands.size() && rc == 0; ++i) {
        rc = EncodeOnce(s, bands[i], SAMPLE_BAND_ROWS, dStep, counter, row, &cbHeader);
        cbTotal += counter.Size() - (i ? cbHeader : 0);
    }
    *pdSize = double(cbTotal);
    return rc;
}

double ClampStep(double d) {
    return std::clamp(d, STEP_MIN, STEP_MAX);
}

// One encode: its quantisation step and the size of its stream.
struct Point {
    double dStep = 0, dSize = 0;
};

// The step at which the stream of p becomes dWanted bytes.
double StepFor(const Point& p, double dWanted, double k) {
    return ClampStep(p.dStep * std::pow(std::max(p.dSize, 1.0) / std::max(dWanted, 1.0), 1.0 / k));
}

// k of size = c * step^-k through two encodes; `fallback` when they do not
// tell it.
double Slope(const Point& a, const Point& b, double fallback) {
    if (a.dStep == b.dStep || a.dSize <= 0 || b.dSize <= 0 || a.dSize == b.dSize) return fallback;
    return std::clamp(std::log(a.dSize / b.dSize) / std::log(b.dStep / a.dStep), K_MIN, K_MAX);
}

// Hands a finished stream to the output callback, or JP2_ERR_BUDGET when it
// outgrew its buffer.
int Emit(const Jp2HtSettings& s, const CBudgetFile& file) {
    if (!file.Kept() || file.Size() > UINT32_MAX) return JP2_ERR_BUDGET;
    return s.pfnOutput(file.Data(), 0, static_cast<uint32_t>(file.Size()), s.pOutputContext);
}

int Encode(const Jp2HtSettings& s) {
    QuietMessages();
    std::vector<unsigned char> row(s.dwWidth);
    // Lossless: room for the raw samples and an eighth more.
    const uint64_t cbRaw = uint64_t(s.dwWidth) * s.dwHeight * JP2_COMPONENTS_RGB;
    const uint64_t cbLimit = s.qwTargetSize ? s.qwTargetSize + JP2_HT_SIZE_SLACK : cbRaw + cbRaw / 8 + JP2_HT_SIZE_SLACK;
    if (cbLimit > UINT32_MAX) return JP2_ERR_MEMORY;
    CBudgetFile first(s, static_cast<size_t>(cbLimit));
    if (!first.Allocated()) return JP2_ERR_MEMORY;
    int rc = 0;
    if (s.qwTargetSize == 0) {
        if ((rc = EncodeOnce(s, 0, s.dwHeight, 0, first, row)) != 0) return rc;
        return Emit(s, first);
    }

    // 1. The estimate: encodes of the sample until one lands close to the
    // sample's share of the aim.
    const std::vector<uint32_t> sample = SampleBands(s.dwWidth, s.dwHeight);
    const double dFraction = sample.empty() ? 1.0 : double(sample.size()) * SAMPLE_BAND_ROWS / s.dwHeight;
    const double dTarget = double(s.qwTargetSize);
    const double dWanted = (sample.empty() ? AIM_ESTIMATE : AIM_SAMPLE) * dTarget * dFraction;
    CBudgetFile counter(s, 0);
    double dStep = STEP_FIRST, k = K_FIRST;
    Point above, below, last;
    for (int i = 0; i < SAMPLE_ENCODES; ++i) {
        Point p{dStep, 0};
        if ((rc = EncodeSample(s, sample, dStep, counter, row, &p.dSize)) != 0) return rc;
        if (i > 0) k = Slope(last, p, k);
        last = p;
        Point& side = p.dSize > dWanted ? above : below;
        if (!side.dStep || std::abs(p.dSize - dWanted) < std::abs(side.dSize - dWanted)) side = p;
        // Between a size above and one below, the slope between them;
        // else the latest slope from the nearer one.
        if (above.dStep && below.dStep) k = Slope(above, below, k);
        const Point& nearer = !below.dStep || (above.dStep && above.dSize / dWanted < dWanted / below.dSize) ? above : below;
        dStep = StepFor(nearer, dWanted, k);
        if (std::abs(p.dSize / dWanted - 1) <= SAMPLE_CLOSE || dStep == p.dStep) break;
    }

    // 2. The whole image.
    if ((rc = EncodeOnce(s, 0, s.dwHeight, dStep, first, row)) != 0) return rc;
    const double dSize = double(first.Size());
    if (dSize <= dTarget && dSize >= AIM_LOW * dTarget) return Emit(s, first);

    // 3. One correction, over the target or well below it. When the sample
    // was the whole image its encodes lie on the same curve, and the slope
    // to the nearer one is the better guess.
    if (sample.empty()) k = Slope(last, {dStep, dSize}, k);
    dStep = StepFor({dStep, dSize}, (dSize > dTarget ? AIM_CORRECTION : AIM_ESTIMATE) * dTarget, k);
    CBudgetFile second(s, static_cast<size_t>(cbLimit));
    if (!second.Allocated()) return JP2_ERR_MEMORY;
    if ((rc = EncodeOnce(s, 0, s.dwHeight, dStep, second, row)) != 0) return rc;
    // The larger stream within the target, else the smaller one.
    const bool fFirstFits = first.Size() <= s.qwTargetSize, fSecondFits = second.Size() <= s.qwTargetSize;
    const bool fTakeFirst = fFirstFits && fSecondFits ? first.Size() > second.Size()
                            : fFirstFits || fSecondFits ? fFirstFits
                                                        : first.Size() < second.Size();
    return Emit(s, fTakeFirst ? first : second);
}

}  // namespace

int Jp2HtEncode(const Jp2HtSettings& s) {
    try {
        return Encode(s);
    } catch (const std::bad_alloc&) {
        return JP2_ERR_MEMORY;
    } catch (...) {
        return JP2_ERR_ENCODE;
    }
}

#include "tools/lib/SyntheticImages.h"

#include <algorithm>
#include <stdexcept>

namespace qltools {

namespace {

constexpr uint32_t kMaxSide = 16384;

RgbImage Blank(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
        throw std::invalid_argument("image size must be 1.." + std::to_string(kMaxSide) + " on each side");
    RgbImage image;
    image.width = width;
    image.height = height;
    image.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    return image;
}

void Put(RgbImage& image, uint32_t x, uint32_t y, uint8_t r, uint8_t g, uint8_t b) {
    uint8_t* p = image.Pixel(x, y);
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

// Ratio a / b scaled to 0..255; b > 0.
uint8_t Ramp(uint64_t a, uint64_t b) { return static_cast<uint8_t>(std::min<uint64_t>(255, a * 255 / b)); }

// Lattice value of one noise octave: 0..255 from the cell coordinates.
uint32_t LatticeValue(uint64_t seed, uint32_t octave, uint32_t cx, uint32_t cy) {
    SplitMix64 gen(seed ^ (static_cast<uint64_t>(octave) << 56) ^ (static_cast<uint64_t>(cx) << 28) ^ cy);
    return static_cast<uint32_t>(gen.Next() & 0xFF);
}

// Bilinear value noise of one octave with cells of `cell` pixels, in 0..255,
// integer arithmetic only.
uint32_t OctaveAt(uint64_t seed, uint32_t octave, uint32_t cell, uint32_t x, uint32_t y) {
    const uint32_t cx = x / cell, cy = y / cell;
    const uint32_t fx = x % cell, fy = y % cell;
    const uint32_t v00 = LatticeValue(seed, octave, cx, cy);
    const uint32_t v10 = LatticeValue(seed, octave, cx + 1, cy);
    const uint32_t v01 = LatticeValue(seed, octave, cx, cy + 1);
    const uint32_t v11 = LatticeValue(seed, octave, cx + 1, cy + 1);
    const uint32_t top = v00 * (cell - fx) + v10 * fx;
    const uint32_t bottom = v01 * (cell - fx) + v11 * fx;
    return (top * (cell - fy) + bottom * fy) / (cell * cell);
}

} // namespace

uint64_t SplitMix64::Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::optional<ImageKind> ParseImageKind(std::string_view name) {
    if (name == "flat") return ImageKind::Flat;
    if (name == "gradient") return ImageKind::Gradient;
    if (name == "noise") return ImageKind::Noise;
    if (name == "logo") return ImageKind::Logo;
    if (name == "photo") return ImageKind::Photo;
    return std::nullopt;
}

const char* ImageKindName(ImageKind kind) {
    switch (kind) {
    case ImageKind::Flat: return "flat";
    case ImageKind::Gradient: return "gradient";
    case ImageKind::Noise: return "noise";
    case ImageKind::Logo: return "logo";
    case ImageKind::Photo: return "photo";
    }
    return "?";
}

RgbImage MakeFlatImage(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b) {
    RgbImage image = Blank(width, height);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) Put(image, x, y, r, g, b);
    return image;
}

RgbImage MakeGradientImage(uint32_t width, uint32_t height) {
    RgbImage image = Blank(width, height);
    const uint64_t w = std::max<uint32_t>(1, width - 1), h = std::max<uint32_t>(1, height - 1);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            Put(image, x, y, Ramp(x, w), Ramp(y, h), Ramp(static_cast<uint64_t>(x) + y, w + h));
    return image;
}

RgbImage MakeNoiseImage(uint32_t width, uint32_t height, uint64_t seed) {
    RgbImage image = Blank(width, height);
    SplitMix64 grain(seed * 31 + 7);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            // Three octaves (cells of 32, 8 and 2 pixels) weighted 4:2:1 give
            // large soft shapes with texture on top, per channel shifted so
            // the colours vary independently.
            uint32_t channel[3];
            for (uint32_t c = 0; c < 3; ++c) {
                const uint32_t v = 4 * OctaveAt(seed + c, 0, 32, x, y) + 2 * OctaveAt(seed + c, 1, 8, x, y) +
                                   OctaveAt(seed + c, 2, 2, x, y);
                channel[c] = v / 7;
            }
            const int jitter = static_cast<int>(grain.Below(17)) - 8;
            uint8_t out[3];
            for (uint32_t c = 0; c < 3; ++c)
                out[c] = static_cast<uint8_t>(std::clamp(static_cast<int>(channel[c]) + jitter, 0, 255));
            Put(image, x, y, out[0], out[1], out[2]);
        }
    }
    return image;
}

RgbImage MakeLogoImage(uint32_t width, uint32_t height) {
    RgbImage image = MakeFlatImage(width, height, 255, 255, 255);
    const int64_t w = width, h = height;
    const int64_t side = std::min(w, h);
    const int64_t cx = w / 3, cy = h / 2;
    const int64_t outer = side * 3 / 10, inner = side * 2 / 10;
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            const int64_t dx = x - cx, dy = y - cy;
            const int64_t d2 = dx * dx + dy * dy;
            if (d2 <= outer * outer && d2 >= inner * inner)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0x1F, 0x4E, 0x9A);  // ring
            else if (x >= w * 6 / 10 && x < w * 9 / 10 && y >= h * 2 / 10 && y < h * 4 / 10)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0xD9, 0x3A, 0x2B);  // bar
            else if (x >= w * 6 / 10 && x < w * 8 / 10 && y >= h * 5 / 10 && y < h * 8 / 10)
                Put(image, static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0x2E, 0xA0, 0x4F);  // square
        }
    }
    return image;
}

namespace {

// a blended toward b by t/255.
uint8_t Mix(uint32_t a, uint32_t b, uint32_t t) {
    return static_cast<uint8_t>((a * (255 - t) + b * t) / 255);
}

uint8_t Clamp8(int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); }

} // namespace

RgbImage MakePhotoImage(uint32_t width, uint32_t height, uint64_t seed) {
    RgbImage image = Blank(width, height);
    const int64_t w = width, h = height, side = std::min(w, h);
    const auto cell = [side](int64_t divisor, uint32_t least) {
        return std::max<uint32_t>(least, static_cast<uint32_t>(side / divisor));
    };
    const uint32_t cloudCell = cell(5, 8), cloudFine = cell(20, 4), hillCell = cell(4, 8);
    const uint32_t grassCell = cell(40, 4), grassFine = cell(300, 2), rippleCell = cell(80, 2);
    // The sun, the house and the lake, in pixels.
    const int64_t sunX = w * 3 / 4, sunY = h * 18 / 100, sunR = side / 12, sunSoft = std::max<int64_t>(1, side / 80);
    const int64_t houseL = w * 15 / 100, houseR = w * 40 / 100;
    const int64_t lakeX = w * 65 / 100, lakeY = h * 80 / 100, lakeRx = std::max<int64_t>(1, w / 5),
                  lakeRy = std::max<int64_t>(1, h / 16);
    SplitMix64 grain(seed * 131 + 17);
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            const auto ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y);
            // Rolling hills: the horizon follows smooth 1-D noise.
            const int64_t horizon =
                h * 55 / 100 + (static_cast<int64_t>(OctaveAt(seed, 4, hillCell, ux, 0)) - 128) * h / 1400;
            const int64_t houseTop = horizon - h * 10 / 100, houseBottom = horizon + h * 12 / 100;
            const int64_t roofTop = houseTop - h * 7 / 100;
            uint8_t r, g, b;
            if (y < horizon) {
                // Sky: darker blue at the top, clouds where the noise is high.
                const int64_t t = y * 255 / std::max<int64_t>(1, horizon);
                r = Clamp8(70 + t * 100 / 255);
                g = Clamp8(120 + t * 100 / 255);
                b = Clamp8(230 - t * 20 / 255);
                const uint32_t cloud = (2 * OctaveAt(seed, 0, cloudCell, ux, uy) + OctaveAt(seed, 1, cloudFine, ux, uy)) / 3;
                if (cloud > 140) {
                    const uint32_t k = std::min<uint32_t>(255, (cloud - 140) * 3);
                    r = Mix(r, 245, k), g = Mix(g, 245, k), b = Mix(b, 250, k);
                }
                const int64_t dx = x - sunX, dy = y - sunY, d2 = dx * dx + dy * dy;
                if (d2 < (sunR + sunSoft) * (sunR + sunSoft)) {
                    const uint32_t k = d2 <= sunR * sunR ? 255 : static_cast<uint32_t>(std::clamp<int64_t>(
                                                                     (sunR + sunSoft) * (sunR + sunSoft) - d2, 0, 255));
                    r = Mix(r, 255, k), g = Mix(g, 236, k), b = Mix(b, 180, k);
                }
            } else {
                // Grass: two octaves of texture, darker toward the bottom.
                const int64_t t = (2 * OctaveAt(seed, 2, grassCell, ux, uy) + OctaveAt(seed, 3, grassFine, ux, uy)) / 3;
                const int64_t depth = (y - horizon) * 50 / std::max<int64_t>(1, h - horizon);
                r = Clamp8(50 + t / 3 - depth / 2);
                g = Clamp8(100 + t / 3 - depth);
                b = Clamp8(30 + t / 6 - depth / 3);
                const int64_t ex = (x - lakeX) * 1000 / lakeRx, ey = (y - lakeY) * 1000 / lakeRy;
                if (ex * ex + ey * ey <= 1000000) {
                    const int64_t ripple = OctaveAt(seed, 5, rippleCell, ux, uy * 4) / 5;
                    r = Clamp8(40 + ripple / 2), g = Clamp8(90 + ripple), b = Clamp8(150 + ripple);
                }
            }
            // The house: a shaded wall with two windows and a door, a roof.
            if (x >= houseL && x < houseR && y >= houseTop && y < houseBottom) {
                const int64_t shade = (x - houseL) * 40 / std::max<int64_t>(1, houseR - houseL);
                r = Clamp8(215 - shade), g = Clamp8(190 - shade), b = Clamp8(150 - shade);
                const int64_t wx = (x - houseL) * 20 / std::max<int64_t>(1, houseR - houseL);
                const int64_t wy = (y - houseTop) * 20 / std::max<int64_t>(1, houseBottom - houseTop);
                if ((wx == 3 || wx == 4 || wx == 14 || wx == 15) && wy >= 4 && wy < 9) r = 40, g = 60, b = 90;
                if (wx >= 8 && wx < 11 && wy >= 11) r = 90, g = 50, b = 30;
            } else if (y >= roofTop && y < houseTop) {
                const int64_t inset = (houseTop - y) * (houseR - houseL) / 2 / std::max<int64_t>(1, houseTop - roofTop);
                if (x >= houseL + inset && x < houseR - inset) r = 150, g = 45, b = 35;
            }
            const int jitter = static_cast<int>(grain.Below(7)) - 3;
            Put(image, ux, uy, Clamp8(r + jitter), Clamp8(g + jitter), Clamp8(b + jitter));
        }
    }
    return image;
}

RgbImage MakeImage(ImageKind kind, uint32_t width, uint32_t height, uint64_t seed) {
    switch (kind) {
    case ImageKind::Flat: return MakeFlatImage(width, height, 0x33, 0x66, 0xCC);
    case ImageKind::Gradient: return MakeGradientImage(width, height);
    case ImageKind::Noise: return MakeNoiseImage(width, height, seed);
    case ImageKind::Logo: return MakeLogoImage(width, height);
    case ImageKind::Photo: return MakePhotoImage(width, height, seed);
    }
    throw std::invalid_argument("unknown image kind");
}

uint64_t ImageHash(const RgbImage& image) {
    uint64_t h = 0xCBF29CE484222325ull;
    auto mix = [&h](uint8_t b) {
        h ^= b;
        h *= 0x100000001B3ull;
    };
    for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(image.width >> (8 * i)));
    for (int i = 0; i < 4; ++i) mix(static_cast<uint8_t>(image.height >> (8 * i)));
    for (uint8_t b : image.rgb) mix(b);
    return h;
}

} // namespace qltools

// Deterministic synthetic pictures for test jobs: a flat colour, gradients,
// photo-like noise and a small logo. Every image is a function of its
// parameters alone (own pseudo-random generator, no floating point whose
// rounding could differ between builds), so a test can pin its hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qltools {

// An 8-bit RGB picture, rows top to bottom, 3 bytes per pixel (R, G, B).
struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;  // width * height * 3 bytes

    const uint8_t* Pixel(uint32_t x, uint32_t y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    uint8_t* Pixel(uint32_t x, uint32_t y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

enum class ImageKind { Flat, Gradient, Noise, Logo, Photo };

// "flat", "gradient", "noise", "logo", "photo".
std::optional<ImageKind> ParseImageKind(std::string_view name);
const char* ImageKindName(ImageKind kind);

// Every image needs width and height of at least 1; larger than 16384 on a
// side is refused (std::invalid_argument).
RgbImage MakeFlatImage(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b);
// Horizontal red ramp, vertical green ramp, blue along the diagonal.
RgbImage MakeGradientImage(uint32_t width, uint32_t height);
// Smooth value noise over a few octaves plus fine grain: compresses like a
// photograph, unlike the flat and gradient images.
RgbImage MakeNoiseImage(uint32_t width, uint32_t height, uint64_t seed);
// A ring, a bar and a square on white, in three colours.
RgbImage MakeLogoImage(uint32_t width, uint32_t height);
// A landscape that compresses like a photograph: a sky with soft clouds and a
// sun, hills with textured grass, a house with hard edges, a lake with
// ripples, and a little grain. Shapes scale with the image size.
RgbImage MakePhotoImage(uint32_t width, uint32_t height, uint64_t seed);

// The kind with the defaults above (flat is a mid blue, noise uses `seed`).
RgbImage MakeImage(ImageKind kind, uint32_t width, uint32_t height, uint64_t seed = 1);

// 64-bit FNV-1a over the pixels and the dimensions; for pinning images in tests.
uint64_t ImageHash(const RgbImage& image);

// The splitmix64 generator that the noise uses; exposed for tests that want
// reproducible random data of their own.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    // Uniform in [0, bound); bound > 0.
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

private:
    uint64_t m_state;
};

} // namespace qltools

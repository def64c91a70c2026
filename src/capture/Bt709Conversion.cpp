#include "capture/Bt709Conversion.h"

#include <algorithm>

namespace tovo {
namespace {

// BT.709, studio range: Y = 16 + 219·(0.2126 R + 0.7152 G + 0.0722 B)/255,
// Cb = 128 + 224·(B − Y′)/(1.8556·255), Cr = 128 + 224·(R − Y′)/(1.5748·255), in 1/65536.
constexpr int32_t yR = 11966, yG = 40255, yB = 4064;
constexpr int32_t uR = -6596, uG = -22189, uB = 28785;
constexpr int32_t vR = 28785, vG = -26146, vB = -2639;
constexpr int32_t half = 1 << 15;
constexpr int32_t yOffset = (16 << 16) + half;
constexpr int32_t cOffset = (128 << 16) + half;

__attribute__((always_inline)) inline uint8_t clampByte(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Built for AVX2 (eight lanes of 32-bit products) and for the baseline; the loader picks
// one for the machine.
#if defined(__x86_64__) && defined(__clang__)
#define TOVO_VECTOR_CLONES __attribute__((target_clones("avx2", "sse4.1", "default")))
#else
#define TOVO_VECTOR_CLONES
#endif

// Pixels are read as 32-bit words (B in the low byte): contiguous loads with shifts and
// masks, which vectorise well, where byte-by-byte reads at a stride of 4 do not.
__attribute__((always_inline)) inline uint32_t pixelAt(const uint8_t* row, int x) {
    uint32_t p;
    __builtin_memcpy(&p, row + 4 * x, 4);
    return p;
}

__attribute__((always_inline)) inline void lumaRow(const uint8_t* __restrict src, uint8_t* __restrict y, int width) {
    for (int x = 0; x < width; ++x) {
        const uint32_t p = pixelAt(src, x);
        const int32_t b = p & 0xFF, g = (p >> 8) & 0xFF, r = (p >> 16) & 0xFF;
        y[x] = static_cast<uint8_t>((yR * r + yG * g + yB * b + yOffset) >> 16);
    }
}

// One row of chroma from two rows of pixels.
__attribute__((always_inline)) inline void chromaRow(const uint8_t* __restrict top, const uint8_t* __restrict bottom,
                                                     uint8_t* __restrict u, uint8_t* __restrict v, int width) {
    const int pairs = width / 2;
    for (int x = 0; x < pairs; ++x) {
        const uint32_t a = pixelAt(top, 2 * x), b2 = pixelAt(top, 2 * x + 1), c = pixelAt(bottom, 2 * x),
                       d = pixelAt(bottom, 2 * x + 1);
        const int32_t b = (a & 0xFF) + (b2 & 0xFF) + (c & 0xFF) + (d & 0xFF);
        const int32_t g = ((a >> 8) & 0xFF) + ((b2 >> 8) & 0xFF) + ((c >> 8) & 0xFF) + ((d >> 8) & 0xFF);
        const int32_t r = ((a >> 16) & 0xFF) + ((b2 >> 16) & 0xFF) + ((c >> 16) & 0xFF) + ((d >> 16) & 0xFF);
        // The sums are four pixels: the coefficients take a quarter.
        u[x] = clampByte((uR * r + uG * g + uB * b + 4 * cOffset) >> 18);
        v[x] = clampByte((vR * r + vG * g + vB * b + 4 * cOffset) >> 18);
    }
    if (width % 2) {
        const uint32_t a = pixelAt(top, width - 1), c = pixelAt(bottom, width - 1);
        const int32_t b = 2 * ((a & 0xFF) + (c & 0xFF)), g = 2 * (((a >> 8) & 0xFF) + ((c >> 8) & 0xFF)),
                      r = 2 * (((a >> 16) & 0xFF) + ((c >> 16) & 0xFF));
        u[pairs] = clampByte((uR * r + uG * g + uB * b + 4 * cOffset) >> 18);
        v[pairs] = clampByte((vR * r + vG * g + vB * b + 4 * cOffset) >> 18);
    }
}

}  // namespace

TOVO_VECTOR_CLONES void bgrxToYuv420Bt709Rows(const uint8_t* bgrx, int stride, int width, int height, int y0, int y1,
                                              const Yuv420Planes& out) {
    y1 = std::min(y1, height);
    for (int row = y0 & ~1; row < y1; row += 2) {
        const uint8_t* top = bgrx + static_cast<size_t>(row) * stride;
        const uint8_t* bottom = row + 1 < height ? top + stride : top;
        lumaRow(top, out.y + static_cast<size_t>(row) * out.yStride, width);
        if (row + 1 < height) lumaRow(bottom, out.y + static_cast<size_t>(row + 1) * out.yStride, width);
        chromaRow(top, bottom, out.u + static_cast<size_t>(row / 2) * out.uStride,
                  out.v + static_cast<size_t>(row / 2) * out.vStride, width);
    }
}

void bgrxToYuv420Bt709(const uint8_t* bgrx, int stride, int width, int height, const Yuv420Planes& out) {
    bgrxToYuv420Bt709Rows(bgrx, stride, width, height, 0, height, out);
}

}  // namespace tovo

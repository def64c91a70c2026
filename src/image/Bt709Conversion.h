#pragma once

#include <cstdint>

namespace tovo {

// BGRX pictures (full-range sRGB, B G R X in memory) to BT.709 studio-range YUV 4:2:0: the
// pictures the video encoders take, tagged BT.709 limited. Chroma is the average of each
// 2 × 2 block (odd edges repeat their last column or row). Fixed-point with 16 fractional
// bits; within ±1 code value of the exact result. Written so that the compiler vectorises
// the row loops; no library in this project's set does BT.709 at this speed.
struct Yuv420Planes {
    uint8_t* y;
    int yStride;
    uint8_t* u;
    int uStride;
    uint8_t* v;
    int vStride;
};

void bgrxToYuv420Bt709(const uint8_t* bgrx, int stride, int width, int height, const Yuv420Planes& out);

// Only the rows firstRow … endRow − 1 (firstRow even): the rest of `out` is left as it is.
void bgrxToYuv420Bt709Rows(const uint8_t* bgrx, int stride, int width, int height, int firstRow, int endRow,
                           const Yuv420Planes& out);

}  // namespace tovo

// BGRX → YUV 4:2:0 for one 1920×1080 picture of text-like content, on one core: this
// project's BT.709 converter beside libswscale (BT.709, the flags the encoder used) and
// libyuv's ARGBToI420 (BT.601 only, for scale); ours also over pictures in no cache, as a
// captured one is. Prints one JSON line with ms per picture and the largest difference from
// the exact BT.709 result.
//   convert [COUNT]
#include "image/Bt709Conversion.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int w = 1920, h = 1080;
    std::vector<uint8_t> bgrx(static_cast<size_t>(w) * h * 4);
    std::mt19937 random(7);
    for (size_t i = 0; i < bgrx.size(); ++i) bgrx[i] = (i / 4 / 9) % 3 ? 240 : static_cast<uint8_t>(random());
    std::vector<uint8_t> y(w * h), u(w * h / 4), v(w * h / 4);
    tovo::Yuv420Planes planes{y.data(), w, u.data(), w / 2, v.data(), w / 2};

    auto time = [&](auto&& body) {
        body();
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) body();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / count;
    };
    double ours = time([&] { tovo::bgrxToYuv420Bt709(bgrx.data(), w * 4, w, h, planes); });
    // A captured picture comes fresh from the X server, not from this core's caches: the same
    // conversion over six copies in turn, into six outputs, more than the last-level cache holds.
    std::vector<std::vector<uint8_t>> copies(6, bgrx), outputs(6, std::vector<uint8_t>(w * h * 3 / 2));
    int next = 0;
    double cold = time([&] {
        uint8_t* o = outputs[next].data();
        tovo::bgrxToYuv420Bt709(copies[next].data(), w * 4, w, h,
                                {o, w, o + w * h, w / 2, o + w * h + w * h / 4, w / 2});
        next = (next + 1) % static_cast<int>(copies.size());
    });
    // The largest difference from the exact BT.709 studio-range result.
    double worst = 0;
    for (int row = 0; row < h; row += 7) {
        for (int x = 0; x < w; x += 3) {
            const uint8_t* p = &bgrx[(static_cast<size_t>(row) * w + x) * 4];
            double exact = 16 + 219 * (0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0]) / 255;
            worst = std::max(worst, std::fabs(y[row * w + x] - exact));
        }
    }

    SwsContext* point =
        sws_getContext(w, h, AV_PIX_FMT_BGR0, w, h, AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(point, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    const uint8_t* src[4] = {bgrx.data()};
    const int srcStride[4] = {w * 4};
    uint8_t* dst[4] = {y.data(), u.data(), v.data()};
    const int dstStride[4] = {w, w / 2, w / 2};
    double swscale = time([&] { sws_scale(point, src, srcStride, 0, h, dst, dstStride); });
    double libyuv601 =
        time([&] { libyuv::ARGBToI420(bgrx.data(), w * 4, y.data(), w, u.data(), w / 2, v.data(), w / 2, w, h); });
    std::printf(
        "{\"picture\":\"1920x1080\",\"ours_bt709_ms\":%.3f,\"ours_uncached_ms\":%.3f,\"swscale_bt709_ms\":%.3f,"
        "\"libyuv_bt601_ms\":%.3f,"
        "\"ours_max_error\":%.2f}\n",
        ours, cold, swscale, libyuv601, worst);
    sws_freeContext(point);
}

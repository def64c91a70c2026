// Encodes raw BGRX pictures (a file of width × height × 4-byte frames, as ffmpeg writes
// with -f rawvideo -pix_fmt bgr0) the way a stream does: converted to BT.709 YUV 4:2:0 by
// the capture path's converter, then the service's encoder session at a fixed bit rate.
// Writes the Annex B stream. RATE is the session's rate control: "average", "quality" or
// "quality:F" (F the rate factor), as TOVO_VIDEO_RATE takes it; the service's default when
// left out.
//   encode_file RAW WIDTH HEIGHT FPS KBPS OUT.h264 [RATE]
#include "image/Bt709Conversion.h"
#include "video/libav/LibavEncoderSession.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr, "usage: encode_file RAW WIDTH HEIGHT FPS KBPS OUT.h264 [RATE]\n");
        return 2;
    }
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), fps = std::atoi(argv[4]), kbps = std::atoi(argv[5]);
    std::ifstream in(argv[1], std::ios::binary);
    std::ofstream out(argv[6], std::ios::binary);
    std::string error;
    const char* rateText = argc == 8 ? argv[7] : nullptr;
    auto rate = tovo::RateControl::fromEnvironment([rateText](const char*) { return rateText; });
    auto session = tovo::libavSessionFactory(rate)(
        tovo::EncoderSessionConfig{tovo::VideoCodec::h264, w, h, kbps * 1000, fps, rate}, error);
    if (!session) {
        std::fprintf(stderr, "encode_file: %s\n", error.c_str());
        return 1;
    }
    std::vector<uint8_t> bgrx(static_cast<size_t>(w) * h * 4);
    const int stride = (w + 1) & ~1;
    int64_t n = 0;
    auto write = [&](const tovo::EncoderOutput& o) {
        if (o.status == tovo::EncoderOutput::Status::unit) out << o.data;
    };
    while (in.read(reinterpret_cast<char*>(bgrx.data()), static_cast<std::streamsize>(bgrx.size()))) {
        auto yuv = std::make_shared<std::vector<uint8_t>>(tovo::VideoPicture::yuv420Bytes(stride, h));
        tovo::VideoPicture picture{yuv, w, h, stride, 0, static_cast<uint64_t>(n + 1), tovo::PictureFormat::yuv420};
        uint8_t* base = yuv->data();
        tovo::bgrxToYuv420Bt709(
            bgrx.data(), w * 4, w, h,
            {base, stride, base + picture.uOffset(), stride / 2, base + picture.vOffset(), stride / 2});
        if (session->submit(picture, n * 1000000 / fps, n == 0) != 0) return 1;
        write(session->receive());
        ++n;
    }
    write(session->flush());
    std::fprintf(stderr, "encode_file: %lld pictures\n", static_cast<long long>(n));
}

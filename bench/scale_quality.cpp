// Scales one raw BGRX picture with each of libyuv's filters (box, bilinear, linear, none)
// and times each: writes NEW_W×NEW_H raw BGRX files OUT.<filter> and prints ms per picture.
//   scale_quality RAW W H NEW_W NEW_H OUT
#include <libyuv/scale_argb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 7) return 2;
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), nw = std::atoi(argv[4]), nh = std::atoi(argv[5]);
    std::vector<uint8_t> in(static_cast<size_t>(w) * h * 4), out(static_cast<size_t>(nw) * nh * 4);
    std::ifstream(argv[1], std::ios::binary)
        .read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
    std::printf("{");
    const std::pair<const char*, libyuv::FilterMode> filters[] = {{"box", libyuv::kFilterBox},
                                                                  {"bilinear", libyuv::kFilterBilinear},
                                                                  {"linear", libyuv::kFilterLinear},
                                                                  {"none", libyuv::kFilterNone}};
    for (const auto& [name, mode] : filters) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < 50; ++i) libyuv::ARGBScale(in.data(), w * 4, w, h, out.data(), nw * 4, nw, nh, mode);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / 50;
        std::ofstream(std::string(argv[6]) + "." + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
        std::printf("%s\"%s_ms\":%.3f", mode == libyuv::kFilterBox ? "" : ",", name, ms);
    }
    std::printf("}\n");
}

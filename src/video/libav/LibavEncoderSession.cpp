// Encoder sessions on FFmpeg's libavcodec: NVENC or VAAPI when their device exists, else
// libx264 / libx265 tuned for one picture in, one access unit out.
#include "video/libav/LibavEncoderSession.h"

#include "base/Mutex.h"
#include "image/Bt709Conversion.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tovo {
namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

void quietLibav() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

enum class Backend { software, nvenc, vaapi };

struct Candidate {
    std::string name;
    Backend backend;
};

// Encoders to try for a codec, hardware first when its device node exists.
std::vector<Candidate> candidates(VideoCodec codec) {
    std::string base = toString(codec);
    std::vector<Candidate> out;
    if (::access("/dev/nvidiactl", R_OK | W_OK) == 0) out.push_back({base + "_nvenc", Backend::nvenc});
    if (::access("/dev/dri/renderD128", R_OK | W_OK) == 0) out.push_back({base + "_vaapi", Backend::vaapi});
    out.push_back({codec == VideoCodec::h264 ? "libx264" : "libx265", Backend::software});
    return out;
}

class LibavEncoderSession final : public EncoderSession {
public:
    ~LibavEncoderSession() override {
        av_frame_free(&frame);
        av_frame_free(&wrapped);
        av_frame_free(&hwFrame);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
        av_buffer_unref(&hwFrames);
        av_buffer_unref(&hwDevice);
        sws_freeContext(sws);
        sws_freeContext(swsYuv);
    }

    // Null with `error` set when this encoder cannot run here.
    static std::unique_ptr<LibavEncoderSession> open(const Candidate& candidate, const EncoderSessionConfig& config,
                                                     std::string& error) {
        const AVCodec* codec = avcodec_find_encoder_by_name(candidate.name.c_str());
        if (!codec) {
            error = candidate.name + " is not in this libavcodec";
            return nullptr;
        }
        auto session = std::unique_ptr<LibavEncoderSession>(new LibavEncoderSession(candidate, config));
        if (!session->configure(codec, error)) return nullptr;
        return session;
    }

    std::string encoderID() const override { return candidate.name; }
    std::optional<bool> isHardware() const override { return candidate.backend != Backend::software; }
    std::string parameterSets() const override {
        if (!ctx->extradata || ctx->extradata_size <= 0) return {};
        return std::string(reinterpret_cast<const char*>(ctx->extradata), static_cast<size_t>(ctx->extradata_size));
    }

    bool setBitrate(int bps) override {
        // libx264 and NVENC pick up changed rate fields on the next picture; the others
        // only read them when opened.
        if (candidate.backend == Backend::vaapi ||
            (config.codec == VideoCodec::hevc && candidate.backend == Backend::software)) {
            return false;
        }
        applyRate(bps);
        return true;
    }

    int submit(const VideoPicture& picture, int64_t ptsMicros, bool forceKey) override {
        if (picture.width != config.width || picture.height != config.height || !picture.pixels) return AVERROR(EINVAL);
        const bool yuv = picture.format == PictureFormat::yuv420;
        if (yuv && picture.pixels->size() < VideoPicture::yuv420Bytes(picture.stride, picture.height))
            return AVERROR(EINVAL);
        AVFrame* input = frame;
        int status = 0;
        if (yuv && softwareFormat == AV_PIX_FMT_YUV420P) {
            // The picture is already what the encoder takes: hand it over as it is, kept
            // alive by the frame's reference for as long as the encoder holds it.
            av_frame_unref(wrapped);
            auto* keep = new std::shared_ptr<const std::vector<uint8_t>>(picture.pixels);
            uint8_t* base = const_cast<uint8_t*>((*keep)->data());
            wrapped->buf[0] = av_buffer_create(
                base, (*keep)->size(),
                [](void* opaque, uint8_t*) {
                    delete static_cast<std::shared_ptr<const std::vector<uint8_t>>*>(opaque);
                },
                keep, AV_BUFFER_FLAG_READONLY);
            if (!wrapped->buf[0]) {
                delete keep;
                return AVERROR(ENOMEM);
            }
            wrapped->format = AV_PIX_FMT_YUV420P;
            wrapped->width = picture.width;
            wrapped->height = picture.height;
            wrapped->data[0] = base;
            wrapped->data[1] = base + picture.uOffset();
            wrapped->data[2] = base + picture.vOffset();
            wrapped->linesize[0] = picture.stride;
            wrapped->linesize[1] = wrapped->linesize[2] = picture.stride / 2;
            input = wrapped;
        } else {
            if ((status = av_frame_make_writable(frame)) < 0) return status;
            if (!yuv && softwareFormat == AV_PIX_FMT_YUV420P) {
                bgrxToYuv420Bt709(picture.pixels->data(), picture.stride, picture.width, picture.height,
                                  {frame->data[0], frame->linesize[0], frame->data[1], frame->linesize[1],
                                   frame->data[2], frame->linesize[2]});
            } else if (yuv) {
                const uint8_t* base = picture.pixels->data();
                const uint8_t* src[4] = {base, base + picture.uOffset(), base + picture.vOffset(), nullptr};
                const int srcStride[4] = {picture.stride, picture.stride / 2, picture.stride / 2, 0};
                sws_scale(yuvConverter(), src, srcStride, 0, picture.height, frame->data, frame->linesize);
            } else {
                const uint8_t* src[4] = {picture.pixels->data(), nullptr, nullptr, nullptr};
                const int srcStride[4] = {picture.stride, 0, 0, 0};
                sws_scale(sws, src, srcStride, 0, picture.height, frame->data, frame->linesize);
            }
        }
        if (candidate.backend == Backend::vaapi) {
            av_frame_unref(hwFrame);
            if ((status = av_hwframe_get_buffer(hwFrames, hwFrame, 0)) < 0) return status;
            if ((status = av_hwframe_transfer_data(hwFrame, frame, 0)) < 0) return status;
            input = hwFrame;
        }
        input->pts = ptsMicros;
        input->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        input->key_frame = forceKey ? 1 : 0;
        return avcodec_send_frame(ctx, input);
    }

    EncoderOutput receive() override { return take(avcodec_receive_packet(ctx, packet)); }

    EncoderOutput flush() override {
        int status = avcodec_send_frame(ctx, nullptr);
        if (status < 0 && status != AVERROR_EOF) return {EncoderOutput::Status::failed, {}, false, averror(status)};
        status = avcodec_receive_packet(ctx, packet);
        // Drained without a packet: the picture never came out.
        if (status == AVERROR_EOF) return {};
        return take(status);
    }

private:
    LibavEncoderSession(Candidate candidate, EncoderSessionConfig config)
        : candidate(std::move(candidate)), config(config) {}

    // x264 at a constant quality, capped by the bit rate.
    bool constantQuality() const {
        return config.rate.mode == RateControl::Mode::quality && config.codec == VideoCodec::h264 &&
               candidate.backend == Backend::software;
    }

    void applyRate(int bps) {
        ctx->bit_rate = bps;
        // No one-second window may carry more than 1.5 × the average; at a constant quality
        // the rate itself is that ceiling, so that full motion spends what the average would.
        ctx->rc_max_rate = constantQuality() ? bps : static_cast<int64_t>(bps) * 3 / 2;
        ctx->rc_buffer_size = static_cast<int>(std::min<int64_t>(ctx->rc_max_rate, INT_MAX));
    }

    bool configure(const AVCodec* codec, std::string& error) {
        quietLibav();
        if (!allocate(codec)) {
            error = "out of memory";
            return false;
        }
        describePictures();
        AVDictionary* options = nullptr;
        av_dict_set(&options, "forced-idr", "1", 0);
        bool ready = true;
        switch (candidate.backend) {
        case Backend::software: softwareOptions(&options); break;
        case Backend::nvenc: nvencOptions(&options); break;
        case Backend::vaapi: ready = prepareVaapi(&options, error); break;
        }
        if (ready) {
            int status = avcodec_open2(ctx, codec, &options);
            if (status < 0) error = candidate.name + ": " + averror(status);
            ready = status >= 0;
        }
        av_dict_free(&options);
        return ready && prepareConversion(error);
    }

    bool allocate(const AVCodec* codec) {
        ctx = avcodec_alloc_context3(codec);
        frame = av_frame_alloc();
        wrapped = av_frame_alloc();
        hwFrame = av_frame_alloc();
        packet = av_packet_alloc();
        return ctx && frame && wrapped && hwFrame && packet;
    }

    // Size, time base, GOP, rate and the BT.709 studio-range tags the stream announces.
    void describePictures() {
        ctx->width = config.width;
        ctx->height = config.height;
        ctx->time_base = AVRational{1, 1000000};
        ctx->framerate = AVRational{std::max(config.frameRate, 1), 1};
        ctx->max_b_frames = 0;
        ctx->gop_size = candidate.backend == Backend::software ? -1 : INT_MAX;
        ctx->color_primaries = AVCOL_PRI_BT709;
        ctx->color_trc = AVCOL_TRC_BT709;
        ctx->colorspace = AVCOL_SPC_BT709;
        ctx->color_range = AVCOL_RANGE_MPEG;
        applyRate(config.bitrate);
        softwareFormat = AV_PIX_FMT_YUV420P;
    }

    void softwareOptions(AVDictionary** options) {
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        av_dict_set(options, "preset", "ultrafast", 0);
        av_dict_set(options, "tune", "zerolatency", 0);
        if (config.codec != VideoCodec::h264) {
            av_dict_set(options, "x265-params",
                        "keyint=-1:scenecut=0:bframes=0:repeat-headers=1:log-level=error:info=0", 0);
            return;
        }
        av_dict_set(options, "profile", "high", 0);
        // One encoding thread up to 1920 × 1200: x264's sliced threads (zerolatency's
        // choice) spend a sixth more CPU per picture in handing work around and cost a
        // little quality; one thread encodes a 1080p picture within a few milliseconds.
        // Larger pictures keep the slices, to stay within a frame interval.
        const bool oneThread = static_cast<int64_t>(config.width) * config.height <= 1920 * 1200;
        // Chroma two steps finer than luma (x264's own choice when its psychovisual
        // options are on, which ultrafast turns off): measured on scrolling text at
        // 3500 kbps, SSIM against the captured pictures rose by 0.0003–0.0005 at the
        // same size and the same CPU time.
        std::string params = "keyint=infinite:scenecut=0:bframes=0:repeat-headers=1:aud=0:chroma-qp-offset=-2";
        if (oneThread) params += ":threads=1";
        if (constantQuality()) {
            // The rate factor is a quantiser, whatever a picture's complexity (qcomp 1): an
            // unchanged picture is skipped, where x264's usual curve would give it a finer
            // quantiser and spend bits refining it at every keepalive (measured on a still
            // desktop: keepalives of 8, 17 and 52 KB became 11 bytes each).
            params += ":qcomp=1";
            av_dict_set(options, "crf", std::to_string(config.rate.quality).c_str(), 0);
        }
        av_dict_set(options, "x264-params", params.c_str(), 0);
    }

    void nvencOptions(AVDictionary** options) {
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_dict_set(options, "preset", "p2", 0);
        av_dict_set(options, "tune", "ull", 0);
        av_dict_set(options, "zerolatency", "1", 0);
        av_dict_set(options, "delay", "0", 0);
        av_dict_set(options, "rc", "vbr", 0);
    }

    // The render node's device and a pool of NV12 surfaces the pictures are uploaded to.
    bool prepareVaapi(AVDictionary** options, std::string& error) {
        softwareFormat = AV_PIX_FMT_NV12;
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        int status = av_hwdevice_ctx_create(&hwDevice, AV_HWDEVICE_TYPE_VAAPI, "/dev/dri/renderD128", nullptr, 0);
        if (status < 0) {
            error = "VAAPI device: " + averror(status);
            return false;
        }
        hwFrames = av_hwframe_ctx_alloc(hwDevice);
        auto* frames = reinterpret_cast<AVHWFramesContext*>(hwFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = config.width;
        frames->height = config.height;
        frames->initial_pool_size = 4;
        if ((status = av_hwframe_ctx_init(hwFrames)) < 0) {
            error = "VAAPI frames: " + averror(status);
            return false;
        }
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(hwFrames);
        av_dict_set(options, "rc_mode", "VBR", 0);
        return true;
    }

    // The encoder's input picture and the BGRX conversion into it.
    bool prepareConversion(std::string& error) {
        frame->format = softwareFormat;
        frame->width = config.width;
        frame->height = config.height;
        if (int status = av_frame_get_buffer(frame, 0); status < 0) {
            error = "picture buffer: " + averror(status);
            return false;
        }
        sws = sws_getContext(config.width, config.height, AV_PIX_FMT_BGR0, config.width, config.height, softwareFormat,
                             SWS_POINT, nullptr, nullptr, nullptr);
        if (!sws) {
            error = "no BGRX conversion";
            return false;
        }
        // Full-range RGB in, studio-range BT.709 YUV out: the tags the stream announces.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        return true;
    }

    EncoderOutput take(int status) {
        if (status == AVERROR(EAGAIN)) return {};
        if (status < 0) return {EncoderOutput::Status::failed, {}, false, averror(status)};
        EncoderOutput out{EncoderOutput::Status::unit,
                          std::string(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size)),
                          (packet->flags & AV_PKT_FLAG_KEY) != 0,
                          {}};
        av_packet_unref(packet);
        return out;
    }

    const Candidate candidate;
    const EncoderSessionConfig config;
    AVCodecContext* ctx = nullptr;
    // A YUV 4:2:0 picture (studio-range BT.709) to the encoder's own system-memory format
    // (NV12 for VAAPI); made when first needed.
    SwsContext* yuvConverter() {
        if (!swsYuv) {
            swsYuv = sws_getContext(config.width, config.height, AV_PIX_FMT_YUV420P, config.width, config.height,
                                    softwareFormat, SWS_POINT, nullptr, nullptr, nullptr);
        }
        return swsYuv;
    }

    AVPixelFormat softwareFormat = AV_PIX_FMT_YUV420P;  // what the encoder takes in system memory
    AVFrame* frame = nullptr;                           // the converted picture, in system memory
    AVFrame* wrapped = nullptr;                         // a YUV picture handed over without a copy
    AVFrame* hwFrame = nullptr;                         // its upload, for VAAPI
    AVPacket* packet = nullptr;
    AVBufferRef* hwDevice = nullptr;
    AVBufferRef* hwFrames = nullptr;
    SwsContext* sws = nullptr;     // BGRX to the encoder's format
    SwsContext* swsYuv = nullptr;  // YUV 4:2:0 to the encoder's format
};

// Hardware encoders that failed to open once are not tried again in this process: a device
// node without a working driver would otherwise cost every new session its start-up.
struct BrokenEncoders {
    Mutex lock;  // guards names
    std::set<std::string> names TOVO_GUARDED_BY(lock);
};
BrokenEncoders& brokenEncoders() {
    static auto* broken = new BrokenEncoders;  // never destroyed: sessions may open at exit
    return *broken;
}

}  // namespace

EncoderSessionFactory libavSessionFactory(std::optional<RateControl> rate) {
    return [rate](const EncoderSessionConfig& given, std::string& error) -> std::unique_ptr<EncoderSession> {
        EncoderSessionConfig config = given;
        if (rate) config.rate = *rate;
        std::string reasons;
        auto& broken = brokenEncoders();
        for (const auto& candidate : candidates(config.codec)) {
            bool hardware = candidate.backend != Backend::software;
            if (hardware) {
                MutexLock guard(broken.lock);
                if (broken.names.count(candidate.name)) continue;
            }
            std::string why;
            if (auto session = LibavEncoderSession::open(candidate, config, why)) return session;
            if (hardware) {
                MutexLock guard(broken.lock);
                broken.names.insert(candidate.name);
            }
            reasons += (reasons.empty() ? "" : "; ") + why;
        }
        error = reasons;
        return nullptr;
    };
}

}  // namespace tovo

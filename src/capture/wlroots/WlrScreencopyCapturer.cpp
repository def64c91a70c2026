#include "base/MissingProtocol.h"
#include "capture/wlroots/WlrootsCapture.h"
#include "image/Scaler.h"
#include "wayland/WaylandClient.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <thread>

namespace tovo {
namespace {

using Clock = ScreenCapturer::Clock;

constexpr auto replyTimeout = std::chrono::seconds(2);

// The piece of `rect` on one output, in the output's own (logical) coordinates and in the
// picture's.
struct Piece {
    const wayland::Output* output;
    PixelRect local;   // within the output
    int intoX, intoY;  // within the picture of `rect`
};

std::vector<Piece> piecesOf(const wayland::Connection& c, const PixelRect& rect) {
    std::vector<Piece> out;
    for (const auto& output : c.outputs()) {
        const int x0 = std::max(rect.x, output->x), y0 = std::max(rect.y, output->y);
        const int x1 = std::min(rect.x + rect.width, output->x + output->width);
        const int y1 = std::min(rect.y + rect.height, output->y + output->height);
        if (x1 <= x0 || y1 <= y0) continue;
        out.push_back({output.get(), {x0 - output->x, y0 - output->y, x1 - x0, y1 - y0}, x0 - rect.x, y0 - rect.y});
    }
    return out;
}

// One screencopy frame: what the compositor offers, then the copy's outcome.
struct Frame {
    zwlr_screencopy_frame_v1* proxy = nullptr;
    uint32_t format = 0;
    int width = 0, height = 0, stride = 0;
    bool offered = false;    // the shm buffer's description arrived
    bool described = false;  // every description arrived (buffer_done, or buffer before v3)
    bool yInvert = false;
    bool ready = false;
    bool failed = false;
    bool copying = false;
    ScreenCapturer::ChangedRows damage;
    bool finished() const { return ready || failed; }

    ~Frame() {
        if (proxy) zwlr_screencopy_frame_v1_destroy(proxy);
    }

    static void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
                         uint32_t stride) {
        auto* self = static_cast<Frame*>(data);
        self->format = format;
        self->width = static_cast<int>(width);
        self->height = static_cast<int>(height);
        self->stride = static_cast<int>(stride);
        self->offered = true;
        if (zwlr_screencopy_frame_v1_get_version(self->proxy) < 3) self->described = true;
    }
    static void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
        static_cast<Frame*>(data)->yInvert = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    }
    static void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
        static_cast<Frame*>(data)->ready = true;
    }
    static void onFailed(void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->failed = true; }
    static void onDamage(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t y, uint32_t, uint32_t height) {
        auto* self = static_cast<Frame*>(data);
        self->damage = self->damage.with({static_cast<int>(y), static_cast<int>(y + height)});
    }
    static void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
    static void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<Frame*>(data)->described = true; }
    static constexpr zwlr_screencopy_frame_v1_listener listener = {onBuffer, onFlags,  onReady,     onFailed,
                                                                   onDamage, onDmabuf, onBufferDone};
};

bool swapsRedBlue(uint32_t format) { return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888; }

// Copies a frame's pixels into `into` at (x, y) with `width` × `height` pixels: flipping
// rows when the frame is upside down, swapping red and blue for R-first formats, scaling
// when the output's pixels are denser than its logical size.
void place(const Frame& frame, const wayland::ShmBuffer& buffer, uint8_t* into, int intoStride, int x, int y, int width,
           int height, Scaler& scaler) {
    PixelView source{buffer.data(), frame.width, frame.height, frame.stride};
    std::vector<uint8_t> flipped;
    if (frame.yInvert) {
        flipped.resize(static_cast<size_t>(frame.stride) * frame.height);
        for (int row = 0; row < frame.height; ++row)
            std::memcpy(flipped.data() + static_cast<size_t>(row) * frame.stride,
                        buffer.data() + static_cast<size_t>(frame.height - 1 - row) * frame.stride,
                        static_cast<size_t>(frame.stride));
        source.data = flipped.data();
    }
    if (source.width != width || source.height != height) source = scaler.scale(source, width, height);
    for (int row = 0; row < height; ++row) {
        uint8_t* out = into + static_cast<size_t>(y + row) * intoStride + static_cast<size_t>(x) * 4;
        const uint8_t* in = source.data + static_cast<size_t>(row) * source.stride;
        if (!swapsRedBlue(frame.format)) {
            std::memcpy(out, in, static_cast<size_t>(width) * 4);
            continue;
        }
        for (int i = 0; i < width; ++i) {
            out[4 * i] = in[4 * i + 2];
            out[4 * i + 1] = in[4 * i + 1];
            out[4 * i + 2] = in[4 * i];
            out[4 * i + 3] = 0xff;
        }
    }
}

class WlrScreencopyCapturer : public ScreenCapturer {
public:
    WlrScreencopyCapturer(std::unique_ptr<wayland::Connection> connection, const OwnLayers* own)
        : connection(std::move(connection)), own(own) {
        manager =
            static_cast<zwlr_screencopy_manager_v1*>(this->connection->bind(&zwlr_screencopy_manager_v1_interface, 3));
        if (!manager) throw MissingProtocol("zwlr_screencopy_manager_v1", "screen capture");
    }

    ~WlrScreencopyCapturer() override {
        pending.reset();
        buffers = {};
        zwlr_screencopy_manager_v1_destroy(manager);
    }

    PixelView capture(const PixelRect& rect, bool withCursor) override {
        if (auto fresh = takeFresh(rect, withCursor)) return fresh->picture;
        return readWhole(rect, withCursor);
    }

    PartialPicture captureChanges(const PixelRect& rect, bool withCursor) override {
        if (auto fresh = takeFresh(rect, withCursor)) return *fresh;
        return {readWhole(rect, withCursor), {0, rect.height}};
    }

    // wlr-screencopy copies outputs only; filters fall back to masking the windows.
    PixelView captureWindows(const PixelRect&, const std::vector<uint32_t>&, bool) override {
        throw CaptureFailure("the compositor copies whole outputs only (no ext_image_copy_capture_manager_v1)");
    }
    PixelView captureWindow(uint32_t) override {
        throw MissingProtocol("ext_image_copy_capture_manager_v1", "a window's own picture");
    }

    // A frame copied "with damage" completes only once the output changed, so waiting for
    // it is waiting for a change, and a still screen costs nothing. The first call reports
    // a change, as the contract asks, without waiting.
    std::optional<Clock::time_point> waitForChanges(const PixelRect& rect, Clock::time_point until) override {
        if (!first) {
            first = true;
            return Clock::now();
        }
        if (fresh && fresh->rect == rect) return fresh->at;
        if (!pending || pendingRect != rect) startDamageFrame(rect);
        if (!pending) {
            // The rect spans outputs (or none): follow it by reading it whole at each tick.
            std::this_thread::sleep_until(until);
            return Clock::now();
        }
        connection->dispatchUntil([&] { return pending->finished() || (pending->described && !pending->copying); },
                                  until);
        if (pending->described && !pending->copying) copyPending();
        connection->dispatchUntil([&] { return pending->finished(); }, until);
        if (connection->broken()) throw CaptureFailure("the Wayland compositor went away");
        if (!pending->finished()) return std::nullopt;
        if (pending->failed) {
            // As when the output changes size under a frame: the picture is read whole
            // instead, which fails in earnest when copies keep failing.
            pending.reset();
            return Clock::now();
        }
        Fresh picture;
        picture.rect = rect;
        picture.withCursor = pendingCursor;
        picture.at = Clock::now();
        const int slot = pendingSlot;
        auto& frame = *pending;
        auto& buffer = *buffers[slot];
        const bool direct =
            !frame.yInvert && !swapsRedBlue(frame.format) && frame.width == rect.width && frame.height == rect.height;
        if (direct) {
            picture.picture = {buffer.data(), frame.width, frame.height, frame.stride};
        } else {
            picture.picture = compose(rect, [&](uint8_t* into, int stride) {
                place(frame, buffer, into, stride, 0, 0, rect.width, rect.height, scaler);
            });
        }
        // Damage is in the output's pixels; rows map through the output's scale.
        auto rows = frame.damage;
        if (frame.height != rect.height && frame.height > 0) {
            rows = {rows.first * rect.height / frame.height,
                    (rows.last * rect.height + frame.height - 1) / frame.height};
        }
        if (frame.yInvert) rows = {rect.height - rows.last, rect.height - rows.first};
        picture.changed = rows.empty() ? ChangedRows{0, rect.height} : rows;
        picture.picture = withoutOwn(picture.picture, rect);
        pending.reset();
        fresh = picture;
        return fresh->at;
    }

    // Idle inhibition needs a surface of this process on screen; the compositor's own idle
    // settings decide.
    void suppressScreenSaver(bool) override {}

    bool usable() const override { return !connection->broken(); }

private:
    struct Fresh : PartialPicture {
        PixelRect rect;
        bool withCursor = false;
        Clock::time_point at;
    };

    std::optional<PartialPicture> takeFresh(const PixelRect& rect, bool withCursor) {
        if (!fresh || fresh->rect != rect || fresh->withCursor != withCursor) {
            fresh.reset();
            return std::nullopt;
        }
        PartialPicture out = *fresh;
        fresh.reset();
        return out;
    }

    void startDamageFrame(const PixelRect& rect) {
        // No round trip: the outputs' changes arrive with the frames' own events, and a
        // read of the whole picture (which every new rect starts with) makes one.
        pending.reset();
        auto pieces = piecesOf(*connection, rect);
        pendingRect = rect;
        if (pieces.size() != 1) return;
        pendingCursor = false;
        pendingSlot = 1 - lastSlot;
        pending = request(pieces.front(), pendingCursor);
    }

    std::unique_ptr<Frame> request(const Piece& piece, bool withCursor) {
        auto frame = std::make_unique<Frame>();
        frame->proxy = zwlr_screencopy_manager_v1_capture_output_region(
            manager, withCursor ? 1 : 0, piece.output->output, piece.local.x, piece.local.y, piece.local.width,
            piece.local.height);
        zwlr_screencopy_frame_v1_add_listener(frame->proxy, &Frame::listener, frame.get());
        return frame;
    }

    // A buffer for the frame in `slot` (reused while its size and format stay).
    wayland::ShmBuffer& bufferFor(int slot, const Frame& frame) {
        auto& buffer = buffers[slot];
        if (!buffer || buffer->width != frame.width || buffer->height != frame.height ||
            buffer->stride != frame.stride || buffer->format != frame.format) {
            buffer =
                wayland::ShmBuffer::create(connection->shm(), frame.width, frame.height, frame.stride, frame.format);
            if (!buffer) throw CaptureFailure("no shared memory for a picture");
        }
        return *buffer;
    }

    void copyPending() {
        auto& buffer = bufferFor(pendingSlot, *pending);
        zwlr_screencopy_frame_v1_copy_with_damage(pending->proxy, buffer.buffer());
        pending->copying = true;
        lastSlot = pendingSlot;
    }

    PixelView compose(const PixelRect& rect, const std::function<void(uint8_t*, int)>& draw) {
        const int stride = rect.width * 4;
        composed[lastSlot].assign(static_cast<size_t>(stride) * rect.height, 0);
        draw(composed[lastSlot].data(), stride);
        return {composed[lastSlot].data(), rect.width, rect.height, stride};
    }

    // Reads `rect` now, whole: one frame per output it touches, composed on black.
    PixelView readWhole(const PixelRect& rect, bool withCursor) {
        pending.reset();
        pendingRect = {};
        if (!connection->roundtrip()) throw CaptureFailure("the Wayland compositor went away");
        auto pieces = piecesOf(*connection, rect);
        if (pieces.empty()) throw CaptureFailure("no output shows that area of the desktop");
        std::vector<std::unique_ptr<Frame>> frames;
        for (const auto& piece : pieces) frames.push_back(request(piece, withCursor));
        const auto deadline = Clock::now() + replyTimeout;
        auto all = [&](auto test) {
            return std::all_of(frames.begin(), frames.end(), [&](auto& f) { return test(*f); });
        };
        if (!connection->dispatchUntil([&] { return all([](Frame& f) { return f.described || f.failed; }); }, deadline))
            throw CaptureFailure("the compositor did not describe the picture in time");
        // Buffers beyond the two stream slots, one per piece.
        const int slot = 1 - lastSlot;
        lastSlot = slot;
        if (extra.size() < frames.size()) extra.resize(frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            auto& frame = *frames[i];
            if (frame.failed) throw CaptureFailure("the compositor refused to copy the output");
            wayland::ShmBuffer* buffer;
            if (i == 0) {
                buffer = &bufferFor(slot, frame);
            } else {
                auto& own = extra[i];
                if (!own || own->width != frame.width || own->height != frame.height || own->stride != frame.stride ||
                    own->format != frame.format)
                    own = wayland::ShmBuffer::create(connection->shm(), frame.width, frame.height, frame.stride,
                                                     frame.format);
                if (!own) throw CaptureFailure("no shared memory for a picture");
                buffer = own.get();
            }
            frameBuffers.resize(frames.size());
            frameBuffers[i] = buffer;
            zwlr_screencopy_frame_v1_copy(frame.proxy, buffer->buffer());
        }
        if (!connection->dispatchUntil([&] { return all([](Frame& f) { return f.finished(); }); }, deadline))
            throw CaptureFailure("the compositor did not copy the picture in time");
        if (!all([](Frame& f) { return f.ready; })) throw CaptureFailure("the compositor refused to copy the output");
        const auto& only = *frames.front();
        if (frames.size() == 1 && pieces.front().local.width == rect.width &&
            pieces.front().local.height == rect.height && !only.yInvert && !swapsRedBlue(only.format) &&
            only.width == rect.width && only.height == rect.height) {
            return withoutOwn({frameBuffers[0]->data(), only.width, only.height, only.stride}, rect);
        }
        return withoutOwn(compose(rect,
                                  [&](uint8_t* into, int stride) {
                                      for (size_t i = 0; i < frames.size(); ++i) {
                                          const auto& piece = pieces[i];
                                          place(*frames[i], *frameBuffers[i], into, stride, piece.intoX, piece.intoY,
                                                piece.local.width, piece.local.height, scaler);
                                      }
                                  }),
                          rect);
    }

    // This process's own translucent layers, taken out of `picture` (which this capturer
    // owns: a buffer of its own or the composed picture).
    PixelView withoutOwn(PixelView picture, const PixelRect& rect) {
        if (own) own->removeFrom(const_cast<uint8_t*>(picture.data), picture.stride, rect);
        return picture;
    }

    std::unique_ptr<wayland::Connection> connection;
    const OwnLayers* own = nullptr;
    zwlr_screencopy_manager_v1* manager = nullptr;
    // Two buffers that pictures alternate between, so that the picture handed out stays
    // whole while the compositor writes the next one.
    std::array<std::unique_ptr<wayland::ShmBuffer>, 2> buffers;
    std::array<std::vector<uint8_t>, 2> composed;
    std::vector<std::unique_ptr<wayland::ShmBuffer>> extra;
    std::vector<wayland::ShmBuffer*> frameBuffers;
    int lastSlot = 0;
    Scaler scaler;

    bool first = false;
    std::unique_ptr<Frame> pending;  // a frame copied with damage, not yet complete
    PixelRect pendingRect;
    bool pendingCursor = false;
    int pendingSlot = 0;
    std::optional<Fresh> fresh;  // the completed damage frame, until read
};

}  // namespace

std::unique_ptr<ScreenCapturer> makeWlrootsScreenCapturer(const OwnLayers* own) {
    std::string why;
    auto connection = wayland::Connection::open(&why);
    if (!connection) throw CaptureFailure(why);
    return std::make_unique<WlrScreencopyCapturer>(std::move(connection), own);
}

}  // namespace tovo

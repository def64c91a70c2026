// The automation banner on wlroots compositors: per output one surface on wlr-layer-shell's
// overlay layer, spanning the output, transparent but for a 6-pixel orange border and the
// capsule at the top with a Stop button. Only the button takes pointer input; everything
// else of the screen stays clickable. The compositor blends the banner into every picture,
// so its pixels are drawn translucent and handed to OwnLayers, through which captures take
// them back out.
#include "base/Log.h"
#include "base/Mutex.h"
#include "overlay/BannerLook.h"
#include "overlay/BannerRequests.h"
#include "overlay/wlroots/WlrootsOverlay.h"
#include "wayland/WaylandClient.h"

#include <cairo.h>
#include <linux/input-event-codes.h>
#include <pango/pangocairo.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <thread>

// Last, after every header that uses the word: the protocol names an argument
// "namespace", a C++ keyword.
#define namespace name_space
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#undef namespace

namespace tovo {
namespace {

using Steady = std::chrono::steady_clock;

using BannerLook::borderWidth;
using BannerLook::capsuleTop;
using BannerLook::orange;
constexpr auto outputCheck = std::chrono::seconds(1);

class WlrLayerShellOverlay final : public AutomationOverlay {
public:
    explicit WlrLayerShellOverlay(OwnLayers& layers) : layers(layers) {
        thread = std::thread([this] { run(); });
    }

    ~WlrLayerShellOverlay() override {
        requests.end();
        thread.join();
    }

    void show(const std::string& text) override { requests.want(text); }
    void hide() override { requests.want(std::nullopt); }

    bool offerStop(const std::string& label, std::function<void()> onStop) override {
        MutexLock guard(lock);
        stopLabel = label;
        stopHandler = std::move(onStop);
        return true;
    }

private:
    // One output's banner.
    struct Banner {
        WlrLayerShellOverlay* owner = nullptr;
        uint32_t id = 0;  // its pieces' ids in OwnLayers are id * 8 + piece
        int originX = 0, originY = 0;
        wl_surface* surface = nullptr;
        zwlr_layer_surface_v1* layer = nullptr;
        std::unique_ptr<wayland::ShmBuffer> buffer;
        wl_callback* shown = nullptr;
        std::vector<PixelRect> pieces;  // surface-local: the four sides and the capsule
        PixelRect stop;                 // surface-local
    };

    // --- the overlay's thread: owns the connection and every surface ------------------

    void run() {
        auto nextCheck = Steady::now();
        for (;;) {
            const auto asked = requests.take();
            if (asked.ending) break;
            if (asked.changed) {
                text = asked.text;
                {
                    MutexLock guard(lock);
                    label = stopLabel;
                }
                dropAll();
            }
            if (connection && connection->broken()) {
                log("automation: the banner lost the Wayland compositor");
                dropAll();
                closeConnection();
            }
            if (text && banners.empty() && Steady::now() >= nextCheck) {
                build();
                nextCheck = Steady::now() + outputCheck;
            } else if (text && Steady::now() >= nextCheck) {
                if (connection) connection->roundtrip();
                if (outputsChanged()) dropAll();
                nextCheck = Steady::now() + outputCheck;
            }
            if (!text && connection) closeConnection();
            waitForWork(text ? 500 : -1);
        }
        dropAll();
        closeConnection();
    }

    void waitForWork(int timeoutMs) {
        pollfd fds[2] = {{requests.wakeFd(), POLLIN, 0}, {-1, POLLIN, 0}};
        wl_display* display = connection ? connection->display() : nullptr;
        if (display) {
            while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
            connection->flush();
            fds[1].fd = wl_display_get_fd(display);
        }
        ::poll(fds, display ? 2 : 1, timeoutMs);
        if (display) {
            if (fds[1].revents & POLLIN) {
                wl_display_read_events(display);
            } else {
                wl_display_cancel_read(display);
            }
            wl_display_dispatch_pending(display);
        }
        requests.drainWake();
    }

    bool openConnection() {
        if (connection) return true;
        connection = wayland::Connection::open();
        if (!connection) return false;
        compositor = static_cast<wl_compositor*>(connection->bind(&wl_compositor_interface, 4));
        shell = static_cast<zwlr_layer_shell_v1*>(connection->bind(&zwlr_layer_shell_v1_interface, 3));
        if (!compositor || !shell) {
            log("automation: the compositor offers no zwlr_layer_shell_v1; no banner");
            closeConnection();
            return false;
        }
        // A seat's pointer taken before the seat has one never hears of it: the pointer is
        // taken when the seat says it has one (as when the virtual pointer arrives).
        seat = static_cast<wl_seat*>(connection->bind(&wl_seat_interface, 5));
        if (seat) wl_seat_add_listener(seat, &seatListener, this);
        return true;
    }

    void closeConnection() {
        if (!connection) return;
        if (pointer) wl_pointer_destroy(pointer);
        if (seat) wl_seat_destroy(seat);
        seat = nullptr;
        if (shell) zwlr_layer_shell_v1_destroy(shell);
        if (compositor) wl_compositor_destroy(compositor);
        pointer = nullptr;
        shell = nullptr;
        compositor = nullptr;
        connection.reset();
    }

    bool outputsChanged() const {
        if (!connection || connection->outputs().size() != banners.size()) return true;
        for (size_t i = 0; i < banners.size(); ++i) {
            const auto& output = *connection->outputs()[i];
            if (output.x != banners[i]->originX || output.y != banners[i]->originY) return true;
        }
        return false;
    }

    void build() {
        if (!openConnection()) return;
        connection->roundtrip();
        for (const auto& output : connection->outputs()) {
            auto banner = std::make_unique<Banner>();
            banner->owner = this;
            banner->id = ++lastId;
            banner->originX = output->x;
            banner->originY = output->y;
            banner->surface = wl_compositor_create_surface(compositor);
            banner->layer = zwlr_layer_shell_v1_get_layer_surface(shell, banner->surface, output->output,
                                                                  ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, "tovo-automation");
            zwlr_layer_surface_v1_set_anchor(
                banner->layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                                   ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
            zwlr_layer_surface_v1_set_exclusive_zone(banner->layer, -1);  // over panels too
            zwlr_layer_surface_v1_set_keyboard_interactivity(banner->layer, 0);
            zwlr_layer_surface_v1_add_listener(banner->layer, &layerListener, banner.get());
            // Nothing takes input until the button is drawn.
            wl_region* none = wl_compositor_create_region(compositor);
            wl_surface_set_input_region(banner->surface, none);
            wl_region_destroy(none);
            wl_surface_commit(banner->surface);
            banners.push_back(std::move(banner));
        }
        connection->flush();
    }

    void dropAll() {
        for (auto& banner : banners) {
            for (uint32_t piece = 0; piece < 5; ++piece) layers.remove(banner->id * 8 + piece);
            if (banner->shown) wl_callback_destroy(banner->shown);
            zwlr_layer_surface_v1_destroy(banner->layer);
            wl_surface_destroy(banner->surface);
        }
        banners.clear();
        hovered = nullptr;
        if (connection) connection->flush();
    }

    void draw(Banner& banner, int width, int height) {
        if (width <= 0 || height <= 0 || !text) return;
        banner.buffer = wayland::ShmBuffer::create(connection->shm(), width, height, width * 4, WL_SHM_FORMAT_ARGB8888);
        if (!banner.buffer) return;
        cairo_surface_t* surface =
            cairo_image_surface_create_for_data(banner.buffer->data(), CAIRO_FORMAT_ARGB32, width, height, width * 4);
        cairo_t* cr = cairo_create(surface);
        cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        cairo_set_source_rgb(cr, orange[0], orange[1], orange[2]);
        cairo_set_line_width(cr, borderWidth);
        cairo_rectangle(cr, borderWidth / 2.0, borderWidth / 2.0, width - borderWidth, height - borderWidth);
        cairo_stroke(cr);

        PangoLayout* words = BannerLook::layout(cr, *text);
        PangoLayout* stopWords = BannerLook::layout(cr, label.empty() ? "Stop" : label);
        int textWidth = 0, textHeight = 0, stopWidth = 0, stopHeight = 0;
        pango_layout_get_pixel_size(words, &textWidth, &textHeight);
        pango_layout_get_pixel_size(stopWords, &stopWidth, &stopHeight);
        const int buttonWidth = stopWidth + 24, capsuleHeight = textHeight + 12;
        const int capsuleWidth = std::min(width - 2 * borderWidth, textWidth + 28 + buttonWidth + 8);
        const int capsuleX = (width - capsuleWidth) / 2, capsuleY = capsuleTop;
        cairo_set_source_rgb(cr, orange[0] * BannerLook::capsuleShade, orange[1] * BannerLook::capsuleShade,
                             orange[2] * BannerLook::capsuleShade);
        BannerLook::capsulePath(cr, capsuleX, capsuleY, capsuleWidth, capsuleHeight);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_move_to(cr, capsuleX + 14, capsuleY + 6);
        pango_cairo_show_layout(cr, words);
        banner.stop = {capsuleX + capsuleWidth - buttonWidth - 4, capsuleY + 3, buttonWidth, capsuleHeight - 6};
        cairo_set_source_rgb(cr, 0.55, 0.22, 0.05);
        BannerLook::capsulePath(cr, banner.stop.x, banner.stop.y, banner.stop.width, banner.stop.height);
        cairo_fill(cr);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_move_to(cr, banner.stop.x + 12, banner.stop.y + (banner.stop.height - stopHeight) / 2.0);
        pango_cairo_show_layout(cr, stopWords);
        g_object_unref(words);
        g_object_unref(stopWords);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);

        // Translucent throughout, so that captures can take the banner back out.
        const double keep = OwnLayers::maxAlpha / 255.0;
        uint8_t* pixels = banner.buffer->data();
        for (size_t i = 0; i < static_cast<size_t>(width) * height * 4; ++i)
            pixels[i] = static_cast<uint8_t>(std::lround(pixels[i] * keep));

        banner.pieces = {{0, 0, width, borderWidth},
                         {0, height - borderWidth, width, borderWidth},
                         {0, borderWidth, borderWidth, height - 2 * borderWidth},
                         {width - borderWidth, borderWidth, borderWidth, height - 2 * borderWidth},
                         {capsuleX, capsuleY, capsuleWidth, capsuleHeight}};
        wl_region* input = wl_compositor_create_region(compositor);
        wl_region_add(input, banner.stop.x, banner.stop.y, banner.stop.width, banner.stop.height);
        wl_surface_set_input_region(banner.surface, input);
        wl_region_destroy(input);
        wl_surface_attach(banner.surface, banner.buffer->buffer(), 0, 0);
        wl_surface_damage(banner.surface, 0, 0, width, height);
        if (banner.shown) wl_callback_destroy(banner.shown);
        banner.shown = wl_surface_frame(banner.surface);
        wl_callback_add_listener(banner.shown, &shownListener, &banner);
        wl_surface_commit(banner.surface);
    }

    // The compositor drew the banner: from now on pictures hold it.
    void publish(Banner& banner) {
        const int width = banner.buffer->width;
        for (uint32_t piece = 0; piece < banner.pieces.size(); ++piece) {
            const PixelRect& local = banner.pieces[piece];
            auto pixels = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(local.width) * local.height * 4);
            for (int row = 0; row < local.height; ++row) {
                const uint8_t* from =
                    banner.buffer->data() + (static_cast<size_t>(local.y + row) * width + local.x) * 4;
                std::copy(from, from + static_cast<size_t>(local.width) * 4,
                          pixels->data() + static_cast<size_t>(row) * local.width * 4);
            }
            layers.set(
                banner.id * 8 + piece,
                {{banner.originX + local.x, banner.originY + local.y, local.width, local.height}, std::move(pixels)});
        }
    }

    static void onConfigure(void* data, zwlr_layer_surface_v1* layer, uint32_t serial, uint32_t width,
                            uint32_t height) {
        auto* banner = static_cast<Banner*>(data);
        zwlr_layer_surface_v1_ack_configure(layer, serial);
        banner->owner->draw(*banner, static_cast<int>(width), static_cast<int>(height));
    }
    static void onClosed(void*, zwlr_layer_surface_v1*) {}
    static constexpr zwlr_layer_surface_v1_listener layerListener = {onConfigure, onClosed};

    static void onShown(void* data, wl_callback* callback, uint32_t) {
        auto* banner = static_cast<Banner*>(data);
        wl_callback_destroy(callback);
        banner->shown = nullptr;
        banner->owner->publish(*banner);
    }
    static constexpr wl_callback_listener shownListener = {onShown};

    static void onEnter(void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
        auto* self = static_cast<WlrLayerShellOverlay*>(data);
        self->hovered = nullptr;
        for (auto& banner : self->banners)
            if (banner->surface == surface) self->hovered = banner.get();
        self->pointerX = wl_fixed_to_double(x);
        self->pointerY = wl_fixed_to_double(y);
    }
    static void onLeave(void* data, wl_pointer*, uint32_t, wl_surface*) {
        static_cast<WlrLayerShellOverlay*>(data)->hovered = nullptr;
    }
    static void onMotion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        auto* self = static_cast<WlrLayerShellOverlay*>(data);
        self->pointerX = wl_fixed_to_double(x);
        self->pointerY = wl_fixed_to_double(y);
    }
    static void onButton(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        auto* self = static_cast<WlrLayerShellOverlay*>(data);
        if (button != BTN_LEFT || state != WL_POINTER_BUTTON_STATE_PRESSED || !self->hovered) return;
        const PixelRect& stop = self->hovered->stop;
        if (self->pointerX < stop.x || self->pointerX >= stop.x + stop.width || self->pointerY < stop.y ||
            self->pointerY >= stop.y + stop.height)
            return;
        std::function<void()> handler;
        {
            MutexLock guard(self->lock);
            handler = self->stopHandler;
        }
        if (handler) handler();
    }
    static void onAxis(void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {}
    static void onFrame(void*, wl_pointer*) {}
    static void onAxisSource(void*, wl_pointer*, uint32_t) {}
    static void onAxisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
    static void onAxisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
    static void onAxisValue120(void*, wl_pointer*, uint32_t, int32_t) {}
    static constexpr wl_pointer_listener pointerListener = {onEnter,        onLeave,       onMotion,     onButton,
                                                            onAxis,         onFrame,       onAxisSource, onAxisStop,
                                                            onAxisDiscrete, onAxisValue120};

    static void onCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
        auto* self = static_cast<WlrLayerShellOverlay*>(data);
        const bool has = capabilities & WL_SEAT_CAPABILITY_POINTER;
        if (has && !self->pointer) {
            self->pointer = wl_seat_get_pointer(seat);
            wl_pointer_add_listener(self->pointer, &pointerListener, self);
        } else if (!has && self->pointer) {
            wl_pointer_destroy(self->pointer);
            self->pointer = nullptr;
            self->hovered = nullptr;
        }
    }
    static void onSeatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener = {onCapabilities, onSeatName};

    OwnLayers& layers;
    BannerRequests requests;
    Mutex lock;  // guards the Stop button's label and handler
    std::string stopLabel TOVO_GUARDED_BY(lock);
    std::function<void()> stopHandler TOVO_GUARDED_BY(lock);

    // The overlay thread's own.
    std::optional<std::string> text;
    std::string label;
    std::unique_ptr<wayland::Connection> connection;
    wl_compositor* compositor = nullptr;
    zwlr_layer_shell_v1* shell = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    std::vector<std::unique_ptr<Banner>> banners;
    Banner* hovered = nullptr;
    double pointerX = 0, pointerY = 0;
    uint32_t lastId = 0;

    std::thread thread;  // last: it uses everything above
};

}  // namespace

std::unique_ptr<AutomationOverlay> makeWlrootsAutomationOverlay(OwnLayers& layers) {
    return std::make_unique<WlrLayerShellOverlay>(layers);
}

}  // namespace tovo

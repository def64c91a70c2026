#include "base/Log.h"
#include "base/MissingProtocol.h"
#include "base/Mutex.h"
#include "base/Utf8.h"
#include "input/wlroots/WlrootsInput.h"
#include "input/wlroots/XkbKeymap.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wayland/WaylandClient.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>

namespace tovo {
namespace {

constexpr uint32_t keymapFormatXkbV1 = 1;  // wl_keyboard.keymap_format.xkb_v1
constexpr double wheelStep = 15;           // what a wheel's notch scrolls, in the protocol's units

class WlrootsInputInjector : public InputInjector {
public:
    ~WlrootsInputInjector() override {
        MutexLock guard(lock);
        close();
    }

    void setModifiers(uint64_t flags) override {
        MutexLock guard(lock);
        connect();
        using M = XkbKeymap::Modifier;
        static const std::pair<uint64_t, M> modifiers[] = {{ModifierFlags::command, M::super},
                                                           {ModifierFlags::shift, M::shift},
                                                           {ModifierFlags::option, M::alt},
                                                           {ModifierFlags::control, M::control}};
        uint32_t mask = 0;
        for (const auto& [flag, modifier] : modifiers) {
            const bool want = (flags & flag) != 0, have = (held & flag) != 0;
            if (want) mask |= XkbKeymap::modifierMask(modifier);
            if (want != have) pressKey(keymap.modifierKey(modifier), want);
        }
        // The compositor takes the modifier state the keyboard reports, not one it works out
        // from the keys.
        zwp_virtual_keyboard_v1_modifiers(keyboard, mask, 0, 0, 0);
        held = flags;
        modifierMask = mask;
        connection->flush();
    }

    void moveTo(double x, double y) override {
        MutexLock guard(lock);
        connect();
        const auto box = layout();
        const double px = std::clamp(x - box.x, 0.0, std::max(0, box.width - 1) * 1.0);
        const double py = std::clamp(y - box.y, 0.0, std::max(0, box.height - 1) * 1.0);
        zwlr_virtual_pointer_v1_motion_absolute(pointer, wayland::eventTime(), static_cast<uint32_t>(std::lround(px)),
                                                static_cast<uint32_t>(std::lround(py)),
                                                static_cast<uint32_t>(std::max(1, box.width)),
                                                static_cast<uint32_t>(std::max(1, box.height)));
        zwlr_virtual_pointer_v1_frame(pointer);
        connection->flush();
    }

    void button(MouseButton which, bool down) override {
        MutexLock guard(lock);
        connect();
        const uint32_t code = which == MouseButton::left    ? BTN_LEFT
                              : which == MouseButton::right ? BTN_RIGHT
                                                            : BTN_MIDDLE;
        zwlr_virtual_pointer_v1_button(pointer, wayland::eventTime(), code,
                                       down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(pointer);
        connection->flush();
    }

    void key(Key key, bool down) override {
        MutexLock guard(lock);
        connect();
        const bool changed = isCharacterKey(key) && !keymap.keyOfScalar(static_cast<char32_t>(key)) &&
                             keymap.prepare(std::u32string(1, static_cast<char32_t>(key)));
        if (changed) uploadKeymap();
        if (auto code = keymap.keyOf(key)) pressKey(*code, down);
        connection->flush();
    }

    void typeText(const std::string& text) override {
        MutexLock guard(lock);
        connect();
        std::u32string scalars;
        for (char32_t c : utf8Scalars(text)) scalars += c;
        for (const auto& piece : XkbKeymap::piecesOf(scalars)) {
            if (keymap.prepare(piece)) uploadKeymap();
            for (char32_t c : piece) {
                auto code = keymap.keyOfScalar(c);
                if (!code) continue;
                pressKey(*code, true);
                pressKey(*code, false);
            }
            // Every key reached the compositor before the keymap may change again.
            connection->roundtrip();
        }
    }

    void wheel(int vertical, int horizontal) override {
        MutexLock guard(lock);
        connect();
        const uint32_t time = wayland::eventTime();
        zwlr_virtual_pointer_v1_axis_source(pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
        // Positive clicks scroll content up (or left): the protocol's negative direction.
        if (vertical)
            zwlr_virtual_pointer_v1_axis_discrete(pointer, time, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                                  wl_fixed_from_double(-vertical * wheelStep), -vertical);
        if (horizontal)
            zwlr_virtual_pointer_v1_axis_discrete(pointer, time, WL_POINTER_AXIS_HORIZONTAL_SCROLL,
                                                  wl_fixed_from_double(-horizontal * wheelStep), -horizontal);
        zwlr_virtual_pointer_v1_frame(pointer);
        connection->flush();
    }

private:
    // Opens (or re-opens after the compositor went away) this injector's connection and
    // devices.
    void connect() TOVO_REQUIRES(lock) {
        if (connection && !connection->broken()) return;
        close();
        std::string why;
        auto opened = wayland::Connection::open(&why);
        if (!opened) throw MissingProtocol("wl_display", "input (" + why + ")");
        auto* pointers =
            static_cast<zwlr_virtual_pointer_manager_v1*>(opened->bind(&zwlr_virtual_pointer_manager_v1_interface, 2));
        if (!pointers) throw MissingProtocol("zwlr_virtual_pointer_manager_v1", "pointer input");
        keyboards =
            static_cast<zwp_virtual_keyboard_manager_v1*>(opened->bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
        if (!keyboards || !opened->seat()) {
            zwlr_virtual_pointer_manager_v1_destroy(pointers);
            throw MissingProtocol("zwp_virtual_keyboard_manager_v1", "keyboard input");
        }
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, opened->seat());
        zwlr_virtual_pointer_manager_v1_destroy(pointers);
        connection = std::move(opened);
        keymap = XkbKeymap();
        layoutAsked = {};
        held = 0;
        modifierMask = 0;
        uploadKeymap();
        connection->roundtrip();
    }

    void close() TOVO_REQUIRES(lock) {
        if (!connection) return;
        if (keyboard) zwp_virtual_keyboard_v1_destroy(keyboard);
        if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
        if (keyboards) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(keyboards));
        keyboard = nullptr;
        pointer = nullptr;
        keyboards = nullptr;
        connection.reset();
    }

    void uploadKeymap() TOVO_REQUIRES(lock) {
        if (!keyboard)
            keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboards, connection->seat());
        const std::string text = keymap.text();
        const int fd = ::memfd_create("tovo-keymap", MFD_CLOEXEC);
        if (fd < 0) throw std::runtime_error("no memory for a keymap");
        const size_t size = text.size() + 1;  // with its terminating zero, as the protocol wants
        if (::write(fd, text.c_str(), size) != static_cast<ssize_t>(size)) {
            ::close(fd);
            throw std::runtime_error("could not write the keymap");
        }
        zwp_virtual_keyboard_v1_keymap(keyboard, keymapFormatXkbV1, fd, static_cast<uint32_t>(size));
        ::close(fd);
        if (modifierMask) zwp_virtual_keyboard_v1_modifiers(keyboard, modifierMask, 0, 0, 0);
    }

    void pressKey(uint32_t code, bool down) TOVO_REQUIRES(lock) {
        zwp_virtual_keyboard_v1_key(keyboard, wayland::eventTime(), code,
                                    down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    }

    // The box around every output: what absolute motion's extent spans.
    struct Box {
        int x = 0, y = 0, width = 0, height = 0;
    };
    // The outputs are asked afresh at most once a second: a drag moves many times a second.
    Box layout() TOVO_REQUIRES(lock) {
        const auto now = std::chrono::steady_clock::now();
        if (now - layoutAsked > std::chrono::seconds(1)) {
            connection->roundtrip();
            layoutAsked = now;
        }
        int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
        for (const auto& output : connection->outputs()) {
            x0 = std::min(x0, output->x);
            y0 = std::min(y0, output->y);
            x1 = std::max(x1, output->x + output->width);
            y1 = std::max(y1, output->y + output->height);
        }
        if (x0 >= x1 || y0 >= y1) return {};
        return {x0, y0, x1 - x0, y1 - y0};
    }

    Mutex lock;  // guards everything below and serialises the connection's use
    std::unique_ptr<wayland::Connection> connection TOVO_GUARDED_BY(lock);
    zwp_virtual_keyboard_manager_v1* keyboards TOVO_GUARDED_BY(lock) = nullptr;
    zwp_virtual_keyboard_v1* keyboard TOVO_GUARDED_BY(lock) = nullptr;
    zwlr_virtual_pointer_v1* pointer TOVO_GUARDED_BY(lock) = nullptr;
    XkbKeymap keymap TOVO_GUARDED_BY(lock);
    uint64_t held TOVO_GUARDED_BY(lock) = 0;
    uint32_t modifierMask TOVO_GUARDED_BY(lock) = 0;
    std::chrono::steady_clock::time_point layoutAsked TOVO_GUARDED_BY(lock);
};

}  // namespace

std::unique_ptr<InputInjector> makeWlrootsInputInjector() { return std::make_unique<WlrootsInputInjector>(); }

}  // namespace tovo

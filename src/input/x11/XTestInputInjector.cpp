// InputInjector over XTEST on a connection of its own. Keys are keysyms already; typed
// characters use their keysyms, borrowing a spare keycode for the moment when the keymap
// has none for a character.
#include "input/x11/XTestInputInjector.h"

#include "base/Mutex.h"
#include "base/Utf8.h"
#include "x11/X11Connection.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace tovo {
namespace {

// The keysym of a Unicode scalar: Latin-1 keysyms equal their code points, the rest use
// the Unicode keysym range.
KeySym keysymOfScalar(char32_t c) {
    if (c == '\t') return XK_Tab;
    if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return static_cast<KeySym>(c);
    return static_cast<KeySym>(0x01000000 | c);
}

// The keysym of a key: a character key's Latin-1 keysym (its code point), a named key's from
// the table. The one place that knows X's names for keys.
KeySym keysymOf(Key key) {
    if (isCharacterKey(key)) return static_cast<KeySym>(key);
    static const std::map<Key, KeySym> named = [] {
        std::map<Key, KeySym> t = {
            {Key::returnKey, XK_Return},
            {Key::enter, XK_KP_Enter},
            {Key::tab, XK_Tab},
            {Key::backspace, XK_BackSpace},
            {Key::forwardDelete, XK_Delete},
            {Key::escape, XK_Escape},
            {Key::left, XK_Left},
            {Key::up, XK_Up},
            {Key::right, XK_Right},
            {Key::down, XK_Down},
            {Key::home, XK_Home},
            {Key::end, XK_End},
            {Key::pageUp, XK_Prior},
            {Key::pageDown, XK_Next},
            {Key::insert, XK_Insert},
            {Key::menu, XK_Menu},
            {Key::print, XK_Print},
            {Key::kpAdd, XK_KP_Add},
            {Key::kpSubtract, XK_KP_Subtract},
            {Key::kpMultiply, XK_KP_Multiply},
            {Key::kpDivide, XK_KP_Divide},
            {Key::kpDecimal, XK_KP_Decimal},
        };
        for (uint32_t n = 0; n < 24; ++n) t[static_cast<Key>(static_cast<uint32_t>(Key::f1) + n)] = XK_F1 + n;
        for (uint32_t n = 0; n < 10; ++n) t[static_cast<Key>(static_cast<uint32_t>(Key::kp0) + n)] = XK_KP_0 + n;
        return t;
    }();
    auto it = named.find(key);
    return it == named.end() ? NoSymbol : it->second;
}

// X's number of a pointer button.
unsigned buttonOf(MouseButton button) {
    switch (button) {
    case MouseButton::left: return Button1;
    case MouseButton::middle: return Button2;
    case MouseButton::right: return Button3;
    }
    return Button1;
}

class XTestInputInjector final : public InputInjector {
public:
    explicit XTestInputInjector(OwnKeyPresses* own) : own(own) {}

    ~XTestInputInjector() override {
        {
            MutexLock guard(lock);
            ending = true;
        }
        wake.notify_all();
        if (reverter.joinable()) reverter.join();
        MutexLock guard(lock);
        restoreBorrowed();
        if (display) XCloseDisplay(display);
    }

    void setModifiers(uint64_t flags) override {
        MutexLock guard(lock);
        if (!connect()) return;
        static const std::pair<uint64_t, KeySym> modifiers[] = {{ModifierFlags::command, XK_Super_L},
                                                                {ModifierFlags::shift, XK_Shift_L},
                                                                {ModifierFlags::option, XK_Alt_L},
                                                                {ModifierFlags::control, XK_Control_L}};
        for (const auto& [flag, keysym] : modifiers) {
            bool want = (flags & flag) != 0, have = (held & flag) != 0;
            if (want == have) continue;
            KeyCode code = XKeysymToKeycode(display, keysym);
            if (code != 0) XTestFakeKeyEvent(display, code, want ? True : False, CurrentTime);
        }
        held = flags;
        XFlush(display);
    }

    void moveTo(double x, double y) override {
        MutexLock guard(lock);
        if (!connect()) return;
        XTestFakeMotionEvent(display, -1, static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)),
                             CurrentTime);
        XFlush(display);
    }

    void button(MouseButton which, bool down) override {
        MutexLock guard(lock);
        if (!connect()) return;
        XTestFakeButtonEvent(display, buttonOf(which), down ? True : False, CurrentTime);
        XFlush(display);
    }

    void key(Key key, bool down) override {
        MutexLock guard(lock);
        if (!connect()) return;
        const KeySym sym = keysymOf(key);
        KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
        if (code == 0) return;
        if (down && own) own->note(static_cast<uint32_t>(sym));
        XTestFakeKeyEvent(display, code, down ? True : False, CurrentTime);
        XFlush(display);
    }

    void typeText(const std::string& text) override {
        {
            MutexLock guard(lock);
            if (!connect()) return;
            for (char32_t c : utf8Scalars(text)) typeScalar(c);
            XSync(display, False);
            lastBorrowUse = std::chrono::steady_clock::now();
            if (!borrowed.empty() && !reverter.joinable()) reverter = std::thread([this] { revertWhenIdle(); });
        }
        wake.notify_all();
    }

    void wheel(int vertical, int horizontal) override {
        MutexLock guard(lock);
        if (!connect()) return;
        auto turn = [&](int clicks, unsigned positive, unsigned negative) TOVO_REQUIRES(lock) {
            for (int i = 0; i < std::abs(clicks); ++i) {
                unsigned button = clicks > 0 ? positive : negative;
                XTestFakeButtonEvent(display, button, True, CurrentTime);
                XTestFakeButtonEvent(display, button, False, CurrentTime);
            }
        };
        turn(vertical, 4, 5);
        turn(horizontal, 6, 7);
        XFlush(display);
    }

private:
    // Opens (or re-opens after the server went away) this injector's connection.
    bool connect() TOVO_REQUIRES(lock) {
        if (display && !broken) return true;
        if (display) {
            XCloseDisplay(display);
            display = nullptr;
            held = 0;
            borrowed.clear();
        }
        broken = false;
        display = x11::openDisplay(&broken);
        return display != nullptr;
    }

    void typeScalar(char32_t c) TOVO_REQUIRES(lock) {
        KeySym keysym = keysymOfScalar(c);
        bool shifted = false;
        KeyCode code = 0;
        if (auto it = borrowed.find(keysym); it != borrowed.end()) {
            code = it->second;
        } else if ((code = XKeysymToKeycode(display, keysym)) != 0) {
            // The keysym may sit on the shifted level of its key.
            shifted =
                XkbKeycodeToKeysym(display, code, 0, 0) != keysym && XkbKeycodeToKeysym(display, code, 0, 1) == keysym;
        } else {
            code = borrowKeycode(keysym);
            if (code == 0) return;
        }
        KeyCode shift = shifted ? XKeysymToKeycode(display, XK_Shift_L) : 0;
        if (shift) XTestFakeKeyEvent(display, shift, True, CurrentTime);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        if (shift) XTestFakeKeyEvent(display, shift, False, CurrentTime);
        XSync(display, False);
    }

    // Binds `keysym` to a spare keycode. Clients receive the mapping change before the key
    // events that follow it, and re-read the keymap when they handle it; the binding stays
    // until typing has been idle for a while (see revertWhenIdle), so that a client that
    // reads the keymap late still finds the character there.
    KeyCode borrowKeycode(KeySym keysym) TOVO_REQUIRES(lock) {
        KeyCode code = spareKeycode();
        if (code == 0 && !borrowed.empty()) {
            restoreBorrowed();
            code = spareKeycode();
        }
        if (code == 0) return 0;
        KeySym both[2] = {keysym, keysym};
        XChangeKeyboardMapping(display, code, 2, both, 1);
        XSync(display, False);
        borrowed[keysym] = code;
        return code;
    }

    // Gives the borrowed keycodes back to the keymap.
    void restoreBorrowed() TOVO_REQUIRES(lock) {
        if (!display || broken) {
            borrowed.clear();
            return;
        }
        KeySym none[2] = {NoSymbol, NoSymbol};
        for (const auto& [keysym, code] : borrowed) XChangeKeyboardMapping(display, code, 2, none, 1);
        borrowed.clear();
        XSync(display, False);
    }

    // Runs on its own thread while keycodes are borrowed: restores them once typing has
    // been idle for half a second.
    void revertWhenIdle() {
        MutexLock guard(lock);
        for (;;) {
            if (ending) return;
            if (borrowed.empty()) {
                guard.wait(wake);
                continue;
            }
            auto due = lastBorrowUse + std::chrono::milliseconds(500);
            if (std::chrono::steady_clock::now() >= due) {
                restoreBorrowed();
                continue;
            }
            guard.waitUntil(wake, due);
        }
    }

    // A keycode without any keysym, to carry a character the keymap lacks; 0 when none.
    KeyCode spareKeycode() TOVO_REQUIRES(lock) {
        int minCode, maxCode, perCode;
        XDisplayKeycodes(display, &minCode, &maxCode);
        KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &perCode);
        if (!map) return 0;
        KeyCode spare = 0;
        for (int code = maxCode; code >= minCode && spare == 0; --code) {
            bool empty = true;
            for (int k = 0; k < perCode; ++k) empty = empty && map[(code - minCode) * perCode + k] == NoSymbol;
            if (empty) spare = static_cast<KeyCode>(code);
        }
        XFree(map);
        return spare;
    }

    Mutex lock;  // guards everything below; each call posts whole
    std::condition_variable wake;
    Display* display TOVO_GUARDED_BY(lock) = nullptr;
    bool broken TOVO_GUARDED_BY(lock) = false;
    uint64_t held TOVO_GUARDED_BY(lock) = 0;
    std::map<KeySym, KeyCode> borrowed TOVO_GUARDED_BY(lock);  // characters bound to spare keycodes for now
    std::chrono::steady_clock::time_point lastBorrowUse TOVO_GUARDED_BY(lock);
    std::thread reverter TOVO_GUARDED_BY(lock);
    bool ending TOVO_GUARDED_BY(lock) = false;
    OwnKeyPresses* const own;  // set once at construction, not guarded
};

}  // namespace

std::unique_ptr<InputInjector> makeXTestInputInjector(OwnKeyPresses* own) {
    return std::make_unique<XTestInputInjector>(own);
}

}  // namespace tovo

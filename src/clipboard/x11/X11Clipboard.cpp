#include "clipboard/x11/X11Clipboard.h"

#include "base/Log.h"
#include "base/Mutex.h"
#include "base/Utf8.h"
#include "clipboard/ClipboardJobs.h"
#include "clipboard/formats/ClipboardFormats.h"
#include "x11/X11Connection.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

namespace tovo {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto answerTimeout = std::chrono::seconds(2);
constexpr size_t incrChunk = 256 * 1024;

class X11Clipboard final : public Pasteboard {
public:
    X11Clipboard() {
        x11::initThreads();
        thread = std::thread([this] { run(); });
    }

    ~X11Clipboard() override {
        jobs.end();
        thread.join();
    }

    int64_t changeCount() override { return count.load(); }

    Offer offer() override {
        return jobs.call<Offer>(Offer{}, [this] {
            Offer offer;
            auto targets = readTargets();
            for (Atom a : targets) offer.types.push_back(atomName(a));
            auto has = [&](const char* type) {
                return std::find(offer.types.begin(), offer.types.end(), type) != offer.types.end();
            };
            if (has("x-kde-passwordManagerHint")) {
                auto hint = convert(atom("x-kde-passwordManagerHint"));
                if (hint && *hint == "secret") {
                    offer.concealed = true;
                    return offer;
                }
            }
            for (const char* type : {"x-special/gnome-copied-files", "text/uri-list"}) {
                if (!has(type) || !offer.filePaths.empty()) continue;
                if (auto list = convert(atom(type))) offer.filePaths = filePathsOf(*list);
            }
            for (const char* type : {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT"}) {
                if (!has(type) || offer.text) continue;
                offer.text = convert(atom(type));
                // STRING is Latin-1 by definition.
                if (offer.text && std::strcmp(type, "STRING") == 0) offer.text = utf8FromLatin1(*offer.text);
            }
            for (const auto& type : offer.types) offer.hasImage = offer.hasImage || type.rfind("image/", 0) == 0;
            return offer;
        });
    }

    std::optional<std::string> png() override {
        return jobs.call<std::optional<std::string>>(std::nullopt, [this]() -> std::optional<std::string> {
            auto targets = readTargets();
            std::vector<std::string> types;
            for (Atom target : targets) types.push_back(atomName(target));
            for (const auto& type : imageTypesByPreference(types)) {
                if (auto data = convert(atom(type.c_str()))) {
                    if (auto png = imageAsPNG(type, *data)) return png;
                }
            }
            return std::nullopt;
        });
    }

    int64_t writeText(const std::string& text) override { return take(textContent(text)); }

    int64_t writeFiles(const std::vector<std::string>& paths, const std::optional<std::string>& imageType,
                       const std::string& imageData) override {
        return take(filesContent(paths, imageType, imageData));
    }

private:
    // Target name → data; the text targets share one copy.
    using Owned = ClipboardContent;
    // An INCR transfer to a requestor, one chunk per deleted property.
    struct Outgoing {
        Window requestor;
        Atom property;
        Atom type;
        std::shared_ptr<const std::string> data;  // shared with what we own, not copied
        size_t sent = 0;
        Clock::time_point lastProgress;
    };

    // --- everything below runs on the clipboard thread --------------------------------

    void run() {
        for (;;) {
            std::deque<ClipboardJobs::Job> batch;
            if (!jobs.take(batch)) break;
            bool haveDisplay = ensureDisplay();
            // Without a display every job answers its fallback at once.
            for (auto& job : batch) job(haveDisplay && !broken);
            if (haveDisplay) handlePending();
            waitForWork(haveDisplay ? 250 : 1000);
        }
        jobs.finish();
        closeDisplay();
    }

    void waitForWork(int millis) {
        pollfd fds[2] = {{jobs.wakeFd(), POLLIN, 0}, {display && !broken ? ConnectionNumber(display) : -1, POLLIN, 0}};
        ::poll(fds, 2, millis);
        jobs.drainWake();
    }

    bool ensureDisplay() {
        if (display && !broken) return true;
        closeDisplay();
        display = x11::openDisplay(&broken);
        if (!display) return false;
        int eventBase = 0, errorBase = 0;
        if (!XFixesQueryExtension(display, &eventBase, &errorBase)) {
            closeDisplay();
            return false;
        }
        fixesEvent = eventBase;
        window = XCreateSimpleWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, 0, 0);
        XSelectInput(display, window, PropertyChangeMask);
        clipboard = atom("CLIPBOARD");
        XFixesSelectSelectionInput(display, window, clipboard,
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        XFlush(display);
        ++count;  // a new connection may see another clipboard
        return true;
    }

    void closeDisplay() {
        if (display) XCloseDisplay(display);
        display = nullptr;
        atoms.clear();
        owned.reset();
        outgoing.clear();
    }

    Atom atom(const std::string& name) {
        auto it = atoms.find(name);
        if (it != atoms.end()) return it->second;
        Atom a = XInternAtom(display, name.c_str(), False);
        atoms[name] = a;
        return a;
    }

    std::string atomName(Atom a) {
        char* name = XGetAtomName(display, a);
        std::string out = name ? name : "";
        if (name) XFree(name);
        return out;
    }

    // Handles the events that are there, without waiting.
    void handlePending() {
        while (display && !broken && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            handle(event);
        }
        // Transfers whose requestor stopped taking chunks are dropped.
        auto now = Clock::now();
        std::erase_if(outgoing, [&](const Outgoing& o) { return now - o.lastProgress > std::chrono::seconds(10); });
    }

    // Waits for an event that `wanted` accepts, handling every other one, until `deadline`.
    std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& wanted, Clock::time_point deadline) {
        for (;;) {
            while (display && !broken && XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                if (wanted(event)) return event;
                handle(event);
            }
            if (!display || broken) return std::nullopt;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
    }

    void handle(const XEvent& event) {
        if (event.type == fixesEvent + XFixesSelectionNotify) {
            ++count;
            return;
        }
        switch (event.type) {
        case SelectionRequest: serve(event.xselectionrequest); break;
        case SelectionClear:
            if (event.xselectionclear.selection == clipboard) owned.reset();
            break;
        case PropertyNotify: continueOutgoing(event.xproperty); break;
        default: break;
        }
    }

    std::vector<Atom> readTargets() {
        std::vector<Atom> targets;
        if (owned) {
            for (const auto& [name, data] : *owned) targets.push_back(atom(name));
            return targets;
        }
        auto data = convert(atom("TARGETS"));
        if (!data) return targets;
        size_t n = data->size() / sizeof(Atom);
        targets.resize(n);
        std::memcpy(targets.data(), data->data(), n * sizeof(Atom));
        return targets;
    }

    // The clipboard's content as `target`, following INCR; none when the owner does not
    // answer in time or has none.
    std::optional<std::string> convert(Atom target) {
        if (owned) {
            auto it = owned->find(atomName(target));
            if (it == owned->end()) return std::nullopt;
            return *it->second;
        }
        if (XGetSelectionOwner(display, clipboard) == None) return std::nullopt;
        Atom property = atom("TOVO_CLIPBOARD");
        XDeleteProperty(display, window, property);
        XConvertSelection(display, clipboard, target, property, window, CurrentTime);
        XFlush(display);
        auto notify =
            waitFor([&](const XEvent& e) { return e.type == SelectionNotify && e.xselection.requestor == window; },
                    Clock::now() + answerTimeout);
        if (!notify || notify->xselection.property == None) return std::nullopt;
        Atom type = None;
        std::string data;
        if (!readProperty(property, &type, &data)) return std::nullopt;
        if (type != atom("INCR")) return data;
        // INCR: the owner writes chunk after chunk, each after we delete the last one.
        std::string whole;
        for (;;) {
            auto next = waitFor(
                [&](const XEvent& e) {
                    return e.type == PropertyNotify && e.xproperty.window == window && e.xproperty.atom == property &&
                           e.xproperty.state == PropertyNewValue;
                },
                Clock::now() + answerTimeout);
            if (!next) return std::nullopt;
            std::string chunk;
            if (!readProperty(property, &type, &chunk)) return std::nullopt;
            if (chunk.empty()) return whole;
            whole += chunk;
        }
    }

    // Reads and deletes `property` of our window.
    bool readProperty(Atom property, Atom* type, std::string* out) {
        long offset = 0;
        for (;;) {
            Atom actualType = None;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* bytes = nullptr;
            if (XGetWindowProperty(display, window, property, offset, 1 << 22, False, AnyPropertyType, &actualType,
                                   &format, &items, &after, &bytes) != Success) {
                return false;
            }
            // 32-bit items arrive as longs (Atoms stay Atoms for the caller).
            size_t unit = format == 32 ? sizeof(long) : static_cast<size_t>(format / 8);
            if (bytes) {
                out->append(reinterpret_cast<char*>(bytes), items * unit);
                XFree(bytes);
            }
            *type = actualType;
            if (after == 0) break;
            // Offsets count 32-bit units of the property.
            offset += static_cast<long>(format == 32 ? items : items * unit / 4);
        }
        XDeleteProperty(display, window, property);
        XFlush(display);
        return true;
    }

    // Owns the clipboard with `content`; the change count once the server confirmed it.
    int64_t take(Owned content) {
        return jobs.call<int64_t>(count.load(), [this, content = std::move(content)]() mutable {
            owned = std::move(content);
            // Answered by serve() itself; listed here so that TARGETS names them.
            for (const char* target : {"TARGETS", "TIMESTAMP", "MULTIPLE"}) {
                owned->emplace(target, std::make_shared<const std::string>());
            }
            XSetSelectionOwner(display, clipboard, window, CurrentTime);
            XFlush(display);
            // Our own XFixes notice counts the change, and carries the server time the
            // ownership began (TIMESTAMP's answer).
            auto notice = waitFor(
                [&](const XEvent& e) {
                    return e.type == fixesEvent + XFixesSelectionNotify &&
                           reinterpret_cast<const XFixesSelectionNotifyEvent&>(e).owner == window;
                },
                Clock::now() + answerTimeout);
            if (notice) {
                ++count;
                ownedSince = reinterpret_cast<const XFixesSelectionNotifyEvent&>(*notice).selection_timestamp;
            }
            handOverToManager();
            return count.load();
        });
    }

    // A running clipboard manager keeps the content after this process is gone.
    void handOverToManager() {
        Atom manager = atom("CLIPBOARD_MANAGER");
        if (XGetSelectionOwner(display, manager) == None) return;
        XConvertSelection(display, manager, atom("SAVE_TARGETS"), None, window, CurrentTime);
        XFlush(display);
    }

    void serve(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        // Obsolete clients name no property: the target's name is used.
        Atom property = request.property == None ? request.target : request.property;
        if (owned && request.selection == clipboard) {
            if (request.target == atom("MULTIPLE")) {
                if (request.property != None && answerMultiple(request.requestor, request.property))
                    reply.property = property;
            } else if (answer(request.requestor, request.target, property)) {
                reply.property = property;
            }
        }
        XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
        XFlush(display);
    }

    // Writes `target` of what this process owns into `property` of `requestor` (by INCR
    // when large); false when it has no such target.
    bool answer(Window requestor, Atom target, Atom property) {
        const std::string name = atomName(target);
        if (name == "TARGETS") {
            std::vector<Atom> list;
            for (const auto& [type, data] : *owned) list.push_back(atom(type));
            XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
            return true;
        }
        if (name == "TIMESTAMP") {
            long time = static_cast<long>(ownedSince);  // 32-bit items are passed as longs
            XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&time), 1);
            return true;
        }
        auto it = owned->find(name);
        if (it == owned->end() || name == "MULTIPLE") return false;
        Atom type = name == "TEXT" ? atom("UTF8_STRING") : target;
        const std::string& data = *it->second;
        if (data.size() > incrChunk) {
            long size = static_cast<long>(data.size());
            XSelectInput(display, requestor, PropertyChangeMask);
            XChangeProperty(display, requestor, property, atom("INCR"), 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&size), 1);
            outgoing.push_back({requestor, property, type, it->second, 0, Clock::now()});
        } else {
            XChangeProperty(display, requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
        }
        return true;
    }

    // MULTIPLE: `property` holds (target, property) pairs; each is answered, and a pair
    // whose target this process lacks gets None for its property, as the requestor learns.
    bool answerMultiple(Window requestor, Atom property) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, requestor, property, 0, 4096, False, AnyPropertyType, &type, &format, &count,
                               &after, &data) != Success ||
            !data || format != 32 || count % 2 != 0) {
            if (data) XFree(data);
            return false;
        }
        std::vector<Atom> pairs(reinterpret_cast<Atom*>(data), reinterpret_cast<Atom*>(data) + count);
        XFree(data);
        for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
            if (pairs[i] == atom("MULTIPLE") || pairs[i + 1] == None || !answer(requestor, pairs[i], pairs[i + 1])) {
                pairs[i + 1] = None;
            }
        }
        XChangeProperty(display, requestor, property, atom("ATOM_PAIR"), 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(pairs.data()), static_cast<int>(pairs.size()));
        return true;
    }

    void continueOutgoing(const XPropertyEvent& event) {
        if (event.state != PropertyDelete) return;
        for (auto it = outgoing.begin(); it != outgoing.end(); ++it) {
            if (it->requestor != event.window || it->property != event.atom) continue;
            size_t n = std::min(incrChunk, it->data->size() - it->sent);
            XChangeProperty(display, it->requestor, it->property, it->type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(it->data->data() + it->sent), static_cast<int>(n));
            XFlush(display);
            it->lastProgress = Clock::now();
            if (n == 0) {
                outgoing.erase(it);  // the empty chunk ended it
            } else {
                it->sent += n;
            }
            return;
        }
    }

    std::atomic<int64_t> count{1};
    ClipboardJobs jobs;
    std::thread thread;

    // The clipboard thread's own.
    Display* display = nullptr;
    bool broken = false;
    Window window = 0;
    int fixesEvent = 0;
    Atom clipboard = None;
    std::map<std::string, Atom> atoms;
    std::optional<Owned> owned;
    Time ownedSince = CurrentTime;  // the server time this process took the clipboard
    std::vector<Outgoing> outgoing;
};

}  // namespace

std::unique_ptr<Pasteboard> makeX11Clipboard() { return std::make_unique<X11Clipboard>(); }

}  // namespace tovo

#include "base/Log.h"
#include "base/Mutex.h"
#include "desktop/wlroots/SwayIpc.h"
#include "desktop/wlroots/SwayTree.h"
#include "desktop/wlroots/WlrootsWindows.h"
#include "wayland/WaylandClient.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <algorithm>
#include <list>
#include <set>

namespace tovo {
namespace {

constexpr uint32_t swayGetTree = 4;

// What wlr-foreign-toplevel-management tells of every window, followed on a connection of
// its own. Threads: one at a time (the window system's lock).
class ForeignToplevels {
public:
    std::vector<WindowRecord> windows() {
        if (!connection || connection->broken()) open();
        std::vector<WindowRecord> out;
        if (!connection) return out;
        connection->roundtrip();
        // Activated first: the compositor tells no stacking order.
        for (const auto& toplevel : toplevels) {
            if (toplevel.closed) continue;
            WindowRecord record;
            record.id = toplevel.id;
            record.frame = toplevel.id;
            record.title = toplevel.title;
            record.name = toplevel.appId;
            if (!toplevel.appId.empty()) record.bundleId = toplevel.appId;
            record.minimized = toplevel.minimized;
            record.onScreen = !toplevel.minimized;
            if (toplevel.activated) {
                out.insert(out.begin(), std::move(record));
            } else {
                out.push_back(std::move(record));
            }
        }
        return out;
    }

    ~ForeignToplevels() { close(); }

private:
    struct Toplevel {
        ForeignToplevels* owner = nullptr;
        zwlr_foreign_toplevel_handle_v1* handle = nullptr;
        uint32_t id = 0;
        std::string title, appId;
        bool minimized = false, activated = false, closed = false;
    };

    void open() {
        close();
        connection = wayland::Connection::open();
        if (!connection) return;
        manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            connection->bind(&zwlr_foreign_toplevel_manager_v1_interface, 3));
        if (!manager) {
            connection.reset();
            return;
        }
        zwlr_foreign_toplevel_manager_v1_add_listener(manager, &managerListener, this);
        connection->roundtrip();
    }

    void close() {
        for (auto& toplevel : toplevels) zwlr_foreign_toplevel_handle_v1_destroy(toplevel.handle);
        toplevels.clear();
        if (manager) zwlr_foreign_toplevel_manager_v1_destroy(manager);
        manager = nullptr;
        connection.reset();
    }

    static void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<ForeignToplevels*>(data);
        self->toplevels.push_back({self, handle, ++self->lastId});
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, &self->toplevels.back());
    }
    static void onFinished(void*, zwlr_foreign_toplevel_manager_v1*) {}
    static constexpr zwlr_foreign_toplevel_manager_v1_listener managerListener = {onToplevel, onFinished};

    static void onTitle(void* data, zwlr_foreign_toplevel_handle_v1*, const char* title) {
        static_cast<Toplevel*>(data)->title = title;
    }
    static void onAppId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* appId) {
        static_cast<Toplevel*>(data)->appId = appId;
    }
    static void onOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void onState(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->minimized = toplevel->activated = false;
        const auto* state = static_cast<const uint32_t*>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i) {
            if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED) toplevel->minimized = true;
            if (state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) toplevel->activated = true;
        }
    }
    static void onDone(void*, zwlr_foreign_toplevel_handle_v1*) {}
    static void onClosed(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        auto& list = toplevel->owner->toplevels;
        zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
        list.remove_if([toplevel](const Toplevel& t) { return &t == toplevel; });
    }
    static void onParent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handleListener = {onTitle, onAppId, onOutput, onOutput,
                                                                                onState, onDone,  onClosed, onParent};

    std::unique_ptr<wayland::Connection> connection;
    zwlr_foreign_toplevel_manager_v1* manager = nullptr;
    std::list<Toplevel> toplevels;  // a list: the handles' listeners hold their entries' addresses
    uint32_t lastId = 0;
};

class WlrootsWindowSystem : public WindowSystem {
public:
    std::vector<WindowRecord> onScreenWindows() override {
        auto all = read().windows;
        std::erase_if(all, [](const WindowRecord& w) { return !w.onScreen; });
        return all;
    }

    std::vector<WindowRecord> windowsOf(const std::vector<int32_t>& pids) override {
        auto all = read().windows;
        std::erase_if(all,
                      [&](const WindowRecord& w) { return std::find(pids.begin(), pids.end(), w.pid) == pids.end(); });
        return all;
    }

    std::optional<WindowRecord> window(uint32_t id) override {
        for (auto& w : read().windows)
            if (w.id == id) return w;
        return std::nullopt;
    }

    // wlroots compositors draw no desktop of icons; a desktop shell's surfaces are layers,
    // not windows.
    std::optional<AppRef> desktopShell() override { return std::nullopt; }

    std::optional<int32_t> activePid() override { return read().focusedPid; }

    std::vector<AppRef> runningApps() override {
        std::vector<AppRef> out;
        std::set<std::pair<int32_t, std::string>> seen;
        for (const auto& w : read().windows) {
            if (!seen.insert({w.pid, w.name}).second) continue;
            out.push_back({w.pid, w.bundleId, w.name});
        }
        return out;
    }

private:
    SwayWindows read() {
        if (auto socket = swaySocketPath()) {
            if (auto tree = swayRequest(*socket, swayGetTree)) return swayWindows(*tree);
        }
        MutexLock guard(lock);
        if (!toldFallback) {
            log("windows: no sway IPC; wlr-foreign-toplevel-management tells neither where windows are nor their "
                "processes, so no window is placed on screen");
            toldFallback = true;
        }
        return {toplevels.windows(), std::nullopt};
    }

    Mutex lock;  // guards toplevels and serialises its connection's use
    ForeignToplevels toplevels TOVO_GUARDED_BY(lock);
    bool toldFallback TOVO_GUARDED_BY(lock) = false;
};

}  // namespace

std::unique_ptr<WindowSystem> makeWlrootsWindowSystem() { return std::make_unique<WlrootsWindowSystem>(); }

}  // namespace tovo

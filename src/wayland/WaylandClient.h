#pragma once

#include "base/Mutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_output;
struct wl_shm;
struct wl_seat;
struct wl_buffer;
struct wl_interface;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;

namespace tovo::wayland {

// One output (monitor) as the compositor describes it. Positions and sizes are in the
// compositor's logical layout (desktop pixels); the mode is the output's own pixels.
struct Output {
    uint32_t globalName = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    std::string name;  // "HEADLESS-1", "eDP-1", …
    std::string description;
    int x = 0;
    int y = 0;
    int width = 0;  // logical
    int height = 0;
    int modeWidth = 0;  // pixels
    int modeHeight = 0;
    int scale = 1;
    int transform = 0;
    bool logicalKnown = false;  // xdg-output told the logical rectangle
};

// A connection to the Wayland compositor named by $WAYLAND_DISPLAY (in $XDG_RUNTIME_DIR),
// with the compositor's globals and outputs followed as they come and go.
//
// Threads: used by one thread at a time (its owner's); events are dispatched only inside
// roundtrip() and dispatchUntil(), on the calling thread.
class Connection {
public:
    using Clock = std::chrono::steady_clock;

    // Connects; null with `why` set when no compositor answers.
    static std::unique_ptr<Connection> open(std::string* why = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    wl_display* display() const { return wlDisplay; }
    // The compositor offers a global of this interface (at least `version`).
    bool has(const std::string& interface, uint32_t version = 1) const;
    // Binds the first global of `interface`'s name at the highest version both know (at
    // most `maxVersion`); null when the compositor has none. The caller owns the proxy.
    void* bind(const wl_interface* interface, uint32_t maxVersion);
    // Globals bound once for everyone's use; null when absent.
    wl_shm* shm() const { return wlShm; }
    wl_seat* seat() const { return wlSeat; }

    // The outputs in the compositor's order, as last dispatched. Call roundtrip() first to
    // see the latest.
    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputList; }
    const Output* outputNamed(const std::string& name) const;

    // Sends what is queued and dispatches every event up to the compositor's answer.
    // False once the connection broke.
    bool roundtrip();
    // Dispatches events until `done` returns true (checked after every batch) or
    // `deadline` passes. False on timeout or a broken connection.
    bool dispatchUntil(const std::function<bool()>& done, Clock::time_point deadline);
    // Sends what is queued. False once the connection broke.
    bool flush();
    // The connection broke (a protocol error or the compositor went away).
    bool broken() const;

private:
    Connection() = default;
    struct Listeners;
    void addOutput(uint32_t name, uint32_t version);
    void watchLogical(Output& output);

    wl_display* wlDisplay = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* wlShm = nullptr;
    wl_seat* wlSeat = nullptr;
    zxdg_output_manager_v1* xdgOutputs = nullptr;
    struct Global {
        uint32_t name;
        std::string interface;
        uint32_t version;
    };
    std::vector<Global> globals;
    std::vector<std::unique_ptr<Output>> outputList;
    bool outputsAdded = false;  // during the current round trip
};

// A buffer in shared memory the compositor can write pictures into (or read them from).
class ShmBuffer {
public:
    // Null when memory cannot be had.
    static std::unique_ptr<ShmBuffer> create(wl_shm* shm, int width, int height, int stride, uint32_t format);
    ~ShmBuffer();
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    uint8_t* data() const { return pixels; }
    wl_buffer* buffer() const { return wlBuffer; }
    int width = 0;
    int height = 0;
    int stride = 0;
    uint32_t format = 0;

private:
    ShmBuffer() = default;
    uint8_t* pixels = nullptr;
    size_t size = 0;
    wl_buffer* wlBuffer = nullptr;
};

// A connection shared by the backends that make short requests (displays, the session,
// windows); it is opened again after the compositor went away.
//
// Threads: any; uses are serialised under the lock, so keep them short.
class SharedConnection {
public:
    // Runs `use` with a live connection (opening one first when needed). False, without
    // calling `use`, when no compositor answers; false also when the connection broke
    // during `use`.
    bool with(const std::function<void(Connection&)>& use);

private:
    Mutex lock;  // guards connection and serialises its use
    std::unique_ptr<Connection> connection TOVO_GUARDED_BY(lock);
};

// The milliseconds the input protocols stamp events with.
uint32_t eventTime();

}  // namespace tovo::wayland

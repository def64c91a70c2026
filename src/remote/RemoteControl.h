#pragma once

#include "base/Clock.h"
#include "base/Mutex.h"
#include "base/TaskQueue.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

namespace tovo {

// Input refused by the arbiter: the caller must take control first, or another device
// holds it (`holder` names it).
class ControlRefused : public std::runtime_error {
public:
    struct Device {
        std::string id;
        std::string name;
    };
    ControlRefused(const std::string& message, std::optional<Device> holder)
        : std::runtime_error(message), holder(std::move(holder)) {}
    std::optional<Device> holder;  // set when another device controls the screen
};

// Who drives the pointer and keyboard: nobody, or one paired device. A device must take
// control before its input is admitted; while one holds it, everybody else's input (local
// clients included) is refused. Control ends on release, after `idle` seconds without input
// from the holder, when the device is removed, or when it is taken back.
//
// Threads: any. The callbacks run after the lock is released, on the thread that made the
// change (the queue's for the idle release).
class RemoteControl {
public:
    using Device = ControlRefused::Device;
    struct Holder {
        std::string id;
        std::string name;
        double since = 0;  // wall-clock seconds
        bool operator==(const Holder&) const = default;
    };
    struct Clocks {
        MonotonicClock monotonic = monotonicSeconds;
        MonotonicClock wall = wallSeconds;
    };
    static constexpr double defaultIdle = 600;
    static constexpr std::chrono::milliseconds checkInterval{1000};

    RemoteControl(Clocks clocks, std::shared_ptr<TaskQueue> queue, double idle = defaultIdle);
    ~RemoteControl();

    void take(const Device& device);
    void release(const Device& device);
    bool releaseAny(const std::string& why);
    void deviceRemoved(const std::string& id);
    // Admits input from `device` (none: a local client), or throws ControlRefused.
    void admitInput(const std::optional<Device>& device);
    std::optional<Holder> holder();
    // {"controller": "remote", "since", "device": {"id", "name"}} or {"controller": "none"}.
    nlohmann::json json();
    static nlohmann::json jsonOf(const std::optional<Holder>& holder);

    // Called with the reason whenever the holder changes: lifts buttons held by synthetic
    // input. Set before use.
    std::function<void(const std::string& reason)> liftHeldButtons;
    // Called with one line for the event feed ({"type":"control",…} and a line feed).
    std::function<void(const std::string& line)> postEvent;

private:
    void announce(const std::optional<Holder>& before, const std::optional<Holder>& after, const std::string& reason);
    void idleCheck();

    const Clocks clocks;
    const double idle;
    Mutex lock;  // guards the fields below
    std::optional<Holder> current TOVO_GUARDED_BY(lock);
    double lastActivity TOVO_GUARDED_BY(lock) = 0;    // monotonic seconds
    bool timerRunning TOVO_GUARDED_BY(lock) = false;  // the idle check ticks
    // Last, so that its thread ends before the fields a tick reads.
    const std::shared_ptr<TaskQueue> queue;
};

}  // namespace tovo

#include "remote/RemoteControl.h"

#include "base/Log.h"
#include "base/Mutex.h"

#include <cmath>

namespace tovo {

RemoteControl::RemoteControl(Clocks clocks, std::shared_ptr<TaskQueue> queue, double idle)
    : clocks(std::move(clocks)), idle(idle), queue(std::move(queue)) {}

RemoteControl::~RemoteControl() { queue->stopTimer(); }

void RemoteControl::take(const Device& device) {
    std::optional<Holder> before, after;
    {
        MutexLock guard(lock);
        lastActivity = clocks.monotonic();
        if (current && current->id == device.id) {
            current->name = device.name;
            return;
        }
        before = current;
        current = Holder{device.id, device.name, clocks.wall()};
        after = current;
        if (!timerRunning) {
            timerRunning = true;
            queue->startTimer(checkInterval, [this] { idleCheck(); });
        }
    }
    announce(before, after, "control taken by " + device.name);
}

void RemoteControl::release(const Device& device) {
    std::optional<Holder> before;
    {
        MutexLock guard(lock);
        if (!current || current->id != device.id) return;
        before = current;
        current.reset();
    }
    announce(before, std::nullopt, "control released by " + before->name);
}

bool RemoteControl::releaseAny(const std::string& why) {
    std::optional<Holder> before;
    {
        MutexLock guard(lock);
        if (!current) return false;
        before = current;
        current.reset();
    }
    announce(before, std::nullopt, why);
    return true;
}

void RemoteControl::deviceRemoved(const std::string& id) {
    {
        MutexLock guard(lock);
        if (!current || current->id != id) return;
    }
    releaseAny("the controlling device was removed");
}

void RemoteControl::admitInput(const std::optional<Device>& device) {
    MutexLock guard(lock);
    if (device && current && current->id == device->id) {
        lastActivity = clocks.monotonic();
        return;
    }
    if (!device && !current) return;
    if (!current) throw ControlRefused("take control of the screen first (POST /control)", std::nullopt);
    throw ControlRefused(current->name + " controls the screen", Device{current->id, current->name});
}

std::optional<RemoteControl::Holder> RemoteControl::holder() {
    MutexLock guard(lock);
    return current;
}

nlohmann::json RemoteControl::jsonOf(const std::optional<Holder>& holder) {
    if (!holder) return {{"controller", "none"}};
    return {{"controller", "remote"},
            {"since", static_cast<int64_t>(std::llround(holder->since * 1000))},
            {"device", {{"id", holder->id}, {"name", holder->name}}}};
}

nlohmann::json RemoteControl::json() { return jsonOf(holder()); }

void RemoteControl::idleCheck() {
    std::optional<Holder> before;
    {
        MutexLock guard(lock);
        // The timer runs on once started: a tick a second is cheaper than stopping it from
        // inside its own tick.
        if (!current) return;
        if (clocks.monotonic() - lastActivity < idle) return;
        before = current;
        current.reset();
    }
    announce(before, std::nullopt, "control idle for " + std::to_string(static_cast<int>(idle / 60)) + " min");
}

void RemoteControl::announce(const std::optional<Holder>& before, const std::optional<Holder>& after,
                             const std::string& reason) {
    log("remote: " + reason);
    if (before != after && liftHeldButtons) liftHeldButtons(reason);
    if (postEvent) postEvent(nlohmann::json{{"type", "control"}, {"control", jsonOf(after)}}.dump() + "\n");
}

}  // namespace tovo

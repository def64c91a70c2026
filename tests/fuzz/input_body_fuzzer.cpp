// Feeds arbitrary bytes to POST /input's body handling: decoding, validation, planning and
// posting through an injector that only counts. Any exception other than the API's own
// refusals, and any crash or sanitizer report, is a finding.
#include "base/BadInput.h"
#include "display/Displays.h"
#include "input/Input.h"
#include "input/InputEvent.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class CountingInjector : public tovo::InputInjector {
public:
    void setModifiers(uint64_t) override { ++calls; }
    void moveTo(double x, double y) override {
        if (!std::isfinite(x) || !std::isfinite(y)) __builtin_trap();
        ++calls;
    }
    void button(tovo::MouseButton, bool) override { ++calls; }
    void key(tovo::Key, bool) override { ++calls; }
    void typeText(const std::string&) override { ++calls; }
    void wheel(int vertical, int horizontal) override {
        // Clicks leave in bounded steps, whatever the distance asked for.
        if (std::abs(vertical) > tovo::WheelClicks::maxClicksPerStep ||
            std::abs(horizontal) > tovo::WheelClicks::maxClicksPerStep) {
            __builtin_trap();
        }
        ++calls;
    }
    std::atomic<uint64_t> calls{0};
};

class TwoMonitors : public tovo::DisplaySource {
public:
    std::vector<tovo::MonitorRecord> monitors() override {
        return {{1, 0, 0, 1920, 1080, true, "DP-1"}, {2, 1920, 0, 1280, 1024, false, "HDMI-1"}};
    }
    bool asleep() override { return false; }
    void declareUserActivity() override {}
};

struct World {
    CountingInjector injector;
    TwoMonitors source;
    tovo::Displays displays{source, std::nullopt};
    tovo::PointerHolds holds{tovo::monotonicSeconds};
    tovo::Input input{injector, displays, holds, tovo::monotonicSeconds, [](std::chrono::milliseconds) {}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World;  // lives for the process: the scroll timer runs on
    std::string body(reinterpret_cast<const char*>(data), size);
    try {
        tovo::InputEvent event = tovo::InputEvent::decode(body);
        if (world->input.isStale(event)) return 0;
        tovo::Input::Action action = world->input.plan(event, [] { return false; });
        world->input.perform(event, action);
    } catch (const tovo::BadInput&) {
    } catch (const tovo::DisplayError&) {}
    return 0;
}

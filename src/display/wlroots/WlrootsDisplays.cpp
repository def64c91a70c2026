#include "display/wlroots/WlrootsDisplays.h"

#include "wayland/WaylandClient.h"

namespace tovo {
namespace {

class WlrootsDisplaySource : public DisplaySource {
public:
    explicit WlrootsDisplaySource(wayland::SharedConnection& connection) : connection(connection) {}

    std::vector<MonitorRecord> monitors() override {
        std::vector<MonitorRecord> out;
        connection.with([&](wayland::Connection& c) {
            uint32_t index = 0;
            for (const auto& output : c.outputs()) {
                ++index;
                MonitorRecord record;
                record.id = output->globalName;
                const bool rotated = output->transform % 2 == 1;
                const int scale = output->scale > 0 ? output->scale : 1;
                // Without xdg-output the logical size is the mode over the scale.
                record.width =
                    output->logicalKnown ? output->width : (rotated ? output->modeHeight : output->modeWidth) / scale;
                record.height =
                    output->logicalKnown ? output->height : (rotated ? output->modeWidth : output->modeHeight) / scale;
                record.x = output->x;
                record.y = output->y;
                if (!output->name.empty()) record.name = output->name;
                // Laptop panels are named eDP-…, LVDS-… or DSI-… by the kernel.
                for (const char* panel : {"eDP", "LVDS", "DSI"})
                    if (output->name.rfind(panel, 0) == 0) record.kind = "builtin";
                if (record.width > 0 && record.height > 0) out.push_back(record);
            }
        });
        // The compositor has no primary output; the one at the origin stands in for it.
        bool primary = false;
        for (auto& record : out)
            if (!primary && record.x == 0 && record.y == 0) record.primary = primary = true;
        if (!primary && !out.empty()) out.front().primary = true;
        return out;
    }

    // Output power is the compositor's business (its idle settings); a client cannot ask.
    bool asleep() override { return false; }
    void declareUserActivity() override {}

private:
    wayland::SharedConnection& connection;
};

}  // namespace

std::unique_ptr<DisplaySource> makeWlrootsDisplaySource(wayland::SharedConnection& connection) {
    return std::make_unique<WlrootsDisplaySource>(connection);
}

}  // namespace tovo

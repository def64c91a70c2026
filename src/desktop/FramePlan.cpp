#include "desktop/FramePlan.h"

#include <algorithm>

namespace tovo {
namespace {

bool systemChrome(const WindowRecord& record) {
    return record.layer == WindowLevel::mainMenu || record.layer == WindowLevel::status;
}

bool desktopLevel(const WindowRecord& record) { return record.layer <= WindowLevel::desktopIcon; }

}  // namespace

NativeFilterPlan NativeFilterPlan::make(const WindowCatalog& catalog, const FrameFilter& filter) {
    NativeFilterPlan plan;
    const auto& shell = catalog.shell();
    for (const auto& record : catalog.records()) {
        bool keep;
        if (filter.hidden.hides(record.bundleId)) {
            keep = false;
        } else if (systemChrome(record) || desktopLevel(record)) {
            keep = true;
        } else if (record.chrome) {
            keep = shell ? filter.shows(shell->bundleId) : filter.shows(record.bundleId);
        } else {
            keep = filter.shows(record.bundleId);
        }
        const uint32_t id = record.frame ? record.frame : record.id;
        if (keep && std::find(plan.windows.begin(), plan.windows.end(), id) == plan.windows.end()) {
            plan.windows.push_back(id);
        }
    }
    return plan;
}

std::vector<MaskOp> maskOps(const WindowCatalog& catalog, uint32_t display, const FrameFilter& filter) {
    std::vector<MaskOp> ops;
    const auto& screens = catalog.displayList();
    auto screen = std::find_if(screens.begin(), screens.end(), [&](const auto& d) { return d.id == display; });
    if (screen == screens.end() || screen->bounds.w <= 0 || screen->bounds.h <= 0) return ops;
    const Rect& b = screen->bounds;
    const auto& records = catalog.records();
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const WindowRecord& record = *it;
        if (systemChrome(record) || record.chrome || desktopLevel(record)) continue;
        Rect part = record.bounds.intersection(b);
        if (part.area() <= 0) continue;
        MaskOp op;
        op.x = (part.x - b.x) / b.w, op.y = (part.y - b.y) / b.h, op.w = part.w / b.w, op.h = part.h / b.h;
        if (filter.shows(record.bundleId)) {
            op.kind = MaskOp::Kind::reveal;
        } else {
            op.kind = MaskOp::Kind::mask;
            if (!filter.hidden.hides(record.bundleId)) op.label = catalog.owner(record).name;
        }
        ops.push_back(std::move(op));
    }
    return ops;
}

}  // namespace tovo

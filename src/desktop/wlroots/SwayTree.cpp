#include "desktop/wlroots/SwayTree.h"

#include <algorithm>

namespace tovo {
namespace {

using nlohmann::json;

Rect rectOf(const json& value) {
    if (!value.is_object()) return {};
    return {value.value("x", 0.0), value.value("y", 0.0), value.value("width", 0.0), value.value("height", 0.0)};
}

bool isWindow(const json& node) {
    const std::string type = node.value("type", "");
    return (type == "con" || type == "floating_con") && node.contains("pid") && node["pid"].is_number();
}

// `nodes` in the order of `focus` (ids, most recent first); those it misses at the end.
std::vector<const json*> inFocusOrder(const json& node, const char* key) {
    std::vector<const json*> out;
    if (!node.contains(key) || !node[key].is_array()) return out;
    for (const auto& child : node[key]) out.push_back(&child);
    std::vector<int64_t> focus;
    if (node.contains("focus") && node["focus"].is_array())
        for (const auto& id : node["focus"])
            if (id.is_number_integer()) focus.push_back(id.get<int64_t>());
    auto rank = [&](const json* child) {
        auto at = std::find(focus.begin(), focus.end(), child->value("id", int64_t{-1}));
        return at == focus.end() ? focus.size() : static_cast<size_t>(at - focus.begin());
    };
    std::stable_sort(out.begin(), out.end(), [&](const json* a, const json* b) { return rank(a) < rank(b); });
    return out;
}

struct Walk {
    std::vector<WindowRecord> visible, hidden;
    std::optional<int32_t> focusedPid;

    void add(const json& node, bool onVisibleWorkspace, bool floating) {
        WindowRecord record;
        record.pid = node.value("pid", 0);
        std::string appId =
            node.contains("app_id") && node["app_id"].is_string() ? node["app_id"].get<std::string>() : "";
        if (appId.empty() && node.contains("window_properties") && node["window_properties"].is_object()) {
            const auto& properties = node["window_properties"];
            if (properties.contains("class") && properties["class"].is_string()) appId = properties["class"];
        }
        if (!appId.empty()) record.bundleId = appId;
        record.name = appId;
        record.title = node.contains("name") && node["name"].is_string() ? node["name"].get<std::string>() : "";
        record.bounds = rectOf(node["rect"]);
        const Rect inner = rectOf(node.value("window_rect", json::object()));
        record.content =
            inner.w > 0 ? Rect{record.bounds.x + inner.x, record.bounds.y + inner.y, inner.w, inner.h} : record.bounds;
        record.id = static_cast<uint32_t>(node.value("id", int64_t{0}));
        record.frame = record.id;
        record.layer = floating ? WindowLevel::floating : WindowLevel::normal;
        record.onScreen = onVisibleWorkspace && node.value("visible", true);
        if (node.value("focused", false)) focusedPid = record.pid;
        (record.onScreen ? visible : hidden).push_back(std::move(record));
    }

    void container(const json& node, bool onVisibleWorkspace, bool floating) {
        if (isWindow(node)) {
            add(node, onVisibleWorkspace, floating);
            return;
        }
        for (const json* child : inFocusOrder(node, "floating_nodes")) container(*child, onVisibleWorkspace, true);
        for (const json* child : inFocusOrder(node, "nodes")) container(*child, onVisibleWorkspace, floating);
    }

    void tree(const json& node, bool visibleWorkspace) {
        const std::string type = node.value("type", "");
        if (type == "workspace") {
            const bool shown = node.value("visible", true) && node.value("name", "") != "__i3_scratch";
            container(node, visibleWorkspace && shown, false);
            return;
        }
        for (const json* child : inFocusOrder(node, "nodes")) tree(*child, visibleWorkspace);
    }
};

}  // namespace

SwayWindows swayWindows(const json& tree) {
    Walk walk;
    walk.tree(tree, true);
    SwayWindows out;
    out.windows = std::move(walk.visible);
    for (auto& record : walk.hidden) out.windows.push_back(std::move(record));
    out.focusedPid = walk.focusedPid;
    return out;
}

}  // namespace tovo

// The accessibility walk over a fake element tree, window matching and the editable rule.
#include "desktop/AXSummary.h"
#include "desktop/WindowError.h"

#include <gtest/gtest.h>

#include <map>

using namespace tovo;

namespace {

// A tree of nodes: each node's info and children, addressed by small numbers.
class FakeTree : public AXElementSource {
public:
    AXElement add(AXNodeInfo info, std::vector<AXElement> kids = {}) {
        auto id = std::make_shared<int>(static_cast<int>(nodes.size()));
        nodes[*id] = {std::move(info), std::move(kids)};
        return id;
    }
    std::optional<AXNodeInfo> info(const AXElement& e) override {
        ++reads;
        auto& node = nodes.at(key(e));
        if (node.first.role == "broken") return std::nullopt;
        return node.first;
    }
    std::vector<AXElement> children(const AXElement& e) override { return nodes.at(key(e)).second; }
    bool same(const AXElement& a, const AXElement& b) override { return key(a) == key(b); }

    int reads = 0;

private:
    static int key(const AXElement& e) { return *static_cast<const int*>(e.get()); }
    std::map<int, std::pair<AXNodeInfo, std::vector<AXElement>>> nodes;
};

AXNodeInfo node(const std::string& role, Rect frame, const std::string& title = "") {
    AXNodeInfo info;
    info.role = role;
    info.frame = frame;
    if (!title.empty()) info.title = title;
    return info;
}

const Rect windowBounds{100, 100, 400, 200};
auto never = [] { return false; };

}  // namespace

TEST(AXSummary, ListsActionableElementsClippedAndNormalised) {
    FakeTree tree;
    auto label = tree.add(node("AXStaticText", {110, 110, 50, 20}, "OK"));
    auto button = tree.add(node("AXButton", {110, 110, 80, 30}, "  OK button \n"), {label});
    auto emptyText = tree.add(node("AXStaticText", {200, 110, 50, 20}, "   "));
    auto heading = tree.add(node("AXStaticText", {200, 140, 100, 20}, "Settings"));
    auto field = tree.add(node("AXTextField", {300, 150, 150, 20}));
    auto partly = tree.add(node("AXButton", {150, 250, 100, 100}, "half"));  // scrolled half out
    auto hidden = tree.add(node("AXButton", {150, 400, 100, 20}, "gone"));   // wholly outside
    AXNodeInfo rowInfo = node("AXRow", {110, 260, 300, 20});
    auto plainRow = tree.add(rowInfo);
    rowInfo.selectable = true;
    auto selectableRow = tree.add(rowInfo);
    auto scroll = tree.add(node("AXScrollArea", {100, 250, 400, 50}), {partly, hidden, plainRow, selectableRow});
    AXNodeInfo broken;
    broken.role = "broken";
    auto unreadable = tree.add(broken, {tree.add(node("AXButton", {0, 0, 10, 10}))});
    auto group = tree.add(AXNodeInfo{}, {button, emptyText, heading, field, scroll, unreadable});
    auto root = tree.add(node("AXWindow", windowBounds), {group});

    auto result = AXSummary::collect(root, tree, windowBounds, 60, 15, never);
    EXPECT_FALSE(result.truncated);
    std::vector<std::string> listed;
    for (const auto& e : result.elements) listed.push_back(e.role + ":" + e.title.value_or(""));
    EXPECT_EQ(listed, (std::vector<std::string>{"AXButton:OK button", "AXStaticText:Settings",
                                                "AXTextField:", "AXButton:half", "AXRow:"}));
    const auto& half = result.elements[3];
    EXPECT_DOUBLE_EQ(half.rect.y, 0.75);  // clipped to the scroll area's bottom at 300
    EXPECT_DOUBLE_EQ(half.rect.h, 0.25);
    EXPECT_EQ(result.elements[0].i, 1);
    EXPECT_EQ(AXSummary::elementJson(result.elements[2]), (nlohmann::json{{"i", 3},
                                                                          {"role", "AXTextField"},
                                                                          {"x", 0.5},
                                                                          {"y", 0.25},
                                                                          {"w", 0.375},
                                                                          {"h", 0.1},
                                                                          {"enabled", true},
                                                                          {"focused", false}}));
}

TEST(AXSummary, StopsAtMaxDepthAndDeadline) {
    FakeTree tree;
    std::vector<AXElement> buttons;
    for (int k = 0; k < 10; ++k) buttons.push_back(tree.add(node("AXButton", {110.0 + k, 110, 20, 20}, "b")));
    auto root = tree.add(node("AXWindow", windowBounds), buttons);
    auto three = AXSummary::collect(root, tree, windowBounds, 3, 15, never);
    EXPECT_EQ(three.elements.size(), 3u);
    EXPECT_TRUE(three.truncated);

    int calls = 0;
    auto late = AXSummary::collect(root, tree, windowBounds, 60, 15, [&] { return ++calls > 4; });
    EXPECT_TRUE(late.truncated);
    EXPECT_EQ(late.elements.size(), 3u);  // the window plus three buttons were read

    // A button 16 levels down is beyond the maximum depth.
    AXElement deep = tree.add(node("AXButton", {110, 110, 20, 20}, "deep"));
    for (int level = 0; level < 15; ++level) deep = tree.add(AXNodeInfo{}, {deep});
    auto window = tree.add(node("AXWindow", windowBounds), {deep});
    EXPECT_TRUE(AXSummary::collect(window, tree, windowBounds, 60, 15, never).elements.empty());
}

TEST(AXSummary, FocusedEntry) {
    FakeTree tree;
    auto a = tree.add(node("AXButton", {110, 110, 20, 20}, "a"));
    auto b = tree.add(node("AXTextField", {150, 110, 20, 20}));
    auto root = tree.add(node("AXWindow", windowBounds), {a, b});
    auto result = AXSummary::collect(root, tree, windowBounds, 60, 15, never);
    EXPECT_EQ(AXSummary::focusedIndex(result, tree, b), 2);
    EXPECT_EQ(AXSummary::focusedIndex(result, tree, nullptr), std::nullopt);
    result.elements[0].focused = true;  // a flagged element wins
    EXPECT_EQ(AXSummary::focusedIndex(result, tree, b), 1);
}

TEST(AXWindowMatch, WithinFourPointsTheClosestWins) {
    Rect target{100, 100, 500, 400};
    EXPECT_EQ(AXWindowMatch::best(target, {{104, 100, 500, 400}, {101, 100, 501, 400}, {100, 100, 505, 400}}), 1u);
    EXPECT_EQ(AXWindowMatch::best(target, {{100, 100, 500, 404}, {100, 100, 504, 400}}), 0u);  // tie: the first
    EXPECT_EQ(AXWindowMatch::best(target, {{100, 100, 500, 404.5}}), std::nullopt);
    EXPECT_EQ(AXWindowMatch::best(target, {}), std::nullopt);

    // Window-relative frames (Wayland) match by size, at the origin only, and only alone.
    EXPECT_EQ(AXWindowMatch::bySize(target, {{0, 0, 300, 200}, {0, 0, 502, 398}}), 1u);
    EXPECT_EQ(AXWindowMatch::bySize(target, {{0, 0, 500, 400}, {0, 0, 501, 400}}), std::nullopt);
    EXPECT_EQ(AXWindowMatch::bySize(target, {{20, 0, 500, 400}}), std::nullopt);
}

TEST(FocusProbe, EditableRules) {
    using FocusProbe::isEditable;
    EXPECT_TRUE(isEditable("AXTextField", "AXSecureTextField", true, false, false));
    EXPECT_FALSE(isEditable("AXTextField", std::nullopt, false, true, true));  // disabled
    EXPECT_TRUE(isEditable("AXGroup", "AXSearchField", std::nullopt, false, false));
    EXPECT_TRUE(isEditable("AXWebArea", std::nullopt, std::nullopt, true, true));
    EXPECT_FALSE(isEditable("AXButton", std::nullopt, true, true, false));
}

namespace {

// The fake tree as an app's accessibility: one window, actions recorded.
class FakeAccessibility : public Accessibility {
public:
    FakeTree tree;
    AXElement root;
    std::vector<std::pair<AXElement, AXAction>> performed;
    std::string refusal;

    std::optional<AXNodeInfo> info(const AXElement& e) override { return tree.info(e); }
    std::vector<AXElement> children(const AXElement& e) override { return tree.children(e); }
    bool same(const AXElement& a, const AXElement& b) override { return tree.same(a, b); }
    std::optional<std::vector<AXWindowInfo>> windows(int32_t) override {
        return std::vector<AXWindowInfo>{{root, windowBounds, false}};
    }
    AXElement focusedElement(int32_t) override { return nullptr; }
    std::optional<AXFocusInfo> focusInfo(int32_t) override { return std::nullopt; }
    std::string perform(const AXElement& element, AXAction action, const std::string&) override {
        if (refusal.empty()) performed.emplace_back(element, action);
        return refusal;
    }
};

}  // namespace

TEST(AXSummary, ActionsReachTheListedElementOrNone) {
    FakeAccessibility ax;
    auto ok = ax.tree.add(node("AXButton", {110, 110, 80, 30}, "OK"));
    auto cancel = ax.tree.add(node("AXButton", {210, 110, 80, 30}, "Cancel"));
    ax.root = ax.tree.add(node("AXWindow", windowBounds), {ok, cancel});
    WindowRecord window;
    window.pid = 7;
    window.bounds = window.content = windowBounds;

    AXSummary::act(window, 5, ax, {2, "AXButton", "Cancel"}, AXAction::press, "");
    ASSERT_EQ(ax.performed.size(), 1u);
    EXPECT_TRUE(ax.tree.same(ax.performed[0].first, cancel));

    // A list gone stale: another title or role at that place, or no entry there any more.
    auto refused = [&](AXSummary::ElementRef ref) {
        try {
            AXSummary::act(window, 5, ax, ref, AXAction::focus, "");
        } catch (const WindowError& e) {
            return e.kind;
        }
        return WindowError::Kind::notFound;
    };
    EXPECT_EQ(refused({2, "AXButton", "OK"}), WindowError::Kind::staleElement);
    EXPECT_EQ(refused({1, "AXTextField", "OK"}), WindowError::Kind::staleElement);
    EXPECT_EQ(refused({1, "AXButton", std::nullopt}), WindowError::Kind::staleElement);
    EXPECT_EQ(refused({3, "AXButton", "OK"}), WindowError::Kind::staleElement);
    EXPECT_EQ(refused({0, "AXButton", "OK"}), WindowError::Kind::staleElement);
    EXPECT_EQ(ax.performed.size(), 1u);
    ax.refusal = "the element has no action to press";
    EXPECT_EQ(refused({1, "AXButton", "OK"}), WindowError::Kind::actionFailed);
}

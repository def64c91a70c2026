// The wlroots platform's pure parts: the keymap a virtual keyboard uploads, sway's window
// tree, and taking the banner's translucent pixels back out of a picture.
#include "desktop/wlroots/SwayTree.h"
#include "display/OwnLayers.h"
#include "input/wlroots/XkbKeymap.h"

#include <gtest/gtest.h>

#include <set>

using namespace tovo;

TEST(XkbKeymap, EveryCharacterOfATextGetsAKeyOfItsOwn) {
    XkbKeymap keymap;
    const uint32_t shift = keymap.modifierKey(XkbKeymap::Modifier::shift);
    ASSERT_TRUE(keymap.keyOf(Key::returnKey));
    ASSERT_TRUE(keymap.keyOf(static_cast<Key>('a')));
    EXPECT_NE(*keymap.keyOf(Key::returnKey), shift);
    EXPECT_EQ(keymap.keyOfScalar('\n'), keymap.keyOf(Key::returnKey));
    EXPECT_EQ(XkbKeymap::modifierMask(XkbKeymap::Modifier::control), 4u);
    EXPECT_EQ(XkbKeymap::modifierMask(XkbKeymap::Modifier::super), 64u);

    const std::u32string text = U"Grüße 東京 ρé€ A";
    EXPECT_FALSE(keymap.keyOfScalar(U'東'));
    EXPECT_TRUE(keymap.prepare(text));
    EXPECT_FALSE(keymap.prepare(text));  // nothing new: no upload
    std::set<uint32_t> keys;
    for (char32_t c : std::u32string(U"Grüße東京ρé€A ")) {
        auto key = keymap.keyOfScalar(c);
        ASSERT_TRUE(key) << static_cast<uint32_t>(c);
        keys.insert(*key);
    }
    EXPECT_EQ(keys.size(), 12u);             // distinct characters, distinct keys
    EXPECT_FALSE(keymap.keyOfScalar(0x07));  // a bell types nothing

    const std::string xkb = keymap.text();
    for (const char* expected : {"<K9> = 9;", "key <K9> { [ Shift_L ] };", "modifier_map Mod4", "[ U6771 ]",
                                 "[ U20AC ]", "[ Return ]", "[ KP_Enter ]", "[ F24 ]", "include \"complete\""})
        EXPECT_NE(xkb.find(expected), std::string::npos) << expected;
}

TEST(XkbKeymap, ALongTextOfManyCharactersGoesInPiecesThatFit) {
    std::u32string text;
    for (char32_t c = 0x4E00; c < 0x4E00 + 200; ++c) text += c;
    text += U"abc";
    const auto pieces = XkbKeymap::piecesOf(text);
    ASSERT_EQ(pieces.size(), 3u);
    std::u32string joined;
    XkbKeymap keymap;
    uint32_t highest = 0;
    for (const auto& piece : pieces) {
        joined += piece;
        keymap.prepare(piece);
        for (char32_t c : piece) {
            auto key = keymap.keyOfScalar(c);
            ASSERT_TRUE(key);
            highest = std::max(highest, *key);
        }
    }
    EXPECT_EQ(joined, text);
    EXPECT_LE(highest + 8, 255u);  // XKB key codes stay in the range X clients know
}

TEST(SwayTree, WindowsFrontToBackWithTheirPlacesAndProcesses) {
    const auto tree = nlohmann::json::parse(R"({
      "type": "root", "id": 1, "focus": [3],
      "nodes": [
        {"type": "output", "name": "__i3", "id": 2, "nodes": [
          {"type": "workspace", "name": "__i3_scratch", "id": 9, "nodes": [], "floating_nodes": [
            {"type": "floating_con", "id": 20, "pid": 500, "app_id": "notes", "name": "Scratch",
             "rect": {"x": 0, "y": 0, "width": 10, "height": 10}}]}]},
        {"type": "output", "name": "HEADLESS-1", "id": 3, "focus": [4, 8], "nodes": [
          {"type": "workspace", "name": "1", "id": 4, "visible": true, "focus": [7, 6, 5],
           "nodes": [
             {"type": "con", "id": 5, "pid": 100, "app_id": "foot", "name": "left",
              "rect": {"x": 0, "y": 0, "width": 640, "height": 720},
              "window_rect": {"x": 0, "y": 0, "width": 640, "height": 720}},
             {"type": "con", "id": 6, "pid": 200, "app_id": null, "name": "an X11 app", "focused": true,
              "window_properties": {"class": "XTerm"},
              "rect": {"x": 640, "y": 0, "width": 640, "height": 720},
              "window_rect": {"x": 2, "y": 24, "width": 636, "height": 694}}],
           "floating_nodes": [
             {"type": "floating_con", "id": 7, "pid": 300, "app_id": "dialog", "name": "Float",
              "rect": {"x": 100, "y": 100, "width": 200, "height": 100}}]},
          {"type": "workspace", "name": "2", "id": 8, "visible": false, "nodes": [
             {"type": "con", "id": 10, "pid": 400, "app_id": "hidden", "name": "elsewhere",
              "rect": {"x": 0, "y": 0, "width": 1280, "height": 720}}]}]}]})");
    const SwayWindows found = swayWindows(tree);
    std::vector<uint32_t> order;
    for (const auto& w : found.windows) order.push_back(w.id);
    // Floating before tiled, each in focus order; then what is not on screen.
    EXPECT_EQ(order, (std::vector<uint32_t>{7, 6, 5, 10, 20}));
    EXPECT_EQ(found.focusedPid, 200);
    const auto& xterm = found.windows[1];
    EXPECT_EQ(xterm.name, "XTerm");
    EXPECT_EQ(xterm.title, "an X11 app");
    EXPECT_EQ(xterm.bounds, (Rect{640, 0, 640, 720}));
    EXPECT_EQ(xterm.content, (Rect{642, 24, 636, 694}));
    EXPECT_EQ(found.windows[0].layer, WindowLevel::floating);
    EXPECT_TRUE(found.windows[2].onScreen);
    EXPECT_FALSE(found.windows[3].onScreen);
    EXPECT_FALSE(found.windows[4].onScreen);
    EXPECT_EQ(found.windows[3].pid, 400);
}

TEST(OwnLayers, TranslucentLayersComeBackOutOfAPicture) {
    // A picture of every grey and colour mix, a layer over some of it, blended as a compositor
    // does (premultiplied "over", rounded); removing the layer gives the picture back within
    // the rounding the blend lost.
    const PixelRect rect{100, 50, 64, 64};
    std::vector<uint8_t> original(64 * 64 * 4);
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<uint8_t>((i * 37) % 256);
    auto layer = std::make_shared<std::vector<uint8_t>>(32 * 32 * 4);
    for (int i = 0; i < 32 * 32; ++i) {
        const uint8_t alpha = static_cast<uint8_t>(i % (OwnLayers::maxAlpha + 1));
        const uint8_t color[3] = {40, 140, 255};
        for (int c = 0; c < 3; ++c) (*layer)[i * 4 + c] = static_cast<uint8_t>((color[c] * alpha + 127) / 255);
        (*layer)[i * 4 + 3] = alpha;
    }
    OwnLayers layers;
    layers.set(1, {{90, 70, 32, 32}, layer});  // half outside the picture, to the left
    std::vector<uint8_t> seen = original;
    for (int y = 0; y < 32; ++y) {
        for (int x = 10; x < 32; ++x) {
            const uint8_t* l = &(*layer)[(y * 32 + x) * 4];
            uint8_t* p = &seen[((y + 20) * 64 + (x - 10)) * 4];
            for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>(l[c] + (p[c] * (255 - l[3]) + 127) / 255);
        }
    }
    layers.removeFrom(seen.data(), 64 * 4, rect);
    int worst = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (i % 4 == 3) continue;
        worst = std::max(worst, std::abs(int(seen[i]) - int(original[i])));
    }
    EXPECT_LE(worst, 2);
    layers.remove(1);
    EXPECT_TRUE(layers.list().empty());
}

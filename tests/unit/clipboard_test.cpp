// Clipboard snapshots, previews and limits, the monitor, and the clipboard routes, over a
// clipboard held in memory.
#include "clipboard/Clipboard.h"

#include "clipboard/ClipboardMonitor.h"
#include "image/PNG.h"
#include "support/FakePasteboard.h"
#include "support/FakePlatform.h"
#include "support/ManualTaskQueue.h"
#include "support/Process.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tovo;
using namespace tovo::test;

TEST(Clipboard, PreviewsAndLimits) {
    EXPECT_EQ(Clipboard::preview("  a\n\n  b  "), "a\u23CE b");
    EXPECT_EQ(Clipboard::preview("x\r\ny\u2028z"), "x\u23CE y\u23CE z");
    EXPECT_EQ(Clipboard::preview(std::string(200, 'w')), std::string(159, 'w') + "\u2026");
    std::string text = std::string(1048575, 'a') + "\u00e9";  // the é straddles the limit
    auto [cut, truncated] = Clipboard::clipText(text, 1048576);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(cut.size(), 1048575u);
    EXPECT_FALSE(Clipboard::clipText("short", 1048576).second);
}

TEST(Clipboard, SnapshotsByKind) {
    FakePasteboard board;
    ClipboardMonitor monitor(board, std::make_shared<ManualTaskQueue>(), [] { return 1700000000.0; });
    auto read = [&](bool text = true) { return Clipboard::read(board, text, &monitor, 0); };

    board.set({{"UTF8_STRING", "x-kde-passwordManagerHint"}, true, {}, std::string("hunter2"), false});
    ClipboardItem concealed = read();
    EXPECT_EQ(concealed.kind, "concealed");
    EXPECT_FALSE(concealed.text);
    EXPECT_EQ(concealed.preview, "");

    TempDir dir;
    std::vector<std::string> files;
    for (int i = 0; i < 25; ++i) {
        files.push_back(dir.path() + "/f" + std::to_string(i));
        std::ofstream(files.back()) << std::string(static_cast<size_t>(i), 'x');
    }
    board.set({{"text/uri-list"}, false, files, std::nullopt, false});
    ClipboardItem listed = read();
    EXPECT_EQ(listed.kind, "files");
    EXPECT_EQ(listed.files.size(), 20u);
    EXPECT_EQ(listed.moreFiles, 5);
    EXPECT_EQ(listed.size, 300);  // 0 + 1 + … + 24, all 25 files
    files.resize(20);
    board.set({{"text/uri-list"}, false, files, std::nullopt, false});
    EXPECT_FALSE(read().moreFiles);

    // One PNG conversion per change count; a write through the service names its source.
    uint8_t pixels[4 * 6] = {};
    board.set({{"image/bmp"}, false, {}, std::nullopt, true}, PNG::encodeRGBA(pixels, 3, 2));
    ClipboardItem image = read();
    EXPECT_EQ(image.kind, "image");
    EXPECT_EQ(image.width, 3);
    read();
    EXPECT_EQ(board.pngReads, 1);
    int64_t written = board.writeText("from the phone");
    monitor.noteOwnWrite(written, "phone");
    ClipboardItem own = read(false);
    EXPECT_EQ(own.source, "phone");
    EXPECT_EQ(own.preview, "from the phone");
    EXPECT_FALSE(own.text);
    EXPECT_EQ(own.json().count("truncated"), 0u);
}

TEST(ClipboardRoutes, BodiesAreCheckedBeforeAnythingIsWritten) {
    FakeService fake;
    const std::pair<std::string, std::pair<int, std::string>> cases[] = {
        {"[]", {400, "body must be a JSON object"}},
        {R"({"text":""})", {400, "text is empty"}},
        {R"({"text":"a","source":"cat"})", {400, "source must be \"phone\" or \"agent\""}},
        {R"({"files":[]})", {400, "body needs text (a string) or files (paths)"}},
        {R"({"files":["relative"]})", {400, "relative is not an existing file or folder"}},
        {"{\"text\":\"" + std::string(1048577, 'a') + "\"}", {413, "text is too long (max 1048576 bytes)"}},
    };
    int64_t before = fake.pasteboard->changeCount();
    for (const auto& [body, answer] : cases)
        EXPECT_EQ(fake.call("POST", "/clipboard", body), answer) << body.substr(0, 40);
    EXPECT_EQ(fake.pasteboard->changeCount(), before);
    EXPECT_EQ(fake.call("GET", "/clipboard/image"), std::make_pair(404, std::string("the clipboard holds no image")));
    EXPECT_EQ(fake.call("GET", "/clipboard/file"), std::make_pair(400, std::string("index is required")));
    EXPECT_EQ(fake.call("POST", "/clipboard", R"({"text":"hello","source":"agent"})").first, 200);
    EXPECT_EQ(fake.pasteboard->current.text, "hello");
    fake.session->loggedIn = false;
    EXPECT_EQ(fake.call("GET", "/clipboard").first, 503);
}

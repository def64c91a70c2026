// The clipboard both ways against real X clients: xclip and a GTK app.
#include "support/DesktopService.h"
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace tovo::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Service : DesktopService {
    json clipboard(const std::string& query = "") { return getJson("/clipboard" + query); }
};

// Copies `file` with xclip as `type`; xclip serves it until another owner takes over.
std::unique_ptr<Process> xclipCopy(const std::string& file, const std::string& type = "") {
    std::vector<std::string> argv = {"/usr/bin/xclip", "-quiet", "-selection", "clipboard", "-i", file};
    if (!type.empty()) argv.insert(argv.begin() + 4, {"-t", type});
    auto process = std::make_unique<Process>(argv);
    std::this_thread::sleep_for(200ms);
    return process;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(ClipboardX11, TextBothWaysAndTheEventsFeed) {
    Service service;
    SocketClient feed(service.socket);
    feed.send("GET /events HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(feed.readUntil("\"type\":\"state\"", 5s));

    std::ofstream(service.path("copied.txt")) << "copied by xclip \u2713";
    auto xclip = xclipCopy(service.path("copied.txt"));
    auto line = feed.readUntil("\"type\":\"clipboard\"", 3s);
    ASSERT_TRUE(line) << service.process->output();
    EXPECT_NE(line->find("\"preview\":\"copied by xclip \u2713\""), std::string::npos) << *line;
    json item = service.clipboard();
    EXPECT_EQ(item["kind"], "text");
    EXPECT_EQ(item["text"], "copied by xclip \u2713");

    auto posted = service.post("/clipboard", R"({"text":"from the agent","source":"agent"})");
    EXPECT_EQ(json::parse(posted.body)["source"], "agent");
    EXPECT_EQ(runCommand({"/usr/bin/xclip", "-o", "-selection", "clipboard"}).output, "from the agent");

    // 2 MB of text arrives through INCR and is cut at 1 MiB on a character boundary.
    std::string big;
    while (big.size() < 2000000) big += "\u00e9t\u00e9 ";
    std::ofstream(service.path("big.txt")) << big;
    auto bigCopy = xclipCopy(service.path("big.txt"));
    json cut = service.clipboard();
    EXPECT_EQ(cut["truncated"], true);
    EXPECT_EQ(cut["size"], big.size());
    std::string text = cut["text"];
    EXPECT_LE(text.size(), 1048576u);
    EXPECT_GE(text.size(), 1048574u);
    EXPECT_EQ(big.compare(0, text.size(), text), 0);
    EXPECT_EQ(service.clipboard("?text=0").count("text"), 0u);
}

TEST(ClipboardX11, ImagesFilesAndConcealedCopies) {
    Service service;
    // A PNG copied by xclip comes back byte for byte; a large one whole, through INCR.
    const std::string small = service.path("small.png"), large = service.path("large.png");
    ASSERT_EQ(runCommand({"/usr/bin/convert", "-size", "300x200", "gradient:red-blue", small}).code, 0);
    ASSERT_EQ(runCommand({"/usr/bin/convert", "-size", "3000x2400", "xc:", "+noise", "Random", large}).code, 0);
    ASSERT_GT(readFile(large).size(), 20000000u);
    for (const auto& file : {small, large}) {
        auto copy = xclipCopy(file, "image/png");
        json item = service.clipboard();
        EXPECT_EQ(item["kind"], "image") << item;
        auto image = service.get("/clipboard/image");
        EXPECT_EQ(image.status, 200);
        EXPECT_EQ(image.headers["content-type"], "image/png");
        EXPECT_TRUE(image.body == readFile(file)) << file << ": " << image.body.size() << " bytes";
    }

    // Files for GTK apps (text/uri-list and the GNOME list), one downloadable by index.
    const std::string name = service.path("r\u00e9sum\u00e9 1.txt");
    std::ofstream(name) << "twelve bytes";
    json posted = json::parse(service.post("/clipboard", json{{"files", {name, service.dir.path()}}}.dump()).body);
    EXPECT_EQ(posted["kind"], "files");
    auto uris = runCommand({"/usr/bin/python3", sourceDir + "/tests/support/clipboard_probe.py", "uris"});
    EXPECT_EQ(json::parse(uris.output, nullptr, false)[0], "file://" + service.dir.path() + "/r%C3%A9sum%C3%A9%201.txt")
        << uris.output;
    auto gnome = runCommand({"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "x-special/gnome-copied-files"});
    EXPECT_EQ(gnome.output.rfind("copy\nfile://", 0), 0u) << gnome.output;
    auto download = service.get("/clipboard/file?index=0");
    EXPECT_EQ(download.body, "twelve bytes");
    EXPECT_EQ(download.headers["content-disposition"], "attachment; filename*=UTF-8''r\u00e9sum\u00e9%201%2Etxt");
    EXPECT_EQ(service.get("/clipboard/file?index=1").status, 400);

    // A password manager's copy: concealed, no text.
    Process manager({"/usr/bin/python3", sourceDir + "/tests/support/clipboard_probe.py", "concealed"});
    ASSERT_TRUE(manager.waitForOutput("ready", 10s)) << manager.output();
    json concealed = service.clipboard();
    EXPECT_EQ(concealed["kind"], "concealed");
    EXPECT_EQ(concealed.count("text"), 0u);
}

// The selection as ICCCM has it: STRING is Latin-1 both ways, TIMESTAMP and MULTIPLE are
// answered, and an image offered only in another type comes as PNG.
TEST(ClipboardX11, LatinOneTimestampMultipleAndOtherImageTypes) {
    Service service;
    ASSERT_EQ(service.post("/clipboard", json{{"text", "caf\u00e9 \u20ac"}}.dump()).status, 200);
    EXPECT_EQ(runCommand({"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "STRING"}).output, "caf\xe9 ?");
    EXPECT_EQ(runCommand({"/usr/bin/xclip", "-o", "-selection", "clipboard", "-t", "UTF8_STRING"}).output,
              "caf\u00e9 \u20ac");
    auto stamp = runCommand({selectionProbe, "TIMESTAMP"}).output;
    EXPECT_EQ(stamp.rfind("TIMESTAMP INTEGER ", 0), 0u) << stamp;
    EXPECT_NE(stamp, "TIMESTAMP INTEGER 0\n");
    EXPECT_EQ(runCommand({selectionProbe, "MULTIPLE", "UTF8_STRING", "image/png", "STRING"}).output,
              "UTF8_STRING UTF8_STRING 9\nimage/png refused\nSTRING STRING 6\n");

    std::ofstream(service.path("latin1.txt"), std::ios::binary) << "na\xefve";
    auto latin = xclipCopy(service.path("latin1.txt"), "STRING");
    EXPECT_EQ(service.clipboard()["text"], "na\u00efve");

    const std::string png = service.path("picture.png"), bmp = service.path("picture.bmp");
    ASSERT_EQ(runCommand({"/usr/bin/convert", "-size", "64x48", "xc:#3366cc", png}).code, 0);
    ASSERT_EQ(runCommand({"/usr/bin/convert", png, bmp}).code, 0);
    auto copy = xclipCopy(bmp, "image/bmp");
    EXPECT_EQ(service.clipboard()["kind"], "image");
    auto image = service.get("/clipboard/image");
    ASSERT_EQ(image.status, 200);
    EXPECT_EQ(image.headers["content-type"], "image/png");
    std::ofstream(service.path("served.png"), std::ios::binary) << image.body;
    EXPECT_TRUE(near(pixelAt(service.path("served.png"), 10, 10), 0x33, 0x66, 0xcc, 2));
}

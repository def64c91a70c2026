// Live video from the real service on a private desktop: the sections are split by the test's
// own reader and checked with ffprobe/ffmpeg, xterm and a window of a known colour.
#include "support/DesktopService.h"
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>

using namespace tovo::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Part {
    std::map<std::string, std::string> headers;
    std::string body;
    Clock::time_point arrived;
    std::string kind() const { return headers.at("X-Frame-Kind"); }
    uint64_t seq() const { return std::stoull(headers.at("X-Frame-Seq")); }
};

// The header lines of one section (after its boundary line) as name → value.
std::map<std::string, std::string> partHeaders(const std::string& lines) {
    std::map<std::string, std::string> headers;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto colon = line.find(": ");
        if (colon != std::string::npos) headers[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return headers;
}

// Reads a multipart stream response one section at a time.
class StreamReader {
public:
    StreamReader(const std::string& socket, const std::string& target, const std::string& accept) : client(socket) {
        std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n";
        if (!accept.empty()) request += "Accept: " + accept + "\r\n";
        client.send(request + "\r\n");
        head = parseResponse(client.readUntil("\r\n\r\n", 15s).value_or("") + "\r\n\r\n");
        boundary =
            "--" + head.headers["content-type"].substr(head.headers["content-type"].find("boundary=") + 9) + "\r\n";
    }

    std::optional<Part> next(std::chrono::milliseconds limit = 10s) {
        auto lines = client.readUntil("\r\n\r\n", limit);
        if (!lines || lines->rfind(boundary, 0) != 0) return std::nullopt;
        Part part;
        part.headers = partHeaders(lines->substr(boundary.size()));
        auto body = client.readExactly(std::stoul(part.headers["Content-Length"]) + 2, limit);
        if (!body || body->substr(body->size() - 2) != "\r\n") return std::nullopt;
        part.body = body->substr(0, body->size() - 2);
        part.arrived = Clock::now();
        return part;
    }

    SocketClient client;
    HTTPResponse head;
    std::string boundary;
};

struct Service : DesktopService {
    explicit Service(Process::Options options = {}) : DesktopService(std::move(options)) {
        // The encoders are measured at start; streams opened meanwhile wait for that, which
        // would eat into the tests' timings on a busy machine.
        EXPECT_TRUE(process->waitForOutput("video: hevc encode", 60s)) << process->output();
    }
    // Writes the sections' payloads as one elementary stream.
    std::string elementaryStream(const std::vector<Part>& parts, const std::string& file) {
        std::ofstream out(path(file), std::ios::binary);
        for (const auto& part : parts) out << part.body;
        return path(file);
    }
    int ack(const std::string& id, uint64_t seq, bool keyframe) {
        std::string body =
            "{\"stream\":\"" + id + "\",\"seq\":" + std::to_string(seq) + (keyframe ? ",\"keyframe\":true}" : "}");
        return httpExchange(socket,
                            "POST /stream/ack HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                            "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body)
            .status;
    }
};

void expectDecodable(Service& service, const std::string& codec, const std::string& query, const std::string& accept,
                     const std::string& contentType) {
    StreamReader reader(service.socket, "/stream?" + query, accept);
    EXPECT_EQ(reader.head.headers["content-type"], contentType);
    EXPECT_EQ(reader.head.headers["x-stream-codec"], codec);
    std::vector<Part> all;
    for (auto end = Clock::now() + 6s; Clock::now() < end;) {
        auto part = reader.next(2s);
        if (!part) break;
        all.push_back(std::move(*part));
    }
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].seq(), i + 1);
    // With status=1 the display's state comes first, numbered with the pictures.
    std::vector<Part> parts;
    for (auto& part : all) {
        if (part.kind() != "status") {
            parts.push_back(std::move(part));
            continue;
        }
        EXPECT_EQ(part.seq(), 1u);
        auto state = nlohmann::json::parse(part.body);
        EXPECT_EQ(state["phase"], "ready");
        EXPECT_TRUE(state.contains("console"));
    }
    EXPECT_EQ(all.size() - parts.size(), query.find("status=1") != std::string::npos ? 1u : 0u);
    ASSERT_GE(parts.size(), 5u) << service.process->output();
    EXPECT_EQ(parts[0].kind(), "key");
    for (size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].headers["Content-Type"], "video/" + codec);
        EXPECT_EQ(parts[i].headers["X-Stream-Codec"], codec);
        EXPECT_EQ(parts[i].headers["X-Frame-Width"], "1280");
        EXPECT_EQ(parts[i].headers["X-Frame-Height"], "720");
    }
    auto file = service.elementaryStream(parts, "stream." + codec);
    auto probe = runCommand({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                             "stream=codec_name,width,height,nb_read_frames", "-of", "compact=p=0:nk=1", file});
    EXPECT_EQ(probe.output, codec + "|1280|720|" + std::to_string(parts.size()) + "\n");
    auto decode = runCommand({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-f", "null", "-"});
    EXPECT_EQ(decode.code, 0);
    EXPECT_EQ(decode.output, "");
}

}  // namespace

TEST(Stream, H264InTheCurrentDialectAndHevcInTheLegacyOneDecodeCleanly) {
    Service service;
    // Something that moves, so that the streams carry more than key frames.
    Process xterm({"/usr/bin/xterm", "-geometry", "100x30+0+0", "-e", "sh", "-c", "while :; do ls -l /usr/bin; done"});
    expectDecodable(service, "h264", "fps=30&stream=testclient01&ack=1&status=1", "application/vnd.tovo-control.stream",
                    "application/vnd.tovo-control.stream; boundary=frame");
    expectDecodable(service, "hevc", "fps=30&codecs=hevc", "", "application/x-kiln-mjpeg; boundary=kilnframe");
}

TEST(Stream, AStillScreenGetsRefinesAndKeepalivesAndPicturesFollowTheScreen) {
    Service service;
    Process red({colorWindow, "200", "200", "400", "300", "ff0000"});
    ASSERT_TRUE(red.waitForOutput("mapped", 10s));
    // The automation banner breathes on screen; its repaints change no picture.
    ASSERT_EQ(
        httpExchange(service.socket, "POST /automation HTTP/1.1\r\nContent-Length: 15\r\n\r\n{\"active\":true}").status,
        200);
    std::this_thread::sleep_for(500ms);
    StreamReader reader(service.socket, "/stream?fps=30&stream=stilltest01&ack=1",
                        "application/vnd.tovo-control.stream");
    ASSERT_EQ(reader.head.status, 200) << service.process->output();
    EXPECT_EQ(reader.head.headers["x-stream-id"], "stilltest01");

    // An unchanged screen: the key frame, two sharper copies, then keep-alives only.
    std::vector<Part> parts;
    for (int i = 0; i < 4; ++i) {
        auto part = reader.next(8s);
        ASSERT_TRUE(part) << service.process->output();
        parts.push_back(std::move(*part));
    }
    std::vector<std::string> kinds;
    for (const auto& part : parts) kinds.push_back(part.kind());
    EXPECT_EQ(kinds, (std::vector<std::string>{"key", "refine", "refine", "keepalive"}));
    auto seconds = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    };
    // Generous bounds: other tests load the machine at the same time.
    EXPECT_NEAR(seconds(parts[0].arrived, parts[1].arrived), 0.35, 0.15);
    EXPECT_NEAR(seconds(parts[1].arrived, parts[2].arrived), 0.35, 0.15);
    EXPECT_NEAR(seconds(parts[2].arrived, parts[3].arrived), 5.2, 0.6);

    // An asked-for key frame comes next.
    EXPECT_EQ(service.ack("stilltest01", parts.back().seq(), true), 200);
    auto key = reader.next(2s);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->kind(), "key");
    parts.push_back(std::move(*key));

    // A green window over the red one: the live pictures that follow show it (1920 → 1280
    // wide). Reading goes on until the screen settled: a live picture and its two refines.
    Process green({colorWindow, "300", "300", "200", "150", "00ff00"});
    ASSERT_TRUE(green.waitForOutput("mapped", 10s));
    int refinesSinceLive = -1;  // no live picture yet
    while (refinesSinceLive < 2) {
        auto part = reader.next(3s);
        ASSERT_TRUE(part);
        if (part->kind() == "delta") refinesSinceLive = 0;
        if (part->kind() == "refine" && refinesSinceLive >= 0) ++refinesSinceLive;
        parts.push_back(std::move(*part));
    }
    auto file = service.elementaryStream(parts, "still.h264");
    // ffmpeg writes every picture over the same file, which ends as the last one.
    auto last = service.path("last.png");
    runCommand({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", file, "-update", "1", last});
    EXPECT_TRUE(near(pixelAt(last, 400 * 2 / 3, 375 * 2 / 3), 0, 255, 0, 40));
    EXPECT_TRUE(near(pixelAt(last, 250 * 2 / 3, 250 * 2 / 3), 255, 0, 0, 40));
}

namespace {

// The last picture of `parts` as a PNG in the service's directory (decoded by ffmpeg).
std::string lastPicture(Service& service, const std::vector<Part>& parts, const std::string& name) {
    std::string video = service.elementaryStream(parts, name + ".h264"), png = service.path(name + ".png");
    runCommand({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", video, "-update", "1", png});
    return png;
}

// How far the 5 × 5 pixels around (x, y) of `png` (a picture of the 1920 × 1080 desktop,
// perhaps scaled) stray from green at most.
int strayFromGreen(const std::string& png, int x, int y) {
    auto size = runCommand({"/usr/bin/identify", "-format", "%w", png}).output;
    double scale = std::atof(size.c_str()) / 1920;
    int worst = 0;
    for (int dy = -2; dy <= 2; ++dy) {
        for (int dx = -2; dx <= 2; ++dx) {
            auto rgb = pixelAt(png, static_cast<int>((x + dx * 2) * scale), static_cast<int>((y + dy * 2) * scale));
            worst = std::max({worst, std::abs(rgb[0]), std::abs(rgb[1] - 200), std::abs(rgb[2])});
        }
    }
    return worst;
}

}  // namespace

TEST(Stream, AClientDrawnCursorComesAsPartsAndStaysOutOfThePictures) {
    Process::Options fullWidth;
    fullWidth.setEnv["TOVO_VIDEO_MAX_WIDTH"] = "1920";
    Service service(fullWidth);
    Process green({colorWindow, "600", "300", "400", "300", "00c800"});
    ASSERT_TRUE(green.waitForOutput("mapped", 10s));
    const std::pair<int, int> spots[] = {{700, 400}, {900, 500}, {760, 420}};
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "650", "350"}).code, 0);

    StreamReader reader(service.socket, "/stream?fps=10&cursor=client", "application/vnd.tovo-control.stream");
    std::vector<Part> pictures, cursors;
    auto take = [&](std::chrono::milliseconds span) {
        for (auto end = Clock::now() + span; Clock::now() < end;) {
            auto part = reader.next(2s);
            if (!part) return;
            (part->kind() == "cursor" ? cursors : pictures).push_back(std::move(*part));
        }
    };
    take(500ms);
    for (auto [x, y] : spots) {
        size_t before = cursors.size();
        ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", std::to_string(x), std::to_string(y)}).code, 0);
        auto moved = Clock::now();
        take(400ms);
        // A part at the new place within 100 ms.
        bool followed = false;
        for (size_t i = before; i < cursors.size(); ++i) {
            auto body = nlohmann::json::parse(cursors[i].body);
            if (std::abs(body["x"].get<double>() * 1920 - x) < 2 && std::abs(body["y"].get<double>() * 1080 - y) < 2) {
                EXPECT_LT(cursors[i].arrived - moved, 100ms);
                followed = true;
                break;
            }
        }
        EXPECT_TRUE(followed) << x << "," << y;
    }
    ASSERT_FALSE(cursors.empty());
    // The shape's image once, then only its id; at most 60 parts a second.
    auto first = nlohmann::json::parse(cursors[0].body);
    EXPECT_EQ(cursors[0].headers["Content-Type"], "application/vnd.tovo-control.cursor+json");
    ASSERT_TRUE(first.contains("shape"));
    EXPECT_EQ(first["shape"]["id"], first["shapeId"]);
    for (size_t i = 1; i < cursors.size(); ++i) {
        auto body = nlohmann::json::parse(cursors[i].body);
        if (body["shapeId"] == first["shapeId"]) EXPECT_FALSE(body.contains("shape")) << cursors[i].body;
        EXPECT_GE(std::stod(cursors[i].headers["X-Frame-Time"]) - std::stod(cursors[i - 1].headers["X-Frame-Time"]),
                  16);
    }
    // The pointer is not in the pictures; without cursor=client it is, and at full size (where
    // only changed rows are read) it moves without leaving a trace where it was.
    EXPECT_LT(strayFromGreen(lastPicture(service, pictures, "client"), 760, 420), 60);
    StreamReader drawn(service.socket, "/stream?fps=10&maxWidth=1920", "application/vnd.tovo-control.stream");
    std::vector<Part> withPointer;
    auto read = [&](std::chrono::milliseconds span) {
        for (auto end = Clock::now() + span; Clock::now() < end;) {
            auto part = drawn.next(2s);
            if (!part) break;
            withPointer.push_back(std::move(*part));
        }
    };
    read(1s);
    EXPECT_GT(strayFromGreen(lastPicture(service, withPointer, "drawn"), 760, 420), 100);
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "900", "500"}).code, 0);
    read(1s);
    auto moved = lastPicture(service, withPointer, "moved");
    EXPECT_GT(strayFromGreen(moved, 900, 500), 100);
    EXPECT_LT(strayFromGreen(moved, 760, 420), 60);
}

TEST(Stream, KeepsAppsOutAsStillsDo) {
    Service service;
    ASSERT_EQ(runCommand({"/usr/bin/xdotool", "mousemove", "1900", "1000"}).code, 0);
    Process xterm({"/usr/bin/xterm", "-bg", "blue", "-geometry", "80x24+100+100", "-e", "sh", "-c", "sleep 600"});
    Process green({colorWindow, "300", "200", "500", "400", "00c800"});
    ASSERT_TRUE(green.waitForOutput("mapped", 10s));
    ASSERT_TRUE(eventually([&] { return service.getJson("/windows")["apps"].size() >= 2; }, 10s));

    StreamReader reader(service.socket, "/stream?fps=10&visible=xterm", "application/vnd.tovo-control.stream");
    ASSERT_EQ(reader.head.status, 200) << service.process->output();
    std::vector<Part> parts;
    for (auto end = Clock::now() + 1500ms; Clock::now() < end;) {
        auto part = reader.next(2s);
        if (!part) break;
        parts.push_back(std::move(*part));
    }
    ASSERT_FALSE(parts.empty());
    auto png = lastPicture(service, parts, "visible");
    double scale = std::atof(runCommand({"/usr/bin/identify", "-format", "%w", png}).output.c_str()) / 1920;
    auto at = [&](int x, int y) { return pixelAt(png, static_cast<int>(x * scale), static_cast<int>(y * scale)); };
    EXPECT_TRUE(near(at(350, 300), 0, 0, 255, 50));  // the xterm under the green window
    EXPECT_TRUE(near(at(700, 500), 0, 0, 0, 40));    // the green window's own place
}

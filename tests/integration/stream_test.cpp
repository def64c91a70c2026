// Live video from the real service on a private desktop: the sections are split by the test's
// own reader and checked with ffprobe/ffmpeg, xterm and a window of a known colour.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <regex>
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
    StreamReader(const std::string& socket, const std::string& target, const std::string& accept)
        : client(socket) {
        std::string request = "GET " + target + " HTTP/1.1\r\nHost: x\r\n";
        if (!accept.empty()) request += "Accept: " + accept + "\r\n";
        client.send(request + "\r\n");
        head = parseResponse(client.readUntil("\r\n\r\n", 15s).value_or("") + "\r\n\r\n");
        boundary = "--" + head.headers["content-type"].substr(head.headers["content-type"].find("boundary=") + 9) + "\r\n";
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

struct Service : ServiceProcess {
    explicit Service(Process::Options options = {}) : ServiceProcess(binary, VirtualDesktop::shared().display(), options) {
        EXPECT_TRUE(ready()) << process->output();
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
        std::string body = "{\"stream\":\"" + id + "\",\"seq\":" + std::to_string(seq) +
                           (keyframe ? ",\"keyframe\":true}" : "}");
        return httpExchange(socket, "POST /stream/ack HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body).status;
    }
};

// Splits a stream response body (as curl saved it) into its whole sections.
std::vector<Part> splitParts(const std::string& bytes, const std::string& boundary) {
    std::vector<Part> parts;
    size_t at = 0;
    while ((at = bytes.find(boundary, at)) != std::string::npos) {
        size_t end = bytes.find("\r\n\r\n", at);
        if (end == std::string::npos) break;
        Part part;
        part.headers = partHeaders(bytes.substr(at + boundary.size(), end - at - boundary.size()));
        size_t length = std::stoul(part.headers["Content-Length"]);
        if (end + 4 + length + 2 > bytes.size()) break;  // cut off by the end of the run
        part.body = bytes.substr(end + 4, length);
        EXPECT_EQ(bytes.substr(end + 4 + length, 2), "\r\n");
        parts.push_back(std::move(part));
        at = end + 4 + length + 2;
    }
    return parts;
}

void expectDecodable(Service& service, const std::string& codec, const std::string& query, const std::string& accept,
                     const std::string& contentType) {
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "-m", "6", "-D", service.path("head"), "-o",
                                     service.path("body"), "--unix-socket", service.socket, "http://x/stream?" + query};
    if (!accept.empty()) argv.insert(argv.end(), {"-H", "Accept: " + accept});
    runCommand(argv);  // curl ends the stream at its time limit (exit 28)
    std::ifstream headFile(service.path("head")), bodyFile(service.path("body"), std::ios::binary);
    std::string head((std::istreambuf_iterator<char>(headFile)), {}), body((std::istreambuf_iterator<char>(bodyFile)), {});
    EXPECT_NE(head.find("Content-Type: " + contentType + "\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("X-Stream-Codec: " + codec + "\r\n"), std::string::npos) << head;

    auto all = splitParts(body, "--" + contentType.substr(contentType.find("boundary=") + 9) + "\r\n");
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

// The colour of a pixel of the last picture of an elementary stream, by ffmpeg.
std::array<int, 3> lastPixel(Service& service, const std::string& file, int x, int y, int width, int height) {
    auto raw = service.path("last.rgb");
    runCommand({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", file, "-f", "rawvideo", "-pix_fmt", "rgb24", raw});
    std::ifstream in(raw, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t frame = static_cast<size_t>(width) * height * 3;
    if (bytes.size() < frame) return {-1, -1, -1};
    size_t at = bytes.size() - frame + (static_cast<size_t>(y) * width + x) * 3;
    return {static_cast<uint8_t>(bytes[at]), static_cast<uint8_t>(bytes[at + 1]), static_cast<uint8_t>(bytes[at + 2])};
}

TEST(Stream, AStillScreenGetsRefinesAndKeepalivesAndPicturesFollowTheScreen) {
    Service service;
    Process red({colorWindow, "200", "200", "400", "300", "ff0000"});
    ASSERT_TRUE(red.waitForOutput("mapped", 10s));
    std::this_thread::sleep_for(500ms);
    StreamReader reader(service.socket, "/stream?fps=30&stream=stilltest01&ack=1",
                        "application/vnd.tovo-control.stream");
    ASSERT_EQ(reader.head.status, 200) << service.process->output();
    EXPECT_EQ(reader.head.headers["x-stream-id"], "stilltest01");

    // Read up to the first keep-alive: the screen is still by then. (A late repaint may add
    // a live picture or two at the start.)
    std::vector<Part> parts;
    while (parts.empty() || parts.back().kind() != "keepalive") {
        auto part = reader.next(8s);
        ASSERT_TRUE(part) << service.process->output();
        parts.push_back(std::move(*part));
    }
    ASSERT_GE(parts.size(), 4u);
    EXPECT_EQ(parts[0].kind(), "key");
    auto seconds = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    const Part& live = parts[parts.size() - 4];
    const Part& refine1 = parts[parts.size() - 3];
    const Part& refine2 = parts[parts.size() - 2];
    EXPECT_TRUE(live.kind() == "key" || live.kind() == "delta") << live.kind();
    EXPECT_EQ(refine1.kind(), "refine");
    EXPECT_EQ(refine2.kind(), "refine");
    // Generous bounds: other tests load the machine at the same time.
    EXPECT_NEAR(seconds(live.arrived, refine1.arrived), 0.35, 0.15);
    EXPECT_NEAR(seconds(refine1.arrived, refine2.arrived), 0.35, 0.15);
    EXPECT_NEAR(seconds(refine2.arrived, parts.back().arrived), 5.2, 0.6);

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
    auto inGreen = lastPixel(service, file, 400 * 2 / 3, 375 * 2 / 3, 1280, 720);
    auto inRed = lastPixel(service, file, 250 * 2 / 3, 250 * 2 / 3, 1280, 720);
    EXPECT_TRUE(inGreen[0] < 40 && inGreen[1] > 200 && inGreen[2] < 40) << inGreen[0] << "," << inGreen[1] << "," << inGreen[2];
    EXPECT_TRUE(inRed[0] > 200 && inRed[1] < 40 && inRed[2] < 40) << inRed[0] << "," << inRed[1] << "," << inRed[2];
}

TEST(Stream, DelayedAcksLowerTheBitRateAndPromptOnesLetItClimbBack) {
    Service service;
    Process xterm({"/usr/bin/xterm", "-geometry", "160x50+0+0", "-e", "sh", "-c", "while :; do ls -lR /usr/share; done"});
    std::this_thread::sleep_for(500ms);
    StreamReader reader(service.socket, "/stream?fps=30&stream=flowtest001&ack=1&maxKbps=600",
                        "application/vnd.tovo-control.stream");
    ASSERT_EQ(reader.head.status, 200) << service.process->output();

    // Acks go out from their own thread, `delay` after each section came.
    std::mutex lock;  // guards queue, delay and done
    std::condition_variable wake;
    std::deque<std::pair<uint64_t, Clock::time_point>> queue;
    auto delay = 0ms;
    bool done = false;
    std::thread acker([&] {
        std::unique_lock<std::mutex> guard(lock);
        while (!done) {
            if (queue.empty()) {
                wake.wait(guard);
                continue;
            }
            auto due = queue.front().second + delay;
            if (Clock::now() < due) {
                wake.wait_until(guard, due);
                continue;
            }
            uint64_t seq = queue.front().first;
            queue.pop_front();
            guard.unlock();
            service.ack("flowtest001", seq, false);
            guard.lock();
        }
    });
    auto readFor = [&](std::chrono::milliseconds span) {
        auto end = Clock::now() + span;
        while (Clock::now() < end) {
            auto part = reader.next(2s);
            if (!part) return false;
            std::lock_guard<std::mutex> guard(lock);
            queue.emplace_back(part->seq(), part->arrived);
            wake.notify_all();
        }
        return true;
    };
    auto setDelay = [&](std::chrono::milliseconds value) {
        std::lock_guard<std::mutex> guard(lock);
        delay = value;
    };

    EXPECT_TRUE(readFor(3s));
    setDelay(80ms);
    EXPECT_TRUE(readFor(1800ms));
    setDelay(0ms);
    EXPECT_TRUE(readFor(2500ms));
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
        wake.notify_all();
    }
    acker.join();

    // A cut while the acks were late, then a rise after they were prompt again.
    auto log = service.process->output();
    std::regex change("flowtest001: bitrate (\\d+) → (\\d+) kbps");
    bool cut = false, rose = false;
    for (std::sregex_iterator it(log.begin(), log.end(), change), end; it != end; ++it) {
        int from = std::stoi((*it)[1]), to = std::stoi((*it)[2]);
        cut = cut || to < from;
        rose = rose || (cut && to > from);
    }
    EXPECT_TRUE(cut && rose) << log;
}

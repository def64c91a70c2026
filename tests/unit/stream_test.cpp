// The stream request rules, the section bytes, the ack endpoint, and the stream loop against a
// picture source and an encoder the test controls.
#include "http/HTTPError.h"
#include "support/FakeEncoderSession.h"
#include "support/FakeTransport.h"
#include "support/HandlerCall.h"
#include "support/LogCapture.h"
#include "video/StreamEndpoints.h"
#include "video/StreamFlow.h"
#include "video/StreamRequest.h"
#include "video/VideoStreamLoop.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <regex>
#include <thread>

namespace tovo {
namespace {

using test::FakeTransport;

HTTPRequest query(std::map<std::string, std::string> values) {
    HTTPRequest request;
    request.method = "GET";
    request.path = "/stream";
    request.query = std::move(values);
    return request;
}

std::string optionsError(std::map<std::string, std::string> values) {
    try {
        StreamRequestOptions::parse(query(std::move(values)));
    } catch (const HTTPError& e) {
        return std::to_string(e.status) + " " + e.message;
    }
    return "accepted";
}

TEST(StreamRequestTest, OptionsAndTheirMessages) {
    auto options = StreamRequestOptions::parse(
        query({{"codecs", "HEVC, h264,vp9,hevc"}, {"stream", ""}, {"ack", "1"}, {"cursor", "client"}, {"maxKbps", "100"}}));
    EXPECT_EQ(options.codecs, (std::vector<std::string>{"hevc", "h264"}));
    EXPECT_FALSE(options.streamID);
    EXPECT_TRUE(options.ack);
    EXPECT_TRUE(options.cursorClient);
    EXPECT_EQ(options.maxKbps, 100);
    EXPECT_EQ(optionsError({{"stream", "abcde"}}), "400 stream must be 8–64 characters of A-Z a-z 0-9 _ -");
    EXPECT_EQ(optionsError({{"ack", "yes"}}), "400 ack must be 1");
    EXPECT_EQ(optionsError({{"ack", "0"}, {"cursor", "server"}}), "400 cursor must be client");
    EXPECT_EQ(optionsError({{"maxKbps", "99"}}), "400 maxKbps must be an integer 100…100000");
    EXPECT_EQ(optionsError({{"maxKbps", "100001"}}), "400 maxKbps must be an integer 100…100000");
    EXPECT_EQ(optionsError({{"maxKbps", "1e3"}}), "400 maxKbps must be an integer 100…100000");
    EXPECT_EQ(optionsError({{"stream", "testclient01"}, {"maxKbps", "100000"}}), "accepted");
    EXPECT_TRUE(statusRequested(query({{"status", "true"}})));
    EXPECT_FALSE(statusRequested(query({{"status", "false"}})));
    EXPECT_THROW(statusRequested(query({{"status", "yes"}})), HTTPError);
}

TEST(StreamRequestTest, CodecChoiceFollowsTheClientWithinWhatTheServerAllows) {
    auto all = [](VideoCodec) { return true; };
    auto hevcOnly = StreamCodecs::serverAllowed("hevc");
    EXPECT_EQ(hevcOnly, std::set<VideoCodec>{VideoCodec::hevc});
    EXPECT_EQ(StreamCodecs::choose({"h264"}, hevcOnly, all), VideoCodec::hevc);
    EXPECT_EQ(StreamCodecs::serverAllowed("av1").size(), 2u);
    EXPECT_EQ(StreamCodecs::serverAllowed(nullptr).size(), 2u);
    auto both = StreamCodecs::serverAllowed(" H264 , hevc");
    EXPECT_EQ(StreamCodecs::choose({"hevc", "h264"}, both, all), VideoCodec::hevc);
    EXPECT_EQ(StreamCodecs::choose({}, both, all), VideoCodec::h264);
    EXPECT_EQ(StreamCodecs::choose({"hevc"}, both, [](VideoCodec c) { return c == VideoCodec::h264; }), VideoCodec::h264);
    try {
        StreamCodecs::choose({"h264"}, both, [](VideoCodec) { return false; });
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status, 503);
        EXPECT_EQ(e.message, "this Mac can't encode h264 or hevc video (VideoToolbox)");
    }
}

TEST(StreamRequestTest, StreamWidth) {
    EXPECT_EQ(videoMaxWidth(nullptr), 1600);
    EXPECT_EQ(videoMaxWidth("+100"), 320);
    EXPECT_EQ(videoMaxWidth("wide"), 1600);
    StreamWidthInputs in;
    in.requested = 3840;
    in.pixelWidth = 5120;
    in.pointsWidth = 2560;
    in.pointsHeight = 1440;
    EXPECT_EQ(streamWidth(in), 2560);
    in.pixelWidth = 1440;
    in.pointsWidth = 1440;
    in.pointsHeight = 900;
    EXPECT_EQ(streamWidth(in), 1440);
    in.requested = 1280;
    EXPECT_EQ(streamWidth(in), 1280);
    in.serverMax = 960;
    EXPECT_EQ(streamWidth(in), 960);
    // Above 1080p's area when the encoder prefers it: the first even width whose height
    // makes more than 1920 × 1080 pixels on a 16:10 display.
    StreamWidthInputs big;
    big.requested = 3840;
    big.pixelWidth = 2560;
    big.pointsWidth = 2560;
    big.pointsHeight = 1600;
    EXPECT_EQ(streamWidth(big), 1706);
    big.prefersAbove1080p = true;
    EXPECT_EQ(streamWidth(big), 1824);
}

TEST(StreamWireTest, NegotiatesTheCurrentDialectOnlyWhenAsked) {
    const std::string type = "application/vnd.tovo-control.stream";
    EXPECT_EQ(StreamWire::negotiate("text/plain, Application/VND.tovo-control.Stream ;q=0.9", type), StreamWire::current());
    EXPECT_EQ(StreamWire::negotiate(std::nullopt, type), StreamWire::legacy());
    EXPECT_EQ(StreamWire::negotiate("application/vnd.tovo-control.streams", type), StreamWire::legacy());
}

TEST(StreamPartTest, BytesOfVideoAndStatusParts) {
    EXPECT_EQ(streamPart("video/h264", "abc", std::make_pair(640, 360), 7, 1700000000123.6, "key", std::string("h264"), "frame"),
              "--frame\r\nContent-Type: video/h264\r\nContent-Length: 3\r\nX-Frame-Width: 640\r\nX-Frame-Height: 360\r\n"
              "X-Frame-Seq: 7\r\nX-Frame-Time: 1700000000124\r\nX-Frame-Kind: key\r\nX-Stream-Codec: h264\r\n\r\nabc\r\n");
    ScreenDisplayState state{5, true, ScreenPhase::ready, std::nullopt, 1000, std::nullopt};
    EXPECT_EQ(statusPart(state, ConsoleState{true}, 8, StreamWire::legacy()),
              "--kilnframe\r\nContent-Type: application/x-kiln-status\r\nContent-Length: 80\r\nX-Frame-Seq: 8\r\n"
              "X-Frame-Kind: status\r\n\r\n"
              R"({"console":{"locked":true},"display":5,"main":true,"phase":"ready","since":1000})"
              "\r\n");
}

std::pair<int, std::string> ack(const std::string& body) { return test::post(streamAck, "/stream/ack", body); }

TEST(StreamAckTest, ChecksTheBodyThenFindsTheStream) {
    EXPECT_EQ(ack("[]"), std::make_pair(400, std::string("body must be a JSON object")));
    EXPECT_EQ(ack(R"({"stream":"short","seq":1})"), std::make_pair(400, std::string("stream must be a stream id")));
    for (const char* seq : {"1.5", "true", "-1", "9e15", "\"3\""}) {
        EXPECT_EQ(ack(std::string(R"({"stream":"testclient01","seq":)") + seq + "}"),
                  std::make_pair(400, std::string("seq must be a non-negative integer")))
            << seq;
    }
    EXPECT_EQ(ack(R"({"stream":"testclient01","seq":1,"keyframe":1})"),
              std::make_pair(400, std::string("keyframe must be a boolean")));
    EXPECT_EQ(ack(R"({"stream":"testclient01","seq":1,"keyframe":null})"),
              std::make_pair(404, std::string("no open stream testclient01")));

    double now = 50;
    auto flow = std::make_shared<StreamFlow>("testclient01", "t", StreamFlowController(StreamTuning{}, {}, 0.1),
                                             [&] { return now; }, nullptr);
    StreamFlowRegistry::shared().add(flow);
    flow->withController([](StreamFlowController& c) { c.pictureSent(3, 50, 100); });
    auto [status, body] = ack(R"({"stream":"testclient01","seq":3,"keyframe":true,"report":{"mode":"latency"}})");
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, R"({"net":{"grade":"unknown","reasons":["few-samples"]},"ok":true})");
    EXPECT_TRUE(flow->withController([](StreamFlowController& c) { return c.keyPending && c.acks == 1; }));
    EXPECT_EQ(flow->takePhoneTail(), std::optional<std::string>("phone mode latency"));
    StreamFlowRegistry::shared().remove(flow);
}

// A picture source the test moves by hand.
class FakeSource final : public VideoPictureSource {
public:
    void publish() {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++count;
            auto pixels = std::make_shared<std::vector<uint8_t>>(32 * 32 * 4, static_cast<uint8_t>(count));
            picture = VideoPicture{pixels, 32, 32, 128, 1000.0 * count, count};
        }
        cond.notify_all();
    }
    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopped = true;
        }
        cond.notify_all();
    }
    bool waitForPicture(uint64_t seen, std::chrono::steady_clock::time_point deadline) override {
        std::unique_lock<std::mutex> guard(lock);
        cond.wait_until(guard, deadline, [&] { return count != seen || stopped || woken; });
        woken = false;
        return count != seen;
    }
    std::optional<VideoPicture> latest() override {
        std::lock_guard<std::mutex> guard(lock);
        return picture;
    }
    uint64_t changes() override {
        std::lock_guard<std::mutex> guard(lock);
        return count;
    }
    bool isStopped() override {
        std::lock_guard<std::mutex> guard(lock);
        return stopped;
    }
    void wake() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            woken = true;
        }
        cond.notify_all();
    }
    CaptureActivityWindow takeActivityWindow() override { return {}; }

private:
    std::mutex lock;  // guards everything below
    std::condition_variable cond;
    uint64_t count = 0;
    bool stopped = false;
    bool woken = false;
    std::optional<VideoPicture> picture;
};

// The kinds of the sections written, in order.
std::vector<std::string> kinds(const std::string& sent) {
    std::vector<std::string> out;
    for (size_t at = sent.find("X-Frame-Kind: "); at != std::string::npos; at = sent.find("X-Frame-Kind: ", at + 1)) {
        out.push_back(sent.substr(at + 14, sent.find("\r\n", at) - at - 14));
    }
    return out;
}

struct LoopRun {
    FakeSource source;
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    Connection connection{transport};
    test::Script script;
    VideoStreamOptions options;
    std::thread thread;

    LoopRun() {
        options.label = "video: display stream";
        options.interval = 0.01;
        options.statsInterval.reset();
        options.tuning.refineIdle = 0.05;
        options.tuning.keepalive = 0.3;
        options.makeSession = test::fakeFactory(script);
    }
    void start() {
        thread = std::thread([this] { videoStreamLoop(source, connection, options); });
    }
    // The flow the loop registered under its stream id, once it did.
    std::shared_ptr<StreamFlow> flow() {
        for (int i = 0; i < 200; ++i) {
            if (auto found = StreamFlowRegistry::shared().lookup(*options.streamID)) return found;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return nullptr;
    }
    void end() {
        connection.endByServer();
        source.wake();
        thread.join();
    }
};

TEST(VideoStreamLoopTest, AStillScreenGetsOnePictureTwoRefinesThenKeepalives) {
    LoopRun run;
    run.source.publish();
    run.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.source.publish();  // a change: a live picture, and two more refines
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run.end();
    auto sent = kinds(run.transport->sent);
    ASSERT_GE(sent.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(sent.begin(), sent.begin() + 7),
              (std::vector<std::string>{"key", "refine", "refine", "keepalive", "delta", "refine", "refine"}));
    EXPECT_EQ(run.script.forced.front(), true);
    EXPECT_EQ(run.connection.partSeq, sent.size());
}

TEST(VideoStreamLoopTest, AFailedEncodeMakesTheNextPictureAKeyAndThreeInARowEndTheStream) {
    test::LogCapture logs;
    LoopRun run;
    run.source.publish();
    run.script.failures = 1;
    run.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.source.publish();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.end();
    auto sent = kinds(run.transport->sent);
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(sent[0], "key");
    EXPECT_NE(sent[1], "key");

    LoopRun failing;
    failing.script.failures = 3;
    failing.source.publish();
    failing.start();
    failing.thread.join();  // ends by itself
    EXPECT_TRUE(failing.transport->sent.empty());
    EXPECT_EQ(logs.count("video: display stream: h264 failed 3x in a row; ending the stream (the client reopens)"), 1);
}

TEST(VideoStreamLoopTest, AckedKeyRequestsAndTheFlowRegistration) {
    LoopRun run;
    run.options.streamID = "testclient01";
    run.options.label = "video: display stream testclient01";
    run.source.publish();
    run.start();
    auto flow = run.flow();
    ASSERT_TRUE(flow);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // key and refines went out
    flow->ack(1, true);
    // Requested keys are at least half a second apart.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.end();
    auto sent = kinds(run.transport->sent);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "key"), 2);
    EXPECT_FALSE(StreamFlowRegistry::shared().lookup("testclient01"));  // gone with the stream
    EXPECT_FALSE(flow->withController([](StreamFlowController& c) { return c.keyPending; }));
}

TEST(VideoStreamLoopTest, AFullWindowHoldsNewPicturesBack) {
    LoopRun run;
    run.options.streamID = "windowtest1";
    run.source.publish();
    run.start();
    auto flow = run.flow();
    ASSERT_TRUE(flow);
    // Wait for the first section, ack it, then acks stop while the screen keeps changing.
    while (flow->withController([](StreamFlowController& c) { return c.lastSentSeq; }) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    flow->ack(1, false);
    for (int i = 0; i < 40; ++i) {
        run.source.publish();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto [sent, limited] = flow->withController([](StreamFlowController& c) {
        return std::make_pair(c.lastSentSeq, c.windowLimitedCount);
    });
    run.end();
    EXPECT_EQ(sent, 5u);  // the acked section and a window of four
    EXPECT_GT(limited, 0);
}

TEST(VideoStreamLoopTest, StatisticsLinesCountWhatWasSent) {
    test::LogCapture logs;
    LoopRun run;
    run.options.statsInterval = 0.2;
    run.source.publish();
    run.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    run.end();
    std::regex line(R"(video: display stream stats: last 0\.\d s capture complete .*; sent \d+\.\d pics/s \(live 1 refine 2 )"
                    R"(keepalive 0 key 1 dropped 0\); encode \d+\.\d/\d+\.\d ms \(mean/max\))");
    auto lines = logs.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.front(), line)) << lines.front();
}

TEST(VideoStreamLoopTest, EndsWhenThePeerGoesOrAWriteFails) {
    LoopRun gone;
    gone.source.publish();
    gone.transport->peerGone = true;
    gone.start();
    gone.thread.join();
    EXPECT_TRUE(gone.transport->sent.empty());

    LoopRun failing;
    failing.source.publish();
    failing.transport->failSends = true;
    failing.start();
    failing.thread.join();
    EXPECT_EQ(failing.script.pts.size(), 1u);
}

}  // namespace
}  // namespace tovo

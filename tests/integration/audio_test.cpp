// GET /audio against a PulseAudio server with a null sink: a tone played with paplay comes
// back as Opus (decoded here with libopus) at its frequency and level.
#include "support/Paths.h"
#include "support/Process.h"
#include "support/ServiceProcess.h"
#include "support/SocketClient.h"
#include "support/VirtualDesktop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opus/opus.h>

#include <cmath>
#include <map>
#include <sstream>

using namespace tovo::test;
using namespace std::chrono_literals;

namespace {

struct Packet {
    uint64_t seq;
    int64_t timeMs;
    std::string data;
};

// Reads one /audio stream's parts.
class AudioReader {
public:
    explicit AudioReader(const std::string& socket) : client(socket) {
        client.send("GET /audio HTTP/1.1\r\nAccept: application/vnd.tovo-control.audio\r\n\r\n");
        head = parseResponse(client.readUntil("\r\n\r\n", 15s).value_or("") + "\r\n\r\n");
    }
    std::optional<Packet> next() {
        auto lines = client.readUntil("\r\n\r\n", 5s);
        if (!lines) return std::nullopt;
        std::map<std::string, std::string> headers;
        std::istringstream in(*lines);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            auto colon = line.find(": ");
            if (colon != std::string::npos) headers[line.substr(0, colon)] = line.substr(colon + 2);
        }
        auto body = client.readExactly(std::stoul(headers["Content-Length"]) + 2, 5s);
        if (!body) return std::nullopt;
        return Packet{std::stoull(headers["X-Audio-Seq"]), std::stoll(headers["X-Audio-Time"]),
                      body->substr(0, body->size() - 2)};
    }
    SocketClient client;
    HTTPResponse head;
};

// Peak level (dBFS) and frequency (Hz, from zero crossings) of decoded packets.
std::pair<double, double> levelAndPitch(const std::vector<Packet>& packets) {
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    std::vector<float> pcm(960 * 2), left;
    for (const auto& p : packets) {
        int n = opus_decode_float(decoder, reinterpret_cast<const unsigned char*>(p.data.data()),
                                  static_cast<opus_int32>(p.data.size()), pcm.data(), 960, 0);
        for (int i = 0; i < n; ++i) left.push_back(pcm[static_cast<size_t>(i) * 2]);
    }
    opus_decoder_destroy(decoder);
    double peak = 0;
    int crossings = 0;
    for (size_t i = 1; i < left.size(); ++i) {
        peak = std::max(peak, static_cast<double>(std::fabs(left[i])));
        if ((left[i - 1] < 0) != (left[i] < 0)) ++crossings;
    }
    return {20 * std::log10(std::max(peak, 1e-9)), crossings / 2.0 / (left.size() / 48000.0)};
}

std::string makeTone(const std::string& path, double seconds) {
    runCommand({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                "sine=frequency=1000:sample_rate=48000:duration=" + std::to_string(seconds), "-af",
                "volume=0.5,pan=stereo|c0=c0|c1=c0", "-c:a", "pcm_f32le", path});
    return path;
}

}  // namespace

TEST(Audio, APlayedToneComesBackAtItsPitchAndLevelInSteadyPackets) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    // The encoders are measured at start, taking both cores for a few seconds, which would
    // starve the audio server under the test.
    ASSERT_TRUE(service.process->waitForOutput("video: hevc encode", 60s)) << service.process->output();
    std::string tone = makeTone(service.path("tone.wav"), 3);
    auto played = runCommand({"/usr/bin/ffmpeg", "-i", tone, "-af", "volumedetect", "-f", "null", "-"});
    double playedPeak = std::stod(played.output.substr(played.output.find("max_volume: ") + 12));

    AudioReader reader(service.socket);
    ASSERT_EQ(reader.head.status, 200) << reader.head.body;
    EXPECT_EQ(reader.head.headers["x-audio-codec"], "opus");
    EXPECT_EQ(reader.head.headers["x-audio-cookie"].substr(0, 10), "T3B1c0hlYW");  // "OpusHea…"
    auto read = [&](size_t count) {
        std::vector<Packet> out;
        while (out.size() < count) {
            auto p = reader.next();
            if (!p) break;
            out.push_back(std::move(*p));
        }
        return out;
    };
    // Until the audio server's first samples have come (silence stands in before them).
    EXPECT_TRUE(
        eventually([&] { return service.getJson("/audio/stats")["capture"]["ioCallbacks"].get<int>() > 0; }, 5s));
    std::vector<Packet> warmUp = read(60);
    ASSERT_EQ(warmUp.size(), 60u) << service.process->output();

    Process player({"/usr/bin/paplay", "--latency-msec=20", tone});
    std::vector<Packet> packets = read(200);
    ASSERT_EQ(packets.size(), 200u);
    // Steady steps while the tone flows (an idle null sink changes its buffering when the
    // player starts and when it ends, which may shift the time line once at those moments).
    std::vector<Packet> loud;
    std::optional<size_t> firstLoud, lastLoud;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (i > 0) EXPECT_EQ(packets[i].seq, packets[i - 1].seq + 1);
        if (levelAndPitch({packets[i]}).first > -40) {
            loud.push_back(packets[i]);
            if (!firstLoud) firstLoud = i;
            lastLoud = i;
        }
    }
    ASSERT_TRUE(firstLoud);
    for (size_t i = *firstLoud + 10; i <= *lastLoud; ++i) {
        EXPECT_NEAR(packets[i].timeMs - packets[i - 1].timeMs, 20, 1) << "packet " << i;
    }
    ASSERT_GE(loud.size(), 120u);
    // A second from the middle of the tone.
    auto [level, pitch] = levelAndPitch({loud.begin() + 35, loud.begin() + 85});
    EXPECT_NEAR(level, playedPeak, 1.0);
    EXPECT_NEAR(pitch, 1000, 5);

    // With nothing playing, silent packets keep coming every 20 ms.
    player.wait(5s);
    std::vector<Packet> quiet = read(120);
    ASSERT_EQ(quiet.size(), 120u);
    EXPECT_NEAR(quiet.back().timeMs - quiet[90].timeMs, 29 * 20, 2);
    EXPECT_LT(levelAndPitch({quiet.end() - 10, quiet.end()}).first, -100);
}

TEST(Audio, SharedCaptureSlowClientsAndTheStop) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    AudioReader fast(service.socket), slow(service.socket);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(fast.next());
    auto stats = service.getJson("/audio/stats");
    EXPECT_EQ(stats["starts"], 1);
    EXPECT_EQ(stats["capture"]["clients"], 2);

    // While the slow one reads nothing for 3 s, the other gets every packet in time.
    std::vector<Packet> fastOnes;
    auto start = std::chrono::steady_clock::now();
    while (fastOnes.size() < 150) fastOnes.push_back(*fast.next());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3500ms);
    for (size_t i = 1; i < fastOnes.size(); ++i) EXPECT_EQ(fastOnes[i].seq, fastOnes[i - 1].seq + 1);
    // The slow one lost its oldest packets: a gap in what it reads.
    uint64_t previous = 0;
    bool gap = false;
    for (int i = 0; i < 150 && !gap; ++i) {
        auto p = slow.next();
        ASSERT_TRUE(p);
        gap = previous && p->seq != previous + 1;
        previous = p->seq;
    }
    EXPECT_TRUE(gap);

    // Both gone: the capture stops about 3 s later.
    fast.client.close();
    slow.client.close();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(service.getJson("/audio/stats")["running"], true);
    EXPECT_TRUE(eventually([&] { return service.getJson("/audio/stats")["running"] == false; }, 4s, 200ms));
    EXPECT_GT(service.getJson("/audio/stats")["last"]["drops"].get<int>(), 0);
}

// The A/V offset is the output's latency while something plays plus the median age of
// the pictures a running stream captures.
TEST(Audio, TheVideoOffsetAddsTheOutputLatencyAndTheCaptureLatency) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    ASSERT_TRUE(service.process->waitForOutput("video: hevc encode", 60s));
    SocketClient video(service.socket);
    video.send("GET /stream?fps=30 HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(video.readUntil("X-Frame-Kind", 10s));
    std::this_thread::sleep_for(1500ms);
    // The first client of a capture, on an idle output, is told what the statistics say.
    AudioReader reader(service.socket);
    ASSERT_EQ(reader.head.status, 200);
    auto offset = service.getJson("/audio/stats")["videoOffset"];
    EXPECT_NEAR(std::stoi(reader.head.headers["x-audio-video-offset"]), offset["totalMs"].get<int>(), 3)
        << reader.head.headers["x-audio-video-offset"];
    EXPECT_NE(offset["captureLatencyMs"], 14);  // measured, not the default
    auto sinks = runCommand({"/usr/bin/pactl", "list", "sinks"}).output;
    double sinkMs = std::stod(sinks.substr(sinks.find("configured ", sinks.find("Latency: ")) + 11)) / 1000;
    EXPECT_NEAR(offset["tapToSpeakerMs"].get<double>(), sinkMs, 5) << sinks;
    EXPECT_LT(offset["tapToSpeakerMs"].get<double>(), 200);
}

// When the output goes, the capture ends (never moved to another source, a microphone
// perhaps); clients reconnect to the output that comes back.
TEST(Audio, AnOutputThatGoesEndsTheCaptureAndNothingElseIsRecorded) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    ASSERT_TRUE(service.process->waitForOutput("video: hevc encode", 60s));
    // A microphone-like source: a 440 Hz tone at -6 dBFS.
    ASSERT_EQ(runCommand({"/usr/bin/pactl", "load-module", "module-sine-source", "frequency=440", "rate=48000"}).code,
              0);
    {
        AudioReader reader(service.socket);
        ASSERT_TRUE(reader.next());
        ASSERT_EQ(runCommand({"/usr/bin/pactl", "unload-module", "module-null-sink"}).code, 0);
        std::vector<Packet> after;
        bool ended = false;
        for (int i = 0; i < 250 && !ended; ++i) {
            auto p = reader.next();
            if (p) after.push_back(*p);
            ended = !p;
        }
        EXPECT_TRUE(ended) << service.process->output();
        if (after.size() > 10) EXPECT_LT(levelAndPitch(after).first, -40);  // never the microphone
    }
    EXPECT_TRUE(service.process->waitForOutput("audio: the audio server ended the record stream of tovo_null", 5s))
        << service.process->output();
    ASSERT_EQ(
        runCommand({"/usr/bin/pactl", "load-module", "module-null-sink", "sink_name=tovo_null", "rate=48000"}).code, 0);
    ASSERT_EQ(runCommand({"/usr/bin/pactl", "set-default-sink", "tovo_null"}).code, 0);
    std::string tone = makeTone(service.path("tone.wav"), 4);
    AudioReader again(service.socket);
    ASSERT_EQ(again.head.status, 200) << again.head.body;
    Process player({"/usr/bin/paplay", "--latency-msec=20", tone});
    std::vector<Packet> heard;
    for (int i = 0; i < 250 && heard.size() < 25; ++i) {
        auto p = again.next();
        ASSERT_TRUE(p) << service.process->output();
        if (levelAndPitch({*p}).first > -40) heard.push_back(*p);
    }
    ASSERT_EQ(heard.size(), 25u) << service.process->output();
    EXPECT_NEAR(levelAndPitch(heard).second, 1000, 100);  // the tone, not the 440 Hz source
}

TEST(Audio, OffOrWithoutAnAudioServer) {
    Process::Options options;
    options.setEnv["TOVO_AUDIO"] = " OFF ";
    ServiceProcess off(binary, VirtualDesktop::shared().display(), options);
    ASSERT_TRUE(off.ready());
    auto answer = off.get("/audio");
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(answer.body, R"({"error":"audio off"})");

    // No server: a clear 503, counted, and everything else goes on.
    Process::Options nowhere;
    nowhere.setEnv["PULSE_SERVER"] = "unix:/nonexistent/native";
    ServiceProcess deaf(binary, VirtualDesktop::shared().display(), nowhere);
    ASSERT_TRUE(deaf.ready());
    auto refused = deaf.get("/audio");
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("no audio server"), std::string::npos) << refused.body;
    auto stats = deaf.getJson("/audio/stats");
    EXPECT_EQ(stats["failures"], 1);
    EXPECT_EQ(deaf.get("/status").status, 200);
}

TEST(Audio, ASoundServerRestartRebuildsTheCapture) {
    ServiceProcess service(binary, VirtualDesktop::shared().display());
    ASSERT_TRUE(service.ready()) << service.process->output();
    ASSERT_TRUE(service.process->waitForOutput("video: hevc encode", 60s));
    {
        AudioReader reader(service.socket);
        ASSERT_TRUE(reader.next());
        ASSERT_TRUE(VirtualDesktop::shared().restartSound());
        // The stream ends once the capture is torn down.
        bool ended = false;
        for (int i = 0; i < 500 && !ended; ++i) ended = !reader.next();
        EXPECT_TRUE(ended);
    }
    EXPECT_TRUE(service.process->waitForOutput("audio: capture torn down after the audio server went away", 5s))
        << service.process->output();
    // A reconnecting client hears the tone again.
    std::string tone = makeTone(service.path("tone.wav"), 2);
    AudioReader again(service.socket);
    ASSERT_EQ(again.head.status, 200) << again.head.body;
    Process player({"/usr/bin/paplay", "--latency-msec=20", tone});
    bool heard = false;
    for (int i = 0; i < 200 && !heard; ++i) {
        auto p = again.next();
        ASSERT_TRUE(p);
        heard = levelAndPitch({*p}).first > -40;
    }
    EXPECT_TRUE(heard);
    EXPECT_EQ(service.getJson("/audio/stats")["starts"], 2);
}

#include "audio/pulse/PulseAudioProbe.h"

#include "audio/pulse/PulseCommon.h"
#include "base/Mutex.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace tovo {
namespace {

using Clock = std::chrono::steady_clock;

// The effective user of `pid`, read from /proc; none when it cannot be read whole.
std::optional<uid_t> userOf(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        unsigned real = 0, effective = 0;
        if (fields >> real >> effective) return static_cast<uid_t>(effective);
    }
    return std::nullopt;
}

// One connection to the audio server for the length of one question.
class Session {
public:
    Session() {
        loop = pa_threaded_mainloop_new();
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "tovo-control probe");
        pa_context_set_state_callback(
            context,
            [](pa_context*, void* l) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(l), 0); }, loop);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop) < 0)
            return;
        pa_threaded_mainloop_lock(loop);
        auto deadline = Clock::now() + std::chrono::seconds(3);
        while (pa_context_get_state(context) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) &&
               Clock::now() < deadline) {
            pa_threaded_mainloop_wait(loop);
        }
        ready = pa_context_get_state(context) == PA_CONTEXT_READY;
        pa_threaded_mainloop_unlock(loop);
    }
    ~Session() {
        pa_threaded_mainloop_lock(loop);
        if (stream) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        pa_context_disconnect(context);
        pa_context_unref(context);
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    struct Input {
        uint32_t index = 0;
        uint32_t sink = 0;
        int pid = 0;
        bool corked = false;
    };
    std::vector<Input> inputs() {
        struct Query {
            pa_threaded_mainloop* loop;
            std::vector<Input> list;
            bool done = false;
        } q{loop, {}, false};
        pa_threaded_mainloop_lock(loop);
        pa_operation* op = pa_context_get_sink_input_info_list(
            context,
            [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
                auto* query = static_cast<Query*>(data);
                if (eol || !info) {
                    query->done = true;
                    pa_threaded_mainloop_signal(query->loop, 0);
                    return;
                }
                const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
                query->list.push_back({info->index, info->sink, pid ? std::atoi(pid) : 0, info->corked != 0});
            },
            &q);
        awaitOperation(loop, op, q.done);
        pa_threaded_mainloop_unlock(loop);
        return q.list;
    }

    // Records sink input `input` of `sink` alone into the meter.
    bool listen(uint32_t sink, uint32_t input) {
        pa_threaded_mainloop_lock(loop);
        const auto format = stereoFloat(48000);
        stream = pa_stream_new(context, "tovo-control probe", &format, nullptr);
        bool ok = stream && pa_stream_set_monitor_stream(stream, input) == 0;
        if (ok) {
            pa_stream_set_read_callback(
                stream,
                [](pa_stream* s, size_t, void* self) {
                    auto* me = static_cast<Session*>(self);
                    const void* data;
                    size_t bytes;
                    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
                        if (data) {
                            const auto* samples = static_cast<const float*>(data);
                            float peak = 0;
                            for (size_t i = 0; i < bytes / sizeof(float); ++i)
                                peak = std::max(peak, std::fabs(samples[i]));
                            MutexLock guard(me->meterLock);
                            me->frames += static_cast<int64_t>(bytes / (2 * sizeof(float)));
                            me->peak = std::max(me->peak, peak);
                        }
                        pa_stream_drop(s);
                    }
                },
                this);
            // The sink's monitor, by the sink's index: the monitor stream takes that sink input alone.
            std::string monitor = monitorOf(sink);
            ok = !monitor.empty() &&
                 pa_stream_connect_record(stream, monitor.c_str(), nullptr, PA_STREAM_DONT_MOVE) == 0;
        }
        pa_threaded_mainloop_unlock(loop);
        return ok;
    }
    std::pair<double, float> meter() {
        MutexLock guard(meterLock);
        return {frames / 48000.0, peak};
    }

    bool ready = false;

private:
    // With the loop locked.
    std::string monitorOf(uint32_t sink) {
        struct Query {
            pa_threaded_mainloop* loop;
            std::string name;
            bool done = false;
        } q{loop, {}, false};
        pa_operation* op = pa_context_get_sink_info_by_index(
            context, sink,
            [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                auto* query = static_cast<Query*>(data);
                if (info && info->monitor_source_name) query->name = info->monitor_source_name;
                if (eol || !info) {
                    query->done = true;
                    pa_threaded_mainloop_signal(query->loop, 0);
                }
            },
            &q);
        awaitOperation(loop, op, q.done);
        return q.name;
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    Mutex meterLock;  // guards frames and peak
    int64_t frames TOVO_GUARDED_BY(meterLock) = 0;
    float peak TOVO_GUARDED_BY(meterLock) = 0;
};

// A 4 s, 1 kHz, 32-bit float mono WAV at about -90 dBFS.
bool writeTone(const std::string& path) {
    const uint32_t frames = 192000, bytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16), u16(3), u16(1), u32(48000), u32(48000 * 4), u16(4), u16(32);
    out.write("data", 4);
    u32(bytes);
    for (uint32_t i = 0; i < frames; ++i) {
        float sample = static_cast<float>(0.00003 * std::sin(2 * M_PI * 1000 * i / 48000.0));
        out.write(reinterpret_cast<const char*>(&sample), 4);
    }
    return static_cast<bool>(out);
}

class PulseAudioProbe final : public AudioServerProbe {
public:
    std::vector<Playing> playing() override {
        std::vector<Playing> out;
        Session session;
        if (!session.ready) return out;
        for (const auto& input : session.inputs()) {
            if (input.corked || input.pid <= 0) continue;
            auto user = userOf(input.pid);
            out.push_back({input.pid, user ? std::optional<unsigned>(*user) : std::nullopt});
        }
        return out;
    }

    int testPlayer() override { return player.load(); }

    AudioTapCheck check() override {
        const std::string tone = "/tmp/tovo-audio-check-" + std::to_string(::getpid()) + ".wav";
        if (!writeTone(tone)) return {AudioTapCheck::Result::failed, "cannot write the test sound"};
        pid_t child = ::fork();
        if (child == 0) {
            int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
            ::execl("/usr/bin/paplay", "paplay", tone.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (child < 0) {
            ::unlink(tone.c_str());
            return {AudioTapCheck::Result::failed, std::string("paplay: ") + std::strerror(errno)};
        }
        player = child;
        AudioTapCheck result = listenTo(child);
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
        player = 0;
        ::unlink(tone.c_str());
        return result;
    }

private:
    AudioTapCheck listenTo(pid_t child) {
        Session session;
        if (!session.ready) return {AudioTapCheck::Result::failed, "no audio server"};
        std::optional<Session::Input> found;
        for (auto until = Clock::now() + std::chrono::seconds(3); !found && Clock::now() < until;) {
            for (const auto& input : session.inputs()) {
                if (input.pid == child && !input.corked) found = input;
            }
            if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!found) return {AudioTapCheck::Result::failed, "the test sound never played"};
        if (!session.listen(found->sink, found->index))
            return {AudioTapCheck::Result::failed, "cannot listen to the test sound"};
        for (auto until = Clock::now() + std::chrono::seconds(3);
             Clock::now() < until && session.meter().second == 0;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        auto [seconds, peak] = session.meter();
        char detail[96];
        std::snprintf(detail, sizeof detail, "paplay pid %d: %.1f s, peak %.1f dBFS", static_cast<int>(child), seconds,
                      peak > 0 ? std::max(-160.0, 20 * std::log10(static_cast<double>(peak))) : -160.0);
        if (peak > 0) return {AudioTapCheck::Result::hears, detail};
        return {seconds >= 1.0 ? AudioTapCheck::Result::deaf : AudioTapCheck::Result::failed, detail};
    }

    std::atomic<int> player{0};  // the test-tone player while a check runs
};

}  // namespace

std::unique_ptr<AudioServerProbe> makePulseAudioProbe() { return std::make_unique<PulseAudioProbe>(); }

}  // namespace tovo

#include "audio/pulse/PulseAudioSource.h"

#include "audio/pulse/PulseCommon.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "base/Mutex.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace tovo {
namespace {

constexpr int rate = 48000;

class PulseAudioSource final : public AudioSource {
public:
    ~PulseAudioSource() override { stop(); }

    Format start(Sink given, std::function<void()> onLost) override {
        {
            MutexLock guard(sinkLock);
            sink = std::move(given);
            lost = std::move(onLost);
        }
        loop = pa_threaded_mainloop_new();
        if (!loop) throw AudioError("no audio server: cannot make PulseAudio's event loop");
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "tovo-control");
        pa_context_set_state_callback(context, &PulseAudioSource::onContextState, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 ||
            pa_threaded_mainloop_start(loop) < 0) {
            std::string why = pa_strerror(pa_context_errno(context));
            cleanUp();
            throw AudioError("no audio server (" + why + ")");
        }
        pa_threaded_mainloop_lock(loop);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pa_context_get_state(context) != PA_CONTEXT_READY) {
            pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state) || std::chrono::steady_clock::now() > deadline) {
                std::string why = pa_strerror(pa_context_errno(context));
                pa_threaded_mainloop_unlock(loop);
                cleanUp();
                throw AudioError("no audio server (" + why + ")");
            }
            pa_threaded_mainloop_wait(loop);
        }
        std::string defaultSink = defaultSinkLocked();
        if (defaultSink.empty()) {
            pa_threaded_mainloop_unlock(loop);
            cleanUp();
            throw AudioError("the audio server has no output to capture");
        }
        pa_context_set_subscribe_callback(context, &PulseAudioSource::onEvent, this);
        pa_operation_unref(pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
        bool ok = connectLocked(defaultSink);
        // Ready means the sink has taken the stream's latency request, so that the output's
        // latency read next is the one this capture runs with (before, an idle sink still
        // reports its idle buffering of a second or more).
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (ok && pa_stream_get_state(stream) != PA_STREAM_READY) {
            if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)) || std::chrono::steady_clock::now() > deadline) {
                ok = false;
                break;
            }
            pa_threaded_mainloop_wait(loop);
        }
        started = ok;
        pa_threaded_mainloop_unlock(loop);
        if (!ok) {
            cleanUp();
            throw AudioError("cannot record the monitor of " + defaultSink);
        }
        // A monitor delivers silence itself; only a stalled or vanished server needs filling.
        return Format{rate, 2, "48000 Hz 2 ch float32 interleaved (monitor of " + defaultSink + ")", 0.5};
    }

    void stop() override {
        {
            MutexLock guard(sinkLock);
            sink = nullptr;
            lost = nullptr;
        }
        cleanUp();
    }

    std::optional<OutputLatency> outputLatency() override {
        if (!loop) return std::nullopt;
        pa_threaded_mainloop_lock(loop);
        struct Query {
            pa_threaded_mainloop* loop;
            bool done = false;
            std::optional<OutputLatency> result;
        } query;
        query.loop = loop;
        pa_operation* op = pa_context_get_sink_info_by_name(
            context, currentSink.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                auto* q = static_cast<Query*>(data);
                if (eol || !info) {
                    q->done = true;
                    pa_threaded_mainloop_signal(q->loop, 0);
                    return;
                }
                // The latency the output is configured for (after this capture's request), not
                // its current fill, which swings between zero and that.
                pa_usec_t usec = info->configured_latency ? info->configured_latency : info->latency;
                double ms = usec / 1000.0;
                char line[256];
                std::snprintf(line, sizeof line, "\"%s\" %.1f ms (latency of the output at %u Hz)", info->description,
                              ms, info->sample_spec.rate);
                q->result = OutputLatency{info->description ? info->description : info->name, ms, line};
            },
            &query);
        awaitOperation(loop, op, query.done);
        pa_threaded_mainloop_unlock(loop);
        return query.result;
    }

private:
    // The default sink's name. With the loop locked.
    std::string defaultSinkLocked() {
        struct Query {
            pa_threaded_mainloop* loop;
            bool done = false;
            std::string name;
        } query;
        query.loop = loop;
        pa_operation* op = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* q = static_cast<Query*>(data);
                if (info && info->default_sink_name) q->name = info->default_sink_name;
                q->done = true;
                pa_threaded_mainloop_signal(q->loop, 0);
            },
            &query);
        awaitOperation(loop, op, query.done);
        return query.name;
    }

    // Records the monitor of `sinkName`, replacing any earlier stream. With the loop locked.
    bool connectLocked(const std::string& sinkName) {
        dropStreamLocked();
        const auto format = stereoFloat(rate);
        stream = pa_stream_new(context, "tovo-control capture", &format, nullptr);
        if (!stream) return false;
        pa_stream_set_read_callback(stream, &PulseAudioSource::onRead, this);
        pa_stream_set_state_callback(stream, &PulseAudioSource::onStreamState, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<uint32_t>(-1);
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(10000, &format));
        std::string monitor = sinkName + ".monitor";
        // Low latency all along, also while nothing plays (an idle sink would otherwise hand
        // its monitor a second at a time); the first samples may then take a second, with
        // silence standing in. Never moved: when the output goes, the server would move the
        // stream to another source, perhaps a microphone; it ends it instead, and the
        // capture is torn down (clients reconnect to the output that is then the default).
        int flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE;
        if (pa_stream_connect_record(stream, monitor.c_str(), &attributes, static_cast<pa_stream_flags_t>(flags)) < 0) {
            pa_stream_unref(stream);
            stream = nullptr;
            return false;
        }
        currentSink = sinkName;
        return true;
    }

    // Ends the record stream without reporting it lost. With the loop locked.
    void dropStreamLocked() {
        if (!stream) return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    void cleanUp() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        dropStreamLocked();
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
    }

    static void onContextState(pa_context* c, void* self) {
        auto* me = static_cast<PulseAudioSource*>(self);
        pa_context_state_t state = pa_context_get_state(c);
        if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && me->ready) {
            std::function<void()> hook;
            {
                MutexLock guard(me->sinkLock);
                hook = std::exchange(me->lost, nullptr);
            }
            if (hook) hook();
        }
        if (state == PA_CONTEXT_READY) me->ready = true;
        pa_threaded_mainloop_signal(me->loop, 0);
    }

    // The server ended the record stream (its output was unloaded, or it failed): the
    // capture is lost; the next one records what is then the default output.
    static void onStreamState(pa_stream* s, void* self) {
        auto* me = static_cast<PulseAudioSource*>(self);
        pa_threaded_mainloop_signal(me->loop, 0);
        pa_stream_state_t state = pa_stream_get_state(s);
        if (!me->started || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return;
        log(std::string("audio: the audio server ended the record stream of ") + me->currentSink + " (" +
            pa_strerror(pa_context_errno(me->context)) + ")");
        std::function<void()> hook;
        {
            MutexLock guard(me->sinkLock);
            hook = std::exchange(me->lost, nullptr);
        }
        if (hook) hook();
    }

    // The default sink changed: follow it.
    static void onEvent(pa_context* c, pa_subscription_event_type_t type, uint32_t, void* self) {
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SERVER) return;
        pa_operation_unref(pa_context_get_server_info(
            c,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* me = static_cast<PulseAudioSource*>(data);
                if (!info || !info->default_sink_name || me->currentSink == info->default_sink_name) return;
                std::string next = info->default_sink_name;
                log("audio: the default output is now " + next + "; following it");
                me->connectLocked(next);
            },
            self));
    }

    static void onRead(pa_stream* s, size_t, void* self) {
        auto* me = static_cast<PulseAudioSource*>(self);
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_readable_size(s) > 0) {
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
            int frames = static_cast<int>(bytes / (2 * sizeof(float)));
            // The chunk ends now (the monitor's own delay is the output's, which the A/V
            // offset counts). Arrival jitters with scheduling, and a record stream has no
            // gaps, so a chunk goes right after its predecessor unless they are 200 ms apart.
            auto estimate =
                static_cast<int64_t>(monotonicSeconds() * 1e9) - static_cast<int64_t>(frames) * 1000000000LL / rate;
            int64_t hostTime = estimate;
            if (me->nextHostTime && std::llabs(estimate - *me->nextHostTime) < 200000000) hostTime = *me->nextHostTime;
            me->nextHostTime = hostTime + static_cast<int64_t>(frames) * 1000000000LL / rate;
            if (data) {
                MutexLock guard(me->sinkLock);
                if (me->sink) me->sink(static_cast<const float*>(data), frames, 2, hostTime);
            }
            pa_stream_drop(s);
        }
    }

    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;          // with the loop locked
    std::string currentSink;              // with the loop locked
    std::optional<int64_t> nextHostTime;  // where the next chunk continues; the loop's thread
    Mutex sinkLock;                       // guards sink and lost, so that stop() ends their calls
    Sink sink TOVO_GUARDED_BY(sinkLock);
    std::function<void()> lost TOVO_GUARDED_BY(sinkLock);
    bool ready = false;    // the loop's thread
    bool started = false;  // start() succeeded; with the loop locked
};

}  // namespace

AudioSourceFactory pulseAudioSourceFactory() {
    return [] { return std::make_unique<PulseAudioSource>(); };
}

}  // namespace tovo

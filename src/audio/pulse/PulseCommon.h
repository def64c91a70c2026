#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>

// What the PulseAudio backends share.
namespace tovo {

// The one sample format the backends record: float32 stereo, interleaved.
inline pa_sample_spec stereoFloat(uint32_t rate) { return {PA_SAMPLE_FLOAT32LE, rate, 2}; }

// Waits, with the threaded loop locked, until the callback of `op` has set `done` (or the
// operation ended without it), then releases `op`. A null `op` returns at once.
inline void awaitOperation(pa_threaded_mainloop* loop, pa_operation* op, const bool& done) {
    if (!op) return;
    while (!done && pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
    pa_operation_unref(op);
}

}  // namespace tovo

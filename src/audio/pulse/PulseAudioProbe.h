#pragma once

#include "audio/AudioDeafWatchdog.h"

#include <memory>

namespace tovo {

// AudioServerProbe over PulseAudio: other processes playing = uncorked sink inputs of
// other processes of this user; the tap check plays a -90 dBFS tone with paplay and
// records that one sink input alone (pa_stream_set_monitor_stream).
std::unique_ptr<AudioServerProbe> makePulseAudioProbe();

}  // namespace tovo

#pragma once

#include "audio/AudioSource.h"

namespace tovo {

// AudioSource over PulseAudio (or PipeWire's PulseAudio server): a float32 stereo 48 kHz
// record stream on the default sink's monitor, moved to the new default sink's monitor
// when the default changes.
AudioSourceFactory pulseAudioSourceFactory();

}  // namespace tovo

// The sound device: an ALSA PCM, stereo, 16-bit, 44100 Hz.
#pragma once

#include <memory>

#include "output/sample_sink.h"

namespace quarvel {

// Opens the PCM named by $QUARVEL_DEVICE ("default" when unset). Throws
// OutputError (status 4) with ALSA's reason when it cannot be opened.
std::unique_ptr<AudioDevice> openAlsaDevice();

}  // namespace quarvel

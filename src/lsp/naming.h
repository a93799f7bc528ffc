// Music in words for hovers: keys, instruments, stereo placement and tempo.
// Pitches and note values are named by the notated score (notation/).
#pragma once

#include <cstdint>
#include <string>

#include "compiler/score_image.h"

namespace quarvel::lsp {

// "G major / E minor" for a count of sharps (sign '#') or flats ('&').
std::string keyName(int count, char sign);
// What an instrument sounds like: the default description of its letter when
// `instrument` is that letter's default, otherwise its kind and harmonics.
std::string instrumentSound(int letter, const Instrument& instrument);
// "voices 1 and 3 on the left, 2, 4 and 5 on the right".
std::string slotMapDescription(int row);
// Beats a minute of the beat note at a tempo value (=XY), rounded.
long beatsPerMinute(int value);

}  // namespace quarvel::lsp

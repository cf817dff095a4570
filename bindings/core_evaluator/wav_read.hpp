// WAV reading that keeps each file's stored sample type and scale, the way researchers'
// scoring scripts see their files: 16-bit PCM gives int16, 8-bit gives uint8 (0..255),
// 24- and 32-bit PCM give int32 (left-justified), IEEE float gives float32/float64.
// A mono file gives a 1-D array, a multi-channel file a (frames, channels) array.
#pragma once

#include <pybind11/pybind11.h>

namespace vemio::evaluator {

// (rate in Hz, samples). Raises FileNotFoundError for a missing file and ValueError naming the
// file for anything that is not a readable PCM/float WAV file.
pybind11::tuple read_wav(pybind11::handle path);

}  // namespace vemio::evaluator

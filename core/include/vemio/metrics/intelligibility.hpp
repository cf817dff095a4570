// Short-time objective intelligibility of degraded speech against its clean original.
#pragma once

#include <span>

namespace vemio::metrics {

// STOI (Taal et al., 2011) or, with `extended`, the extended form of Jensen & Taal (2016) that
// also suits modulated maskers. Both signals are resampled to 10 kHz with a polyphase
// Kaiser-window FIR (the one the published scores were computed with), frames of the clean
// signal more than 40 dB below its loudest frame are dropped from both (and the rest
// overlap-added again), and 384 ms segments of 15 one-third-octave band envelopes are correlated. Typical values lie in
// [0, 1], higher is more intelligible. In the extended form a band (or frame) whose envelope
// does not vary at all within a segment contributes zero; implementations that add noise of
// machine-epsilon size there instead give scores that change from run to run in that case.
//
// The longer signal is cut to the length of the shorter. Throws vemio::Error, naming the
// argument, for empty input, non-finite samples, a rate that is not positive (or so odd that
// the resampling filter would not fit in memory), an all-zero clean signal, and pairs that keep
// fewer than 30 frames (about 0.4 s of speech) once silent frames are removed.
double stoi(std::span<const double> clean, std::span<const double> degraded, int rate, bool extended = false);

}  // namespace vemio::metrics

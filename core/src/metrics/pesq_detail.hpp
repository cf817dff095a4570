// Building blocks of the P.862 model, shared by its source files and by the unit tests.
// Not part of the stable API: use vemio::pesq().
#pragma once

#include <span>
#include <vector>

#include "vemio/metrics/pesq.hpp"

namespace vemio::pesq_detail {

// Fixed parameters of one rate/mode combination: frame sizes and the critical-band layout.
struct Setup {
  int rate = 8000;
  bool wide = false;
  int env_frame = 32;         // 4 ms envelope frame of the time alignment
  int nfft = 256;             // 32 ms frame of the perceptual model
  int hop = 128;              // its 50 % overlap
  int align_nfft = 512;       // 64 ms frame of the fine time alignment
  double loudness_scale = 0;  // Zwicker loudness scaling
  // per band: loudness_scale * (threshold / 0.5) ^ exponent, the factor of Zwicker's law
  std::vector<double> loudness_factor;
  // One entry per critical band: first FFT bin, number of bins, centre and width in Bark,
  // absolute hearing threshold (pitch power units), the Zwicker exponent, and the factor
  // turning the band's summed FFT power into a pitch power density.
  std::vector<int> first_bin, bin_count;
  std::vector<double> centre_bark, width_bark, threshold, exponent, power_factor;
  int bands() const { return static_cast<int>(first_bin.size()); }
};

Setup make_setup(int rate, PesqMode mode);

// Level alignment: scales x so that its power in the speech band equals the model's target.
// Returns the power before scaling (0 for a silent signal).
double align_level(std::vector<double>& x, const Setup& s);

// The listening-device input filter: the IRS receive characteristic in narrow band, the
// 100 Hz high-pass of P.862.2 in wide band.
void input_filter(std::vector<double>& x, const Setup& s);

// Voice activity on 4 ms frames.
struct Activity {
  std::vector<double> energy;    // mean square per frame
  std::vector<double> envelope;  // log(max(energy / threshold, 1))
  std::vector<char> active;
  double threshold = 0;
};
Activity detect_activity(std::span<const double> x, int frame);

// A speech utterance: reference frames [start, end) in envelope frames, and the delay of
// the degraded signal in samples (positive: the degraded signal lags).
struct Utterance {
  int start = 0;
  int end = 0;
  int delay = 0;
  double confidence = 0;
};
std::vector<Utterance> find_utterances(const Activity& ref);

// Best lag (envelope frames) of the whole degraded envelope against the whole reference
// envelope, by FFT cross-correlation; 0 when nothing correlates.
int overall_lag(const Activity& ref, const Activity& deg);

// Fine delay (samples, degraded lagging positive) and the confidence of its vote.
struct FineDelay {
  int delay = 0;
  double confidence = 0;
};

// Fine alignment and splitting of utterance u. Envelope lags are searched within `range`
// envelope frames of `file_lag`, the lag of the whole file. The utterance is aligned around
// its own envelope lag, or around the file's lag where the frames agree better there. Its
// frames are then cut in two where both parts, each aligned on its own (its envelope lag,
// then the fine delay voted by its frames at that lag), agree on their delays more
// confidently than the whole agrees on one, and the two delays differ by at least one
// envelope frame; parts are split again up to `depth` times. Returns the pieces in order:
// ranges of 64 ms alignment frames (frame j starts at u.start * env_frame + j * align_nfft / 4
// in the reference) with their delays, and the envelope frame each piece begins at (u.start
// for the first; for the others, the cut between the last alignment frame of the piece before
// and their own first).
struct Piece {
  size_t from = 0, to = 0;
  FineDelay delay;
  int env_start = 0;
};
std::vector<Piece> split_utterance(std::span<const double> ref, std::span<const double> deg, const Activity& ra,
                                   const Activity& da, const Utterance& u, int file_lag, int range, const Setup& s,
                                   int depth = 2);

// Perceptual and cognitive model over aligned 32 ms frames: the symmetric and asymmetric
// disturbance of every frame. frame_delay[i] is the delay (samples) of perceptual frame i,
// which starts at i * hop in the reference.
struct Disturbance {
  std::vector<double> sym, asym;  // per frame
};
// The pitch power densities of every frame as transformed (before any compensation), with the
// delays the degraded frames were taken at. A later run at other delays passes them back and
// transforms only the frames whose delay changed.
struct PitchPowers {
  std::vector<std::vector<double>> ref, deg;  // [frame][band]
  std::vector<int> delay;
};
Disturbance frame_disturbances(std::span<const double> ref, std::span<const double> deg,
                               const std::vector<int>& frame_delay, const Setup& s, PitchPowers* powers = nullptr);
// Realignment of bad intervals: a run of at least six scored frames in [first, last) whose
// disturbance (symmetric plus weighted asymmetric) exceeds the bad-frame threshold, and which
// ends before `last`, gets the delay (within four model frames of its own) that best
// correlates the magnitudes of the two signals over the run; its frames are scored again at
// that delay and keep whichever disturbance is smaller. Returns the number of intervals
// realigned.
// `powers`, when given, are those of the run that gave d (read, not changed).
int realign_bad_intervals(std::span<const double> ref, std::span<const double> deg, const std::vector<int>& frame_delay,
                          int first, int last, const Setup& s, Disturbance& d, PitchPowers* powers = nullptr);
// Raw score from the disturbances of frames [first, last) (split-second L6, then L2).
double aggregate(const Disturbance& d, int first, int last);

}  // namespace vemio::pesq_detail

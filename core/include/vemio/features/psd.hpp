// Power spectral density by Welch's method of averaged, overlapping periodograms.
#pragma once

#include <span>
#include <vector>

namespace vemio::features {

struct Psd {
  std::vector<double> freqs;  // nfft/2 + 1 frequencies, k * fs / nfft
  std::vector<double> psd;    // one-sided density, units^2 / Hz
  int nperseg = 0;            // segment length actually used (shortened for short signals)
};

// Periodic Hann segments of `nperseg` samples overlapping by `noverlap` (negative: half a
// segment), each with its mean removed and zero-padded to `nfft` points; density scaling,
// one-sided, mean over the segments. A signal shorter than nperseg is taken as one segment
// of its own length. Throws FeatureError for an empty signal or inconsistent sizes.
Psd welch(std::span<const double> x, double fs, int nperseg = 256, int noverlap = -1, int nfft = 1024);

}  // namespace vemio::features

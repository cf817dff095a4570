// Pieces shared by the frame-based quality measures (composite.cpp, composite_lpc.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace vemio::metrics::composite_detail {

// Frame geometry of a rate: 30 ms frames (rounded half to even), a hop of a quarter of that
// (truncated), a Hann window without zero end points, and the FFT size of the spectral
// measures (the power of two at or above twice the frame).
struct Framing {
  int rate = 0;
  int length = 0;
  int hop = 0;
  int nfft = 0;
  std::vector<double> window;
};
Framing framing(int rate);

// Checks a pair (rate, emptiness, finite samples, length, silent clean signal) and returns the
// number of samples both hold. `measure` names the caller in messages.
std::size_t checked_length(std::span<const double> clean, std::span<const double> degraded, const Framing& f,
                           const char* measure);

// Frames that start every hop and fit whole in n samples.
inline std::size_t whole_frames(std::size_t n, const Framing& f) {
  return (n - static_cast<std::size_t>(f.length - f.hop)) / static_cast<std::size_t>(f.hop);
}
// Frame count of the spectral and cepstral measures: n / hop - length / hop, truncated.
std::size_t spectral_frames(std::size_t n, const Framing& f);

// Mean of the smallest round(95 %) of `values` (round half to even); reorders `values`.
double mean_of_best(std::vector<double>& values);

// 25 critical-band filters over the nfft / 2 lowest bins: Gaussian shapes, zero below the
// -30 dB point; each band keeps the bins [first, first + gains.size()) where it is non-zero.
struct Band {
  int first = 0;
  std::vector<double> gains;
};
constexpr int kBands = 25;
std::array<Band, kBands> critical_bands(const Framing& f);

inline double band_sum(const Band& b, const double* spectrum) {
  double s = 0;
  for (std::size_t j = 0; j < b.gains.size(); ++j) s += b.gains[j] * spectrum[b.first + j];
  return s;
}

constexpr int kMaxOrder = 16;
inline int lpc_order(int rate) { return rate < 10000 ? 10 : 16; }

// The log-likelihood ratio of a checked pair of n samples, with or without the per-frame limit.
double llr_checked(const double* clean, const double* degraded, std::size_t n, const Framing& f, bool limit);

}  // namespace vemio::metrics::composite_detail

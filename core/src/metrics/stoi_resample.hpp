// The resampler of the intelligibility measure: a polyphase FIR whose low-pass filter is a
// Kaiser-windowed sinc with 60 dB stop-band rejection and a roll-off of a tenth of the cut-off,
// normalised to unit DC gain before the up-sampling gain is applied. Its output is centred on
// the filter and starts at the first input sample, so the published scores are reproduced
// exactly; the general resampler of vemio::audio is tuned for listening, not for this.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vemio::metrics::detail {

class KaiserResampler {
 public:
  // Converts from_rate to to_rate (both positive); the ratio is reduced to lowest terms.
  KaiserResampler(int from_rate, int to_rate);

  int up() const { return up_; }
  int down() const { return down_; }
  int half_length() const { return half_; }  // the filter has 2 * half_length() + 1 taps
  size_t output_length(size_t n) const;      // ceil(n * up / down)
  std::vector<double> operator()(std::span<const double> x) const;
  // Two signals of equal length in one pass (they share the filter loads); b may be empty.
  void resample_pair(std::span<const double> a, std::span<const double> b, std::vector<double>& out_a,
                     std::vector<double>& out_b) const;

  // Taps of the design at the up-sampled rate, before the up-sampling gain.
  static std::vector<double> design(int up, int down);
  // Tap count 2 L + 1 the design would have; lets callers refuse absurd ratios cheaply.
  static double tap_count(int up, int down);

 private:
  int up_ = 1, down_ = 1, half_ = 0;
  // Filter of each phase, reversed so that an output is a forward dot product with the input.
  std::vector<std::vector<double>> phases_;
};

}  // namespace vemio::metrics::detail

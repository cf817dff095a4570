#include "vemio/features/display.hpp"

#include <algorithm>
#include <cmath>

#include "vemio/features/spectral.hpp"

namespace vemio::features {

Envelope waveform_envelope(std::span<const double> y, int sr, long max_points, int max_sr) {
  if (y.empty()) throw FeatureError("the signal is empty");
  if (sr <= 0) throw FeatureError("sampling rate must be positive");
  if (max_points <= 0) throw FeatureError("max_points must be strictly positive");
  if (max_sr <= 0) throw FeatureError("max_sr must be strictly positive");
  const long n = static_cast<long>(y.size());
  long target = sr;
  if (max_points < n) target = std::min<long>(max_sr, (static_cast<long>(sr) * n) / max_points);
  Envelope e;
  e.hop = static_cast<int>(std::max<long>(1, sr / std::max<long>(1, target)));
  const long blocks = n / e.hop;
  e.times.resize(static_cast<size_t>(blocks));
  e.peak.resize(static_cast<size_t>(blocks));
  for (long b = 0; b < blocks; ++b) {
    double m = 0;
    const double* p = y.data() + b * e.hop;
    for (int i = 0; i < e.hop; ++i) {
      double a = std::abs(p[i]);
      if (a > m || std::isnan(a)) m = a;
    }
    e.peak[b] = m;
    e.times[b] = static_cast<double>(b * e.hop) / sr;
  }
  return e;
}

std::vector<double> time_edges(int n, double sr, int hop) {
  std::vector<double> t(static_cast<size_t>(n) + 1);
  for (int i = 0; i <= n; ++i) t[i] = static_cast<double>(static_cast<long>(i) * hop) / sr;
  return t;
}

std::vector<double> fft_hz_edges(int n, double sr) {
  if (n <= 1) return {0.0, sr / 2};
  auto f = fft_frequencies(sr, 2 * (n - 1));
  const double fmax = f.back(), half = 0.5 * (f[1] - f[0]);
  std::vector<double> e(static_cast<size_t>(n) + 1);
  for (int k = 0; k < n; ++k) e[k] = std::max(0.0, f[k] - half);
  e[n] = fmax;
  return e;
}

std::vector<double> mel_hz_edges(int n, double fmin, double fmax) {
  auto f = mel_frequencies(n, fmin, fmax);
  std::vector<double> e(static_cast<size_t>(n) + 1);
  for (int k = 0; k < n; ++k) e[k] = std::max(0.0, k == 0 ? f[0] : f[k] - 0.5 * (f[k] - f[k - 1]));
  e[n] = fmax;
  return e;
}

}  // namespace vemio::features

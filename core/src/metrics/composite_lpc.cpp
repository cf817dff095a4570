// The measures built on LPC models of the frames: log-likelihood ratio and cepstrum distance.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "composite_detail.hpp"
#include "vemio/metrics/composite.hpp"

namespace vemio::metrics {
namespace cd = composite_detail;

namespace {

using Coeffs = std::array<double, cd::kMaxOrder + 1>;

// Windowed frame and its autocorrelation at lags 0..order.
void autocorrelation(const double* x, std::size_t start, const cd::Framing& f, int order, double offset,
                     std::vector<double>& frame, Coeffs& r) {
  const int len = f.length;
  for (int i = 0; i < len; ++i) frame[i] = (x[start + i] + offset) * f.window[i];
  for (int k = 0; k <= order; ++k) {
    double s = 0;
    for (int i = 0; i + k < len; ++i) s += frame[i] * frame[i + k];
    r[k] = s;
  }
}

// Prediction-error filter a (a[0] = 1) of the given order by the Levinson-Durbin recursion. A
// zero autocorrelation (a silent frame) leaves NaN coefficients, which the callers handle.
void levinson(const Coeffs& r, int order, Coeffs& a) {
  Coeffs p{}, prev{};  // predictor coefficients: x[t] ~ sum_j p[j] x[t - 1 - j]
  double err = r[0];
  for (int i = 0; i < order; ++i) {
    double acc = r[i + 1];
    for (int j = 0; j < i; ++j) acc -= p[j] * r[i - j];
    const double k = acc / err;
    prev = p;
    for (int j = 0; j < i; ++j) p[j] = prev[j] - k * prev[i - 1 - j];
    p[i] = k;
    err *= 1.0 - k * k;
  }
  a[0] = 1.0;
  for (int i = 0; i < order; ++i) a[i + 1] = -p[i];
}

// a' R a with R the Toeplitz matrix of the autocorrelation r: the residual energy of the
// filter a on the frame of r.
double residual(const Coeffs& a, const Coeffs& r, int order) {
  double s = 0;
  for (int i = 0; i <= order; ++i) {
    double row = 0;
    for (int j = 0; j <= order; ++j) row += r[std::abs(i - j)] * a[j];
    s += a[i] * row;
  }
  return s;
}

// Cepstrum c[1..order] of the all-pole model 1 / A(z), stored from index 0.
void cepstrum(const Coeffs& a, int order, Coeffs& c) {
  c[0] = -a[1];
  for (int k = 2; k <= order; ++k) {
    double s = 0;
    for (int i = 1; i < k; ++i) s += c[i - 1] * a[k - i] * i;
    c[k - 1] = -(a[k] + s / k);
  }
}

}  // namespace

namespace composite_detail {

double llr_checked(const double* clean, const double* degraded, std::size_t n, const Framing& f, bool limit) {
  // Both signals are offset by machine epsilon: a frame of digital silence then has a
  // well-defined (if degenerate) model instead of a zero autocorrelation. Where both signals
  // are silent the ratio is 1; where only the clean one is, it is very large.
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const int order = lpc_order(f.rate);
  const std::size_t frames = whole_frames(n, f) - 1;  // the last frame does not count
  std::vector<double> frame(static_cast<std::size_t>(f.length)), dist(frames);
  Coeffs rc{}, rd{}, ac{}, ad{};
  for (std::size_t t = 0; t < frames; ++t) {
    const std::size_t start = t * static_cast<std::size_t>(f.hop);
    autocorrelation(clean, start, f, order, eps, frame, rc);
    autocorrelation(degraded, start, f, order, eps, frame, rd);
    levinson(rc, order, ac);
    levinson(rd, order, ad);
    double ratio = residual(ad, rc, order) / residual(ac, rc, order);
    if (!(ratio > 0)) ratio = 1000.0;  // a degenerate model counts as a large distance
    const double v = std::log(ratio);
    dist[t] = limit ? std::min(v, 2.0) : v;
  }
  return mean_of_best(dist);
}

}  // namespace composite_detail

double llr(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "llr");
  return cd::llr_checked(clean.data(), degraded.data(), n, f, true);
}

double llr_unclipped(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "llr_unclipped");
  return cd::llr_checked(clean.data(), degraded.data(), n, f, false);
}

double cepstral_distance(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "cepstral_distance");
  const int order = cd::lpc_order(f.rate);
  const double scale = 10.0 * std::numbers::sqrt2 / std::numbers::ln10;  // cepstral distance in dB
  const std::size_t frames = cd::spectral_frames(n, f);
  std::vector<double> frame(static_cast<std::size_t>(f.length)), dist(frames);
  Coeffs r{}, a{}, cc{}, cp{};
  for (std::size_t t = 0; t < frames; ++t) {
    const std::size_t start = t * static_cast<std::size_t>(f.hop);
    autocorrelation(clean.data(), start, f, order, 0.0, frame, r);
    levinson(r, order, a);
    cepstrum(a, order, cc);
    autocorrelation(degraded.data(), start, f, order, 0.0, frame, r);
    levinson(r, order, a);
    cepstrum(a, order, cp);
    double s = 0;
    for (int k = 0; k < order; ++k) s += (cc[k] - cp[k]) * (cc[k] - cp[k]);
    const double v = scale * std::sqrt(s);
    dist[t] = v < 10.0 ? v : 10.0;  // also a silent frame of either signal (NaN model): the limit
  }
  return cd::mean_of_best(dist);
}

}  // namespace vemio::metrics

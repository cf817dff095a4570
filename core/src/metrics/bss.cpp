#include "vemio/metrics/bss.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "vemio/util/error.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::metrics {
namespace {

constexpr size_t kFilterLength = 512;
constexpr size_t kFFT = 4096;                        // block transform length
constexpr size_t kBlock = kFFT - kFilterLength + 1;  // reference samples per block

// Both signals cut to the shorter one, after checking they can be scored at all.
struct Pair {
  std::span<const double> ref, est;
};

Pair checked_pair(std::span<const double> reference, std::span<const double> estimate, const char* measure) {
  const std::string m(measure);
  if (reference.empty()) throw Error(m + ": the reference signal is empty.");
  if (estimate.empty()) throw Error(m + ": the estimate signal is empty.");
  const size_t n = std::min(reference.size(), estimate.size());
  Pair p{reference.first(n), estimate.first(n)};
  const auto finite = [](std::span<const double> x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
  };
  if (!finite(p.ref)) throw Error(m + ": the reference signal has non-finite samples.");
  if (!finite(p.est)) throw Error(m + ": the estimate signal has non-finite samples.");
  const auto silent = [](std::span<const double> x) {
    return std::all_of(x.begin(), x.end(), [](double v) { return v == 0.0; });
  };
  if (silent(p.ref)) throw Error(m + ": the reference signal is all zeros, so the measure is undefined.");
  if (silent(p.est)) throw Error(m + ": the estimate signal is all zeros, so the measure is undefined.");
  return p;
}

double ratio_db(double num, double den) {
  if (den == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(num / den);
}

// Solves T x = b for the symmetric positive-definite Toeplitz matrix T whose first column is
// r (Levinson's recursion, O(n^2)). Returns false when the recursion meets a matrix that is not
// numerically positive definite.
bool levinson(const std::vector<double>& r, const std::vector<double>& b, std::vector<double>& x) {
  const size_t n = r.size();
  const double r0 = r[0];
  std::vector<double> y(n), v(n);
  x.assign(n, 0.0);
  x[0] = b[0] / r0;
  if (n == 1) return true;
  y[0] = -r[1] / r0;
  double beta = 1.0, alpha = y[0];
  for (size_t k = 1; k < n; ++k) {
    beta *= (1.0 - alpha) * (1.0 + alpha);
    if (!(beta > 0.0)) return false;
    double acc = 0.0;
    for (size_t i = 0; i < k; ++i) acc += r[i + 1] * x[k - 1 - i];
    const double mu = (b[k] / r0 - acc / r0) / beta;
    for (size_t i = 0; i < k; ++i) x[i] += mu * y[k - 1 - i];
    x[k] = mu;
    if (k + 1 < n) {
      acc = 0.0;
      for (size_t i = 0; i < k; ++i) acc += r[i + 1] * y[k - 1 - i];
      alpha = (-r[k + 1] / r0 - acc / r0) / beta;
      for (size_t i = 0; i < k; ++i) v[i] = y[i] + alpha * y[k - 1 - i];
      std::copy(v.begin(), v.begin() + k, y.begin());
      y[k] = alpha;
    }
  }
  return true;
}

// b - T x for the Toeplitz matrix with first column r.
std::vector<double> toeplitz_residual(const std::vector<double>& r, const std::vector<double>& b,
                                      const std::vector<double>& x) {
  const size_t n = r.size();
  std::vector<double> res(b);
  for (size_t i = 0; i < n; ++i) {
    double acc = 0.0;
    for (size_t j = 0; j < n; ++j) acc += r[i > j ? i - j : j - i] * x[j];
    res[i] -= acc;
  }
  return res;
}

// The distortion filter: least-squares weights of the delayed references. Levinson's recursion
// with one step of iterative refinement; a dense factorisation when the recursion breaks down
// on a numerically singular matrix.
std::vector<double> distortion_filter(const std::vector<double>& r, const std::vector<double>& b) {
  std::vector<double> x;
  if (levinson(r, b, x)) {
    std::vector<double> dx;
    if (levinson(r, toeplitz_residual(r, b, x), dx)) {
      for (size_t i = 0; i < x.size(); ++i) x[i] += dx[i];
      return x;
    }
  }
  const Eigen::Index n = static_cast<Eigen::Index>(r.size());
  Eigen::MatrixXd t(n, n);
  for (Eigen::Index i = 0; i < n; ++i)
    for (Eigen::Index j = 0; j < n; ++j) t(i, j) = r[static_cast<size_t>(std::abs(i - j))];
  const Eigen::VectorXd sol = t.colPivHouseholderQr().solve(Eigen::Map<const Eigen::VectorXd>(b.data(), n));
  return std::vector<double>(sol.data(), sol.data() + n);
}

}  // namespace

double si_sdr(std::span<const double> reference, std::span<const double> estimate) {
  const Pair p = checked_pair(reference, estimate, "si_sdr");
  double ss = 0.0, se = 0.0;
  for (size_t i = 0; i < p.ref.size(); ++i) {
    ss += p.ref[i] * p.ref[i];
    se += p.ref[i] * p.est[i];
  }
  const double alpha = se / ss;
  double num = 0.0, den = 0.0;
  for (size_t i = 0; i < p.ref.size(); ++i) {
    const double t = alpha * p.ref[i];
    num += t * t;
    den += (t - p.est[i]) * (t - p.est[i]);
  }
  return ratio_db(num, den);
}

double sdr(std::span<const double> reference, std::span<const double> estimate) {
  const Pair p = checked_pair(reference, estimate, "sdr");
  const std::span<const double> s = p.ref, e = p.est;
  const size_t n = s.size();
  const size_t taps = kFilterLength;

  // Everything below is a correlation or a convolution with at most 512 lags, done block by
  // block with short transforms: a block of the reference and the stretch of a signal it meets
  // at lags 0..511 (block + 511 samples) fit in kFFT points without wrapping.
  fft::RealFFT<double> fft(kFFT);
  const size_t bins = kFFT / 2 + 1;
  const size_t blocks = (n + kBlock - 1) / kBlock;
  std::vector<std::complex<double>> ref_spectra(blocks * bins), seg(bins), auto_acc(bins), cross_acc(bins);
  std::vector<double> buf(kFFT);
  const auto transform = [&](std::span<const double> x, size_t from, size_t count, std::complex<double>* out) {
    const size_t to = std::min(x.size(), from + count);
    std::fill(std::copy(x.begin() + long(from), x.begin() + long(to), buf.begin()), buf.end(), 0.0);
    fft.forward(buf, std::span<std::complex<double>>(out, bins));
  };
  for (size_t b = 0; b < blocks; ++b) {
    std::complex<double>* sb = ref_spectra.data() + b * bins;
    transform(s, b * kBlock, kBlock, sb);
    transform(s, b * kBlock, kBlock + taps - 1, seg.data());
    for (size_t k = 0; k < bins; ++k) auto_acc[k] += std::conj(sb[k]) * seg[k];
    transform(e, b * kBlock, kBlock + taps - 1, seg.data());
    for (size_t k = 0; k < bins; ++k) cross_acc[k] += std::conj(sb[k]) * seg[k];
  }
  // Inner products of the delayed references with each other (the first column of the
  // Toeplitz Gram matrix) and with the estimate.
  fft.inverse(auto_acc, buf);
  const std::vector<double> autocorr(buf.begin(), buf.begin() + long(taps));
  fft.inverse(cross_acc, buf);
  const std::vector<double> cross(buf.begin(), buf.begin() + long(taps));

  const std::vector<double> filter = distortion_filter(autocorr, cross);

  // The projection, the reference through the distortion filter, by overlap-add.
  std::vector<std::complex<double>> filter_spectrum(bins);
  transform(filter, 0, taps, filter_spectrum.data());
  const size_t full = n + taps - 1;
  std::vector<double> proj(full, 0.0);
  for (size_t b = 0; b < blocks; ++b) {
    const std::complex<double>* sb = ref_spectra.data() + b * bins;
    for (size_t k = 0; k < bins; ++k) seg[k] = sb[k] * filter_spectrum[k];
    fft.inverse(seg, buf);
    const size_t from = b * kBlock, to = std::min(full, from + kBlock + taps - 1);
    for (size_t i = from; i < to; ++i) proj[i] += buf[i - from];
  }

  double num = 0.0, den = 0.0;
  for (size_t i = 0; i < full; ++i) {
    const double rest = (i < n ? e[i] : 0.0) - proj[i];
    num += proj[i] * proj[i];
    den += rest * rest;
  }
  return ratio_db(num, den);
}

}  // namespace vemio::metrics

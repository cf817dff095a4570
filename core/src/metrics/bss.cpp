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

// Sum of a[i] * b[i] over four independent partial sums (the solver's loops would otherwise
// wait on one long chain of additions).
double dot(const double* a, const double* b, size_t n) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += a[i] * b[i];
    s1 += a[i + 1] * b[i + 1];
    s2 += a[i + 2] * b[i + 2];
    s3 += a[i + 3] * b[i + 3];
  }
  for (; i < n; ++i) s0 += a[i] * b[i];
  return (s0 + s1) + (s2 + s3);
}

double ratio_db(double num, double den) {
  if (den == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(num / den);
}

// Solves T x = b for the symmetric positive-definite Toeplitz matrix T whose first column is
// r (Levinson's recursion, O(n^2)). Returns false when the recursion meets a matrix that is not
// numerically positive definite. The backward vector is kept reversed (yr[i] = y[k - 1 - i]) so
// that every inner loop runs forwards through memory.
bool levinson(const std::vector<double>& r, const std::vector<double>& b, std::vector<double>& x) {
  const size_t n = r.size();
  const double r0 = r[0];
  std::vector<double> rn(n), yr(n), xr(n), tmp(n);
  for (size_t i = 0; i < n; ++i) rn[i] = r[i] / r0;  // rn[0] == 1
  x.assign(n, 0.0);
  x[0] = b[0] / r0;
  if (n == 1) return true;
  // rev(v, k)[i] = v[k - 1 - i]; xr holds x reversed for the dot product with rn.
  xr[n - 1] = x[0];
  yr[n - 1] = -rn[1];
  double beta = 1.0, alpha = -rn[1];
  for (size_t k = 1; k < n; ++k) {
    beta *= (1.0 - alpha) * (1.0 + alpha);
    if (!(beta > 0.0)) return false;
    // xr[n - k .. n) is x[k - 1 .. 0], yr[n - k .. n) is y[k - 1 .. 0]
    const double* xk = xr.data() + (n - k);
    const double* yk = yr.data() + (n - k);
    const double mu = (b[k] / r0 - dot(rn.data() + 1, xk, k)) / beta;
    // x[i] += mu * y[k - 1 - i]: in reversed storage xr[n-1-i] += mu * yr[n-k+i]
    for (size_t i = 0; i < k; ++i) x[i] += mu * yk[i];
    x[k] = mu;
    for (size_t i = 0; i <= k; ++i) xr[n - 1 - i] = x[i];
    if (k + 1 < n) {
      alpha = (-rn[k + 1] - dot(rn.data() + 1, yk, k)) / beta;
      // y[i] += alpha * y[k - 1 - i], then y[k] = alpha; y is yr read backwards
      double* y = tmp.data();
      for (size_t i = 0; i < k; ++i) y[i] = yk[k - 1 - i];
      for (size_t i = 0; i < k; ++i) y[i] += alpha * yk[i];
      y[k] = alpha;
      for (size_t i = 0; i <= k; ++i) yr[n - 1 - i] = y[i];
    }
  }
  return true;
}

// b - T x for the Toeplitz matrix with first column r: row i is r[i], r[i-1], ..., r[1], r[0],
// r[1], ... against x; the part before the diagonal is a dot product with r reversed.
std::vector<double> toeplitz_residual(const std::vector<double>& r, const std::vector<double>& b,
                                      const std::vector<double>& x) {
  const size_t n = r.size();
  std::vector<double> rr(r.rbegin(), r.rend());  // rr[j] = r[n - 1 - j]
  std::vector<double> res(b);
  for (size_t i = 0; i < n; ++i) {
    // j < i: r[i - j] = rr[n - 1 - i + j]; j >= i: r[j - i]
    res[i] -= dot(rr.data() + (n - 1 - i), x.data(), i) + dot(r.data(), x.data() + i, n - i);
  }
  return res;
}

// The distortion filter: least-squares weights of the delayed references. Levinson's recursion,
// refined once when its residual is not at rounding level (ill-conditioned references); a dense factorisation when the
// recursion breaks down on a numerically singular matrix.
std::vector<double> distortion_filter(const std::vector<double>& r, const std::vector<double>& b) {
  std::vector<double> x;
  if (levinson(r, b, x)) {
    const std::vector<double> res = toeplitz_residual(r, b, x);
    if (dot(res.data(), res.data(), res.size()) <= 1e-24 * dot(b.data(), b.data(), b.size())) return x;
    std::vector<double> dx;
    if (levinson(r, res, dx)) {
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
  std::vector<std::complex<double>> ref_block(bins), seg(bins), auto_acc(bins), cross_acc(bins);
  std::vector<double> buf(kFFT);
  const auto transform = [&](std::span<const double> x, size_t from, size_t count, std::complex<double>* out) {
    const size_t to = std::min(x.size(), from + count);
    std::fill(std::copy(x.begin() + long(from), x.begin() + long(to), buf.begin()), buf.end(), 0.0);
    fft.forward(buf, std::span<std::complex<double>>(out, bins));
  };
  for (size_t b = 0; b < blocks; ++b) {
    transform(s, b * kBlock, kBlock, ref_block.data());
    transform(s, b * kBlock, kBlock + taps - 1, seg.data());
    for (size_t k = 0; k < bins; ++k) auto_acc[k] += std::conj(ref_block[k]) * seg[k];
    transform(e, b * kBlock, kBlock + taps - 1, seg.data());
    for (size_t k = 0; k < bins; ++k) cross_acc[k] += std::conj(ref_block[k]) * seg[k];
  }
  // Inner products of the delayed references with each other (the first column of the
  // Toeplitz Gram matrix) and with the estimate.
  fft.inverse(auto_acc, buf);
  const std::vector<double> autocorr(buf.begin(), buf.begin() + long(taps));
  fft.inverse(cross_acc, buf);
  const std::vector<double> cross(buf.begin(), buf.begin() + long(taps));

  const std::vector<double> filter = distortion_filter(autocorr, cross);

  // The projection, the reference through the distortion filter, by overlap-add; each block's
  // first kBlock samples are final once the previous block's tail is added, and go straight
  // into the energies of the projection and of what the estimate keeps besides it.
  std::vector<std::complex<double>> filter_spectrum(bins);
  transform(filter, 0, taps, filter_spectrum.data());
  const size_t full = n + taps - 1;
  std::vector<double> tail(taps - 1, 0.0);
  double num = 0.0, den = 0.0;
  for (size_t b = 0; b < blocks; ++b) {
    transform(s, b * kBlock, kBlock, ref_block.data());
    for (size_t k = 0; k < bins; ++k) ref_block[k] *= filter_spectrum[k];
    fft.inverse(ref_block, buf);
    for (size_t i = 0; i + 1 < taps; ++i) buf[i] += tail[i];
    const size_t from = b * kBlock;
    const size_t done = b + 1 < blocks ? kBlock : full - from;
    for (size_t i = 0; i < done; ++i) {
      const double proj = buf[i];
      const double rest = (from + i < n ? e[from + i] : 0.0) - proj;
      num += proj * proj;
      den += rest * rest;
    }
    if (b + 1 < blocks) std::copy(buf.begin() + long(kBlock), buf.begin() + long(kBlock + taps - 1), tail.begin());
  }
  return ratio_db(num, den);
}

}  // namespace vemio::metrics

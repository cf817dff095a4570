#include "vemio/features/mel.hpp"

#include <algorithm>
#include <complex>
#include <string>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>

#include "frames.hpp"

namespace vemio::features {

// The frames' spectra come from one matrix product with the window-folded DFT basis: for the
// short frames this class serves (odd lengths among them, which the FFT only reaches through
// its slow generic radix) a product over all frames beats a transform per frame, and the DFT
// sums are exact to rounding.
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
struct MelFrames::Plan {
  RowMatrix basis;    // n_fft x 2 bins: w[i] cos(2 pi i k / n), then -w[i] sin(2 pi i k / n)
  RowMatrix filters;  // bins x n_mels, the mel filters transposed
  RowMatrix spectra, power;
  std::vector<double> padded;
};

MelBank mel_filters_at_bins(double sr, int n_fft, int n_mels, double fmin, double fmax) {
  if (n_fft % 2 == 0) return mel_filters(sr, n_fft, n_mels, fmin, fmax);
  detail::check_mel_arguments(sr, n_fft, n_mels, fmin, fmax);
  // bin k of an odd-length frame sits at k sr / n_fft; the top bin is half a bin below sr / 2
  std::vector<double> freqs(static_cast<size_t>(n_fft / 2 + 1));
  for (size_t k = 0; k < freqs.size(); ++k) freqs[k] = static_cast<double>(k) * sr / n_fft;
  return detail::mel_bank_over(freqs, n_mels, fmin, fmax);
}

MelFrames::MelFrames(double sr, const StftParams& p, int n_mels, double fmin, double fmax)
    : p_(p), bank_(mel_filters_at_bins(sr, p.n_fft, n_mels, fmin, fmax)) {
  if (p.hop <= 0) throw FeatureError("hop length must be positive");
  const int win_length = p.win_length > 0 ? p.win_length : p.n_fft;
  if (win_length > p.n_fft) throw FeatureError("win_length must not exceed n_fft");
  window_.assign(static_cast<size_t>(p.n_fft), 0.0);
  const auto w = make_window(p.window, win_length);
  std::copy(w.begin(), w.end(), window_.begin() + (p.n_fft - win_length) / 2);
  plan_ = std::make_unique<Plan>();
  const int n = p.n_fft, bins = bank_.n_bins;
  plan_->basis.resize(n, 2 * bins);
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < bins; ++k) {
      // the angle reduced to one turn first: i k can be large, and (i k mod n) is exact
      const double a = 2.0 * std::numbers::pi * static_cast<double>((static_cast<long>(i) * k) % n) / n;
      plan_->basis(i, k) = window_[i] * std::cos(a);
      plan_->basis(i, bins + k) = -window_[i] * std::sin(a);
    }
  plan_->filters.resize(bins, bank_.n_mels);
  for (int m = 0; m < bank_.n_mels; ++m)
    for (int k = 0; k < bins; ++k) plan_->filters(k, m) = bank_.w[static_cast<size_t>(m) * bins + k];
}

MelFrames::~MelFrames() = default;
MelFrames::MelFrames(MelFrames&&) noexcept = default;
MelFrames& MelFrames::operator=(MelFrames&&) noexcept = default;

void MelFrames::power(Samples y, double* out) {
  const int frames = frame_count(y.size(), p_);
  const long n_fft = p_.n_fft, len = static_cast<long>(y.size()), hop = p_.hop;
  const long pad = p_.center ? n_fft / 2 : 0;
  const int bins = bank_.n_bins;
  // the signal between its zero paddings, long enough for the last frame
  std::vector<double>& x = plan_->padded;
  const long total = std::max(len + 2 * pad, (frames - 1) * hop + n_fft);
  x.assign(static_cast<size_t>(total), 0.0);
  const long used = std::min(len, total - pad);
  if (const double* d = y.f64())
    std::copy(d, d + used, x.begin() + pad);
  else
    for (long i = 0; i < used; ++i) x[pad + i] = static_cast<double>(y.f32()[i]);
  // frame t is row t of a strided view: hop samples from one row to the next
  const Eigen::Map<const RowMatrix, 0, Eigen::OuterStride<>> framed(x.data(), frames, n_fft, Eigen::OuterStride<>(hop));
  plan_->spectra.noalias() = framed * plan_->basis;
  plan_->power = plan_->spectra.leftCols(bins).array().square() + plan_->spectra.rightCols(bins).array().square();
  Eigen::Map<RowMatrix> mel(out, frames, bank_.n_mels);
  mel.noalias() = plan_->power * plan_->filters;
}

}  // namespace vemio::features

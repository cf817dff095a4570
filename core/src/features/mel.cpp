#include "vemio/features/mel.hpp"

#include <algorithm>
#include <complex>
#include <string>

#include "frames.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::features {

struct MelFrames::Plan {
  explicit Plan(int n) : fft(n), spec(static_cast<size_t>(n / 2 + 1)) {}
  vemio::fft::RealFFT<double> fft;
  std::vector<std::complex<double>> spec;
};

MelBank mel_filters_at_bins(double sr, int n_fft, int n_mels, double fmin, double fmax) {
  MelBank b = mel_filters(sr, n_fft, n_mels, fmin, fmax);  // checks the arguments
  if (n_fft % 2 == 0) return b;
  const auto mel_f = mel_frequencies(n_mels + 2, fmin, fmax);
  for (int m = 0; m < n_mels; ++m) {
    const double d0 = mel_f[m + 1] - mel_f[m], d1 = mel_f[m + 2] - mel_f[m + 1];
    const double enorm = 2.0 / (mel_f[m + 2] - mel_f[m]);
    int first = b.n_bins, last = 0;
    for (int k = 0; k < b.n_bins; ++k) {
      const double f = k * sr / n_fft;
      const double lower = (f - mel_f[m]) / d0, upper = (mel_f[m + 2] - f) / d1;
      // stored as float32, as mel_filters stores its weights
      const double w = static_cast<float>(std::max(0.0, std::min(lower, upper)) * enorm);
      b.w[static_cast<size_t>(m) * b.n_bins + k] = w;
      if (w != 0) {
        first = std::min(first, k);
        last = k + 1;
      }
    }
    b.first[m] = first < last ? first : 0;
    b.last[m] = first < last ? last : 0;
  }
  return b;
}

MelFrames::MelFrames(double sr, const StftParams& p, int n_mels, double fmin, double fmax)
    : p_(p), bank_(mel_filters_at_bins(sr, p.n_fft, n_mels, fmin, fmax)) {
  if (p.hop <= 0) throw FeatureError("hop length must be positive");
  const int win_length = p.win_length > 0 ? p.win_length : p.n_fft;
  if (win_length > p.n_fft) throw FeatureError("win_length must not exceed n_fft");
  window_.assign(static_cast<size_t>(p.n_fft), 0.0);
  const auto w = make_window(p.window, win_length);
  std::copy(w.begin(), w.end(), window_.begin() + (p.n_fft - win_length) / 2);
  frame_.assign(static_cast<size_t>(p.n_fft), 0.0);
  bins_.assign(static_cast<size_t>(bank_.n_bins), 0.0);
  plan_ = std::make_unique<Plan>(p.n_fft);
}

MelFrames::~MelFrames() = default;
MelFrames::MelFrames(MelFrames&&) noexcept = default;
MelFrames& MelFrames::operator=(MelFrames&&) noexcept = default;

void MelFrames::power(Samples y, double* out) {
  const int frames = frame_count(y.size(), p_);
  const long n_fft = p_.n_fft, len = static_cast<long>(y.size());
  const long pad = p_.center ? n_fft / 2 : 0;
  const int bands = bank_.n_mels, bins = bank_.n_bins;
  for (int t = 0; t < frames; ++t) {
    const long start = static_cast<long>(t) * p_.hop - pad;
    // samples outside the signal are the zeros of the padding
    const long lo = std::clamp(-start, 0L, n_fft), hi = std::clamp(len - start, lo, n_fft);
    std::fill(frame_.begin(), frame_.begin() + lo, 0.0);
    std::fill(frame_.begin() + hi, frame_.end(), 0.0);
    if (const double* d = y.f64())
      for (long i = lo; i < hi; ++i) frame_[i] = window_[i] * d[start + i];
    else
      for (long i = lo; i < hi; ++i) frame_[i] = window_[i] * static_cast<double>(y.f32()[start + i]);
    plan_->fft.forward(frame_, plan_->spec);
    detail::spectrum_power(plan_->spec.data(), bins_.data(), bins, 2.0);
    double* row = out + static_cast<size_t>(t) * bands;
    for (int b = 0; b < bands; ++b) {
      const double* w = &bank_.w[static_cast<size_t>(b) * bins];
      double acc = 0;
      for (int k = bank_.first[b]; k < bank_.last[b]; ++k) acc += w[k] * bins_[k];
      row[b] = acc;
    }
  }
}

}  // namespace vemio::features

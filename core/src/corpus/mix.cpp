// The numbers of one mixture: room response convolution, noise segment, gains, quantisation.
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <stdexcept>

#include "vemio/audio/audio.hpp"
#include "vemio/corpus/corpus.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::corpus {

size_t direct_path(std::span<const float> rir) {
  size_t best = 0;
  float peak = -1.0f;
  for (size_t i = 0; i < rir.size(); ++i)
    if (std::fabs(rir[i]) > peak) {
      peak = std::fabs(rir[i]);
      best = i;
    }
  return best;
}

namespace {

// Transforms are kept per thread and per length (a corpus uses few lengths).
fft::RealFFT<double>& transform(int n) {
  thread_local std::map<int, fft::RealFFT<double>> plans;
  auto it = plans.find(n);
  if (it != plans.end()) return it->second;
  if (plans.size() >= 8) plans.clear();
  return plans.emplace(n, fft::RealFFT<double>(n)).first->second;
}

size_t transform_length(size_t full) {
  size_t n = 8;
  while (n < full) n <<= 1;
  if (n > (size_t(1) << 30)) throw std::length_error("signal too long to convolve");
  return n;
}

struct Spectrum {
  std::vector<std::complex<double>> bins;
};

Spectrum spectrum(std::span<const float> x, size_t n) {
  std::vector<double> pad(n, 0.0);
  for (size_t i = 0; i < x.size(); ++i) pad[i] = x[i];
  Spectrum s;
  s.bins.resize(n / 2 + 1);
  transform(static_cast<int>(n)).forward(pad, s.bins);
  return s;
}

// samples [begin, begin + count) of the inverse transform of a * b (zero past the signal)
std::vector<double> product_range(const Spectrum& a, const Spectrum& b, size_t n, size_t full, size_t begin,
                                  size_t count) {
  std::vector<std::complex<double>> prod(a.bins.size());
  for (size_t k = 0; k < prod.size(); ++k) prod[k] = a.bins[k] * b.bins[k];
  std::vector<double> y(n);
  transform(static_cast<int>(n)).inverse(prod, y);
  std::vector<double> out(count, 0.0);
  for (size_t i = 0; i < count && begin + i < full; ++i) out[i] = y[begin + i];
  return out;
}

}  // namespace

std::vector<double> convolve(std::span<const float> x, std::span<const float> h, size_t begin, size_t count) {
  if (x.empty() || h.empty()) return std::vector<double>(count, 0.0);
  const size_t full = x.size() + h.size() - 1;
  const size_t n = transform_length(full);
  return product_range(spectrum(x, n), spectrum(h, n), n, full, begin, count);
}

Speech speech_of(std::span<const float> clean, std::span<const float> rir, int rate) {
  Speech s;
  if (rir.empty()) {
    s.heard.assign(clean.begin(), clean.end());
    s.target = s.heard;
    return s;
  }
  const size_t d = direct_path(rir);
  const size_t early = std::min(rir.size(), d + 1 + static_cast<size_t>(std::llround(kEarlySeconds * rate)));
  const size_t full = clean.size() + rir.size() - 1;
  const size_t n = transform_length(full);
  // one transform of the speech serves both responses
  const Spectrum x = spectrum(clean, n);
  s.heard = product_range(x, spectrum(rir, n), n, full, d, clean.size());
  s.target = product_range(x, spectrum(rir.first(early), n), n, full, d, clean.size());
  return s;
}

std::vector<double> noise_segment(std::span<const float> noise, int64_t offset, size_t length) {
  const size_t ln = noise.size();
  if (ln == 0) throw std::out_of_range("the noise has no samples");
  if (offset < 0) throw std::out_of_range("negative noise offset " + std::to_string(offset));
  const size_t off = static_cast<size_t>(offset);
  std::vector<double> seg(length);
  if (ln >= length) {
    if (off > ln - length)
      throw std::out_of_range("noise offset " + std::to_string(offset) + " out of range 0.." +
                              std::to_string(ln - length) + " for " + std::to_string(length) + " samples");
    for (size_t i = 0; i < length; ++i) seg[i] = noise[off + i];
  } else {
    if (off >= ln)
      throw std::out_of_range("noise offset " + std::to_string(offset) + " out of range 0.." + std::to_string(ln - 1) +
                              " for a noise of " + std::to_string(ln) + " samples");
    for (size_t i = 0, j = off; i < length; ++i, j = (j + 1 == ln ? 0 : j + 1)) seg[i] = noise[j];
  }
  return seg;
}

Mixture mix(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
            const std::string& what) {
  const std::vector<double>& h = speech.heard;
  const std::vector<double>& t = speech.target;
  const size_t n = h.size();
  if (t.size() != n || noise.size() != n) throw std::invalid_argument(what + ": signal lengths differ");
  if (n == 0) throw RowError(what + ": the clean speech has no samples");
  double ps = 0.0, pn = 0.0;
  for (size_t i = 0; i < n; ++i) {
    ps += h[i] * h[i];
    pn += noise[i] * noise[i];
  }
  if (!(ps > 0.0) || !std::isfinite(ps)) throw RowError(what + ": the clean speech is silent");
  if (!(pn > 0.0) || !std::isfinite(pn)) throw RowError(what + ": the noise segment is silent");

  double gc = std::isnan(level_db) ? 1.0 : std::pow(10.0, level_db / 20.0) / std::sqrt(ps / static_cast<double>(n));
  double gn = gc * std::sqrt(ps / (pn * std::pow(10.0, snr_db / 10.0)));
  auto peak_of = [&](double a, double b) {
    double p = 0.0;
    for (size_t i = 0; i < n; ++i) p = std::max({p, std::fabs(a * h[i] + b * noise[i]), std::fabs(a * t[i])});
    return p;
  };
  Mixture m;
  double peak = peak_of(gc, gn);
  if (peak > kMaxPeak) {
    const double f = kMaxPeak / peak;
    gc *= f;
    gn *= f;
    m.result.clipped_avoided = true;
    peak = peak_of(gc, gn);
  }
  m.noisy.resize(n);
  m.target.resize(n);
  double es = 0.0, en = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double s = gc * h[i], v = gn * noise[i];
    es += s * s;
    en += v * v;
    m.noisy[i] = audio::float_to_pcm16(s + v);
    m.target[i] = audio::float_to_pcm16(gc * t[i]);
  }
  m.result.clean_gain = gc;
  m.result.noise_gain = gn;
  m.result.snr_measured = 10.0 * std::log10(es / en);
  m.result.peak = peak;
  return m;
}

}  // namespace vemio::corpus

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

// Buffers of one thread, kept from one row to the next: rows of a corpus have similar sizes, and
// fresh buffers of this size cost a page fault per page.
struct Workspace {
  std::vector<double> pad, y, mixed, target;
  std::vector<std::complex<double>> x, h, prod;
};
Workspace& workspace() {
  thread_local Workspace w;
  return w;
}

void spectrum_into(std::span<const float> x, size_t n, std::vector<std::complex<double>>& bins, Workspace& w) {
  w.pad.assign(n, 0.0);
  for (size_t i = 0; i < x.size(); ++i) w.pad[i] = x[i];
  bins.resize(n / 2 + 1);
  transform(static_cast<int>(n)).forward(w.pad, bins);
}

// samples [begin, begin + count) of the inverse transform of a * b (zero past the signal)
void product_range_into(const std::vector<std::complex<double>>& a, const std::vector<std::complex<double>>& b,
                        size_t n, size_t full, size_t begin, size_t count, std::vector<double>& out, Workspace& w) {
  w.prod.resize(a.size());
  for (size_t k = 0; k < a.size(); ++k) w.prod[k] = a[k] * b[k];
  w.y.resize(n);
  transform(static_cast<int>(n)).inverse(w.prod, w.y);
  out.assign(count, 0.0);
  for (size_t i = 0; i < count && begin + i < full; ++i) out[i] = w.y[begin + i];
}

// Sums in four interleaved lanes added in a fixed order at the end: the compiler keeps the
// lanes in one vector register, and the result is the same on every machine.
template <typename Term>
double lane_sum(size_t n, Term term) {
  double a[4] = {0.0, 0.0, 0.0, 0.0};
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (size_t k = 0; k < 4; ++k) a[k] += term(i + k);
  for (size_t k = 0; i < n; ++i, ++k) a[k] += term(i);
  return (a[0] + a[1]) + (a[2] + a[3]);
}

// Largest magnitude, in lanes as above (NaN-free input).
double lane_peak(const double* x, size_t n) {
  double a[4] = {0.0, 0.0, 0.0, 0.0};
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (size_t k = 0; k < 4; ++k) {
      const double v = std::fabs(x[i + k]);
      a[k] = v > a[k] ? v : a[k];
    }
  for (; i < n; ++i) a[0] = std::max(a[0], std::fabs(x[i]));
  return std::max(std::max(a[0], a[1]), std::max(a[2], a[3]));
}

}  // namespace

std::vector<double> convolve(std::span<const float> x, std::span<const float> h, size_t begin, size_t count) {
  std::vector<double> out(count, 0.0);
  if (x.empty() || h.empty()) return out;
  const size_t full = x.size() + h.size() - 1;
  const size_t n = transform_length(full);
  Workspace& w = workspace();
  spectrum_into(x, n, w.x, w);
  spectrum_into(h, n, w.h, w);
  product_range_into(w.x, w.h, n, full, begin, count, out, w);
  return out;
}

void speech_into(std::span<const float> clean, std::span<const float> rir, int rate, Speech& s) {
  if (rir.empty()) {
    s.heard.assign(clean.begin(), clean.end());
    s.target.clear();
    return;
  }
  const size_t d = direct_path(rir);
  const size_t early = std::min(rir.size(), d + 1 + static_cast<size_t>(std::llround(kEarlySeconds * rate)));
  const size_t full = clean.size() + rir.size() - 1;
  const size_t n = transform_length(full);
  // one transform of the speech serves both responses
  Workspace& w = workspace();
  spectrum_into(clean, n, w.x, w);
  spectrum_into(rir, n, w.h, w);
  product_range_into(w.x, w.h, n, full, d, clean.size(), s.heard, w);
  spectrum_into(rir.first(early), n, w.h, w);
  product_range_into(w.x, w.h, n, full, d, clean.size(), s.target, w);
}

Speech speech_of(std::span<const float> clean, std::span<const float> rir, int rate) {
  Speech s;
  speech_into(clean, rir, rate, s);
  return s;
}

std::vector<double> noise_segment(std::span<const float> noise, int64_t offset, size_t length) {
  std::vector<double> seg;
  noise_segment_into(noise, offset, length, seg);
  return seg;
}

void noise_segment_into(std::span<const float> noise, int64_t offset, size_t length, std::vector<double>& seg) {
  const size_t ln = noise.size();
  if (ln == 0) throw std::out_of_range("the noise has no samples");
  if (offset < 0) throw std::out_of_range("negative noise offset " + std::to_string(offset));
  const size_t off = static_cast<size_t>(offset);
  seg.resize(length);
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
}

Mixture mix(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
            const std::string& what) {
  const std::vector<double>& h = speech.heard;
  const bool dry = speech.target.empty();  // the target is the heard speech itself
  const std::vector<double>& t = dry ? h : speech.target;
  const size_t n = h.size();
  if (t.size() != n || noise.size() != n) throw std::invalid_argument(what + ": signal lengths differ");
  if (n == 0) throw RowError(what + ": the clean speech has no samples");
  const double ps = lane_sum(n, [&](size_t i) { return h[i] * h[i]; });
  const double pn = lane_sum(n, [&](size_t i) { return noise[i] * noise[i]; });
  if (!(ps > 0.0) || !std::isfinite(ps)) throw RowError(what + ": the clean speech is silent");
  if (!(pn > 0.0) || !std::isfinite(pn)) throw RowError(what + ": the noise segment is silent");

  double gc = std::isnan(level_db) ? 1.0 : std::pow(10.0, level_db / 20.0) / std::sqrt(ps / static_cast<double>(n));
  double gn = gc * std::sqrt(ps / (pn * std::pow(10.0, snr_db / 10.0)));

  // the signals as written, their peak and their energies, for one pair of gains
  Workspace& w = workspace();
  std::vector<double>& mixed = w.mixed;
  std::vector<double>& target = w.target;
  mixed.resize(n);
  target.resize(n);
  double peak = 0.0, es = 0.0, en = 0.0;
  auto fill = [&] {
    for (size_t i = 0; i < n; ++i) mixed[i] = gc * h[i] + gn * noise[i];
    es = lane_sum(n, [&](size_t i) { return (gc * h[i]) * (gc * h[i]); });
    en = lane_sum(n, [&](size_t i) { return (gn * noise[i]) * (gn * noise[i]); });
    if (!dry)
      for (size_t i = 0; i < n; ++i) target[i] = gc * t[i];
    peak = std::max(lane_peak(mixed.data(), n), dry ? gc * lane_peak(h.data(), n) : lane_peak(target.data(), n));
  };
  fill();
  Mixture m;
  if (peak > kMaxPeak) {
    const double f = kMaxPeak / peak;
    gc *= f;
    gn *= f;
    m.result.clipped_avoided = true;
    fill();
  }
  if (dry) {
    for (size_t i = 0; i < n; ++i) target[i] = gc * h[i];
  }
  m.noisy = audio::pcm16_from_floats(mixed, true);
  m.target = audio::pcm16_from_floats(target, true);
  m.result.clean_gain = gc;
  m.result.noise_gain = gn;
  m.result.snr_measured = 10.0 * std::log10(es / en);
  m.result.peak = peak;
  return m;
}

}  // namespace vemio::corpus

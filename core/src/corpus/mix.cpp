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
  std::vector<double> pad, y;
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

namespace {

// Gains, checks and the 16-bit signals of one mixture, in two passes over the samples (three
// when the peak needs the gains lowered). `h` is the speech heard, `z` the noise segment, `t`
// the target (Dry: the heard speech itself); samples of either type are taken as doubles. Sums
// and peaks run in four interleaved lanes combined in a fixed order at the end: the compiler
// keeps the lanes in vector registers, and the numbers are the same on every machine.
template <bool Dry, typename H, typename N>
Result mix_core(const H* h, const N* z, const double* t, size_t n, double snr_db, double level_db,
                const std::string& what, int16_t* noisy, int16_t* target) {
  if (n == 0) throw RowError(what + ": the clean speech has no samples");
  double s4[4] = {0, 0, 0, 0}, n4[4] = {0, 0, 0, 0}, hp4[4] = {0, 0, 0, 0};
  auto powers = [&](size_t i, size_t k) {
    const double a = h[i], b = z[i];
    s4[k] += a * a;
    n4[k] += b * b;
    if constexpr (Dry) {
      const double v = std::fabs(a);
      hp4[k] = v > hp4[k] ? v : hp4[k];
    }
  };
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (size_t k = 0; k < 4; ++k) powers(i + k, k);
  for (size_t k = 0; i < n; ++i, ++k) powers(i, k);
  const double ps = (s4[0] + s4[1]) + (s4[2] + s4[3]);
  const double pn = (n4[0] + n4[1]) + (n4[2] + n4[3]);
  const double hpeak = std::max(std::max(hp4[0], hp4[1]), std::max(hp4[2], hp4[3]));
  if (!(ps > 0.0) || !std::isfinite(ps)) throw RowError(what + ": the clean speech is silent");
  if (!(pn > 0.0) || !std::isfinite(pn)) throw RowError(what + ": the noise segment is silent");

  double gc = std::isnan(level_db) ? 1.0 : std::pow(10.0, level_db / 20.0) / std::sqrt(ps / static_cast<double>(n));
  double gn = gc * std::sqrt(ps / (pn * std::pow(10.0, snr_db / 10.0)));

  // the signals as written, their peak and their energies, for one pair of gains
  double peak = 0.0, es = 0.0, en = 0.0;
  auto fill = [&] {
    double e4[4] = {0, 0, 0, 0}, f4[4] = {0, 0, 0, 0}, m4[4] = {0, 0, 0, 0}, t4[4] = {0, 0, 0, 0};
    auto one = [&](size_t j, size_t k) {
      const double a = gc * h[j], b = gn * z[j];
      const double m = a + b;
      e4[k] += a * a;
      f4[k] += b * b;
      noisy[j] = audio::float_to_pcm16(m);
      const double vm = std::fabs(m);
      m4[k] = vm > m4[k] ? vm : m4[k];
      if constexpr (Dry) {
        target[j] = audio::float_to_pcm16(a);
      } else {
        const double c = gc * t[j];
        target[j] = audio::float_to_pcm16(c);
        const double vc = std::fabs(c);
        t4[k] = vc > t4[k] ? vc : t4[k];
      }
    };
    size_t j = 0;
    for (; j + 4 <= n; j += 4)
      for (size_t k = 0; k < 4; ++k) one(j + k, k);
    for (size_t k = 0; j < n; ++j, ++k) one(j, k);
    es = (e4[0] + e4[1]) + (e4[2] + e4[3]);
    en = (f4[0] + f4[1]) + (f4[2] + f4[3]);
    const double mpeak = std::max(std::max(m4[0], m4[1]), std::max(m4[2], m4[3]));
    const double tpeak = Dry ? gc * hpeak : std::max(std::max(t4[0], t4[1]), std::max(t4[2], t4[3]));
    peak = std::max(mpeak, tpeak);
  };
  fill();
  Result r;
  if (peak > kMaxPeak) {
    const double f = kMaxPeak / peak;
    gc *= f;
    gn *= f;
    r.clipped_avoided = true;
    fill();
  }
  r.clean_gain = gc;
  r.noise_gain = gn;
  r.snr_measured = 10.0 * std::log10(es / en);
  r.peak = peak;
  return r;
}

}  // namespace

Result mix_pcm(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target) {
  const size_t n = speech.heard.size();
  const bool dry = speech.target.empty();  // the target is the heard speech itself
  if ((!dry && speech.target.size() != n) || noise.size() != n)
    throw std::invalid_argument(what + ": signal lengths differ");
  if (dry) return mix_core<true>(speech.heard.data(), noise.data(), nullptr, n, snr_db, level_db, what, noisy, target);
  return mix_core<false>(speech.heard.data(), noise.data(), speech.target.data(), n, snr_db, level_db, what, noisy,
                         target);
}

Result mix_pcm(std::span<const float> speech, std::span<const float> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target) {
  if (noise.size() != speech.size()) throw std::invalid_argument(what + ": signal lengths differ");
  return mix_core<true>(speech.data(), noise.data(), nullptr, speech.size(), snr_db, level_db, what, noisy, target);
}

Result mix_pcm(std::span<const float> speech, std::span<const double> noise, double snr_db, double level_db,
               const std::string& what, int16_t* noisy, int16_t* target) {
  if (noise.size() != speech.size()) throw std::invalid_argument(what + ": signal lengths differ");
  return mix_core<true>(speech.data(), noise.data(), nullptr, speech.size(), snr_db, level_db, what, noisy, target);
}

Mixture mix(const Speech& speech, std::span<const double> noise, double snr_db, double level_db,
            const std::string& what) {
  Mixture m;
  m.noisy.resize(speech.heard.size());
  m.target.resize(speech.heard.size());
  m.result = mix_pcm(speech, noise, snr_db, level_db, what, m.noisy.data(), m.target.data());
  return m;
}

}  // namespace vemio::corpus

// The numbers of one mixture: room response convolution, noise segment, gains, quantisation.
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <stdexcept>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Four lanes of doubles: sums and peaks keep one lane per sample index modulo 4 and combine the
// lanes in a fixed order at the end, so that the numbers are the same on every machine. A lane
// pair is one vector of two doubles (one SSE2 register; elementwise, the same arithmetic).
typedef double V2 __attribute__((vector_size(16)));
typedef int64_t V2i __attribute__((vector_size(16)));
typedef int32_t V2w __attribute__((vector_size(8)));

struct V4 {
  V2 lo{}, hi{};  // lanes 0, 1 and 2, 3
  double& operator[](size_t k) { return k < 2 ? lo[k] : hi[k - 2]; }
};

template <typename T>
[[gnu::always_inline]] inline V2 load2(const T* p) {
  return V2{static_cast<double>(p[0]), static_cast<double>(p[1])};
}
[[gnu::always_inline]] inline V2 abs2(V2 v) { return (V2)((V2i)v & (V2i){INT64_MAX, INT64_MAX}); }
[[gnu::always_inline]] inline V2 max2(V2 a, V2 b) { return a > b ? a : b; }
// audio::float_to_pcm16 on two samples up to the truncation, as minimum, maximum and a mask:
// a NaN (which the minimum turns into 32767) becomes 0, the bounds themselves stay, anything
// else is the same
[[gnu::always_inline]] inline V2 pcm_range2(V2 v) {
  const V2 s = v * 32767.0;
  V2 c = s < 32767.0 ? s : (V2){32767.0, 32767.0};
  c = c > -32768.0 ? c : (V2){-32768.0, -32768.0};
  return (V2)((V2i)c & (V2i)(v == v));
}
// four values of pcm_range2 truncated toward zero into 16 bits
[[gnu::always_inline]] inline void store_pcm4(V2 lo, V2 hi, int16_t* out) {
#if defined(__SSE2__)
  const __m128i w = _mm_unpacklo_epi64(_mm_cvttpd_epi32(__m128d(lo)), _mm_cvttpd_epi32(__m128d(hi)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(w, w));  // in range: no saturation
#else
  const V2w a = __builtin_convertvector(lo, V2w), b = __builtin_convertvector(hi, V2w);
  out[0] = static_cast<int16_t>(a[0]);
  out[1] = static_cast<int16_t>(a[1]);
  out[2] = static_cast<int16_t>(b[0]);
  out[3] = static_cast<int16_t>(b[1]);
#endif
}
inline double lanes_sum(const V4& a) { return (a.lo[0] + a.lo[1]) + (a.hi[0] + a.hi[1]); }
inline double lanes_max(const V4& a) { return std::max(std::max(a.lo[0], a.lo[1]), std::max(a.hi[0], a.hi[1])); }

// Gains, checks and the 16-bit signals of one mixture, in two passes over the samples (three
// when the peak needs the gains lowered). `h` is the speech heard, `z` the noise segment, `t`
// the target (Dry: the heard speech itself); samples of either type are taken as doubles. The
// samples past the last multiple of four go to lanes 0, 1, 2 in turn.
template <bool Dry, typename H, typename N>
Result mix_core(const H* h, const N* z, const double* t, size_t n, double snr_db, double level_db,
                const std::string& what, int16_t* noisy, int16_t* target) {
  if (n == 0) throw RowError(what + ": the clean speech has no samples");
  const size_t body = n - n % 4;
  V4 s4{}, n4{}, hp4{};
  for (size_t i = 0; i < body; i += 4) {
    const V2 a0 = load2(h + i), a1 = load2(h + i + 2), b0 = load2(z + i), b1 = load2(z + i + 2);
    s4.lo += a0 * a0;
    s4.hi += a1 * a1;
    n4.lo += b0 * b0;
    n4.hi += b1 * b1;
    if constexpr (Dry) {
      hp4.lo = max2(abs2(a0), hp4.lo);
      hp4.hi = max2(abs2(a1), hp4.hi);
    }
  }
  for (size_t i = body, k = 0; i < n; ++i, ++k) {
    const double a = h[i], b = z[i];
    s4[k] += a * a;
    n4[k] += b * b;
    if constexpr (Dry) hp4[k] = std::max(std::fabs(a), hp4[k]);
  }
  const double ps = lanes_sum(s4), pn = lanes_sum(n4), hpeak = lanes_max(hp4);
  if (!(ps > 0.0) || !std::isfinite(ps)) throw RowError(what + ": the clean speech is silent");
  if (!(pn > 0.0) || !std::isfinite(pn)) throw RowError(what + ": the noise segment is silent");

  double gc = std::isnan(level_db) ? 1.0 : std::pow(10.0, level_db / 20.0) / std::sqrt(ps / static_cast<double>(n));
  double gn = gc * std::sqrt(ps / (pn * std::pow(10.0, snr_db / 10.0)));

  // the signals as written, their peak and their energies, for one pair of gains
  double peak = 0.0, es = 0.0, en = 0.0;
  auto fill = [&] {
    V4 e4{}, f4{}, m4{}, t4{};
    const V2 vgc{gc, gc}, vgn{gn, gn};
    // samples i, i + 1 into lanes e, f, mp, tp; their 16-bit range into m and c
    auto pair = [&](size_t i, V2& e, V2& f, V2& mp, V2& tp, V2& mo, V2& co) {
      const V2 a = vgc * load2(h + i), b = vgn * load2(z + i);
      const V2 m = a + b;
      e += a * a;
      f += b * b;
      mo = pcm_range2(m);
      mp = max2(abs2(m), mp);
      if constexpr (Dry) {
        co = pcm_range2(a);
      } else {
        const V2 c = vgc * load2(t + i);
        co = pcm_range2(c);
        tp = max2(abs2(c), tp);
      }
    };
    for (size_t i = 0; i < body; i += 4) {
      V2 m0, m1, c0, c1;
      pair(i, e4.lo, f4.lo, m4.lo, t4.lo, m0, c0);
      pair(i + 2, e4.hi, f4.hi, m4.hi, t4.hi, m1, c1);
      store_pcm4(m0, m1, noisy + i);
      store_pcm4(c0, c1, target + i);
    }
    for (size_t i = body, k = 0; i < n; ++i, ++k) {
      const double a = gc * h[i], b = gn * z[i];
      const double m = a + b;
      e4[k] += a * a;
      f4[k] += b * b;
      noisy[i] = audio::float_to_pcm16(m);
      m4[k] = std::max(std::fabs(m), m4[k]);
      const double c = Dry ? a : gc * t[i];
      target[i] = audio::float_to_pcm16(c);
      if constexpr (!Dry) t4[k] = std::max(std::fabs(c), t4[k]);
    }
    es = lanes_sum(e4);
    en = lanes_sum(f4);
    peak = std::max(lanes_max(m4), Dry ? gc * hpeak : lanes_max(t4));
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

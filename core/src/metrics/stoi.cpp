// Short-time objective intelligibility, plain and extended.
//
// The pipeline: resample both signals to 10 kHz, drop the frames of the clean signal that lie
// more than 40 dB below its loudest frame (from both signals, overlap-adding the remaining
// windowed frames again), take a 512-point spectrum of 256-sample Hann frames at 50 % overlap,
// sum the power into 15 one-third-octave bands from 150 Hz, and correlate 30-frame envelopes of
// the two signals band by band (plain form, with the degraded envelope scaled to the clean
// one's energy and clipped at -15 dB signal-to-distortion) or as row- and column-normalised
// band-by-frame matrices (extended form).
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "stoi_resample.hpp"
#include "vemio/metrics/intelligibility.hpp"
#include "vemio/util/error.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::metrics {
namespace detail {
namespace {

// ---------------------------------------------------------------- dot products
// The resampler's inner loop: one filter against two signals at once (clean and degraded
// share every filter load).
void dot2_plain(const double* f, const double* a, const double* b, size_t n, double& ra, double& rb) {
  double a0 = 0, a1 = 0, b0 = 0, b1 = 0;
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    a0 += f[i] * a[i];
    a1 += f[i + 1] * a[i + 1];
    b0 += f[i] * b[i];
    b1 += f[i + 1] * b[i + 1];
  }
  if (i < n) a0 += f[i] * a[i], b0 += f[i] * b[i];
  ra = a0 + a1;
  rb = b0 + b1;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2,fma"))) double hsum(__m256d s) {
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

__attribute__((target("avx2,fma"))) void dot2_avx2(const double* f, const double* a, const double* b, size_t n,
                                                   double& ra, double& rb) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, b0 = a0, b1 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d f0 = _mm256_loadu_pd(f + i), f1 = _mm256_loadu_pd(f + i + 4);
    a0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(a + i), a0);
    b0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(b + i), b0);
    a1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(a + i + 4), a1);
    b1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(b + i + 4), b1);
  }
  if (i + 4 <= n) {
    const __m256d f0 = _mm256_loadu_pd(f + i);
    a0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(a + i), a0);
    b0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(b + i), b0);
    i += 4;
  }
  double sa = hsum(_mm256_add_pd(a0, a1)), sb = hsum(_mm256_add_pd(b0, b1));
  for (; i < n; ++i) sa += f[i] * a[i], sb += f[i] * b[i];
  ra = sa;
  rb = sb;
}

// Two outputs of the same phase (inputs a, a + stride and b, b + stride) against one filter:
// every filter load serves four products.
__attribute__((target("avx2,fma"))) void dot4_avx2(const double* f, const double* a, const double* b, size_t stride,
                                                   size_t n, double (&r)[4]) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0, d0 = a0, d1 = a0;
  const double* a2 = a + stride;
  const double* b2 = b + stride;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d f0 = _mm256_loadu_pd(f + i), f1 = _mm256_loadu_pd(f + i + 4);
    a0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(a + i), a0);
    b0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(b + i), b0);
    c0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(a2 + i), c0);
    d0 = _mm256_fmadd_pd(f0, _mm256_loadu_pd(b2 + i), d0);
    a1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(a + i + 4), a1);
    b1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(b + i + 4), b1);
    c1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(a2 + i + 4), c1);
    d1 = _mm256_fmadd_pd(f1, _mm256_loadu_pd(b2 + i + 4), d1);
  }
  double sa = hsum(_mm256_add_pd(a0, a1)), sb = hsum(_mm256_add_pd(b0, b1));
  double sc = hsum(_mm256_add_pd(c0, c1)), sd = hsum(_mm256_add_pd(d0, d1));
  for (; i < n; ++i) sa += f[i] * a[i], sb += f[i] * b[i], sc += f[i] * a2[i], sd += f[i] * b2[i];
  r[0] = sa, r[1] = sb, r[2] = sc, r[3] = sd;
}

bool have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#else
bool have_avx2() { return false; }
#endif

void dot4_plain(const double* f, const double* a, const double* b, size_t stride, size_t n, double (&r)[4]) {
  dot2_plain(f, a, b, n, r[0], r[1]);
  dot2_plain(f, a + stride, b + stride, n, r[2], r[3]);
}

struct Kernels {
  void (*dot2)(const double*, const double*, const double*, size_t, double&, double&);
  void (*dot4)(const double*, const double*, const double*, size_t, size_t, double (&)[4]);
};
Kernels pick_kernels() {
#if defined(__x86_64__) && defined(__GNUC__)
  if (have_avx2()) return {dot2_avx2, dot4_avx2};
#endif
  return {dot2_plain, dot4_plain};
}

// Modified Bessel function of the first kind, order 0, by its power series (all terms are
// positive, so it is accurate to rounding for the Kaiser parameters used here).
double bessel_i0(double x) {
  const double q = 0.25 * x * x;
  double term = 1.0, sum = 1.0;
  for (int k = 1; k < 500; ++k) {
    term *= q / (double(k) * double(k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

}  // namespace

double KaiserResampler::tap_count(int up, int down) {
  const double stopband = 1.0 / (2.0 * std::max(up, down));
  const double roll_off = stopband / 10.0;
  const double rejection_db = 60.0;
  return 2.0 * std::ceil((rejection_db - 8.0) / (28.714 * roll_off)) + 1.0;
}

std::vector<double> KaiserResampler::design(int up, int down) {
  // Anti-aliasing low-pass at the up-sampled rate: cut-off at the lower of the two Nyquist
  // frequencies, Kaiser window for 60 dB of rejection.
  const double stopband = 1.0 / (2.0 * std::max(up, down));
  const double roll_off = stopband / 10.0;
  const double rejection_db = 60.0;
  const long half = static_cast<long>(std::ceil((rejection_db - 8.0) / (28.714 * roll_off)));
  const double beta = 0.1102 * (rejection_db - 8.7);
  const double i0_beta = bessel_i0(beta);
  std::vector<double> h(static_cast<size_t>(2 * half + 1));
  for (long n = 0; n <= 2 * half; ++n) {
    const double t = double(n - half);
    const double arg = std::numbers::pi * (t == 0.0 ? 1e-20 : 2.0 * stopband * t);
    const double ideal = 2.0 * up * stopband * (std::sin(arg) / arg);
    const double r = (double(n) - double(half)) / double(half);
    const double window = bessel_i0(beta * std::sqrt(1.0 - r * r)) / i0_beta;
    h[size_t(n)] = window * ideal;
  }
  return h;
}

KaiserResampler::KaiserResampler(int from_rate, int to_rate) {
  const int g = std::gcd(from_rate, to_rate);
  up_ = to_rate / g;
  down_ = from_rate / g;
  if (up_ == 1 && down_ == 1) return;
  std::vector<double> h = design(up_, down_);
  half_ = static_cast<int>((h.size() - 1) / 2);
  const double gain = double(up_) / std::accumulate(h.begin(), h.end(), 0.0);
  // Phase p holds the taps p, p + up, p + 2 up, ... reversed.
  phases_.resize(size_t(up_));
  for (int p = 0; p < up_; ++p) {
    auto& f = phases_[size_t(p)];
    for (size_t j = size_t(p); j < h.size(); j += size_t(up_)) f.push_back(h[j] * gain);
    std::reverse(f.begin(), f.end());
  }
}

size_t KaiserResampler::output_length(size_t n) const {
  const size_t up = size_t(up_), down = size_t(down_);
  return (n * up + down - 1) / down;
}

std::vector<double> KaiserResampler::operator()(std::span<const double> x) const {
  std::vector<double> out, unused;
  resample_pair(x, std::span<const double>(), out, unused);
  return out;
}

void KaiserResampler::resample_pair(std::span<const double> a, std::span<const double> b, std::vector<double>& out_a,
                                    std::vector<double>& out_b) const {
  const bool two = !b.empty();
  if (up_ == 1 && down_ == 1) {
    out_a.assign(a.begin(), a.end());
    out_b.assign(b.begin(), b.end());
    return;
  }
  static const Kernels kernels = pick_kernels();
  const long n = long(a.size());
  const size_t outputs = output_length(a.size());
  out_a.resize(outputs);
  out_b.resize(two ? outputs : 0);
  const double* pb = two ? b.data() : a.data();
  // Output k sits at position k * down + half of the up-sampled, filtered signal: the sum of
  // x[q - m] * tap(phase + m * up) with q, phase the quotient and remainder of that position.
  // Outputs k and k + up share the phase and lie `down` input samples apart.
  const auto first_input = [&](size_t k, const std::vector<double>*& f) {
    const long t = long(k) * down_ + half_;
    f = &phases_[size_t(t % up_)];
    return t / up_ - long(f->size()) + 1;  // input index of the filter's first (reversed) tap
  };
  const auto single = [&](size_t k) {
    const std::vector<double>* f;
    const long first = first_input(k, f);
    const long skip = first < 0 ? -first : 0;
    const long last = std::min(first + long(f->size()) - 1, n - 1);
    const long count = last - (first + skip) + 1;
    double ra = 0.0, rb = 0.0;
    if (count > 0) kernels.dot2(f->data() + skip, a.data() + first + skip, pb + first + skip, size_t(count), ra, rb);
    out_a[k] = ra;
    if (two) out_b[k] = rb;
  };
  const size_t up = size_t(up_);
  for (size_t base = 0; base < outputs; base += 2 * up) {
    for (size_t k = base; k < base + up && k < outputs; ++k) {
      const size_t k2 = k + up;
      const std::vector<double>* f;
      const long first = first_input(k, f);
      if (k2 < outputs && first >= 0 && first + long(f->size()) + down_ <= n) {
        double r[4];
        kernels.dot4(f->data(), a.data() + first, pb + first, size_t(down_), f->size(), r);
        out_a[k] = r[0], out_a[k2] = r[2];
        if (two) out_b[k] = r[1], out_b[k2] = r[3];
      } else {
        single(k);
        if (k2 < outputs) single(k2);
      }
    }
  }
}

}  // namespace detail

namespace {

constexpr int kRate = 10000;      // the measure's own sampling rate
constexpr int kFrame = 256;       // frame length
constexpr int kHop = kFrame / 2;  // 50 % overlap
constexpr int kFFT = 512;         // zero-padded spectrum
constexpr int kBins = kFFT / 2 + 1;
constexpr int kBands = 15;  // one-third octave bands
constexpr double kLowestCentre = 150.0;
constexpr int kSegment = 30;  // frames per short-time envelope (384 ms)
constexpr double kDynamicRange = 40.0;
constexpr double kBetaDb = -15.0;  // lower bound of the signal-to-distortion ratio
constexpr double kEps = std::numeric_limits<double>::epsilon();

// Hann window of 256 points without its zero end points.
std::vector<double> frame_window() {
  std::vector<double> w(kFrame);
  for (int i = 0; i < kFrame; ++i) w[size_t(i)] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (i + 1) / (kFrame + 1));
  return w;
}

// Number of frames starting at 0, hop, ... strictly before len - frame.
size_t frame_count(size_t len) { return len > size_t(kFrame) ? (len - kFrame + kHop - 1) / kHop : 0; }

// First and one-past-last spectrum bin of each band: the bins nearest the band edges.
struct Band {
  int lo, hi;
};
std::vector<Band> band_bins() {
  std::vector<Band> bands(kBands);
  const auto nearest = [](double freq) {
    int best = 0;
    double best_d = std::numeric_limits<double>::infinity();
    for (int k = 0; k < kBins; ++k) {
      const double d = (k * (double(kRate) / kFFT) - freq) * (k * (double(kRate) / kFFT) - freq);
      if (d < best_d) best_d = d, best = k;
    }
    return best;
  };
  for (int b = 0; b < kBands; ++b) {
    bands[size_t(b)].lo = nearest(kLowestCentre * std::pow(2.0, (2.0 * b - 1.0) / 6.0));
    bands[size_t(b)].hi = nearest(kLowestCentre * std::pow(2.0, (2.0 * b + 1.0) / 6.0));
  }
  return bands;
}

// Band envelopes, band-major (env[b * frames + j]), of the signal re-synthesised from the kept
// frames: their windowed samples overlap-added at half a frame's hop. Spectrum frame j of that
// signal is made of kept frame j and, in its first half, the end of kept frame j - 1, in its
// second half, the start of kept frame j + 1; it is built here directly, without the signal.
std::vector<double> band_envelopes(std::span<const double> x, const std::vector<size_t>& kept,
                                   const std::vector<double>& w, const std::vector<Band>& bands,
                                   fft::RealFFT<double>& fft) {
  const size_t frames = kept.size() - 1;
  std::vector<double> env(size_t(kBands) * frames), buf(kFFT, 0.0), power(kBins);
  std::vector<std::complex<double>> spec(kBins);
  for (size_t j = 0; j < frames; ++j) {
    const double* cur = x.data() + kept[j] * kHop;
    const double* next = x.data() + kept[j + 1] * kHop;
    const double* prev = j > 0 ? x.data() + kept[j - 1] * kHop : nullptr;
    for (int i = 0; i < kHop; ++i) {
      const double tail = prev ? w[size_t(i + kHop)] * prev[i + kHop] : 0.0;
      buf[size_t(i)] = w[size_t(i)] * (w[size_t(i)] * cur[i] + tail);
    }
    for (int i = kHop; i < kFrame; ++i)
      buf[size_t(i)] = w[size_t(i)] * (w[size_t(i)] * cur[i] + w[size_t(i - kHop)] * next[i - kHop]);
    fft.forward(buf, spec);
    for (int k = 0; k < kBins; ++k) power[size_t(k)] = std::norm(spec[size_t(k)]);
    for (int b = 0; b < kBands; ++b) {
      double acc = 0.0;
      for (int k = bands[size_t(b)].lo; k < bands[size_t(b)].hi; ++k) acc += power[size_t(k)];
      env[size_t(b) * frames + j] = std::sqrt(acc);
    }
  }
  return env;
}

double norm(const double* x, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += x[i] * x[i];
  return std::sqrt(s);
}

double mean(const double* x, int n) {
  double s = 0.0;
  for (int i = 0; i < n; ++i) s += x[i];
  return s / n;
}

// Plain form: mean over segments and bands of the correlation between the clean envelope and
// the degraded one, scaled to equal energy and clipped. The energies and the clean sum of each
// 30-frame segment come from running sums over the band (differences of prefix sums; the
// envelopes span at most 40 dB, so the differences keep their precision). Lanes of kLanes
// consecutive segments of a band then run side by side (each lane sums in the same order as
// a lone segment would), so the compiler can keep them in vector registers.
constexpr int kLanes = 4;

struct WindowSums {
  std::vector<double> xx, yy, xsum;  // per segment
};

void window_sums(const double* x, const double* y, size_t segments, WindowSums& w) {
  w.xx.resize(segments), w.yy.resize(segments), w.xsum.resize(segments);
  double px = 0.0, py = 0.0, ps = 0.0;  // prefix sums up to the segment's first frame
  double qx = 0.0, qy = 0.0, qs = 0.0;  // ... and up to its end
  for (int t = 0; t < kSegment; ++t) qx += x[t] * x[t], qy += y[t] * y[t], qs += x[t];
  for (size_t m = 0; m < segments; ++m) {
    w.xx[m] = qx - px, w.yy[m] = qy - py, w.xsum[m] = qs - ps;
    if (m + 1 == segments) break;
    px += x[m] * x[m], py += y[m] * y[m], ps += x[m];
    const double xn = x[m + kSegment], yn = y[m + kSegment];
    qx += xn * xn, qy += yn * yn, qs += xn;
  }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
double
plain_band_sum(const double* x, const double* y, const WindowSums& ws, size_t segments, double clip) {
  double total = 0.0;
  size_t m = 0;
  for (; m + kLanes <= segments; m += kLanes) {
    double ysum[kLanes] = {}, c[kLanes] = {}, qy[kLanes] = {}, qx[kLanes] = {}, scale[kLanes], mx[kLanes], my[kLanes];
    double ys[kSegment][kLanes];
    for (int l = 0; l < kLanes; ++l) {
      scale[l] = std::sqrt(std::max(ws.xx[m + l], 0.0)) / (std::sqrt(std::max(ws.yy[m + l], 0.0)) + kEps);
      mx[l] = ws.xsum[m + l] / kSegment;
    }
    for (int t = 0; t < kSegment; ++t)
      for (int l = 0; l < kLanes; ++l) {
        ys[t][l] = std::min(y[m + size_t(l + t)] * scale[l], x[m + size_t(l + t)] * clip);
        ysum[l] += ys[t][l];
      }
    for (int l = 0; l < kLanes; ++l) my[l] = ysum[l] / kSegment;
    for (int t = 0; t < kSegment; ++t)
      for (int l = 0; l < kLanes; ++l) {
        const double dy = ys[t][l] - my[l], dx = x[m + size_t(l + t)] - mx[l];
        c[l] += dy * dx, qy[l] += dy * dy, qx[l] += dx * dx;
      }
    for (int l = 0; l < kLanes; ++l) total += c[l] / ((std::sqrt(qy[l]) + kEps) * (std::sqrt(qx[l]) + kEps));
  }
  for (; m < segments; ++m) {
    const double* xs = x + m;
    const double* ysrc = y + m;
    const double scale = std::sqrt(std::max(ws.xx[m], 0.0)) / (std::sqrt(std::max(ws.yy[m], 0.0)) + kEps);
    double ys[kSegment], ysum = 0.0;
    for (int t = 0; t < kSegment; ++t) ys[t] = std::min(ysrc[t] * scale, xs[t] * clip), ysum += ys[t];
    const double my = ysum / kSegment, mx = ws.xsum[m] / kSegment;
    double c = 0.0, qy = 0.0, qx = 0.0;
    for (int t = 0; t < kSegment; ++t) {
      const double dy = ys[t] - my, dx = xs[t] - mx;
      c += dy * dx, qy += dy * dy, qx += dx * dx;
    }
    total += c / ((std::sqrt(qy) + kEps) * (std::sqrt(qx) + kEps));
  }
  return total;
}

double correlate_plain(const std::vector<double>& ex, const std::vector<double>& ey, size_t frames) {
  const double clip = 1.0 + std::pow(10.0, -kBetaDb / 20.0);
  const size_t segments = frames - kSegment + 1;
  double total = 0.0;
  WindowSums ws;
  for (int b = 0; b < kBands; ++b) {
    const double* x = ex.data() + size_t(b) * frames;
    const double* y = ey.data() + size_t(b) * frames;
    window_sums(x, y, segments, ws);
    total += plain_band_sum(x, y, ws, segments, clip);
  }
  return total / (double(segments) * kBands);
}

// Rows (bands) then columns (frames) of a band-by-frame segment to zero mean and unit norm. A
// row or column with no variation at all stays zero instead of dividing by zero.
void normalise_rows_columns(double (&s)[kBands][kSegment]) {
  for (auto& row : s) {
    const double m = mean(row, kSegment);
    for (double& v : row) v -= m;
    const double n = norm(row, kSegment);
    if (n > 0.0) {
      const double inv = 1.0 / n;
      for (double& v : row) v *= inv;
    }
  }
  for (int t = 0; t < kSegment; ++t) {
    double m = 0.0, q = 0.0;
    for (const auto& row : s) m += row[t];
    m /= kBands;
    for (auto& row : s) row[t] -= m, q += row[t] * row[t];
    if (q > 0.0) {
      const double inv = 1.0 / std::sqrt(q);
      for (auto& row : s) row[t] *= inv;
    }
  }
}

// Extended form: mean over segments of the correlation of the normalised matrices, per frame.
double correlate_extended(const std::vector<double>& ex, const std::vector<double>& ey, size_t frames) {
  const size_t segments = frames - kSegment + 1;
  double total = 0.0;
  double xs[kBands][kSegment], ys[kBands][kSegment];
  for (size_t m = 0; m < segments; ++m) {
    for (int b = 0; b < kBands; ++b) {
      std::copy_n(ex.data() + size_t(b) * frames + m, kSegment, xs[b]);
      std::copy_n(ey.data() + size_t(b) * frames + m, kSegment, ys[b]);
    }
    normalise_rows_columns(xs);
    normalise_rows_columns(ys);
    double c = 0.0;
    for (int b = 0; b < kBands; ++b)
      for (int t = 0; t < kSegment; ++t) c += xs[b][t] * ys[b][t];
    total += c / kSegment;
  }
  return total / double(segments);
}

}  // namespace

double stoi(std::span<const double> clean, std::span<const double> degraded, int rate, bool extended) {
  if (clean.empty()) throw Error("stoi: the clean signal is empty.");
  if (degraded.empty()) throw Error("stoi: the degraded signal is empty.");
  if (rate <= 0) throw Error("stoi: the sampling rate must be positive, got " + std::to_string(rate) + ".");
  const size_t n = std::min(clean.size(), degraded.size());
  clean = clean.first(n);
  degraded = degraded.first(n);
  // One pass per signal: every sample finite (and, for the clean one, not all of them zero).
  const auto scan = [](std::span<const double> x, bool& finite) {
    bool bad = false, any = false;
    for (double v : x) {
      const double a = std::abs(v);
      bad |= !(a <= std::numeric_limits<double>::max());
      any |= a > 0.0;
    }
    finite = !bad;
    return any;
  };
  bool finite_clean, finite_degraded;
  const bool audible = scan(clean, finite_clean);
  scan(degraded, finite_degraded);
  if (!finite_clean) throw Error("stoi: the clean signal has non-finite samples.");
  if (!finite_degraded) throw Error("stoi: the degraded signal has non-finite samples.");
  if (!audible) throw Error("stoi: the clean signal is all zeros, so the measure is undefined.");
  {
    const int g = std::gcd(rate, kRate);
    if (detail::KaiserResampler::tap_count(kRate / g, rate / g) > double(1 << 25))
      throw Error("stoi: the sampling rate " + std::to_string(rate) +
                  " Hz is not supported: its ratio to 10000 Hz would need a resampling filter too long to hold.");
  }

  // Both signals at 10 kHz (as they are when they come at that rate). The resampled signals
  // go to buffers kept per thread: fresh ones of this size cost a page fault per 4 kB on
  // every call, a tenth of the measure's time. Buffers of long files are let go.
  thread_local std::vector<double> xr, yr;
  struct Release {
    ~Release() {
      constexpr size_t kKeep = size_t(1) << 21;  // 16 MB each
      if (xr.capacity() > kKeep) std::vector<double>().swap(xr), std::vector<double>().swap(yr);
    }
  } release;
  std::span<const double> x = clean, y = degraded;
  if (rate != kRate) {
    const detail::KaiserResampler resample(rate, kRate);
    resample.resample_pair(clean, degraded, xr, yr);
    x = xr, y = yr;
  }

  // Silent frames: more than 40 dB below the loudest frame of the clean signal.
  const std::vector<double> w = frame_window();
  const size_t frames = frame_count(x.size());
  if (frames == 0)
    throw Error("stoi: the signals are too short: " + std::to_string(n) +
                " samples hold no full frame of 25.6 ms once resampled to 10 kHz.");
  std::vector<double> energy_db(frames);
  for (size_t f = 0; f < frames; ++f) {
    // four interleaved sums, so that the loop runs in vector registers
    double e4[4] = {};
    const double* xf = x.data() + f * kHop;
    for (int i = 0; i < kFrame; i += 4)
      for (int l = 0; l < 4; ++l) {
        const double v = w[size_t(i + l)] * xf[i + l];
        e4[l] += v * v;
      }
    const double e = (e4[0] + e4[1]) + (e4[2] + e4[3]);
    energy_db[f] = 20.0 * std::log10(std::sqrt(e) + kEps);
  }
  const double loudest = *std::max_element(energy_db.begin(), energy_db.end());
  std::vector<size_t> kept;
  for (size_t f = 0; f < frames; ++f)
    if (loudest - kDynamicRange - energy_db[f] < 0.0) kept.push_back(f);

  // The kept frames make one spectrum frame fewer once overlap-added again.
  const size_t spectra = kept.size() - 1;
  if (spectra < size_t(kSegment))
    throw Error("stoi: only " + std::to_string(spectra) +
                " frames remain once the silent frames of the clean signal are removed; at least " +
                std::to_string(kSegment) + " (about 0.4 s of speech) are needed.");

  fft::RealFFT<double> fft(kFFT);
  const std::vector<Band> bands = band_bins();
  const std::vector<double> ex = band_envelopes(x, kept, w, bands, fft);
  const std::vector<double> ey = band_envelopes(y, kept, w, bands, fft);
  return extended ? correlate_extended(ex, ey, spectra) : correlate_plain(ex, ey, spectra);
}

}  // namespace vemio::metrics

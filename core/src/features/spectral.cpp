#include "vemio/features/spectral.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <utility>

#include "frames.hpp"
#include "vemio/util/fft.hpp"
#include "vemio/util/pool.hpp"

namespace vemio::features {

void check_fft_length(long n, const char* what) {
  if (n <= 0) throw FeatureError(std::string(what) + " must be positive, got " + std::to_string(n));
  if (n > kMaxFftLength)
    throw FeatureError(std::string(what) + "=" + std::to_string(n) + " is larger than the supported " +
                       std::to_string(kMaxFftLength));
}

void check_result_size(size_t rows, size_t cols, const char* what) {
  if (cols != 0 && rows > kMaxValues / cols)
    throw FeatureError(std::string(what) + " would hold " + std::to_string(rows) + " x " + std::to_string(cols) +
                       " values, more than the supported " + std::to_string(kMaxValues) +
                       "; use a larger hop or a shorter signal");
}

std::vector<double> make_window(Window w, int n) {
  check_fft_length(n, "window length");
  std::vector<double> out(static_cast<size_t>(n), 1.0);
  if (n == 1) return out;
  const double a = w == Window::Hann ? 0.5 : 0.54;
  for (int k = 0; k < n; ++k) out[k] = a - (1.0 - a) * std::cos(2.0 * std::numbers::pi * k / n);
  return out;
}

int frame_count(size_t length, const StftParams& p) {
  check_fft_length(p.n_fft, "n_fft");
  if (p.hop <= 0) throw FeatureError("hop length must be positive");
  if (length == 0) throw FeatureError("the signal is empty");
  size_t padded = length + (p.center ? 2 * static_cast<size_t>(p.n_fft / 2) : 0);
  if (padded < static_cast<size_t>(p.n_fft))
    throw FeatureError("n_fft=" + std::to_string(p.n_fft) + " is too large for a signal of length " +
                       std::to_string(length));
  size_t n = 1 + (padded - p.n_fft) / p.hop;
  check_result_size(n, static_cast<size_t>(p.n_fft / 2 + 1), "the spectrogram");
  return static_cast<int>(n);
}

void check_audio(Samples y) {
  if (y.empty()) throw FeatureError("the signal is empty");
  // A value is NaN or infinite exactly when its exponent bits are all set; adding one to an
  // all-ones exponent carries into the top bit, and only then. Integer arithmetic on the bits
  // vectorises where std::isfinite does not.
  std::uint64_t bad = 0;
  const size_t n = y.size();
  if (const double* p = y.f64()) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000ull, one = 0x0010000000000000ull;
    for (size_t i = 0; i < n; ++i) bad |= (std::bit_cast<std::uint64_t>(p[i]) & exponent) + one;
    bad >>= 63;
  } else {
    const float* q = y.f32();
    constexpr std::uint32_t exponent = 0x7f800000u, one = 0x00800000u;
    std::uint32_t b = 0;
    for (size_t i = 0; i < n; ++i) b |= (std::bit_cast<std::uint32_t>(q[i]) & exponent) + one;
    bad = b >> 31;
  }
  if (bad) throw FeatureError("the signal is not finite everywhere (NaN or infinity)");
}

namespace detail {

// Feature kernels are memory-bound beyond four threads.
void parallel_for(int n, int grain, const std::function<void(int, int)>& body) {
  if (n <= 0) return;
  util::parallel_for(static_cast<size_t>(n), static_cast<size_t>(std::max(grain, 1)), 4,
                     [&](size_t b, size_t e) { body(static_cast<int>(b), static_cast<int>(e)); });
}

namespace {

__attribute__((target_clones("avx2", "default"))) void windowed(const double* w, const double* x, double* out, long n) {
  for (long i = 0; i < n; ++i) out[i] = w[i] * x[i];
}
__attribute__((target_clones("avx2", "default"))) void windowed(const double* w, const float* x, double* out, long n) {
  for (long i = 0; i < n; ++i) out[i] = w[i] * static_cast<double>(x[i]);
}

// Transform plans cost thousands of sines and cosines to build; finished plans wait here for
// the next call instead of being rebuilt by every worker of every call.
class PlanPool {
 public:
  std::unique_ptr<vemio::fft::RealFFT<double>> take(int n) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto it = free_.begin(); it != free_.end(); ++it)
        if (it->first == n) {
          auto plan = std::move(it->second);
          free_.erase(it);
          return plan;
        }
    }
    return std::make_unique<vemio::fft::RealFFT<double>>(n);
  }
  void give_back(int n, std::unique_ptr<vemio::fft::RealFFT<double>> plan) {
    std::lock_guard<std::mutex> lock(mu_);
    if (free_.size() >= kKeep) free_.erase(free_.begin());  // the oldest plan goes
    free_.emplace_back(n, std::move(plan));
  }

 private:
  static constexpr size_t kKeep = 8;
  std::mutex mu_;
  std::vector<std::pair<int, std::unique_ptr<vemio::fft::RealFFT<double>>>> free_;
};

PlanPool& plans() {
  static PlanPool* pool = new PlanPool;  // never destroyed: workers may outlive static teardown
  return *pool;
}

}  // namespace

void for_each_spectrum(Samples y, const StftParams& p, int frames,
                       const std::function<void(int, std::span<const std::complex<double>>)>& fn) {
  const int n_fft = p.n_fft;
  const int win_length = p.win_length > 0 ? p.win_length : n_fft;
  if (win_length > n_fft) throw FeatureError("win_length must not exceed n_fft");
  // the window is zero outside [w0, w1), so only that part of a frame is ever read
  const long w0 = (n_fft - win_length) / 2, w1 = w0 + win_length;
  std::vector<double> win(static_cast<size_t>(n_fft), 0.0);
  {
    auto w = make_window(p.window, win_length);
    std::copy(w.begin(), w.end(), win.begin() + w0);
  }
  const long pad = p.center ? n_fft / 2 : 0;
  const long len = static_cast<long>(y.size());
  parallel_for(frames, 64, [&](int begin, int end) {
    auto fft = plans().take(n_fft);
    std::vector<double> buf(static_cast<size_t>(n_fft), 0.0);
    std::vector<std::complex<double>> spec(static_cast<size_t>(n_fft / 2 + 1));
    long zero_lo = 0, zero_hi = n_fft;  // buf[zero_lo, zero_hi) may hold samples of the last frame
    for (int t = begin; t < end; ++t) {
      const long start = static_cast<long>(t) * p.hop - pad;
      const long lo = std::max(w0, -start), hi = std::max(lo, std::min<long>(w1, len - start));
      // clear what the previous frame wrote outside this frame's samples
      if (zero_lo < lo) std::fill(buf.begin() + zero_lo, buf.begin() + std::min(lo, zero_hi), 0.0);
      if (hi < zero_hi) std::fill(buf.begin() + std::max(hi, zero_lo), buf.begin() + zero_hi, 0.0);
      if (lo < hi) {
        if (y.f64())
          windowed(win.data() + lo, y.f64() + (start + lo), buf.data() + lo, hi - lo);
        else
          windowed(win.data() + lo, y.f32() + (start + lo), buf.data() + lo, hi - lo);
      }
      zero_lo = lo;
      zero_hi = hi;
      fft->forward(buf, spec);
      fn(t, spec);
    }
    plans().give_back(n_fft, std::move(fft));
  });
}

// |X[k]| ** power for k < n, without hypot's overflow guard (which spectra of bounded samples
// never need). Built for AVX2 as well, picked at run time: square roots of four doubles at once
// are most of the cost of a magnitude spectrogram after the transform.
__attribute__((target_clones("avx2", "default"))) void spectrum_power(const std::complex<double>* X, double* out, int n,
                                                                      double power) {
  const double* z = reinterpret_cast<const double*>(X);
  if (power == 1.0) {
    for (int k = 0; k < n; ++k) out[k] = std::sqrt(z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1]);
  } else if (power == 2.0) {
    for (int k = 0; k < n; ++k) out[k] = z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1];
  } else {
    for (int k = 0; k < n; ++k) out[k] = std::pow(std::sqrt(z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1]), power);
  }
}

}  // namespace detail

std::vector<std::complex<double>> stft(Samples y, const StftParams& p, int* frames_out) {
  check_audio(y);
  int frames = frame_count(y.size(), p);
  const int bins = p.n_fft / 2 + 1;
  std::vector<std::complex<double>> out(static_cast<size_t>(frames) * bins);
  detail::for_each_spectrum(y, p, frames, [&](int t, std::span<const std::complex<double>> X) {
    std::copy(X.begin(), X.begin() + bins, out.begin() + static_cast<size_t>(t) * bins);
  });
  if (frames_out) *frames_out = frames;
  return out;
}

FrameMatrix spectrogram(Samples y, const StftParams& p, double power) {
  check_audio(y);
  FrameMatrix m;
  m.frames = frame_count(y.size(), p);
  m.bins = p.n_fft / 2 + 1;
  m.v.resize(static_cast<size_t>(m.frames) * m.bins);
  detail::for_each_spectrum(y, p, m.frames, [&](int t, std::span<const std::complex<double>> X) {
    detail::spectrum_power(X.data(), &m.v[static_cast<size_t>(t) * m.bins], m.bins, power);
  });
  return m;
}

namespace {
constexpr double kFsp = 200.0 / 3;
constexpr double kMinLogHz = 1000.0;
constexpr double kMinLogMel = kMinLogHz / kFsp;
const double kLogStep = std::log(6.4) / 27.0;
}  // namespace

double hz_to_mel(double hz) {
  double mel = hz / kFsp;
  if (hz >= kMinLogHz) mel = kMinLogMel + std::log(hz / kMinLogHz) / kLogStep;
  return mel;
}

double mel_to_hz(double mel) {
  double hz = kFsp * mel;
  if (mel >= kMinLogMel) hz = kMinLogHz * std::exp(kLogStep * (mel - kMinLogMel));
  return hz;
}

std::vector<double> mel_frequencies(int n, double fmin, double fmax) {
  std::vector<double> out(static_cast<size_t>(std::max(n, 0)));
  const double lo = hz_to_mel(fmin), hi = hz_to_mel(fmax);
  if (n == 1) {
    out[0] = mel_to_hz(lo);
    return out;
  }
  // numpy.linspace: start + i * step, the last point exactly `hi`
  const double step = (hi - lo) / (n - 1);
  for (int i = 0; i < n; ++i) out[i] = mel_to_hz(i == n - 1 ? hi : lo + i * step);
  return out;
}

std::vector<double> fft_frequencies(double sr, int n_fft) {
  const int bins = n_fft / 2 + 1;
  std::vector<double> f(static_cast<size_t>(bins));
  const double hi = sr / 2;
  if (bins == 1) {
    f[0] = 0;
    return f;
  }
  const double step = hi / (bins - 1);
  for (int k = 0; k < bins; ++k) f[k] = k == bins - 1 ? hi : k * step;
  return f;
}

namespace detail {

// Triangular mel filters (Slaney normalisation, weights stored as float32) over bins at
// `bin_freqs` Hz; the arguments are those mel_filters checks.
MelBank mel_bank_over(const std::vector<double>& bin_freqs, int n_mels, double fmin, double fmax) {
  MelBank b;
  b.n_mels = n_mels;
  b.n_bins = static_cast<int>(bin_freqs.size());
  b.w.assign(static_cast<size_t>(n_mels) * b.n_bins, 0.0);
  b.first.assign(n_mels, 0);
  b.last.assign(n_mels, 0);
  const auto mel_f = mel_frequencies(n_mels + 2, fmin, fmax);
  for (int m = 0; m < n_mels; ++m) {
    const double d0 = mel_f[m + 1] - mel_f[m], d1 = mel_f[m + 2] - mel_f[m + 1];
    const double enorm = 2.0 / (mel_f[m + 2] - mel_f[m]);
    int first = b.n_bins, last = 0;
    for (int k = 0; k < b.n_bins; ++k) {
      const double lower = -(mel_f[m] - bin_freqs[k]) / d0;
      const double upper = (mel_f[m + 2] - bin_freqs[k]) / d1;
      double w = std::max(0.0, std::min(lower, upper)) * enorm;
      w = static_cast<double>(static_cast<float>(w));
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

void check_mel_arguments(double sr, int n_fft, int n_mels, double fmin, double fmax) {
  if (!(sr > 0)) throw FeatureError("sampling rate must be positive");
  check_fft_length(n_fft, "n_fft");
  if (n_mels <= 0) throw FeatureError("n_mels must be positive");
  check_result_size(static_cast<size_t>(n_mels), static_cast<size_t>(n_fft / 2 + 1), "the mel filter bank");
  if (!(fmin >= 0) || !(fmax > fmin)) throw FeatureError("mel band limits must satisfy 0 <= fmin < fmax");
}

}  // namespace detail

MelBank mel_filters(double sr, int n_fft, int n_mels, double fmin, double fmax) {
  detail::check_mel_arguments(sr, n_fft, n_mels, fmin, fmax);
  return detail::mel_bank_over(fft_frequencies(sr, n_fft), n_mels, fmin, fmax);
}

FrameMatrix mel_spectrogram(Samples y, double sr, const StftParams& p, int n_mels, double fmin, double fmax) {
  check_audio(y);
  const MelBank bank = mel_filters(sr, p.n_fft, n_mels, fmin, fmax);
  FrameMatrix m;
  m.frames = frame_count(y.size(), p);
  check_result_size(static_cast<size_t>(m.frames), static_cast<size_t>(n_mels), "the mel spectrogram");
  m.bins = n_mels;
  m.v.resize(static_cast<size_t>(m.frames) * n_mels);
  const int bins = p.n_fft / 2 + 1;
  // one power buffer per frame call; frames on one thread are sequential, so a thread-local
  // buffer avoids an allocation per frame
  detail::for_each_spectrum(y, p, m.frames, [&](int t, std::span<const std::complex<double>> X) {
    thread_local std::vector<double> pw;
    pw.resize(static_cast<size_t>(bins));
    detail::spectrum_power(X.data(), pw.data(), bins, 2.0);
    double* row = &m.v[static_cast<size_t>(t) * n_mels];
    for (int b = 0; b < n_mels; ++b) {
      const double* w = &bank.w[static_cast<size_t>(b) * bins];
      double acc = 0;
      for (int k = bank.first[b]; k < bank.last[b]; ++k) acc += w[k] * pw[k];
      row[b] = acc;
    }
  });
  return m;
}

namespace {

// One value per frame, fn(|X_t|) of the frame's magnitudes (held in a per-thread buffer).
template <class Fn>
std::vector<double> per_frame_of_magnitudes(Samples y, const StftParams& p, Fn fn) {
  check_audio(y);
  const int frames = frame_count(y.size(), p);
  const int bins = p.n_fft / 2 + 1;
  std::vector<double> out(static_cast<size_t>(frames));
  detail::for_each_spectrum(y, p, frames, [&](int t, std::span<const std::complex<double>> X) {
    thread_local std::vector<double> a;
    a.resize(static_cast<size_t>(bins));
    detail::spectrum_power(X.data(), a.data(), bins, 1.0);
    out[t] = fn(a);
  });
  return out;
}

}  // namespace

std::vector<double> spectral_centroid(Samples y, double sr, const StftParams& p) {
  const auto freq = fft_frequencies(sr, p.n_fft);
  return per_frame_of_magnitudes(y, p, [&](const std::vector<double>& a) {
    const int bins = static_cast<int>(a.size());
    // four running sums each (as numpy's summation also splits them), so the additions
    // overlap instead of waiting on one another
    double tot[4] = {0, 0, 0, 0}, wei[4] = {0, 0, 0, 0};
    int k = 0;
    for (; k + 4 <= bins; k += 4)
      for (int j = 0; j < 4; ++j) {
        tot[j] += a[k + j];
        wei[j] += freq[k + j] * a[k + j];
      }
    for (; k < bins; ++k) {
      tot[0] += a[k];
      wei[0] += freq[k] * a[k];
    }
    const double total = (tot[0] + tot[1]) + (tot[2] + tot[3]);
    const double weighted = (wei[0] + wei[1]) + (wei[2] + wei[3]);
    // frames whose total magnitude is below the smallest normal double are left unscaled
    return total < std::numeric_limits<double>::min() ? weighted : weighted / total;
  });
}

std::vector<double> spectral_rolloff(Samples y, double sr, const StftParams& p, double roll_percent) {
  if (!(roll_percent > 0 && roll_percent < 1)) throw FeatureError("roll_percent must lie between 0 and 1");
  const auto freq = fft_frequencies(sr, p.n_fft);
  return per_frame_of_magnitudes(y, p, [&](std::vector<double>& cum) {
    const int bins = static_cast<int>(cum.size());
    double acc = 0;
    for (int k = 0; k < bins; ++k) cum[k] = acc += cum[k];  // magnitudes into their running sum
    const double threshold = roll_percent * acc;
    int k = 0;
    while (k < bins && cum[k] < threshold) ++k;
    return k < bins ? freq[k] : std::numeric_limits<double>::quiet_NaN();
  });
}

namespace {

// zero_crossing_rate over the samples value(j), j < len, checked to be finite beforehand.
template <class Value>
std::vector<double> count_zero_crossings(long len, Value value, int frame_length, int hop, bool center,
                                         double threshold) {
  check_fft_length(frame_length, "frame_length");
  if (hop <= 0) throw FeatureError("hop length must be positive");
  const long pad = center ? frame_length / 2 : 0;
  const long padded = len + 2 * pad;
  if (padded < frame_length)
    throw FeatureError("frame_length=" + std::to_string(frame_length) + " is too large for a signal of length " +
                       std::to_string(len));
  const long frames = 1 + (padded - frame_length) / hop;
  auto negative = [&](long i) {  // i indexes the padded signal
    double v = value(std::clamp(i - pad, 0L, len - 1));
    if (std::abs(v) <= threshold) v = 0.0;
    return std::signbit(v);
  };
  // change[i] = 1 when padded samples i-1 and i differ in sign; prefix sums give each frame's
  // count of changes strictly inside it
  std::vector<int64_t> prefix(static_cast<size_t>(padded) + 1, 0);
  bool prev = negative(0);
  for (long i = 1; i < padded; ++i) {
    bool cur = negative(i);
    prefix[i + 1] = prefix[i] + (cur != prev ? 1 : 0);
    prev = cur;
  }
  std::vector<double> out(static_cast<size_t>(frames));
  for (long t = 0; t < frames; ++t) {
    long s = t * hop;
    int64_t count = prefix[s + frame_length] - prefix[s + 1];
    out[t] = static_cast<double>(count) / frame_length;
  }
  return out;
}

// x + kZcrOffset formed in T (the sum rounded to T), as a double.
template <class T>
double plus_offset(T x) {
  return static_cast<double>(static_cast<T>(x + static_cast<T>(kZcrOffset)));
}

// The offset keeps finite samples finite and NaN or infinite ones so: the samples as shifted
// are checked like check_audio checks a signal.
template <class Value>
void check_shifted(long len, Value value) {
  if (len == 0) throw FeatureError("the signal is empty");
  for (long j = 0; j < len; ++j)
    if (!std::isfinite(value(j))) throw FeatureError("the signal is not finite everywhere (NaN or infinity)");
}

}  // namespace

std::vector<double> zero_crossing_rate(std::span<const double> y, int frame_length, int hop, bool center,
                                       double threshold) {
  check_audio(y);
  return count_zero_crossings(
      static_cast<long>(y.size()), [y](long j) { return y[j]; }, frame_length, hop, center, threshold);
}

std::vector<double> offset_zero_crossing_rate(Samples y, int frame_length, int hop, bool center) {
  check_audio(y);
  const long len = static_cast<long>(y.size());
  if (const float* f = y.f32())
    return count_zero_crossings(
        len, [f](long j) { return plus_offset(f[j]); }, frame_length, hop, center, kZeroThreshold);
  const double* d = y.f64();
  return count_zero_crossings(
      len, [d](long j) { return plus_offset(d[j]); }, frame_length, hop, center, kZeroThreshold);
}

std::vector<double> offset_zero_crossing_rate_half(std::span<const std::uint16_t> half_bits, int frame_length, int hop,
                                                   bool center) {
  // half sums are formed in float and rounded to half, as numpy's float16 arithmetic does
  auto value = [half_bits](long j) {
    _Float16 h;
    std::memcpy(&h, &half_bits[j], sizeof h);
    return plus_offset(h);
  };
  const long len = static_cast<long>(half_bits.size());
  check_shifted(len, value);
  return count_zero_crossings(len, value, frame_length, hop, center, kZeroThreshold);
}

std::vector<double> offset_zero_crossing_rate(std::span<const long double> y, int frame_length, int hop, bool center) {
  auto value = [y](long j) { return plus_offset(y[j]); };
  const long len = static_cast<long>(y.size());
  check_shifted(len, value);
  return count_zero_crossings(len, value, frame_length, hop, center, kZeroThreshold);
}

}  // namespace vemio::features

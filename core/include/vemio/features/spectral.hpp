// Short-time spectra and the frame-wise features drawn by the figure module.
//
// Conventions (those audio researchers know from the common Python audio toolkits):
// - frames are centred on their hop positions: the signal is padded with n_fft/2 zeros on
//   each side (the zero-crossing rate pads with copies of the edge samples instead);
// - windows are periodic (the DFT-even form), shorter windows are centred in the frame;
// - spectra are laid out frame-major: value (frame t, bin k) sits at t * n_bins + k;
// - all arithmetic is in double; inputs are any float samples.
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <memory>
#include <utility>
#include <vector>

namespace vemio::features {

// Invalid arguments or signals (empty, non-finite, bad sizes). what() says which.
class FeatureError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Size guards: transforms longer than kMaxFftLength points and results of more than kMaxValues
// numbers are refused with FeatureError instead of exhausting the machine's memory.
inline constexpr int kMaxFftLength = 1 << 20;
inline constexpr size_t kMaxValues = size_t{1} << 28;
void check_fft_length(long n, const char* what);
void check_result_size(size_t rows, size_t cols, const char* what);

enum class Window { Hann, Hamming };

// Periodic window of length n (n == 1 gives {1}).
std::vector<double> make_window(Window w, int n);

// A read-only signal in float32 or float64, used in place: spectral features read float32
// audio (as decoders give it) without a converted copy.
class Samples {
 public:
  Samples(std::span<const double> y) : d_(y.data()), n_(y.size()) {}
  Samples(std::span<const float> y) : f_(y.data()), n_(y.size()) {}
  Samples(const std::vector<double>& y) : Samples(std::span<const double>(y)) {}
  Samples(const std::vector<float>& y) : Samples(std::span<const float>(y)) {}
  size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const double* f64() const { return d_; }  // null for float32 samples
  const float* f32() const { return f_; }   // null for float64 samples

 private:
  const double* d_ = nullptr;
  const float* f_ = nullptr;
  size_t n_ = 0;
};

struct StftParams {
  int n_fft = 2048;
  int hop = 512;
  int win_length = 0;  // 0: n_fft
  Window window = Window::Hann;
  bool center = true;
};

// Number of frames for a signal of `length` samples. Throws FeatureError when the signal is
// empty or, without centring, shorter than one frame.
int frame_count(size_t length, const StftParams& p);

// Throws FeatureError for an empty signal or any NaN/infinite sample.
void check_audio(Samples y);

// Allocator whose resize() leaves new elements uninitialised: feature matrices are written
// in full by the worker threads, so zeroing them first only costs a pass over memory.
template <class T>
struct UninitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitAllocator<U>;
  };
  UninitAllocator() = default;
  template <class U>
  UninitAllocator(const UninitAllocator<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};
using Values = std::vector<double, UninitAllocator<double>>;

// A real matrix stored frame-major: rows are frames, columns are bins (or bands).
struct FrameMatrix {
  int frames = 0;
  int bins = 0;
  Values v;  // v[t * bins + k]
  double& at(int t, int k) { return v[static_cast<size_t>(t) * bins + k]; }
  double at(int t, int k) const { return v[static_cast<size_t>(t) * bins + k]; }
};

// Complex STFT, frame-major (frames x (n_fft/2 + 1)).
std::vector<std::complex<double>> stft(Samples y, const StftParams& p, int* frames_out);

// |STFT| ** power (power 1: magnitude, 2: power).
FrameMatrix spectrogram(Samples y, const StftParams& p, double power);

// In-place decibel conversions. With ref_is_max the reference is the largest value of `s`
// (NaN when `s` holds one); otherwise `ref`. top_db < 0 disables the floor below the peak.
//   power_to_db:     10 log10(max(amin, s)) - 10 log10(max(amin, ref)), then floored at
//                    (largest result - top_db).
//   amplitude_to_db: power_to_db of s^2 with ref^2 and amin^2.
void power_to_db(std::span<double> s, bool ref_is_max, double ref, double amin = 1e-10, double top_db = 80.0);
void amplitude_to_db(std::span<double> s, bool ref_is_max, double ref, double amin = 1e-5, double top_db = 80.0);
// Either conversion from float32 or float64 values into out (n values; out may be the
// float64 input itself). amplitude: amplitude_to_db, else power_to_db.
void to_db(Samples s, double* out, bool amplitude, bool ref_is_max, double ref, double amin, double top_db);

// Slaney mel scale (linear below 1 kHz, logarithmic above).
double hz_to_mel(double hz);
double mel_to_hz(double mel);
// n centre frequencies evenly spaced on the mel scale from fmin to fmax.
std::vector<double> mel_frequencies(int n, double fmin, double fmax);

// Triangular, area-normalised mel filters (n_mels x (n_fft/2 + 1), row-major). The weights
// are rounded to float32, as the reference toolkit stores them. Bands above the Nyquist
// frequency are empty (all zero).
struct MelBank {
  int n_mels = 0;
  int n_bins = 0;
  std::vector<double> w;         // w[m * n_bins + k]
  std::vector<int> first, last;  // non-zero bins of band m: [first[m], last[m])
};
MelBank mel_filters(double sr, int n_fft, int n_mels, double fmin, double fmax);

// Mel power spectrogram (power 2 STFT through the filter bank): frames x n_mels.
FrameMatrix mel_spectrogram(Samples y, double sr, const StftParams& p, int n_mels, double fmin, double fmax);

// Magnitude-weighted mean frequency (Hz) of each frame; 0 for silent frames.
std::vector<double> spectral_centroid(Samples y, double sr, const StftParams& p);

// Lowest bin frequency (Hz) at which the cumulative magnitude reaches roll_percent of the
// frame's total.
std::vector<double> spectral_rolloff(Samples y, double sr, const StftParams& p, double roll_percent = 0.85);

// Fraction of the frame_length sample pairs of each frame whose sign changes (values with
// |x| <= threshold count as zero, and zero counts as positive). Frames are centred with
// edge-value padding when `center`.
inline constexpr double kZeroThreshold = 1e-10;
std::vector<double> zero_crossing_rate(std::span<const double> y, int frame_length = 2048, int hop = 512,
                                       bool center = true, double threshold = kZeroThreshold);

// The figures count zero crossings of y + kZcrOffset: the offset lifts digital silence and
// the faintest noise above zero, so they do not count as crossings.
inline constexpr double kZcrOffset = 0.0001;

// zero_crossing_rate (threshold kZeroThreshold) of y + kZcrOffset, the offset added in the samples' own precision, as
// array arithmetic gives the sum: float32 samples as float32 sums with the offset rounded to
// float32, likewise for IEEE half-precision samples (given as their 16-bit patterns) and for
// long double ones.
std::vector<double> offset_zero_crossing_rate(Samples y, int frame_length = 2048, int hop = 512, bool center = true);
std::vector<double> offset_zero_crossing_rate_half(std::span<const std::uint16_t> half_bits, int frame_length = 2048,
                                                   int hop = 512, bool center = true);
std::vector<double> offset_zero_crossing_rate(std::span<const long double> y, int frame_length = 2048, int hop = 512,
                                              bool center = true);

// Bin centre frequencies k * sr / n_fft.
std::vector<double> fft_frequencies(double sr, int n_fft);

}  // namespace vemio::features

// Band layout, level alignment and input filtering of the P.862 model.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "vemio/metrics/pesq_detail.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::pesq_detail {
namespace {

// The level the model assumes for speech at the ear (about 79 dB SPL in power units).
constexpr double kTargetPower = 1e7;

// Piecewise-linear responses in dB over frequency in Hz.
struct Point {
  double hz, db;
};

// Speech band used to measure the level of a signal.
constexpr Point kLevelBand[] = {{0, -500},   {50, -500},   {100, -500}, {125, -500}, {160, -500},
                                {200, -500}, {250, -500},  {300, -500}, {350, 0},    {400, 0},
                                {500, 0},    {600, 0},     {630, 0},    {800, 0},    {1000, 0},
                                {1250, 0},   {1600, 0},    {2000, 0},   {2500, 0},   {3000, 0},
                                {3250, 0},   {3500, -500}, {4000, -500}, {5000, -500},
                                {6300, -500}, {8000, -500}};

// Receive characteristic of the intermediate reference system (handset listening).
constexpr Point kIrsReceive[] = {{0, -200},   {50, -40},   {100, -20},  {125, -12},  {160, -6},
                                 {200, 0},    {250, 4},    {300, 6},    {350, 8},    {400, 10},
                                 {500, 11},   {600, 12},   {700, 12},   {800, 12},   {1000, 12},
                                 {1300, 12},  {1600, 12},  {2000, 12},  {2500, 12},  {3000, 12},
                                 {3250, 12},  {3500, 4},   {4000, -200}, {5000, -200},
                                 {6300, -200}, {8000, -200}};

template <size_t N>
double response_db(const Point (&table)[N], double hz) {
  if (hz <= table[0].hz) return table[0].db;
  for (size_t i = 1; i < N; ++i) {
    if (hz <= table[i].hz) {
      const double t = (hz - table[i - 1].hz) / (table[i].hz - table[i - 1].hz);
      return table[i - 1].db + t * (table[i].db - table[i - 1].db);
    }
  }
  return table[N - 1].db;
}

size_t next_pow2(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

// Absolute threshold of hearing in dB SPL (the usual analytic fit of the threshold in quiet).
double threshold_db(double hz) {
  const double f = std::max(hz, 20.0) / 1000.0;
  return 3.64 * std::pow(f, -0.8) - 6.5 * std::exp(-0.6 * (f - 3.3) * (f - 3.3)) +
         1e-3 * std::pow(f, 4);
}

// Groups FFT bins 1..top into `count` bands of about equal width in Bark: each band takes
// bins until it is at least `width` Bark wide. Returns the number of bins per band.
std::vector<int> group_bins(int top, double bin_hz, double width) {
  std::vector<int> counts;
  int first = 1;
  while (first <= top) {
    int last = first;
    while (last < top && hz_to_bark((last + 0.5) * bin_hz) - hz_to_bark((first - 0.5) * bin_hz) <
                             width)
      ++last;
    counts.push_back(last - first + 1);
    first = last + 1;
  }
  return counts;
}

void build_bands(Setup& s, int bands, double top_hz) {
  const double bin_hz = double(s.rate) / s.nfft;
  const int top = static_cast<int>(std::floor(top_hz / bin_hz));
  // Bisect the band width until the grouping yields the wanted number of bands.
  double lo = 0.01, hi = 3.0;
  std::vector<int> counts;
  for (int it = 0; it < 60; ++it) {
    const double mid = 0.5 * (lo + hi);
    counts = group_bins(top, bin_hz, mid);
    if (static_cast<int>(counts.size()) + 1 > bands)
      lo = mid;
    else
      hi = mid;
  }
  counts = group_bins(top, bin_hz, hi);
  counts.insert(counts.begin(), 1);  // band 0 is the DC bin alone
  int first = 0;
  for (int c : counts) {
    const double lo_hz = first == 0 ? 0.0 : (first - 0.5) * bin_hz;
    const double hi_hz = first == 0 ? 0.5 * bin_hz : (first + c - 0.5) * bin_hz;
    const double centre_hz = 0.5 * (lo_hz + hi_hz);
    const double zc = hz_to_bark(centre_hz);
    s.first_bin.push_back(first);
    s.bin_count.push_back(c);
    s.centre_bark.push_back(zc);
    s.width_bark.push_back(hz_to_bark(hi_hz) - hz_to_bark(lo_hz));
    s.threshold.push_back(std::pow(10.0, threshold_db(centre_hz) / 10.0));
    // Below 4 Bark loudness grows faster with level (Zwicker's low-frequency correction).
    double e = 0.23;
    if (zc < 4.0) e *= std::pow(std::min(6.0 / (zc + 2.0), 2.0), 0.15);
    s.exponent.push_back(e);
    first += c;
  }
}

}  // namespace

double hz_to_bark(double hz) {
  return 13.0 * std::atan(0.00076 * hz) + 3.5 * std::atan((hz / 7500.0) * (hz / 7500.0));
}

Setup make_setup(int rate, PesqMode mode) {
  Setup s;
  s.rate = rate;
  s.wide = mode == PesqMode::wide_band;
  s.env_frame = rate / 250;
  s.nfft = rate == 8000 ? 256 : 512;
  s.hop = s.nfft / 2;
  s.align_nfft = 2 * s.nfft;
  // Pitch power density of a full-scale band: a signal at the target level carries about
  // 79 dB SPL in total; per FFT bin the Hann-windowed power is 1e7 * sum(w^2).
  s.power_scale = 6.910853e-4 * (256.0 / s.nfft);
  s.loudness_scale = 1.866055e-1;
  if (s.wide)
    build_bands(s, 49, 7900.0);
  else
    build_bands(s, 42, 3900.0);
  return s;
}

double align_level(std::vector<double>& x, const Setup& s) {
  const size_t n = x.size();
  if (n == 0) return 0;
  const size_t nf = next_pow2(n);
  fft::RealFFT<double> f(static_cast<int>(nf));
  std::vector<double> buf(nf, 0.0);
  std::copy(x.begin(), x.end(), buf.begin());
  std::vector<std::complex<double>> X(nf / 2 + 1);
  f.forward(buf, X);
  // Parseval over the half spectrum: the power of the band-filtered signal.
  double sum = 0;
  for (size_t k = 0; k <= nf / 2; ++k) {
    const double hz = double(k) * s.rate / nf;
    const double g = std::pow(10.0, response_db(kLevelBand, hz) / 10.0);
    const double w = (k == 0 || k == nf / 2) ? 1.0 : 2.0;
    sum += w * g * std::norm(X[k]);
  }
  const double power = sum / double(nf) / double(n);
  if (power > 0) {
    const double g = std::sqrt(kTargetPower / power);
    for (double& v : x) v *= g;
  }
  return power;
}

void input_filter(std::vector<double>& x, const Setup& s) {
  if (x.empty()) return;
  if (s.wide) {
    // Second-order high-pass near 100 Hz (direct form II transposed).
    const double b0 = 2.740826, b1 = -5.4816519, b2 = 2.740826;
    const double a1 = -1.9444777, a2 = 0.94597794;
    double z1 = 0, z2 = 0;
    for (double& v : x) {
      const double y = b0 * v + z1;
      z1 = b1 * v - a1 * y + z2;
      z2 = b2 * v - a2 * y;
      v = y;
    }
    return;
  }
  // Zero-phase filtering in the frequency domain, padded so the filter does not wrap around.
  const size_t n = x.size();
  const size_t nf = next_pow2(n + 2 * static_cast<size_t>(s.rate / 10));
  fft::RealFFT<double> f(static_cast<int>(nf));
  std::vector<double> buf(nf, 0.0);
  std::copy(x.begin(), x.end(), buf.begin());
  std::vector<std::complex<double>> X(nf / 2 + 1);
  f.forward(buf, X);
  for (size_t k = 0; k <= nf / 2; ++k) {
    const double hz = double(k) * s.rate / nf;
    X[k] *= std::pow(10.0, response_db(kIrsReceive, hz) / 20.0);
  }
  f.inverse(X, buf);
  std::copy(buf.begin(), buf.begin() + static_cast<long>(n), x.begin());
}

}  // namespace vemio::pesq_detail

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

// The receive filter is applied normalised to 0 dB in its pass band.
constexpr double kIrsPassbandDb = 12.0;

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

// Absolute hearing threshold in dB SPL: the threshold in quiet of the standard equal-loudness
// contours, with the steeper low-frequency rise of the model's own threshold table below 500 Hz.
constexpr Point kThreshold[] = {
    {0, 77.1},    {31.25, 63.9}, {62.5, 48.5},  {93.75, 36.9}, {125, 30.7},  {156, 25.9},
    {188, 20.2},  {219, 16.6},   {266, 12.4},   {320, 9.6},    {380, 7.9},   {440, 6.3},
    {500, 4.4},   {630, 3.0},    {800, 2.2},    {1000, 2.4},   {1250, 3.5},  {1600, 1.7},
    {2000, -1.3}, {2500, -4.2},  {3150, -6.0},  {4000, -5.4},  {5000, -1.5}, {6300, 6.0},
    {8000, 12.6}, {10000, 13.9}};

// Offset of the threshold table against the model's calibration, fitted to the reference
// model's scores (black-box comparison on synthesised speech).
constexpr double kThresholdOffsetDb = -9.0;

// Level corrections of the two input filters (narrow band: the normalised receive
// characteristic; wide band: the high-pass's pass-band gain), fitted the same way.
constexpr double kNarrowLevelOffsetDb = -0.75;
constexpr double kWideLevelOffsetDb = -1.5;

double threshold_db(double hz) { return response_db(kThreshold, hz) + kThresholdOffsetDb; }

// Bins from..top in `count` groups of about equal width in Bark.
std::vector<int> equal_bark_groups(int from, int top, double bin_hz, int count) {
  double lo = 0.01, hi = 5.0;
  std::vector<int> counts;
  auto group = [&](double width) {
    std::vector<int> c;
    int first = from;
    while (first <= top) {
      int last = first;
      while (last < top && hz_to_bark((last + 0.5) * bin_hz) - hz_to_bark((first - 0.5) * bin_hz) <
                               width)
        ++last;
      c.push_back(last - first + 1);
      first = last + 1;
    }
    return c;
  };
  for (int it = 0; it < 60; ++it) {
    const double mid = 0.5 * (lo + hi);
    if (static_cast<int>(group(mid).size()) > count)
      lo = mid;
    else
      hi = mid;
  }
  return group(hi);
}

void build_bands(Setup& s, bool wide) {
  const double bin_hz = double(s.rate) / s.nfft;
  // Narrow band: 41 bands of about equal Bark width over 31 Hz .. 3.9 kHz. Wide band keeps
  // them and adds 7 wider bands up to 7.9 kHz.
  const double nbtop = 3900.0, wbtop = 7900.0;
  const int top = static_cast<int>(std::floor(nbtop / bin_hz));
  std::vector<int> counts = equal_bark_groups(1, top, bin_hz, 41);
  if (wide) {
    const int wide_top = static_cast<int>(std::floor(wbtop / bin_hz));
    const auto hi = equal_bark_groups(top + 1, wide_top, bin_hz, 7);
    counts.insert(counts.end(), hi.begin(), hi.end());
  }
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
    // Zwicker's loudness exponent. (A steeper growth below 4 Bark was tried and moved the
    // scores away from the reference model on low-frequency losses and noise.)
    s.exponent.push_back(0.23);
    first += c;
  }
}

// Calibration: a 1000 Hz sine of amplitude 29.54 (40 dB SPL) gives a pitch power density of
// 1e4 (40 dB) in its band and a total loudness of 1 sone.
void calibrate(Setup& s) {
  const int n = s.nfft;
  fft::RealFFT<double> f(n);
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
    x[i] = w * 29.54 * std::sin(2.0 * std::numbers::pi * 1000.0 * i / s.rate);
  }
  std::vector<std::complex<double>> X(n / 2 + 1);
  f.forward(x, X);
  std::vector<double> p(s.bands(), 0.0);
  for (int b = 0; b < s.bands(); ++b)
    for (int k = s.first_bin[b]; k < s.first_bin[b] + s.bin_count[b]; ++k) p[b] += std::norm(X[k]);
  for (int b = 0; b < s.bands(); ++b) p[b] /= s.width_bark[b];
  const double sp = 1e4 / *std::max_element(p.begin(), p.end());
  double total = 0;
  for (int b = 0; b < s.bands(); ++b) {
    const double pb = p[b] * sp, p0 = s.threshold[b], g = s.exponent[b];
    if (pb > p0)
      total += std::pow(p0 / 0.5, g) * (std::pow(0.5 + 0.5 * pb / p0, g) - 1.0) * s.width_bark[b];
  }
  s.loudness_scale = 1.0 / total;
  s.power_scale =
      sp * std::pow(10.0, (s.wide ? kWideLevelOffsetDb : kNarrowLevelOffsetDb) / 10.0);
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
  build_bands(s, s.wide);
  calibrate(s);
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
    X[k] *= std::pow(10.0, (response_db(kIrsReceive, hz) - kIrsPassbandDb) / 20.0);
  }
  f.inverse(X, buf);
  std::copy(buf.begin(), buf.begin() + static_cast<long>(n), x.begin());
}

}  // namespace vemio::pesq_detail

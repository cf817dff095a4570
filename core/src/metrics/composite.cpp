// Segmental SNR, frequency-weighted segmental SNR, weighted spectral slope and the composite
// ratings, plus the framing shared with the LPC measures (composite_lpc.cpp).
#include "vemio/metrics/composite.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <string>

#include "composite_detail.hpp"
#include "vemio/metrics/pesq.hpp"
#include "vemio/util/error.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::metrics {
namespace cd = composite_detail;

namespace composite_detail {

Framing framing(int rate) {
  Framing f;
  f.rate = rate;
  const double seconds = 0.03;
  f.length = static_cast<int>(std::nearbyint(seconds * rate));  // half to even, like the frame count below
  const double hop_seconds = 0.25 * seconds;
  f.hop = static_cast<int>(std::floor(hop_seconds * rate));
  f.nfft = 1;
  while (f.nfft < 2 * f.length) f.nfft *= 2;
  f.window.resize(static_cast<std::size_t>(f.length));
  for (int i = 0; i < f.length; ++i)
    f.window[static_cast<std::size_t>(i)] = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * (i + 1) / (f.length + 1)));
  return f;
}

std::size_t checked_length(std::span<const double> clean, std::span<const double> degraded, const Framing& f,
                           const char* measure) {
  const std::string m(measure);
  if (f.rate < 8000 || f.rate > 48000)
    throw Error(m + ": sampling rate " + std::to_string(f.rate) + " Hz is not supported (8000 to 48000 Hz).");
  if (clean.empty()) throw Error(m + ": the clean signal is empty.");
  if (degraded.empty()) throw Error(m + ": the degraded signal is empty.");
  for (double v : clean)
    if (!std::isfinite(v)) throw Error(m + ": the clean signal contains NaN or infinite samples.");
  for (double v : degraded)
    if (!std::isfinite(v)) throw Error(m + ": the degraded signal contains NaN or infinite samples.");
  const std::size_t n = std::min(clean.size(), degraded.size());
  const std::size_t need = static_cast<std::size_t>(f.length + f.hop);
  if (n < need)
    throw Error(m + ": the signals are too short: at least " + std::to_string(need) + " samples at " +
                std::to_string(f.rate) + " Hz are needed (one 30 ms frame and one hop), got " + std::to_string(n) +
                ".");
  if (std::all_of(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(n), [](double v) { return v == 0.0; }))
    throw Error(m + ": the clean signal is silent (all samples are zero), so the measure is undefined.");
  return n;
}

std::size_t spectral_frames(std::size_t n, const Framing& f) {
  const double frames = static_cast<double>(n) / f.hop - static_cast<double>(f.length) / f.hop;
  return frames > 0 ? static_cast<std::size_t>(frames) : 0;
}

double mean_of_best(std::vector<double>& values) {
  const auto keep = static_cast<std::size_t>(std::nearbyint(static_cast<double>(values.size()) * 0.95));
  if (keep == 0) return std::numeric_limits<double>::quiet_NaN();
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(keep - 1), values.end());
  double sum = 0;
  for (std::size_t i = 0; i < keep; ++i) sum += values[i];
  return sum / static_cast<double>(keep);
}

std::array<Band, kBands> critical_bands(const Framing& f) {
  // Centre frequencies and bandwidths in Hz (roughly one Bark apart, flat 70 Hz below 540 Hz).
  static constexpr double centre[kBands] = {50.0,    120.0,   190.0,   260.0,   330.0,   400.0,   470.0,
                                            540.0,   617.372, 703.378, 798.717, 904.128, 1020.38, 1148.30,
                                            1288.72, 1442.54, 1610.70, 1794.16, 1993.93, 2211.08, 2446.71,
                                            2701.97, 2978.04, 3276.17, 3597.63};
  static constexpr double width[kBands] = {70.0,    70.0,    70.0,    70.0,    70.0,    70.0,    70.0,
                                           77.3724, 86.0056, 95.3398, 105.411, 116.256, 127.914, 140.423,
                                           153.823, 168.154, 183.457, 199.776, 217.153, 235.631, 255.255,
                                           276.072, 298.126, 321.465, 346.136};
  const int half = f.nfft / 2;
  const double nyquist = f.rate / 2.0;
  const double floor_gain = std::exp(-30.0 / (2.0 * 2.303));  // the -30 dB point
  std::array<Band, kBands> bands;
  std::vector<double> g(static_cast<std::size_t>(half));
  for (int b = 0; b < kBands; ++b) {
    const double f0 = std::floor(centre[b] / nyquist * half);
    const double bw = width[b] / nyquist * half;
    const double norm = std::log(width[0]) - std::log(width[b]);
    int lo = half, hi = 0;
    for (int j = 0; j < half; ++j) {
      const double d = (j - f0) / bw;
      const double v = std::exp(-11.0 * d * d + norm);
      g[static_cast<std::size_t>(j)] = v > floor_gain ? v : 0.0;
      if (v > floor_gain) lo = std::min(lo, j), hi = j + 1;
    }
    if (hi <= lo) lo = hi = 0;
    bands[b].first = lo;
    bands[b].gains.assign(g.begin() + lo, g.begin() + hi);
  }
  return bands;
}

}  // namespace composite_detail

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();

// Spectra of the frames of one signal, offset by machine epsilon (so that digital silence has
// a finite logarithm) and Hann-windowed, zero-padded to nfft; the nfft / 2 lowest bins.
class FrameSpectra {
 public:
  explicit FrameSpectra(const cd::Framing& f)
      : f_(f),
        fft_(f.nfft),
        buf_(static_cast<std::size_t>(f.nfft), 0.0),
        bins_(static_cast<std::size_t>(f.nfft / 2 + 1)),
        out_(static_cast<std::size_t>(f.nfft / 2)) {}

  // |X| (power = false) or |X|^2 of the frame starting at `start`.
  const double* compute(const double* x, std::size_t start, bool power) {
    for (int i = 0; i < f_.length; ++i) buf_[i] = (x[start + i] + kEps) * f_.window[i];
    fft_.forward(buf_, bins_);
    // sqrt of the power rather than std::abs: hypot's overflow care costs more than the FFT here
    for (std::size_t k = 0; k < out_.size(); ++k) {
      const double p = bins_[k].real() * bins_[k].real() + bins_[k].imag() * bins_[k].imag();
      out_[k] = power ? p : std::sqrt(p);
    }
    return out_.data();
  }

 private:
  const cd::Framing& f_;
  fft::RealFFT<double> fft_;
  std::vector<double> buf_;  // samples past the frame stay zero
  std::vector<std::complex<double>> bins_;
  std::vector<double> out_;
};

// Weighted spectral slope distance of one frame from the band levels in dB of both signals.
double slope_distance(const std::array<double, cd::kBands>& lc, const std::array<double, cd::kBands>& lp) {
  constexpr int n = cd::kBands;
  constexpr double kmax = 20.0, klocmax = 1.0;  // global and local peak weights after Klatt
  std::array<double, n - 1> sc, sp;
  for (int b = 0; b + 1 < n; ++b) sc[b] = lc[b + 1] - lc[b], sp[b] = lp[b + 1] - lp[b];
  // Level of the spectral peak each band leans towards: walking up while the slope rises, or
  // down while it falls. The rising walk reads the level one band below where it stops.
  auto nearest_peak = [](const std::array<double, n - 1>& slope, const std::array<double, n>& level, int b) {
    int k = b;
    if (slope[b] > 0) {
      while (k < n - 1 && slope[k] > 0) ++k;
      return level[k - 1];
    }
    while (k >= 0 && slope[k] <= 0) --k;
    return level[k + 1];
  };
  const double max_c = *std::max_element(lc.begin(), lc.end());
  const double max_p = *std::max_element(lp.begin(), lp.end());
  double num = 0, den = 0;
  for (int b = 0; b + 1 < n; ++b) {
    const double wc = kmax / (kmax + max_c - lc[b]) * (klocmax / (klocmax + nearest_peak(sc, lc, b) - lc[b]));
    const double wp = kmax / (kmax + max_p - lp[b]) * (klocmax / (klocmax + nearest_peak(sp, lp, b) - lp[b]));
    const double w = 0.5 * (wc + wp);
    const double d = sc[b] - sp[b];
    num += w * d * d;
    den += w;
  }
  return num / den;
}

double wss_checked(const double* c, const double* d, std::size_t n, const cd::Framing& f) {
  const auto bands = cd::critical_bands(f);
  FrameSpectra sc(f), sd(f);
  const std::size_t frames = cd::spectral_frames(n, f);
  std::vector<double> dist(frames);
  std::array<double, cd::kBands> lc, lp;
  for (std::size_t t = 0; t < frames; ++t) {
    const std::size_t start = t * static_cast<std::size_t>(f.hop);
    const double* pc = sc.compute(c, start, true);
    const double* pd = sd.compute(d, start, true);
    for (int b = 0; b < cd::kBands; ++b) {
      lc[b] = std::max(10.0 * std::log10(cd::band_sum(bands[b], pc)), -100.0);
      lp[b] = std::max(10.0 * std::log10(cd::band_sum(bands[b], pd)), -100.0);
    }
    dist[t] = slope_distance(lc, lp);
  }
  return cd::mean_of_best(dist);
}

double ssnr_checked(const double* c, const double* d, std::size_t n, const cd::Framing& f) {
  const std::size_t frames = cd::whole_frames(n, f) - 1;  // the last frame does not count
  double sum = 0;
  for (std::size_t t = 0; t < frames; ++t) {
    const std::size_t start = t * static_cast<std::size_t>(f.hop);
    double signal = 0, noise = 0;
    for (int i = 0; i < f.length; ++i) {
      const double w = f.window[i];
      const double a = c[start + i] * w, e = a - d[start + i] * w;
      signal += a * a;
      noise += e * e;
    }
    const double snr = 10.0 * std::log10(signal / (noise + kEps) + kEps);
    sum += std::clamp(snr, -10.0, 35.0);
  }
  return sum / static_cast<double>(frames);
}

}  // namespace

double ssnr(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "ssnr");
  return ssnr_checked(clean.data(), degraded.data(), n, f);
}

double fwsnrseg(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "fwsnrseg");
  const auto bands = cd::critical_bands(f);
  FrameSpectra sc(f), sd(f);
  const std::size_t frames = cd::spectral_frames(n, f);
  const std::size_t half = static_cast<std::size_t>(f.nfft / 2);
  constexpr double gamma = 0.2;
  double sum = 0;
  for (std::size_t t = 0; t < frames; ++t) {
    const std::size_t start = t * static_cast<std::size_t>(f.hop);
    const double* pc = sc.compute(clean.data(), start, false);
    const double* pd = sd.compute(degraded.data(), start, false);
    double tc = 0, td = 0;  // magnitudes are normalised to unit sum per frame
    for (std::size_t k = 0; k < half; ++k) tc += pc[k], td += pd[k];
    double num = 0, den = 0;
    for (const auto& b : bands) {
      const double ec = cd::band_sum(b, pc) / tc, ed = cd::band_sum(b, pd) / td;
      const double err = std::max((ec - ed) * (ec - ed), kEps);
      const double w = std::pow(ec, gamma);
      num += w * 10.0 * std::log10(ec * ec / err);
      den += w;
    }
    sum += std::clamp(num / den, -10.0, 35.0);
  }
  return sum / static_cast<double>(frames);
}

double wss(std::span<const double> clean, std::span<const double> degraded, int rate) {
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "wss");
  return wss_checked(clean.data(), degraded.data(), n, f);
}

Composite composite_from(double pesq_value, double llr_unclipped, double wss, double ssnr) {
  auto rating = [](double v) { return std::clamp(v, 1.0, 5.0); };
  return {rating(3.093 - 1.029 * llr_unclipped + 0.603 * pesq_value - 0.009 * wss),
          rating(1.634 + 0.478 * pesq_value - 0.007 * wss + 0.063 * ssnr),
          rating(1.594 + 0.805 * pesq_value - 0.512 * llr_unclipped - 0.007 * wss)};
}

Composite composite(std::span<const double> clean, std::span<const double> degraded, int rate) {
  if (rate != 8000 && rate != 16000)
    throw Error("composite: sampling rate " + std::to_string(rate) +
                " Hz is not supported: the PESQ term needs 8000 or 16000 Hz.");
  const auto f = cd::framing(rate);
  const std::size_t n = cd::checked_length(clean, degraded, f, "composite");
  const auto c = clean.first(n), d = degraded.first(n);
  double quality = 0;
  try {
    const auto score = vemio::pesq(c, d, rate, rate == 8000 ? PesqMode::narrow_band : PesqMode::wide_band);
    quality = rate == 8000 ? score.raw : score.mos_lqo;
  } catch (const PesqError& e) {
    throw Error(std::string("composite: the PESQ term cannot be computed: ") + e.what() + ".");
  }
  return composite_from(quality, cd::llr_checked(c.data(), d.data(), n, f, false),
                        wss_checked(c.data(), d.data(), n, f), ssnr_checked(c.data(), d.data(), n, f));
}

}  // namespace vemio::metrics

// Perceptual model (pitch power densities, frequency and gain compensation, loudness) and
// cognitive model (disturbance densities, asymmetry, frame and time aggregation) of P.862.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "pesq_detail.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::pesq_detail {
namespace {

constexpr double kSpeechFramePower = 1e7;  // audible power of a speech-active reference frame
constexpr double kMaxFrameDisturbance = 45.0;
constexpr double kAveragedCell = 100.0;  // cells averaged by the frequency compensation
constexpr int kSplitSecond = 20;         // frames per aggregation interval (about 320 ms)

using Spectra = std::vector<std::vector<double>>;  // [frame][band]

double sample_at(std::span<const double> x, long i) {
  return (i >= 0 && i < static_cast<long>(x.size())) ? x[static_cast<size_t>(i)] : 0.0;
}

// Power of the bands above the hearing threshold scaled by `factor` (band 0 left out).
double audible_power(const std::vector<double>& p, const Setup& s, double factor) {
  double sum = 0;
  for (int b = 1; b < s.bands(); ++b)
    if (p[b] > factor * s.threshold[b]) sum += p[b];
  return sum;
}

// Zwicker's law per band; nothing below the hearing threshold is heard.
void loudness(const std::vector<double>& p, const Setup& s, std::vector<double>& out) {
  for (int b = 0; b < s.bands(); ++b) {
    const double p0 = s.threshold[b];
    const double g = s.exponent[b];
    out[b] = p[b] > p0 ? s.loudness_factor[b] * (std::pow(0.5 + 0.5 * p[b] / p0, g) - 1.0) : 0.0;
  }
}

// Width-weighted Lp norm over bands 1.. of one frame. (x to the power 1 is x itself; the power
// function returns exactly that, so the L1 norm is summed without it.)
double band_norm(const std::vector<double>& d, const Setup& s, double p) {
  double sum = 0, wsum = 0;
  for (int b = 1; b < s.bands(); ++b) {
    const double w = s.width_bark[b];
    sum += p == 1.0 ? std::abs(d[b]) * w : std::pow(std::abs(d[b]) * w, p);
    wsum += w;
  }
  return (p == 1.0 ? sum / wsum : std::pow(sum / wsum, 1.0 / p)) * wsum;
}

}  // namespace

Disturbance frame_disturbances(std::span<const double> ref, std::span<const double> deg,
                               const std::vector<int>& frame_delay, const Setup& s, PitchPowers* powers) {
  const int nfr = static_cast<int>(frame_delay.size());
  const int nb = s.bands();
  const int n = s.nfft;
  fft::RealFFT<double> f(n);
  std::vector<double> window(n), buf(n);
  for (int i = 0; i < n; ++i) window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
  std::vector<std::complex<double>> X(n / 2 + 1);

  auto pitch_power = [&](std::span<const double> x, long start, std::vector<double>& out) {
    for (int i = 0; i < n; ++i) buf[i] = window[i] * sample_at(x, start + i);
    f.forward(buf, X);
    out.assign(nb, 0.0);
    for (int b = 0; b < nb; ++b) {
      double sum = 0;
      for (int k = s.first_bin[b]; k < s.first_bin[b] + s.bin_count[b]; ++k) sum += std::norm(X[k]);
      out[b] = s.power_factor[b] * sum;
    }
  };

  Spectra pr(nfr), pd(nfr);
  const bool reuse = powers && powers->delay.size() == frame_delay.size();
  for (int i = 0; i < nfr; ++i) {
    const long start = static_cast<long>(i) * s.hop;
    if (reuse) {
      pr[i] = powers->ref[i];
      if (powers->delay[i] == frame_delay[i]) {
        pd[i] = powers->deg[i];
        continue;
      }
    } else {
      pitch_power(ref, start, pr[i]);
    }
    pitch_power(deg, start + frame_delay[i], pd[i]);
  }
  if (powers && !reuse) *powers = {pr, pd, frame_delay};

  // Frequency compensation: the reference is filtered by the average degraded/reference
  // ratio of each band over speech-active frames, within +-20 dB. The averages take the
  // cells more than 20 dB above the hearing threshold.
  std::vector<double> avg_r(nb, 0.0), avg_d(nb, 0.0);
  int active = 0;
  for (int i = 0; i < nfr; ++i) {
    if (audible_power(pr[i], s, 1.0) < kSpeechFramePower) continue;
    ++active;
    for (int b = 0; b < nb; ++b) {
      if (pr[i][b] > kAveragedCell * s.threshold[b]) avg_r[b] += pr[i][b];
      if (pd[i][b] > kAveragedCell * s.threshold[b]) avg_d[b] += pd[i][b];
    }
  }
  if (active > 0) {
    for (int b = 0; b < nb; ++b) {
      const double ratio = std::clamp((avg_d[b] / active + 1000.0) / (avg_r[b] / active + 1000.0), 0.01, 100.0);
      for (int i = 0; i < nfr; ++i) pr[i][b] *= ratio;
    }
  }

  // Gain compensation: the degraded frame is scaled by the smoothed ratio of audible powers,
  // bounded to [3e-4, 5].
  double smooth = 1.0;
  std::vector<double> lr(nb), ld(nb), dd(nb), da(nb);
  Disturbance out;
  out.sym.assign(nfr, 0.0);
  out.asym.assign(nfr, 0.0);
  for (int i = 0; i < nfr; ++i) {
    const double ar = audible_power(pr[i], s, 1.0);
    const double ad = audible_power(pd[i], s, 1.0);
    // The ratio is smoothed as it is, so a deep loss keeps the gain up for a few frames after
    // it; only the gain applied is bounded.
    const double ratio = (ar + 5000.0) / (ad + 5000.0);
    smooth = i == 0 ? ratio : 0.2 * smooth + 0.8 * ratio;
    const double gain = std::clamp(smooth, 3e-4, 5.0);
    for (int b = 0; b < nb; ++b) pd[i][b] *= gain;

    loudness(pr[i], s, lr);
    loudness(pd[i], s, ld);
    for (int b = 0; b < nb; ++b) {
      // Differences smaller than a quarter of the softer loudness are not heard.
      const double m = std::max(0.0, 0.25 * std::min(lr[b], ld[b]));
      double d = ld[b] - lr[b];
      if (d > m)
        d -= m;
      else if (d < -m)
        d += m;
      else
        d = 0.0;
      dd[b] = d;
      // Added components are more annoying than missing ones (both densities compensated).
      // Below a ratio of 2.4 the factor (at most 2.86) is dropped anyway: no power is taken.
      const double ratio_b = (pd[i][b] + 50.0) / (pr[i][b] + 50.0);
      double af = ratio_b < 2.4 ? 0.0 : std::pow(ratio_b, 1.2);
      if (af < 3.0) af = 0.0;
      af = std::min(af, 12.0);
      da[b] = d * af;
    }
    // Disturbance in quiet reference frames weighs more.
    const double h = std::pow((ar + 1e5) / 1e7, -0.04);
    out.sym[i] = std::min(band_norm(dd, s, 2.0) * h, kMaxFrameDisturbance);
    out.asym[i] = std::min(band_norm(da, s, 1.0) * h, kMaxFrameDisturbance);
  }
  return out;
}

namespace {

// A frame is bad when its disturbance, the symmetric part plus the asymmetric part in the
// proportion the raw score weighs them, exceeds the bad-frame threshold; a run of kMinBadRun
// bad frames is realigned. Counting the asymmetric part lets the frames after a deep loss,
// made louder by the gain compensation the loss still holds up, extend the run; whether the
// correlation then picks the lag that bridges the loss depends on how loud those frames are.
// Fitted by black-box comparison with the reference model on speech with 60 ms segments
// dropped (single losses swept through four sentences, 1300 positions; pairs with one to four
// losses, 768 in wide band and 480 in narrow band) and on losses of 60 and 100 ms whose
// content is repeated just before them, so that the lag that bridges them is known.
constexpr double kAsymWeight = 0.309;  // 0.0309 / 0.1, the weights of the raw score
constexpr double kBadFrameNarrow = 38.0;
constexpr double kBadFrameWide = 35.0;
constexpr int kMinBadRun = 6;
constexpr int kSearchModelFrames = 4;  // delay search range, in model frames either way

// Lag k in [-range, range] maximising the correlation of |ref[t]| with |deg[t + delay + k]|
// over t in [a, b) (samples outside deg count as zero); the correlations of all lags come
// from one FFT product, so long runs stay cheap.
int best_local_lag(std::span<const double> ref, std::span<const double> deg, long a, long b, int delay, int range) {
  const long nd = static_cast<long>(deg.size());
  const long w = b - a;
  const long len = w + 2L * range;
  const long lo = a + delay - range;
  size_t n = 1;
  while (n < static_cast<size_t>(len)) n <<= 1;
  std::vector<double> r(n, 0.0), g(n, 0.0), c(n);
  for (long t = 0; t < w; ++t) r[t] = std::abs(ref[a + t]);
  for (long t = 0; t < len; ++t) {
    const long u = lo + t;
    g[t] = (u >= 0 && u < nd) ? std::abs(deg[u]) : 0.0;
  }
  fft::RealFFT<double> f(static_cast<int>(n));
  std::vector<std::complex<double>> R(n / 2 + 1), G(n / 2 + 1);
  f.forward(r, R);
  f.forward(g, G);
  for (size_t k = 0; k < R.size(); ++k) R[k] = std::conj(R[k]) * G[k];
  f.inverse(R, c);  // c[o] = sum_t r[t] g[t + o]; no wrap-around for 0 <= o <= 2 range
  double best = 0;
  int best_k = 0;
  for (int k = -range; k <= range; ++k) {
    const double v = c[k + range];
    // Rounding must not move the delay when no lag is clearly better than the current one.
    const double eps = 1e-9 * (1.0 + std::abs(best));
    if (v > best + eps || (std::abs(v - best) <= eps && std::abs(k) < std::abs(best_k))) {
      best = std::max(best, v);
      best_k = k;
    }
  }
  return best_k;
}

}  // namespace

int realign_bad_intervals(std::span<const double> ref, std::span<const double> deg, const std::vector<int>& frame_delay,
                          int first, int last, const Setup& s, Disturbance& d, PitchPowers* powers) {
  const int nfr = static_cast<int>(frame_delay.size());
  first = std::max(first, 0);
  last = std::min(last, nfr);
  const double bad_frame = s.wide ? kBadFrameWide : kBadFrameNarrow;
  std::vector<int> delay2 = frame_delay;
  std::vector<char> moved(static_cast<size_t>(nfr), 0);
  auto bad = [&](int f) { return d.sym[f] + kAsymWeight * d.asym[f] > bad_frame; };
  int count = 0;
  for (int i = first; i < last;) {
    if (!bad(i)) {
      ++i;
      continue;
    }
    int j = i;
    while (j < last && bad(j)) ++j;
    // A run still bad at the end of the span is left alone, as the reference model does.
    if (j - i >= kMinBadRun && j < last) {
      const long a = static_cast<long>(i) * s.hop;
      const long b = std::min<long>(static_cast<long>(j - 1) * s.hop + s.nfft, static_cast<long>(ref.size()));
      const int k = best_local_lag(ref, deg, a, b, frame_delay[i], kSearchModelFrames * s.nfft);
      if (k != 0) {
        for (int f = i; f < j; ++f) {
          delay2[f] = frame_delay[f] + k;
          moved[f] = 1;
        }
        ++count;
      }
    }
    i = j;
  }
  if (count == 0) return 0;
  // The whole model runs again with the new delays (compensations included); only the
  // realigned frames take part, and only where they improve.
  const Disturbance d2 = frame_disturbances(ref, deg, delay2, s, powers);
  for (int f = 0; f < nfr; ++f) {
    if (moved[f] && d2.sym[f] < d.sym[f]) {
      d.sym[f] = d2.sym[f];
      d.asym[f] = d2.asym[f];
    }
  }
  return count;
}

namespace {

double aggregate_one(const std::vector<double>& d, int first, int last) {
  // L6 over split-second intervals (50 % overlap), then L2 over the intervals. An interval
  // starts every half interval as long as it starts inside the span; one cut short by the end
  // of the span still counts as a whole one (its missing frames as zero).
  if (last <= first) return 0.0;
  const int step = kSplitSecond / 2;
  double sum = 0;
  int count = 0;
  for (int a = first; a < last; a += step) {
    const int b = std::min(a + kSplitSecond, last);
    double s6 = 0;
    for (int i = a; i < b; ++i) s6 += std::pow(d[i], 6.0);
    const double v = std::pow(s6 / kSplitSecond, 1.0 / 6.0);
    sum += v * v;
    ++count;
  }
  return std::sqrt(sum / count);
}

}  // namespace

double aggregate(const Disturbance& d, int first, int last) {
  const double sym = aggregate_one(d.sym, first, last);
  const double asym = aggregate_one(d.asym, first, last);
  return 4.5 - 0.1 * sym - 0.0309 * asym;
}

}  // namespace vemio::pesq_detail

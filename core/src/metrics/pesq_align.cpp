// Time alignment of the P.862 model: voice activity, utterances, envelope (crude) alignment
// and the histogram-based fine alignment.
#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

#include "vemio/metrics/pesq_detail.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::pesq_detail {
namespace {

// Utterances: bursts closer than this many 4 ms frames (200 ms) belong to the same utterance,
// and an utterance must span at least kMinUtterance frames to count as speech.
constexpr int kJoinGap = 50;
constexpr int kMinUtterance = 45;

double sample_at(std::span<const double> x, long i) {
  return (i >= 0 && i < static_cast<long>(x.size())) ? x[static_cast<size_t>(i)] : 0.0;
}

}  // namespace

Activity detect_activity(std::span<const double> x, int frame) {
  Activity a;
  const size_t nfr = x.size() / static_cast<size_t>(frame);
  a.energy.assign(nfr, 0.0);
  for (size_t k = 0; k < nfr; ++k) {
    double e = 0;
    for (int j = 0; j < frame; ++j) {
      const double v = x[k * frame + j];
      e += v * v;
    }
    a.energy[k] = e / frame;
  }
  a.envelope.assign(nfr, 0.0);
  a.active.assign(nfr, 0);
  if (nfr == 0) return a;
  // The noise floor is the mean of the frames below the threshold; the threshold sits two
  // standard deviations above it. A few iterations from the overall mean converge.
  double peak = *std::max_element(a.energy.begin(), a.energy.end());
  double thr = 0;
  for (double e : a.energy) thr += e;
  thr /= double(nfr);
  const double floor_level = peak > 0 ? peak * 1e-4 : 1.0;
  thr = std::max(thr, floor_level);
  for (int it = 0; it < 12; ++it) {
    double mean = 0, var = 0;
    size_t n = 0;
    for (double e : a.energy)
      if (e <= thr) mean += e, ++n;
    if (n == 0) break;
    mean /= double(n);
    for (double e : a.energy)
      if (e <= thr) var += (e - mean) * (e - mean);
    const double sd = std::sqrt(var / double(n));
    thr = std::max(1.001 * (mean + 2.0 * sd), floor_level);
  }
  a.threshold = thr;
  if (peak <= 0) return a;
  for (size_t k = 0; k < nfr; ++k) {
    if (a.energy[k] > thr) {
      a.active[k] = 1;
      a.envelope[k] = std::log(a.energy[k] / thr);
    }
  }
  return a;
}

std::vector<Utterance> find_utterances(const Activity& ref) {
  std::vector<Utterance> out;
  const int n = static_cast<int>(ref.active.size());
  int k = 0;
  while (k < n) {
    if (!ref.active[k]) {
      ++k;
      continue;
    }
    int end = k;
    while (end < n && ref.active[end]) ++end;
    if (!out.empty() && k - out.back().end < kJoinGap)
      out.back().end = end;
    else
      out.push_back({k, end, 0, 0});
    k = end;
  }
  std::erase_if(out, [](const Utterance& u) { return u.end - u.start < kMinUtterance; });
  return out;
}

int envelope_lag(const Activity& ref, const Activity& deg, int start, int end, int lo, int hi) {
  const int nd = static_cast<int>(deg.envelope.size());
  double best = -1;
  int best_lag = 0;
  for (int lag = lo; lag <= hi; ++lag) {
    double c = 0;
    for (int k = start; k < end; ++k) {
      const double r = ref.envelope[k];
      if (r == 0) continue;
      const int j = k + lag;
      if (j >= 0 && j < nd) c += r * deg.envelope[j];
    }
    // Ties go to the lag closest to zero.
    if (c > best || (c == best && std::abs(lag) < std::abs(best_lag))) {
      best = c;
      best_lag = lag;
    }
  }
  return best_lag;
}

FineDelay fine_delay(std::span<const double> ref, std::span<const double> deg, long a, long b,
                     int coarse, const Setup& s) {
  const int n = s.align_nfft;
  const int step = n / 4;
  const int nx = 2 * n;
  fft::RealFFT<double> f(nx);
  std::vector<double> window(n), rb(nx), db(nx), xc(nx);
  for (int i = 0; i < n; ++i)
    window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
  std::vector<std::complex<double>> R(nx / 2 + 1), D(nx / 2 + 1);
  // Histogram over lags -n+1 .. n-1 relative to the coarse delay.
  std::vector<double> hist(2 * n, 0.0);
  long p = a;
  const long stop = std::max(b - n, a);
  for (; p <= stop; p += step) {
    std::fill(rb.begin(), rb.end(), 0.0);
    std::fill(db.begin(), db.end(), 0.0);
    for (int i = 0; i < n; ++i) {
      rb[i] = window[i] * sample_at(ref, p + i);
      db[i] = window[i] * sample_at(deg, p + coarse + i);
    }
    f.forward(rb, R);
    f.forward(db, D);
    for (size_t k = 0; k < R.size(); ++k) R[k] = std::conj(R[k]) * D[k];
    f.inverse(R, xc);
    // xc[t] = sum_i r[i] d[i + t] (circular, t < 0 at nx + t).
    double peak = 0;
    int at = 0;
    for (int t = -(n - 1); t <= n - 1; ++t) {
      const double v = std::abs(xc[(t + nx) % nx]);
      if (v > peak) peak = v, at = t;
    }
    if (peak > 0) hist[at + n] += std::pow(peak, 0.125);
  }
  // Smooth with a triangular kernel of 1 ms half-width.
  const int h = s.rate / 1000;
  std::vector<double> sm(hist.size(), 0.0);
  for (size_t i = 0; i < hist.size(); ++i) {
    if (hist[i] == 0) continue;
    for (int j = -h + 1; j < h; ++j) {
      const long t = static_cast<long>(i) + j;
      if (t >= 0 && t < static_cast<long>(sm.size()))
        sm[t] += hist[i] * double(h - std::abs(j)) / h;
    }
  }
  double total = 0, best = 0;
  int best_i = n;
  for (size_t i = 0; i < sm.size(); ++i) {
    total += sm[i];
    if (sm[i] > best) best = sm[i], best_i = static_cast<int>(i);
  }
  FineDelay out;
  out.delay = coarse + best_i - n;
  out.confidence = total > 0 ? best / total : 0.0;
  return out;
}

}  // namespace vemio::pesq_detail

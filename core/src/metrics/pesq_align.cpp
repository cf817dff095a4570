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
  // standard deviations above it. A few iterations from the overall mean converge. The
  // threshold never rises above that mean: with digital silence and a steady loud signal the
  // spread of the frames below it would otherwise lift it over every frame.
  double peak = *std::max_element(a.energy.begin(), a.energy.end());
  double overall = 0;
  for (double e : a.energy) overall += e;
  overall /= double(nfr);
  const double floor_level = peak > 0 ? peak * 1e-4 : 1.0;
  double thr = std::max(overall, floor_level);
  const double ceiling = thr;
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
    thr = std::min(std::max(1.001 * (mean + 2.0 * sd), floor_level), ceiling);
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

int overall_lag(const Activity& ref, const Activity& deg) {
  const size_t nr = ref.envelope.size(), nd = deg.envelope.size();
  if (nr == 0 || nd == 0) return 0;
  size_t n = 1;
  while (n < nr + nd) n <<= 1;
  fft::RealFFT<double> f(static_cast<int>(n));
  std::vector<double> a(n, 0.0), b(n, 0.0), c(n);
  std::copy(ref.envelope.begin(), ref.envelope.end(), a.begin());
  std::copy(deg.envelope.begin(), deg.envelope.end(), b.begin());
  std::vector<std::complex<double>> A(n / 2 + 1), B(n / 2 + 1);
  f.forward(a, A);
  f.forward(b, B);
  for (size_t k = 0; k < A.size(); ++k) A[k] = std::conj(A[k]) * B[k];
  f.inverse(A, c);  // c[l] = sum_k ref[k] deg[k + l], negative l at n + l
  double best = 0;
  long best_lag = 0;
  const double eps = 1e-9 * (1.0 + std::abs(c[0]));
  for (long lag = -static_cast<long>(nr) + 1; lag < static_cast<long>(nd); ++lag) {
    const double v = c[static_cast<size_t>((lag + static_cast<long>(n)) % static_cast<long>(n))];
    // Rounding noise must not pull the lag away from zero when nothing correlates.
    const bool tie_nearer = std::abs(v - best) <= eps && std::abs(lag) < std::abs(best_lag);
    if (v > best + eps || (tie_nearer && v > eps)) {
      best = v;
      best_lag = lag;
    }
  }
  return static_cast<int>(best_lag);
}

FramePeaks frame_peaks(std::span<const double> ref, std::span<const double> deg, long a,
                       long b, int coarse, const Setup& s) {
  const int n = s.align_nfft;
  const int step = n / 4;
  const int nx = 2 * n;
  fft::RealFFT<double> f(nx);
  std::vector<double> window(n), rb(nx), db(nx), xc(nx);
  for (int i = 0; i < n; ++i)
    window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n);
  std::vector<std::complex<double>> R(nx / 2 + 1), D(nx / 2 + 1);
  FramePeaks out;
  out.coarse = coarse;
  const long stop = std::max(b - n, a);
  for (long p = a; p <= stop; p += step) {
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
    out.start.push_back(p);
    out.lag.push_back(at);
    // Frames vote for their best lag, loud frames a little more than quiet ones.
    out.weight.push_back(peak > 0 ? std::pow(peak, 0.125) : 0.0);
  }
  return out;
}

FineDelay histogram_delay(const FramePeaks& fp, size_t from, size_t to, const Setup& s) {
  const int n = s.align_nfft;
  // Votes over lags -n+1 .. n-1, smoothed with a triangular kernel of 1 ms half-width.
  const int h = s.rate / 1000;
  std::vector<double> sm(2 * n, 0.0);
  double total = 0;
  for (size_t i = from; i < to && i < fp.lag.size(); ++i) {
    const double w = fp.weight[i];
    if (w == 0) continue;
    total += w;
    const int c = fp.lag[i] + n;
    for (int j = -h + 1; j < h; ++j) {
      const int t = c + j;
      if (t >= 0 && t < 2 * n) sm[t] += w * double(h - std::abs(j)) / h;
    }
  }
  double best = 0;
  int best_i = n;
  for (int i = 0; i < 2 * n; ++i)
    if (sm[i] > best) best = sm[i], best_i = i;
  FineDelay out;
  out.delay = fp.coarse + best_i - n;
  // Share of the votes that agree with the winner (the kernel spreads each vote over h units).
  out.confidence = total > 0 ? best / total : 0.0;
  return out;
}

namespace {

void split_range(const FramePeaks& fp, size_t from, size_t to, const FineDelay& whole,
                 const Setup& s, int depth, std::vector<Piece>& out) {
  // Each part must span at least 300 ms of alignment frames.
  const size_t hop = static_cast<size_t>(s.align_nfft / 4);
  const size_t min_part = (static_cast<size_t>(s.rate) * 3 / 10 + hop - 1) / hop;
  double best = -1;
  size_t cut = 0;
  FineDelay left, right;
  if (depth > 0 && to - from >= 2 * min_part) {
    for (size_t j = from + min_part; j + min_part <= to; j += 2) {
      const FineDelay l = histogram_delay(fp, from, j, s);
      const FineDelay r = histogram_delay(fp, j, to, s);
      // Parts whose delays differ by less than one envelope frame (4 ms) are one utterance.
      if (std::abs(l.delay - r.delay) < s.env_frame || l.confidence <= whole.confidence ||
          r.confidence <= whole.confidence)
        continue;
      const double score = std::min(l.confidence, r.confidence);
      if (score > best) best = score, cut = j, left = l, right = r;
    }
  }
  if (best < 0) {
    out.push_back({from, to, whole});
    return;
  }
  split_range(fp, from, cut, left, s, depth - 1, out);
  split_range(fp, cut, to, right, s, depth - 1, out);
}

}  // namespace

std::vector<Piece> split_votes(const FramePeaks& fp, const Setup& s, int depth) {
  std::vector<Piece> out;
  const size_t m = fp.lag.size();
  split_range(fp, 0, m, histogram_delay(fp, 0, m, s), s, depth, out);
  return out;
}

}  // namespace vemio::pesq_detail

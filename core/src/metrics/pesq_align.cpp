// Time alignment of the P.862 model: voice activity, utterances, envelope (crude) alignment
// and the histogram-based fine alignment.
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <utility>

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

namespace {

// Cross-correlation peak of one 64 ms Hann frame of the reference (starting at p) with the
// degraded frame `coarse` samples later: the lag of the peak and the weight of its vote.
class PeakFinder {
 public:
  PeakFinder(std::span<const double> ref, std::span<const double> deg, const Setup& s)
      : ref_(ref), deg_(deg), n_(s.align_nfft), nx_(2 * s.align_nfft), f_(nx_), window_(n_),
        rb_(nx_), db_(nx_), xc_(nx_), R_(nx_ / 2 + 1), D_(nx_ / 2 + 1) {
    for (int i = 0; i < n_; ++i)
      window_[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n_);
  }

  std::pair<int, double> operator()(long p, int coarse) {
    std::fill(rb_.begin(), rb_.end(), 0.0);
    std::fill(db_.begin(), db_.end(), 0.0);
    for (int i = 0; i < n_; ++i) {
      rb_[i] = window_[i] * sample_at(ref_, p + i);
      db_[i] = window_[i] * sample_at(deg_, p + coarse + i);
    }
    f_.forward(rb_, R_);
    f_.forward(db_, D_);
    for (size_t k = 0; k < R_.size(); ++k) R_[k] = std::conj(R_[k]) * D_[k];
    f_.inverse(R_, xc_);
    // xc[t] = sum_i r[i] d[i + t] (circular, t < 0 at nx + t).
    double peak = 0;
    int at = 0;
    for (int t = -(n_ - 1); t <= n_ - 1; ++t) {
      const double v = std::abs(xc_[(t + nx_) % nx_]);
      if (v > peak) peak = v, at = t;
    }
    // Frames vote for their best lag, loud frames a little more than quiet ones.
    return {at, peak > 0 ? std::pow(peak, 0.125) : 0.0};
  }

 private:
  std::span<const double> ref_, deg_;
  int n_, nx_;
  fft::RealFFT<double> f_;
  std::vector<double> window_, rb_, db_, xc_;
  std::vector<std::complex<double>> R_, D_;
};

}  // namespace

FineDelay histogram_delay(const FramePeaks& fp, size_t from, size_t to, const Setup& s) {
  const int n = s.align_nfft;
  // Votes over lags -n+1 .. n-1, smoothed with a triangular kernel of 1.5 ms half-width. The
  // width was fitted to the reference model, whose wide-band alignment of some voices falls
  // on a pitch-period alias at delays of an odd number of half envelope frames; the kernel
  // decides between the true lag and the spread votes of the alias (black-box sweeps).
  const int h = s.rate * 3 / 2000;
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

// Utterance splitting where every candidate part is aligned on its own: its envelope lag over
// its own reference frames, then the fine delay voted by its frames at that lag.
class Splitter {
 public:
  Splitter(std::span<const double> ref, std::span<const double> deg, const Activity& ra,
           const Activity& da, const Utterance& u, int lo, int hi, const Setup& s)
      : s_(s), find_(ref, deg, s), e0_(u.start), lo_(lo), hi_(hi),
        a_(static_cast<long>(u.start) * s.env_frame), step_(s.align_nfft / 4) {
    const long b = static_cast<long>(u.end) * s.env_frame;
    frames_ = static_cast<size_t>((std::max(b - s.align_nfft, a_) - a_) / step_ + 1);
    // Running envelope cross-correlation per lag, so any part's envelope lag costs one pass
    // over the lags.
    const int len = u.end - u.start;
    const int nd = static_cast<int>(da.envelope.size());
    pre_.assign(static_cast<size_t>(hi - lo + 1), std::vector<double>(len + 1, 0.0));
    for (int lag = lo; lag <= hi; ++lag) {
      auto& row = pre_[static_cast<size_t>(lag - lo)];
      for (int k = 0; k < len; ++k) {
        const double r = ra.envelope[u.start + k];
        const int j = u.start + k + lag;
        row[k + 1] = row[k] + ((r != 0 && j >= 0 && j < nd) ? r * da.envelope[j] : 0.0);
      }
    }
  }

  size_t frames() const { return frames_; }

  // Envelope frame where a part starting at alignment frame j begins (between the last
  // frame of the part before and this one).
  int env_cut(size_t j) const {
    return static_cast<int>((a_ + static_cast<long>(j) * step_ + s_.align_nfft / 2 -
                             s_.align_nfft / 8) / s_.env_frame);
  }

  // Best envelope lag over reference envelope frames [x, y); ties go to the lag nearest zero.
  int lag_of(int x, int y) const {
    double best = -1;
    int best_lag = 0;
    for (int lag = lo_; lag <= hi_; ++lag) {
      const auto& row = pre_[static_cast<size_t>(lag - lo_)];
      const double c = row[y - e0_] - row[x - e0_];
      if (c > best || (c == best && std::abs(lag) < std::abs(best_lag))) best = c, best_lag = lag;
    }
    return best_lag;
  }

  // Fine delay of alignment frames [from, to) around the envelope lag `lag`.
  FineDelay fine(int lag, size_t from, size_t to) {
    auto& fp = peaks_[lag];
    if (fp.lag.empty()) {
      fp.coarse = lag * s_.env_frame;
      fp.lag.assign(frames_, 0);
      fp.weight.assign(frames_, -1.0);  // not computed yet
    }
    for (size_t j = from; j < to; ++j) {
      if (fp.weight[j] >= 0) continue;
      const auto [l, w] = find_(a_ + static_cast<long>(j) * step_, fp.coarse);
      fp.lag[j] = l;
      fp.weight[j] = w;
    }
    return histogram_delay(fp, from, to, s_);
  }

  // Splits alignment frames [from, to), which span envelope frames [x, y), into pieces.
  void split(size_t from, size_t to, int x, int y, const FineDelay& whole, int depth,
             std::vector<Piece>& out) {
    // Each part must span at least 300 ms of alignment frames.
    const size_t min_part = (static_cast<size_t>(s_.rate) * 3 / 10 + step_ - 1) / step_;
    double best = -1;
    size_t cut = 0;
    int cut_env = 0;
    FineDelay left, right;
    if (depth > 0 && to - from >= 2 * min_part) {
      for (size_t j = from + min_part; j + min_part <= to; j += 2) {
        const int c = std::clamp(env_cut(j), x + 1, y - 1);
        const FineDelay l = fine(lag_of(x, c), from, j);
        const FineDelay r = fine(lag_of(c, y), j, to);
        // Parts whose delays differ by less than one envelope frame (4 ms) are one utterance.
        if (std::abs(l.delay - r.delay) < s_.env_frame || l.confidence <= whole.confidence ||
            r.confidence <= whole.confidence)
          continue;
        const double score = std::min(l.confidence, r.confidence);
        if (score > best) best = score, cut = j, cut_env = c, left = l, right = r;
      }
    }
    if (best < 0) {
      out.push_back({from, to, whole, x});
      return;
    }
    split(from, cut, x, cut_env, left, depth - 1, out);
    split(cut, to, cut_env, y, right, depth - 1, out);
  }

 private:
  const Setup& s_;
  PeakFinder find_;
  int e0_, lo_, hi_;
  long a_;
  int step_;
  size_t frames_ = 0;
  std::vector<std::vector<double>> pre_;
  std::map<int, FramePeaks> peaks_;
};

}  // namespace

std::vector<Piece> split_utterance(std::span<const double> ref, std::span<const double> deg,
                                   const Activity& ra, const Activity& da, const Utterance& u,
                                   int lo, int hi, const Setup& s, int depth) {
  Splitter sp(ref, deg, ra, da, u, lo, hi, s);
  const size_t m = sp.frames();
  const FineDelay whole = sp.fine(sp.lag_of(u.start, u.end), 0, m);
  std::vector<Piece> out;
  sp.split(0, m, u.start, u.end, whole, depth, out);
  return out;
}

}  // namespace vemio::pesq_detail

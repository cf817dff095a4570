// Time alignment of the P.862 model: voice activity, utterances, envelope (crude) alignment
// and the histogram-based fine alignment.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <map>
#include <numbers>
#include <utility>

#include "pesq_detail.hpp"
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
// The reference frame's spectrum does not depend on the lag: callers that meet a frame at
// several lags keep it (`ref_spectrum`, computed on first use when empty).
class PeakFinder {
 public:
  using Spectrum = std::vector<std::complex<double>>;

  PeakFinder(std::span<const double> ref, std::span<const double> deg, const Setup& s)
      : ref_(ref),
        deg_(deg),
        n_(s.align_nfft),
        nx_(2 * s.align_nfft),
        f_(nx_),
        window_(n_),
        rb_(nx_, 0.0),
        db_(nx_, 0.0),
        xc_(nx_),
        R_(nx_ / 2 + 1),
        D_(nx_ / 2 + 1) {
    for (int i = 0; i < n_; ++i) window_[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / n_);
  }

  size_t spectrum_size() const { return R_.size(); }

  std::pair<int, double> operator()(long p, int coarse, Spectrum* ref_spectrum = nullptr) {
    // Only the first n_ samples of the buffers are ever written: the zero padding stays.
    const Spectrum* R = ref_spectrum;
    if (!R || R->empty()) {
      windowed(ref_, p, rb_);
      Spectrum& out = ref_spectrum ? *ref_spectrum : R_;
      out.resize(R_.size());
      f_.forward(rb_, out);
      R = &out;
    }
    windowed(deg_, p + coarse, db_);
    f_.forward(db_, D_);
    // conj(R) D, written out: the library's product checks every result for NaN (the
    // arithmetic is the same, and finite spectra need no recovery)
    for (size_t k = 0; k < D_.size(); ++k) {
      const double a = (*R)[k].real(), b = -(*R)[k].imag(), c = D_[k].real(), d = D_[k].imag();
      D_[k] = {a * c - b * d, a * d + b * c};
    }
    f_.inverse(D_, xc_);
    // xc[t] = sum_i r[i] d[i + t] (circular, t < 0 at nx + t).
    double peak = 0;
    int at = 0;
    for (int t = -(n_ - 1); t < 0; ++t) {
      const double v = std::abs(xc_[t + nx_]);
      if (v > peak) peak = v, at = t;
    }
    for (int t = 0; t <= n_ - 1; ++t) {
      const double v = std::abs(xc_[t]);
      if (v > peak) peak = v, at = t;
    }
    // Frames vote for their best lag, loud frames a little more than quiet ones.
    return {at, peak > 0 ? std::pow(peak, 0.125) : 0.0};
  }

 private:
  void windowed(std::span<const double> x, long p, std::vector<double>& buf) const {
    if (p >= 0 && p + n_ <= static_cast<long>(x.size())) {
      const double* src = x.data() + p;
      for (int i = 0; i < n_; ++i) buf[i] = window_[i] * src[i];
    } else {
      for (int i = 0; i < n_; ++i) buf[i] = window_[i] * sample_at(x, p + i);
    }
  }

  std::span<const double> ref_, deg_;
  int n_, nx_;
  fft::RealFFT<double> f_;
  std::vector<double> window_, rb_, db_, xc_;
  Spectrum R_, D_;
};

// Per-frame votes of the fine alignment at one coarse delay: the lag of each 64 ms Hann frame's
// correlation peak relative to the coarse delay, and the weight of its vote (negative until
// the frame has been correlated).
struct FramePeaks {
  int coarse = 0;
  std::vector<int> lag;
  std::vector<double> weight;
};

// Votes over lags -n+1 .. n-1, smoothed with a triangular kernel of 1.5 ms half-width. The
// width was fitted to the reference model, whose wide-band alignment of some voices falls
// on a pitch-period alias at delays of an odd number of half envelope frames; the kernel
// decides between the true lag and the spread votes of the alias (black-box sweeps).
//
// Frames join and leave the histogram one at a time while the splitter sweeps its cut, so
// the votes are summed in fixed point: the sums are then exact, and a histogram grown and
// shrunk frame by frame equals one built from scratch over the same frames.
class VoteHistogram {
 public:
  explicit VoteHistogram(const Setup& s)
      : n_(s.align_nfft), h_(s.rate * 3 / 2000), sm_(static_cast<size_t>(2 * n_), 0) {}

  // sign +1 adds frame i's vote, -1 takes it back.
  void vote(const FramePeaks& fp, size_t i, int sign) {
    // The weight is the eighth root of a correlation peak of level-aligned frames, so it
    // stays far below the cap; the cap only keeps the sums from overflowing.
    const double w = std::min(fp.weight[i], 1e6);
    if (w <= 0) return;
    const std::int64_t q = sign * std::llround(w * 65536.0);
    total_ += q;
    const int c = fp.lag[i] + n_;
    for (int j = -h_ + 1; j < h_; ++j) {
      const int t = c + j;
      if (t >= 0 && t < 2 * n_) sm_[static_cast<size_t>(t)] += q * (h_ - std::abs(j));
    }
  }

  // The winning delay (coarse delay plus the lag with most smoothed votes) and the share of
  // the votes that agree with it (the kernel spreads each vote over h units).
  FineDelay best(int coarse) const {
    std::int64_t top = 0;
    int at = n_;
    for (int i = 0; i < 2 * n_; ++i)
      if (sm_[static_cast<size_t>(i)] > top) top = sm_[static_cast<size_t>(i)], at = i;
    FineDelay out;
    out.delay = coarse + at - n_;
    out.confidence = total_ > 0 ? double(top) / (double(total_) * h_) : 0.0;
    return out;
  }

 private:
  int n_, h_;
  std::vector<std::int64_t> sm_;
  std::int64_t total_ = 0;
};

// Utterance splitting where every candidate part is aligned on its own: its envelope lag over
// its own reference frames, then the fine delay voted by its frames at that lag.
class Splitter {
 public:
  Splitter(std::span<const double> ref, std::span<const double> deg, const Activity& ra, const Activity& da,
           const Utterance& u, int lo, int hi, const Setup& s)
      : s_(s),
        find_(ref, deg, s),
        ra_(ra),
        da_(da),
        lo_(lo),
        hi_(hi),
        a_(static_cast<long>(u.start) * s.env_frame),
        step_(s.align_nfft / 4) {
    const long b = static_cast<long>(u.end) * s.env_frame;
    frames_ = static_cast<size_t>((std::max(b - s.align_nfft, a_) - a_) / step_ + 1);
    // A frame is met at every lag the cut sweep tries; its spectrum is kept unless the
    // utterance is very long (16 kB a frame at 16 kHz).
    if (frames_ * find_.spectrum_size() * sizeof(std::complex<double>) <= (size_t(64) << 20))
      ref_spectra_.resize(frames_);
  }

  size_t frames() const { return frames_; }

  // Envelope frame where a part starting at alignment frame j begins (between the last
  // frame of the part before and this one).
  int env_cut(size_t j) const {
    return static_cast<int>((a_ + static_cast<long>(j) * step_ + s_.align_nfft / 2 - s_.align_nfft / 8) / s_.env_frame);
  }

  // Envelope cross-correlation of reference frames [x, y) per lag in [lo, hi].
  std::vector<double> env_corr(int x, int y) const {
    std::vector<double> c(static_cast<size_t>(hi_ - lo_ + 1), 0.0);
    for (int k = x; k < y; ++k) add_env_frame(c, k);
    return c;
  }

  void add_env_frame(std::vector<double>& c, int k) const {
    const double r = ra_.envelope[static_cast<size_t>(k)];
    if (r == 0) return;
    const int nd = static_cast<int>(da_.envelope.size());
    for (int lag = lo_; lag <= hi_; ++lag) {
      const int j = k + lag;
      if (j >= 0 && j < nd) c[static_cast<size_t>(lag - lo_)] += r * da_.envelope[j];
    }
  }

  // The lag of the largest correlation; ties go to the lag nearest zero.
  int best_lag(const std::vector<double>& c) const {
    double best = -1;
    int best_lag = 0;
    for (int lag = lo_; lag <= hi_; ++lag) {
      const double v = c[static_cast<size_t>(lag - lo_)];
      if (v > best || (v == best && std::abs(lag) < std::abs(best_lag))) best = v, best_lag = lag;
    }
    return best_lag;
  }

  // The votes of alignment frames [from, to) around the envelope lag `lag`, correlating the
  // frames not yet seen at that lag.
  FramePeaks& peaks(int lag, size_t from, size_t to) {
    auto& fp = peaks_[lag];
    if (fp.lag.empty()) {
      fp.coarse = lag * s_.env_frame;
      fp.lag.assign(frames_, 0);
      fp.weight.assign(frames_, -1.0);
    }
    for (size_t j = from; j < to; ++j) {
      if (fp.weight[j] >= 0) continue;
      const auto [l, w] =
          find_(a_ + static_cast<long>(j) * step_, fp.coarse, ref_spectra_.empty() ? nullptr : &ref_spectra_[j]);
      fp.lag[j] = l;
      fp.weight[j] = w;
    }
    return fp;
  }

  // Fine delay of alignment frames [from, to) around the envelope lag `lag`.
  FineDelay fine(int lag, size_t from, size_t to) {
    const FramePeaks& fp = peaks(lag, from, to);
    VoteHistogram h(s_);
    for (size_t j = from; j < to; ++j) h.vote(fp, j, +1);
    return h.best(fp.coarse);
  }

  // Splits alignment frames [from, to), which span envelope frames [x, y), into pieces.
  void split(size_t from, size_t to, int x, int y, const FineDelay& whole, int depth, std::vector<Piece>& out) {
    // Each part must span at least 300 ms of alignment frames.
    const size_t min_part = (static_cast<size_t>(s_.rate) * 3 / 10 + step_ - 1) / step_;
    double best = -1;
    size_t cut = 0;
    int cut_env = 0;
    FineDelay left, right;
    if (depth > 0 && to - from >= 2 * min_part) {
      // The cut sweeps forward: the left part's envelope correlation grows with it and the
      // right part's is the rest of the whole. Each envelope lag met on either side keeps
      // its histogram, which frames join (left) or leave (right) as the cut passes them, so
      // the sweep costs one pass over the frames per lag rather than one per cut.
      const std::vector<double> all = env_corr(x, y);
      std::vector<double> lc(all.size(), 0.0), rc(all.size());
      int lc_to = x;
      struct Side {
        VoteHistogram h;
        size_t edge;  // left: frames [from, edge) have voted; right: frames [edge, to)
      };
      std::map<int, Side> lefts, rights;
      for (size_t j = from + min_part; j + min_part <= to; j += 2) {
        const int c = std::clamp(env_cut(j), x + 1, y - 1);
        for (; lc_to < c; ++lc_to) add_env_frame(lc, lc_to);
        for (size_t k = 0; k < all.size(); ++k) rc[k] = all[k] - lc[k];
        const int ll = best_lag(lc), rl = best_lag(rc);

        auto li = lefts.try_emplace(ll, Side{VoteHistogram(s_), from}).first;
        const FramePeaks& lp = peaks(ll, li->second.edge, j);
        for (; li->second.edge < j; ++li->second.edge) li->second.h.vote(lp, li->second.edge, +1);

        auto ri = rights.find(rl);
        if (ri == rights.end()) {
          ri = rights.emplace(rl, Side{VoteHistogram(s_), j}).first;
          const FramePeaks& fresh = peaks(rl, j, to);
          for (size_t k = j; k < to; ++k) ri->second.h.vote(fresh, k, +1);
        }
        const FramePeaks& rp = peaks_[rl];
        for (; ri->second.edge < j; ++ri->second.edge) ri->second.h.vote(rp, ri->second.edge, -1);

        const FineDelay l = li->second.h.best(lp.coarse);
        const FineDelay r = ri->second.h.best(rp.coarse);
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
  const Activity& ra_;
  const Activity& da_;
  int lo_, hi_;
  long a_;
  int step_;
  size_t frames_ = 0;
  std::map<int, FramePeaks> peaks_;
  std::vector<PeakFinder::Spectrum> ref_spectra_;  // per alignment frame, once met
};

}  // namespace

std::vector<Piece> split_utterance(std::span<const double> ref, std::span<const double> deg, const Activity& ra,
                                   const Activity& da, const Utterance& u, int file_lag, int range, const Setup& s,
                                   int depth) {
  Splitter sp(ref, deg, ra, da, u, file_lag - range, file_lag + range, s);
  const size_t m = sp.frames();
  const int own = sp.best_lag(sp.env_corr(u.start, u.end));
  FineDelay whole = sp.fine(own, 0, m);
  // The envelope of voiced speech carries its pitch pulses, so an utterance's envelope
  // correlation can peak a pitch period or so off the true lag (typically when the delay
  // falls halfway between envelope frames). Frames cut around such a lag favour the pitch
  // alias nearest it and agree only weakly. The file's lag, taken over more speech, is tried
  // too, and the utterance is aligned around whichever lag its frames agree on better
  // (matches the reference model on such delays, black-box).
  if (own != file_lag) {
    const FineDelay at_file = sp.fine(file_lag, 0, m);
    if (at_file.confidence > whole.confidence) whole = at_file;
  }
  std::vector<Piece> out;
  sp.split(0, m, u.start, u.end, whole, depth, out);
  return out;
}

}  // namespace vemio::pesq_detail

// Per-frame kernels of the four noise-power estimators (weighted average, continuous minimum
// tracking, MCRA and MCRA-2). Every kernel works bin by bin in increasing order and reads all
// inputs of a bin before writing that bin, so an output may be the same buffer as an input of
// the same bin (the estimators keep one array under several names).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace vemio::enhance::est {

// The constants each estimator starts from: the entries of its starting parameter dictionary.
// The frame counter `n` of the counting estimators starts at kFirstFrame.
inline constexpr long kFirstFrame = 2;

struct WeightConstants {
  double ass = 0.85;  // smoothing of the noise estimate towards P
  double beta = 1.5;  // P below beta * noise counts as noise
};

struct MinTrackConstants {
  double alpha = 0.7;    // smoothing of the power spectrum
  double beta = 0.96;    // look-ahead factor of the minimum
  double gamma = 0.998;  // memory of the minimum
};

struct McraConstants {
  double ad = 0.95;  // noise smoothing
  double ass = 0.8;  // power smoothing
  double ap = 0.2;   // speech-presence smoothing
  long delta = 5;    // speech threshold on P / Pmin (an integer entry)
  long L = 100;      // frames per minimum-search window
};

struct Mcra2Constants {
  double ad = 0.95, ass = 0.8, ap = 0.2;  // as McraConstants
  double beta = 0.8, beta1 = 0.98;        // minimum look-ahead (beta1 is stored, not used)
  double gamma = 0.998;                   // memory of the minimum
  double alpha = 0.7;                     // smoothing of the power spectrum
};

// MCRA-2 speech thresholds per bin: `low` below high_from_hz (stored as two runs that meet
// at low_split_hz), `high` from there up to half the bins, then the same mirrored.
struct Mcra2Thresholds {
  long low_split_hz = 1000, high_from_hz = 3000;
  long low = 2, high = 5;
};

inline constexpr WeightConstants kWeight{};
inline constexpr MinTrackConstants kMinTrack{};
inline constexpr McraConstants kMcra{};
inline constexpr Mcra2Constants kMcra2{};
inline constexpr Mcra2Thresholds kMcra2Thresholds{};

// out = a * prev + (1 - a) * x  (recursive smoothing of a power spectrum).
void smooth(const double* prev, const double* x, double a, double* out, std::size_t n);

// Weighted average: where P < beta * noise (strictly), noise = ass * noise + (1 - ass) * P.
// Returns the number of bins written.
std::size_t weight_noise(const double* P, double ass, double beta, double* noise, std::size_t n);

// Continuous minimum tracking. Where pnk_old <= pxk: the recursive rule
//   pnk = gamma * pnk_old + (1 - gamma) / (1 - beta) * (pxk - beta * pxk_old);
// elsewhere pnk = pxk (the minimum follows a falling power).
void track_minimum(const double* pnk_old, const double* pxk_old, const double* pxk, double beta, double gamma,
                   double* pnk, std::size_t n);

// MCRA-2 minimum: the recursive rule only where pnk_old < pxk (strictly); other bins of pnk
// are left unwritten. Returns the number of bins written.
std::size_t track_minimum_rising(const double* pnk_old, const double* pxk_old, const double* pxk, double beta,
                                 double gamma, double* pnk, std::size_t n);

// numpy's minimum of two values: NaN wins.
inline double nan_min(double a, double b) { return (a <= b || a != a) ? a : b; }

// True when frame counter n starts a new MCRA minimum-search window of L frames.
inline bool mcra_window_restarts(long n, long L) { return n % L == 0; }

// One bin of MCRA's windowed minimum search for the smoothed power p. At a window restart
// the minimum is min(old temporary minimum, p) and the temporary minimum starts again at p
// (the old minimum is not read); otherwise both follow p down.
struct WindowMinimum {
  double pmin, ptmp;
};
template <bool kRestart>
inline WindowMinimum mcra_window_step(double p, double pmin_old, double ptmp_old) {
  if constexpr (kRestart)
    return {nan_min(ptmp_old, p), p};
  else
    return {nan_min(pmin_old, p), nan_min(ptmp_old, p)};
}

// mcra_window_step over all bins of P. Pmin_old is not read at a restart (it may be empty);
// the other spans hold P.size() values. Ptmp may be P itself (a restarted window's temporary
// minimum is P), the outputs may be the old arrays.
void mcra_window_minimum(bool restart, std::span<const double> P, std::span<const double> Pmin_old,
                         std::span<const double> Ptmp_old, std::span<double> Pmin, std::span<double> Ptmp);

// Speech presence and noise update shared by MCRA and MCRA-2. With the indicator
//   I = (num / den > delta)   (strictly; delta[i * delta_stride], stride 0 for one threshold)
// it sets pk = ap * pk + (1 - ap) * I, adk = ad + (1 - ad) * pk and
// noise = adk * noise + (1 - adk) * src. pk and noise are updated in place.
void presence_update(const double* num, const double* den, const double* delta, std::size_t delta_stride, double ap,
                     double ad, const double* src, double* pk, double* noise, std::size_t n);

// The MCRA estimator of the enhancement driver, on `n` bins, with the constants kMcra.
class Mcra {
 public:
  explicit Mcra(std::size_t n);
  // First frame: every array starts as the frame's power; frame counter kFirstFrame.
  void init(const double* ps);
  // One later frame.
  void update(const double* ps);
  const double* noise() const { return noise_; }
  const double* P() const { return P_; }
  const double* Pmin() const { return Pmin_; }
  const double* Ptmp() const { return Ptmp_; }
  const double* pk() const { return pk_; }
  long frame() const { return n_; }

  ~Mcra();
  Mcra(const Mcra&) = delete;
  Mcra& operator=(const Mcra&) = delete;

 private:
  std::size_t size_;
  long n_ = kFirstFrame;
  double* buf_;
  double *P_, *Pmin_, *Ptmp_, *pk_, *noise_;
};

}  // namespace vemio::enhance::est

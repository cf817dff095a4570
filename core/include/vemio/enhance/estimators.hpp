// Per-frame kernels of the four noise-power estimators (weighted average, continuous minimum
// tracking, MCRA and MCRA-2). Every kernel works bin by bin in increasing order and reads all
// inputs of a bin before writing that bin, so an output may be the same buffer as an input of
// the same bin (the estimators keep one array under several names).
#pragma once

#include <cmath>
#include <cstddef>

namespace vemio::enhance::est {

// out = a * prev + (1 - a) * x  (recursive smoothing of a power spectrum).
void smooth(const double* prev, const double* x, double a, double* out, std::size_t n);

// Weighted average: where P < beta * noise (strictly), noise = ass * noise + (1 - ass) * P.
// Returns the number of bins written.
std::size_t weight_noise(const double* P, double ass, double beta, double* noise, std::size_t n);

// Continuous minimum tracking. Where pnk_old <= pxk: the recursive rule
//   pnk = gamma * pnk_old + (1 - gamma) / (1 - beta) * (pxk - beta * pxk_old);
// elsewhere pnk = pxk (the minimum follows a falling power).
void track_minimum(const double* pnk_old, const double* pxk_old, const double* pxk, double beta,
                   double gamma, double* pnk, std::size_t n);

// MCRA-2 minimum: the recursive rule only where pnk_old < pxk (strictly); other bins of pnk
// are left unwritten. Returns the number of bins written.
std::size_t track_minimum_rising(const double* pnk_old, const double* pxk_old, const double* pxk,
                          double beta, double gamma, double* pnk, std::size_t n);

// numpy's minimum: element-wise, NaN wins.
inline double nan_min(double a, double b) { return (a <= b || a != a) ? a : b; }
void minimum(const double* a, const double* b, double* out, std::size_t n);

// Speech presence and noise update shared by MCRA and MCRA-2. With the indicator
//   I = (num / den > delta)   (strictly; delta[i * delta_stride], stride 0 for one threshold)
// it sets pk = ap * pk + (1 - ap) * I, adk = ad + (1 - ad) * pk and
// noise = adk * noise + (1 - adk) * src. pk and noise are updated in place.
void presence_update(const double* num, const double* den, const double* delta,
                     std::size_t delta_stride, double ap, double ad, const double* src, double* pk,
                     double* noise, std::size_t n);

// The MCRA estimator of the enhancement driver, on `n` bins, with its fixed constants.
class Mcra {
 public:
  static constexpr double kAss = 0.8, kAd = 0.95, kAp = 0.2, kDelta = 5.0;
  static constexpr long kL = 100;

  explicit Mcra(std::size_t n);
  // First frame: every array starts as the frame's power; frame counter 2.
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
  long n_ = 2;
  double* buf_;
  double *P_, *Pmin_, *Ptmp_, *pk_, *noise_;
};

}  // namespace vemio::enhance::est

#include "vemio/enhance/estimators.hpp"

#include <algorithm>
#include <stdexcept>

namespace vemio::enhance::est {

void smooth(const double* prev, const double* x, double a, double* out, std::size_t n) {
  const double b = 1.0 - a;
  for (std::size_t i = 0; i < n; ++i) out[i] = a * prev[i] + b * x[i];
}

std::size_t weight_noise(const double* P, double ass, double beta, double* noise, std::size_t n) {
  const double b = 1.0 - ass;
  std::size_t written = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double p = P[i], v = noise[i];
    if (p < beta * v) {
      noise[i] = ass * v + b * p;
      ++written;
    }
  }
  return written;
}

void track_minimum(const double* pnk_old, const double* pxk_old, const double* pxk, double beta, double gamma,
                   double* pnk, std::size_t n) {
  const double c = (1.0 - gamma) / (1.0 - beta);
  for (std::size_t t = 0; t < n; ++t) {
    const double m = pnk_old[t], old = pxk_old[t], p = pxk[t];
    pnk[t] = (m <= p) ? gamma * m + c * (p - beta * old) : p;
  }
}

std::size_t track_minimum_rising(const double* pnk_old, const double* pxk_old, const double* pxk, double beta,
                                 double gamma, double* pnk, std::size_t n) {
  const double c = (1.0 - gamma) / (1.0 - beta);
  std::size_t written = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double m = pnk_old[i], old = pxk_old[i], p = pxk[i];
    if (m < p) {
      pnk[i] = gamma * m + c * (p - beta * old);
      ++written;
    }
  }
  return written;
}

void presence_update(const double* num, const double* den, const double* delta, std::size_t delta_stride, double ap,
                     double ad, const double* src, double* pk, double* noise, std::size_t n) {
  const double bp = 1.0 - ap, bd = 1.0 - ad;
  for (std::size_t i = 0; i < n; ++i) {
    const double ikl = (num[i] / den[i] > delta[i * delta_stride]) ? 1.0 : 0.0;
    const double p = ap * pk[i] + bp * ikl;
    const double adk = ad + bd * p;
    pk[i] = p;
    noise[i] = adk * noise[i] + (1.0 - adk) * src[i];
  }
}

void mcra_window_minimum(bool restart, std::span<const double> P, std::span<const double> Pmin_old,
                         std::span<const double> Ptmp_old, std::span<double> Pmin, std::span<double> Ptmp) {
  const std::size_t n = P.size();
  if (Ptmp_old.size() != n || Pmin.size() != n || Ptmp.size() != n || (!restart && Pmin_old.size() != n))
    throw std::invalid_argument("mcra_window_minimum: spans of different lengths");
  for (std::size_t i = 0; i < n; ++i) {
    const WindowMinimum m = restart ? mcra_window_step<true>(P[i], 0.0, Ptmp_old[i])
                                    : mcra_window_step<false>(P[i], Pmin_old[i], Ptmp_old[i]);
    Pmin[i] = m.pmin;
    Ptmp[i] = m.ptmp;
  }
}

Mcra::Mcra(std::size_t n) : size_(n), buf_(new double[5 * n]) {
  P_ = buf_;
  Pmin_ = P_ + n;
  Ptmp_ = Pmin_ + n;
  pk_ = Ptmp_ + n;
  noise_ = pk_ + n;
}

Mcra::~Mcra() { delete[] buf_; }

void Mcra::init(const double* ps) {
  n_ = kFirstFrame;
  for (double* a : {P_, Pmin_, Ptmp_, noise_}) std::copy(ps, ps + size_, a);
  std::fill(pk_, pk_ + size_, 0.0);
}

namespace {

// One fused pass over the bins; the same arithmetic as smooth(), mcra_window_minimum() and
// presence_update(). The state arrays are distinct buffers of one allocation.
template <bool kRestart>
void mcra_pass(const double* __restrict ps, double* __restrict P, double* __restrict Pmin, double* __restrict Ptmp,
               double* __restrict pkv, double* __restrict noise, std::size_t n) {
  constexpr double ass = kMcra.ass, ap = kMcra.ap, ad = kMcra.ad, delta = double(kMcra.delta);
  constexpr double bs = 1.0 - ass, bp = 1.0 - ap, bd = 1.0 - ad;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = ps[i];
    const double p = ass * P[i] + bs * x;
    const WindowMinimum m = mcra_window_step<kRestart>(p, Pmin[i], Ptmp[i]);
    const double ikl = (p / m.pmin > delta) ? 1.0 : 0.0;
    const double pk = ap * pkv[i] + bp * ikl;
    const double adk = ad + bd * pk;
    P[i] = p;
    Pmin[i] = m.pmin;
    Ptmp[i] = m.ptmp;
    pkv[i] = pk;
    noise[i] = adk * noise[i] + (1.0 - adk) * x;
  }
}

}  // namespace

void Mcra::update(const double* ps) {
  if (mcra_window_restarts(n_, kMcra.L))
    mcra_pass<true>(ps, P_, Pmin_, Ptmp_, pk_, noise_, size_);
  else
    mcra_pass<false>(ps, P_, Pmin_, Ptmp_, pk_, noise_, size_);
  ++n_;
}

}  // namespace vemio::enhance::est

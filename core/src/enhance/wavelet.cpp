#include "vemio/enhance/wavelet.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "wavelet_table.hpp"

namespace vemio::enhance {

std::optional<WaveletFilters> find_wavelet(std::string_view name) {
  std::string key(name);
  for (auto& c : key) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < detail::kWaveletTableSize; ++i) {
    const auto& e = detail::kWaveletTable[i];
    if (key != e.name) continue;
    const std::size_t n = std::size_t(e.length);
    WaveletFilters w;
    w.name = e.name;
    w.dec_lo.assign(e.bank, e.bank + n);
    w.dec_hi.assign(e.bank + n, e.bank + 2 * n);
    w.rec_lo.assign(e.bank + 2 * n, e.bank + 3 * n);
    w.rec_hi.assign(e.bank + 3 * n, e.bank + 4 * n);
    return w;
  }
  return std::nullopt;
}

std::vector<std::string> wavelet_names() {
  std::vector<std::string> names;
  for (int i = 0; i < detail::kWaveletTableSize; ++i) names.emplace_back(detail::kWaveletTable[i].name);
  return names;
}

int dwt_max_level(std::size_t n, std::size_t filter_length) {
  if (filter_length < 2 || n < filter_length - 1) return 0;
  std::size_t q = n / (filter_length - 1);
  int level = 0;
  while (q >>= 1) ++level;
  return level;
}

namespace {

inline std::size_t wrap(long long i, std::size_t m) {
  long long r = i % (long long)m;
  return std::size_t(r < 0 ? r + (long long)m : r);
}

}  // namespace

namespace {

// Coefficient o of a band is sum_j f[j] * xe[(F/2 + 2o - j) mod M], xe the input extended to
// even length M by repeating its last sample. The input is copied once into `buf`, which
// repeats it periodically on both sides, so the inner loop needs no index arithmetic.
void analysis(const double* x, std::size_t n, const WaveletFilters& w, std::vector<double>& buf,
              double* approx, double* detail) {
  const std::size_t f = w.length(), h = f / 2;
  const std::size_t m = n + (n % 2), out_len = m / 2;
  const std::size_t left = f - 1, buf_len = left + h + m;  // buf[k] = xe[(k - left) mod m]
  buf.resize(buf_len);
  auto xe = [&](long long i) { return x[std::min(wrap(i, m), n - 1)]; };
  for (std::size_t k = 0; k < std::min(left, buf_len); ++k) buf[k] = xe((long long)k - (long long)left);
  std::copy(x, x + n, buf.begin() + long(left));
  for (std::size_t k = left + n; k < buf_len; ++k) buf[k] = xe((long long)k - (long long)left);
  // Reversed filters turn the convolution into a forward dot product over a window of buf.
  double lo[256], hi[256];
  std::vector<double> lo_big, hi_big;
  double *plo = lo, *phi = hi;
  if (f > 256) {
    lo_big.resize(f);
    hi_big.resize(f);
    plo = lo_big.data();
    phi = hi_big.data();
  }
  for (std::size_t j = 0; j < f; ++j) {
    plo[j] = w.dec_lo[f - 1 - j];
    phi[j] = w.dec_hi[f - 1 - j];
  }
  for (std::size_t o = 0; o < out_len; ++o) {
    const double* p = buf.data() + h + 2 * o;
    double a = 0.0, d = 0.0;
    for (std::size_t j = 0; j < f; ++j) {
      a += plo[j] * p[j];
      d += phi[j] * p[j];
    }
    approx[o] = a;
    detail[o] = d;
  }
}

// The adjoint placement: coefficient o adds rec[f-1-j] * c[o] at sample (F/2 + 2o - j) mod M.
// Samples are gathered instead, one polyphase branch per output parity: sample s = 2q + p
// takes the taps j of parity (p + F/2) from coefficients o = q + (p + j - F/2) / 2, read from
// band copies that repeat periodically on both sides.
void synthesis(const double* approx, const double* detail, std::size_t k, const WaveletFilters& w,
               std::vector<double>& ca, std::vector<double>& cd, double* out) {
  if (k == 0) return;
  const long long f = (long long)w.length(), h = f / 2;
  const long long o_min = -((h + 1) / 2) - 1;
  const long long o_max = (long long)k + (f + 1) / 2 + 1;
  const std::size_t cb_len = std::size_t(o_max - o_min + 1);
  ca.resize(cb_len);
  cd.resize(cb_len);
  for (std::size_t i = 0; i < cb_len; ++i) {
    std::size_t o = wrap((long long)i + o_min, k);
    ca[i] = approx[o];
    cd[i] = detail[o];
  }
  for (long long p = 0; p < 2; ++p) {
    const long long j0 = (p + h) % 2;
    const long long taps = (f - j0 + 1) / 2;
    const long long base = (p + j0 - h) / 2 - o_min;  // p + j0 - h is even
    std::vector<double> flo((std::size_t)taps), fhi((std::size_t)taps);
    for (long long t = 0; t < taps; ++t) {
      flo[std::size_t(t)] = w.rec_lo[std::size_t(f - 1 - (j0 + 2 * t))];
      fhi[std::size_t(t)] = w.rec_hi[std::size_t(f - 1 - (j0 + 2 * t))];
    }
    for (std::size_t q = 0; q < k; ++q) {
      const double* a = ca.data() + q + base;
      const double* d = cd.data() + q + base;
      double acc = 0.0;
      for (long long t = 0; t < taps; ++t) acc += flo[std::size_t(t)] * a[t] + fhi[std::size_t(t)] * d[t];
      out[2 * q + std::size_t(p)] = acc;
    }
  }
}

}  // namespace

void dwt_per(std::span<const double> x, const WaveletFilters& w, std::vector<double>& approx,
             std::vector<double>& detail) {
  const std::size_t half = (x.size() + 1) / 2;
  approx.resize(half);
  detail.resize(half);
  if (x.empty()) return;
  std::vector<double> buf;
  analysis(x.data(), x.size(), w, buf, approx.data(), detail.data());
}

void idwt_per(std::span<const double> approx, std::span<const double> detail,
              const WaveletFilters& w, std::vector<double>& out) {
  if (approx.size() != detail.size()) throw std::invalid_argument("idwt_per: band lengths differ");
  out.resize(2 * approx.size());
  std::vector<double> ca, cd;
  synthesis(approx.data(), detail.data(), approx.size(), w, ca, cd, out.data());
}

std::vector<std::vector<double>> wavedec_per(std::span<const double> x, const WaveletFilters& w) {
  const int levels = dwt_max_level(x.size(), w.length());
  std::vector<std::vector<double>> coeffs(std::size_t(levels) + 1);
  if (levels == 0) {
    coeffs[0].assign(x.begin(), x.end());
    return coeffs;
  }
  std::vector<double> buf, a, next;
  std::span<const double> cur = x;
  for (int l = 0; l < levels; ++l) {
    const std::size_t half = (cur.size() + 1) / 2;
    auto& d = coeffs[std::size_t(levels - l)];
    d.resize(half);
    next.resize(half);
    analysis(cur.data(), cur.size(), w, buf, next.data(), d.data());
    a.swap(next);
    cur = a;
  }
  coeffs[0] = std::move(a);
  return coeffs;
}

std::size_t waverec_length(const std::vector<std::vector<double>>& coeffs) {
  if (coeffs.empty()) throw std::invalid_argument("waverec_per: no coefficients");
  return coeffs.size() == 1 ? coeffs[0].size() : 2 * coeffs.back().size();
}

void waverec_per(const std::vector<std::vector<double>>& coeffs, const WaveletFilters& w,
                 std::span<double> out) {
  if (out.size() != waverec_length(coeffs)) throw std::invalid_argument("waverec_per: output size");
  if (coeffs.size() == 1) {
    std::copy(coeffs[0].begin(), coeffs[0].end(), out.begin());
    return;
  }
  std::vector<double> a = coeffs[0], next, ca, cd;
  for (std::size_t l = 1; l < coeffs.size(); ++l) {
    const auto& d = coeffs[l];
    if (a.size() == d.size() + 1)
      a.resize(d.size());
    else if (a.size() != d.size())
      throw std::invalid_argument("waverec_per: coefficient shape mismatch");
    const bool last = l + 1 == coeffs.size();
    if (!last) next.resize(2 * d.size());
    synthesis(a.data(), d.data(), d.size(), w, ca, cd, last ? out.data() : next.data());
    if (!last) a.swap(next);
  }
}

std::vector<double> waverec_per(const std::vector<std::vector<double>>& coeffs,
                                const WaveletFilters& w) {
  std::vector<double> out(waverec_length(coeffs));
  waverec_per(coeffs, w, out);
  return out;
}

void soft_threshold(std::span<double> band, double t) {
  for (double& x : band) {
    if (x == 0.0) continue;  // sign(0) = 0
    const double d = std::fabs(x) - t;
    if (d > 0.0)
      x = std::copysign(d, x);
    else if (!(d != d))
      x = 0.0;
    else
      x = std::numeric_limits<double>::quiet_NaN();
  }
}

double nan_max(std::span<const double> band) {
  double m = -std::numeric_limits<double>::infinity();
  bool any = false;
  for (double v : band) {
    if (v != v) continue;
    if (!any || v > m) m = v;
    any = true;
  }
  return any ? m : std::numeric_limits<double>::quiet_NaN();
}

std::vector<std::vector<double>> wavelet_shrink(std::span<const double> y, double thres,
                                                const WaveletFilters& w) {
  auto coeffs = wavedec_per(y, w);
  for (std::size_t l = 1; l < coeffs.size(); ++l) soft_threshold(coeffs[l], thres * nan_max(coeffs[l]));
  return coeffs;
}

std::vector<double> wavelet_low_pass_filter(std::span<const double> y, double thres,
                                            const WaveletFilters& w) {
  return waverec_per(wavelet_shrink(y, thres, w), w);
}

}  // namespace vemio::enhance

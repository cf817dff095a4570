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
// even length M by repeating its last sample. Coefficients whose taps all fall inside x read
// it directly; only the few at the edges wrap around.
void analysis(const double* x, std::size_t n, const WaveletFilters& w, double* approx, double* detail) {
  const std::size_t f = w.length(), h = f / 2;
  const std::size_t m = n + (n % 2), out_len = m / 2;
  // Reversed filters turn the convolution into a forward dot product over a window of x.
  std::vector<double> lo(w.dec_lo.rbegin(), w.dec_lo.rend()), hi(w.dec_hi.rbegin(), w.dec_hi.rend());
  const double *plo = lo.data(), *phi = hi.data();
  auto edge = [&](std::size_t o) {
    double a = 0.0, d = 0.0;
    for (std::size_t j = 0; j < f; ++j) {
      const long long i = (long long)(h + 2 * o) - (long long)(f - 1) + (long long)j;
      const double v = x[std::min(wrap(i, m), n - 1)];
      a += plo[j] * v;
      d += phi[j] * v;
    }
    approx[o] = a;
    detail[o] = d;
  };
  // interior: h + 2o - (f - 1) >= 0 and h + 2o <= n - 1
  const std::size_t first = (h >= f - 1) ? 0 : (f - 1 - h + 1) / 2;
  const std::size_t last = (n - 1 >= h) ? (n - 1 - h) / 2 + 1 : 0;  // one past
  std::size_t o = 0;
  for (; o < std::min(first, out_len); ++o) edge(o);
  for (; o < std::min(last, out_len); ++o) {
    const double* p = x + (h + 2 * o - (f - 1));
    double a = 0.0, d = 0.0;
    for (std::size_t j = 0; j < f; ++j) {
      a += plo[j] * p[j];
      d += phi[j] * p[j];
    }
    approx[o] = a;
    detail[o] = d;
  }
  for (; o < out_len; ++o) edge(o);
}

// The adjoint placement: coefficient o adds rec[f-1-j] * c[o] at sample (F/2 + 2o - j) mod M.
// Samples are gathered instead, one polyphase branch per output parity: sample s = 2q + p
// takes the taps j of parity (p + F/2) from coefficients o = q + (p + j - F/2) / 2 (mod k).
void synthesis(const double* approx, const double* detail, std::size_t k, const WaveletFilters& w, double* out) {
  if (k == 0) return;
  const long long f = (long long)w.length(), h = f / 2, kk = (long long)k;
  for (long long p = 0; p < 2; ++p) {
    const long long j0 = (p + h) % 2;
    const long long taps = (f - j0 + 1) / 2;
    const long long shift = (p + j0 - h) / 2;  // p + j0 - h is even
    std::vector<double> flo((std::size_t)taps), fhi((std::size_t)taps);
    for (long long t = 0; t < taps; ++t) {
      flo[std::size_t(t)] = w.rec_lo[std::size_t(f - 1 - (j0 + 2 * t))];
      fhi[std::size_t(t)] = w.rec_hi[std::size_t(f - 1 - (j0 + 2 * t))];
    }
    const double *pl = flo.data(), *ph = fhi.data();
    auto edge = [&](long long q) {
      double acc = 0.0;
      for (long long t = 0; t < taps; ++t) {
        const std::size_t o = wrap(q + shift + t, k);
        acc += pl[t] * approx[o] + ph[t] * detail[o];
      }
      out[2 * q + p] = acc;
    };
    // interior: q + shift >= 0 and q + shift + taps - 1 <= k - 1
    const long long first = std::clamp(-shift, 0LL, kk);
    const long long last = std::clamp(kk - shift - taps + 1, first, kk);  // one past
    long long q = 0;
    for (; q < first; ++q) edge(q);
    for (; q < last; ++q) {
      const double* a = approx + (q + shift);
      const double* d = detail + (q + shift);
      double acc = 0.0;
      for (long long t = 0; t < taps; ++t) acc += pl[t] * a[t] + ph[t] * d[t];
      out[2 * q + p] = acc;
    }
    for (; q < kk; ++q) edge(q);
  }
}

}  // namespace

void dwt_per(std::span<const double> x, const WaveletFilters& w, std::vector<double>& approx,
             std::vector<double>& detail) {
  const std::size_t half = (x.size() + 1) / 2;
  approx.resize(half);
  detail.resize(half);
  if (x.empty()) return;
  analysis(x.data(), x.size(), w, approx.data(), detail.data());
}

void idwt_per(std::span<const double> approx, std::span<const double> detail, const WaveletFilters& w,
              std::vector<double>& out) {
  if (approx.size() != detail.size()) throw std::invalid_argument("idwt_per: band lengths differ");
  out.resize(2 * approx.size());
  synthesis(approx.data(), detail.data(), approx.size(), w, out.data());
}

std::vector<std::vector<double>> wavedec_per(std::span<const double> x, const WaveletFilters& w) {
  const int levels = dwt_max_level(x.size(), w.length());
  std::vector<std::vector<double>> coeffs(std::size_t(levels) + 1);
  if (levels == 0) {
    coeffs[0].assign(x.begin(), x.end());
    return coeffs;
  }
  std::vector<double> a, next;
  std::span<const double> cur = x;
  for (int l = 0; l < levels; ++l) {
    const std::size_t half = (cur.size() + 1) / 2;
    auto& d = coeffs[std::size_t(levels - l)];
    d.resize(half);
    next.resize(half);
    analysis(cur.data(), cur.size(), w, next.data(), d.data());
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

void waverec_per(const std::vector<std::vector<double>>& coeffs, const WaveletFilters& w, std::span<double> out) {
  if (out.size() != waverec_length(coeffs)) throw std::invalid_argument("waverec_per: output size");
  if (coeffs.size() == 1) {
    std::copy(coeffs[0].begin(), coeffs[0].end(), out.begin());
    return;
  }
  std::vector<double> a = coeffs[0], next;
  for (std::size_t l = 1; l < coeffs.size(); ++l) {
    const auto& d = coeffs[l];
    if (a.size() == d.size() + 1)
      a.resize(d.size());
    else if (a.size() != d.size())
      throw std::invalid_argument("waverec_per: coefficient shape mismatch");
    const bool last = l + 1 == coeffs.size();
    if (!last) next.resize(2 * d.size());
    synthesis(a.data(), d.data(), d.size(), w, last ? out.data() : next.data());
    if (!last) a.swap(next);
  }
}

std::vector<double> waverec_per(const std::vector<std::vector<double>>& coeffs, const WaveletFilters& w) {
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

std::vector<std::vector<double>> wavelet_shrink(std::span<const double> y, double thres, const WaveletFilters& w) {
  auto coeffs = wavedec_per(y, w);
  for (std::size_t l = 1; l < coeffs.size(); ++l) soft_threshold(coeffs[l], thres * nan_max(coeffs[l]));
  return coeffs;
}

std::vector<double> wavelet_low_pass_filter(std::span<const double> y, double thres, const WaveletFilters& w) {
  return waverec_per(wavelet_shrink(y, thres, w), w);
}

}  // namespace vemio::enhance

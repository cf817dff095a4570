#include "fft_pow2.hpp"

#include <cmath>
#include <stdexcept>
#include <type_traits>
#include <utility>

#if VEMIO_FFT_SIMD
#include "fft_pow2_kernels.hpp"
#endif

namespace vemio::fft::detail {

namespace {

// exp(-2 pi i j / n) for every j < n, from a table of the first octant unfolded through the
// exact symmetries of sine and cosine, so every entry is within an ulp or so of the true
// value, with no recurrence to accumulate errors.
class UnitRoots {
 public:
  explicit UnitRoots(int n) : n_(n), c_(n / 8 + 1), s_(n / 8 + 1) {
    // the angle is formed in long double; double sine and cosine of the rounded angle are
    // within an ulp or so (the angle is below pi/4)
    const long double step = 2.0L * 3.14159265358979323846264338327950288L / n;
    for (int j = 0; j <= n / 8; ++j) {
      const double a = static_cast<double>(step * j);
      c_[j] = std::cos(a);
      s_[j] = std::sin(a);
    }
  }
  // cos and sin of 2 pi j / n for 0 <= j < n; the root is cos - i sin
  std::pair<double, double> operator()(long j) const {
    bool neg_s = false;
    if (j > n_ / 2) {  // sin(2pi - t) = -sin t
      j = n_ - j;
      neg_s = true;
    }
    bool neg_c = false;
    if (j > n_ / 4) {  // cos(pi - t) = -cos t
      j = n_ / 2 - j;
      neg_c = true;
    }
    double c, s;
    if (j > n_ / 8) {  // cos(pi/2 - t) = sin t
      c = s_[n_ / 4 - j];
      s = c_[n_ / 4 - j];
    } else {
      c = c_[j];
      s = s_[j];
    }
    return {neg_c ? -c : c, neg_s ? -s : s};
  }

 private:
  long n_;
  std::vector<double> c_, s_;
};

// One radix-4 decimation-in-frequency Stockham stage on s interleaved sequences of length
// len: element p of sequence q sits at q + s*p. Output k of the butterfly at p goes, times
// w^(k p), to q + s*(4p + k), so the next stage sees 4s sequences of length len/4.
template <typename T>
void radix4(int len, int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi,
            const T* __restrict wr, const T* __restrict wi) {
  const int n1 = len / 4;
  for (int p = 0; p < n1; ++p) {
    const T w1r = wr[p], w1i = wi[p];
    const T w2r = wr[n1 + p], w2i = wi[n1 + p];
    const T w3r = wr[2 * n1 + p], w3i = wi[2 * n1 + p];
    const T* __restrict ar = xr + s * p;
    const T* __restrict ai = xi + s * p;
    const T* __restrict br = ar + s * n1;
    const T* __restrict bi = ai + s * n1;
    const T* __restrict cr = br + s * n1;
    const T* __restrict ci = bi + s * n1;
    const T* __restrict dr = cr + s * n1;
    const T* __restrict di = ci + s * n1;
    T* __restrict y0r = yr + 4 * s * p;
    T* __restrict y0i = yi + 4 * s * p;
    T* __restrict y1r = y0r + s;
    T* __restrict y1i = y0i + s;
    T* __restrict y2r = y1r + s;
    T* __restrict y2i = y1i + s;
    T* __restrict y3r = y2r + s;
    T* __restrict y3i = y2i + s;
    for (int q = 0; q < s; ++q) {
      const T s0r = ar[q] + cr[q], s0i = ai[q] + ci[q];
      const T d0r = ar[q] - cr[q], d0i = ai[q] - ci[q];
      const T s1r = br[q] + dr[q], s1i = bi[q] + di[q];
      const T d1r = br[q] - dr[q], d1i = bi[q] - di[q];
      const T x1r = d0r + d1i, x1i = d0i - d1r;  // (a - c) - i (b - d)
      const T x2r = s0r - s1r, x2i = s0i - s1i;
      const T x3r = d0r - d1i, x3i = d0i + d1r;  // (a - c) + i (b - d)
      y0r[q] = s0r + s1r;
      y0i[q] = s0i + s1i;
      y1r[q] = w1r * x1r - w1i * x1i;
      y1i[q] = w1r * x1i + w1i * x1r;
      y2r[q] = w2r * x2r - w2i * x2i;
      y2i[q] = w2r * x2i + w2i * x2r;
      y3r[q] = w3r * x3r - w3i * x3i;
      y3i[q] = w3r * x3i + w3i * x3r;
    }
  }
}

// The first stage (a single sequence): the loop runs over p, with the twiddles read as arrays.
template <typename T>
void radix4_first(int len, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi,
                  const T* __restrict wr, const T* __restrict wi) {
  const int n1 = len / 4;
  for (int p = 0; p < n1; ++p) {
    const T ar = xr[p], ai = xi[p];
    const T br = xr[p + n1], bi = xi[p + n1];
    const T cr = xr[p + 2 * n1], ci = xi[p + 2 * n1];
    const T dr = xr[p + 3 * n1], di = xi[p + 3 * n1];
    const T s0r = ar + cr, s0i = ai + ci;
    const T d0r = ar - cr, d0i = ai - ci;
    const T s1r = br + dr, s1i = bi + di;
    const T d1r = br - dr, d1i = bi - di;
    const T x1r = d0r + d1i, x1i = d0i - d1r;
    const T x2r = s0r - s1r, x2i = s0i - s1i;
    const T x3r = d0r - d1i, x3i = d0i + d1r;
    const T w1r = wr[p], w1i = wi[p];
    const T w2r = wr[n1 + p], w2i = wi[n1 + p];
    const T w3r = wr[2 * n1 + p], w3i = wi[2 * n1 + p];
    yr[4 * p] = s0r + s1r;
    yi[4 * p] = s0i + s1i;
    yr[4 * p + 1] = w1r * x1r - w1i * x1i;
    yi[4 * p + 1] = w1r * x1i + w1i * x1r;
    yr[4 * p + 2] = w2r * x2r - w2i * x2i;
    yi[4 * p + 2] = w2r * x2i + w2i * x2r;
    yr[4 * p + 3] = w3r * x3r - w3i * x3i;
    yi[4 * p + 3] = w3r * x3i + w3i * x3r;
  }
}

// The last radix-4 stage (len 4, no twiddles).
template <typename T>
void radix4_last(int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi) {
  for (int q = 0; q < s; ++q) {
    const T s0r = xr[q] + xr[q + 2 * s], s0i = xi[q] + xi[q + 2 * s];
    const T d0r = xr[q] - xr[q + 2 * s], d0i = xi[q] - xi[q + 2 * s];
    const T s1r = xr[q + s] + xr[q + 3 * s], s1i = xi[q + s] + xi[q + 3 * s];
    const T d1r = xr[q + s] - xr[q + 3 * s], d1i = xi[q + s] - xi[q + 3 * s];
    yr[q] = s0r + s1r;
    yi[q] = s0i + s1i;
    yr[q + s] = d0r + d1i;
    yi[q + s] = d0i - d1r;
    yr[q + 2 * s] = s0r - s1r;
    yi[q + 2 * s] = s0i - s1i;
    yr[q + 3 * s] = d0r - d1i;
    yi[q + 3 * s] = d0i + d1r;
  }
}

// The last stage when the length has an odd power of two: len 2, no twiddles.
template <typename T>
void radix2_last(int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi) {
  for (int q = 0; q < s; ++q) {
    const T ar = xr[q], ai = xi[q], br = xr[q + s], bi = xi[q + s];
    yr[q] = ar + br;
    yi[q] = ai + bi;
    yr[q + s] = ar - br;
    yi[q + s] = ai - bi;
  }
}

}  // namespace

// The lengths below 64 (too short for the vector kernels' blocking) use the scalar code of
// this file, which follows the same stage layout.
#if VEMIO_FFT_SIMD
template <typename T>
void pow2_forward_simd(const Pow2Plan<T>& p, const T* x, T* X) {
  Simd<T, 16 / sizeof(T)>::forward(p, x, X);
}
template <typename T>
void pow2_inverse_simd(const Pow2Plan<T>& p, const T* X, T* x) {
  Simd<T, 16 / sizeof(T)>::inverse(p, X, x);
}
template void pow2_forward_simd<float>(const Pow2Plan<float>&, const float*, float*);
template void pow2_forward_simd<double>(const Pow2Plan<double>&, const double*, double*);
template void pow2_inverse_simd<float>(const Pow2Plan<float>&, const float*, float*);
template void pow2_inverse_simd<double>(const Pow2Plan<double>&, const double*, double*);
#endif

template <typename T>
Pow2RealFFT<T>::Pow2RealFFT(int n, bool allow_avx2) : n_(n), m_(n / 2) {
  if (!handles(n)) throw std::invalid_argument("power-of-two FFT length expected");
  const UnitRoots roots(n);
  int len = m_, s = 1;
  size_t tw = 0;
  while (len >= 4) {
    stages_.push_back({len, s, tw});
    const int n1 = len / 4;
    if (len > 4) {  // the len-4 stage multiplies by ones only
      twr_.resize(tw + 3 * n1);
      twi_.resize(tw + 3 * n1);
      for (int k = 1; k <= 3; ++k)
        for (int p = 0; p < n1; ++p) {
          // exp(-2 pi i k p / len) = root of n at k p n / len
          auto [c, sn] = roots(static_cast<long>(k) * p * (n / len));
          twr_[tw + (k - 1) * n1 + p] = static_cast<T>(c);
          twi_[tw + (k - 1) * n1 + p] = static_cast<T>(-sn);
        }
      tw += 3 * n1;
    }
    len /= 4;
    s *= 4;
  }
  radix2_ = (len == 2);
  ur_.resize(n / 4 + 1);
  ui_.resize(n / 4 + 1);
  for (int k = 0; k <= n / 4; ++k) {
    auto [c, sn] = roots(k);
    ur_[k] = static_cast<T>(c);
    ui_[k] = static_cast<T>(-sn);
  }
  ar_.resize(m_);
  ai_.resize(m_);
  br_.resize(m_);
  bi_.resize(m_);

  plan_.n = n_;
  plan_.m = m_;
  plan_.nstages = static_cast<int>(stages_.size());
  plan_.radix2 = radix2_;
  for (size_t i = 0; i < stages_.size(); ++i) {
    plan_.len[i] = stages_[i].len;
    plan_.stride[i] = stages_[i].stride;
    plan_.wr[i] = twr_.data() + stages_[i].tw;
    plan_.wi[i] = twi_.data() + stages_[i].tw;
  }
  plan_.ur = ur_.data();
  plan_.ui = ui_.data();
  plan_.ar = ar_.data();
  plan_.ai = ai_.data();
  plan_.br = br_.data();
  plan_.bi = bi_.data();
#if VEMIO_FFT_SIMD
  if (n_ >= 64) {
    fwd_ = pow2_forward_simd<T>;
    inv_ = pow2_inverse_simd<T>;
    if constexpr (std::is_same_v<T, double>) {
      if (allow_avx2 && pow2_have_avx2()) {
        fwd_ = pow2_forward_avx2;
        inv_ = pow2_inverse_avx2;
      }
    }
  }
#else
  (void)allow_avx2;
#endif
}

template <typename T>
void Pow2RealFFT<T>::complex_forward(T* re, T* im, T* sre, T* sim, T** out_re, T** out_im) {
  T *xr = re, *xi = im, *yr = sre, *yi = sim;
  for (const Stage& st : stages_) {
    if (st.len == 4)
      radix4_last(st.stride, xr, xi, yr, yi);
    else if (st.stride == 1)
      radix4_first(st.len, xr, xi, yr, yi, twr_.data() + st.tw, twi_.data() + st.tw);
    else
      radix4(st.len, st.stride, xr, xi, yr, yi, twr_.data() + st.tw, twi_.data() + st.tw);
    std::swap(xr, yr);
    std::swap(xi, yi);
  }
  if (radix2_) {
    radix2_last(m_ / 2, xr, xi, yr, yi);
    std::swap(xr, yr);
    std::swap(xi, yi);
  }
  *out_re = xr;
  *out_im = xi;
}

template <typename T>
void Pow2RealFFT<T>::forward(const T* x, std::complex<T>* X) {
  if (fwd_) return fwd_(plan_, x, reinterpret_cast<T*>(X));
  const int m = m_;
  T* __restrict zr = ar_.data();
  T* __restrict zi = ai_.data();
  // even samples as the real part, odd ones as the imaginary part
  for (int k = 0; k < m; ++k) {
    zr[k] = x[2 * k];
    zi[k] = x[2 * k + 1];
  }
  T *Zr, *Zi;
  complex_forward(ar_.data(), ai_.data(), br_.data(), bi_.data(), &Zr, &Zi);
  // Z = E + i O with E, O the spectra of the even and odd samples (both Hermitian), so
  // X[k] = E[k] + w^k O[k] and X[m - k] = conj(E[k] - w^k O[k]), w = exp(-2 pi i / n).
  T* Xf = reinterpret_cast<T*>(X);
  Xf[0] = Zr[0] + Zi[0];
  Xf[1] = 0;
  Xf[2 * m] = Zr[0] - Zi[0];
  Xf[2 * m + 1] = 0;
  const T* __restrict wr = ur_.data();
  const T* __restrict wi = ui_.data();
  for (int k = 1; k <= m / 2; ++k) {
    const T ar = Zr[k], ai = Zi[k], br = Zr[m - k], bi = -Zi[m - k];
    const T er = T(0.5) * (ar + br), ei = T(0.5) * (ai + bi);
    // O = (A - B) / (2i)
    const T or_ = T(0.5) * (ai - bi), oi = T(-0.5) * (ar - br);
    const T tr = wr[k] * or_ - wi[k] * oi, ti = wr[k] * oi + wi[k] * or_;
    Xf[2 * k] = er + tr;
    Xf[2 * k + 1] = ei + ti;
    Xf[2 * (m - k)] = er - tr;
    Xf[2 * (m - k) + 1] = ti - ei;
  }
}

template <typename T>
void Pow2RealFFT<T>::inverse(const std::complex<T>* X, T* x) {
  if (inv_) return inv_(plan_, reinterpret_cast<const T*>(X), x);
  const int m = m_;
  const T* Xf = reinterpret_cast<const T*>(X);
  const T scale = T(1) / static_cast<T>(n_);
  // Rebuild Z = E + i O from the bins (E[k] = (X[k] + conj X[m-k]) / 2, w^k O[k] =
  // (X[k] - conj X[m-k]) / 2), already scaled by 1/n. The inverse complex transform is the
  // forward one with real and imaginary parts swapped on the way in and out, which in split
  // layout is a swap of the two arrays: Z goes in as (Im Z, Re Z).
  T* __restrict zr = ai_.data();
  T* __restrict zi = ar_.data();
  zr[0] = (Xf[0] + Xf[2 * m]) * scale;
  zi[0] = (Xf[0] - Xf[2 * m]) * scale;
  const T* __restrict wr = ur_.data();
  const T* __restrict wi = ui_.data();
  for (int k = 1; k <= m / 2; ++k) {
    const T ar = Xf[2 * k], ai = Xf[2 * k + 1];
    const T br = Xf[2 * (m - k)], bi = -Xf[2 * (m - k) + 1];
    const T er = ar + br, ei = ai + bi;
    const T gr = ar - br, gi = ai - bi;
    // O = conj(w^k) G
    const T or_ = wr[k] * gr + wi[k] * gi, oi = wr[k] * gi - wi[k] * gr;
    // Z[k] = E + i O, Z[m - k] = conj(E) + i conj(O)
    zr[k] = (er - oi) * scale;
    zi[k] = (ei + or_) * scale;
    zr[m - k] = (er + oi) * scale;
    zi[m - k] = (or_ - ei) * scale;
  }
  T *Yr, *Yi;
  complex_forward(ar_.data(), ai_.data(), br_.data(), bi_.data(), &Yr, &Yi);
  // swapped back: Re z = Yi, Im z = Yr
  for (int k = 0; k < m; ++k) {
    x[2 * k] = Yi[k];
    x[2 * k + 1] = Yr[k];
  }
}

template class Pow2RealFFT<float>;
template class Pow2RealFFT<double>;

}  // namespace vemio::fft::detail

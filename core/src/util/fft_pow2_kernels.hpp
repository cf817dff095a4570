// SIMD kernels of the power-of-two real FFT, written with the compiler's generic vector types
// (GCC / Clang vector extensions) so one source serves SSE2, NEON and AVX2. This header is
// included by one source file per instruction set; everything in it has internal linkage and
// uses no library code, so nothing compiled for a wider instruction set can leak into code
// that runs on every machine.
//
// Layout: the complex transform of length m = n/2 works on split arrays (re[], im[]). Each
// radix-4 decimation-in-frequency Stockham stage sees `s` interleaved sequences of length
// `len` (element p of sequence q at q + s*p) and writes output k of the butterfly at p, times
// w^(kp), to q + s*(4p + k). The first stage (s = 1) vectorises over p and transposes 4 x W
// results on the way out; the others vectorise over q. The last stage (len 4, or len 2 when
// log2 m is odd) has no twiddles.
#pragma once

#include "fft_pow2_plan.hpp"

namespace vemio::fft::detail {
namespace {

template <typename T, int W>
struct Simd {
  static_assert(W == 2 || W == 4);
  typedef T V __attribute__((vector_size(W * sizeof(T))));

  static V load(const T* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(T* p, V v) { __builtin_memcpy(p, &v, sizeof v); }
  static V splat(T s) { return V{} + s; }
  static V rev(V v) {
    if constexpr (W == 2)
      return __builtin_shufflevector(v, v, 1, 0);
    else
      return __builtin_shufflevector(v, v, 3, 2, 1, 0);
  }
  // (a0 b0 a1 b1 ...): first and second half
  static V zip_lo(V a, V b) {
    if constexpr (W == 2)
      return __builtin_shufflevector(a, b, 0, 2);
    else
      return __builtin_shufflevector(a, b, 0, 4, 1, 5);
  }
  static V zip_hi(V a, V b) {
    if constexpr (W == 2)
      return __builtin_shufflevector(a, b, 1, 3);
    else
      return __builtin_shufflevector(a, b, 2, 6, 3, 7);
  }
  // even and odd elements of the 2W values a, b
  static V even(V a, V b) {
    if constexpr (W == 2)
      return __builtin_shufflevector(a, b, 0, 2);
    else
      return __builtin_shufflevector(a, b, 0, 2, 4, 6);
  }
  static V odd(V a, V b) {
    if constexpr (W == 2)
      return __builtin_shufflevector(a, b, 1, 3);
    else
      return __builtin_shufflevector(a, b, 1, 3, 5, 7);
  }
  // store 4 vectors (lanes j) as y0[0] y1[0] y2[0] y3[0] y0[1] ... (a 4 x W transpose)
  static void store_transposed(T* p, V y0, V y1, V y2, V y3) {
    if constexpr (W == 2) {
      store(p, zip_lo(y0, y1));
      store(p + 2, zip_lo(y2, y3));
      store(p + 4, zip_hi(y0, y1));
      store(p + 6, zip_hi(y2, y3));
    } else {
      const V t0 = zip_lo(y0, y1), t1 = zip_hi(y0, y1);
      const V t2 = zip_lo(y2, y3), t3 = zip_hi(y2, y3);
      store(p, __builtin_shufflevector(t0, t2, 0, 1, 4, 5));
      store(p + 4, __builtin_shufflevector(t0, t2, 2, 3, 6, 7));
      store(p + 8, __builtin_shufflevector(t1, t3, 0, 1, 4, 5));
      store(p + 12, __builtin_shufflevector(t1, t3, 2, 3, 6, 7));
    }
  }
  // W complex values from interleaved (re, im) memory
  static void load_complex(const T* p, V& re, V& im) {
    const V a = load(p), b = load(p + W);
    re = even(a, b);
    im = odd(a, b);
  }

  // radix-4 butterfly without twiddles: y_k = sum_j x_j (-i)^(jk)
  static void bfly4(V& ar, V& ai, V& br, V& bi, V& cr, V& ci, V& dr, V& di) {
    const V s0r = ar + cr, s0i = ai + ci, d0r = ar - cr, d0i = ai - ci;
    const V s1r = br + dr, s1i = bi + di, d1r = br - dr, d1i = bi - di;
    ar = s0r + s1r;
    ai = s0i + s1i;
    br = d0r + d1i;  // (a - c) - i (b - d)
    bi = d0i - d1r;
    cr = s0r - s1r;
    ci = s0i - s1i;
    dr = d0r - d1i;  // (a - c) + i (b - d)
    di = d0i + d1r;
  }
  static void cmul(V& r, V& i, V wr, V wi) {
    const V t = r * wr - i * wi;
    i = r * wi + i * wr;
    r = t;
  }

  // First stage (one sequence of length len = m); reads split arrays, or the real input
  // (interleaved: even samples are the real parts) when xi is null.
  static void first(int len, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi,
                    const T* __restrict wr, const T* __restrict wi) {
    const int n1 = len / 4;
    for (int p = 0; p < n1; p += W) {
      V ar, ai, br, bi, cr, ci, dr, di;
      if (xi == nullptr) {
        load_complex(xr + 2 * p, ar, ai);
        load_complex(xr + 2 * (p + n1), br, bi);
        load_complex(xr + 2 * (p + 2 * n1), cr, ci);
        load_complex(xr + 2 * (p + 3 * n1), dr, di);
      } else {
        ar = load(xr + p), ai = load(xi + p);
        br = load(xr + p + n1), bi = load(xi + p + n1);
        cr = load(xr + p + 2 * n1), ci = load(xi + p + 2 * n1);
        dr = load(xr + p + 3 * n1), di = load(xi + p + 3 * n1);
      }
      bfly4(ar, ai, br, bi, cr, ci, dr, di);
      cmul(br, bi, load(wr + p), load(wi + p));
      cmul(cr, ci, load(wr + n1 + p), load(wi + n1 + p));
      cmul(dr, di, load(wr + 2 * n1 + p), load(wi + 2 * n1 + p));
      store_transposed(yr + 4 * p, ar, br, cr, dr);
      store_transposed(yi + 4 * p, ai, bi, ci, di);
    }
  }

  // Middle stage: s >= W interleaved sequences of length len.
  static void mid(int len, int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi,
                  const T* __restrict wr, const T* __restrict wi) {
    const int n1 = len / 4;
    for (int p = 0; p < n1; ++p) {
      const V w1r = splat(wr[p]), w1i = splat(wi[p]);
      const V w2r = splat(wr[n1 + p]), w2i = splat(wi[n1 + p]);
      const V w3r = splat(wr[2 * n1 + p]), w3i = splat(wi[2 * n1 + p]);
      const T* __restrict sr = xr + s * p;
      const T* __restrict si = xi + s * p;
      T* __restrict dr_ = yr + 4 * s * p;
      T* __restrict di_ = yi + 4 * s * p;
      const int q1 = s * n1;
      for (int q = 0; q < s; q += W) {
        V ar = load(sr + q), ai = load(si + q);
        V br = load(sr + q + q1), bi = load(si + q + q1);
        V cr = load(sr + q + 2 * q1), ci = load(si + q + 2 * q1);
        V dr = load(sr + q + 3 * q1), di = load(si + q + 3 * q1);
        bfly4(ar, ai, br, bi, cr, ci, dr, di);
        cmul(br, bi, w1r, w1i);
        cmul(cr, ci, w2r, w2i);
        cmul(dr, di, w3r, w3i);
        store(dr_ + q, ar);
        store(di_ + q, ai);
        store(dr_ + q + s, br);
        store(di_ + q + s, bi);
        store(dr_ + q + 2 * s, cr);
        store(di_ + q + 2 * s, ci);
        store(dr_ + q + 3 * s, dr);
        store(di_ + q + 3 * s, di);
      }
    }
  }

  // Output j of the last stage: to split arrays, or (for the inverse transform, whose data
  // runs with real and imaginary parts swapped) straight into the real output, where
  // x[2j] = Im, x[2j + 1] = Re.
  static void put(T* __restrict yr, T* __restrict yi, int j, V re, V im) {
    if (yi == nullptr) {
      store(yr + 2 * j, zip_lo(im, re));
      store(yr + 2 * j + W, zip_hi(im, re));
    } else {
      store(yr + j, re);
      store(yi + j, im);
    }
  }

  // Last stage when log2 m is even: len 4, s = m/4, no twiddles.
  static void last4(int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi) {
    for (int q = 0; q < s; q += W) {
      V ar = load(xr + q), ai = load(xi + q);
      V br = load(xr + q + s), bi = load(xi + q + s);
      V cr = load(xr + q + 2 * s), ci = load(xi + q + 2 * s);
      V dr = load(xr + q + 3 * s), di = load(xi + q + 3 * s);
      bfly4(ar, ai, br, bi, cr, ci, dr, di);
      put(yr, yi, q, ar, ai);
      put(yr, yi, q + s, br, bi);
      put(yr, yi, q + 2 * s, cr, ci);
      put(yr, yi, q + 3 * s, dr, di);
    }
  }

  // Last stage when log2 m is odd: len 2, s = m/2.
  static void last2(int s, const T* __restrict xr, const T* __restrict xi, T* __restrict yr, T* __restrict yi) {
    for (int q = 0; q < s; q += W) {
      const V ar = load(xr + q), ai = load(xi + q);
      const V br = load(xr + q + s), bi = load(xi + q + s);
      put(yr, yi, q, ar + br, ai + bi);
      put(yr, yi, q + s, ar - br, ai - bi);
    }
  }

  // Complex stages from (xr, xi) (xi null: the real input, see first()); the result lands in
  // (out_r, out_i), or in the real output out_r when out_i is null. Scratch: the plan's two
  // buffer pairs, of which (xr, xi) may be one.
  static void stages(const Pow2Plan<T>& P, const T* xr, const T* xi, T* out_r, T* out_i) {
    const int total = P.nstages + (P.radix2 ? 1 : 0);
    T *cr = P.ar, *ci = P.ai, *nr = P.br, *ni = P.bi;
    if (xr == P.ar) {
      cr = P.br, ci = P.bi, nr = P.ar, ni = P.ai;
    }
    first(P.len[0], xr, xi, cr, ci, P.wr[0], P.wi[0]);
    for (int i = 1; i < total; ++i) {
      const bool last = (i == total - 1);
      T* dr = last ? out_r : nr;
      T* di = last ? out_i : ni;
      if (i == P.nstages)
        last2(P.m / 2, cr, ci, dr, di);
      else if (last)
        last4(P.m / 4, cr, ci, dr, di);
      else
        mid(P.len[i], P.stride[i], cr, ci, dr, di, P.wr[i], P.wi[i]);
      nr = cr, ni = ci;
      cr = dr, ci = di;
    }
  }

  static void forward(const Pow2Plan<T>& P, const T* x, T* X) {
    const int m = P.m;
    // the last stage must not write into the buffer it reads: pick the pair it does not
    const int total = P.nstages + (P.radix2 ? 1 : 0);
    T* Zr = (total % 2 == 1) ? P.ar : P.br;
    T* Zi = (total % 2 == 1) ? P.ai : P.bi;
    stages(P, x, nullptr, Zr, Zi);
    // Z = E + i O with E, O the spectra of the even and odd samples (both Hermitian), so
    // X[k] = E[k] + w^k O[k] and X[m - k] = conj(E[k] - w^k O[k]), w = e^(-2 pi i / n).
    X[0] = Zr[0] + Zi[0];
    X[1] = 0;
    X[2 * m] = Zr[0] - Zi[0];
    X[2 * m + 1] = 0;
    const V half = splat(T(0.5));
    for (int k = 1; k <= m / 2; k += W) {
      const int r = m - k - (W - 1);  // the mirrored block, reversed
      const V ar = load(Zr + k), ai = load(Zi + k);
      const V br = rev(load(Zr + r)), bi = -rev(load(Zi + r));
      const V er = half * (ar + br), ei = half * (ai + bi);
      const V or_ = half * (ai - bi), oi = half * (br - ar);  // (A - B) / 2i
      const V wr = load(P.ur + k), wi = load(P.ui + k);
      const V tr = wr * or_ - wi * oi, ti = wr * oi + wi * or_;
      const V xr = er + tr, xi = ei + ti;
      store(X + 2 * k, zip_lo(xr, xi));
      store(X + 2 * k + W, zip_hi(xr, xi));
      const V yr = rev(er - tr), yi = rev(ti - ei);
      store(X + 2 * r, zip_lo(yr, yi));
      store(X + 2 * r + W, zip_hi(yr, yi));
    }
  }

  static void inverse(const Pow2Plan<T>& P, const T* X, T* x) {
    const int m = P.m;
    const T scale = T(1) / static_cast<T>(P.n);
    // Z = E + i O rebuilt from the bins, scaled by 1/n; the inverse complex transform is the
    // forward one with real and imaginary parts swapped, so Re Z goes to ai and Im Z to ar.
    T* __restrict zr = P.ai;
    T* __restrict zi = P.ar;
    zr[0] = (X[0] + X[2 * m]) * scale;
    zi[0] = (X[0] - X[2 * m]) * scale;
    const V sc = splat(scale);
    for (int k = 1; k <= m / 2; k += W) {
      const int r = m - k - (W - 1);
      V ar, ai, br, bi;
      load_complex(X + 2 * k, ar, ai);
      load_complex(X + 2 * r, br, bi);
      br = rev(br);
      bi = -rev(bi);
      const V er = ar + br, ei = ai + bi, gr = ar - br, gi = ai - bi;
      const V wr = load(P.ur + k), wi = load(P.ui + k);
      const V or_ = wr * gr + wi * gi, oi = wr * gi - wi * gr;  // conj(w^k) G
      // Z[k] = E + i O, Z[m - k] = conj(E) + i conj(O)
      store(zr + k, (er - oi) * sc);
      store(zi + k, (ei + or_) * sc);
      store(zr + r, rev((er + oi) * sc));
      store(zi + r, rev((or_ - ei) * sc));
    }
    stages(P, P.ar, P.ai, x, nullptr);
  }
};

}  // namespace
}  // namespace vemio::fft::detail

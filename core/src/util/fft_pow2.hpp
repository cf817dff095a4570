// Real FFT for power-of-two lengths, written for speed on plain x86-64 / ARM builds (no
// -march flags): a complex transform of half the length in split (re[]/im[]) layout, radix-4
// Stockham stages (plus one radix-2 stage when log2 of the half length is odd), with the
// standard pack/unpack that turns a half-length complex transform into a real one. From 64
// points on, the work runs in explicit-vector kernels (fft_pow2_kernels.hpp): 16-byte vectors
// everywhere, AVX2 + FMA for double where the processor has them.
#pragma once

#include <complex>
#include <vector>

#include "fft_pow2_plan.hpp"

namespace vemio::fft::detail {

template <typename T>
class Pow2RealFFT {
 public:
  // n must be a power of two, n >= 8. allow_avx2 = false keeps the baseline kernels (tests).
  explicit Pow2RealFFT(int n, bool allow_avx2 = true);
  Pow2RealFFT(const Pow2RealFFT&) = delete;  // the plan points into the vectors
  Pow2RealFFT& operator=(const Pow2RealFFT&) = delete;

  // numpy rfft: n real samples -> n/2 + 1 unscaled bins.
  void forward(const T* x, std::complex<T>* X);
  // numpy irfft: n/2 + 1 bins -> n samples scaled by 1/n; the imaginary parts of the DC and
  // Nyquist bins are ignored.
  void inverse(const std::complex<T>* X, T* x);

  static bool handles(int n) { return n >= 8 && (n & (n - 1)) == 0; }

 private:
  struct Stage {
    int len;     // length of the sub-transforms this stage splits
    int stride;  // number of interleaved sub-transforms
    size_t tw;   // offset of this stage's twiddles in twr_/twi_ (3 * len/4 values each)
  };

  // Complex forward DFT of length m_ on (re, im); buffers a and b are ping-ponged; returns
  // pointers to the result (either the input buffer or the scratch one).
  void complex_forward(T* re, T* im, T* sre, T* sim, T** out_re, T** out_im);

  using Kernel = void (*)(const Pow2Plan<T>&, const T*, T*);
  Kernel fwd_ = nullptr, inv_ = nullptr;  // vector kernels (n >= 64), else the scalar code
  Pow2Plan<T> plan_;
  int n_, m_;
  std::vector<Stage> stages_;  // radix-4 stages, then a radix-2 one if radix2_
  bool radix2_;
  std::vector<T> twr_, twi_;          // stage twiddles: per stage w^p, w^2p, w^3p for p < len/4
  std::vector<T> ur_, ui_;            // pack/unpack twiddles exp(-2 pi i k / n), k <= n/4
  std::vector<T> ar_, ai_, br_, bi_;  // work buffers of m_ values
};

extern template class Pow2RealFFT<float>;
extern template class Pow2RealFFT<double>;

}  // namespace vemio::fft::detail

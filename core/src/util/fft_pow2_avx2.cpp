// The power-of-two FFT kernels compiled for AVX2 + FMA (4 doubles a vector), picked at run
// time on processors that have them; the baseline x86-64 build only assumes SSE2.
#include "fft_pow2_plan.hpp"

#if VEMIO_FFT_SIMD && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)

#pragma GCC push_options
#pragma GCC target("avx2,fma")
#include "fft_pow2_kernels.hpp"
#pragma GCC pop_options

namespace vemio::fft::detail {

bool pow2_have_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")
void pow2_forward_avx2(const Pow2Plan<double>& p, const double* x, double* X) { Simd<double, 4>::forward(p, x, X); }
void pow2_inverse_avx2(const Pow2Plan<double>& p, const double* X, double* x) { Simd<double, 4>::inverse(p, X, x); }
#pragma GCC pop_options

}  // namespace vemio::fft::detail

#else

namespace vemio::fft::detail {

bool pow2_have_avx2() { return false; }
void pow2_forward_avx2(const Pow2Plan<double>&, const double*, double*) {}
void pow2_inverse_avx2(const Pow2Plan<double>&, const double*, double*) {}

}  // namespace vemio::fft::detail

#endif

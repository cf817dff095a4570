// Plan of the power-of-two real FFT as plain data (no library types), so the SIMD kernels can
// be compiled for several instruction sets without sharing any inline library code.
#pragma once

// The vector kernels need the GCC / Clang vector extensions with __builtin_shufflevector
// (GCC 12+, Clang); other compilers run the scalar code (-DVEMIO_FFT_SIMD=0 forces it).
#ifdef VEMIO_FFT_SIMD
#elif defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12)
#define VEMIO_FFT_SIMD 1
#else
#define VEMIO_FFT_SIMD 0
#endif

namespace vemio::fft::detail {

template <typename T>
struct Pow2Plan {
  static constexpr int kMaxStages = 16;
  int n = 0, m = 0;  // real length, complex length m = n / 2
  int nstages = 0;   // radix-4 stages; a radix-2 stage follows when radix2
  bool radix2 = false;
  int len[kMaxStages] = {};      // length of the sub-transforms a stage splits
  int stride[kMaxStages] = {};   // number of interleaved sub-transforms
  const T* wr[kMaxStages] = {};  // per stage: w^p, w^2p, w^3p (p < len/4), w = e^(-2 pi i/len)
  const T* wi[kMaxStages] = {};
  const T* ur = nullptr;  // pack/unpack twiddles e^(-2 pi i k/n), k <= n/4
  const T* ui = nullptr;
  T *ar = nullptr, *ai = nullptr, *br = nullptr, *bi = nullptr;  // work buffers, m values
};

// Kernels with explicit 16-byte vectors (SSE2 / NEON); n >= 64.
template <typename T>
void pow2_forward_simd(const Pow2Plan<T>& p, const T* x, T* X);
template <typename T>
void pow2_inverse_simd(const Pow2Plan<T>& p, const T* X, T* x);

// The same kernels compiled for AVX2 + FMA (x86-64 with GCC only; chosen at run time).
bool pow2_have_avx2();
void pow2_forward_avx2(const Pow2Plan<double>& p, const double* x, double* X);
void pow2_inverse_avx2(const Pow2Plan<double>& p, const double* X, double* x);

}  // namespace vemio::fft::detail

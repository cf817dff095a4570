// One small real-FFT interface for every algorithm of the core. The backends live in fft.cpp
// (the core's own radix-4 transform for powers of two, AVX2 chosen at run time; Eigen's FFT for
// other lengths; FFTW for all in an opt-in build), so they can change without touching the
// algorithms.
#pragma once

#include <complex>
#include <memory>
#include <span>

namespace vemio::fft {

// Real transform of a fixed length n. forward() yields the n/2 + 1 non-negative frequency
// bins, unscaled (numpy's rfft convention); inverse() takes those bins and returns n samples
// scaled by 1/n (numpy's irfft convention). An instance keeps plan state: use one per thread.
template <typename T>
class RealFFT {
 public:
  explicit RealFFT(int n);
  ~RealFFT();
  RealFFT(RealFFT&&) noexcept;
  RealFFT& operator=(RealFFT&&) noexcept;

  int size() const { return n_; }
  void forward(std::span<const T> in, std::span<std::complex<T>> out);
  void inverse(std::span<const std::complex<T>> in, std::span<T> out);

 private:
  struct Impl;
  int n_;
  std::unique_ptr<Impl> impl_;
};

extern template class RealFFT<float>;
extern template class RealFFT<double>;

// Name of the backend, for benchmark reports.
const char* backend_name();

}  // namespace vemio::fft

#include "vemio/util/fft.hpp"

#include <mutex>
#include <stdexcept>
#include <unsupported/Eigen/FFT>
#include <vector>

namespace vemio::fft {

template <typename T>
struct RealFFT<T>::Impl {
  Eigen::FFT<T> fft;
  std::vector<std::complex<T>> spec;
  std::vector<T> time;
};

template <typename T>
RealFFT<T>::RealFFT(int n) : n_(n) {
  if (n <= 0) throw std::invalid_argument("FFT length must be positive");
#ifdef EIGEN_FFTW_DEFAULT
  // instances plan on their own threads; FFTW's planner must be told to lock
  static std::once_flag once;
  std::call_once(once, [] {
    fftw_make_planner_thread_safe();
    fftwf_make_planner_thread_safe();
  });
#endif
  impl_ = std::make_unique<Impl>();
  impl_->fft.SetFlag(Eigen::FFT<T>::HalfSpectrum);
  impl_->spec.resize(static_cast<size_t>(n / 2 + 1));
  impl_->time.resize(static_cast<size_t>(n));
}

template <typename T>
RealFFT<T>::~RealFFT() = default;
template <typename T>
RealFFT<T>::RealFFT(RealFFT&&) noexcept = default;
template <typename T>
RealFFT<T>& RealFFT<T>::operator=(RealFFT&&) noexcept = default;

template <typename T>
void RealFFT<T>::forward(std::span<const T> in, std::span<std::complex<T>> out) {
  if (in.size() != static_cast<size_t>(n_) || out.size() < static_cast<size_t>(n_ / 2 + 1))
    throw std::invalid_argument("FFT buffer size mismatch");
  if (n_ == 1) {  // the backend does not handle the trivial length
    out[0] = in[0];
    return;
  }
  impl_->fft.fwd(out.data(), in.data(), n_);
}

template <typename T>
void RealFFT<T>::inverse(std::span<const std::complex<T>> in, std::span<T> out) {
  if (in.size() < static_cast<size_t>(n_ / 2 + 1) || out.size() != static_cast<size_t>(n_))
    throw std::invalid_argument("FFT buffer size mismatch");
  // Eigen's inverse reads the half spectrum and may use it as scratch: work on a copy.
  if (n_ == 1) {
    out[0] = in[0].real();
    return;
  }
  std::copy(in.begin(), in.begin() + (n_ / 2 + 1), impl_->spec.begin());
  impl_->fft.inv(out.data(), impl_->spec.data(), n_);
}

template class RealFFT<float>;
template class RealFFT<double>;

const char* backend_name() {
#ifdef EIGEN_FFTW_DEFAULT
  return "fftw (through Eigen)";
#else
  return "kissfft (Eigen default)";
#endif
}

}  // namespace vemio::fft

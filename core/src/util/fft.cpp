#include "vemio/util/fft.hpp"

#include <algorithm>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unsupported/Eigen/FFT>
#include <vector>

#include "fft_pow2.hpp"

namespace vemio::fft {

// Powers of two (every length the algorithms use in practice) go through the in-house split
// radix-4 transform (fft_pow2.*), three to six times faster than Eigen's built-in FFT; other
// lengths use Eigen. An FFTW build (opt-in, GPL) hands every length to FFTW.
#ifdef EIGEN_FFTW_DEFAULT
constexpr bool kInHouse = false;
#else
constexpr bool kInHouse = true;
#endif

template <typename T>
struct RealFFT<T>::Impl {
  std::optional<detail::Pow2RealFFT<T>> pow2;
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
  if (kInHouse && detail::Pow2RealFFT<T>::handles(n)) {
    impl_->pow2.emplace(n);
    return;
  }
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
  if (impl_->pow2) {
    impl_->pow2->forward(in.data(), out.data());
    return;
  }
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
  if (impl_->pow2) {
    impl_->pow2->inverse(in.data(), out.data());
    return;
  }
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
  return "in-house radix-4 (powers of two), kissfft (Eigen default) otherwise";
#endif
}

}  // namespace vemio::fft

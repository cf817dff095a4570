#include "vemio/util/fft.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
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
  std::unique_ptr<detail::Pow2RealFFT<T>> pow2;
  Eigen::FFT<T> fft;
  std::vector<std::complex<T>> spec;
  std::vector<T> time;
};

namespace {

// Transforms of the in-house kind that instances on this thread have finished with, kept for
// the next instance of the same length: an algorithm that makes a transform per call (or per
// utterance, per interval) then computes its twiddles once per thread instead of once per
// instance. A plan is deterministic, and its work buffers are written before they are read,
// so a reused transform gives the same bits as a new one. Bounded: a few per length, lengths
// up to 2^20, 64 MB in all per thread.
template <typename T>
class SpareTransforms {
 public:
  static constexpr int kMaxLength = 1 << 20;
  static constexpr size_t kMaxBytes = size_t(64) << 20;
  static constexpr int kPerLength = 4;

  std::unique_ptr<detail::Pow2RealFFT<T>> take(int n) {
    for (size_t i = spare_.size(); i-- > 0;)
      if (spare_[i].n == n) {
        auto t = std::move(spare_[i].fft);
        bytes_ -= footprint(n);
        spare_.erase(spare_.begin() + static_cast<long>(i));
        return t;
      }
    return nullptr;
  }

  void give(int n, std::unique_ptr<detail::Pow2RealFFT<T>> t) {
    if (n > kMaxLength || bytes_ + footprint(n) > kMaxBytes) return;
    int same = 0;
    for (const auto& s : spare_) same += s.n == n;
    if (same >= kPerLength) return;
    bytes_ += footprint(n);
    spare_.push_back({n, std::move(t)});
  }

  // The spares of the calling thread; null while the thread is being torn down.
  static SpareTransforms* of_this_thread() {
    thread_local bool gone = false;  // trivially destructible: readable to the very end
    struct Holder {
      SpareTransforms spares;
      ~Holder() { gone = true; }
    };
    if (gone) return nullptr;
    thread_local Holder holder;
    return &holder.spares;
  }

 private:
  // twiddles, pack twiddles and four work buffers: about 3.25 n values
  static size_t footprint(int n) { return size_t(n) * 13 / 4 * sizeof(T); }
  struct Spare {
    int n;
    std::unique_ptr<detail::Pow2RealFFT<T>> fft;
  };
  std::vector<Spare> spare_;
  size_t bytes_ = 0;
};

}  // namespace

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
    if (auto* spares = SpareTransforms<T>::of_this_thread()) impl_->pow2 = spares->take(n);
    if (!impl_->pow2) impl_->pow2 = std::make_unique<detail::Pow2RealFFT<T>>(n);
    return;
  }
  impl_->fft.SetFlag(Eigen::FFT<T>::HalfSpectrum);
  impl_->spec.resize(static_cast<size_t>(n / 2 + 1));
  impl_->time.resize(static_cast<size_t>(n));
}

template <typename T>
RealFFT<T>::~RealFFT() {
  if (!impl_ || !impl_->pow2) return;
  if (auto* spares = SpareTransforms<T>::of_this_thread()) spares->give(n_, std::move(impl_->pow2));
}
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

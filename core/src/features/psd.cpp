#include "vemio/features/psd.hpp"

#include <algorithm>
#include <complex>
#include <string>

#include "vemio/features/spectral.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::features {

Psd welch(std::span<const double> x, double fs, int nperseg, int noverlap, int nfft) {
  if (x.empty()) throw FeatureError("the signal is empty");
  if (nperseg <= 0) throw FeatureError("nperseg must be positive");
  if (!(fs > 0)) throw FeatureError("sampling frequency must be positive");
  Psd r;
  const long n = static_cast<long>(x.size());
  r.nperseg = static_cast<int>(std::min<long>(nperseg, n));
  const int seg = r.nperseg;
  if (noverlap < 0) noverlap = seg / 2;
  if (noverlap >= seg) throw FeatureError("noverlap must be less than nperseg");
  if (nfft < seg) throw FeatureError("nfft must be greater than or equal to nperseg");
  check_fft_length(nfft, "nfft");
  const int step = seg - noverlap;
  const long nseg = (n - noverlap) / step;

  const auto win = make_window(Window::Hann, seg);
  double wsum = 0;
  for (double w : win) wsum += w * w;
  const double scale = 1.0 / (fs * wsum);
  const int bins = nfft / 2 + 1;

  r.psd.assign(static_cast<size_t>(bins), 0.0);
  vemio::fft::RealFFT<double> fft(nfft);
  std::vector<double> buf(static_cast<size_t>(nfft), 0.0);
  std::vector<std::complex<double>> spec(static_cast<size_t>(bins));
  for (long j = 0; j < nseg; ++j) {
    const double* s = x.data() + j * step;
    double mean = 0;
    for (int i = 0; i < seg; ++i) mean += s[i];
    mean /= seg;
    for (int i = 0; i < seg; ++i) buf[i] = win[i] * (s[i] - mean);
    fft.forward(buf, spec);
    for (int k = 0; k < bins; ++k) r.psd[k] += std::norm(spec[k]) * scale;
  }
  const int last_doubled = nfft % 2 == 0 ? bins - 1 : bins;  // the Nyquist bin of an even nfft is unique
  for (int k = 0; k < bins; ++k) {
    if (k >= 1 && k < last_doubled) r.psd[k] *= 2;
    r.psd[k] /= static_cast<double>(nseg);
  }
  r.freqs.resize(static_cast<size_t>(bins));
  const double val = 1.0 / (nfft * (1.0 / fs));
  for (int k = 0; k < bins; ++k) r.freqs[k] = k * val;
  return r;
}

}  // namespace vemio::features

#include "vemio/enhance/trad.hpp"

#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>

#include "vemio/enhance/estimators.hpp"
#include "vemio/util/fft.hpp"

namespace vemio::enhance {

namespace {

constexpr std::size_t kBins = kTradFrame / 2 + 1;  // non-negative frequencies
constexpr double kFloor = 0.002;                   // spectral floor factor
constexpr double kMelMax = 10.0;                   // largest over-suppression factor
constexpr double kMel0 = (1.0 + 4.0 * kMelMax) / 5.0;
constexpr double kMelSlope = 25.0 / (kMelMax - 1.0);

struct Window {
  double w[kTradFrame];
  double gain;  // hop / sum(window)
  Window() {
    double sum = 0.0;
    for (std::size_t m = 0; m < kTradFrame; ++m) {
      w[m] = 0.54 - 0.46 * std::cos(2.0 * std::numbers::pi * double(m) / double(kTradFrame - 1));
      sum += w[m];
    }
    gain = double(kTradHop) / sum;
  }
};

const Window& window() {
  static const Window win;
  return win;
}

// Power sums over all 512 bins from the 257 non-negative ones: the spectrum of a real frame
// is conjugate-symmetric, so bins 1..255 count twice.
// Four running sums break the dependency chain of one long addition.
inline double full_sum(const double* v) {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 1;
  for (; k + 4 <= kBins - 1; k += 4)
    for (std::size_t j = 0; j < 4; ++j) s[j] += v[k + j];
  for (; k < kBins - 1; ++k) s[0] += v[k];
  return v[0] + 2.0 * ((s[0] + s[1]) + (s[2] + s[3])) + v[kBins - 1];
}

}  // namespace

void trad_enhance(std::span<const double> y, std::span<double> out) {
  const std::size_t len = y.size();
  if (out.size() != trad_output_length(len)) throw std::invalid_argument("trad_enhance: output size");
  // The last hop is never reached by a frame's first half.
  std::fill(out.end() - long(std::min(out.size(), kTradHop)), out.end(), 0.0);
  if (len < kTradFrame) return;
  const std::size_t frames = len / kTradHop - 1;

  const Window& win = window();
  fft::RealFFT<double> fft{int(kTradFrame)};
  est::Mcra mcra(kBins);
  double frame[kTradFrame], xi[kTradFrame], x_old[kTradHop] = {};
  double ps[kBins], sub[kBins];
  std::complex<double> spec[kBins];

  for (std::size_t n = 0; n < frames; ++n) {
    const std::size_t start = n * kTradHop;
    for (std::size_t m = 0; m < kTradFrame; ++m) frame[m] = win.w[m] * y[start + m];
    fft.forward(frame, spec);
    for (std::size_t k = 0; k < kBins; ++k) ps[k] = std::norm(spec[k]);

    if (n == 0)
      mcra.init(ps);
    else
      mcra.update(ps);
    const double* noise = mcra.noise();
    const double noise_sum = full_sum(noise);

    // Over-subtraction from the a-posteriori SNR of the frame.
    const double snr_pos = 10.0 * std::log10(full_sum(ps) / noise_sum);
    double alpha;
    if (snr_pos < -5.0)
      alpha = 5.0;
    else if (snr_pos > 20.0)
      alpha = 1.0;
    else
      alpha = 4.0 - snr_pos * 3.0 / 20.0;

    for (std::size_t k = 0; k < kBins; ++k) {
      const double s = ps[k] - alpha * noise[k];
      const double fl = kFloor * noise[k];
      sub[k] = (s - fl < 0.0) ? fl : s;
    }

    // Over-suppression from the SNR left after subtraction.
    const double snr_pri = 10.0 * std::log10(full_sum(sub) / noise_sum);
    double mel;
    if (snr_pri < -5.0)
      mel = kMelMax;
    else if (snr_pri > 20.0)
      mel = 1.0;
    else
      mel = kMel0 - snr_pri / kMelSlope;

    // Wiener-type gain on the noisy magnitude, noisy phase kept.
    for (std::size_t k = 0; k < kBins; ++k) spec[k] *= sub[k] / (sub[k] + mel * noise[k]);
    fft.inverse(spec, xi);

    for (std::size_t m = 0; m < kTradHop; ++m) {
      out[start + m] = win.gain * (x_old[m] + xi[m]);
      x_old[m] = xi[kTradHop + m];
    }
  }
}

std::vector<double> trad_enhance(std::span<const double> y) {
  std::vector<double> out(trad_output_length(y.size()));
  trad_enhance(y, out);
  return out;
}

}  // namespace vemio::enhance

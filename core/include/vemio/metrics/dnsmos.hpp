// The network inputs of the reference-free DNSMOS predictors: 9.01 s windows of 16 kHz audio
// for the SIG/BAK/OVRL network and their log-mel images for the P.808 network. The networks
// themselves run outside the core (onnxruntime, from Python); this part is all the numbers
// around them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <vector>

namespace vemio::metrics {

inline constexpr int kDnsmosRate = 16000;
inline constexpr double kDnsmosSeconds = 9.01;
inline constexpr size_t kDnsmosWindow = 144160;  // samples of one window: int(9.01 * 16000)
// The mel image of a window: its first 144000 samples in 321-point frames every 160 samples
// (centred, zero padded), 120 slaney mel bands from 0 to 8 kHz, in dB against the image's
// largest value (80 dB floor), mapped by (dB + 40) / 40.
inline constexpr int kDnsmosFrames = 900;
inline constexpr int kDnsmosBands = 120;
inline constexpr size_t kDnsmosImage = static_cast<size_t>(kDnsmosFrames) * kDnsmosBands;

// Start samples of the windows a signal of `length` samples (> 0) is scored on. A signal
// shorter than a window is first repeated whole until it is at least one window long
// (`repeated` receives that length); windows then start every second, while
// floor(seconds) - 9.01 whole seconds remain (truncated toward zero), at least one. Window i
// ends at (i + 9.01) * 16000 computed in double precision and truncated; where that rounds one
// sample short (i = 7..23, 119.., 21 of the first 5000) the window is left out, as the
// published scorer leaves it out, so that the averages agree.
std::vector<size_t> dnsmos_window_starts(size_t length, size_t* repeated = nullptr);

struct DnsmosInputs {
  int windows = 0;
  std::vector<float> audio;  // windows x kDnsmosWindow samples
  std::vector<float> mel;    // windows x kDnsmosFrames x kDnsmosBands
};

// The inputs of every window of x (16 kHz). Throws FeatureError for an empty signal or one
// that is not finite.
DnsmosInputs dnsmos_inputs(std::span<const double> x);
// The same from x at `rate`, resampled to 16 kHz with the core resampler when it differs.
DnsmosInputs dnsmos_inputs(std::span<const double> x, int rate);
// The same from a file (channels averaged); a file that cannot be read throws FileError.
DnsmosInputs dnsmos_inputs(const std::filesystem::path& file);

}  // namespace vemio::metrics

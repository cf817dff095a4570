#include "vemio/metrics/dnsmos.hpp"

#include <algorithm>
#include <cmath>

#include "vemio/audio/audio.hpp"
#include "vemio/features/mel.hpp"
#include "vemio/features/spectral.hpp"

namespace vemio::metrics {
namespace {

constexpr size_t kMelSamples = static_cast<size_t>(kDnsmosFrames) * 160;  // the window less its last 160 samples

features::MelFrames& mel_frames() {
  // one filter bank and transform plan per thread, kept for the thread's lifetime
  thread_local features::MelFrames mel(kDnsmosRate, features::StftParams{321, 160, 0, features::Window::Hann, true},
                                       kDnsmosBands, 0.0, kDnsmosRate / 2.0);
  return mel;
}

}  // namespace

std::vector<size_t> dnsmos_window_starts(size_t length, size_t* repeated) {
  if (length == 0) throw features::FeatureError("the signal is empty");
  size_t total = length;
  while (total < kDnsmosWindow) total *= 2;
  if (repeated) *repeated = total;
  const double seconds = std::floor(static_cast<double>(total) / kDnsmosRate);
  const long hops = static_cast<long>(seconds - kDnsmosSeconds) + 1;  // truncated toward zero
  std::vector<size_t> starts;
  for (long i = 0; i < hops; ++i) {
    const size_t start = static_cast<size_t>(i) * kDnsmosRate;
    const size_t end = std::min(total, static_cast<size_t>((static_cast<double>(i) + kDnsmosSeconds) * kDnsmosRate));
    if (end >= start + kDnsmosWindow) starts.push_back(start);
  }
  return starts;
}

DnsmosInputs dnsmos_inputs(std::span<const double> x) {
  features::check_audio(x);
  size_t total = 0;
  const std::vector<size_t> starts = dnsmos_window_starts(x.size(), &total);
  std::vector<double> tiled;  // a short signal, repeated whole
  if (total != x.size()) {
    tiled.resize(total);
    for (size_t i = 0; i < total; ++i) tiled[i] = x[i % x.size()];
    x = tiled;
  }
  DnsmosInputs in;
  in.windows = static_cast<int>(starts.size());
  in.audio.resize(starts.size() * kDnsmosWindow);
  in.mel.resize(starts.size() * kDnsmosImage);
  std::vector<double> image(kDnsmosImage);
  features::MelFrames& mel = mel_frames();
  for (size_t w = 0; w < starts.size(); ++w) {
    const auto window = x.subspan(starts[w], kDnsmosWindow);
    float* a = &in.audio[w * kDnsmosWindow];
    for (size_t i = 0; i < kDnsmosWindow; ++i) a[i] = static_cast<float>(window[i]);
    mel.power(window.first(kMelSamples), image.data());
    features::power_to_db(image, true, 1.0, 1e-10, 80.0);
    float* m = &in.mel[w * kDnsmosImage];
    for (size_t i = 0; i < kDnsmosImage; ++i) m[i] = static_cast<float>((image[i] + 40.0) / 40.0);
  }
  return in;
}

DnsmosInputs dnsmos_inputs(std::span<const double> x, int rate) {
  if (rate == kDnsmosRate) return dnsmos_inputs(x);
  features::check_audio(x);
  const std::vector<double> y = audio::resample(x, rate, kDnsmosRate);
  return dnsmos_inputs(std::span<const double>(y));
}

DnsmosInputs dnsmos_inputs(const std::filesystem::path& file) {
  const audio::Decoded d = audio::decode(file, 0, true);
  if (d.samples.empty()) throw FileError(file, "holds no samples");
  const std::vector<double> x(d.samples.begin(), d.samples.end());
  return dnsmos_inputs(std::span<const double>(x), d.rate);
}

}  // namespace vemio::metrics

// The DNSMOS window plan and features: which windows a length gives, the mel frames against the
// threaded mel spectrogram, and the range of the network images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "vemio/features/mel.hpp"
#include "vemio/metrics/dnsmos.hpp"

namespace f = vemio::features;
namespace mt = vemio::metrics;

TEST(DnsmosWindows, StartsOfShortExactAndLongSignals) {
  size_t repeated = 0;
  // 3 s doubled until a window fits: 12 s, three windows
  EXPECT_EQ(mt::dnsmos_window_starts(48000, &repeated), (std::vector<size_t>{0, 16000, 32000}));
  EXPECT_EQ(repeated, 192000u);
  EXPECT_EQ(mt::dnsmos_window_starts(mt::kDnsmosWindow, &repeated), std::vector<size_t>{0});
  EXPECT_EQ(repeated, mt::kDnsmosWindow);
  EXPECT_EQ(mt::dnsmos_window_starts(175999), std::vector<size_t>{0});
  EXPECT_EQ(mt::dnsmos_window_starts(176000), (std::vector<size_t>{0, 16000}));
  // 17 s: eight starts, the eighth dropped because (7 + 9.01) * 16000 truncates one short
  const auto s = mt::dnsmos_window_starts(17 * 16000);
  ASSERT_EQ(s.size(), 7u);
  EXPECT_EQ(s.back(), 6u * 16000);
  EXPECT_THROW(mt::dnsmos_window_starts(0), f::FeatureError);
}

TEST(MelFrames, AgreesWithTheMelSpectrogram) {
  std::mt19937 rng(7);
  std::normal_distribution<double> g(0.0, 0.3);
  std::vector<double> x(5000);
  for (double& v : x) v = g(rng);
  const f::StftParams p{512, 128, 0, f::Window::Hann, true};
  const f::FrameMatrix want = f::mel_spectrogram(x, 16000, p, 40, 0.0, 8000.0);
  f::MelFrames mel(16000, p, 40, 0.0, 8000.0);
  ASSERT_EQ(mel.frames(x.size()), want.frames);
  std::vector<double> got(static_cast<size_t>(want.frames) * 40);
  mel.power(x, got.data());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want.v[i], 1e-9 * (1 + want.v[i])) << i;
}

TEST(MelFrames, OddFramesPutTheFiltersOnTheTrueBins) {
  const f::MelBank even = f::mel_filters_at_bins(16000, 320, 120, 0, 8000);
  const f::MelBank grid = f::mel_filters(16000, 320, 120, 0, 8000);
  EXPECT_EQ(even.w, grid.w);
  // 321 points: bin 160 sits at 7975 Hz, not 8000 Hz, so the weights move
  const f::MelBank odd = f::mel_filters_at_bins(16000, 321, 120, 0, 8000);
  const f::MelBank odd_grid = f::mel_filters(16000, 321, 120, 0, 8000);
  EXPECT_NE(odd.w, odd_grid.w);
  EXPECT_GT(odd.w[119 * odd.n_bins + 160], 0.0);
}

TEST(DnsmosInputs, ImagesSpanTheirRangeAndAudioIsTheWindow) {
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0.0, 0.1);
  std::vector<double> x(11 * 16000);
  for (double& v : x) v = g(rng);
  const mt::DnsmosInputs in = mt::dnsmos_inputs(x);
  ASSERT_EQ(in.windows, 2);
  ASSERT_EQ(in.mel.size(), 2 * mt::kDnsmosImage);
  EXPECT_EQ(in.audio[mt::kDnsmosWindow], static_cast<float>(x[16000]));  // the second window's start
  for (int w = 0; w < 2; ++w) {
    const auto first = in.mel.begin() + w * mt::kDnsmosImage, last = first + mt::kDnsmosImage;
    EXPECT_EQ(*std::max_element(first, last), 1.0f);   // 0 dB against the image's maximum
    EXPECT_GE(*std::min_element(first, last), -1.0f);  // the 80 dB floor
  }
  std::vector<double> bad(x);
  bad[5] = std::nan("");
  EXPECT_THROW(mt::dnsmos_inputs(bad), f::FeatureError);
}

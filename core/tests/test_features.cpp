#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "vemio/features/display.hpp"
#include "vemio/features/psd.hpp"
#include "vemio/features/scale.hpp"
#include "vemio/features/spectral.hpp"

using namespace vemio::features;

namespace {
std::vector<double> sine(int n, double f, double sr, double amp = 0.5) {
  std::vector<double> y(n);
  for (int i = 0; i < n; ++i) y[i] = amp * std::sin(2 * std::numbers::pi * f * i / sr);
  return y;
}
}  // namespace

TEST(Features, PeriodicWindows) {
  auto h = make_window(Window::Hann, 4);
  EXPECT_NEAR(h[0], 0.0, 1e-15);
  EXPECT_NEAR(h[1], 0.5, 1e-15);
  EXPECT_NEAR(h[2], 1.0, 1e-15);
  auto m = make_window(Window::Hamming, 4);
  EXPECT_NEAR(m[0], 0.08, 1e-15);
  EXPECT_NEAR(m[2], 1.0, 1e-15);
  EXPECT_EQ(make_window(Window::Hann, 1), std::vector<double>{1.0});
}

TEST(Features, CentredFrameCountsAndBadSignals) {
  StftParams p;
  EXPECT_EQ(frame_count(1, p), 1);
  EXPECT_EQ(frame_count(16000, p), 32);  // 1 + 16000 / 512
  p.n_fft = 512;
  p.hop = 256;
  EXPECT_EQ(frame_count(16000, p), 63);
  EXPECT_THROW(frame_count(0, p), FeatureError);
  p.center = false;
  EXPECT_THROW(frame_count(100, p), FeatureError);
  // sizes that would exhaust memory are refused up front
  p.center = true;
  p.n_fft = 1 << 28;
  EXPECT_THROW(frame_count(100, p), FeatureError);
  p.n_fft = 2048;
  p.hop = 1;
  EXPECT_THROW(frame_count(size_t{1} << 20, p), FeatureError);
  EXPECT_THROW(mel_filters(16000, 2048, 1 << 20, 0, 8000), FeatureError);
  EXPECT_THROW(welch(std::vector<double>(10, 1.0), 8000, 256, -1, 1 << 30), FeatureError);
  std::vector<double> bad{0.0, NAN};
  EXPECT_THROW(spectrogram(bad, StftParams{}, 1.0), FeatureError);
  EXPECT_THROW(zero_crossing_rate(std::vector<double>{}), FeatureError);
}

TEST(Features, ToneLandsInItsBinAndCentroid) {
  const double sr = 16000;
  auto y = sine(16000, 1000, sr);
  auto S = spectrogram(y, StftParams{}, 1.0);
  int mid = S.frames / 2, best = 0;
  for (int k = 1; k < S.bins; ++k)
    if (S.at(mid, k) > S.at(mid, best)) best = k;
  EXPECT_EQ(best, 128);  // 1000 Hz * 2048 / 16000
  // periodic Hann: the peak bin of a bin-centred tone holds amp * n_fft / 4
  EXPECT_NEAR(S.at(mid, best), 0.5 * 2048 / 4, 1e-6);
  auto c = spectral_centroid(y, sr, StftParams{});
  EXPECT_NEAR(c[mid], 1000.0, 1.0);
  auto r = spectral_rolloff(y, sr, StftParams{});
  EXPECT_NEAR(r[mid], 1000.0, 8.0);
  // silence: centroid and roll-off are zero
  std::vector<double> z(3000, 0.0);
  for (double v : spectral_centroid(z, sr, StftParams{})) EXPECT_EQ(v, 0.0);
  for (double v : spectral_rolloff(z, sr, StftParams{})) EXPECT_EQ(v, 0.0);
}

TEST(Features, DecibelsReferenceAndTopDb) {
  std::vector<double> s{1.0, 0.1, 1e-3, 0.0};
  amplitude_to_db(s, true, 0.0);
  EXPECT_NEAR(s[0], 0.0, 1e-12);
  EXPECT_NEAR(s[1], -20.0, 1e-12);
  EXPECT_NEAR(s[2], -60.0, 1e-12);
  EXPECT_NEAR(s[3], -80.0, 1e-12);  // floored 80 dB below the peak
  std::vector<double> p{100.0, 1.0, 0.0};
  power_to_db(p, false, 1.0, 1e-10, -1);
  EXPECT_NEAR(p[0], 20.0, 1e-12);
  EXPECT_NEAR(p[2], -100.0, 1e-12);  // amin
}

TEST(Features, MelFilterBank) {
  EXPECT_NEAR(hz_to_mel(1000.0), 15.0, 1e-12);
  EXPECT_NEAR(mel_to_hz(hz_to_mel(3456.0)), 3456.0, 1e-9);
  auto b = mel_filters(16000, 2048, 40, 0, 8000);
  ASSERT_EQ(b.n_bins, 1025);
  for (int m = 0; m < 40; ++m) EXPECT_LT(b.first[m], b.last[m]) << m;
  // bands above the Nyquist frequency stay empty
  auto wide = mel_filters(16000, 2048, 40, 0, 48000);
  EXPECT_EQ(wide.first[39], wide.last[39]);
}

TEST(Features, ZeroCrossingsCountSignChangesInsideFrames) {
  // + - + - ... crossings everywhere inside an uncentred frame of 4: 3 of 4 pairs
  std::vector<double> y{1, -1, 1, -1, 1, -1, 1, -1};
  auto z = zero_crossing_rate(y, 4, 4, false);
  ASSERT_EQ(z.size(), 2u);
  EXPECT_DOUBLE_EQ(z[0], 0.75);
  // tiny values count as zero, and zero as positive
  std::vector<double> t{1e-12, -1e-12, 0.0, -0.0};
  EXPECT_DOUBLE_EQ(zero_crossing_rate(t, 4, 4, false)[0], 0.0);
  // centred with edge copies: a short constant signal has one frame and no crossings
  std::vector<double> c(10, 0.3);
  auto zc = zero_crossing_rate(c);
  ASSERT_EQ(zc.size(), 1u);
  EXPECT_EQ(zc[0], 0.0);
}

TEST(Features, OffsetZeroCrossingsAddTheOffsetInTheSamplesPrecision) {
  // x + 0.0001 is -1.02e-10 in float32 (below -threshold: negative) but -0.99e-10 in float64
  // (within the threshold: zero, so positive)
  const float x = -(static_cast<float>(kZcrOffset) + 14.0f * std::ldexp(1.0f, -37));
  std::vector<float> y32{0.5f, x, 0.5f, x};
  std::vector<double> y64(y32.begin(), y32.end());
  EXPECT_DOUBLE_EQ(offset_zero_crossing_rate(y32, 4, 4, false)[0], 0.75);
  EXPECT_DOUBLE_EQ(offset_zero_crossing_rate(y64, 4, 4, false)[0], 0.0);
  // digital silence and values just below zero stay positive; the frame layout is that of
  // zero_crossing_rate on the shifted samples
  std::vector<double> quiet(5000, 0.0), shifted(5000);
  for (size_t i = 0; i < quiet.size(); i += 3) quiet[i] = -0.00005;
  for (size_t i = 0; i < quiet.size(); ++i) shifted[i] = quiet[i] + kZcrOffset;
  auto z = offset_zero_crossing_rate(quiet);
  EXPECT_EQ(z, zero_crossing_rate(shifted));
  for (double v : z) EXPECT_EQ(v, 0.0);
  EXPECT_THROW(offset_zero_crossing_rate(std::vector<float>{}), FeatureError);
  // half precision: -0.00010001659 (0x868e) plus the offset rounded to half is exactly 0, so
  // positive; in float64 the sum is -1.7e-8, negative
  const std::vector<std::uint16_t> half{0x3800, 0x868e, 0x3800, 0x868e};  // 0.5, -0.0001...
  EXPECT_DOUBLE_EQ(offset_zero_crossing_rate_half(half, 4, 4, false)[0], 0.0);
  std::vector<double> wide{0.5, -0.00010001659393310547, 0.5, -0.00010001659393310547};
  EXPECT_DOUBLE_EQ(offset_zero_crossing_rate(wide, 4, 4, false)[0], 0.75);
  std::vector<long double> ld{0.5L, -0.0001L - 2e-10L, 0.5L, 1.0L};
  EXPECT_DOUBLE_EQ(offset_zero_crossing_rate(std::span<const long double>(ld), 4, 4, false)[0], 0.5);
}

TEST(Features, WelchWhiteNoiseDensity) {
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<double> x(200000);
  for (auto& v : x) v = g(rng);
  auto r = welch(x, 1000.0);
  ASSERT_EQ(r.freqs.size(), 513u);
  EXPECT_DOUBLE_EQ(r.freqs[512], 500.0);
  double mean = 0;
  for (int k = 10; k < 500; ++k) mean += r.psd[k];
  mean /= 490;
  EXPECT_NEAR(mean, 2.0 / 1000.0, 0.05 * 2.0 / 1000.0);  // unit variance over fs/2 Hz, one-sided
  auto short_sig = welch(std::vector<double>{1.0, 2.0, 4.0}, 10.0);
  EXPECT_EQ(short_sig.nperseg, 3);
  EXPECT_THROW(welch(std::vector<double>{}, 10.0), FeatureError);
}

TEST(Features, MinMaxScaleAlongEitherAxis) {
  std::vector<double> m{1, 5, 3, 5, 2, 5};  // 3 x 2
  auto a = m;
  minmax_scale<double>(a, 3, 2, 0);
  EXPECT_EQ(a, (std::vector<double>{0, 0, 1, 0, 0.5, 0}));  // constant column -> zeros
  auto b = m;
  minmax_scale<double>(b, 3, 2, 1);
  std::vector<double> want{0, 1, 0, 1, 0, 1};
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(b[i], want[i], 1e-15);
  std::vector<float> n{NAN, 2.f, 4.f};
  minmax_scale<float>(n, 3, 1, 0);
  EXPECT_TRUE(std::isnan(n[0]));
  EXPECT_EQ(n[2], 1.f);
}

TEST(Features, DisplayGeometry) {
  std::vector<double> y(960000, 0.0);
  y[17] = -0.5;
  auto e = waveform_envelope(y, 16000);
  EXPECT_EQ(e.hop, 16);
  EXPECT_EQ(e.peak.size(), 60000u);
  EXPECT_EQ(e.peak[1], 0.5);
  EXPECT_EQ(waveform_envelope(std::vector<double>(100, 0.1), 16000).hop, 1);
  auto f = fft_hz_edges(257, 16000);
  EXPECT_EQ(f.size(), 258u);
  EXPECT_EQ(f[0], 0.0);
  EXPECT_NEAR(f[1], 15.625, 1e-12);
  EXPECT_EQ(f[257], 8000.0);
  auto t = time_edges(3, 16000, 256);
  EXPECT_NEAR(t[3], 0.048, 1e-15);
  auto me = mel_hz_edges(40, 0, 8000);
  EXPECT_EQ(me.front(), 0.0);
  EXPECT_EQ(me.back(), 8000.0);
}

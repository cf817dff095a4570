#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "metrics/stoi_resample.hpp"
#include "metrics_fixtures.hpp"
#include "vemio/audio/audio.hpp"
#include "vemio/metrics/intelligibility.hpp"
#include "vemio/util/error.hpp"

namespace fs = std::filesystem;
using vemio::metrics::stoi;
using vemio::metrics::detail::KaiserResampler;

namespace {

// Noise under a syllable-rate envelope: speech-like enough that most frames are kept.
std::vector<double> babble(int rate, double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g;
  std::vector<double> x(size_t(seconds * rate));
  for (size_t i = 0; i < x.size(); ++i) {
    const double env = std::sin(2.0 * std::numbers::pi * 3.0 * double(i) / rate);
    x[i] = (0.05 + env * env) * g(rng);
  }
  return x;
}

std::vector<double> plus_noise(const std::vector<double>& x, double sd, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, sd);
  std::vector<double> y = x;
  for (double& v : y) v += g(rng);
  return y;
}

std::string error_of(const std::vector<double>& x, const std::vector<double>& y, int rate) {
  try {
    stoi(x, y, rate);
  } catch (const vemio::Error& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(Stoi, MatchesReferenceScoresOfTheSpeechFixtures) {
  const fs::path dir = metric_fixtures::dir();
  if (dir.empty()) GTEST_SKIP() << "shared/fixtures/metrics not found";
  const auto pairs = metric_fixtures::pairs(dir);
  ASSERT_EQ(pairs.size(), 36u);
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.name());
    EXPECT_NEAR(stoi(p.clean, p.degraded, p.rate, false), p.value("stoi"), 1e-4);
    EXPECT_NEAR(stoi(p.clean, p.degraded, p.rate, true), p.value("estoi"), 1e-4);
  }
}

TEST(Stoi, ResamplerDesignAndResponse) {
  // filter half-lengths of the reference design for the usual rates
  EXPECT_EQ(KaiserResampler(16000, 10000).half_length(), 290);
  EXPECT_EQ(KaiserResampler(8000, 10000).half_length(), 182);
  EXPECT_EQ(KaiserResampler(44100, 10000).half_length(), 15973);
  const KaiserResampler r(16000, 10000);
  EXPECT_EQ(r.up(), 5);
  EXPECT_EQ(r.down(), 8);
  for (size_t n : {1u, 7u, 8u, 9u, 16001u}) EXPECT_EQ(r.output_length(n), (n * 5 + 7) / 8);

  for (int rate : {8000, 16000, 44100, 48000}) {
    SCOPED_TRACE(rate);
    const KaiserResampler rs(rate, 10000);
    const size_t n = size_t(rate);  // one second
    std::vector<double> dc(n, 1.0), pass(n), stop(n);
    for (size_t i = 0; i < n; ++i) {
      pass[i] = std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / rate);
      stop[i] = std::sin(2.0 * std::numbers::pi * 6000.0 * double(i) / rate) * (rate > 12000);
    }
    const auto y_dc = rs(dc), y_pass = rs(pass), y_stop = rs(stop);
    ASSERT_EQ(y_dc.size(), 10000u);
    double err_dc = 0, err_pass = 0, stop_peak = 0;
    for (size_t k = 2000; k < 8000; ++k) {  // away from the edges
      err_dc = std::max(err_dc, std::abs(y_dc[k] - 1.0));
      err_pass = std::max(err_pass, std::abs(y_pass[k] - std::sin(2.0 * std::numbers::pi * 1000.0 * double(k) / 1e4)));
      stop_peak = std::max(stop_peak, std::abs(y_stop[k]));
    }
    EXPECT_LT(err_dc, 1e-3);     // unit gain at DC
    EXPECT_LT(err_pass, 2e-3);   // centred: no delay, no gain change in the pass band
    EXPECT_LT(stop_peak, 2e-3);  // 6 kHz would alias at 10 kHz: rejected by about 60 dB
  }
}

TEST(Stoi, IdenticalSignalsScoreOneAtAnyRate) {
  for (int rate : {8000, 16000, 44100}) {
    SCOPED_TRACE(rate);
    const auto x = babble(rate, 2.0, 1);
    EXPECT_NEAR(stoi(x, x, rate, false), 1.0, 1e-9);
    EXPECT_NEAR(stoi(x, x, rate, true), 1.0, 1e-9);
    const auto y = plus_noise(x, 0.5, 2);
    const double s = stoi(x, y, rate), e = stoi(x, y, rate, true);
    EXPECT_GT(s, 0.3);
    EXPECT_LT(s, 0.99);
    EXPECT_LT(e, s);  // the extended form is the stricter one on stationary noise
  }
}

TEST(Stoi, InvariantToDegradedGainLeadingSilenceAndExtraLength) {
  const int rate = 16000;
  auto x = babble(rate, 2.5, 3);
  for (size_t i = 0; i < 1600; ++i) x[i] *= 1e-4;  // starts in silence, as speech files do
  const auto y = plus_noise(x, 0.3, 4);
  const double ref = stoi(x, y, rate), ref_ext = stoi(x, y, rate, true);
  auto loud = y;
  for (double& v : loud) v *= 20.0;
  EXPECT_NEAR(stoi(x, loud, rate), ref, 1e-9);
  EXPECT_NEAR(stoi(x, loud, rate, true), ref_ext, 1e-9);
  // 1024 samples at 16 kHz are exactly five frame hops at 10 kHz: more silent frames, all dropped
  std::vector<double> xs(3 * 1024, 0.0), ys(3 * 1024, 0.0);
  xs.insert(xs.end(), x.begin(), x.end());
  ys.insert(ys.end(), y.begin(), y.end());
  EXPECT_NEAR(stoi(xs, ys, rate), ref, 1e-9);
  EXPECT_NEAR(stoi(xs, ys, rate, true), ref_ext, 1e-9);
  // the longer signal is cut to the shorter
  auto longer = x;
  longer.insert(longer.end(), 5000, 0.7);
  EXPECT_EQ(stoi(longer, y, rate), ref);
  EXPECT_EQ(stoi(y, longer, rate), stoi(y, x, rate));
}

TEST(Stoi, UnscorablePairsThrowNamingTheReason) {
  const int rate = 16000;
  const auto x = babble(rate, 1.5, 5);
  const std::vector<double> empty, zeros(x.size(), 0.0);
  auto nan = x;
  nan[100] = std::numeric_limits<double>::infinity();
  EXPECT_NE(error_of(empty, x, rate).find("clean signal is empty"), std::string::npos);
  EXPECT_NE(error_of(x, empty, rate).find("degraded signal is empty"), std::string::npos);
  EXPECT_NE(error_of(x, nan, rate).find("degraded signal has non-finite"), std::string::npos);
  EXPECT_NE(error_of(zeros, x, rate).find("clean signal is all zeros"), std::string::npos);
  EXPECT_NE(error_of(x, x, 0).find("sampling rate must be positive"), std::string::npos);
  EXPECT_NE(error_of(x, x, 999983).find("not supported"), std::string::npos);
  const std::vector<double> tiny(200, 0.1);
  EXPECT_NE(error_of(tiny, tiny, rate).find("too short"), std::string::npos);
  // 0.3 s of sound in 1.5 s of near silence: too few frames are kept
  auto burst = x;
  for (size_t i = 0; i < burst.size(); ++i)
    if (i < 4000 || i > 8800) burst[i] *= 1e-4;
  EXPECT_NE(error_of(burst, x, rate).find("frames remain"), std::string::npos);
}

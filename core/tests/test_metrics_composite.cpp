#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "metrics/composite_detail.hpp"
#include "metrics_fixtures.hpp"
#include "vemio/audio/audio.hpp"
#include "vemio/metrics/composite.hpp"
#include "vemio/metrics/pesq.hpp"
#include "vemio/util/error.hpp"

namespace fs = std::filesystem;
namespace vm = vemio::metrics;

namespace {

// Voiced bursts (a few harmonics under a raised-cosine envelope) between exact silences.
std::vector<double> speechlike(int rate, double seconds, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> x(static_cast<size_t>(seconds * rate), 0.0);
  const size_t gap = static_cast<size_t>(0.2 * rate), len = static_cast<size_t>(0.3 * rate);
  for (size_t t = gap; t + len + gap < x.size(); t += len + gap) {
    const double f0 = 100 + 100 * u(rng);
    for (size_t i = 0; i < len; ++i) {
      const double env = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(len));
      double v = 0;
      for (int h = 1; h <= 8; ++h) v += std::sin(2 * M_PI * h * f0 * double(i) / rate) / h;
      x[t + i] = 0.3 * env * v;
    }
  }
  return x;
}

std::vector<double> plus_noise(std::vector<double> x, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, sigma);
  for (double& v : x) v += g(rng);
  return x;
}

TEST(CompositeFixtures, EveryPairMatchesTheReferenceTable) {
  const fs::path dir = metric_fixtures::dir();
  if (dir.empty()) GTEST_SKIP() << "shared metric fixtures not found";
  const auto pairs = metric_fixtures::pairs(dir);
  ASSERT_EQ(pairs.size(), 36u);
  double worst_regression = 0, worst_composite = 0;
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.name());
    const auto& c = p.clean;
    const auto& d = p.degraded;
    const int rate = p.rate;
    auto ref = [&](const char* k) { return p.value(k); };
    EXPECT_NEAR(vm::ssnr(c, d, rate), ref("ssnr"), 1e-3);
    EXPECT_NEAR(vm::fwsnrseg(c, d, rate), ref("fwsnrseg"), 1e-3);
    EXPECT_NEAR(vm::llr(c, d, rate), ref("llr"), 1e-3);
    const double wss = vm::wss(c, d, rate);
    EXPECT_NEAR(wss, ref("wss"), 1e-3);
    EXPECT_NEAR(vm::cepstral_distance(c, d, rate), ref("cepstral_distance"), 1e-3);

    // The regression on the table's own PESQ value isolates it from our PESQ model.
    const double raw_nb = 46607.0 / 14945 - 2000.0 * std::log(1.0 / (ref("pesq_nb") / 4 - 999.0 / 4000) - 1) / 2989;
    const double q = rate == 8000 ? raw_nb : ref("pesq_wb");
    const double lu = vm::llr_unclipped(c, d, rate);
    EXPECT_GE(lu, vm::llr(c, d, rate));
    const auto exact = vm::composite_from(q, lu, wss, vm::ssnr(c, d, rate));
    // With vemio's own PESQ term (raw narrow-band score at 8 kHz, wide-band MOS-LQO at 16 kHz)
    // the ratings move with that model's small differences: its narrow-band score of
    // s1_8k_babble5 is 0.057 below the table's, which moves COVL by 0.046.
    const auto own = vemio::pesq(c, d, rate, rate == 8000 ? vemio::PesqMode::narrow_band : vemio::PesqMode::wide_band);
    const auto full = vm::composite(c, d, rate);
    const auto from_own = vm::composite_from(rate == 8000 ? own.raw : own.mos_lqo, lu, wss, vm::ssnr(c, d, rate));
    const double pairs[3][4] = {{exact.csig, full.csig, from_own.csig, ref("csig")},
                                {exact.cbak, full.cbak, from_own.cbak, ref("cbak")},
                                {exact.covl, full.covl, from_own.covl, ref("covl")}};
    for (const auto& p : pairs) {
      EXPECT_NEAR(p[0], p[3], 1e-3);
      EXPECT_DOUBLE_EQ(p[1], p[2]);
      EXPECT_NEAR(p[1], p[3], 0.05);
      worst_regression = std::max(worst_regression, std::abs(p[0] - p[3]));
      worst_composite = std::max(worst_composite, std::abs(p[1] - p[3]));
    }
  }
  std::cout << "[vm.] composite: largest difference " << worst_regression << " with the table's PESQ, "
            << worst_composite << " with vemio's\n";
}

TEST(CompositeMeasures, IdenticalSignalsScoreAsPerfect) {
  for (int rate : {8000, 16000}) {
    SCOPED_TRACE(rate);
    const auto x = plus_noise(speechlike(rate, 2.0, 3), 1e-3, 4);
    EXPECT_DOUBLE_EQ(vm::ssnr(x, x, rate), 35.0);
    EXPECT_DOUBLE_EQ(vm::fwsnrseg(x, x, rate), 35.0);
    EXPECT_NEAR(vm::llr(x, x, rate), 0.0, 1e-9);
    EXPECT_NEAR(vm::wss(x, x, rate), 0.0, 1e-12);
    EXPECT_NEAR(vm::cepstral_distance(x, x, rate), 0.0, 1e-9);
    const auto q = vm::composite(x, x, rate);
    EXPECT_DOUBLE_EQ(q.csig, 5.0);
    EXPECT_DOUBLE_EQ(q.covl, 5.0);
    EXPECT_GT(q.cbak, 4.0);
  }
}

TEST(CompositeMeasures, WorseNoiseScoresWorseOnEveryMeasure) {
  const int rate = 16000;
  const auto c = plus_noise(speechlike(rate, 3.0, 5), 1e-3, 5);
  const auto mild = plus_noise(c, 0.003, 6), harsh = plus_noise(c, 0.03, 6);
  EXPECT_GT(vm::ssnr(c, mild, rate), vm::ssnr(c, harsh, rate) + 3);
  EXPECT_GT(vm::fwsnrseg(c, mild, rate), vm::fwsnrseg(c, harsh, rate) + 3);
  EXPECT_LT(vm::llr(c, mild, rate), vm::llr(c, harsh, rate));
  EXPECT_LT(vm::wss(c, mild, rate), vm::wss(c, harsh, rate));
  EXPECT_LT(vm::cepstral_distance(c, mild, rate), vm::cepstral_distance(c, harsh, rate));
  // Stretches of digital silence in the clean signal keep every measure finite.
  const auto gaps = speechlike(rate, 3.0, 5);
  for (double v : {vm::llr_unclipped(gaps, harsh, rate), vm::cepstral_distance(gaps, harsh, rate),
                   vm::wss(gaps, harsh, rate), vm::fwsnrseg(gaps, harsh, rate)})
    EXPECT_TRUE(std::isfinite(v));
}

TEST(CompositeMeasures, LongerSignalIsCutToTheShorter) {
  const int rate = 8000;
  const auto c = speechlike(rate, 2.0, 7);
  const auto d = plus_noise(c, 0.01, 8);
  auto longer = d;
  const auto tail = plus_noise(std::vector<double>(3000, 0.0), 0.5, 9);
  longer.insert(longer.end(), tail.begin(), tail.end());
  using Fn = double (*)(std::span<const double>, std::span<const double>, int);
  for (Fn fn : {Fn(vm::ssnr), Fn(vm::fwsnrseg), Fn(vm::llr), Fn(vm::wss), Fn(vm::cepstral_distance)}) {
    EXPECT_EQ(fn(c, longer, rate), fn(c, d, rate));
    EXPECT_EQ(fn(longer, c, rate), fn(d, c, rate));
  }
  const auto a = vm::composite(c, longer, rate), b = vm::composite(c, d, rate);
  EXPECT_EQ(a.csig, b.csig);
  EXPECT_EQ(a.cbak, b.cbak);
}

TEST(CompositeMeasures, CriticalBandsSitAtTheSameFrequenciesAtBothRates) {
  namespace cd = vm::composite_detail;
  const auto narrow = cd::critical_bands(cd::framing(8000)), wide = cd::critical_bands(cd::framing(16000));
  const double width[3] = {70.0, 140.423, 346.136};  // bands 0, 13, 24
  const int index[3] = {0, 13, 24};
  for (int i = 0; i < 3; ++i) {
    const auto& n = narrow[index[i]];
    const auto& w = wide[index[i]];
    // 8 kHz frames use 512-point transforms and 16 kHz ones 1024: the same bin spacing.
    EXPECT_EQ(n.first, w.first);
    ASSERT_EQ(n.gains.size(), w.gains.size());
    const double peak = *std::max_element(w.gains.begin(), w.gains.end());
    EXPECT_NEAR(peak, 70.0 / width[i], 1e-12);  // narrower bands weigh more
  }
  // The top band ends below 4 kHz, inside the 8 kHz spectrum.
  EXPECT_LE(narrow[24].first + int(narrow[24].gains.size()), 256);
}

TEST(CompositeMeasures, UnscorablePairsThrowNamingTheProblem) {
  const int rate = 16000;
  const auto x = plus_noise(speechlike(rate, 1.0, 9), 1e-3, 10);
  const std::vector<double> empty;
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const vemio::Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  auto has = [](const std::string& text, const char* part) { return text.find(part) != std::string::npos; };
  EXPECT_TRUE(has(message([&] { vm::ssnr(empty, x, rate); }), "clean signal is empty"));
  EXPECT_TRUE(has(message([&] { vm::wss(x, empty, rate); }), "degraded signal is empty"));
  // One 30 ms frame and one hop are needed: 600 samples at 16 kHz.
  const std::vector<double> short_c(x.begin(), x.begin() + 599);
  EXPECT_TRUE(has(message([&] { vm::llr(short_c, x, rate); }), "too short"));
  const std::vector<double> just(x.begin(), x.begin() + 600);
  EXPECT_NO_THROW(vm::llr(just, x, rate));
  EXPECT_NO_THROW(vm::cepstral_distance(just, x, rate));
  auto bad = x;
  bad[100] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(has(message([&] { vm::fwsnrseg(x, bad, rate); }), "degraded signal contains NaN"));
  EXPECT_TRUE(has(message([&] { vm::ssnr(x, x, 4000); }), "4000 Hz"));
  EXPECT_TRUE(has(message([&] { vm::composite(x, x, 22050); }), "22050 Hz"));
  const std::vector<double> silent(x.size(), 0.0);
  using Fn = double (*)(std::span<const double>, std::span<const double>, int);
  for (Fn fn : {Fn(vm::ssnr), Fn(vm::fwsnrseg), Fn(vm::llr), Fn(vm::wss), Fn(vm::cepstral_distance)})
    EXPECT_TRUE(has(message([&] { fn(silent, x, rate); }), "clean signal is silent"));
  EXPECT_TRUE(has(message([&] { vm::composite(silent, x, rate); }), "clean signal is silent"));
  // A silent degraded signal is a valid (very bad) estimate.
  EXPECT_NEAR(vm::ssnr(x, silent, rate), 0.0, 1e-9);
}

}  // namespace

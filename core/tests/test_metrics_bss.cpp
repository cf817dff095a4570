#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "metrics_fixtures.hpp"
#include "vemio/audio/audio.hpp"
#include "vemio/metrics/bss.hpp"
#include "vemio/util/error.hpp"

namespace fs = std::filesystem;
using vemio::metrics::sdr;
using vemio::metrics::si_sdr;

namespace {

std::vector<double> noise(size_t n, unsigned seed, double sd = 1.0) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, sd);
  std::vector<double> x(n);
  for (double& v : x) v = g(rng);
  return x;
}

}  // namespace

TEST(Bss, MatchesReferenceScoresOfTheSpeechFixtures) {
  const fs::path dir = metric_fixtures::dir();
  if (dir.empty()) GTEST_SKIP() << "shared/fixtures/metrics not found";
  const auto pairs = metric_fixtures::pairs(dir);
  ASSERT_EQ(pairs.size(), 36u);
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.name());
    EXPECT_NEAR(sdr(p.clean, p.degraded), p.value("sdr"), 0.01);
    EXPECT_NEAR(si_sdr(p.clean, p.degraded), p.value("si_sdr"), 1e-6);
  }
}

TEST(Bss, SiSdrOfAnOrthogonalErrorIsItsEnergyRatio) {
  // s and n orthogonal by construction: the projection is exactly s, the residual exactly n.
  const size_t len = 4000;
  std::vector<double> s(len), e(len);
  double ps = 0, pn = 0;
  for (size_t i = 0; i < len; ++i) {
    s[i] = std::sin(2.0 * M_PI * 5.0 * double(i) / len);
    const double n = 0.1 * std::cos(2.0 * M_PI * 7.0 * double(i) / len);
    e[i] = 2.0 * s[i] + n;
    ps += 4.0 * s[i] * s[i];
    pn += n * n;
  }
  EXPECT_NEAR(si_sdr(s, e), 10.0 * std::log10(ps / pn), 1e-9);
  // scaling either signal (even by a negative factor) changes nothing
  std::vector<double> e2 = e, s2 = s;
  for (double& v : e2) v *= -0.25;
  for (double& v : s2) v *= 7.0;
  EXPECT_NEAR(si_sdr(s2, e2), si_sdr(s, e), 1e-9);
  EXPECT_GT(si_sdr(s, s2), 250.0);  // an exact multiple up to rounding
  EXPECT_EQ(si_sdr(s, s), std::numeric_limits<double>::infinity());
}

TEST(Bss, SdrForgivesDelaysUpTo511SamplesButNotLeads) {
  // the reference ends in silence, so delayed copies of it fit in the estimate's length
  auto s = noise(16000, 1);
  std::fill(s.end() - 700, s.end(), 0.0);
  auto n = noise(16000, 2, 0.1);  // 20 dB below s
  std::fill(n.end() - 700, n.end(), 0.0);
  const auto shifted = [&](long shift) {
    std::vector<double> e(s.size());
    for (long i = 0; i < long(s.size()); ++i) {
      const long j = i - shift;
      e[size_t(i)] = (j >= 0 && j < long(s.size()) ? s[size_t(j)] : 0.0) + n[size_t(i)];
    }
    return e;
  };
  EXPECT_NEAR(sdr(s, shifted(0)), 20.0, 0.3);
  EXPECT_NEAR(sdr(s, shifted(300)), 20.0, 0.3);  // the filter follows a delayed estimate
  EXPECT_NEAR(sdr(s, shifted(511)), 20.0, 0.3);
  EXPECT_LT(sdr(s, shifted(-300)), 0.0);  // an estimate ahead of the reference is not projected back
  EXPECT_LT(sdr(s, shifted(600)), 0.0);
  // a filtered copy lies entirely in the projection's span
  std::vector<double> f(s.size(), 0.0);
  for (size_t i = 0; i < s.size(); ++i)
    for (size_t k = 0; k < 3 && k <= i; ++k) f[i] += (k == 0 ? 0.5 : k == 1 ? -0.3 : 0.2) * s[i - k];
  EXPECT_GT(sdr(s, f), 150.0);
  // and SDR is independent of the estimate's gain
  std::vector<double> e = shifted(40), e3 = e;
  for (double& v : e3) v *= 3.0;
  EXPECT_NEAR(sdr(s, e3), sdr(s, e), 1e-9);
}

TEST(Bss, LongerSignalIsCutToTheShorter) {
  const auto s = noise(5000, 3);
  auto e = noise(4000, 4, 0.5);
  for (size_t i = 0; i < e.size(); ++i) e[i] += s[i];
  const std::vector<double> s_cut(s.begin(), s.begin() + 4000);
  EXPECT_EQ(sdr(s, e), sdr(s_cut, e));
  EXPECT_EQ(si_sdr(s, e), si_sdr(s_cut, e));
  EXPECT_EQ(sdr(e, s), sdr(e, s_cut));
  // shorter than the filter: still a well-posed least-squares problem
  const std::vector<double> a(s.begin(), s.begin() + 100), b(e.begin(), e.begin() + 100);
  EXPECT_TRUE(std::isfinite(sdr(a, b)));
}

TEST(Bss, UnscorablePairsThrowNamingTheArgument) {
  const auto s = noise(1000, 5);
  const std::vector<double> zeros(1000, 0.0), empty;
  auto nan = s;
  nan[10] = std::numeric_limits<double>::quiet_NaN();
  const auto message = [](auto&& f) {
    try {
      f();
    } catch (const vemio::Error& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  for (auto* f : {&sdr, &si_sdr}) {
    EXPECT_NE(message([&] { f(empty, s); }).find("reference signal is empty"), std::string::npos);
    EXPECT_NE(message([&] { f(s, empty); }).find("estimate signal is empty"), std::string::npos);
    EXPECT_NE(message([&] { f(zeros, s); }).find("reference signal is all zeros"), std::string::npos);
    EXPECT_NE(message([&] { f(s, zeros); }).find("estimate signal is all zeros"), std::string::npos);
    EXPECT_NE(message([&] { f(s, nan); }).find("estimate signal has non-finite"), std::string::npos);
    EXPECT_NE(message([&] { f(nan, s); }).find("reference signal has non-finite"), std::string::npos);
  }
}

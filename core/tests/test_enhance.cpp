#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "vemio/enhance/estimators.hpp"
#include "vemio/enhance/trad.hpp"
#include "vemio/enhance/wavelet.hpp"

using namespace vemio::enhance;

namespace {
std::vector<double> noise(std::size_t n, unsigned seed, double scale = 1.0) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d(0.0, scale);
  std::vector<double> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}
}  // namespace

TEST(Estimators, McraFirstUpdateAndWindowRestart) {
  const std::size_t n = 4;
  std::vector<double> s = {1.0, 2.0, 4.0, 0.0}, x = {1.0, 100.0, 0.5, 3.0};
  est::Mcra m(n);
  m.init(s.data());
  m.update(x.data());
  for (std::size_t i = 0; i < n; ++i) {
    const double p = 0.8 * s[i] + 0.2 * x[i];
    EXPECT_DOUBLE_EQ(m.P()[i], p);
    EXPECT_DOUBLE_EQ(m.Pmin()[i], std::min(s[i], p));
    EXPECT_DOUBLE_EQ(m.Ptmp()[i], std::min(s[i], p));
  }
  // bin 1: P = 20.8 > 5 * 2 -> speech; bin 3: P / 0 = inf -> speech
  EXPECT_DOUBLE_EQ(m.pk()[0], 0.0);
  EXPECT_DOUBLE_EQ(m.pk()[1], 0.8);
  EXPECT_DOUBLE_EQ(m.pk()[3], 0.8);
  EXPECT_DOUBLE_EQ(m.noise()[1], 0.99 * 2.0 + (1.0 - 0.99) * 100.0);
  EXPECT_DOUBLE_EQ(m.noise()[0], 0.95 * 1.0 + (1.0 - 0.95) * 1.0);
  EXPECT_EQ(m.frame(), 3);
  // run to the update where the counter is 100: Ptmp becomes P, Pmin = min(old Ptmp, P)
  for (int k = 3; k < 100; ++k) m.update(x.data());
  std::vector<double> old_tmp(m.Ptmp(), m.Ptmp() + n);
  std::vector<double> big = {50.0, 50.0, 50.0, 50.0};
  m.update(big.data());
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(m.Ptmp()[i], m.P()[i]);
    EXPECT_EQ(m.Pmin()[i], std::min(old_tmp[i], m.P()[i]));
  }
}

TEST(Estimators, WindowMinimumRestartsAndNaN) {
  const double nan = std::nan("");
  std::vector<double> P = {1.0, 5.0, nan, 2.0}, pmin_old = {2.0, 1.0, 3.0, nan}, ptmp_old = {0.5, 9.0, 1.0, 4.0};
  std::vector<double> pmin(4), ptmp(4);
  est::mcra_window_minimum(false, P, pmin_old, ptmp_old, pmin, ptmp);
  EXPECT_EQ(pmin[0], 1.0);
  EXPECT_EQ(pmin[1], 1.0);
  EXPECT_TRUE(std::isnan(pmin[2]) && std::isnan(pmin[3]));  // NaN wins on either side
  EXPECT_EQ(ptmp[0], 0.5);
  EXPECT_EQ(ptmp[1], 5.0);
  EXPECT_TRUE(std::isnan(ptmp[2]));
  EXPECT_EQ(ptmp[3], 2.0);
  // a restart ignores the old minimum (here absent) and restarts the temporary one at P,
  // which may be P's own storage
  est::mcra_window_minimum(true, P, {}, ptmp_old, pmin, P);
  EXPECT_EQ(pmin[0], 0.5);
  EXPECT_EQ(pmin[1], 5.0);
  EXPECT_TRUE(std::isnan(pmin[2]));
  EXPECT_EQ(pmin[3], 2.0);
  EXPECT_EQ(P[1], 5.0);
  EXPECT_THROW(est::mcra_window_minimum(false, P, {}, ptmp_old, pmin, ptmp), std::invalid_argument);
  EXPECT_TRUE(est::mcra_window_restarts(200, est::kMcra.L));
  EXPECT_FALSE(est::mcra_window_restarts(201, est::kMcra.L));
}

// The enhancement driver's fused MCRA pass and the kernels the estimator binding composes
// (smooth, window minimum, presence update) give the same bits, across two window restarts.
TEST(Estimators, FusedMcraEqualsTheKernels) {
  const std::size_t n = 33;
  const auto c = est::kMcra;
  est::Mcra fused(n);
  std::vector<double> ps = noise(n, 7);
  for (auto& v : ps) v *= v;
  fused.init(ps.data());
  std::vector<double> P = ps, Pmin = ps, Ptmp = ps, pk(n, 0.0), nz = ps;
  long counter = est::kFirstFrame;
  const double delta = double(c.delta);
  for (int frame = 0; frame < 230; ++frame) {
    ps = noise(n, 100 + unsigned(frame), frame % 50 == 0 ? 30.0 : 1.0);
    for (auto& v : ps) v *= v;
    fused.update(ps.data());
    std::vector<double> P_new(n), Pmin_new(n), Ptmp_new(n);
    est::smooth(P.data(), ps.data(), c.ass, P_new.data(), n);
    est::mcra_window_minimum(est::mcra_window_restarts(counter, c.L), P_new, Pmin, Ptmp, Pmin_new, Ptmp_new);
    est::presence_update(P_new.data(), Pmin_new.data(), &delta, 0, c.ap, c.ad, ps.data(), pk.data(), nz.data(), n);
    P = P_new, Pmin = Pmin_new, Ptmp = Ptmp_new;
    ++counter;
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(fused.P()[i], P[i]) << "frame " << frame;
      ASSERT_EQ(fused.Pmin()[i], Pmin[i]) << "frame " << frame;
      ASSERT_EQ(fused.Ptmp()[i], Ptmp[i]) << "frame " << frame;
      ASSERT_EQ(fused.pk()[i], pk[i]) << "frame " << frame;
      ASSERT_EQ(fused.noise()[i], nz[i]) << "frame " << frame;
    }
  }
  EXPECT_EQ(fused.frame(), counter);
}

TEST(Estimators, MinimumTrackingInPlaceAndComparisons) {
  // one array as pnk, pnk_old and pxk_old, as the estimators keep it
  std::vector<double> shared = {1.0, 2.0, 3.0}, pxk = {1.0, 1.0, 5.0};
  std::vector<double> copy = shared;
  est::track_minimum(shared.data(), shared.data(), pxk.data(), 0.96, 0.998, shared.data(), 3);
  const double c = (1.0 - 0.998) / (1.0 - 0.96);
  EXPECT_DOUBLE_EQ(shared[0], 0.998 * 1.0 + c * (1.0 - 0.96 * 1.0));  // equal: recursive branch
  EXPECT_EQ(shared[1], 1.0);                                          // falling: follows pxk
  EXPECT_DOUBLE_EQ(shared[2], 0.998 * 3.0 + c * (5.0 - 0.96 * 3.0));
  est::track_minimum_rising(copy.data(), copy.data(), pxk.data(), 0.8, 0.998, copy.data(), 3);
  EXPECT_EQ(copy[0], 1.0);  // equal: not written
  EXPECT_EQ(copy[1], 2.0);  // falling: keeps the minimum
  EXPECT_NE(copy[2], 3.0);

  std::vector<double> P = {3.0, 1.0}, nz = {2.0, 1.0};
  est::weight_noise(P.data(), 0.85, 1.5, nz.data(), 2);
  EXPECT_EQ(nz[0], 2.0);  // 3 == 1.5 * 2: strict test, not updated
  EXPECT_DOUBLE_EQ(nz[1], 0.85 + 0.15);
}

TEST(Trad, OutputLengthsAndUnwrittenTail) {
  for (std::size_t n : {0u, 1u, 255u, 256u, 511u}) {
    auto y = noise(n, 1);
    auto out = trad_enhance(y);
    EXPECT_EQ(out.size(), n / 256 * 256);
    for (double v : out) EXPECT_EQ(v, 0.0);
  }
  auto out = trad_enhance(noise(2000, 2));
  ASSERT_EQ(out.size(), 1792u);
  for (std::size_t i = 1536; i < 1792; ++i) EXPECT_EQ(out[i], 0.0);
  EXPECT_NE(out[1535], 0.0);
}

TEST(Trad, OneFrameIsUniformGain) {
  auto y = noise(512, 3);
  auto out = trad_enhance(y);
  ASSERT_EQ(out.size(), 512u);
  double wsum = 0.0;
  std::vector<double> win(512);
  for (int m = 0; m < 512; ++m) wsum += win[m] = 0.54 - 0.46 * std::cos(2 * std::numbers::pi * m / 511.0);
  const double g = 0.002 / 10.002, gain = 256.0 / wsum;
  for (int m = 0; m < 256; ++m) EXPECT_NEAR(out[m], gain * g * win[m] * y[m], 1e-15);
  for (int m = 256; m < 512; ++m) EXPECT_EQ(out[m], 0.0);
}

TEST(Trad, SilenceGivesNaNWithoutThrowing) {
  std::vector<double> y(1024, 0.0);
  auto out = trad_enhance(y);
  for (std::size_t i = 0; i < 768; ++i) EXPECT_TRUE(std::isnan(out[i]));
  for (std::size_t i = 768; i < 1024; ++i) EXPECT_EQ(out[i], 0.0);
}

TEST(Wavelet, TableAndLevels) {
  EXPECT_EQ(wavelet_names().size(), 106u);
  auto db2 = find_wavelet("DB2");
  ASSERT_TRUE(db2);
  EXPECT_EQ(db2->name, "db2");
  EXPECT_EQ(db2->length(), 4u);
  EXPECT_EQ(find_wavelet("dmey")->length(), 62u);
  EXPECT_FALSE(find_wavelet("morl"));
  EXPECT_FALSE(find_wavelet(""));
  EXPECT_EQ(dwt_max_level(1000, 4), 8);
  EXPECT_EQ(dwt_max_level(6, 4), 1);
  EXPECT_EQ(dwt_max_level(5, 4), 0);
  EXPECT_EQ(dwt_max_level(2, 4), 0);
  EXPECT_EQ(dwt_max_level(7, 2), 2);
}

TEST(Wavelet, PerfectReconstruction) {
  for (const char* name : {"haar", "db2", "sym8", "coif3", "bior3.5", "rbio2.8"}) {  // dmey is only near-perfect
    auto w = *find_wavelet(name);
    for (std::size_t n : {64u, 1000u, 1024u}) {
      auto x = noise(n, 7);
      auto coeffs = wavedec_per(x, w);
      auto r = waverec_per(coeffs, w);
      ASSERT_EQ(r.size(), n) << name;
      for (std::size_t i = 0; i < n; ++i) ASSERT_NEAR(r[i], x[i], 1e-9) << name << " " << n;
    }
    // odd length: one sample longer, the input is recovered in front
    auto x = noise(999, 8);
    auto r = waverec_per(wavedec_per(x, w), w);
    EXPECT_EQ(r.size() % 2, 0u);
  }
}

TEST(Wavelet, SoftThresholdAndNanMax) {
  std::vector<double> b = {0.0, 1.0, -2.0, 0.5, NAN};
  EXPECT_EQ(nan_max(b), 1.0);
  soft_threshold(b, 0.8);
  EXPECT_EQ(b[0], 0.0);
  EXPECT_NEAR(b[1], 0.2, 1e-15);
  EXPECT_NEAR(b[2], -1.2, 1e-15);
  EXPECT_EQ(b[3], 0.0);
  EXPECT_TRUE(std::isnan(b[4]));
  std::vector<double> neg = {-1.0, -3.0};
  soft_threshold(neg, -1.0);  // a negative threshold grows every magnitude
  EXPECT_EQ(neg[0], -2.0);
  EXPECT_EQ(neg[1], -4.0);
  std::vector<double> nans = {NAN, NAN};
  EXPECT_TRUE(std::isnan(nan_max(nans)));
}

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "vemio/util/fft.hpp"

using vemio::fft::RealFFT;

TEST(RealFFT, RoundTripAndKnownBins) {
  for (int n : {8, 512, 400, 7, 2, 1}) {
    RealFFT<double> f(n);
    std::mt19937 rng(n);
    std::normal_distribution<double> g;
    std::vector<double> x(n), y(n);
    for (auto& v : x) v = g(rng);
    std::vector<std::complex<double>> X(n / 2 + 1);
    f.forward(x, X);
    double dc = 0;
    for (double v : x) dc += v;
    EXPECT_NEAR(X[0].real(), dc, 1e-9);
    f.inverse(X, y);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], y[i], 1e-12) << "n=" << n << " i=" << i;
  }
}

TEST(RealFFT, CosineLandsInItsBin) {
  const int n = 512;
  RealFFT<float> f(n);
  std::vector<float> x(n);
  for (int i = 0; i < n; ++i) x[i] = std::cos(2 * std::numbers::pi * 10 * i / n);
  std::vector<std::complex<float>> X(n / 2 + 1);
  f.forward(x, X);
  EXPECT_NEAR(std::abs(X[10]), n / 2.0, 1e-2);
  EXPECT_NEAR(std::abs(X[11]), 0.0, 1e-2);
}

TEST(RealFFT, RefusesBadSizes) {
  EXPECT_THROW(RealFFT<double>(0), std::invalid_argument);
  RealFFT<double> f(16);
  std::vector<double> x(15);
  std::vector<std::complex<double>> X(9);
  EXPECT_THROW(f.forward(x, X), std::invalid_argument);
}

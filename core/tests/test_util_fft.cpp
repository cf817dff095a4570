#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "../src/util/fft_pow2.hpp"
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

namespace {

// rfft by a direct DFT in long double, for checking the fast paths
std::vector<std::complex<long double>> slow_rfft(const std::vector<double>& x) {
  const long n = static_cast<long>(x.size());
  std::vector<std::complex<long double>> X(n / 2 + 1), w(n);
  for (long j = 0; j < n; ++j) {
    const long double a = -2.0L * std::numbers::pi_v<long double> * j / n;
    w[j] = {cosl(a), sinl(a)};
  }
  for (long k = 0; k <= n / 2; ++k)
    for (long j = 0; j < n; ++j) X[k] += static_cast<long double>(x[j]) * w[(j * k) % n];
  return X;
}

// RealFFT through the pointer interface of the power-of-two kernels
template <typename T>
struct Public {
  RealFFT<T> f;
  int n;
  explicit Public(int len) : f(len), n(len) {}
  void forward(const T* x, std::complex<T>* X) {
    f.forward(std::span<const T>(x, n), std::span<std::complex<T>>(X, n / 2 + 1));
  }
  void inverse(const std::complex<T>* X, T* x) {
    f.inverse(std::span<const std::complex<T>>(X, n / 2 + 1), std::span<T>(x, n));
  }
};

template <typename T, typename F>
void check_against_dft(int n, double tol, F&& f) {
  std::mt19937 rng(n + sizeof(T));
  std::normal_distribution<double> g;
  std::vector<double> xd(n);
  std::vector<T> x(n), y(n);
  for (int i = 0; i < n; ++i) x[i] = static_cast<T>(xd[i] = g(rng));
  for (int i = 0; i < n; ++i) xd[i] = x[i];
  const auto ref = slow_rfft(xd);
  std::vector<std::complex<T>> X(n / 2 + 1);
  f.forward(x.data(), X.data());
  long double scale = 0, err = 0;
  for (int k = 0; k <= n / 2; ++k) {
    scale = std::max(scale, std::abs(ref[k]));
    err = std::max(err, std::abs(std::complex<long double>(X[k]) - ref[k]));
  }
  EXPECT_LT(err / scale, tol) << "forward n=" << n;
  EXPECT_EQ(X[0].imag(), 0) << n;
  EXPECT_EQ(X[n / 2].imag(), 0) << n;

  // inverse of the exact spectrum, and round trip
  std::vector<std::complex<T>> R(n / 2 + 1);
  for (int k = 0; k <= n / 2; ++k) R[k] = std::complex<T>(ref[k]);
  f.inverse(R.data(), y.data());
  double xmax = 0, e1 = 0, e2 = 0;
  for (int i = 0; i < n; ++i) {
    xmax = std::max(xmax, std::abs(xd[i]));
    e1 = std::max(e1, std::abs(double(y[i]) - xd[i]));
  }
  f.inverse(X.data(), y.data());
  for (int i = 0; i < n; ++i) e2 = std::max(e2, std::abs(double(y[i]) - xd[i]));
  EXPECT_LT(e1 / xmax, tol) << "inverse n=" << n;
  EXPECT_LT(e2 / xmax, tol) << "round trip n=" << n;
}

}  // namespace

TEST(RealFFT, PowersOfTwoMatchDirectDft) {
  // both stage layouts (odd and even log2 of the half length), tiny to large
  using vemio::fft::detail::Pow2RealFFT;
  for (int n : {8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096}) {
    check_against_dft<double>(n, 1e-14, Public<double>(n));
    check_against_dft<float>(n, 2e-6, Public<float>(n));
    // the baseline vector kernels, where the machine would pick wider ones
    check_against_dft<double>(n, 1e-14, Pow2RealFFT<double>(n, false));
  }
  // other lengths keep the general path
  for (int n : {6, 12, 400, 1000}) check_against_dft<double>(n, 1e-13, Public<double>(n));
}

TEST(RealFFT, InverseIgnoresImaginaryDcAndNyquist) {
  // numpy's irfft drops them: the spectrum of a real signal has none
  for (int n : {16, 512, 2048, 400}) {
    RealFFT<double> f(n);
    std::vector<std::complex<double>> X(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) X[k] = {std::cos(0.1 * k), std::sin(0.37 * k)};
    std::vector<double> a(n), b(n);
    f.inverse(X, a);
    X[0].imag(5.0);
    X[n / 2].imag(-3.0);
    f.inverse(X, b);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(a[i], b[i], 1e-15) << "n=" << n << " i=" << i;
  }
}

TEST(RealFFT, InstancesAreIndependentAndReusable) {
  // a moved-to instance and repeated calls give identical results; input is left untouched
  const int n = 1024;
  std::vector<double> x(n);
  for (int i = 0; i < n; ++i) x[i] = std::sin(0.01 * i * i);
  const auto x0 = x;
  RealFFT<double> a(n), b(64);
  std::vector<std::complex<double>> X1(n / 2 + 1), X2(n / 2 + 1);
  a.forward(x, X1);
  b = std::move(a);
  b.forward(x, X2);
  EXPECT_EQ(x, x0);
  for (int k = 0; k <= n / 2; ++k) EXPECT_EQ(X1[k], X2[k]);
  const auto X0 = X1;
  std::vector<double> y(n);
  b.inverse(X1, y);
  for (int k = 0; k <= n / 2; ++k) EXPECT_EQ(X1[k], X0[k]);
}

TEST(RealFFT, TransformsHandedOnWithinAThreadStayIndependent) {
  // A finished instance's transform serves the next one of its length on the same thread:
  // results must not depend on what ran before, and live instances of one length must not
  // share work buffers.
  const int n = 2048;
  std::vector<double> x(n), z(n);
  for (int i = 0; i < n; ++i) x[i] = std::sin(0.003 * i * i), z[i] = std::cos(0.7 * i);
  std::vector<std::complex<double>> first(n / 2 + 1), X(n / 2 + 1), Z(n / 2 + 1);
  { RealFFT<double>(n).forward(x, first); }
  for (int round = 0; round < 3; ++round) {
    RealFFT<double> a(n), b(n);  // the second cannot have the first's transform
    a.forward(z, Z);
    b.forward(x, X);
    std::vector<double> back(n);
    a.inverse(Z, back);
    b.forward(x, X);  // a's inverse in between must not disturb b
    for (int k = 0; k <= n / 2; ++k) ASSERT_EQ(X[k], first[k]) << "round " << round << " bin " << k;
    for (int i = 0; i < n; ++i) ASSERT_NEAR(back[i], z[i], 1e-12);
  }
}

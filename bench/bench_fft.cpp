// Real-FFT micro-benchmark: vemio::fft::RealFFT (whatever backend it was built with) against
// Eigen's built-in FFT called directly, and optionally FFTW. Best of several repeats, in
// microseconds per transform. Also prints the accuracy against a long-double DFT.
//
//   g++ -std=c++20 -O3 -Icore/include -I/usr/include/eigen3 bench/bench_fft.cpp
//       core/src/util/fft*.cpp -o /tmp/bench_fft && /tmp/bench_fft [sizes...]
//   add -DBENCH_FFTW -lfftw3 -lfftw3f for an FFTW column (FFTW is GPL: local comparisons only)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <unsupported/Eigen/FFT>
#include <vector>

#include "../core/src/util/fft_pow2.hpp"
#include "vemio/util/fft.hpp"
#ifdef BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

// best time of `reps` batches, each batch long enough to be measurable, in us per call
double best_us(const std::function<void()>& f, int reps = 7) {
  using clk = std::chrono::steady_clock;
  int batch = 1;
  for (;;) {  // calibrate to ~5 ms per batch
    auto t0 = clk::now();
    for (int i = 0; i < batch; ++i) f();
    double dt = std::chrono::duration<double>(clk::now() - t0).count();
    if (dt > 5e-3) break;
    batch *= 2;
  }
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    auto t0 = clk::now();
    for (int i = 0; i < batch; ++i) f();
    best = std::min(best, std::chrono::duration<double>(clk::now() - t0).count() / batch);
  }
  return best * 1e6;
}

template <typename T>
void run(int n) {
  std::mt19937 rng(n);
  std::normal_distribution<double> g;
  std::vector<T> x(n), y(n);
  for (auto& v : x) v = static_cast<T>(g(rng));
  const int nb = n / 2 + 1;
  std::vector<std::complex<T>> X(nb), S(nb);

  vemio::fft::RealFFT<T> ours(n);
  ours.forward(x, X);
  const double our_f = best_us([&] { ours.forward(x, X); });
  const double our_i = best_us([&] { ours.inverse(X, y); });

  // the baseline (SSE2 / NEON) kernels, where RealFFT picks wider ones at run time
  double base_f = our_f, base_i = our_i;
  if (n >= 8 && (n & (n - 1)) == 0) {
    vemio::fft::detail::Pow2RealFFT<T> base(n, false);
    base_f = best_us([&] { base.forward(x.data(), X.data()); });
    base_i = best_us([&] { base.inverse(X.data(), y.data()); });
  }

  // accuracy: forward against a long-double DFT, round trip
  double err = 0, ref = 0, rt = 0, xmax = 0;
  if (n <= 16384) {
    std::vector<std::complex<long double>> w(n);
    for (int j = 0; j < n; ++j) {
      const long double a = -2.0L * 3.14159265358979323846264338327950288L * j / n;
      w[j] = {cosl(a), sinl(a)};
    }
    for (int k = 0; k < nb; ++k) {
      std::complex<long double> acc = 0;
      for (long j = 0; j < n; ++j) acc += static_cast<long double>(x[j]) * w[(j * k) % n];
      err = std::max(err, double(std::abs(std::complex<long double>(X[k]) - acc)));
      ref = std::max(ref, double(std::abs(acc)));
    }
  } else {
    ref = 1, err = std::nan("");  // the direct DFT would take too long
  }
  ours.inverse(X, y);
  for (int j = 0; j < n; ++j) {
    rt = std::max(rt, double(std::abs(y[j] - x[j])));
    xmax = std::max(xmax, double(std::abs(x[j])));
  }

  Eigen::FFT<T, Eigen::internal::kissfft_impl<T>> eig;
  eig.SetFlag(Eigen::FFT<T, Eigen::internal::kissfft_impl<T>>::HalfSpectrum);
  eig.fwd(S.data(), x.data(), n);
  const double eig_f = best_us([&] { eig.fwd(S.data(), x.data(), n); });
  std::vector<std::complex<T>> tmp(nb);
  const double eig_i = best_us([&] {  // works on a copy, as RealFFT's Eigen path does
    std::copy(X.begin(), X.end(), tmp.begin());
    eig.inv(y.data(), tmp.data(), n);
  });

  double fw_f = 0, fw_i = 0;
#ifdef BENCH_FFTW
  if constexpr (std::is_same_v<T, double>) {
    std::vector<double> xx(x.begin(), x.end()), yy(n);
    std::vector<std::complex<double>> c(nb), ct(nb);
    fftw_plan pf = fftw_plan_dft_r2c_1d(n, xx.data(), reinterpret_cast<fftw_complex*>(c.data()),
                                        FFTW_MEASURE);
    fftw_plan pi = fftw_plan_dft_c2r_1d(n, reinterpret_cast<fftw_complex*>(ct.data()),
                                        yy.data(), FFTW_MEASURE);
    std::copy(x.begin(), x.end(), xx.begin());
    fftw_execute(pf);
    fw_f = best_us([&] { fftw_execute(pf); });
    fw_i = best_us([&] {  // c2r overwrites its input
      std::copy(c.begin(), c.end(), ct.begin());
      fftw_execute(pi);
    });
    fftw_destroy_plan(pf);
    fftw_destroy_plan(pi);
  } else {
    std::vector<float> xx(x.begin(), x.end()), yy(n);
    std::vector<std::complex<float>> c(nb), ct(nb);
    fftwf_plan pf = fftwf_plan_dft_r2c_1d(
        n, xx.data(), reinterpret_cast<fftwf_complex*>(c.data()), FFTW_MEASURE);
    fftwf_plan pi = fftwf_plan_dft_c2r_1d(n, reinterpret_cast<fftwf_complex*>(ct.data()),
                                          yy.data(), FFTW_MEASURE);
    std::copy(x.begin(), x.end(), xx.begin());
    fftwf_execute(pf);
    fw_f = best_us([&] { fftwf_execute(pf); });
    fw_i = best_us([&] {
      std::copy(c.begin(), c.end(), ct.begin());
      fftwf_execute(pi);
    });
    fftwf_destroy_plan(pf);
    fftwf_destroy_plan(pi);
  }
#endif
  std::printf("%-6s %6d | fwd %7.2f %7.2f %7.2f %7.2f | inv %7.2f %7.2f %7.2f %7.2f | "
              "%4.1fx %4.1fx | err %.1e rt %.1e\n",
              sizeof(T) == 8 ? "double" : "float", n, eig_f, base_f, our_f, fw_f, eig_i, base_i,
              our_i, fw_i, eig_f / our_f, eig_i / our_i, err / ref, rt / xmax);
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("backend: %s\n", vemio::fft::backend_name());
  std::printf("us per transform, best of 7: Eigen default / in-house baseline kernels (SSE2) / "
              "RealFFT as dispatched / FFTW (0 = not built); speed-up of RealFFT over Eigen; "
              "relative error vs long-double DFT, round trip\n");
  std::vector<int> sizes = {64, 256, 512, 1024, 2048, 4096, 16384};
  if (argc > 1) {
    sizes.clear();
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  }
  for (int n : sizes) run<double>(n);
  for (int n : sizes) run<float>(n);
}

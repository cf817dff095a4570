// Decibel conversions of spectrograms: one pass for the reference, one for the logarithms
// (four at a time where the CPU allows), one for the top_db floor, each split over threads.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "frames.hpp"
#include "vemio/features/spectral.hpp"

#if defined(__x86_64__) && defined(VEMIO_HAVE_LIBMVEC)
#include <immintrin.h>
// glibc's vector logarithm (libmvec), four doubles in one AVX2 register, within 4 ulp
extern "C" __m256d _ZGVdN4v_log(__m256d);
#define VEMIO_VECTOR_LOG 1
#endif

namespace vemio::features {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kGrain = 65536;

bool pick_vector() {
#ifdef VEMIO_VECTOR_LOG
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}
const bool use_vector = pick_vector();

int chunk_count(size_t n) { return static_cast<int>(std::clamp<size_t>(n / kGrain, 1, 8)); }
size_t chunk_start(size_t n, int chunks, int c) { return n * static_cast<size_t>(c) / chunks; }

// The value a decibel is taken of: the square of an amplitude, or a power as it is.
template <bool Square, class T>
inline double level(T x) {
  const double v = static_cast<double>(x);
  return Square ? v * v : v;
}

// Running state of one thread's share: largest value seen, and whether a NaN was.
struct Extremes {
  double peak = -std::numeric_limits<double>::infinity();
  bool nan = false;
  void add(double v) {
    nan |= v != v;
    peak = v > peak ? v : peak;
  }
};

// out[i] = k log(max(amin, level(in[i]))) - ref_db, NaN kept as NaN.
template <bool Square, class T>
void decibels_scalar(const T* in, double* out, size_t n, double amin, double k, double ref_db, Extremes& e) {
  for (size_t i = 0; i < n; ++i) {
    const double v = level<Square>(in[i]);
    const double d = v != v ? v : k * std::log(std::max(amin, v)) - ref_db;
    out[i] = d;
    e.add(d);
  }
}

template <bool Square, class T>
void peak_scalar(const T* in, size_t n, Extremes& e) {
  for (size_t i = 0; i < n; ++i) e.add(level<Square>(in[i]));
}

#ifdef VEMIO_VECTOR_LOG
template <class T>
__attribute__((target("avx2,fma"))) inline __m256d load4(const T* p) {
  if constexpr (std::is_same_v<T, float>)
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
  else
    return _mm256_loadu_pd(p);
}

__attribute__((target("avx2,fma"))) inline void fold(__m256d peak, __m256d nan, Extremes& e) {
  alignas(32) double p[4], q[4];
  _mm256_store_pd(p, peak);
  _mm256_store_pd(q, nan);
  for (int j = 0; j < 4; ++j) {
    e.add(p[j]);
    e.nan |= std::bit_cast<std::uint64_t>(q[j]) != 0;
  }
}

// k log is rounded before ref_db is taken off (no fused multiply-subtract), so a value equal to
// the reference gives exactly 0 dB, ref_db being rounded the same way.
template <bool Square>
__attribute__((target("avx2,fma"))) inline __m256d decibel4(__m256d v, __m256d va, __m256d vk, __m256d vr,
                                                            __m256d& nan) {
  if (Square) v = _mm256_mul_pd(v, v);
  const __m256d d = _mm256_sub_pd(_mm256_mul_pd(vk, _ZGVdN4v_log(_mm256_max_pd(va, v))), vr);
  nan = _mm256_or_pd(nan, _mm256_cmp_pd(d, d, _CMP_UNORD_Q));
  return d;
}

// Four values at a time. max_pd returns its second operand when either is NaN, which keeps a
// NaN level as NaN through the amin clamp.
template <bool Square, class T>
__attribute__((target("avx2,fma"))) void decibels_avx2(const T* in, double* out, size_t n, double amin, double k,
                                                       double ref_db, Extremes& e) {
  const __m256d va = _mm256_set1_pd(amin), vk = _mm256_set1_pd(k), vr = _mm256_set1_pd(ref_db);
  __m256d peak = _mm256_set1_pd(-std::numeric_limits<double>::infinity()), nan = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d d = decibel4<Square>(load4(in + i), va, vk, vr, nan);
    _mm256_storeu_pd(out + i, d);
    peak = _mm256_max_pd(d, peak);
  }
  fold(peak, nan, e);
  if (i < n) {  // the last one to three values through the same arithmetic
    alignas(32) double tail[4] = {1, 1, 1, 1};
    for (size_t j = i; j < n; ++j) tail[j - i] = static_cast<double>(in[j]);
    _mm256_store_pd(tail, decibel4<Square>(_mm256_load_pd(tail), va, vk, vr, nan));
    fold(peak, nan, e);
    for (size_t j = i; j < n; ++j) {
      out[j] = tail[j - i];
      e.add(tail[j - i]);
    }
  }
}

__attribute__((target("avx2,fma"))) double log_avx2(double x) {
  alignas(32) double v[4];
  _mm256_store_pd(v, _ZGVdN4v_log(_mm256_set1_pd(x)));
  return v[0];
}

template <bool Square, class T>
__attribute__((target("avx2,fma"))) void peak_avx2(const T* in, size_t n, Extremes& e) {
  __m256d peak = _mm256_set1_pd(-std::numeric_limits<double>::infinity()), nan = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d v = load4(in + i);
    if (Square) v = _mm256_mul_pd(v, v);
    nan = _mm256_or_pd(nan, _mm256_cmp_pd(v, v, _CMP_UNORD_Q));
    peak = _mm256_max_pd(v, peak);
  }
  fold(peak, nan, e);
  peak_scalar<Square>(in + i, n - i, e);
}
#endif

template <bool Square, class T>
void decibels(const T* in, double* out, size_t n, double amin, double k, double ref_db, Extremes& e) {
#ifdef VEMIO_VECTOR_LOG
  if (use_vector) return decibels_avx2<Square>(in, out, n, amin, k, ref_db, e);
#endif
  decibels_scalar<Square>(in, out, n, amin, k, ref_db, e);
}

// The natural logarithm the conversions use, so that a reference and an equal value give the
// same logarithm.
double natural_log(double x) {
#ifdef VEMIO_VECTOR_LOG
  if (use_vector) return log_avx2(x);
#endif
  return std::log(x);
}

// Largest level, NaN when any value is NaN.
template <bool Square, class T>
double peak_level(const T* in, size_t n) {
  const int chunks = chunk_count(n);
  std::vector<Extremes> parts(static_cast<size_t>(chunks));
  detail::parallel_for(chunks, 1, [&](int b, int e) {
    for (int c = b; c < e; ++c) {
      const size_t lo = chunk_start(n, chunks, c), hi = chunk_start(n, chunks, c + 1);
#ifdef VEMIO_VECTOR_LOG
      if (use_vector) {
        peak_avx2<Square>(in + lo, hi - lo, parts[c]);
        continue;
      }
#endif
      peak_scalar<Square>(in + lo, hi - lo, parts[c]);
    }
  });
  double peak = -std::numeric_limits<double>::infinity();
  for (const Extremes& p : parts) {
    if (p.nan) return kNaN;
    peak = std::max(peak, p.peak);
  }
  return peak;
}

template <bool Square, class T>
void convert(const T* in, double* out, size_t n, bool ref_is_max, double ref, double amin, double top_db) {
  if (!(amin > 0)) throw FeatureError("amin must be strictly positive");
  if (n == 0) return;
  if (Square) amin *= amin;
  ref = ref_is_max ? peak_level<Square>(in, n) : (Square ? ref * ref : std::abs(ref));
  // 10 log10(x) as a multiple of the natural logarithm
  constexpr double k = 10.0 / std::numbers::ln10;
  const double ref_db = k * natural_log(std::isnan(ref) ? ref : std::max(amin, std::abs(ref)));

  const int chunks = chunk_count(n);
  std::vector<Extremes> parts(static_cast<size_t>(chunks));
  detail::parallel_for(chunks, 1, [&, amin](int b, int e) {
    for (int c = b; c < e; ++c) {
      const size_t lo = chunk_start(n, chunks, c), hi = chunk_start(n, chunks, c + 1);
      decibels<Square>(in + lo, out + lo, hi - lo, amin, k, ref_db, parts[c]);
    }
  });
  if (top_db < 0) return;
  // the peak of an array holding NaN is NaN, and flooring against it makes every cell NaN
  double peak = -std::numeric_limits<double>::infinity();
  for (const Extremes& p : parts) {
    if (p.nan) {
      std::fill(out, out + n, kNaN);
      return;
    }
    peak = std::max(peak, p.peak);
  }
  const double floor = peak - top_db;
  detail::parallel_for(chunks, 1, [&](int b, int e) {
    for (size_t i = chunk_start(n, chunks, b), hi = chunk_start(n, chunks, e); i < hi; ++i)
      out[i] = out[i] < floor ? floor : out[i];
  });
}

}  // namespace

void to_db(Samples s, double* out, bool amplitude, bool ref_is_max, double ref, double amin, double top_db) {
  const size_t n = s.size();
  if (s.f64()) {
    if (amplitude)
      convert<true>(s.f64(), out, n, ref_is_max, ref, amin, top_db);
    else
      convert<false>(s.f64(), out, n, ref_is_max, ref, amin, top_db);
  } else {
    if (amplitude)
      convert<true>(s.f32(), out, n, ref_is_max, ref, amin, top_db);
    else
      convert<false>(s.f32(), out, n, ref_is_max, ref, amin, top_db);
  }
}

void power_to_db(std::span<double> s, bool ref_is_max, double ref, double amin, double top_db) {
  to_db(std::span<const double>(s), s.data(), false, ref_is_max, ref, amin, top_db);
}

void amplitude_to_db(std::span<double> s, bool ref_is_max, double ref, double amin, double top_db) {
  to_db(std::span<const double>(s), s.data(), true, ref_is_max, ref, amin, top_db);
}

}  // namespace vemio::features

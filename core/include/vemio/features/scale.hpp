// Min-max scaling to [0, 1] along one axis of a row-major matrix.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

namespace vemio::features {

// axis 0 scales every column over its rows, axis 1 every row over its columns:
// x * s + (0 - min * s) with s = 1 / (max - min), where a range below 10 machine epsilons counts
// as 1 (so a constant line maps to zeros). NaN values are ignored when finding the extremes
// and stay NaN. Computed in T, the input's own precision.
template <typename T>
void minmax_scale(std::span<T> x, size_t rows, size_t cols, int axis) {
  const bool by_column = axis == 0;
  const size_t lines = by_column ? cols : rows, len = by_column ? rows : cols;
  const size_t stride = by_column ? cols : 1, line_step = by_column ? 1 : cols;
  for (size_t l = 0; l < lines; ++l) {
    T* p = x.data() + l * line_step;
    T lo = std::numeric_limits<T>::quiet_NaN(), hi = lo;
    for (size_t i = 0; i < len; ++i) {
      T v = p[i * stride];
      if (std::isnan(v)) continue;
      if (std::isnan(lo) || v < lo) lo = v;
      if (std::isnan(hi) || v > hi) hi = v;
    }
    T range = hi - lo;
    if (range < T(10) * std::numeric_limits<T>::epsilon()) range = T(1);
    const T s = T(1) / range;
    const T offset = T(0) - lo * s;
    for (size_t i = 0; i < len; ++i) {
      T v = p[i * stride] * s;
      p[i * stride] = v + offset;
    }
  }
}

}  // namespace vemio::features

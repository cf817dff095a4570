// Classical single-channel enhancement: MCRA noise estimate, SNR-dependent power subtraction
// with a spectral floor, and a Wiener-type gain with SNR-dependent over-suppression, on
// 512-sample Hamming frames with 50 % overlap.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vemio::enhance {

inline constexpr std::size_t kTradFrame = 512;  // frame and transform length
inline constexpr std::size_t kTradHop = 256;    // hop (and overlap) in samples

// Output length for `n` input samples: n rounded down to a multiple of the hop.
inline std::size_t trad_output_length(std::size_t n) { return n / kTradHop * kTradHop; }

// Enhance `y` into `out` (trad_output_length(y.size()) samples). The last hop of the output
// is never written by a frame and is set to zero. Frames where both the spectrum and the
// noise estimate vanish yield NaN samples (0/0), as the algorithm defines; nothing throws
// for any sample values. Thread-safe: each call keeps its own state.
void trad_enhance(std::span<const double> y, std::span<double> out);
std::vector<double> trad_enhance(std::span<const double> y);

}  // namespace vemio::enhance

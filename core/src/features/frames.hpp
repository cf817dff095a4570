// Framing machinery shared by the feature sources (not part of the public headers).
#pragma once

#include <complex>
#include <functional>
#include <span>

#include "vemio/features/spectral.hpp"

namespace vemio::features::detail {

// Runs body(begin, end) over [0, n) split into contiguous chunks on up to four threads (one
// when the work is small). The first exception thrown by any chunk is rethrown.
void parallel_for(int n, int grain, const std::function<void(int, int)>& body);

// Calls fn(t, spectrum) for every centred, windowed frame t of y (frames of them in all, as
// frame_count gives). Calls for different frames may run concurrently on different threads;
// calls on one thread come in increasing t.
void for_each_spectrum(Samples y, const StftParams& p, int frames,
                       const std::function<void(int, std::span<const std::complex<double>>)>& fn);

// out[k] = |X[k]| ** power for k < n (power 1 and 2 take the fast paths).
void spectrum_power(const std::complex<double>* X, double* out, int n, double power);

// The mel filter bank over bins at the given frequencies (Hz), and the checks of its arguments.
MelBank mel_bank_over(const std::vector<double>& bin_freqs, int n_mels, double fmin, double fmax);
void check_mel_arguments(double sr, int n_fft, int n_mels, double fmin, double fmax);

}  // namespace vemio::features::detail

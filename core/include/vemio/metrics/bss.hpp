// Signal-to-distortion ratios of an estimate against its reference.
//
// Both functions cut the longer signal to the length of the shorter, keep no state between
// calls (safe on any number of threads) and throw vemio::Error, naming the argument, for empty
// input, non-finite samples and an all-zero reference or estimate.
#pragma once

#include <span>

namespace vemio::metrics {

// Signal-to-distortion ratio in dB of the source-separation evaluation: the estimate is
// projected on the reference and its 511 delayed copies (a 512-tap time-invariant distortion
// filter, fitted by least squares); the ratio is the energy of that projection over the energy
// of what remains of the estimate. +inf when nothing remains.
double sdr(std::span<const double> reference, std::span<const double> estimate);

// Scale-invariant SDR in dB: alpha = <s, e> / <s, s>, 10 log10(|alpha s|^2 / |alpha s - e|^2),
// with no mean removal. +inf when the estimate is an exact multiple of the reference.
double si_sdr(std::span<const double> reference, std::span<const double> estimate);

}  // namespace vemio::metrics

// Discrete wavelet transforms with periodization, and the wavelet low-pass filter built on
// them (soft thresholding of every detail band at a fraction of its largest coefficient).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemio::enhance {

// An analysis/synthesis filter bank; the four filters have the same length.
struct WaveletFilters {
  std::string name;
  std::vector<double> dec_lo, dec_hi, rec_lo, rec_hi;
  std::size_t length() const { return dec_lo.size(); }
};

// A built-in discrete wavelet by name (haar, dbN, symN, coifN, biorX.Y, rbioX.Y, dmey; case
// does not matter), or nothing for an unknown name.
std::optional<WaveletFilters> find_wavelet(std::string_view name);
std::vector<std::string> wavelet_names();

// Largest useful decomposition level: floor(log2(n / (filter_length - 1))), 0 when the signal
// is shorter than filter_length - 1.
int dwt_max_level(std::size_t n, std::size_t filter_length);

// One analysis step with periodization: an odd-length input is extended by its last sample;
// `approx` and `detail` receive ceil(n / 2) coefficients each.
void dwt_per(std::span<const double> x, const WaveletFilters& w, std::vector<double>& approx,
             std::vector<double>& detail);
// One synthesis step: 2 * approx.size() samples (approx and detail of equal length).
void idwt_per(std::span<const double> approx, std::span<const double> detail, const WaveletFilters& w,
              std::vector<double>& out);

// Multilevel decomposition at the maximum level: [approximation, coarsest details, ...,
// finest details]; a signal too short for one level gives the signal itself as the only entry.
std::vector<std::vector<double>> wavedec_per(std::span<const double> x, const WaveletFilters& w);
// Reconstruction; a longer approximation is cut to the length of the next detail band. The
// result has waverec_length(coeffs) samples: twice the finest detail band (or the single entry).
std::size_t waverec_length(const std::vector<std::vector<double>>& coeffs);
std::vector<double> waverec_per(const std::vector<std::vector<double>>& coeffs, const WaveletFilters& w);
void waverec_per(const std::vector<std::vector<double>>& coeffs, const WaveletFilters& w, std::span<double> out);

// sign(x) * max(|x| - t, 0) in place; NaN stays NaN.
void soft_threshold(std::span<double> band, double t);
// Largest value ignoring NaN; NaN when every value is NaN or the band is empty.
double nan_max(std::span<const double> band);

// Decompose and soft-threshold every detail band at thres * nan_max(band).
std::vector<std::vector<double>> wavelet_shrink(std::span<const double> y, double thres, const WaveletFilters& w);
// wavelet_shrink, then reconstruct.
std::vector<double> wavelet_low_pass_filter(std::span<const double> y, double thres, const WaveletFilters& w);

}  // namespace vemio::enhance

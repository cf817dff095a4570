// Frame-based objective quality measures of speech enhancement: segmental SNR, frequency-weighted
// segmental SNR, log-likelihood ratio, weighted spectral slope, LPC cepstrum distance, and the
// composite ratings of signal distortion (CSIG), background intrusiveness (CBAK) and overall
// quality (COVL) that combine them with PESQ by linear regression.
//
// All measures analyse 30 ms Hann frames every 7.5 ms (75 % overlap) of the clean signal and of
// the degraded one. Inputs are mono float64 samples at `rate` Hz (8000 to 48000); a pair of
// different lengths is cut to the shorter. Every function is self-contained and thread-safe.
// A pair that cannot be scored throws vemio::Error with a sentence naming the argument: empty
// or too short input (less than one frame and one hop), non-finite samples, a silent (all-zero)
// clean signal, an unsupported rate.
#pragma once

#include <span>

namespace vemio::metrics {

// Mean over frames of the per-frame SNR in dB, each limited to [-10, 35]; the last frame is
// left out.
double ssnr(std::span<const double> clean, std::span<const double> degraded, int rate);

// Frequency-weighted segmental SNR in dB over 25 critical bands of the magnitude spectra
// (normalised per frame), band weights the clean band magnitude to the power 0.2; per-frame
// values limited to [-10, 35].
double fwsnrseg(std::span<const double> clean, std::span<const double> degraded, int rate);

// Log-likelihood ratio of the LPC models (order 10 below 10 kHz, 16 above), each frame limited
// to 2, mean of the best 95 % of frames.
double llr(std::span<const double> clean, std::span<const double> degraded, int rate);

// The same without the per-frame limit: the variant the composite regression was fitted on.
double llr_unclipped(std::span<const double> clean, std::span<const double> degraded, int rate);

// Weighted spectral slope distance over 25 critical bands, mean of the best 95 % of frames.
double wss(std::span<const double> clean, std::span<const double> degraded, int rate);

// Distance in dB between the LPC cepstra (same orders as llr), each frame limited to 10, mean
// of the best 95 % of frames.
double cepstral_distance(std::span<const double> clean, std::span<const double> degraded, int rate);

struct Composite {
  double csig, cbak, covl;
};

// CSIG, CBAK and COVL, each limited to [1, 5]. The PESQ term is vemio::pesq: at 8000 Hz the raw
// narrow-band score, at 16000 Hz the wide-band MOS-LQO (other rates throw).
Composite composite(std::span<const double> clean, std::span<const double> degraded, int rate);

// The regression alone, for callers that already hold the four measures.
Composite composite_from(double pesq_value, double llr_unclipped, double wss, double ssnr);

}  // namespace vemio::metrics

// Geometry of the audio figures: waveform envelopes and the cell edges of spectrogram meshes.
#pragma once

#include <span>
#include <vector>

namespace vemio::features {

// The waveform reduced for drawing: the peak |y| of consecutive blocks of `hop` samples,
// at times i * hop / sr. Signals longer than max_points are reduced to at most max_sr blocks
// per second; shorter ones keep every sample (hop 1). Drawn from -peak to +peak.
struct Envelope {
  int hop = 1;
  std::vector<double> times;
  std::vector<double> peak;
};
Envelope waveform_envelope(std::span<const double> y, int sr, long max_points = 50000, int max_sr = 1000);

// n + 1 cell edges for n frames: i * hop / sr seconds.
std::vector<double> time_edges(int n, double sr, int hop);
// n + 1 cell edges for the n bins of an FFT of 2 (n - 1) points: bin centres shifted down by
// half a bin, the first clipped at 0, the last edge at sr / 2.
std::vector<double> fft_hz_edges(int n, double sr);
// n + 1 cell edges for n mel bands between fmin and fmax: mel centres shifted down by half
// the distance to the previous one, clipped at 0, the last edge at fmax.
std::vector<double> mel_hz_edges(int n, double fmin, double fmax);

}  // namespace vemio::features

// Mel power spectrograms computed frame by frame on the calling thread, for callers that
// already run one signal per worker (the batch scorers): no threads are started here.
#pragma once

#include <memory>
#include <vector>

#include "vemio/features/spectral.hpp"

namespace vemio::features {

// Mel filters over the bin frequencies k sr / n_fft of an n_fft-point transform. For an even
// n_fft these are the filters of mel_filters; for an odd one the top bin sits half a bin below
// sr / 2, and the filters follow the bins where they really are.
MelBank mel_filters_at_bins(double sr, int n_fft, int n_mels, double fmin, double fmax);

// Mel power spectrogram with the framing of stft (centred frames, zero padding, periodic
// window) through the filters of mel_filters_at_bins. One object serves one thread; it keeps
// its transform plan and buffers between calls.
class MelFrames {
 public:
  MelFrames(double sr, const StftParams& p, int n_mels, double fmin, double fmax);
  ~MelFrames();
  MelFrames(MelFrames&&) noexcept;
  MelFrames& operator=(MelFrames&&) noexcept;

  int n_mels() const { return bank_.n_mels; }
  // Frames of a signal of `length` samples (frame_count).
  int frames(size_t length) const { return frame_count(length, p_); }
  // Writes frames(y.size()) x n_mels() band powers, frame-major, to out. The samples are taken
  // as they are (no finiteness check: the caller checks its signal once).
  void power(Samples y, double* out);

 private:
  struct Plan;
  StftParams p_;
  MelBank bank_;
  std::vector<double> window_;
  std::unique_ptr<Plan> plan_;
};

}  // namespace vemio::features

// Audio file decoding, resampling and 16-bit WAV writing. Every function is thread-safe and
// keeps no global state: each call opens, uses and closes its own handles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "vemio/util/error.hpp"

namespace vemio::audio {

// A file could not be opened, decoded or written. what() names the file and the reason.
using AudioError = vemio::FileError;

struct Info {
  int64_t frames = 0;
  int rate = 0;
  int channels = 0;
};

// Header only: frames, rate and channels without decoding the samples.
Info probe(const std::filesystem::path& file);

// Samples in [-1, 1] (integer formats are scaled by 2^-(bits-1)). With mono, channels are
// averaged into one row; otherwise `samples` is channel-major: channels rows of `frames`.
struct Decoded {
  std::vector<float> samples;
  int64_t frames = 0;
  int rate = 0;
  int channels = 0;
};

// A WAV file's samples in the type they are stored in, the way researchers' scoring scripts
// read them: 16-bit PCM as int16, 8-bit as uint8 (0..255), 24- and 32-bit PCM as int32
// (left-justified), IEEE float as float32 or float64; interleaved frames. Only WAV containers
// (RIFF, WAVE_FORMAT_EXTENSIBLE, RF64) with those encodings; anything else throws AudioError.
struct Stored {
  enum class Type { uint8, int16, int32, float32, float64 };
  Type type = Type::int16;
  int rate = 0;
  int channels = 0;
  int64_t frames = 0;
  std::vector<unsigned char> bytes;  // frames * channels values of `type`
};
Stored read_stored(const std::filesystem::path& file);

// target_rate <= 0 keeps the file's own rate.
Decoded decode(const std::filesystem::path& file, int target_rate = 0, bool mono = true);

// decode(file, 0, true) writing the samples into memory the caller provides: alloc(n) is
// called once with the number of samples and must return room for them. Returns the number
// of samples; `rate` receives the file's rate. Saves a copy when loading many files.
int64_t decode_mono_into(const std::filesystem::path& file, const std::function<float*(size_t)>& alloc, int& rate);

// Length in samples of `frames` resampled from in_rate to out_rate: ceil(frames * out / in).
int64_t resampled_length(int64_t frames, int64_t in_rate, int64_t out_rate);

// Band-limited resampling of one channel (the soxr high-quality preset); the result has
// exactly resampled_length(x.size(), in_rate, out_rate) samples.
std::vector<float> resample(std::span<const float> x, int in_rate, int out_rate);
std::vector<double> resample(std::span<const double> x, int in_rate, int out_rate);

// Interleaved frames of `channels` channels, each channel resampled on its own; the result is
// interleaved again, resampled_length(frames, in_rate, out_rate) frames.
std::vector<float> resample_interleaved(std::span<const float> x, int channels, int in_rate, int out_rate);

// Floating-point samples as 16-bit PCM. With `scale` (waves in [-1, 1]) as float_to_pcm16
// does; without, each value is truncated toward zero and saturated. NaN becomes 0.
std::vector<int16_t> pcm16_from_floats(std::span<const double> x, bool scale);

// The most channels a WAV file may hold (what libsndfile reads back).
inline constexpr int kMaxWavChannels = 1024;

// Writes interleaved 16-bit PCM as a RIFF/WAVE file (format code 1, 16-byte fmt chunk).
// Channel counts outside 1..kMaxWavChannels, and rates whose byte rate would overflow the
// header, throw std::invalid_argument.
// The data goes to a temporary file in the target folder (one without a name where the file
// system allows) which is then put in place whole, so an interrupted write never leaves a
// truncated file under the final name.
void write_wav16(const std::filesystem::path& file, std::span<const int16_t> interleaved, int rate, int channels);

// float sample in [-1, 1] to 16 bits: scale by 32767, saturate, truncate toward zero.
// NaN becomes 0. Selects instead of branches, inline: loops over it vectorise.
inline int16_t float_to_pcm16(double v) {
  const double s = v * 32767.0;
  double c = s >= 32767.0 ? 32767.0 : s;
  c = c <= -32768.0 ? -32768.0 : c;
  c = v == v ? c : 0.0;  // NaN fails both comparisons above
  return static_cast<int16_t>(static_cast<int32_t>(c));
}

// Version strings of the native libraries, for test and benchmark headers.
std::string sndfile_version();
std::string soxr_version();

}  // namespace vemio::audio

#include "vemio/audio/audio.hpp"

#include <sndfile.h>
#include <soxr.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

namespace vemio::audio {
namespace fs = std::filesystem;

AudioError::AudioError(const fs::path& file, const std::string& reason)
    : std::runtime_error(file.string() + ": " + reason), file_(file) {}

namespace {

// RAII holder of one libsndfile handle.
struct SndFile {
  SNDFILE* h = nullptr;
  SF_INFO info{};
  explicit SndFile(const fs::path& file) {
    std::error_code ec;
    if (fs::is_directory(file, ec)) throw AudioError(file, "is a folder, not an audio file");
    h = sf_open(file.c_str(), SFM_READ, &info);
    if (!h) throw AudioError(file, sf_strerror(nullptr));
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0) {
      sf_close(h);
      h = nullptr;
      throw AudioError(file, "invalid header (channels, rate or length)");
    }
  }
  ~SndFile() {
    if (h) sf_close(h);
  }
  SndFile(const SndFile&) = delete;
  SndFile& operator=(const SndFile&) = delete;
};

template <typename T>
std::vector<T> resample_impl(std::span<const T> x, int in_rate, int out_rate, soxr_datatype_t type) {
  if (in_rate <= 0 || out_rate <= 0) throw std::invalid_argument("sampling rates must be positive");
  const int64_t n_out = resampled_length(static_cast<int64_t>(x.size()), in_rate, out_rate);
  std::vector<T> out(static_cast<size_t>(n_out), T(0));
  if (x.empty() || n_out == 0) return out;
  if (in_rate == out_rate) {
    std::copy(x.begin(), x.end(), out.begin());
    return out;
  }
  soxr_io_spec_t io = soxr_io_spec(type, type);
  soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
  soxr_runtime_spec_t rt = soxr_runtime_spec(1);  // the caller owns the threads
  size_t done = 0;
  soxr_error_t err = soxr_oneshot(in_rate, out_rate, 1, x.data(), x.size(), nullptr, out.data(),
                                  out.size(), &done, &io, &q, &rt);
  if (err) throw std::runtime_error(std::string("resampling failed: ") + err);
  // soxr may deliver a sample fewer than the ceiling; the rest stays zero.
  return out;
}

}  // namespace

Info probe(const fs::path& file) {
  SndFile f(file);
  return Info{f.info.frames, f.info.samplerate, f.info.channels};
}

int64_t resampled_length(int64_t frames, int64_t in_rate, int64_t out_rate) {
  if (in_rate <= 0 || out_rate <= 0) throw std::invalid_argument("sampling rates must be positive");
  if (frames <= 0) return 0;
  if (in_rate == out_rate) return frames;
  // ceil(frames * out / in) without floating-point error
  const __int128 num = static_cast<__int128>(frames) * out_rate;
  return static_cast<int64_t>((num + in_rate - 1) / in_rate);
}

std::vector<float> resample(std::span<const float> x, int in_rate, int out_rate) {
  return resample_impl<float>(x, in_rate, out_rate, SOXR_FLOAT32_I);
}

std::vector<double> resample(std::span<const double> x, int in_rate, int out_rate) {
  return resample_impl<double>(x, in_rate, out_rate, SOXR_FLOAT64_I);
}

Decoded decode(const fs::path& file, int target_rate, bool mono) {
  SndFile f(file);
  const int ch = f.info.channels;
  const int64_t frames = f.info.frames;
  // A header may claim more frames than the file holds: reserve no more than the file's size
  // allows (a sample takes at least one bit even compressed) and let the reads decide.
  std::error_code ec;
  const auto bytes = fs::file_size(file, ec);
  uint64_t want = static_cast<uint64_t>(frames) * static_cast<uint64_t>(ch);
  if (!ec) want = std::min<uint64_t>(want, bytes * 8 + (1u << 20));

  std::vector<float> inter;
  inter.reserve(static_cast<size_t>(want));
  std::vector<float> block(static_cast<size_t>(4096) * static_cast<size_t>(ch));
  for (;;) {
    sf_count_t got = sf_readf_float(f.h, block.data(), 4096);
    if (got <= 0) break;
    inter.insert(inter.end(), block.begin(), block.begin() + got * ch);
  }
  if (sf_error(f.h) != SF_ERR_NO_ERROR) throw AudioError(file, sf_strerror(f.h));
  const int64_t n = static_cast<int64_t>(inter.size()) / ch;

  Decoded d;
  d.rate = f.info.samplerate;
  std::vector<std::vector<float>> rows;
  if (ch == 1) {
    rows.push_back(std::move(inter));
  } else if (mono) {
    std::vector<float> m(static_cast<size_t>(n));
    const float inv = static_cast<float>(ch);
    for (int64_t i = 0; i < n; ++i) {
      float s = 0.0f;
      for (int c = 0; c < ch; ++c) s += inter[static_cast<size_t>(i * ch + c)];
      m[static_cast<size_t>(i)] = s / inv;
    }
    rows.push_back(std::move(m));
  } else {
    rows.assign(static_cast<size_t>(ch), std::vector<float>(static_cast<size_t>(n)));
    for (int64_t i = 0; i < n; ++i)
      for (int c = 0; c < ch; ++c) rows[static_cast<size_t>(c)][static_cast<size_t>(i)] = inter[static_cast<size_t>(i * ch + c)];
  }
  if (target_rate > 0 && target_rate != d.rate) {
    for (auto& r : rows) r = resample(std::span<const float>(r), d.rate, target_rate);
    d.rate = target_rate;
  }
  d.channels = static_cast<int>(rows.size());
  d.frames = rows.empty() ? 0 : static_cast<int64_t>(rows[0].size());
  if (rows.size() == 1) {
    d.samples = std::move(rows[0]);
  } else {
    d.samples.reserve(static_cast<size_t>(d.frames) * rows.size());
    for (auto& r : rows) d.samples.insert(d.samples.end(), r.begin(), r.end());
  }
  return d;
}

int16_t float_to_pcm16(double v) {
  if (std::isnan(v)) return 0;
  double s = v * 32767.0;
  if (s >= 32767.0) return 32767;
  if (s <= -32768.0) return -32768;
  return static_cast<int16_t>(s);  // truncation toward zero
}

namespace {
void put_u32(std::string& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}
void put_u16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v & 0xff));
  b.push_back(static_cast<char>(v >> 8));
}
}  // namespace

void write_wav16(const fs::path& file, std::span<const int16_t> data, int rate, int channels) {
  if (channels <= 0) throw AudioError(file, "channel count must be positive");
  if (rate <= 0) throw AudioError(file, "sampling rate must be positive");
  const uint64_t data_bytes = static_cast<uint64_t>(data.size()) * 2;
  if (data_bytes + 36 > 0xFFFFFFFFull) throw AudioError(file, "too much data for a WAV file");
  std::string hdr;
  hdr.reserve(44);
  hdr += "RIFF";
  put_u32(hdr, static_cast<uint32_t>(36 + data_bytes));
  hdr += "WAVEfmt ";
  put_u32(hdr, 16);
  put_u16(hdr, 1);
  put_u16(hdr, static_cast<uint16_t>(channels));
  put_u32(hdr, static_cast<uint32_t>(rate));
  put_u32(hdr, static_cast<uint32_t>(rate) * static_cast<uint32_t>(channels) * 2);
  put_u16(hdr, static_cast<uint16_t>(channels * 2));
  put_u16(hdr, 16);
  hdr += "data";
  put_u32(hdr, static_cast<uint32_t>(data_bytes));

  // temporary name in the same folder, unique per process and thread
  static std::atomic<uint64_t> counter{0};
  const auto tag = std::to_string(::getpid()) + "-" +
                   std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()) % 100000) +
                   "-" + std::to_string(counter++);
  fs::path tmp = file;
  tmp += ".tmp-" + tag;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) throw AudioError(file, std::string("cannot open for writing: ") + std::strerror(errno));
    out.write(hdr.data(), static_cast<std::streamsize>(hdr.size()));
    if constexpr (std::endian::native == std::endian::little) {
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data_bytes));
    } else {
      std::string buf;
      for (int16_t s : data) put_u16(buf, static_cast<uint16_t>(s));
      out.write(buf.data(), static_cast<std::streamsize>(buf.size()));
    }
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      fs::remove(tmp, ec);
      throw AudioError(file, "write failed (disk full?)");
    }
  }
  std::error_code ec;
  fs::rename(tmp, file, ec);
  if (ec) {
    std::error_code ec2;
    fs::remove(tmp, ec2);
    throw AudioError(file, "cannot rename into place: " + ec.message());
  }
}

std::string sndfile_version() { return sf_version_string(); }
std::string soxr_version() { return ::soxr_version(); }

}  // namespace vemio::audio

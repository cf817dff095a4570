#include "vemio/audio/audio.hpp"

#include <sndfile.h>
#include <soxr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
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

// Fast path for the commonest input, a plain 16-bit PCM RIFF/WAVE file: parse the chunks
// ourselves and convert with the same 1/32768 scale libsndfile uses (bit-identical result),
// without libsndfile's per-block buffering. Anything unusual returns false and goes the
// general way.
// `out(count, channels)` returns where the count interleaved samples go.
template <typename Out>
bool read_pcm16_wav(const fs::path& file, Out&& out, int& rate, int& channels) {
  if constexpr (std::endian::native != std::endian::little) return false;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 44) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  auto read_at = [fd](void* dst, size_t n, uint64_t off) {
    auto* p = static_cast<char*>(dst);
    while (n > 0) {
      const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(off));
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
      off += static_cast<uint64_t>(got);
    }
    return true;
  };
  auto u32 = [](const unsigned char* q) {
    return static_cast<uint32_t>(q[0]) | static_cast<uint32_t>(q[1]) << 8 |
           static_cast<uint32_t>(q[2]) << 16 | static_cast<uint32_t>(q[3]) << 24;
  };
  auto u16 = [](const unsigned char* q) { return static_cast<uint16_t>(q[0] | q[1] << 8); };
  unsigned char h[12];
  if (!read_at(h, 12, 0) || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0)
    return false;
  uint64_t pos = 12;
  bool have_fmt = false;
  int ch = 0, sr = 0;
  for (int guard = 0; guard < 64 && pos + 8 <= size; ++guard) {
    unsigned char c[8];
    if (!read_at(c, 8, pos)) return false;
    const uint32_t len = u32(c + 4);
    pos += 8;
    if (std::memcmp(c, "fmt ", 4) == 0) {
      unsigned char fm[64];
      if (len < 16 || len > 64 || pos + len > size || !read_at(fm, len, pos)) return false;
      uint16_t tag = u16(fm);
      ch = u16(fm + 2);
      sr = static_cast<int>(u32(fm + 4));
      const uint16_t align = u16(fm + 12), bits = u16(fm + 14);
      if (tag == 0xFFFE) {  // extensible: the sub-format GUID starts with the format code
        if (len < 40 || u16(fm + 24) != 1) return false;
        tag = 1;
      }
      if (tag != 1 || bits != 16 || ch < 1 || sr <= 0 || align != 2 * ch) return false;
      have_fmt = true;
    } else if (std::memcmp(c, "data", 4) == 0) {
      if (!have_fmt || len == 0 || len == 0xFFFFFFFFu || pos + len > size) return false;
      const uint64_t count = (len / (2u * static_cast<uint64_t>(ch))) * static_cast<uint64_t>(ch);
      // the raw samples land in a per-thread buffer that stays warm between files
      thread_local std::vector<int16_t> raw;
      raw.resize(count);
      if (!read_at(raw.data(), count * 2, pos)) return false;
      float* dst = out(static_cast<size_t>(count), ch);
      constexpr float scale = 1.0f / 32768.0f;
      for (size_t i = 0; i < count; ++i) dst[i] = scale * static_cast<float>(raw[i]);
      if (raw.capacity() > (size_t(8) << 20)) std::vector<int16_t>().swap(raw);
      rate = sr;
      channels = ch;
      return true;
    }
    pos += len + (len & 1u);
  }
  return false;
}

// Mean of the channels of `frames` interleaved frames, summed in float in channel order.
void mix_to_mono(const float* inter, size_t frames, int ch, float* dst) {
  const float inv = static_cast<float>(ch);
  for (size_t i = 0; i < frames; ++i) {
    float acc = 0.0f;
    for (int c = 0; c < ch; ++c) acc += inter[i * static_cast<size_t>(ch) + static_cast<size_t>(c)];
    dst[i] = acc / inv;
  }
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
  std::vector<float> inter;
  int ch = 0, file_rate = 0;
  auto to_inter = [&inter](size_t count, int) {
    inter.resize(count);
    return inter.data();
  };
  if (!read_pcm16_wav(file, to_inter, file_rate, ch)) {
    inter.clear();
    SndFile f(file);
    ch = f.info.channels;
    file_rate = f.info.samplerate;
    const int64_t frames = f.info.frames;
    // A header may claim more frames than the file holds: reserve no more than the file's
    // size allows (a sample takes at least one bit even compressed) and let the reads decide.
    std::error_code ec;
    const auto bytes = fs::file_size(file, ec);
    uint64_t want = static_cast<uint64_t>(frames) * static_cast<uint64_t>(ch);
    if (!ec) want = std::min<uint64_t>(want, bytes * 8 + (1u << 20));
    inter.reserve(static_cast<size_t>(want));
    std::vector<float> block(static_cast<size_t>(4096) * static_cast<size_t>(ch));
    for (;;) {
      sf_count_t got = sf_readf_float(f.h, block.data(), 4096);
      if (got <= 0) break;
      inter.insert(inter.end(), block.begin(), block.begin() + got * ch);
    }
    if (sf_error(f.h) != SF_ERR_NO_ERROR) throw AudioError(file, sf_strerror(f.h));
  }
  const int64_t n = static_cast<int64_t>(inter.size()) / ch;

  Decoded d;
  d.rate = file_rate;
  std::vector<std::vector<float>> rows;
  if (ch == 1) {
    rows.push_back(std::move(inter));
  } else if (mono) {
    std::vector<float> m(static_cast<size_t>(n));
    mix_to_mono(inter.data(), static_cast<size_t>(n), ch, m.data());
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

int64_t decode_mono_into(const fs::path& file, const std::function<float*(size_t)>& alloc, int& rate) {
  // 16-bit files convert straight into the caller's memory (several channels through a
  // per-thread scratch buffer and the same channel mean as decode()).
  thread_local std::vector<float> scratch;
  size_t count = 0;
  int ch = 0, r = 0;
  auto out = [&](size_t n, int c) -> float* {
    count = n;
    if (c == 1) return alloc(n);
    scratch.resize(n);
    return scratch.data();
  };
  if (read_pcm16_wav(file, out, r, ch)) {
    rate = r;
    if (ch == 1) return static_cast<int64_t>(count);
    const size_t frames = count / static_cast<size_t>(ch);
    mix_to_mono(scratch.data(), frames, ch, alloc(frames));
    if (scratch.capacity() > (size_t(8) << 20)) std::vector<float>().swap(scratch);
    return static_cast<int64_t>(frames);
  }
  Decoded d = decode(file, 0, true);
  float* dst = alloc(d.samples.size());
  if (!d.samples.empty()) std::memcpy(dst, d.samples.data(), d.samples.size() * sizeof(float));
  rate = d.rate;
  return d.frames;
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

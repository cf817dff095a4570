#include "vemio/audio/audio.hpp"

#include "vemio/util/atomic_file.hpp"

#include <sndfile.h>
#include <soxr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

namespace vemio::audio {
namespace fs = std::filesystem;

namespace {

// Sampling rates a real recording can have. A header claiming 1 Hz would make a resampler
// to 16 kHz produce 16,000 samples per stored one (a 32 KB file becoming 2 GB).
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 768000;

// One audio file open for reading through libsndfile. Only regular files are read: a FIFO or a
// device named *.wav would block the open or never end, so the file is opened without blocking
// and refused unless fstat says it is a regular file. The header must be plausible.
struct SndFile {
  SNDFILE* h = nullptr;
  SF_INFO info{};
  int fd = -1;
  uint64_t size = 0;
  // In memory mode a file of up to kMemoryBytes is read with one system call into this
  // thread's buffer and libsndfile parses that copy (through its virtual I/O): the same bytes,
  // so the same verdict and layout, without the dozens of small reads and seeks its header
  // parser makes on a descriptor. Header-only callers (probe) keep the descriptor.
  explicit SndFile(const fs::path& file, bool in_memory = false) {
    // refused from stat() first, so that a device is not even opened; then checked again on
    // the descriptor, so that a name swapped for a FIFO in between cannot block either
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) throw AudioError(file, std::strerror(errno), errno);
    check_kind(file, st.st_mode);
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw AudioError(file, std::strerror(errno), errno);
    if (::fstat(fd, &st) != 0) fail(file, std::strerror(errno), errno);
    try {
      check_kind(file, st.st_mode);
    } catch (...) {
      release();
      throw;
    }
    size = static_cast<uint64_t>(st.st_size);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (in_memory && size <= kMemoryBytes && !tl_buffer_busy && load_into_buffer()) {
      tl_buffer_busy = true;
      owns_buffer = true;
      mem = tl_buffer.data();
      SF_VIRTUAL_IO vio{&v_length, &v_seek, &v_read, &v_write, &v_tell};
      h = sf_open_virtual(&vio, SFM_READ, &info, this);
    } else {
      h = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    }
    if (!h) fail(file, sf_strerror(nullptr));
    if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0)
      fail(file, "invalid header (channels, rate or length)");
    if (info.samplerate < kMinRate || info.samplerate > kMaxRate)
      fail(file, "implausible sampling rate of " + std::to_string(info.samplerate) + " Hz in the header");
  }
  ~SndFile() { release(); }
  SndFile(const SndFile&) = delete;
  SndFile& operator=(const SndFile&) = delete;

  // The whole file when it was read into memory (size bytes), else null; `pos` is
  // libsndfile's cursor in it.
  const unsigned char* mem = nullptr;
  sf_count_t pos = 0;

 private:
  static constexpr uint64_t kMemoryBytes = uint64_t(8) << 20;
  // one buffer per thread, kept warm between files; a second file open on the same thread
  // at the same time reads through its descriptor instead
  static thread_local std::vector<unsigned char> tl_buffer;
  static thread_local bool tl_buffer_busy;
  bool owns_buffer = false;

  bool load_into_buffer() {
    tl_buffer.resize(static_cast<size_t>(size));
    size_t done = 0;
    while (done < size) {
      const ssize_t got =
          ::pread(fd, tl_buffer.data() + done, static_cast<size_t>(size) - done, static_cast<off_t>(done));
      if (got <= 0) return false;  // changed under us or unreadable: the descriptor path reports it
      done += static_cast<size_t>(got);
    }
    return true;
  }
  static SndFile& self(void* ud) { return *static_cast<SndFile*>(ud); }
  static sf_count_t v_length(void* ud) { return static_cast<sf_count_t>(self(ud).size); }
  static sf_count_t v_seek(sf_count_t offset, int whence, void* ud) {
    SndFile& f = self(ud);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f.pos : static_cast<sf_count_t>(f.size);
    if (base + offset < 0) return -1;
    f.pos = base + offset;
    return f.pos;
  }
  static sf_count_t v_read(void* dst, sf_count_t count, void* ud) {
    SndFile& f = self(ud);
    const sf_count_t total = static_cast<sf_count_t>(f.size);
    if (count <= 0 || f.pos >= total) return 0;
    const sf_count_t n = std::min(count, total - f.pos);
    std::memcpy(dst, f.mem + f.pos, static_cast<size_t>(n));
    f.pos += n;
    return n;
  }
  static sf_count_t v_write(const void*, sf_count_t, void*) { return 0; }
  static sf_count_t v_tell(void* ud) { return self(ud).pos; }

  void release() {
    if (h) sf_close(h);
    h = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
    mem = nullptr;
    if (owns_buffer) {
      tl_buffer_busy = false;
      owns_buffer = false;
    }
  }
  [[noreturn]] void fail(const fs::path& file, const std::string& reason, int os_error = 0) {
    release();
    throw AudioError(file, reason, os_error);
  }
  static void check_kind(const fs::path& file, mode_t mode) {
    if (S_ISDIR(mode)) throw AudioError(file, "is a folder, not an audio file", EISDIR);
    if (!S_ISREG(mode)) throw AudioError(file, "is not a regular file", ENOENT, true);
  }
};

thread_local std::vector<unsigned char> SndFile::tl_buffer;
thread_local bool SndFile::tl_buffer_busy = false;

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
  soxr_error_t err =
      soxr_oneshot(in_rate, out_rate, 1, x.data(), x.size(), nullptr, out.data(), out.size(), &done, &io, &q, &rt);
  if (err) throw std::runtime_error(std::string("resampling failed: ") + err);
  // soxr may deliver a sample fewer than the ceiling; the rest stays zero.
  return out;
}

// Fast path for the commonest input, a plain 16-bit PCM RIFF/WAVE file: libsndfile has opened
// and accepted the file (so exactly the files it accepts are read), and only the samples are
// taken directly: the chunks are walked to the data chunk and converted with the same 1/32768
// scale libsndfile uses (bit-identical result), without its per-block buffering. Where the walk
// does not find the layout libsndfile reported (frames, channels), or anything is unusual, it
// returns false and the caller reads through libsndfile.
// `out(count, channels)` returns where the count interleaved samples go.
template <typename Out>
bool read_pcm16_wav(const SndFile& f, Out&& out, int& rate, int& channels) {
  if constexpr (std::endian::native != std::endian::little) return false;
  if (f.info.format != (SF_FORMAT_WAV | SF_FORMAT_PCM_16)) return false;
  const int fd = f.fd;
  const uint64_t size = f.size;
  auto read_at = [fd, &f, size](void* dst, size_t n, uint64_t off) {
    if (f.mem) {
      if (off > size || n > size - off) return false;
      std::memcpy(dst, f.mem + off, n);
      return true;
    }
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
    return static_cast<uint32_t>(q[0]) | static_cast<uint32_t>(q[1]) << 8 | static_cast<uint32_t>(q[2]) << 16 |
           static_cast<uint32_t>(q[3]) << 24;
  };
  auto u16 = [](const unsigned char* q) { return static_cast<uint16_t>(q[0] | q[1] << 8); };
  unsigned char h[12];
  if (size < 44 || !read_at(h, 12, 0) || std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, "WAVE", 4) != 0)
    return false;
  uint64_t pos = 12;
  bool have_fmt = false;
  int ch = 0, sr = 0;
  for (int guard = 0; guard < 64 && pos + 8 <= size; ++guard) {
    unsigned char c[8];
    if (!read_at(c, 8, pos)) return false;
    const uint32_t len = u32(c + 4);
    pos += 8;
    if (len & 1u) return false;  // odd chunk sizes: let libsndfile decide where the next starts
    if (std::memcmp(c, "fmt ", 4) == 0) {
      unsigned char fm[18];
      if (have_fmt || (len != 16 && len != 18) || pos + len > size || !read_at(fm, len, pos)) return false;
      ch = u16(fm + 2);
      sr = static_cast<int>(u32(fm + 4));
      const uint16_t align = u16(fm + 12), bits = u16(fm + 14);
      if (u16(fm) != 1 || bits != 16 || ch != f.info.channels || sr != f.info.samplerate || align != 2 * ch)
        return false;
      have_fmt = true;
    } else if (std::memcmp(c, "data", 4) == 0) {
      if (!have_fmt || len == 0 || len == 0xFFFFFFFFu || pos + len > size) return false;
      const uint64_t frames = len / (2u * static_cast<uint64_t>(ch));
      if (static_cast<int64_t>(frames) != f.info.frames) return false;
      // libsndfile leaves the descriptor at the start of the samples it will read: a file
      // with several data chunks is read where libsndfile reads it, or not here at all
      const uint64_t at = f.mem ? static_cast<uint64_t>(f.pos) : static_cast<uint64_t>(::lseek(fd, 0, SEEK_CUR));
      if (at != pos) return false;
      const uint64_t count = frames * static_cast<uint64_t>(ch);
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
    pos += len;
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

namespace {
// Every frame of an open file read with `read` (one of the sf_readf_* functions) as T values
// into `out` (a vector of T, or of bytes). The buffer is sized from the header, but never
// beyond what the file's size can hold, and grows in blocks past that (compressed formats), so
// a lying header costs neither a huge allocation nor lost samples. Returns the frame count.
template <typename T, typename U, typename Read>
int64_t read_all_as(SndFile& f, const fs::path& file, Read read, std::vector<U>& out) {
  static_assert(sizeof(T) % sizeof(U) == 0);
  const size_t frame_elems = sizeof(T) / sizeof(U) * static_cast<size_t>(f.info.channels);
  const uint64_t plausible = f.size / static_cast<uint64_t>(f.info.channels) + 1;
  const sf_count_t announced =
      f.info.frames > 0 ? static_cast<sf_count_t>(std::min<uint64_t>(static_cast<uint64_t>(f.info.frames), plausible))
                        : 0;
  constexpr sf_count_t kBlock = 1 << 15;
  sf_count_t have = 0, want = announced + 1;  // one more, to see the end
  for (;;) {
    out.resize(static_cast<size_t>(have + want) * frame_elems);
    const sf_count_t got = read(f.h, reinterpret_cast<T*>(out.data()) + have * f.info.channels, want);
    have += got > 0 ? got : 0;
    if (got < want) break;
    want = kBlock;
  }
  out.resize(static_cast<size_t>(have) * frame_elems);
  if (sf_error(f.h) != SF_ERR_NO_ERROR) throw AudioError(file, std::string("is damaged (") + sf_strerror(f.h) + ")");
  return have;
}
}  // namespace

Stored read_stored(const fs::path& file) {
  SndFile f(file);
  const int major = f.info.format & SF_FORMAT_TYPEMASK;
  if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX && major != SF_FORMAT_RF64)
    throw AudioError(file, "is not a WAV file");
  Stored s;
  s.rate = f.info.samplerate;
  s.channels = f.info.channels;
  switch (f.info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: {
      // libsndfile hands 8-bit data out centred and scaled to 16 bits; WAV stores it unsigned
      std::vector<short> wide;
      s.frames = read_all_as<short>(f, file, sf_readf_short, wide);
      s.bytes.resize(wide.size());
      for (size_t i = 0; i < wide.size(); ++i) s.bytes[i] = static_cast<unsigned char>((wide[i] >> 8) + 128);
      s.type = Stored::Type::uint8;
      break;
    }
    case SF_FORMAT_PCM_16:
      s.type = Stored::Type::int16;
      s.frames = read_all_as<short>(f, file, sf_readf_short, s.bytes);
      break;
    case SF_FORMAT_PCM_24:  // integer reads come left-justified in 32 bits
    case SF_FORMAT_PCM_32:
      s.type = Stored::Type::int32;
      s.frames = read_all_as<int>(f, file, sf_readf_int, s.bytes);
      break;
    case SF_FORMAT_FLOAT:
      s.type = Stored::Type::float32;
      s.frames = read_all_as<float>(f, file, sf_readf_float, s.bytes);
      break;
    case SF_FORMAT_DOUBLE:
      s.type = Stored::Type::float64;
      s.frames = read_all_as<double>(f, file, sf_readf_double, s.bytes);
      break;
    default:
      throw AudioError(file, "has a sample encoding other than PCM or IEEE float");
  }
  return s;
}

Decoded decode(const fs::path& file, int target_rate, bool mono) {
  std::vector<float> inter;
  int ch = 0, file_rate = 0;
  auto to_inter = [&inter](size_t count, int) {
    inter.resize(count);
    return inter.data();
  };
  {
    SndFile f(file, true);
    if (!read_pcm16_wav(f, to_inter, file_rate, ch)) {
      ch = f.info.channels;
      file_rate = f.info.samplerate;
      read_all_as<float>(f, file, sf_readf_float, inter);
    }
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
      for (int c = 0; c < ch; ++c)
        rows[static_cast<size_t>(c)][static_cast<size_t>(i)] = inter[static_cast<size_t>(i * ch + c)];
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
  SndFile f(file, true);
  if (read_pcm16_wav(f, out, r, ch)) {
    rate = r;
    if (ch == 1) return static_cast<int64_t>(count);
    const size_t frames = count / static_cast<size_t>(ch);
    mix_to_mono(scratch.data(), frames, ch, alloc(frames));
    if (scratch.capacity() > (size_t(8) << 20)) std::vector<float>().swap(scratch);
    return static_cast<int64_t>(frames);
  }
  std::vector<float> inter;
  read_all_as<float>(f, file, sf_readf_float, inter);
  ch = f.info.channels;
  const size_t frames = inter.size() / static_cast<size_t>(ch);
  float* dst = alloc(frames);
  if (ch == 1) {
    if (frames) std::memcpy(dst, inter.data(), frames * sizeof(float));
  } else {
    mix_to_mono(inter.data(), frames, ch, dst);
  }
  rate = f.info.samplerate;
  return static_cast<int64_t>(frames);
}

std::vector<float> resample_interleaved(std::span<const float> x, int channels, int in_rate, int out_rate) {
  if (channels < 1) throw std::invalid_argument("channel count must be positive");
  const size_t ch = static_cast<size_t>(channels), frames = x.size() / ch;
  const size_t out_frames = static_cast<size_t>(resampled_length(static_cast<int64_t>(frames), in_rate, out_rate));
  std::vector<float> out(out_frames * ch), col(frames);
  for (size_t c = 0; c < ch; ++c) {
    for (size_t i = 0; i < frames; ++i) col[i] = x[i * ch + c];
    const std::vector<float> r = resample(std::span<const float>(col), in_rate, out_rate);
    for (size_t i = 0; i < out_frames; ++i) out[i * ch + c] = r[i];
  }
  return out;
}

std::vector<int16_t> pcm16_from_floats(std::span<const double> x, bool scale) {
  std::vector<int16_t> pcm(x.size());
  const size_t n = x.size();
  if (scale) {
    for (size_t i = 0; i < n; ++i) pcm[i] = float_to_pcm16(x[i]);
  } else {
    for (size_t i = 0; i < n; ++i) {
      const double v = x[i];
      pcm[i] = std::isnan(v) ? 0 : static_cast<int16_t>(std::clamp(std::trunc(v), -32768.0, 32767.0));
    }
  }
  return pcm;
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
  // The header stores the channel count in 16 bits and the byte rate in 32: refuse what would
  // wrap around (65536 channels would be written as 0) instead of writing a lying header.
  if (channels <= 0 || channels > kMaxWavChannels)
    throw std::invalid_argument(file.string() + ": a WAV file holds 1 to " + std::to_string(kMaxWavChannels) +
                                " channels, not " + std::to_string(channels));
  if (rate <= 0) throw std::invalid_argument(file.string() + ": sampling rate must be positive");
  if (static_cast<uint64_t>(rate) * static_cast<uint64_t>(channels) * 2 > 0xFFFFFFFFull)
    throw std::invalid_argument(file.string() + ": " + std::to_string(rate) + " Hz times " + std::to_string(channels) +
                                " channels overflows the header's byte rate");
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

  util::AtomicFile out(file, false);
  if constexpr (std::endian::native == std::endian::little) {
    out.write(hdr.data(), hdr.size(), data.data(), static_cast<size_t>(data_bytes));
  } else {
    out.write(hdr.data(), hdr.size());
    std::string buf;
    for (int16_t s : data) put_u16(buf, static_cast<uint16_t>(s));
    out.write(buf.data(), buf.size());
  }
  out.commit();
}

std::string sndfile_version() { return sf_version_string(); }
std::string soxr_version() { return ::soxr_version(); }

}  // namespace vemio::audio

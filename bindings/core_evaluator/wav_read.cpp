// Native WAV reader of the evaluator (see wav_read.hpp).
#include "core_evaluator/wav_read.hpp"

#include <pybind11/numpy.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace vemio::evaluator {
namespace {

// os_error: a stat() or open() failure other than a missing file, kept as its errno.
enum class Failure { none, not_found, is_directory, not_regular, os_error, bad_file };

// Samples in the stored type, as raw bytes; `dtype` is the numpy type name.
struct Samples {
  int rate = 0;
  int channels = 0;
  int64_t frames = 0;
  const char* dtype = "int16";
  std::vector<unsigned char> bytes;
  Failure failure = Failure::none;
  int error = 0;
  std::string message;
};

struct SndfileCloser {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

// Owns a file descriptor; libsndfile reads through it but never closes it.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int d) : fd(d) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

Failure kind_of(mode_t mode) {
  if (S_ISREG(mode)) return Failure::none;
  return S_ISDIR(mode) ? Failure::is_directory : Failure::not_regular;
}

bool is_wav_container(int format) {
  const int major = format & SF_FORMAT_TYPEMASK;
  return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
}

// Reads every frame with `read` (one of the sf_readf_* functions) into `out` as T values. The
// buffer is sized from the header, but never beyond what the file's size can hold, and grows in
// blocks past that, so a lying header costs neither a huge allocation nor lost samples.
template <typename T, typename Read>
void read_all(SNDFILE* f, const SF_INFO& info, uintmax_t file_size, Read read, std::vector<unsigned char>& out,
              int64_t& frames) {
  const size_t frame_bytes = sizeof(T) * static_cast<size_t>(info.channels);
  const uintmax_t plausible = file_size / static_cast<uintmax_t>(info.channels) + 1;
  const sf_count_t announced =
      info.frames > 0 ? static_cast<sf_count_t>(std::min<uintmax_t>(static_cast<uintmax_t>(info.frames), plausible)) : 0;
  constexpr sf_count_t kBlock = 1 << 15;
  sf_count_t have = 0;
  sf_count_t want = announced + 1;  // one more, to see the end
  for (;;) {
    out.resize(static_cast<size_t>(have + want) * frame_bytes);
    const sf_count_t got = read(f, reinterpret_cast<T*>(out.data()) + have * info.channels, want);
    have += got > 0 ? got : 0;
    if (got < want) break;
    want = kBlock;
  }
  out.resize(static_cast<size_t>(have) * frame_bytes);
  frames = have;
}

// Runs without the GIL: plain C++ only.
//
// Only regular files are read. A FIFO, socket or device named *.wav is refused from its stat()
// without being opened (opening a FIFO for reading waits for a writer, a device may act on the
// open); the file is then opened non-blocking and checked again on the descriptor, so a name
// swapped for a FIFO in between cannot block either.
Samples read_samples(const fs::path& path) {
  Samples s;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    s.error = errno;
    s.failure = s.error == ENOENT || s.error == ENOTDIR ? Failure::not_found : Failure::os_error;
    return s;
  }
  if ((s.failure = kind_of(st.st_mode)) != Failure::none) return s;
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) {
    s.error = errno;
    s.failure = s.error == ENOENT ? Failure::not_found : Failure::os_error;
    return s;
  }
  if ((s.failure = kind_of(st.st_mode)) != Failure::none) return s;
  const int flags = ::fcntl(fd.fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd.fd, F_SETFL, flags & ~O_NONBLOCK);
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> f(sf_open_fd(fd.fd, SFM_READ, &info, SF_FALSE));
  if (!f) {
    s.failure = Failure::bad_file;
    s.message = std::string("cannot be read as a WAV file (") + sf_strerror(nullptr) + ")";
    return s;
  }
  if (!is_wav_container(info.format)) {
    s.failure = Failure::bad_file;
    s.message = "is not a WAV file";
    return s;
  }
  if (info.channels < 1) {
    s.failure = Failure::bad_file;
    s.message = "has no channels";
    return s;
  }
  s.rate = info.samplerate;
  s.channels = info.channels;
  const uintmax_t file_size = static_cast<uintmax_t>(st.st_size);
  switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: {
      // libsndfile hands 8-bit data out centred and scaled to 16 bits; WAV stores it unsigned.
      std::vector<unsigned char> wide;
      read_all<short>(f.get(), info, file_size, sf_readf_short, wide, s.frames);
      const short* v = reinterpret_cast<const short*>(wide.data());
      s.bytes.resize(wide.size() / sizeof(short));
      for (size_t i = 0; i < s.bytes.size(); ++i) s.bytes[i] = static_cast<unsigned char>((v[i] >> 8) + 128);
      s.dtype = "uint8";
      break;
    }
    case SF_FORMAT_PCM_16:
      s.dtype = "int16";
      read_all<short>(f.get(), info, file_size, sf_readf_short, s.bytes, s.frames);
      break;
    case SF_FORMAT_PCM_24:  // integer reads come left-justified in 32 bits
    case SF_FORMAT_PCM_32:
      s.dtype = "int32";
      read_all<int>(f.get(), info, file_size, sf_readf_int, s.bytes, s.frames);
      break;
    case SF_FORMAT_FLOAT:
      s.dtype = "float32";
      read_all<float>(f.get(), info, file_size, sf_readf_float, s.bytes, s.frames);
      break;
    case SF_FORMAT_DOUBLE:
      s.dtype = "float64";
      read_all<double>(f.get(), info, file_size, sf_readf_double, s.bytes, s.frames);
      break;
    default:
      s.failure = Failure::bad_file;
      s.message = "has a sample encoding other than PCM or IEEE float";
      return s;
  }
  if (sf_error(f.get()) != SF_ERR_NO_ERROR) {
    s.failure = Failure::bad_file;
    s.message = std::string("is damaged (") + sf_strerror(f.get()) + ")";
  }
  return s;
}

// Raises `type` (an OSError subclass) as OSError(code, reason, name) builds it.
[[noreturn]] void raise_os_error(PyObject* type, int code, const char* reason, const py::str& name) {
  py::object e = py::reinterpret_borrow<py::object>(type)(code, reason, name);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
  throw py::error_already_set();
}

}  // namespace

py::tuple read_wav(py::handle path) {
  const fs::path p = py_common::to_fs_path(path);
  Samples s;
  {
    py::gil_scoped_release nogil;
    s = read_samples(p);
  }
  // The name as Python shows it: the file system's bytes, undecodable ones as surrogates.
  const py::str shown = py_common::cached("os", "fsdecode")(py::bytes(p.native()));
  switch (s.failure) {
    case Failure::none:
      break;
    case Failure::not_found:
      raise_os_error(PyExc_FileNotFoundError, ENOENT, "No such file or directory", shown);
    case Failure::is_directory:
      raise_os_error(PyExc_IsADirectoryError, EISDIR, "Is a directory", shown);
    case Failure::not_regular:
      // a FIFO, socket or device: nothing to read, as if there were no file
      raise_os_error(PyExc_FileNotFoundError, ENOENT, "Not a regular file", shown);
    case Failure::os_error:  // OSError(errno, ...) picks the subclass, PermissionError and so on
      raise_os_error(PyExc_OSError, s.error, std::strerror(s.error), shown);
    case Failure::bad_file: {
      py::str text = py::str("[vm.] ") + shown + py::str(" " + s.message);
      PyErr_SetObject(PyExc_ValueError, text.ptr());
      throw py::error_already_set();
    }
  }
  py::dtype dt(s.dtype);
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(s.frames)};
  if (s.channels > 1) shape.push_back(s.channels);
  // The array takes over the buffer the samples were read into.
  auto* owner = new std::vector<unsigned char>(std::move(s.bytes));
  py::capsule keep(owner, [](void* v) { delete static_cast<std::vector<unsigned char>*>(v); });
  py::array arr(dt, shape, {}, owner->data(), keep);
  return py::make_tuple(s.rate, arr);
}

}  // namespace vemio::evaluator

// Native WAV reader of the evaluator (see wav_read.hpp).
#include "core_evaluator/wav_read.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "vemio/audio/audio.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;

namespace vemio::evaluator {
namespace {

const char* numpy_type(audio::Stored::Type t) {
  switch (t) {
    case audio::Stored::Type::uint8:
      return "uint8";
    case audio::Stored::Type::int16:
      return "int16";
    case audio::Stored::Type::int32:
      return "int32";
    case audio::Stored::Type::float32:
      return "float32";
    case audio::Stored::Type::float64:
      return "float64";
  }
  return "int16";
}

// Raises `type` (an OSError subclass) as OSError(code, reason, name) builds it.
[[noreturn]] void raise_os_error(PyObject* type, int code, const char* reason, const py::object& name) {
  py::object e = py::reinterpret_borrow<py::object>(type)(code, reason, name);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
  throw py::error_already_set();
}

// The reader's failures as the evaluator reports them: a missing file (a FIFO, socket or
// device counts as one: there is nothing to read), a folder and other refusals of the system as
// the matching OSError, content that is not a readable PCM or float WAV file as ValueError.
[[noreturn]] void raise_read_error(const vemio::FileError& e, const py::object& name) {
  if (e.not_regular()) raise_os_error(PyExc_FileNotFoundError, ENOENT, "Not a regular file", name);
  switch (e.os_error()) {
    case 0:
      break;
    case ENOENT:
    case ENOTDIR:
      raise_os_error(PyExc_FileNotFoundError, ENOENT, "No such file or directory", name);
    case EISDIR:
      raise_os_error(PyExc_IsADirectoryError, EISDIR, "Is a directory", name);
    default:  // OSError(errno, ...) picks the subclass, PermissionError and so on
      raise_os_error(PyExc_OSError, e.os_error(), std::strerror(e.os_error()), name);
  }
  py::str text = py::str("[vm.] ") + py::str(name) + py::str(" ") + py_common::shown(e.reason());
  PyErr_SetObject(PyExc_ValueError, text.ptr());
  throw py::error_already_set();
}

}  // namespace

py::tuple read_wav(py::handle path) {
  const fs::path p = py_common::to_fs_path(path);
  audio::Stored s;
  try {
    py::gil_scoped_release nogil;
    s = audio::read_stored(p);
  } catch (const vemio::FileError& e) {
    // the name as Python shows it: the file system's bytes, undecodable ones as surrogates
    raise_read_error(e, py_common::fs_name(p));
  }
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(s.frames)};
  if (s.channels > 1) shape.push_back(s.channels);
  const unsigned char* data = s.bytes.data();
  return py::make_tuple(s.rate, py_common::array_over(py::dtype(numpy_type(s.type)), data, shape, std::move(s.bytes)));
}

}  // namespace vemio::evaluator

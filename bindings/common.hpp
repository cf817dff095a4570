// Conversion helpers shared by the binding files.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "vemio/audio/audio.hpp"
#include "vemio/util/error.hpp"

namespace vemio::py_common {
namespace py = pybind11;

// Python objects looked up once and kept for the process lifetime (never destroyed, so no
// reference is dropped after the interpreter has finalised).
inline py::object& cached(const char* module, const char* attr) {
  // small fixed table keyed by module.attr
  struct Entry {
    std::string key;
    py::object* obj;
  };
  static std::vector<Entry>* table = new std::vector<Entry>();
  std::string key = std::string(module) + "." + attr;
  for (auto& e : *table)
    if (e.key == key) return *e.obj;
  auto* obj = new py::object(py::module_::import(module).attr(attr));
  table->push_back({key, obj});
  return *obj;
}

// ------------------------------------------------------------------ messages and errors

// How native text (a file name in file-system bytes) is shown in a message: bytes that are not
// UTF-8 appear as \xNN escapes, so that the message can always be printed.
inline py::str shown(const std::string& bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), "backslashreplace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}
inline py::str shown(const std::filesystem::path& p) { return shown(p.string()); }
// The text form of a Python object, shown the same way (a name read from the file system holds
// its undecodable bytes as lone surrogates, which no stream can print).
inline py::str shown(py::handle h) {
  py::str text = py::str(h);
  PyObject* b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (!b) {
    PyErr_Clear();
    b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "backslashreplace");
    if (!b) throw py::error_already_set();
  }
  return shown(py::reinterpret_steal<py::bytes>(b).cast<std::string>());
}

// A file-system name for Python: the str os.fsdecode gives for its bytes.
inline py::object fs_name(const std::filesystem::path& p) { return cached("os", "fsdecode")(py::bytes(p.native())); }

// The one translation of core exceptions, registered by every module:
//   vemio::FileError            -> vemio.AudioError (an OSError), "<file>: <reason>"
//   other vemio::Error          -> vemio.VemioError
//   std::filesystem_error       -> the matching OSError subclass (FileNotFoundError, ...)
//   std::invalid_argument kin   -> ValueError (pybind11's own rule, kept)
inline void translate_errors(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const vemio::FileError& e) {
    PyErr_SetObject(cached("vemio", "AudioError").ptr(), shown(std::string(e.what())).ptr());
  } catch (const vemio::Error& e) {
    PyErr_SetObject(cached("vemio", "VemioError").ptr(), shown(std::string(e.what())).ptr());
  } catch (const std::filesystem::filesystem_error& e) {
    py::object err = py::reinterpret_steal<py::object>(PyObject_CallFunction(
        PyExc_OSError, "isO", e.code().value(), e.code().message().c_str(), fs_name(e.path1()).ptr()));
    if (err) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  } catch (const std::invalid_argument& e) {
    PyErr_SetObject(PyExc_ValueError, shown(std::string(e.what())).ptr());
  }
}

// A file error of the system (errno known) as the OSError subclass Python picks for it
// (FileNotFoundError, IsADirectoryError, ...), naming `name`; other file errors as AudioError.
// For writers whose callers expect what open() would raise.
[[noreturn]] inline void raise_os_error(const vemio::FileError& e, py::handle name) {
  py::object err = e.os_error() ? cached("builtins", "OSError")(e.os_error(), std::strerror(e.os_error()), name)
                                : cached("vemio", "AudioError")(shown(std::string(e.what())));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
  throw py::error_already_set();
}

inline void install_error_translator() { py::register_local_exception_translator(&translate_errors); }

// Python's truth test of a value; an exception raised by its __bool__ propagates.
inline bool is_true(py::handle h) {
  const int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline bool assertions_enabled() { return py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0; }

inline void raise_assertion(const std::string& msg) {
  PyErr_SetString(PyExc_AssertionError, msg.c_str());
  throw py::error_already_set();
}

// Exactly an int (bool and other subclasses refused), as the API's integer parameters want.
inline bool is_exact_int(py::handle h) { return Py_TYPE(h.ptr()) == &PyLong_Type; }

// The file-system bytes of a path text, bytes or path object (undecodable names included).
// Every path handed to native code goes through here: an embedded NUL would silently cut the
// name short at the C level (data.csv\0.wav naming data.csv), so it is refused as Python's
// open() refuses it.
inline std::filesystem::path to_fs_path(py::handle h) {
  std::string bytes = py::bytes(cached("os", "fsencode")(h)).cast<std::string>();
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return std::filesystem::path(std::move(bytes));
}

// obj as a C-contiguous, aligned numpy array of T: converted when its type differs, copied when
// it is not contiguous or not aligned. numpy hands over unaligned memory as it is
// (np.frombuffer(buf, offset=1)), and the native loops read through typed pointers. This is the
// one conversion of array arguments for every binding.
template <typename T>
using CArray = py::array_t<T, py::array::c_style | py::array::forcecast>;

template <typename T>
CArray<T> c_array(py::handle obj) {
  CArray<T> a = CArray<T>::ensure(obj);
  if (!a) {
    // ensure() drops numpy's own error: convert again so that it is raised (ValueError, ...)
    cached("numpy", "asarray")(obj, py::dtype::of<T>());
    throw py::type_error("expected an array of numbers");
  }
  if (!(a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_)) {
    a = CArray<T>::ensure(py::reinterpret_borrow<py::object>(a).attr("copy")());
    if (!a) throw py::error_already_set();
  }
  return a;
}

// A numpy array over memory that `owner` (any movable object, a vector or a shared block)
// holds: the array keeps it alive, nothing is copied. Strides in bytes; empty for C order.
template <typename T, typename Owner>
py::array_t<T> array_over(const T* data, std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides,
                          Owner&& owner) {
  using Held = std::decay_t<Owner>;
  auto* held = new Held(std::forward<Owner>(owner));
  py::capsule keep(held, [](void* p) { delete static_cast<Held*>(p); });
  if (strides.empty()) return py::array_t<T>(std::move(shape), data, keep);
  return py::array_t<T>(std::move(shape), std::move(strides), data, keep);
}

// The same for a type known at run time (raw bytes of `dtype` values).
template <typename Owner>
py::array array_over(const py::dtype& dtype, const void* data, std::vector<py::ssize_t> shape, Owner&& owner) {
  using Held = std::decay_t<Owner>;
  auto* held = new Held(std::forward<Owner>(owner));
  py::capsule keep(held, [](void* p) { delete static_cast<Held*>(p); });
  return py::array(dtype, std::move(shape), {}, data, keep);
}

// A vector's values as a numpy array that takes over its memory (one dimension unless a
// shape is given).
template <typename T, typename Alloc>
py::array_t<T> vector_array(std::vector<T, Alloc>&& v, std::vector<py::ssize_t> shape = {},
                            std::vector<py::ssize_t> strides = {}) {
  if (shape.empty()) shape = {static_cast<py::ssize_t>(v.size())};
  const T* data = v.data();  // a moved vector keeps its buffer
  return array_over<T>(data, std::move(shape), std::move(strides), std::move(v));
}

// A pathlib.Path of native path bytes (names that are not UTF-8 included).
inline py::object make_path(const std::filesystem::path& p) {
  return cached("pathlib", "Path")(cached("os", "fsdecode")(py::bytes(p.native())));
}

// A callable wrapper that carries Python function metadata (__annotations__, __name__,
// __wrapped__, __doc__), which builtin functions cannot hold. inspect.signature() and help()
// follow __wrapped__ to the native function's signature.
struct AnnotatedFunction {
  py::object fn;
};

inline py::object annotate(py::module_& m, const char* name, py::dict annotations) {
  if (!py::hasattr(m, "_AnnotatedFunction")) {
    py::class_<AnnotatedFunction>(m, "_AnnotatedFunction", py::dynamic_attr(), py::module_local())
        .def("__call__", [](AnnotatedFunction& self, py::args a, py::kwargs k) { return self.fn(*a, **k); })
        .def("__repr__", [](py::object self) {
          return "<function " + py::str(self.attr("__qualname__")).cast<std::string>() + ">";
        });
  }
  py::object fn = m.attr(name);
  py::object w = py::cast(AnnotatedFunction{fn});
  w.attr("__wrapped__") = fn;
  w.attr("__name__") = fn.attr("__name__");
  w.attr("__qualname__") = fn.attr("__name__");
  w.attr("__module__") = m.attr("__name__");
  w.attr("__doc__") = fn.attr("__doc__");
  w.attr("__annotations__") = annotations;
  m.attr(name) = w;
  return w;
}

}  // namespace vemio::py_common

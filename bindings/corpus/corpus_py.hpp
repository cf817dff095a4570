// Pieces shared by the files of the vemio.corpus binding.
#pragma once

#include <string>

#include "common.hpp"

namespace vemio::corpus_py {
namespace py = pybind11;

// The manifest columns every render needs, in the order plan writes them (rate is optional).
inline const char* const kColumns[] = {"name", "clean", "noise", "snr", "noise_offset", "level", "rir"};
// The columns render adds.
inline const char* const kResultColumns[] = {"clean_gain", "noise_gain", "snr_measured", "peak", "clipped_avoided"};

[[noreturn]] inline void raise_py(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, py_common::shown(message).ptr());
  throw py::error_already_set();
}

void define_plan(py::module_& m);

}  // namespace vemio::corpus_py

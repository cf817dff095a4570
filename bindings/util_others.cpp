// vemio.util.others: small list utilities.
#include "common.hpp"

namespace py = pybind11;

namespace {

py::object* g_module = nullptr;  // this module, for its `Counter`

// Count every item; print the repeated ones (in order of first occurrence) and their counts;
// return the whole count table as a plain dict.
py::object find_duplicate(py::object file_list) {
  py::object builtins = py::module_::import("builtins");
  py::object counts = builtins.attr("dict")(g_module->attr("Counter")(file_list));
  py::list repeated;
  py::dict repeated_counts;
  for (auto [item, n] : py::reinterpret_borrow<py::dict>(counts)) {
    if (py::reinterpret_borrow<py::object>(n) > py::int_(1)) {
      repeated.append(item);
      repeated_counts[item] = n;
    }
  }
  builtins.attr("print")(repeated);
  builtins.attr("print")(repeated_counts);
  return counts;
}

}  // namespace

PYBIND11_MODULE(others, m) {
  vemio::py_common::install_error_translator();
  m.doc() = "Small utilities: find_duplicate.";
  g_module = new py::object(m);  // kept for the process lifetime
  m.attr("Counter") = py::module_::import("collections").attr("Counter");
  m.def("find_duplicate", &find_duplicate, py::arg("file_list"),
        "Count the items of `file_list`; print the list of the items occurring more than once and\n"
        "the dictionary of their counts (in order of first occurrence); return the dictionary of\n"
        "every item's count.");
  m.attr("__all__") = py::list(py::make_tuple("find_duplicate"));
}

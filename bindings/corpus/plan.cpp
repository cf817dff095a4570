// vemio.corpus.plan and read_manifest: the manifest as a DataFrame, every draw from one
// numpy Generator made from the seed, lengths from the file headers alone.
#include <algorithm>
#include <cmath>
#include <vector>

#include "corpus_py.hpp"
#include "vemio/corpus/corpus.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace corpus = vemio::corpus;
using namespace vemio::py_common;
using vemio::corpus_py::raise_py;

namespace {

py::object np(const char* attr) { return cached("numpy", attr); }

bool is_number(py::handle h) {
  return !PyBool_Check(h.ptr()) && PyNumber_Check(h.ptr()) && !PyUnicode_Check(h.ptr()) && !PyComplex_Check(h.ptr()) &&
         !py::isinstance<py::array>(h);
}

double finite_number(py::handle h, const std::string& what) {
  if (!is_number(h))
    raise_py(PyExc_TypeError, "[vm.corpus] plan: " + what + " must be a number, not " +
                                  py::str(py::type::of(h).attr("__name__")).cast<std::string>());
  const double v = py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>();
  if (!std::isfinite(v)) raise_py(PyExc_ValueError, "[vm.corpus] plan: " + what + " must be finite");
  return v;
}

// A fixed value list or a (low, high) range, as snr and level take them.
struct Choice {
  std::vector<double> values;
  bool range = false;
};

Choice range_of(py::handle h, const std::string& what) {
  py::tuple t = py::reinterpret_borrow<py::tuple>(h);
  if (t.size() != 2) raise_py(PyExc_ValueError, "[vm.corpus] plan: a " + what + " range is a (low, high) pair");
  Choice c{{finite_number(t[0], what), finite_number(t[1], what)}, true};
  if (c.values[0] > c.values[1]) raise_py(PyExc_ValueError, "[vm.corpus] plan: the " + what + " range has low > high");
  return c;
}

Choice snr_choice(py::handle snr) {
  if (PyTuple_Check(snr.ptr())) return range_of(snr, "SNR");
  Choice c;
  if (is_number(snr)) {
    c.values.push_back(finite_number(snr, "an SNR"));
    return c;
  }
  if (PyUnicode_Check(snr.ptr()) || !py::hasattr(snr, "__iter__"))
    raise_py(PyExc_TypeError, "[vm.corpus] plan: snr must be a list of dB values or a (low, high) tuple");
  for (py::handle v : py::iter(snr)) c.values.push_back(finite_number(v, "an SNR"));
  if (c.values.empty()) raise_py(PyExc_ValueError, "[vm.corpus] plan: snr lists no value");
  return c;
}

// The .wav files of an input spec, as check_input resolves it, in byte order of their names
// (a folder's listing order differs between file systems; the manifest must not).
std::vector<fs::path> input_files(py::handle spec, const char* what) {
  py::tuple found = py::module_::import("vemio.core.io").attr("check_input")(spec);
  py::list right = found[0], wrong = found[1];
  if (py::len(wrong) > 0) {
    py::object first = wrong[0];
    raise_py(PyExc_FileNotFoundError,
             std::string("[vm.corpus] plan: ") + what +
                 " input is not a .wav file, folder or list: " + py::str(first).cast<std::string>());
  }
  std::vector<fs::path> files;
  for (py::handle f : right) files.push_back(to_fs_path(f));
  if (files.empty())
    raise_py(PyExc_ValueError, std::string("[vm.corpus] plan: no .wav files in the ") + what + " input");
  std::stable_sort(files.begin(), files.end(),
                   [](const fs::path& a, const fs::path& b) { return a.native() < b.native(); });
  return files;
}

std::vector<int64_t> lengths(const std::vector<fs::path>& files, int rate) {
  py::gil_scoped_release nogil;
  return corpus::lengths_at(files, rate, 0);
}

template <typename T>
py::array_t<T> to_array(py::object o) {
  return py::array_t<T>(np("ascontiguousarray")(o, py::dtype::of<T>()));
}

// numpy object array of the files' names (the str os.fsdecode gives), taken at `index`
py::object names_at(const std::vector<fs::path>& files, py::object index, bool with_empty = false) {
  py::list l;
  if (with_empty) l.append(py::str(""));
  for (const auto& f : files) l.append(fs_name(f));
  py::object arr = np("empty")(py::len(l), py::arg("dtype") = "object");
  arr.attr("__setitem__")(py::slice(0, py::len(l), 1), l);
  return arr.attr("__getitem__")(index);
}

py::object plan(py::object clean, py::object noise, py::object snr, const std::string& mode, py::object count,
                py::object seed, py::object rir, double rir_share, py::object level, py::object rate_obj) {
  if (mode != "all" && mode != "sample")
    raise_py(PyExc_ValueError, "[vm.corpus] plan: mode must be 'all' or 'sample', not '" + mode + "'");
  if (!is_exact_int(rate_obj) && !py::isinstance(rate_obj, np("integer")))
    raise_py(PyExc_TypeError, "[vm.corpus] plan: rate must be an integer number of Hz");
  const int64_t rate64 = rate_obj.cast<int64_t>();
  if (rate64 <= 0 || rate64 > 768000) raise_py(PyExc_ValueError, "[vm.corpus] plan: rate must be 1 to 768000 Hz");
  const int rate = static_cast<int>(rate64);
  if (!(rir_share >= 0.0 && rir_share <= 1.0))
    raise_py(PyExc_ValueError, "[vm.corpus] plan: rir_share must be between 0 and 1");
  if (rir_share > 0.0 && rir.is_none()) raise_py(PyExc_ValueError, "[vm.corpus] plan: rir_share > 0 needs rir files");
  const Choice snrs = snr_choice(snr);
  Choice levels;
  if (!level.is_none())
    levels = PyTuple_Check(level.ptr()) || PyList_Check(level.ptr()) ? range_of(py::tuple(level), "level")
                                                                     : Choice{{finite_number(level, "level")}, false};
  int64_t n_sample = 0;
  if (mode == "sample") {
    if (!is_exact_int(count) && !py::isinstance(count, np("integer")))
      raise_py(PyExc_TypeError, "[vm.corpus] plan: mode='sample' needs count, an integer");
    n_sample = count.cast<int64_t>();
    if (n_sample < 0) raise_py(PyExc_ValueError, "[vm.corpus] plan: count must not be negative");
  } else if (!count.is_none()) {
    raise_py(PyExc_ValueError, "[vm.corpus] plan: count is for mode='sample'; mode='all' takes every combination");
  }

  const std::vector<fs::path> cleans = input_files(clean, "clean"), noises = input_files(noise, "noise");
  const std::vector<fs::path> rirs = rir_share > 0.0 ? input_files(rir, "rir") : std::vector<fs::path>{};
  std::vector<int64_t> lc, ln;
  try {
    lc = lengths(cleans, rate);
    ln = lengths(noises, rate);
    if (!rirs.empty()) lengths(rirs, rate);
  } catch (const vemio::FileError& e) {
    throw vemio::FileError(e.file(), e.reason() + " (while planning)", e.os_error(), e.not_regular());
  }

  py::object rng = np("random").attr("default_rng")(seed);
  const int64_t nc = static_cast<int64_t>(cleans.size()), nn = static_cast<int64_t>(noises.size());
  const int64_t ns = snrs.range ? 1 : static_cast<int64_t>(snrs.values.size());
  py::array_t<int64_t> ci, ni;
  py::object snr_col;
  if (mode == "all") {
    const int64_t n = nc * nn * ns;
    ci = py::array_t<int64_t>(n);
    ni = py::array_t<int64_t>(n);
    py::array_t<double> s(n);
    auto c = ci.mutable_unchecked<1>();
    auto k = ni.mutable_unchecked<1>();
    auto v = s.mutable_unchecked<1>();
    for (int64_t i = 0; i < n; ++i) {  // clean outermost, then noise, then SNR
      c(i) = i / (nn * ns);
      k(i) = (i / ns) % nn;
      v(i) = snrs.values[static_cast<size_t>(i % ns)];
    }
    snr_col = s;
    if (snrs.range) snr_col = rng.attr("uniform")(snrs.values[0], snrs.values[1], n);
  } else {
    ci = to_array<int64_t>(rng.attr("integers")(0, nc, n_sample));
    ni = to_array<int64_t>(rng.attr("integers")(0, nn, n_sample));
    if (snrs.range) {
      snr_col = rng.attr("uniform")(snrs.values[0], snrs.values[1], n_sample);
    } else {
      py::object values = py::array_t<double>(static_cast<py::ssize_t>(snrs.values.size()), snrs.values.data());
      snr_col = values.attr("__getitem__")(rng.attr("integers")(0, ns, n_sample));
    }
  }
  const py::ssize_t n = ci.size();

  // noise offsets: uniform over every start that leaves room for the clean file; 0 when the
  // noise is shorter and gets repeated
  py::array_t<int64_t> high(n);
  {
    auto h = high.mutable_unchecked<1>();
    auto c = ci.unchecked<1>();
    auto k = ni.unchecked<1>();
    for (py::ssize_t i = 0; i < n; ++i) h(i) = std::max<int64_t>(ln[size_t(k(i))] - lc[size_t(c(i))], 0) + 1;
  }
  py::object offsets = rng.attr("integers")(0, high, py::arg("dtype") = "int64");
  py::object level_col = levels.values.empty() ? np("full")(n, np("nan"))
                         : levels.range        ? rng.attr("uniform")(levels.values[0], levels.values[1], n)
                                               : np("full")(n, levels.values[0]);
  py::object rir_col;
  if (rirs.empty()) {
    rir_col = names_at({}, np("zeros")(n, py::arg("dtype") = "int64"), true);
  } else {
    py::object has = rng.attr("random")(n).attr("__lt__")(rir_share);
    py::object which = rng.attr("integers")(0, static_cast<int64_t>(rirs.size()), n).attr("__add__")(1);
    rir_col = names_at(rirs, np("where")(has, which, 0), true);
  }

  // names: the row number, then the clean and noise stems (stable for the same arguments)
  std::vector<std::string> cpart, npart;
  for (const auto& f : cleans) cpart.push_back(corpus::name_part(f));
  for (const auto& f : noises) npart.push_back(corpus::name_part(f));
  const int width = std::max<int>(6, static_cast<int>(std::to_string(std::max<py::ssize_t>(n - 1, 0)).size()));
  py::list names(n);
  {
    auto c = ci.unchecked<1>();
    auto k = ni.unchecked<1>();
    std::string num;
    for (py::ssize_t i = 0; i < n; ++i) {
      num = std::to_string(i);
      std::string name = std::string(static_cast<size_t>(std::max<int>(0, width - int(num.size()))), '0') + num + "_" +
                         cpart[size_t(c(i))] + "_" + npart[size_t(k(i))];
      PyList_SET_ITEM(names.ptr(), i, PyUnicode_FromStringAndSize(name.data(), py::ssize_t(name.size())));
    }
  }
  py::dict cols;
  cols["name"] = names;
  cols["clean"] = names_at(cleans, ci);
  cols["noise"] = names_at(noises, ni);
  cols["snr"] = np("asarray")(snr_col, "float64");
  cols["noise_offset"] = offsets;
  cols["level"] = level_col;
  cols["rir"] = rir_col;
  cols["rate"] = np("full")(n, rate, py::arg("dtype") = "int64");
  return cached("pandas", "DataFrame")(cols);
}

py::object read_manifest(py::object path) {
  py::dict dtype;
  for (const char* c : {"name", "clean", "noise", "rir"}) dtype[c] = "str";
  for (const char* c : {"snr", "level", "clean_gain", "noise_gain", "snr_measured", "peak"}) dtype[c] = "float64";
  for (const char* c : {"noise_offset", "rate"}) dtype[c] = "int64";
  dtype["clipped_avoided"] = "bool";
  py::dict na;
  na["level"] = py::make_tuple("", "nan", "NaN");
  py::dict options;
  options["dtype"] = dtype;
  options["keep_default_na"] = false;
  options["na_values"] = na;
  // numbers must read back as written: pandas 3 parses so by default, earlier ones on request
  const std::string version = py::str(cached("pandas", "__version__"));
  if (version.size() > 1 && version[0] < '3' && version[1] == '.') options["float_precision"] = "round_trip";
  py::object table = cached("pandas", "read_csv")(path, **options);
  py::object columns = table.attr("columns");
  for (const char* c : vemio::corpus_py::kColumns)
    if (!is_true(columns.attr("__contains__")(c)))
      raise_py(PyExc_ValueError, std::string("[vm.corpus] read_manifest: the manifest has no column '") + c +
                                     "': " + py::str(path).cast<std::string>());
  return table;
}

}  // namespace

namespace vemio::corpus_py {

void define_plan(py::module_& m) {
  m.def("plan", &plan, py::arg("clean"), py::arg("noise"), py::arg("snr"), py::kw_only(), py::arg("mode") = "all",
        py::arg("count") = py::none(), py::arg("seed") = 0, py::arg("rir") = py::none(), py::arg("rir_share") = 0.0,
        py::arg("level") = py::none(), py::arg("rate") = 16000,
        "The recipe of a corpus: one row per mixture (name, clean, noise, snr, noise_offset, level, rir,\n"
        "rate).\n\n"
        "clean, noise, rir: input specs as check_input takes them (files, folders, .txt lists, nested\n"
        "lists); their .wav files are taken in byte order of their names. snr: a list of dB values or\n"
        "a (low, high) tuple for a uniform draw. mode='all' pairs every clean file with every noise\n"
        "file and every listed SNR (in that nesting order); mode='sample' draws `count` rows.\n"
        "level: None keeps the clean file's level, a number or a (low, high) range sets the speech\n"
        "RMS in dBFS. rir_share: the fraction of rows that get a room response drawn from `rir`.\n"
        "noise_offset is the first noise sample at `rate`, drawn uniformly where the noise is longer\n"
        "than the clean file. Every draw comes from numpy.random.default_rng(seed); only the file\n"
        "headers are read.");
  m.def("read_manifest", &read_manifest, py::arg("path"),
        "A manifest saved with to_csv(path, index=False) (or render's manifest.csv), with its column\n"
        "types restored: text columns as str (an empty rir stays ''), level NaN where none.");
}

}  // namespace vemio::corpus_py

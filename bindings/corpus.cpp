// vemio.corpus: paired training corpora from a manifest. plan (bindings/corpus/plan.cpp) makes
// the manifest; render writes it on native threads or through an executor (a Dask client, a
// concurrent.futures pool), resumable from the ledger in the output folder.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>
#include <unordered_map>
#include <vector>

#include "corpus/corpus_py.hpp"
#include "vemio/corpus/corpus.hpp"
#include "vemio/util/pool.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace corpus = vemio::corpus;
namespace util = vemio::util;
using namespace vemio::py_common;
using vemio::corpus_py::raise_py;

namespace {

// Rows of an executor's chunk: the work of one call on a worker.
constexpr size_t kChunkRows = 256;

py::object np(const char* attr) { return cached("numpy", attr); }

py::object column(py::handle table, const char* name) {
  py::object col = table.attr("__getitem__")(name);
  return col.attr("tolist")();
}

// A path cell: text or a path object; NaN and None (an empty cell) only where `empty_ok`.
fs::path path_cell(py::handle v, size_t row, const char* col, bool empty_ok) {
  const bool missing = v.is_none() || (PyFloat_Check(v.ptr()) && std::isnan(PyFloat_AsDouble(v.ptr())));
  if (missing || (PyUnicode_Check(v.ptr()) && PyUnicode_GetLength(v.ptr()) == 0)) {
    if (empty_ok) return {};
    raise_py(PyExc_ValueError, "[vm.corpus] render: row " + std::to_string(row) + " has no " + col + " file");
  }
  if (!PyUnicode_Check(v.ptr()) && !py::isinstance(v, cached("os", "PathLike")))
    raise_py(PyExc_TypeError, "[vm.corpus] render: row " + std::to_string(row) + ": " + col + " must be a path");
  fs::path p = to_fs_path(v);
  return p.is_absolute() ? p : fs::absolute(p);  // workers may run elsewhere than the caller
}

std::vector<double> numbers(py::handle table, const char* name) {
  py::object col = table.attr("__getitem__")(name);
  py::array_t<double> a = np("ascontiguousarray")(col.attr("to_numpy")(), "float64");
  auto r = a.unchecked<1>();
  std::vector<double> out(static_cast<size_t>(r.shape(0)));
  for (size_t i = 0; i < out.size(); ++i) out[i] = r(static_cast<py::ssize_t>(i));
  return out;
}

int64_t whole(double v, size_t row, const char* col) {
  if (!std::isfinite(v) || v != std::floor(v) || std::fabs(v) > 9e15)
    raise_py(PyExc_ValueError, "[vm.corpus] render: row " + std::to_string(row) + ": " + col + " must be an integer");
  return static_cast<int64_t>(v);
}

// The manifest's rows, checked for what needs no file: columns, names, duplicates.
std::vector<corpus::Row> manifest_rows(py::handle table) {
  if (!py::hasattr(table, "columns")) raise_py(PyExc_TypeError, "[vm.corpus] render: the manifest must be a DataFrame");
  py::object columns = table.attr("columns");
  for (const char* c : vemio::corpus_py::kColumns)
    if (!is_true(columns.attr("__contains__")(c)))
      raise_py(PyExc_ValueError, std::string("[vm.corpus] render: the manifest has no column '") + c + "'");
  const bool has_rate = is_true(columns.attr("__contains__")("rate"));
  py::list names = column(table, "name"), clean = column(table, "clean"), noise = column(table, "noise"),
           rir = column(table, "rir");
  const std::vector<double> snr = numbers(table, "snr"), offset = numbers(table, "noise_offset"),
                            level = numbers(table, "level");
  const std::vector<double> rate = has_rate ? numbers(table, "rate") : std::vector<double>(snr.size(), 16000.0);
  std::vector<corpus::Row> rows(snr.size());
  std::unordered_map<std::string, size_t> seen;
  for (size_t i = 0; i < rows.size(); ++i) {
    corpus::Row& r = rows[i];
    py::object name = names[i];
    if (!PyUnicode_Check(name.ptr()))
      raise_py(PyExc_TypeError, "[vm.corpus] render: row " + std::to_string(i) + ": the name must be text");
    r.name = to_fs_path(name).native();
    if (std::string why = corpus::bad_name(r.name); !why.empty())
      raise_py(PyExc_ValueError, "[vm.corpus] render: " + corpus::row_label(i, r.name) + ": the name " + why);
    if (auto [it, fresh] = seen.emplace(r.name, i); !fresh)
      raise_py(PyExc_ValueError, "[vm.corpus] render: duplicate name '" + r.name + "' in rows " +
                                     std::to_string(it->second) + " and " + std::to_string(i));
    r.clean = path_cell(clean[i], i, "clean", false);
    r.noise = path_cell(noise[i], i, "noise", false);
    r.rir = path_cell(rir[i], i, "rir", true);
    r.snr_db = snr[i];
    r.noise_offset = whole(offset[i], i, "noise_offset");
    r.level_db = level[i];
    r.rate = static_cast<int>(std::clamp<int64_t>(whole(rate[i], i, "rate"), -1, 1 << 30));
  }
  return rows;
}

// out must be (or become) a writable folder; nothing is created here.
void check_output(const fs::path& out) {
  struct stat st {};
  fs::path probe = out;
  while (::stat(probe.c_str(), &st) != 0) {
    if (errno != ENOENT) break;
    fs::path parent = probe.has_relative_path() ? probe.parent_path() : probe;
    if (parent.empty()) parent = ".";
    if (parent == probe) break;
    probe = parent;
  }
  const bool is_dir = ::stat(probe.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!is_dir || ::access(probe.c_str(), W_OK | X_OK) != 0) {
    py::object err = cached("builtins", "OSError")(
        is_dir ? EACCES : ENOTDIR, "[vm.corpus] render: the output folder is not writable", fs_name(probe));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
    throw py::error_already_set();
  }
  for (const char* sub : {"noisy", "clean"}) {
    const fs::path p = out / sub;
    if (::stat(p.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || ::access(p.c_str(), W_OK | X_OK) != 0)) {
      py::object err = cached("builtins", "OSError")(
          S_ISDIR(st.st_mode) ? EACCES : ENOTDIR, "[vm.corpus] render: the output folder is not writable", fs_name(p));
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
      throw py::error_already_set();
    }
  }
}

void prepare_output(const fs::path& out, bool resume) {
  fs::create_directories(out / "noisy");
  fs::create_directories(out / "clean");
  for (const fs::path& d : {out, out / "noisy", out / "clean"}) corpus::remove_temporaries(d);
  if (!resume) fs::remove(corpus::ledger_path(out));
  corpus::repair_ledger(corpus::ledger_path(out));
}

// ------------------------------------------------------------------ chunks for executors

py::tuple chunk_payload(const std::vector<corpus::Row>& rows, const std::vector<size_t>& which, size_t begin,
                        size_t end) {
  py::list idx, name, clean, noise, rir, snr, offset, level, rate;
  for (size_t k = begin; k < end; ++k) {
    const corpus::Row& r = rows[which[k]];
    idx.append(which[k]);
    name.append(fs_name(r.name));
    clean.append(fs_name(r.clean));
    noise.append(fs_name(r.noise));
    rir.append(r.rir.empty() ? py::str("") : py::str(fs_name(r.rir)));
    snr.append(r.snr_db);
    offset.append(r.noise_offset);
    level.append(r.level_db);
    rate.append(r.rate);
  }
  return py::make_tuple(idx, name, clean, noise, rir, snr, offset, level, rate);
}

// Decoded waves stay with the worker process from one chunk to the next.
corpus::WaveStore& process_store() {
  static auto* store = new corpus::WaveStore();
  return *store;
}

// One chunk on a worker: its rows rendered in order, each recorded in the ledger once written.
py::tuple render_chunk(py::object out_obj, py::tuple payload) {
  const fs::path out = to_fs_path(out_obj);
  if (payload.size() != 9) throw py::value_error("[vm.corpus] render: malformed chunk");
  py::list idx = payload[0], name = payload[1], clean = payload[2], noise = payload[3], rir = payload[4],
           snr = payload[5], offset = payload[6], level = payload[7], rate = payload[8];
  const size_t n = py::len(idx);
  std::vector<corpus::Row> rows(n);
  std::vector<size_t> index(n);
  for (size_t i = 0; i < n; ++i) {
    index[i] = idx[i].cast<size_t>();
    rows[i].name = to_fs_path(name[i]).native();
    rows[i].clean = to_fs_path(clean[i]);
    rows[i].noise = to_fs_path(noise[i]);
    rows[i].rir = to_fs_path(rir[i]);
    rows[i].snr_db = snr[i].cast<double>();
    rows[i].noise_offset = offset[i].cast<int64_t>();
    rows[i].level_db = level[i].cast<double>();
    rows[i].rate = rate[i].cast<int>();
  }
  std::vector<corpus::Result> results(n);
  {
    py::gil_scoped_release nogil;
    fs::create_directories(out / "noisy");
    fs::create_directories(out / "clean");
    corpus::Ledger ledger(corpus::ledger_path(out));
    for (size_t i = 0; i < n; ++i) {
      results[i] = corpus::render_row(rows[i], index[i], out, process_store());
      ledger.append(rows[i], results[i]);
    }
  }
  py::list cg, ng, sm, pk, cl;
  for (const auto& r : results) {
    cg.append(r.clean_gain);
    ng.append(r.noise_gain);
    sm.append(r.snr_measured);
    pk.append(r.peak);
    cl.append(r.clipped_avoided);
  }
  return py::make_tuple(idx, cg, ng, sm, pk, cl);
}

// ------------------------------------------------------------------ render

struct Bar {
  py::object bar;
  Bar(bool show, size_t total, size_t initial) {
    if (show)
      bar = cached("tqdm", "tqdm")(py::arg("total") = total, py::arg("initial") = initial,
                                   py::arg("desc") = "Corpus rendering");
  }
  void advance(size_t k) {
    if (k && bar) bar.attr("update")(k);
  }
  ~Bar() {
    if (bar) {
      PyObject *type, *value, *trace;  // closing must not lose an exception on its way
      PyErr_Fetch(&type, &value, &trace);
      try {
        bar.attr("close")();
      } catch (py::error_already_set&) {
      }
      PyErr_Restore(type, value, trace);
    }
  }
};

void render_threads(const std::vector<corpus::Row>& rows, const std::vector<size_t>& todo, const fs::path& out,
                    int workers, std::vector<corpus::Result>& results, Bar& bar) {
  if (todo.empty()) return;
  corpus::WaveStore store;
  std::optional<corpus::Ledger> ledger;
  std::optional<util::IndexPool> pool;
  {
    py::gil_scoped_release nogil;
    ledger.emplace(corpus::ledger_path(out));
    pool.emplace(todo.size(), util::worker_count(workers, todo.size()), [&](size_t k, int) {
      const size_t i = todo[k];
      results[i] = corpus::render_row(rows[i], i, out, store);
      ledger->append(rows[i], results[i]);
    });
  }
  size_t shown = 0;
  for (;;) {
    size_t now;
    {
      py::gil_scoped_release nogil;
      now = pool->wait(shown, std::chrono::milliseconds(100));
    }
    bar.advance(now - shown);
    shown = now;
    if (PyErr_CheckSignals() != 0) {
      pool->cancel();
      py::error_already_set interrupted;
      {
        py::gil_scoped_release nogil;
        try {
          pool->join();
        } catch (...) {
        }
      }
      throw interrupted;
    }
    if (pool->idle()) break;
  }
  {
    py::gil_scoped_release nogil;
    pool->join();
  }
  bar.advance(pool->finished() - shown);
}

void render_executor(py::object executor, const std::vector<corpus::Row>& rows, const std::vector<size_t>& todo,
                     const fs::path& out, std::vector<corpus::Result>& results, Bar& bar) {
  py::object fn = py::module_::import("vemio.corpus").attr("_render_chunk");
  py::object submit = executor.attr("submit");
  py::object out_name = fs_name(out);
  std::vector<py::object> futures;
  for (size_t b = 0; b < todo.size(); b += kChunkRows)
    futures.push_back(submit(fn, out_name, chunk_payload(rows, todo, b, std::min(todo.size(), b + kChunkRows))));
  size_t k = 0;
  try {
    for (; k < futures.size(); ++k) {
      py::tuple got = futures[k].attr("result")();
      py::list idx = got[0], cg = got[1], ng = got[2], sm = got[3], pk = got[4], cl = got[5];
      for (size_t j = 0; j < py::len(idx); ++j) {
        corpus::Result& r = results.at(idx[j].cast<size_t>());
        r.clean_gain = cg[j].cast<double>();
        r.noise_gain = ng[j].cast<double>();
        r.snr_measured = sm[j].cast<double>();
        r.peak = pk[j].cast<double>();
        r.clipped_avoided = cl[j].cast<bool>();
      }
      bar.advance(py::len(idx));
    }
  } catch (...) {
    // the first failure ends the run: what has not started yet is dropped
    for (size_t j = k + 1; j < futures.size(); ++j)
      if (py::hasattr(futures[j], "cancel")) {
        try {
          futures[j].attr("cancel")();
        } catch (py::error_already_set&) {
        }
      }
    throw;
  }
}

py::object render(py::object manifest, py::object out_obj, py::object workers_obj, py::object executor, bool resume,
                  bool progress) {
  if (PyUnicode_Check(manifest.ptr()) || py::isinstance(manifest, cached("os", "PathLike")))
    manifest = py::module_::import("vemio.corpus").attr("read_manifest")(manifest);
  int workers = 0;
  if (!workers_obj.is_none()) {
    if (!is_exact_int(workers_obj) || workers_obj.cast<int64_t>() < 1)
      raise_py(PyExc_ValueError, "[vm.corpus] render: workers must be a positive integer or None");
    workers = static_cast<int>(std::min<int64_t>(workers_obj.cast<int64_t>(), 4096));
  }
  if (!executor.is_none() && !py::hasattr(executor, "submit"))
    raise_py(PyExc_TypeError, "[vm.corpus] render: the executor must have a submit(fn, *args) method");
  const fs::path out = to_fs_path(out_obj);
  const std::vector<corpus::Row> rows = manifest_rows(manifest);
  check_output(out);

  std::vector<corpus::Result> results(rows.size());
  std::vector<size_t> todo;
  {
    std::vector<std::optional<corpus::Result>> done;
    {
      py::gil_scoped_release nogil;
      done = resume ? corpus::finished_rows(rows, out) : std::vector<std::optional<corpus::Result>>(rows.size());
    }
    for (size_t i = 0; i < rows.size(); ++i)
      if (done[i])
        results[i] = *done[i];
      else
        todo.push_back(i);
  }
  {
    py::gil_scoped_release nogil;
    corpus::check_rows(rows, workers, &todo);
    prepare_output(out, resume);
  }
  {
    Bar bar(progress, rows.size(), rows.size() - todo.size());
    if (executor.is_none())
      render_threads(rows, todo, out, workers, results, bar);
    else
      render_executor(executor, rows, todo, out, results, bar);
  }

  const py::ssize_t n = static_cast<py::ssize_t>(rows.size());
  py::array_t<double> cg(n), ng(n), sm(n), pk(n);
  py::array_t<bool> cl(n);
  for (py::ssize_t i = 0; i < n; ++i) {
    const corpus::Result& r = results[size_t(i)];
    cg.mutable_at(i) = r.clean_gain;
    ng.mutable_at(i) = r.noise_gain;
    sm.mutable_at(i) = r.snr_measured;
    pk.mutable_at(i) = r.peak;
    cl.mutable_at(i) = r.clipped_avoided;
  }
  py::object table = manifest.attr("copy")();
  table.attr("__setitem__")("clean_gain", cg);
  table.attr("__setitem__")("noise_gain", ng);
  table.attr("__setitem__")("snr_measured", sm);
  table.attr("__setitem__")("peak", pk);
  table.attr("__setitem__")("clipped_avoided", cl);
  py::str csv = table.attr("to_csv")(py::arg("index") = false);
  py::object data = csv.attr("encode")("utf-8", "surrogateescape");
  py::module_::import("vemio.core.io")
      .attr("_write_file_atomic")(fs_name(out / "manifest.csv"), data, py::arg("sync") = true);
  return table;
}

}  // namespace

PYBIND11_MODULE(corpus, m) {
  install_error_translator();
  m.doc() =
      "Paired training corpora at any scale: plan() draws a manifest (one row per mixture, every\n"
      "number its rendering needs), render() writes out/noisy/<name>.wav and out/clean/<name>.wav\n"
      "on native threads or through an executor (a dask.distributed Client), resumable after any\n"
      "interruption. The same manifest gives the same bytes on any number of threads or machines.";
  vemio::corpus_py::define_plan(m);
  m.def("render", &render, py::arg("manifest"), py::arg("out"), py::kw_only(), py::arg("workers") = py::none(),
        py::arg("executor") = py::none(), py::arg("resume") = true, py::arg("progress") = true,
        "Render every row of `manifest` (a DataFrame from plan or read_manifest, or a CSV path) to\n"
        "out/noisy/<name>.wav (the mixture) and out/clean/<name>.wav (the target: the speech after\n"
        "the same gain; with a room response its direct path and first 50 ms, aligned with the\n"
        "mixture), mono 16-bit PCM at the row's rate.\n\n"
        "workers: native threads (default: one per core). executor: any object with\n"
        "submit(fn, *args) -> future (a concurrent.futures executor, a dask.distributed.Client);\n"
        "chunks of a few hundred rows are rendered on its workers, which write to `out` themselves.\n"
        "resume: skip rows the ledger (out/render.ledger) lists with both files present; False\n"
        "renders everything again. Every input is checked before anything is written.\n\n"
        "Returns the manifest with clean_gain, noise_gain, snr_measured, peak and clipped_avoided\n"
        "added, also saved as out/manifest.csv.");
  m.def("_render_chunk", &render_chunk, py::arg("out"), py::arg("rows"),
        "Renders one chunk of rows on an executor's worker (render's own helper).");
  py::list all;
  for (const char* name : {"plan", "render", "read_manifest"}) all.append(name);
  m.attr("__all__") = all;
}

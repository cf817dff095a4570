// vemio.metrics: the standard speech-quality measures on arrays, and the batch scorer over
// files or arrays on native threads.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "vemio/metrics/bss.hpp"
#include "vemio/metrics/composite.hpp"
#include "vemio/metrics/dnsmos.hpp"
#include "vemio/metrics/intelligibility.hpp"
#include "vemio/metrics/pesq.hpp"
#include "vemio/metrics/score.hpp"
#include "vemio/features/spectral.hpp"
#include "vemio/util/error.hpp"
#include "vemio/util/pool.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
using namespace vemio::py_common;
namespace mt = vemio::metrics;

namespace {

// ------------------------------------------------------------------ signals

// A 1-D signal as float64: int16 scaled by 1/32768, every other real type converted as is.
struct Signal {
  CArray<double> data;
  std::span<const double> span() const { return {data.data(), static_cast<size_t>(data.size())}; }
};

Signal signal(py::handle x, const char* arg) {
  py::object a = cached("numpy", "asarray")(x);
  const py::dtype dt = a.attr("dtype").cast<py::dtype>();
  const char kind = dt.kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
    throw py::type_error(std::string("[vm.] metrics: ") + arg + " must hold real numbers, not " +
                         py::str(dt).cast<std::string>());
  if (a.attr("ndim").cast<int>() != 1)
    throw py::value_error(std::string("[vm.] metrics: ") + arg +
                          " must be one-dimensional (a mono signal), not of shape " +
                          py::str(a.attr("shape")).cast<std::string>());
  if (kind == 'i' && dt.itemsize() == 2) a = cached("numpy", "multiply")(a, py::float_(1.0 / 32768.0));
  return {c_array<double>(a)};
}

int rate_arg(py::handle sr, const char* who) {
  if (!PyLong_Check(sr.ptr()) && !PyFloat_Check(sr.ptr()) && !py::isinstance(sr, cached("numbers", "Real")))
    throw py::type_error(std::string("[vm.] ") + who + ": sr must be a number of samples per second");
  const double v = py::float_(py::reinterpret_borrow<py::object>(sr)).cast<double>();
  if (!std::isfinite(v) || v != std::floor(v) || v < 1000 || v > 768000)
    throw py::value_error(std::string("[vm.] ") + who + ": sr must be a whole number of Hz in 1000..768000, not " +
                          py::str(sr).cast<std::string>());
  return static_cast<int>(v);
}

// Runs f on the signals with the GIL released; PESQ failures become ValueError for wrong
// arguments and VemioError when the signals have nothing to score.
template <typename F>
auto compute(F&& f) {
  try {
    py::gil_scoped_release nogil;
    return f();
  } catch (const vemio::PesqError& e) {
    using K = vemio::PesqError::Kind;
    if (e.kind() == K::invalid_rate || e.kind() == K::invalid_mode || e.kind() == K::invalid_input)
      throw py::value_error(std::string("[vm.] pesq: ") + e.what());
    throw vemio::Error(std::string("[vm.] pesq: ") + e.what());
  }
}

using Pair2 = double (*)(std::span<const double>, std::span<const double>);
using Pair3 = double (*)(std::span<const double>, std::span<const double>, int);

double pesq_fn(py::handle ref, py::handle deg, py::handle sr, const std::string& mode) {
  if (mode != "wb" && mode != "nb")
    throw py::value_error("[vm.] pesq: mode must be \"wb\" or \"nb\", not \"" + mode + "\"");
  const int rate = rate_arg(sr, "pesq");
  if (rate != 8000 && rate != 16000)
    throw py::value_error("[vm.] pesq: sr must be 8000 or 16000, not " + std::to_string(rate));
  if (mode == "wb" && rate != 16000)
    throw py::value_error("[vm.] pesq: wide-band mode needs sr=16000 (use mode=\"nb\")");
  Signal r = signal(ref, "ref"), d = signal(deg, "deg");
  return compute([&] {
    const size_t n = std::min(r.span().size(), d.span().size());
    return vemio::pesq(r.span().first(n), d.span().first(n), rate,
                       mode == "wb" ? vemio::PesqMode::wide_band : vemio::PesqMode::narrow_band)
        .mos_lqo;
  });
}

// ------------------------------------------------------------------ DNSMOS

// The network side lives in vemio._dnsmos (onnxruntime); these are its two entry points.
void dnsmos_require(bool personalized) { cached("vemio._dnsmos", "require")(py::bool_(personalized)); }

// Calibrated SIG, BAK, OVRL and P.808 MOS of every window of `in`: windows x 4, row-major.
std::vector<double> dnsmos_windows(mt::DnsmosInputs&& in, bool personalized) {
  const py::ssize_t n = in.windows;
  py::array_t<float> audio = vector_array(std::move(in.audio), {n, static_cast<py::ssize_t>(mt::kDnsmosWindow)});
  py::array_t<float> mel = vector_array(std::move(in.mel), {n, mt::kDnsmosFrames, mt::kDnsmosBands});
  py::object out = cached("vemio._dnsmos", "predict")(audio, mel, py::bool_(personalized));
  CArray<double> a = c_array<double>(out);
  if (a.ndim() != 2 || a.shape(0) != n || a.shape(1) != 4)
    throw vemio::Error("[vm.] dnsmos: the networks gave scores of an unexpected shape");
  return std::vector<double>(a.data(), a.data() + a.size());
}

// Means over windows [begin, end) of `scores` (windows x 4).
std::array<double, 4> window_means(const std::vector<double>& scores, size_t begin, size_t end) {
  std::array<double, 4> m{};
  for (size_t w = begin; w < end; ++w)
    for (int k = 0; k < 4; ++k) m[k] += scores[w * 4 + k];
  for (double& v : m) v = end > begin ? v / static_cast<double>(end - begin) : std::nan("");
  return m;
}

constexpr const char* kDnsmosKeys[4] = {"sig", "bak", "ovrl", "p808"};

py::dict dnsmos_fn(py::handle deg, py::handle sr, bool personalized) {
  const int rate = rate_arg(sr, "dnsmos");
  Signal d = signal(deg, "deg");
  dnsmos_require(personalized);
  mt::DnsmosInputs in;
  try {
    py::gil_scoped_release nogil;
    in = mt::dnsmos_inputs(d.span(), rate);
  } catch (const vemio::features::FeatureError& e) {
    throw py::value_error(std::string("[vm.] dnsmos: deg: ") + e.what());
  }
  const size_t windows = static_cast<size_t>(in.windows);
  const std::array<double, 4> m = window_means(dnsmos_windows(std::move(in), personalized), 0, windows);
  py::dict out;
  for (int k = 0; k < 4; ++k) out[kDnsmosKeys[k]] = m[k];
  return out;
}

// ------------------------------------------------------------------ the batch scorer

// The measures asked for: the core's pair measures (scored against a reference) and the
// reference-free DNSMOS, with the table's columns in the order the names were given.
struct MeasurePlan {
  std::vector<mt::Measure> pair;
  bool dnsmos = false;
  std::vector<std::string> columns;
  std::vector<int> source;  // per column: a column of the pair scores (>= 0), or -1 - k for DNSMOS output k
};

constexpr const char* kDnsmosColumns[4] = {"dnsmos_sig", "dnsmos_bak", "dnsmos_ovrl", "dnsmos_p808"};

// None: every pair measure when there are references, DNSMOS alone when there are none.
MeasurePlan parse_measures(py::handle measures, bool have_refs) {
  MeasurePlan plan;
  py::list names;
  if (measures.is_none()) {
    if (have_refs)
      for (mt::Measure k : mt::all_measures()) names.append(py::str(std::string(mt::measure_name(k))));
    else
      names.append("dnsmos");
  } else if (PyUnicode_Check(measures.ptr())) {
    for (auto part : py::str(measures).attr("split")(","))
      if (py::len(part.attr("strip")())) names.append(part.attr("strip")());
  } else {
    for (auto m : measures) names.append(m);
  }
  int pair_columns = 0;
  for (auto m : names) {
    if (!PyUnicode_Check(m.ptr()))
      throw py::value_error("[vm.] score: a measure name must be a str, not " + shown(py::repr(m)).cast<std::string>());
    const std::string name = py::str(m).attr("lower")().cast<std::string>();
    if (name == "dnsmos") {
      if (plan.dnsmos) continue;
      plan.dnsmos = true;
      for (int k = 0; k < 4; ++k) {
        plan.columns.emplace_back(kDnsmosColumns[k]);
        plan.source.push_back(-1 - k);
      }
      continue;
    }
    auto found = mt::measure_from_name(name);
    if (!found) {
      std::string known;
      for (mt::Measure k : mt::all_measures()) known += (known.empty() ? "" : ", ") + std::string(mt::measure_name(k));
      throw py::value_error("[vm.] score: unknown measure " + shown(py::repr(m)).cast<std::string>() +
                            " (known: " + known + ", dnsmos)");
    }
    if (std::find(plan.pair.begin(), plan.pair.end(), *found) != plan.pair.end()) continue;
    plan.pair.push_back(*found);
    for (const std::string& c : mt::columns({*found})) {
      plan.columns.push_back(c);
      plan.source.push_back(pair_columns++);
    }
  }
  if (plan.columns.empty()) throw py::value_error("[vm.] score: measures is empty");
  if (!have_refs && !plan.pair.empty())
    throw py::value_error("[vm.] score: refs=None scores without a reference, which only dnsmos does; " +
                          std::string(mt::measure_name(plan.pair.front())) + " needs refs");
  return plan;
}

bool is_pathlike(py::handle h) {
  return PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()) || py::isinstance(h, cached("os", "PathLike"));
}

struct Inputs {
  std::vector<fs::path> ref_files, deg_files;  // file pairs, or
  std::vector<Signal> ref_arrays, deg_arrays;  // array pairs
  py::list ref_names, deg_names;               // the table's first two columns
  int rate = 0;
  size_t size() const { return deg_files.empty() ? deg_arrays.size() : deg_files.size(); }
};

// *.wav files under `folder`, by path relative to it (sorted).
std::vector<py::object> wav_files(py::handle folder) {
  std::vector<py::object> out;
  py::object files = cached("builtins", "sorted")(cached("pathlib", "Path")(folder).attr("rglob")("*.wav"));
  for (auto f : files)
    if (is_true(f.attr("is_file")())) out.push_back(py::reinterpret_borrow<py::object>(f));
  return out;
}

// Lists of paths or of arrays (then `sr` is required); `rl` is null when there is no
// reference side.
Inputs gather_lists(const py::list* rl, const py::list& dl, py::handle sr) {
  Inputs in;
  if (dl.empty()) return in;
  bool paths = true, arrays = true;
  for (const py::list* l : {rl, &dl})
    if (l)
      for (auto x : *l) (is_pathlike(x) ? arrays : paths) = false;
  const std::string sides = rl ? "refs and degs" : "degs";
  if (!paths && !arrays) throw py::value_error("[vm.] score: " + sides + " must hold either paths or arrays, not both");
  if (paths && !sr.is_none()) throw py::value_error("[vm.] score: sr is only for arrays (files carry their own rate)");
  if (!paths) {
    if (sr.is_none()) throw py::value_error("[vm.] score: arrays need the keyword sr (their sampling rate)");
    in.rate = rate_arg(sr, "score");
  }
  for (size_t i = 0; i < dl.size(); ++i) {
    const std::string at = "[" + std::to_string(i) + "]";
    if (paths) {
      if (rl) in.ref_files.push_back(to_fs_path((*rl)[i]));
      in.deg_files.push_back(to_fs_path(dl[i]));
    } else {
      if (rl) in.ref_arrays.push_back(signal((*rl)[i], ("refs" + at).c_str()));
      in.deg_arrays.push_back(signal(dl[i], ("degs" + at).c_str()));
    }
    in.ref_names.append(!rl ? py::object(py::none()) : paths ? py::object(py::str((*rl)[i])) : py::object(py::int_(i)));
    in.deg_names.append(paths ? py::object(py::str(dl[i])) : py::object(py::int_(i)));
  }
  return in;
}

// The degraded side alone, for scores without a reference: a folder of .wav files, or a list
// of paths or of arrays.
Inputs gather_degraded(py::handle degs, py::handle sr) {
  Inputs in;
  if (is_pathlike(degs)) {
    py::object dd = cached("pathlib", "Path")(degs);
    if (!is_true(dd.attr("is_dir")()))
      throw py::value_error("[vm.] score: not a folder: " + shown(dd).cast<std::string>());
    for (const py::object& f : wav_files(dd)) {
      in.deg_files.push_back(to_fs_path(f));
      in.deg_names.append(py::str(f));
      in.ref_names.append(py::none());
    }
    if (in.deg_files.empty()) throw py::value_error("[vm.] score: no .wav files in " + shown(dd).cast<std::string>());
    return in;
  }
  return gather_lists(nullptr, cached("builtins", "list")(degs), sr);
}

Inputs gather(py::handle refs, py::handle degs, py::handle sr) {
  if (refs.is_none()) return gather_degraded(degs, sr);
  Inputs in;
  if (is_pathlike(refs) || is_pathlike(degs)) {
    if (!(is_pathlike(refs) && is_pathlike(degs)))
      throw py::value_error("[vm.] score: refs and degs must both be folders or both be lists");
    py::object rd = cached("pathlib", "Path")(refs), dd = cached("pathlib", "Path")(degs);
    for (py::object d : {rd, dd})
      if (!is_true(d.attr("is_dir")()))
        throw py::value_error("[vm.] score: not a folder: " + shown(d).cast<std::string>());
    py::dict rel_deg;
    for (const py::object& f : wav_files(dd)) rel_deg[f.attr("relative_to")(dd).attr("as_posix")()] = f;
    py::set seen;
    for (const py::object& f : wav_files(rd)) {
      py::object rel = f.attr("relative_to")(rd).attr("as_posix")();
      if (!rel_deg.contains(rel))
        throw py::value_error("[vm.] score: " + shown(f).cast<std::string>() + " has no counterpart in " +
                              shown(dd).cast<std::string>());
      py::object g = rel_deg[rel];
      seen.add(rel);
      in.ref_files.push_back(to_fs_path(f));
      in.deg_files.push_back(to_fs_path(g));
      in.ref_names.append(py::str(f));
      in.deg_names.append(py::str(g));
    }
    for (auto [rel, g] : rel_deg)
      if (!seen.contains(rel))
        throw py::value_error("[vm.] score: " + shown(g).cast<std::string>() + " has no counterpart in " +
                              shown(rd).cast<std::string>());
    if (in.ref_files.empty()) throw py::value_error("[vm.] score: no .wav files in " + shown(rd).cast<std::string>());
    return in;
  }
  py::list rl = cached("builtins", "list")(refs), dl = cached("builtins", "list")(degs);
  if (rl.size() != dl.size())
    throw py::value_error("[vm.] score: refs and degs differ in length (" + std::to_string(rl.size()) + " and " +
                          std::to_string(dl.size()) + ")");
  return gather_lists(&rl, dl, sr);
}

// Runs task(i, worker) for i in [0, n) on the core pool while the calling thread advances
// `bar` and watches for Ctrl-C; the first failure is rethrown.
void run_on_pool(size_t n, int wanted, const vemio::util::IndexPool::Task& task, py::object& bar) {
  if (!n) return;
  std::unique_ptr<vemio::util::IndexPool> pool;
  {
    py::gil_scoped_release nogil;
    pool = std::make_unique<vemio::util::IndexPool>(n, vemio::util::worker_count(wanted, n), task);
  }
  size_t seen = 0;
  try {
    for (;;) {
      size_t now;
      {
        py::gil_scoped_release nogil;
        now = pool->wait(seen, std::chrono::milliseconds(100));
      }
      if (now > seen && !bar.is_none()) bar.attr("update")(now - seen);
      seen = now;
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (pool->idle()) break;
    }
    {
      py::gil_scoped_release nogil;
      pool->join();
    }
    if (seen < n && !bar.is_none()) bar.attr("update")(n - seen);
  } catch (...) {
    pool->cancel();
    {
      py::gil_scoped_release nogil;
      try {
        pool->join();
      } catch (...) {
      }
    }
    throw;
  }
}

// Files (or arrays) whose DNSMOS inputs are computed at once on the pool before the networks
// run on all their windows from this thread; bounds the memory held (about 1 MB per window).
constexpr size_t kDnsmosChunk = 16;

// DNSMOS of every degraded signal of `in`: the window features on the pool, chunk by chunk,
// then the networks in batches of windows. A signal that cannot be scored keeps NaN and its
// reason in errors[i].
void dnsmos_scores(const Inputs& in, bool personalized, int wanted, py::object& bar,
                   std::vector<std::array<double, 4>>& values, std::vector<std::string>& errors) {
  const size_t n = in.size();
  values.assign(n, {std::nan(""), std::nan(""), std::nan(""), std::nan("")});
  errors.assign(n, {});
  for (size_t b = 0; b < n; b += kDnsmosChunk) {
    const size_t e = std::min(n, b + kDnsmosChunk);
    std::vector<mt::DnsmosInputs> parts(e - b);
    py::object no_bar = py::none();
    run_on_pool(
        e - b, wanted,
        [&](size_t i, int) {
          const size_t k = b + i;
          try {
            parts[i] = in.deg_files.empty() ? mt::dnsmos_inputs(in.deg_arrays[k].span(), in.rate)
                                            : mt::dnsmos_inputs(in.deg_files[k]);
          } catch (const vemio::FileError& x) {
            errors[k] = x.what();  // names the file
          } catch (const std::exception& x) {
            errors[k] =
                (in.deg_files.empty() ? std::string() : in.deg_files[k].string() + ": ") + "dnsmos: " + x.what();
          }
        },
        no_bar);
    mt::DnsmosInputs all;
    std::vector<size_t> first(parts.size() + 1, 0);
    for (size_t i = 0; i < parts.size(); ++i) first[i + 1] = first[i] + static_cast<size_t>(parts[i].windows);
    all.windows = static_cast<int>(first.back());
    all.audio.reserve(first.back() * mt::kDnsmosWindow);
    all.mel.reserve(first.back() * mt::kDnsmosImage);
    for (mt::DnsmosInputs& p : parts) {
      all.audio.insert(all.audio.end(), p.audio.begin(), p.audio.end());
      all.mel.insert(all.mel.end(), p.mel.begin(), p.mel.end());
      p = {};
    }
    const std::vector<double> scores =
        all.windows ? dnsmos_windows(std::move(all), personalized) : std::vector<double>{};
    for (size_t i = 0; i < parts.size(); ++i)
      if (errors[b + i].empty()) values[b + i] = window_means(scores, first[i], first[i + 1]);
    if (!bar.is_none()) bar.attr("update")(e - b);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
}

py::object score(py::handle refs, py::handle degs, py::handle measures_arg, py::handle workers_arg, py::handle progress,
                 py::handle sr, bool personalized) {
  const MeasurePlan plan = parse_measures(measures_arg, !refs.is_none());
  int wanted = 0;
  if (!workers_arg.is_none()) {
    if (!is_exact_int(workers_arg) || workers_arg.cast<long long>() < 1)
      throw py::value_error("[vm.] score: workers must be a positive int, not " +
                            shown(py::repr(workers_arg)).cast<std::string>());
    wanted = static_cast<int>(std::min<long long>(workers_arg.cast<long long>(), 1024));
  }
  const bool show_bar = is_true(progress);
  Inputs in = gather(refs, degs, sr);
  const size_t n = in.size();
  if (plan.dnsmos && n) dnsmos_require(personalized);
  const size_t phases = (plan.pair.empty() ? 0 : 1) + (plan.dnsmos ? 1 : 0);
  py::object bar = show_bar && n
                       ? cached("tqdm", "tqdm")(py::arg("total") = n * phases, py::arg("desc") = "[vm.] Scoring")
                       : py::none();
  std::vector<mt::PairScore> results(n);
  std::vector<std::array<double, 4>> dnsmos_values;
  std::vector<std::string> dnsmos_errors(n);
  try {
    if (!plan.pair.empty())
      run_on_pool(
          n, wanted,
          [&](size_t i, int) {
            results[i] = in.ref_files.empty()
                             ? mt::score_pair(in.ref_arrays[i].span(), in.deg_arrays[i].span(), in.rate, plan.pair)
                             : mt::score_files(in.ref_files[i], in.deg_files[i], plan.pair);
          },
          bar);
    if (plan.dnsmos) dnsmos_scores(in, personalized, wanted, bar, dnsmos_values, dnsmos_errors);
  } catch (...) {
    if (!bar.is_none()) bar.attr("close")();
    throw;
  }
  if (!bar.is_none()) bar.attr("close")();

  py::dict table;
  table["reference"] = in.ref_names;
  table["degraded"] = in.deg_names;
  for (size_t c = 0; c < plan.columns.size(); ++c) {
    std::vector<double> v(n);
    const int src = plan.source[c];
    for (size_t i = 0; i < n; ++i) v[i] = src >= 0 ? results[i].values[src] : dnsmos_values[i][-1 - src];
    table[py::str(plan.columns[c])] = vector_array(std::move(v));
  }
  py::list errors;
  for (size_t i = 0; i < n; ++i) {
    std::string e = results[i].error;
    // an unreadable file is reported by both parts in the same words: once is enough
    if (!dnsmos_errors[i].empty() && e.find(dnsmos_errors[i]) == std::string::npos)
      e += (e.empty() ? "" : "; ") + dnsmos_errors[i];
    errors.append(shown(e));
  }
  table["error"] = errors;
  py::list order;
  order.append("reference");
  order.append("degraded");
  for (const auto& c : plan.columns) order.append(py::str(c));
  order.append("error");
  return cached("pandas", "DataFrame")(table, py::arg("columns") = order);
}

}  // namespace

PYBIND11_MODULE(metrics, m) {
  install_error_translator();
  m.doc() =
      "Speech-quality measures computed natively: PESQ, STOI and extended STOI, BSS-eval SDR,\n"
      "SI-SDR, segmental SNR, frequency-weighted segmental SNR, LLR, WSS, cepstral distance and\n"
      "the composite CSIG/CBAK/COVL; `score` runs any of them over many pairs on all cores.\n\n"
      "Signals are 1-D array-likes of any real dtype (int16 is scaled by 1/32768). A reference\n"
      "and a degraded signal of different lengths are cut to the shorter one. Every function\n"
      "releases the GIL and may be called from many threads at once.";

  m.def("pesq", &pesq_fn, py::arg("ref"), py::arg("deg"), py::arg("sr"), py::arg("mode") = "wb",
        "pesq(ref, deg, sr, mode=\"wb\") -> float\n\n"
        "PESQ MOS-LQO of `deg` against `ref`: mode \"wb\" (wide band, sr 16000) or \"nb\" (narrow\n"
        "band, sr 8000 or 16000). Raises ValueError for another rate or mode, VemioError when the\n"
        "reference holds no utterance.");
  m.def(
      "stoi",
      [](py::handle ref, py::handle deg, py::handle sr, bool extended) {
        const int rate = rate_arg(sr, "stoi");
        Signal r = signal(ref, "ref"), d = signal(deg, "deg");
        return compute([&] { return mt::stoi(r.span(), d.span(), rate, extended); });
      },
      py::arg("ref"), py::arg("deg"), py::arg("sr"), py::arg("extended") = false,
      "stoi(ref, deg, sr, extended=False) -> float\n\n"
      "Short-time objective intelligibility of `deg` against the clean `ref` (extended STOI with\n"
      "extended=True). Any rate: the signals are resampled to 10 kHz first.");
  auto pair2 = [&m](const char* name, Pair2 f, const char* doc) {
    m.def(
        name,
        [f, name](py::handle ref, py::handle est) {
          Signal r = signal(ref, "ref"), e = signal(est, "est");
          (void)name;
          return compute([&] { return f(r.span(), e.span()); });
        },
        py::arg("ref"), py::arg("est"), doc);
  };
  pair2("sdr", &mt::sdr,
        "sdr(ref, est) -> float\n\n"
        "Signal-to-distortion ratio in dB of the single-source BSS-eval decomposition: the\n"
        "estimate is projected on 512-tap delayed copies of the reference (a time-invariant\n"
        "distortion filter).");
  pair2("si_sdr", &mt::si_sdr,
        "si_sdr(ref, est) -> float\n\n"
        "Scale-invariant SDR in dB: the estimate projected on the reference (no mean removal),\n"
        "10 log10(|a ref|^2 / |a ref - est|^2) with a = <ref, est> / <ref, ref>.");
  auto pair3 = [&m](const char* name, Pair3 f, const char* doc) {
    m.def(
        name,
        [f, name](py::handle ref, py::handle deg, py::handle sr) {
          const int rate = rate_arg(sr, name);
          Signal r = signal(ref, "ref"), d = signal(deg, "deg");
          return compute([&] { return f(r.span(), d.span(), rate); });
        },
        py::arg("ref"), py::arg("deg"), py::arg("sr"), doc);
  };
  pair3("ssnr", &mt::ssnr,
        "ssnr(ref, deg, sr) -> float\n\n"
        "Segmental SNR in dB: 30 ms Hann frames with 75 % overlap, each frame's SNR limited to\n"
        "[-10, 35] dB, the last frame dropped.");
  pair3("fwsnrseg", &mt::fwsnrseg,
        "fwsnrseg(ref, deg, sr) -> float\n\n"
        "Frequency-weighted segmental SNR in dB over critical bands (weighting exponent 0.2).");
  pair3("llr", &mt::llr,
        "llr(ref, deg, sr) -> float\n\n"
        "Log-likelihood ratio of the frames' LPC models (order 10 below 10 kHz, 16 above), each\n"
        "frame limited to 2, the mean of the best 95 % of frames.");
  pair3("wss", &mt::wss,
        "wss(ref, deg, sr) -> float\n\n"
        "Weighted spectral slope distance over 25 critical bands, the mean of the best 95 % of\n"
        "frames.");
  pair3("cepstral_distance", &mt::cepstral_distance,
        "cepstral_distance(ref, deg, sr) -> float\n\n"
        "LPC-cepstrum distance, the mean of the best 95 % of frames.");
  m.def(
      "composite",
      [](py::handle ref, py::handle deg, py::handle sr) {
        const int rate = rate_arg(sr, "composite");
        if (rate != 8000 && rate != 16000)
          throw py::value_error("[vm.] composite: sr must be 8000 or 16000 (it needs PESQ), not " +
                                std::to_string(rate));
        Signal r = signal(ref, "ref"), d = signal(deg, "deg");
        const mt::Composite c = compute([&] { return mt::composite(r.span(), d.span(), rate); });
        return py::make_tuple(c.csig, c.cbak, c.covl);
      },
      py::arg("ref"), py::arg("deg"), py::arg("sr"),
      "composite(ref, deg, sr) -> (csig, cbak, covl)\n\n"
      "The composite measures of signal distortion, background intrusiveness and overall\n"
      "quality: the published regression of PESQ, LLR (without the per-frame limit), WSS and\n"
      "segmental SNR, each limited to [1, 5]. At 8 kHz the regression takes the raw narrow-band\n"
      "PESQ score, at 16 kHz the wide-band MOS-LQO.");
  m.def("dnsmos", &dnsmos_fn, py::arg("deg"), py::arg("sr"), py::arg("personalized") = false,
        "dnsmos(deg, sr, personalized=False) -> dict\n\n"
        "Reference-free DNSMOS scores of `deg`: the keys sig, bak and ovrl (the calibrated outputs\n"
        "of the SIG/BAK/OVRL network; its personalized variant with personalized=True) and p808\n"
        "(the P.808 network's MOS), each the mean over 9.01 s windows taken every second. A signal\n"
        "shorter than one window is repeated whole until it fills one. The networks are defined at\n"
        "16 kHz: `deg` at another `sr` is first resampled to 16000 Hz with the core resampler.\n\n"
        "Needs the optional extra: pip install \"vemio[dnsmos]\" (onnxruntime and the models of\n"
        "the speechmos package); ImportError without it. ValueError for an empty or non-finite\n"
        "signal.");
  m.def("score", &score, py::arg("refs"), py::arg("degs"), py::arg("measures") = py::none(),
        py::arg("workers") = py::none(), py::arg("progress") = true, py::kw_only(), py::arg("sr") = py::none(),
        py::arg("personalized") = false,
        "score(refs, degs, measures=None, workers=None, progress=True, *, sr=None, personalized=False)"
        " -> pandas.DataFrame\n\n"
        "Scores many pairs on native threads. `refs` and `degs`: equal-length lists of paths, two\n"
        "folders (their .wav files paired by relative path), or lists of arrays (then `sr` is\n"
        "required). `measures`: names among pesq, stoi, estoi, sdr, si_sdr, ssnr, fwsnrseg, llr,\n"
        "wss, cepstral_distance, composite and dnsmos (a list, or one comma-separated str); by\n"
        "default every measure but dnsmos. `workers`: threads (default: one per core).\n\n"
        "dnsmos needs no reference: it scores each degraded signal alone (columns dnsmos_sig,\n"
        "dnsmos_bak, dnsmos_ovrl and dnsmos_p808, as `dnsmos` gives them; `personalized` picks\n"
        "that network). With refs=None only dnsmos can be asked for (the default then), `degs`\n"
        "is a folder of .wav files or a list, and the `reference` column holds None. Its window\n"
        "features are computed on the native threads and the networks run on many windows at\n"
        "once; it needs the extra pip install \"vemio[dnsmos]\".\n\n"
        "One row per pair, in input order: `reference`, `degraded`, one column per measure\n"
        "(csig, cbak and covl for the composite; pesq is the wide-band MOS-LQO at 16 kHz and the\n"
        "narrow-band one at 8 kHz) and `error`. A pair that fails gets NaN in what could not be\n"
        "computed and the reason, naming the file, in `error`; the batch goes on. Wrong\n"
        "arguments raise ValueError before any work starts.");
  py::list names;
  for (const char* n : {"pesq", "stoi", "sdr", "si_sdr", "ssnr", "fwsnrseg", "llr", "wss", "cepstral_distance",
                        "composite", "dnsmos", "score"})
    names.append(n);
  m.attr("__all__") = names;
}

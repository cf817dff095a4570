// vemio.core.evaluator: PESQ, STOI and SDR of noisy and enhanced files against clean references,
// gathered into tables of per-method mean scores.
//
// The metric packages (mir_eval, pystoi, pysepm, pypesq) are optional and imported only when a
// score is asked for; check_metrics_install() probes them and tries one install of each missing
// one. AudioEvaluate is a plain Python class (its base is `object`, its state lives in the
// instance __dict__) whose methods are implemented here.
#include <array>
#include <functional>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"
#include "core_evaluator/wav_read.hpp"

namespace py = pybind11;
using namespace vemio::py_common;
using vemio::evaluator::read_wav;

namespace {

const char* const kModule = "vemio.core.evaluator";

const char* const kUsage =
    " AudioEvaluate 音頻評估\n"
    "評估指標： PESQ, STOI, SDR\n"
    "\n"
    "使用方法\n"
    "    evaluator = AudioEvaluate(clean_list, noisy_list)\n"
    "        :clean_list: 為乾淨(無噪聲)音頻列表\n"
    "        :noisy_list: 為原始(帶噪聲)音頻列表\n"
    "\n"
    "    evaluator.eval(enhance_method, enhanced_list)\n"
    "        :enhance_method: 可自定任何文字, 方便辨別\n"
    "        :enhanced_list: 為處理後(目標)音頻列表, 與clean_list, noisy_list同時評估\n"
    "\n"
    "    df = evaluator.get_df()\n"
    "        :return df: 返回評估結果, 型態為pandas.Dataframe\n";

// Module globals are looked up at call time, as a Python module's own code would, so that
// `vemio.core.evaluator.warn = ...` or a replaced `check_metrics_install` take effect.
py::object module_attr(const char* name) { return py::module_::import(kModule).attr(name); }

void say(const char* printer, const py::object& text) { module_attr(printer)(text); }

// ------------------------------------------------------------------ metric availability

enum class Probe { ok, missing, broken };

// `import module` (attr == nullptr) or `from module import attr`.
Probe try_import(const char* module, const char* attr) {
  try {
    py::list fromlist;
    if (attr) fromlist.append(attr);
    py::object m = cached("builtins", "__import__")(module, py::none(), py::none(), fromlist, 0);
    if (attr && !py::hasattr(m, attr)) return Probe::broken;  // an ImportError in Python
    return Probe::ok;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ModuleNotFoundError)) return Probe::missing;
    if (e.matches(PyExc_Exception)) return Probe::broken;
    throw;  // KeyboardInterrupt and friends are the user's, not a probe result
  }
}

// Installs into the interpreter that runs vemio (a bare `pip` on the search path may belong to
// another one), without a shell. The output goes to the terminal; the exit status is not
// trusted: the import that follows decides.
void run_installer(const char* requirement) {
  py::object sys = py::module_::import("sys");
  try {
    sys.attr("stdout").attr("flush")();
  } catch (py::error_already_set&) {
  }
  py::list argv;
  argv.append(sys.attr("executable"));
  for (const char* a : {"-m", "pip", "install", requirement}) argv.append(a);
  try {
    py::module_::import("subprocess").attr("call")(argv);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

bool probe(const char* module, const char* attr, const char* warning, const char* requirement) {
  switch (try_import(module, attr)) {
    case Probe::ok:
      return true;
    case Probe::broken:
      return false;
    case Probe::missing:
      break;
  }
  say("warn", py::str(warning));
  run_installer(requirement);
  py::module_::import("importlib").attr("invalidate_caches")();
  return try_import(module, attr) == Probe::ok;
}

py::tuple check_metrics_install() {
  const bool sdr_ok = probe("mir_eval", nullptr, "No module named 'mir_eval' !!", "mir_eval");
  const bool stoi_ok = probe("pystoi", "stoi", "No mself.odule named 'pystoi' !!", "pystoi");
  const bool pesq_ok = probe("pysepm", nullptr, "No mself.odule named 'pypesq' !!",
                             "https://github.com/schmiph2/pysepm/archive/master.zip");
  return py::make_tuple(pesq_ok, stoi_ok, sdr_ok);
}

// ------------------------------------------------------------------ per-file scores

// Re-raises the active Python error with `context` (which names the files) in front of its
// message, keeping its type and chaining the original as the cause. Errors whose type cannot be
// rebuilt from one message, and non-Exception errors, go on unchanged.
[[noreturn]] void rethrow_with_context(py::error_already_set& e, const py::str& context) {
  if (!e.matches(PyExc_Exception)) throw e;
  py::object type = e.type(), value = e.value();
  py::object renamed;
  try {
    renamed = type(context + py::str(": ") + py::str(value));
    if (!py::isinstance(renamed, type)) renamed = py::object();
  } catch (py::error_already_set&) {
    renamed = py::object();
  }
  if (!renamed) throw e;
  renamed.attr("__cause__") = value;
  PyErr_SetObject(type.ptr(), renamed.ptr());
  throw py::error_already_set();
}

// A path as messages show it: str() of the entry, so a name that is not UTF-8 keeps its
// undecodable bytes as the surrogates Python uses for them (no conversion to UTF-8 here).
py::str shown(const py::handle& p) { return py::str(p); }

[[noreturn]] void raise_text(PyObject* type, const py::str& text) {
  PyErr_SetObject(type, text.ptr());
  throw py::error_already_set();
}

// The argument that names `p` to pesq.exe: the file system's bytes of the path. A relative
// name that begins like an option ("+name.wav", "-h") is passed as "./+name.wav", which names
// the same file, so the argument list keeps its plain form "+16000 REF DEG".
py::bytes program_argument(const py::handle& p) {
  std::string bytes = vemio::py_common::to_fs_path(p).native();
  if (!bytes.empty() && (bytes[0] == '+' || bytes[0] == '-')) bytes.insert(0, "./");
  return py::bytes(bytes);
}

enum class Measure { sdr, stoi, pesq_program, pesq_package };

struct MeasureText {
  const char* base_col;
  const char* enh_col;
  const char* banner;  // nullptr: none
  const char* label;
  const char* printer;
  const char* name;
};

MeasureText text_of(Measure m) {
  switch (m) {
    case Measure::sdr:
      return {"Baseline-SDR", "Enhance-SDR", "==== Evaluate SDR ====", "sdr_mean:\n", "cya", "SDR"};
    case Measure::stoi:
      return {"Baseline-STOI", "Enhance-STOI", "==== Evaluate STOI ====", "stoi_mean:\n", "cya", "STOI"};
    case Measure::pesq_program:
      return {"Baseline-PESQ", "Enhance-PESQ", "==== Evaluate PESQ ====", "pesq_mean:\n", "cya", "PESQ"};
    case Measure::pesq_package:
      return {"Baseline-PESQ", "Enhance-PESQ", nullptr, "pesq_mean:\n", "blu", "PESQ"};
  }
  return {};
}

// The last line pesq.exe wrote, as a file object's readlines()[-1] would give it (universal
// newlines), or nothing when it wrote nothing.
std::optional<std::string> last_output_line(std::string out) {
  std::string text;
  text.reserve(out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r') {
      text += '\n';
      if (i + 1 < out.size() && out[i + 1] == '\n') ++i;
    } else {
      text += out[i];
    }
  }
  if (text.empty()) return std::nullopt;
  std::string body = text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
  const size_t nl = body.rfind('\n');
  return nl == std::string::npos ? body : body.substr(nl + 1);
}

// The score on a pesq.exe result line: everything up to the last "= " goes, the rest must be
// one number.
std::optional<double> parse_score_line(const std::string& line) {
  std::string rest = line;
  const size_t eq = rest.rfind("= ");
  if (eq != std::string::npos) rest = rest.substr(eq + 2);
  try {
    return py::float_(py::str(rest)).cast<double>();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    return std::nullopt;
  }
}

// Runs `pesq.exe +16000 ref deg` without a shell and returns the score on its last line.
std::optional<double> run_pesq_program(const py::object& program, const py::object& ref, const py::object& deg) {
  py::object subprocess = py::module_::import("subprocess");
  py::list argv;
  argv.append(program);
  argv.append(py::bytes("+16000"));
  argv.append(program_argument(ref));
  argv.append(program_argument(deg));
  py::object done = subprocess.attr("run")(argv, py::arg("stdout") = subprocess.attr("PIPE"));
  py::bytes raw = done.attr("stdout");
  auto line = last_output_line(std::string(raw));
  if (!line) {
    raise_text(PyExc_ValueError,
               py::str("[vm.] pesq.exe printed nothing (exit status {}) for {} and {}; no PESQ score to read")
                   .format(done.attr("returncode"), shown(ref), shown(deg)));
  }
  return parse_score_line(*line);
}

py::object find_pesq_program() {
  py::object found = cached("shutil", "which")("pesq.exe");
  if (found.is_none()) {
    PyErr_SetString(PyExc_FileNotFoundError,
                    "[vm.] pesq.exe was not found on the search path (PATH); it is needed for PESQ");
    throw py::error_already_set();
  }
  return cached("os", "fsencode")(found);
}

// Float64 column when every value is a number; otherwise the values as they are.
py::object score_column(const py::list& values) {
  try {
    return py::module_::import("numpy").attr("asarray")(values, py::arg("dtype") = "float64");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return values;
  }
}

// Common frame of the four scorers: walk the triples in step, score each, tabulate, average the
// complete rows, print the summary and return the two means.
// Runs `f`; a Python error it raises is re-raised naming the pair (`context`).
template <typename F>
py::object with_context(F&& f, const py::str& context) {
  try {
    return f();
  } catch (py::error_already_set& err) {
    rethrow_with_context(err, context);
  }
}

// A measure computed on the decoded files: `check` sees the three waves before anything is
// scored (SDR validates both pairs first and may reshape them), `score` rates one degraded
// wave against the clean one at the clean file's rate.
struct WaveMeasure {
  using Waves = std::array<py::object, 3>;  // clean, noisy, enhanced
  std::function<void(Waves&, const std::function<void(int, const std::function<void()>&)>&)> check;
  std::function<py::object(const py::object& clean, const py::object& deg, const py::object& sr)> score;
};

// The measure's package is imported here, at call time, before the banner.
WaveMeasure wave_measure(Measure m) {
  auto import_from = [](const char* module, const char* name) {
    return cached("builtins", "__import__")(module, py::none(), py::none(), py::make_tuple(name), 0).attr(name);
  };
  WaveMeasure w;
  switch (m) {
    case Measure::sdr: {
      py::object sep = py::module_::import("mir_eval").attr("separation");
      w.check = [sep](WaveMeasure::Waves& v, const auto& guarded) {
        for (auto& x : v) x = x.attr("reshape")(1, -1);  // one source of all samples
        for (int k : {1, 2}) guarded(k, [&] { sep.attr("validate")(v[0], v[k]); });
      };
      w.score = [sep](const py::object& c, const py::object& d, const py::object&) -> py::object {
        py::tuple r = sep.attr("bss_eval_sources")(c, d);
        return py::float_(r[0][py::int_(0)]);
      };
      break;
    }
    case Measure::stoi: {
      py::object stoi = import_from("pystoi", "stoi");
      w.score = [stoi](const py::object& c, const py::object& d, const py::object& sr) -> py::object {
        return py::float_(stoi(c, d, sr, py::arg("extended") = false));
      };
      break;
    }
    case Measure::pesq_package: {
      py::object pesq = import_from("pypesq", "pesq");
      w.score = [pesq](const py::object& c, const py::object& d, const py::object& sr) -> py::object {
        return pesq(c, d, sr, "wb");
      };
      break;
    }
    case Measure::pesq_program:
      break;
  }
  return w;
}

// Baseline and enhanced score of one triple through pesq.exe (NaN for both when either score
// line does not parse).
std::pair<py::object, py::object> pesq_program_scores(py::object& program, const py::object& cln, const py::object& noy,
                                                      const py::object& enh) {
  if (!program) program = find_pesq_program();
  const double nan = std::nan("");
  auto b = run_pesq_program(program, cln, noy);
  auto h = run_pesq_program(program, cln, enh);
  return {py::float_(b && h ? *b : nan), py::float_(b && h ? *h : nan)};
}

// Baseline and enhanced score of one triple by a measure on the decoded files.
std::pair<py::object, py::object> wave_scores(const WaveMeasure& w, const char* name, const py::object& cln,
                                              const py::object& noy, const py::object& enh) {
  py::tuple c = read_wav(cln);
  py::object sr = c[0];
  WaveMeasure::Waves waves{c[1], read_wav(noy)[1], read_wav(enh)[1]};
  const py::object degraded[3] = {cln, noy, enh};
  auto against = [&](int k) {
    return py::str("[vm.] {} of {} against {}").format(name, shown(degraded[k]), shown(cln));
  };
  if (w.check)
    w.check(waves, [&](int k, const std::function<void()>& f) {
      with_context(
          [&] {
            f();
            return py::none();
          },
          against(k));
    });
  auto one = [&](int k) { return with_context([&] { return w.score(waves[0], waves[k], sr); }, against(k)); };
  py::object base = one(1);
  return {base, one(2)};
}

// One measure over the whole evaluation set: a row per (clean, noisy, enhanced) triple, the
// table's means printed and returned.
py::object score_files(py::object self, Measure m) {
  const MeasureText t = text_of(m);
  const WaveMeasure wave = wave_measure(m);
  if (t.banner) say("pur", py::str(t.banner));

  py::list names, bases, enhs;
  py::object program;
  py::object triples =
      cached("builtins", "zip")(self.attr("clean_list"), self.attr("noisy_list"), self.attr("enhanced_list"));
  py::object bar = cached("tqdm", "tqdm")(triples);
  try {
    for (auto item : bar) {
      py::tuple tri = py::reinterpret_borrow<py::tuple>(item);
      py::object cln = tri[0], noy = tri[1], enh = tri[2];
      auto [base, enhanced] = m == Measure::pesq_program ? pesq_program_scores(program, cln, noy, enh)
                                                         : wave_scores(wave, t.name, cln, noy, enh);
      names.append(cached("os.path", "basename")(cln));
      bases.append(base);
      enhs.append(enhanced);
    }
  } catch (...) {
    try {
      bar.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }

  py::dict columns;
  columns["wave"] = names;
  columns[t.base_col] = score_column(bases);
  columns[t.enh_col] = score_column(enhs);
  py::list order;
  for (const char* c : {"wave", t.base_col, t.enh_col}) order.append(c);
  py::object table = cached("pandas", "DataFrame")(columns, py::arg("columns") = order);
  py::list score_cols;
  score_cols.append(t.base_col);
  score_cols.append(t.enh_col);
  py::object means = table.attr("dropna")().attr("__getitem__")(score_cols).attr("mean")();
  say(t.printer, py::str(t.label) + py::str(means));
  return means;
}

// ------------------------------------------------------------------ AudioEvaluate

py::object numpy() { return py::module_::import("numpy"); }

py::object round4(const py::handle& v) { return numpy().attr("around")(v, 4); }

void init(py::object self, py::object clean_list, py::object noisy_list) {
  self.attr("enhanced_list") = py::none();
  self.attr("clean_list") = clean_list;
  self.attr("noisy_list") = noisy_list;
  py::tuple status = module_attr("check_metrics_install")();
  if (py::len(status) != 3) throw py::value_error("check_metrics_install must return three flags");
  self.attr("pesq_status") = status[0];
  self.attr("stoi_status") = status[1];
  self.attr("sdr_status") = status[2];
  py::dict scores;
  scores["Enh_method"] = py::list();
  if (is_true(status[0])) scores["PESQ"] = py::list();
  if (is_true(status[1])) scores["STOI"] = py::list();
  if (is_true(status[2])) scores["SDR"] = py::list();
  self.attr("score_dict") = scores;
}

py::object stem_of(const py::handle& p) {
  if (py::hasattr(p, "stem")) return p.attr("stem");
  return cached("pathlib", "PurePath")(p).attr("stem");
}

// Two values out of a scorer's result, as `a, b = result` would unpack them.
std::pair<py::object, py::object> unpack2(const py::object& means) {
  py::list v(means);
  if (v.size() != 2) throw py::value_error("a scorer must give two means (baseline, enhanced)");
  return {v[0], v[1]};
}

void eval(py::object self, py::object enhance_method, py::object enhanced_list) {
  py::list enh_items(enhanced_list);
  py::list enh_names;
  for (auto e : enh_items) enh_names.append(stem_of(e));
  py::object noisy = self.attr("noisy_list");
  if (static_cast<size_t>(py::len(noisy)) != enh_items.size() && assertions_enabled())
    raise_assertion("Check number of files");

  // Position i of the reordered list holds the enhanced file whose stem is that of noisy file i
  // (the first such file when several share a stem).
  py::dict first_at;
  for (size_t i = 0; i < enh_names.size(); ++i)
    if (!first_at.contains(enh_names[i])) first_at[enh_names[i]] = py::int_(i);
  std::vector<size_t> index;
  for (auto n : noisy) {
    py::object stem = stem_of(n);
    if (!first_at.contains(stem))
      raise_text(PyExc_ValueError, py::str("{!r} is not in list (no enhanced file for {})").format(stem, shown(n)));
    index.push_back(first_at[stem].cast<size_t>());
  }
  py::object reordered = numpy().attr("empty")(index.size(), py::arg("dtype") = "object");
  for (size_t i = 0; i < index.size(); ++i) reordered.attr("__setitem__")(i, enh_items[index[i]]);

  // Scores land on the object only when every measure succeeded, so a failed call leaves the
  // object exactly as it was.
  py::object previous = self.attr("enhanced_list");
  self.attr("enhanced_list") = reordered;
  struct Result {
    const char* key;
    const char* status;
    const char* scorer;
    const char* base_attr;
    std::optional<std::pair<py::object, py::object>> means;
  };
  Result results[] = {
      {"PESQ", "pesq_status", "_AudioEvaluate__pesq_score", "base_pesq", {}},
      {"STOI", "stoi_status", "_AudioEvaluate__stoi_score", "base_stoi", {}},
      {"SDR", "sdr_status", "_AudioEvaluate__sdr_score", "base_sdr", {}},
  };
  py::dict scores;
  py::list labels;
  std::vector<py::list> columns;
  try {
    for (auto& r : results)
      if (is_true(self.attr(r.status))) r.means = unpack2(self.attr(r.scorer)());
    scores = self.attr("score_dict");
    labels = scores["Enh_method"];
    for (auto& r : results)
      if (r.means) columns.push_back(scores[r.key]);
  } catch (...) {
    self.attr("enhanced_list") = previous;
    throw;
  }
  labels.append(enhance_method);
  size_t k = 0;
  for (auto& r : results) {
    if (r.means) {
      self.attr(r.base_attr) = r.means->first;
      columns[k++].append(round4(r.means->second));
    } else {
      self.attr(r.base_attr) = py::list();
    }
  }
}

// A baseline counts as computed when it holds a value at all, zero included; an empty list (or
// None) marks a measure that was not computed.
bool has_baseline(const py::handle& v) {
  if (v.is_none()) return false;
  if (PyList_Check(v.ptr()) || PyTuple_Check(v.ptr())) return py::len(v) != 0;
  return true;
}

py::object get_df(py::object self) {
  struct Row {
    const char* key;
    py::object base;
  };
  Row rows[] = {{"PESQ", self.attr("base_pesq")}, {"STOI", self.attr("base_stoi")}, {"SDR", self.attr("base_sdr")}};
  bool any = false;
  for (auto& r : rows) any = any || has_baseline(r.base);
  if (!any) return py::list();
  py::dict scores = self.attr("score_dict");
  py::list labels = scores["Enh_method"];
  std::vector<std::pair<py::list, py::object>> add;
  for (auto& r : rows)
    if (has_baseline(r.base)) add.emplace_back(scores[r.key], round4(r.base));
  labels.append("Baseline");
  for (auto& [column, value] : add) column.append(value);
  return cached("pandas", "DataFrame").attr("from_dict")(scores, py::arg("orient") = "columns");
}

py::str repr(py::object self) {
  auto count = [](const py::object& v) -> std::string {
    try {
      return std::to_string(py::len(v));
    } catch (py::error_already_set&) {
      return "?";
    }
  };
  std::string methods = "[]";
  try {
    methods = py::repr(self.attr("score_dict")["Enh_method"]).cast<std::string>();
  } catch (py::error_already_set&) {
  }
  return py::str("<AudioEvaluate: " + count(self.attr("clean_list")) + " clean, " + count(self.attr("noisy_list")) +
                 " noisy, methods " + methods + ">");
}

// ------------------------------------------------------------------ eval_metrics

py::tuple eval_metrics(py::object rate, py::object ref, py::object deg) {
  py::tuple status = module_attr("check_metrics_install")();
  const bool pesq_ok = is_true(status[0]), stoi_ok = is_true(status[1]), sdr_ok = is_true(status[2]);
  py::object pesq_base = py::none(), stoi_base = py::none(), sdr_base = py::none();
  const py::ssize_t lr = py::len(ref), ld = py::len(deg);
  if (lr > ld)
    ref = ref[py::slice(0, ld, 1)];
  else
    deg = deg[py::slice(0, lr, 1)];
  if (pesq_ok) pesq_base = py::module_::import("pysepm").attr("pesq")(ref, deg, rate)[py::int_(1)];
  if (stoi_ok) {
    py::object stoi =
        cached("builtins", "__import__")("pystoi", py::none(), py::none(), py::make_tuple("stoi"), 0).attr("stoi");
    stoi_base = stoi(ref, deg, rate, py::arg("extended") = false);
  }
  if (sdr_ok) {
    py::object sep = py::module_::import("mir_eval").attr("separation");
    py::object r = numpy().attr("asarray")(ref).attr("reshape")(1, -1);
    py::object d = numpy().attr("asarray")(deg).attr("reshape")(1, -1);
    sep.attr("validate")(r, d);
    py::tuple res = sep.attr("bss_eval_sources")(r, d);
    sdr_base = res[0][py::int_(0)];
  }
  return py::make_tuple(pesq_base, stoi_base, sdr_base);
}

template <typename F, typename... Extra>
void add_method(py::object& cls, const char* attr, const char* name, F&& f, const char* doc, Extra... extra) {
  cls.attr(attr) = py::cpp_function(std::forward<F>(f), py::name(name), py::is_method(cls), doc, extra...);
}

}  // namespace

PYBIND11_MODULE(evaluator, m) {
  install_error_translator();
  m.doc() =
      "Quality evaluation: PESQ, STOI and SDR of noisy and enhanced speech against clean\n"
      "references, collected into tables of per-method means.";

  py::module_ util = py::module_::import("vemio.util");
  for (const char* name : {"warn", "pur", "cya", "blu"}) m.attr(name) = util.attr(name);

  m.def("check_metrics_install", &check_metrics_install,
        "Probe mir_eval (SDR), pystoi (STOI) and pysepm (PESQ), trying one install of each\n"
        "missing package; return the availability flags (PESQ_OK, STOI_OK, SDR_OK).");
  m.def("eval_metrics", &eval_metrics, py::arg("rate"), py::arg("ref"), py::arg("deg"),
        "Score one degraded signal against its reference: (PESQ, STOI, SDR), None for a measure\n"
        "whose package is unavailable. The longer signal is cut to the shorter one's length.");
  m.def("_read_wav", &read_wav, py::arg("path"),
        "(rate, samples) of a WAV file, samples in the stored type (int16 for 16-bit PCM).");

  py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  py::object type_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::dict ns;
  ns["__doc__"] = py::str(kUsage);
  ns["__module__"] = kModule;
  ns["__qualname__"] = "AudioEvaluate";
  py::object cls = type_type("AudioEvaluate", py::make_tuple(object_type), ns);

  // pybind11 treats a function named "__init__" as the constructor of one of its own classes;
  // this class is a plain one, so the native function carries another name.
  add_method(cls, "__init__", "init", &init, "Keep the clean and noisy file lists and probe the metric packages.",
             py::arg("clean_list"), py::arg("noisy_list"));
  add_method(cls, "eval", "eval", &eval,
             "Score one enhancement method: reorder `enhanced_list` to follow the noisy files by\n"
             "stem, score PESQ, STOI and SDR (those available) and add a row of enhanced means.",
             py::arg("enhance_method"), py::arg("enhanced_list"));
  add_method(cls, "get_df", "get_df", &get_df,
             "Add a 'Baseline' row (noisy means of the latest eval) and return the table as a\n"
             "pandas DataFrame; an empty list when no baseline was computed.");
  add_method(cls, "__repr__", "__repr__", &repr, "");
  add_method(
      cls, "_AudioEvaluate__sdr_score", "__sdr_score", [](py::object self) { return score_files(self, Measure::sdr); },
      "Mean SDR (mir_eval) of the set.");
  add_method(
      cls, "_AudioEvaluate__stoi_score", "__stoi_score",
      [](py::object self) { return score_files(self, Measure::stoi); }, "Mean STOI (pystoi) of the set.");
  add_method(
      cls, "_AudioEvaluate__pesq_score", "__pesq_score",
      [](py::object self) { return score_files(self, Measure::pesq_program); },
      "Mean PESQ of the set, scored by the pesq.exe program.");
  add_method(
      cls, "_AudioEvaluate__pesq_score_v2", "__pesq_score_v2",
      [](py::object self) { return score_files(self, Measure::pesq_package); },
      "Mean PESQ of the set, scored by the pypesq package.");
  cls.attr("eval_metrics") = m.attr("eval_metrics");
  m.attr("AudioEvaluate") = cls;

  py::list all;
  all.append("AudioEvaluate");
  all.append("eval_metrics");
  m.attr("__all__") = all;
}

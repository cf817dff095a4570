// vemio.core.synth: the Synthesizer class, which pairs clean utterances with noise recordings
// and SNRs, names every mixture and renders the job list through the native mixer.
#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "common.hpp"
#include "vemio/audio/audio.hpp"
#include "vemio/synth/synth.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
using namespace vemio::py_common;
namespace audio = vemio::audio;
namespace synth = vemio::synth;

namespace {

const char* const kModule = "vemio.core.synth";

// ------------------------------------------------------------------ small Python helpers

bool compare(py::handle a, py::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object Path(py::handle h) { return cached("pathlib", "Path")(h); }
py::object np(const char* attr) { return cached("numpy", attr); }
py::object builtin(const char* attr) { return cached("builtins", attr); }
// Names the module imported from elsewhere (check_input, load_waves, warn), looked up at call
// time so that they can be replaced on the module.
py::object module_attr(const char* attr) { return py::module_::import(kModule).attr(attr); }

[[noreturn]] void raise_py(PyObject* type, const py::str& message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

std::string type_name(py::handle h) { return py::str(py::type::of(h).attr("__name__")).cast<std::string>(); }

py::str text(py::handle number) { return py::str(number); }

// `value` when it can be iterated, else a one-element list of it.
py::object as_sequence(py::object value) {
  if (py::hasattr(value, "__iter__")) return value;
  py::list l;
  l.append(value);
  return l;
}

// An SNR that names no level: NaN, an infinity (or a number too large for a double) or a
// complex number. Whatever is no number at all is left to the callers' own type checks.
bool is_bad_snr(py::handle v) {
  if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr())) return false;
  if (PyComplex_Check(v.ptr()) ||
      (py::isinstance(v, cached("numbers", "Complex")) && !py::isinstance(v, cached("numbers", "Real"))))
    return true;
  if (!PyNumber_Check(v.ptr())) return false;
  PyObject* f = PyNumber_Float(v.ptr());
  if (!f) {
    const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
    if (!overflow && !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
      throw py::error_already_set();
    PyErr_Clear();
    return overflow;
  }
  const double d = PyFloat_AS_DOUBLE(f);
  Py_DECREF(f);
  return !std::isfinite(d);
}

[[noreturn]] void refuse_snr(const char* who, const py::str& where, py::handle v) {
  raise_py(PyExc_ValueError, py::str("[vm.] ") + py::str(who) + py::str(": invalid SNR ") + shown(v) + py::str(" in ") +
                                 where + py::str(": an SNR must be a finite real number of dB"));
}

// Refuses the SNR sequence `snrs` (argument `arg`) when one of them names no level. A one-shot
// iterator, and an object that cannot be iterated after all, are left alone: going through
// them would consume them, and what they hold fails later in the synthesis as it always did.
void check_snrs(const char* who, const char* arg, py::handle snrs) {
  PyObject* it = PyObject_GetIter(snrs.ptr());
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    return;
  }
  py::object iter = py::reinterpret_steal<py::object>(it);
  if (iter.is(snrs)) return;
  for (auto v : iter)
    if (is_bad_snr(v)) refuse_snr(who, py::str(arg), v);
}

// SNR tags of the output names: -5 -> "n5" (syn) or "n5dB" (extra mode); 5 -> "5dB".
py::str snr_tag(py::handle snr, bool db_when_negative) {
  if (compare(snr, py::int_(0), Py_LT)) {
    py::str t = py::str("n") + text(builtin("abs")(snr));
    return db_when_negative ? py::str(t + py::str("dB")) : t;
  }
  return text(snr) + py::str("dB");
}

// Path(x).stem, computed once per object during one naming pass.
class Stems {
 public:
  py::str operator()(py::handle p) {
    auto it = memo_.find(p.ptr());
    if (it != memo_.end()) return it->second;
    keep_.append(p);
    py::str s = Path(p).attr("stem");
    memo_.emplace(p.ptr(), s);
    return s;
  }

 private:
  py::list keep_;  // the keys stay alive while memoised
  std::unordered_map<PyObject*, py::str> memo_;
};

py::str join3(const py::str& a, const py::str& b, const py::str& c) {
  return py::str("_").attr("join")(py::make_tuple(a, b, c));
}

py::object with_wav_suffix(py::object p) { return p.attr("with_suffix")(".wav"); }

py::list zip_jobs(py::object out, py::object cln, py::object nos, py::object snr) {
  return py::list(builtin("zip")(out, cln, nos, snr));
}

// ------------------------------------------------------------------ folder safety

// What deleting a folder must not take along: the home folder, a file-system root, the input
// folders (and the working folder), and every input file, compared by their resolved paths so
// that a link into the folder, or a file in a linked folder, counts where it really lies.
struct Protected {
  std::vector<std::pair<std::string, py::object>> folders;           // label -> folder argument
  std::vector<std::pair<std::string, std::vector<fs::path>>> files;  // label -> input files
};

void add_files(Protected& p, const std::string& label, py::handle files) {
  std::vector<fs::path> paths;
  for (auto f : files) {
    try {
      paths.push_back(to_fs_path(f));
    } catch (py::error_already_set&) {  // not a path: the renderer reports it
    } catch (py::builtin_exception&) {
    }
  }
  p.files.emplace_back(label, std::move(paths));
}

// The user's home folder as Path.home() gives it, and as the account database has it.
std::vector<fs::path> home_folders() {
  std::vector<fs::path> homes;
  auto add = [&](auto get) {
    try {
      homes.push_back(to_fs_path(get()));
    } catch (py::error_already_set&) {
    } catch (py::builtin_exception&) {
    }
  };
  // py::object, not the attribute accessor: an accessor would outlive the record it points into
  add([]() -> py::object { return cached("pathlib", "Path").attr("home")(); });
  add([]() -> py::object { return cached("pwd", "getpwuid")(cached("os", "getuid")()).attr("pw_dir"); });
  return homes;
}

// Refuses to delete `target` when that would lose more than earlier outputs.
void guard_delete(const char* who, py::handle target, const Protected& protect) {
  const fs::path t = to_fs_path(target);
  auto refuse = [&](const py::str& why) {
    raise_py(PyExc_ValueError, py::str("[vm.] ") + py::str(who) + py::str(": refusing to delete the output folder ") +
                                   shown(t) + py::str(": ") + why);
  };
  for (const fs::path& home : home_folders())
    if (synth::is_same_or_ancestor(t, home)) refuse(py::str("it is or contains the home folder ") + shown(home));
  if (synth::is_filesystem_root(t)) refuse(py::str("it is the root of a file system"));
  for (const auto& [label, folder] : protect.folders) {
    if (folder.is_none()) continue;
    fs::path f;
    try {
      f = to_fs_path(folder);
    } catch (py::error_already_set&) {
      continue;
    } catch (py::builtin_exception&) {
      continue;
    }
    if (synth::is_same_or_ancestor(t, f))
      refuse(py::str("it is or contains the ") + py::str(label) + py::str(" folder ") + shown(f));
  }
  for (const auto& [label, files] : protect.files) {
    const std::ptrdiff_t i = synth::first_inside(t, files);
    if (i < 0) continue;
    const fs::path& f = files[static_cast<size_t>(i)];
    py::str why = py::str("it contains the ") + py::str(label) + py::str(" file ") + shown(f);
    std::error_code ec;
    const fs::path real = synth::real_path(f), plain = fs::absolute(f, ec).lexically_normal();
    if (!ec && real != plain) why = why + py::str(", which is ") + shown(real);
    refuse(why);
  }
}

bool is_nonempty_dir(py::handle p) {
  py::object path = Path(p);
  if (!is_true(path.attr("is_dir")())) return false;
  return py::len(cached("os", "listdir")(path)) > 0;
}

// ------------------------------------------------------------------ rendering

// Exactly four fields, as tuple unpacking wants them.
py::list unpack4(py::handle job) {
  py::list fields(py::reinterpret_borrow<py::object>(job));
  const size_t n = fields.size();
  if (n > 4) throw py::value_error("too many values to unpack (expected 4)");
  if (n < 4) throw py::value_error("not enough values to unpack (expected 4, got " + std::to_string(n) + ")");
  return fields;
}

// Converts the Python job list into native jobs and draws each job's noise offset from numpy's
// global generator, in job order, in this thread (lengths at 16 kHz from the file headers).
std::vector<synth::Job> prepare_jobs(py::handle job_list, const std::vector<bool>& noise_only) {
  std::vector<synth::Job> jobs;
  std::unordered_map<std::string, int64_t> lengths;
  auto length_of = [&](const fs::path& f) {
    auto it = lengths.find(f.string());
    if (it != lengths.end()) return it->second;
    int64_t n;
    {
      py::gil_scoped_release nogil;
      n = synth::length_at_rate(f);
    }
    lengths.emplace(f.string(), n);
    return n;
  };
  py::object randint = cached("numpy.random", "randint");
  size_t i = 0;
  for (auto item : job_list) {
    py::list f = unpack4(item);
    synth::Job j;
    j.out = to_fs_path(f[0]);
    j.clean = to_fs_path(f[1]);
    j.noise = to_fs_path(f[2]);
    if (!PyNumber_Check(f[3].ptr()) || PyUnicode_Check(f[3].ptr()))
      throw py::type_error("SNR must be a number, not " + type_name(f[3]));
    if (is_bad_snr(f[3])) refuse_snr("syn_waves", py::str("the job of ") + shown(j.out), f[3]);
    j.snr_db = py::float_(f[3]).cast<double>();
    j.noise_only = i < noise_only.size() && noise_only[i];
    j.clean_len = length_of(j.clean);
    j.noise_len = length_of(j.noise);
    if (j.clean_len == 0 && j.noise_len == 0)
      raise_py(PyExc_ValueError,
               py::str("[vm.] syn_waves: empty audio files: ") + shown(j.clean) + py::str(", ") + shown(j.noise));
    if (j.clean_len == 0)
      raise_py(PyExc_ValueError, py::str("[vm.] syn_waves: empty clean audio file: ") + shown(j.clean));
    if (j.noise_len == 0)
      raise_py(PyExc_ValueError, py::str("[vm.] syn_waves: empty noise audio file: ") + shown(j.noise));
    if (synth::needs_offset_draw(j.clean_len, j.noise_len))
      j.offset = randint(1, j.noise_len - j.clean_len + 1).cast<int64_t>();
    jobs.push_back(std::move(j));
    ++i;
  }
  return jobs;
}

void render_jobs(py::handle job_list, const std::vector<bool>& noise_only, bool pooled, bool show_bar) {
  std::vector<synth::Job> jobs = prepare_jobs(job_list, noise_only);
  const size_t n = jobs.size();
  py::object bar =
      show_bar ? cached("tqdm", "tqdm")(py::arg("total") = n, py::arg("desc") = "Audio synthesis") : py::none();
  auto advance = [&](size_t k) {
    if (k && !bar.is_none()) bar.attr("update")(k);
  };
  synth::Batch batch(std::move(jobs));
  try {
    if (!pooled) {
      for (;;) {
        bool more;
        {
          py::gil_scoped_release nogil;
          more = batch.run_next();
        }
        if (!more) break;
        advance(1);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      }
    } else {
      {
        py::gil_scoped_release nogil;
        batch.start(8);
      }
      size_t shown = 0;
      for (;;) {
        size_t now;
        {
          py::gil_scoped_release nogil;
          now = batch.wait(shown, std::chrono::milliseconds(100));
        }
        advance(now - shown);
        shown = now;
        if (PyErr_CheckSignals() != 0) {
          batch.cancel();
          py::error_already_set interrupted;
          {
            py::gil_scoped_release nogil;
            try {
              batch.join();
            } catch (...) {
            }
          }
          throw interrupted;
        }
        if (batch.idle()) break;
      }
      {
        py::gil_scoped_release nogil;
        batch.join();
      }
      advance(batch.finished() - shown);
    }
  } catch (...) {
    if (!bar.is_none()) bar.attr("close")();
    throw;
  }
  if (!bar.is_none()) bar.attr("close")();
}

// ------------------------------------------------------------------ Synthesizer

struct Synthesizer {
  py::object cleanWaves, noiseWaves, noisyDir, snrRatio, synWavesList, clean_dir_;
  py::object noise_dir;  // the noise argument, kept to protect it from deletion
};

Synthesizer make_synthesizer(py::object clean, py::object noise, py::object out_path, py::object snr_ratio) {
  const bool checks = assertions_enabled();
  const bool clean_ok = is_true(Path(clean).attr("is_dir")());
  const bool noise_ok = is_true(Path(noise).attr("is_dir")());
  if (!(clean_ok && noise_ok) && checks) raise_assertion("input path error");
  Synthesizer s;
  py::object check_input = module_attr("check_input");
  s.cleanWaves = check_input(clean)[py::int_(0)];
  s.noiseWaves = check_input(noise)[py::int_(0)];
  auto none_found = [](py::handle arg, py::handle found) {
    raise_py(PyExc_AssertionError, py::str("Error input ") + shown(arg) + py::str(", found ") +
                                       py::str(std::to_string(py::len(found))) + py::str(" files."));
  };
  if (checks && !is_true(s.cleanWaves)) none_found(clean, s.cleanWaves);
  if (checks && !is_true(s.noiseWaves)) none_found(noise, s.noiseWaves);
  s.noisyDir = out_path.equal(py::str("")) ? Path(py::str("mixed")) : Path(out_path);
  if (PyUnicode_Check(snr_ratio.ptr()) && checks) raise_assertion("type error: snr_ratio can't be str");
  s.snrRatio = as_sequence(snr_ratio);
  check_snrs("Synthesizer", "snr_ratio", s.snrRatio);
  s.synWavesList = py::none();
  s.clean_dir_ = clean;
  s.noise_dir = noise;
  return s;
}

// The folders a synthesis run reads from: the clean and noise folders and the working folder.
Protected input_folders(const Synthesizer& self) {
  Protected p;
  p.folders = {{"clean", self.clean_dir_}, {"noise", self.noise_dir}, {"working", cached("os", "getcwd")()}};
  return p;
}

// Appends the silence jobs when asked and renders the job list; only the appended jobs are
// written as noise alone.
void syn_pool(Synthesizer& self, py::object is_pool, py::object is_silence, py::object p_silence) {
  py::object jobs = self.synWavesList;
  const size_t n0 = py::len(jobs);
  std::vector<bool> noise_only(n0, false);
  if (is_true(is_silence) && compare(py::int_(1), p_silence, Py_GT) && compare(p_silence, py::int_(0), Py_GT)) {
    py::object k_obj = builtin("round")(py::int_(n0) * p_silence);
    const long k = py::int_(k_obj).cast<long>();
    if (k > 0) {
      py::list cols = py::list(builtin("zip")(*jobs));
      py::object index = cached("numpy.random", "choice")(builtin("range")(n0), py::arg("size") = k);
      py::list out, cln, nos, snr;
      Stems stem;
      for (auto i : index) {
        py::object job = jobs[i];
        py::list f = unpack4(job);
        py::str name = py::str(stem(f[1])) + py::str(stem(f[2])) + py::str("_n00.wav");
        out.append(Path(f[0]).attr("parent").attr("__truediv__")(name));
        cln.append(f[1]);
        nos.append(f[2]);
        snr.append(py::int_(0));
      }
      auto tup = [](py::handle h) { return py::tuple(py::reinterpret_borrow<py::object>(h)); };
      auto col = [&](int c) { return py::object(cols[static_cast<size_t>(c)]); };
      self.synWavesList = zip_jobs(col(0) + tup(out), col(1) + tup(cln), col(2) + tup(nos), col(3) + tup(snr));
      noise_only.resize(n0 + static_cast<size_t>(k), true);
    }
  }
  const size_t n = py::len(self.synWavesList);
  render_jobs(self.synWavesList, noise_only, is_true(is_pool) && n > 200, true);
}

// The output folder of `syn`: cleared when it holds anything and `overwrite` is true (after the
// guard against deleting inputs or user files), left alone and refused (false) otherwise;
// created in any case when the run goes on.
bool prepare_output_folder(Synthesizer& self, py::handle overwrite) {
  py::object nd = self.noisyDir;
  if (is_nonempty_dir(nd)) {
    if (!is_true(overwrite)) {
      module_attr("warn")(py::str("[vm.] syn:  路徑已存在 -> ") + shown(nd) + py::str("，終止程序"));
      return false;
    }
    Protected keep = input_folders(self);
    add_files(keep, "clean", self.cleanWaves);
    add_files(keep, "noise", self.noiseWaves);
    guard_delete("syn", nd, keep);
    module_attr("warn")(py::str("[vm.] syn:  路徑已存在，將覆蓋資料夾 -> ") + shown(nd));
    cached("shutil", "rmtree")(nd);
  }
  nd.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
  return true;
}

// The clean files of a run: all of them, or `rdn_choice_num` independent draws from the global
// numpy generator; with `is_add_clean` each is copied into RAW_DATA as "<stem>_raw.wav".
py::object choose_clean(Synthesizer& self, py::handle rdn_choice_num, py::handle is_add_clean, Stems& stem) {
  py::object clnWaves = self.cleanWaves;
  if (compare(rdn_choice_num, py::int_(0), Py_GT) &&
      compare(py::int_(py::len(self.cleanWaves)), rdn_choice_num, Py_GE)) {
    const long rdn = rdn_choice_num.cast<long>();
    py::list drawn;
    py::object choice = cached("numpy.random", "choice");
    for (long i = 0; i < rdn; ++i) drawn.append(choice(self.cleanWaves));
    clnWaves = drawn;
  }
  if (is_true(is_add_clean)) {
    py::object dir = self.noisyDir.attr("__truediv__")("RAW_DATA");
    dir.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    for (auto c : clnWaves) {
      py::object dst = with_wav_suffix(dir.attr("__truediv__")(py::str(stem(c)) + py::str("_raw")));
      fs::path from = to_fs_path(c), to = to_fs_path(dst);
      py::gil_scoped_release nogil;
      synth::copy_file_atomic(from, to);
    }
  }
  return clnWaves;
}

// The jobs of the regular or increment pattern, named; for any other mode the text `syn`
// returns instead (the summary lines are printed first either way).
py::object plan_jobs(Synthesizer& self, const py::object& mode, py::object clnWaves, bool mirror, Stems& stem) {
  py::object nd = self.noisyDir;
  const size_t clnLen = py::len(clnWaves), nosLen = py::len(self.noiseWaves), snrLen = py::len(self.snrRatio);
  py::print(py::str("Clean: ") + py::str(std::to_string(clnLen)) + py::str(", Noise: ") +
            py::str(std::to_string(nosLen)) + py::str(", SNR: ") + text(self.snrRatio[py::int_(0)]) + py::str(" ~ ") +
            text(self.snrRatio[py::int_(-1)]));

  auto is = [&](const char* name) { return mode.equal(py::str(name)); };
  py::object nosWaves, snrSeqs;
  if (is("reg") || is("regular")) {
    py::print(py::str(std::to_string(snrLen) + " SNRs * " + std::to_string(nosLen) + " noises, generate " +
                      std::to_string(clnLen) + " noisy."));
    if (nosLen == 0 || snrLen == 0) {
      PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
      throw py::error_already_set();
    }
    py::slice head(0, static_cast<py::ssize_t>(clnLen), 1);
    nosWaves = np("tile")(self.noiseWaves, clnLen / nosLen + 1)[head];
    snrSeqs = np("tile")(self.snrRatio, clnLen / snrLen + 1)[head];
  } else if (is("inc") || is("increment")) {
    py::print(py::str(std::to_string(clnLen * nosLen * snrLen) + " noisy files generated by " + std::to_string(snrLen) +
                      " kinds of SNR and " + std::to_string(nosLen) + " noise files "));
    clnWaves = np("repeat")(clnWaves, nosLen * snrLen);
    nosWaves = np("tile")(np("repeat")(self.noiseWaves, snrLen), clnLen);
    snrSeqs = np("tile")(self.snrRatio, clnLen * nosLen);
  } else if (is("max") || is("extra")) {
    return py::str("Please use class function 'syn_extra_mode' to run extra mode.");
  } else {
    return py::str("select the right mode");
  }

  py::dict folders;  // clean parent -> output folder
  py::list outWaves;
  py::iterator ci = py::iter(clnWaves), ni = py::iter(nosWaves), si = py::iter(snrSeqs);
  for (; ci != py::iterator::sentinel() && ni != py::iterator::sentinel() && si != py::iterator::sentinel();
       ++ci, ++ni, ++si) {
    py::handle c = *ci, no = *ni, s = *si;
    py::object folder = nd;
    if (mirror) {
      py::object parent = Path(c).attr("parent");
      py::object known = folders.attr("get")(parent);
      if (known.is_none()) {
        known = nd.attr("__truediv__")(parent.attr("relative_to")(self.clean_dir_));
        folders[parent] = known;
      }
      folder = known;
    }
    outWaves.append(with_wav_suffix(folder.attr("__truediv__")(join3(stem(c), stem(no), snr_tag(s, false)))));
  }
  return zip_jobs(outWaves, clnWaves, nosWaves, snrSeqs);
}

// Prepares the output folder, plans the jobs, renders them.
py::object syn(Synthesizer& self, py::object mode, py::object mkdir_parents, py::object is_add_clean,
               py::object rdn_choice_num, py::object overwrite, py::object is_pool, py::object is_silence,
               py::object p_silence) {
  if (!PyUnicode_CheckExact(mode.ptr()))
    throw py::type_error("type of argument \"mode\" must be str; got " + type_name(mode) + " instead");
  if (!is_exact_int(rdn_choice_num))
    throw py::type_error("type of argument \"rdn_choice_num\" must be int; got " + type_name(rdn_choice_num) +
                         " instead");
  check_snrs("syn", "snr_ratio", self.snrRatio);
  py::print(py::str("[vm.] ==== Audio Synthesizing ===="));
  if (!prepare_output_folder(self, overwrite)) return py::none();
  Stems stem;
  py::object clnWaves = choose_clean(self, rdn_choice_num, is_add_clean, stem);
  py::object jobs = plan_jobs(self, mode, clnWaves, is_true(mkdir_parents), stem);
  if (PyUnicode_Check(jobs.ptr())) return jobs;  // an unknown mode
  self.synWavesList = jobs;
  syn_pool(self, is_pool, is_silence, p_silence);
  return self.synWavesList;
}

// Jobs of the increment pattern: every entry of `a` with every entry of `b` at every SNR, named
// folder / "<a stem>_<b stem>_<tag>" with the ".wav" suffix.
py::list increment_jobs(py::object a, py::object b, py::object snrs, py::object folder, Stems& stem,
                        py::list& out_paths) {
  const size_t na = py::len(a), nb = py::len(b), ns = py::len(snrs);
  py::object full_a = np("repeat")(a, nb * ns);
  py::object full_b = np("tile")(np("repeat")(b, ns), na);
  py::object full_s = np("tile")(snrs, na * nb);
  py::iterator ai = py::iter(full_a), bi = py::iter(full_b), si = py::iter(full_s);
  for (; ai != py::iterator::sentinel() && bi != py::iterator::sentinel() && si != py::iterator::sentinel();
       ++ai, ++bi, ++si)
    out_paths.append(with_wav_suffix(folder.attr("__truediv__")(join3(stem(*ai), stem(*bi), snr_tag(*si, true)))));
  return zip_jobs(out_paths, full_a, full_b, full_s);
}

py::object syn_extra_mode(Synthesizer& self, py::object background_path, py::object background_snr) {
  const bool checks = assertions_enabled();
  if (PyUnicode_Check(background_snr.ptr()) && checks) raise_assertion("type error: snr_ratio can't be str");
  py::object bgSNR = as_sequence(background_snr);
  check_snrs("syn_extra_mode", "background_snr", bgSNR);
  check_snrs("syn_extra_mode", "snr_ratio", self.snrRatio);
  py::object bgNoiseWaves = module_attr("check_input")(background_path)[py::int_(0)];
  if (checks && !is_true(bgNoiseWaves))
    raise_py(PyExc_AssertionError, py::str("Error input ") + shown(background_path));

  py::object nd = self.noisyDir;
  py::object tmp = Path(py::str("tmp_mixed"));
  // the temporary folder is deleted at the end, with whatever lies below it
  if (synth::is_same_or_ancestor(to_fs_path(tmp), to_fs_path(nd)))
    raise_py(PyExc_ValueError, py::str("[vm.] syn_extra_mode: refusing to delete the output folder ") + shown(nd) +
                                   py::str(": it is or lies inside the temporary folder ") + shown(tmp) +
                                   py::str(", which is deleted at the end"));
  Protected keep = input_folders(self);
  add_files(keep, "clean", self.cleanWaves);
  add_files(keep, "noise", self.noiseWaves);
  add_files(keep, "background", bgNoiseWaves);
  if (is_nonempty_dir(nd)) guard_delete("syn_extra_mode", nd, keep);
  if (is_true(tmp.attr("is_dir")())) guard_delete("syn_extra_mode", tmp, keep);
  if (is_nonempty_dir(nd)) cached("shutil", "rmtree")(nd);
  nd.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);

  Stems stem;
  for (auto c : self.cleanWaves) {
    py::object dst =
        nd.attr("__truediv__")(py::str(stem(c)) + py::str("_n0")).attr("with_suffix")(Path(c).attr("suffix"));
    fs::path from = to_fs_path(c), to = to_fs_path(dst);
    py::gil_scoped_release nogil;
    synth::copy_file_atomic(from, to);
  }
  if (is_true(tmp.attr("is_dir")())) cached("shutil", "rmtree")(tmp);
  tmp.attr("mkdir")();

  // noise stage: noise files mixed with the background files
  py::list stage1;
  self.synWavesList = increment_jobs(self.noiseWaves, bgNoiseWaves, bgSNR, tmp, stem, stage1);
  syn_pool(self, py::bool_(false), py::bool_(false), py::float_(0.02));

  // final stage: clean files with the extended noise set
  py::object noiseWaves = stage1 + self.noiseWaves + bgNoiseWaves;
  py::list final_out;
  self.synWavesList = increment_jobs(self.cleanWaves, noiseWaves, self.snrRatio, nd, stem, final_out);
  syn_pool(self, py::bool_(true), py::bool_(true), py::float_(0.02));

  cached("shutil", "rmtree")(tmp);
  return self.synWavesList;
}

void syn_waves(py::object job_list, py::object is_silence, py::object num) {
  py::object job = num.is_none() ? job_list : py::object(job_list[num]);
  py::list one;
  one.append(job);
  render_jobs(one, {is_true(is_silence)}, false, false);
}

const char* const kClassDoc = R"(音頻混合器
==========

將乾淨語音與噪音依指定的訊雜比 (SNR, dB) 混合，輸出 16000 Hz 單聲道 16-bit PCM WAV 檔。

建立::

    syn = Synthesizer(clean_dir, noise_dir, out_path='', snr_ratio=(-5, 0, 5))
    # out_path 為 '' 時輸出至 "mixed" 資料夾；snr_ratio 可為單一數字或數列

合成模式::

    syn.syn(mode='regular')    # 一般模式 ("reg")：每個乾淨音檔產生一個混合檔，噪音與 SNR 依序輪替
    syn.syn(mode='increment')  # 遞增模式 ("inc")：每個乾淨音檔 x 每個噪音 x 每個 SNR
    # 其他選項：mkdir_parents（依乾淨音檔子資料夾分類）、is_add_clean（複製原始乾淨音檔至 RAW_DATA）、
    # rdn_choice_num（隨機選取乾淨音檔數量）、overwrite、is_pool（超過 200 個任務時以 8 個執行緒並行）、
    # is_silence / p_silence（加入只含噪音的 "_n00.wav" 檔）

額外模式（背景噪音）::

    syn.syn_extra_mode(background_path='../data/backgroundnoise', background_snr=(5,))
    # 先將每個噪音與每個背景噪音混合（暫存於 "tmp_mixed"），再與所有乾淨音檔混合

單一任務混音::

    Synthesizer.syn_waves((輸出檔, 乾淨音檔, 噪音檔, snr), isSilence)
    Synthesizer.syn_waves(synWavesList, isSilence, num)

任務列表 synWavesList 的每一列為 (輸出檔路徑, 乾淨音檔, 噪音檔, SNR)。
隨機選取皆使用 numpy 的全域亂數產生器；np.random.seed(s) 可重現相同的語料。)";

// Native errors as Python exceptions. Their texts name files in file-system bytes, which need
// not be UTF-8: they are shown with \xNN escapes, and an OSError keeps the name itself (as
// os.fsdecode gives it) in its filename attribute.
}  // namespace

PYBIND11_MODULE(synth, m) {
  m.doc() = "Noisy-speech synthesis: the Synthesizer class mixes clean speech with noise at given SNRs.";
  install_error_translator();

  py::module_ io = py::module_::import("vemio.core.io");
  m.attr("check_input") = io.attr("check_input");
  m.attr("load_waves") = io.attr("load_waves");
  m.attr("warn") = py::module_::import("vemio.util.colors").attr("warn");

  py::class_<Synthesizer> cls(m, "Synthesizer", py::dynamic_attr(), kClassDoc);
  cls.def(py::init(&make_synthesizer), py::arg("clean"), py::arg("noise"), py::arg("out_path") = "",
          py::arg("snr_ratio") = py::make_tuple(-5, 0, 5))
      .def_readwrite("cleanWaves", &Synthesizer::cleanWaves)
      .def_readwrite("noiseWaves", &Synthesizer::noiseWaves)
      .def_readwrite("noisyDir", &Synthesizer::noisyDir)
      .def_readwrite("snrRatio", &Synthesizer::snrRatio)
      .def_readwrite("synWavesList", &Synthesizer::synWavesList)
      .def_readwrite("clean_dir_", &Synthesizer::clean_dir_)
      .def(
          "wave_input", [](Synthesizer& s) { return py::make_tuple(s.cleanWaves, s.noiseWaves); },
          "(cleanWaves, noiseWaves): the clean and noise files found at construction.")
      .def(
          "wave_syn", [](Synthesizer& s) { return s.synWavesList; },
          "The job list of the last synthesis run (None before any run).")
      .def(
          "wave_syn_abs", [](Synthesizer& s) { return s.synWavesList; }, "The same as wave_syn().")
      .def(
          "waveform",
          [](Synthesizer& s, py::object is_pool) {
            py::object job = cached("functools", "partial")(module_attr("load_waves"), py::arg("use_pool") = is_pool);
            return py::make_tuple(job(s.cleanWaves), job(s.noiseWaves));
          },
          py::arg("is_pool") = false, "Load every clean and noise file with load_waves: (clean, noise).")
      .def("syn", &syn, py::arg("mode") = "regular", py::arg("mkdir_parents") = true, py::arg("is_add_clean") = false,
           py::arg("rdn_choice_num") = 0, py::arg("overwrite") = true, py::arg("is_pool") = true,
           py::arg("is_silence") = false, py::arg("p_silence") = 0.02,
           "Pair clean files with noises and SNRs (mode 'regular'/'reg' or 'increment'/'inc'), write\n"
           "the mixtures below noisyDir and return the job list. Returns None when noisyDir is not\n"
           "empty and overwrite is false, and a hint text for an unknown mode.")
      .def("syn_extra_mode", &syn_extra_mode, py::arg("background_path") = "../data/backgroundnoise",
           py::arg("background_snr") = py::make_tuple(5),
           "Mix every noise with every background noise first, then every clean file with the\n"
           "extended noise set at every SNR (plus noise-only files); returns the final job list.")
      .def("_Synthesizer__syn_pool", &syn_pool, py::arg("is_pool"), py::arg("is_silence"), py::arg("p_silence") = 0.02,
           "Append the noise-only silence jobs when asked, then render synWavesList (8 threads\n"
           "above 200 jobs when is_pool).")
      .def_static("syn_waves", &syn_waves, py::arg("synWavesList"), py::arg("isSilence"), py::arg("num") = py::none(),
                  "Render one job (save_path, clean_file, noise_file, snr), or job `num` of a list:\n"
                  "both files at 16000 Hz, the noise cut or repeated to the clean length, mean removed,\n"
                  "scaled to the SNR against the clean power and added (alone when isSilence); written\n"
                  "as 16-bit PCM, saturated.")
      .def("__repr__", [](Synthesizer& s) {
        return "Synthesizer(clean=" + py::repr(s.clean_dir_).cast<std::string>() +
               ", noise=" + py::repr(s.noise_dir).cast<std::string>() +
               ", out=" + py::repr(py::str(s.noisyDir)).cast<std::string>() +
               ", snr_ratio=" + py::repr(s.snrRatio).cast<std::string>() + ")";
      });

  m.attr("__all__") = py::make_tuple("Synthesizer");
  m.attr("__all__") = py::list(m.attr("__all__"));
}

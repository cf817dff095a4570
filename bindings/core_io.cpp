// vemio.core.io: resolving, loading, saving and copying audio files.
#include <algorithm>
#include <cstring>
#include <memory>
#include <cmath>
#include <optional>

#include "common.hpp"
#include "vemio/audio/audio.hpp"
#include "vemio/util/arena.hpp"
#include "vemio/util/atomic_file.hpp"
#include "vemio/util/pool.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
using namespace vemio::py_common;
namespace audio = vemio::audio;

namespace {

const char* const kExp = ".wav";
const char* const kBroken = "[vm.] File broken or Not exists! : ";
constexpr int kMaxTargetRate = 768000;

// pathlib's suffix of a normalised path text: from the last dot of the final component,
// unless the dot starts the name or ends it.
std::string python_suffix(const std::string& text) {
  const size_t slash = text.find_last_of('/');
  const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
  return name.substr(dot);
}

bool is_list_or_tuple(py::handle h) { return PyList_Check(h.ptr()) || PyTuple_Check(h.ptr()); }

bool is_pathlike_spec(py::handle h) {
  return PyUnicode_Check(h.ptr()) || py::isinstance(h, cached("pathlib", "PurePath"));
}

// ------------------------------------------------------------------ check_input

// The lists and tuples being walked, outermost first, with the index taken in each: a
// container met again inside itself would be walked forever, and very deep nesting would
// exhaust the C stack, so both end in a Python exception instead.
class NestingGuard {
 public:
  // Enters `container` (a list or tuple); throws ValueError when it is already being walked,
  // RecursionError when the nesting is deeper than Python code could go.
  void enter(py::handle container) {
    for (size_t k = 0; k < open_.size(); ++k)
      if (open_[k].first == container.ptr()) {
        std::string inner = "input", outer;
        for (size_t j = 0; j < open_.size(); ++j) {
          if (j == k) outer = inner;
          inner += "[" + std::to_string(open_[j].second) + "]";
        }
        throw py::value_error("[vm.io] a list or tuple contains itself: " + inner + " is " + outer);
      }
    if (open_.size() >= kMaxDepth || Py_EnterRecursiveCall(" while walking nested input lists")) throw_recursion();
    open_.emplace_back(container.ptr(), 0);
  }
  void next_item(size_t index) { open_.back().second = index; }
  void leave() {
    open_.pop_back();
    Py_LeaveRecursiveCall();
  }

 private:
  // A bound of its own besides the interpreter's limit, which a caller may have raised past
  // what the native stack holds.
  static constexpr size_t kMaxDepth = 2000;
  [[noreturn]] static void throw_recursion() {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while walking nested input lists");
    throw py::error_already_set();
  }
  std::vector<std::pair<PyObject*, size_t>> open_;
};

// Walks the items of a list or tuple under the guard, leaving it also when `visit` throws.
template <typename Visit>
void for_each_nested(py::handle container, NestingGuard& guard, Visit&& visit) {
  guard.enter(container);
  try {
    size_t i = 0;
    for (auto item : container) {
      guard.next_item(i++);
      visit(item);
    }
  } catch (...) {
    guard.leave();
    throw;
  }
  guard.leave();
}

void check_input_into(py::handle input, py::list& right, py::list& wrong, std::vector<std::string>& reading,
                      NestingGuard& guard) {
  if (is_list_or_tuple(input)) {
    for_each_nested(input, guard, [&](py::handle item) { check_input_into(item, right, wrong, reading, guard); });
    return;
  }
  if (!is_true(input) || !is_pathlike_spec(input)) {
    if (PyErr_Occurred()) throw py::error_already_set();
    wrong.append(input);
    return;
  }
  py::object p = cached("pathlib", "Path")(input);
  if (p.attr("is_file")().cast<bool>()) {
    std::string suffix = p.attr("suffix").cast<std::string>();
    if (suffix == ".txt") {
      // A list file naming itself (directly or through others) would recurse forever.
      std::string key = py::str(p.attr("resolve")()).cast<std::string>();
      if (std::find(reading.begin(), reading.end(), key) != reading.end()) {
        std::string chain;
        auto it = std::find(reading.begin(), reading.end(), key);
        for (; it != reading.end(); ++it) chain += *it + " -> ";
        throw py::value_error("[vm.io] list files name each other in a cycle: " + chain + key);
      }
      py::object text;
      {
        py::object f = cached("builtins", "open")(p, "r", py::arg("encoding") = "utf-8");
        try {
          text = f.attr("read")();
        } catch (...) {
          f.attr("close")();
          throw;
        }
        f.attr("close")();
      }
      reading.push_back(key);
      py::list lines = text.attr("strip")().attr("splitlines")();
      for (auto line : lines) check_input_into(line.attr("strip")(), right, wrong, reading, guard);
      reading.pop_back();
    } else if (suffix == kExp) {
      right.append(p);
    } else {
      wrong.append(py::str(p));
    }
  } else if (p.attr("is_dir")().cast<bool>()) {
    for (auto e : p.attr("rglob")("*.wav")) right.append(e);
  } else {
    wrong.append(py::str(p));
  }
}

py::tuple check_input(py::object input) {
  py::list right, wrong;
  std::vector<std::string> reading;
  NestingGuard guard;
  check_input_into(input, right, wrong, reading, guard);
  return py::make_tuple(right, wrong);
}

// ------------------------------------------------------------------ check_file / check_path

// Largest number captured by `regex` in the text of `entries`, plus one; 2 when none.
long next_number(py::iterable entries, const std::string& regex) {
  py::object search = cached("re", "search");
  std::optional<long> best;
  for (auto e : entries) {
    py::object m = search(regex, py::str(e));
    if (m.is_none()) continue;
    long v = py::int_(m.attr("group")(1)).cast<long>();
    if (!best || v > *best) best = v;
  }
  return best ? *best + 1 : 2;
}

std::string check_file(py::object file_dir, py::object rename, py::object sep) {
  py::object p = cached("pathlib", "Path")(file_dir);
  if (p.attr("is_dir")().cast<bool>()) p = p.attr("__truediv__")("unknow");
  p = p.attr("with_suffix")(kExp);
  if (p.attr("is_file")().cast<bool>()) {
    py::print(py::str("[vm.] 檔案已經存在: ") + py::str(p));
    if (is_true(rename)) {
      py::object parent = p.attr("parent");
      py::str stem = p.attr("stem");
      py::str sep_s = py::str(sep);
      py::iterable cands = parent.attr("rglob")(stem + sep_s + py::str("*"));
      long n = next_number(cands, (stem + sep_s + py::str("(\\d+)")).cast<std::string>());
      p = parent.attr("__truediv__")(stem + sep_s + py::str(std::to_string(n))).attr("with_suffix")(kExp);
      py::print(py::str("[vm.] 重新命名檔案: ") + py::str(p));
    } else {
      py::print(py::str("[vm.] 已覆蓋原檔案: ") + py::str(p));
    }
  }
  p.attr("parent").attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
  return py::str(p).cast<std::string>();
}

std::string check_path(py::object path, py::object exist_ok, py::object sep) {
  py::object p = cached("pathlib", "Path")(path);
  bool exists = p.attr("exists")().cast<bool>();
  if (!exists || is_true(exist_ok)) return py::str(p).cast<std::string>();
  py::str sep_s = py::str(sep);
  // The glob wants a relative pattern: an absolute path is searched for its own name, as a
  // one-component relative path is.
  py::str text = py::str(p);
  py::str pattern_base = p.attr("is_absolute")().cast<bool>() ? py::str(p.attr("name")) : text;
  py::iterable dirs = p.attr("rglob")(pattern_base + sep_s + py::str("*"));
  py::str fmt = py::str("%s") + sep_s + py::str("(\\d+)");
  std::string regex = py::str(fmt.attr("__mod__")(p.attr("stem"))).cast<std::string>();
  long n = next_number(dirs, regex);
  return (text + sep_s + py::str(std::to_string(n))).cast<std::string>();
}

// ------------------------------------------------------------------ loading

// A decoded wave placed in its final memory: a batch block, or its own vector.
struct Placed {
  float* data = nullptr;
  std::shared_ptr<vemio::util::BatchArena::Block> block;
  std::vector<float> own;
  int channels = 1;
  int64_t frames = 0;
  int rate = 0;
};

Placed from_decoded(audio::Decoded&& d) {
  Placed p;
  p.channels = d.channels;
  p.frames = d.frames;
  p.rate = d.rate;
  p.own = std::move(d.samples);
  return p;
}

py::object placed_to_py(Placed&& p) {
  std::vector<py::ssize_t> shape;
  if (p.channels <= 1)
    shape = {static_cast<py::ssize_t>(p.frames)};
  else
    shape = {static_cast<py::ssize_t>(p.channels), static_cast<py::ssize_t>(p.frames)};
  py::array_t<float> arr =
      p.block ? array_over<float>(p.data, shape, {}, std::move(p.block)) : vector_array(std::move(p.own), shape);
  return py::make_tuple(arr, p.rate);
}

// Runs `load` (which returns a Placed); any failure prints the broken-file line naming
// `shown` and gives None. Only an interrupt or an exit request goes through.
template <typename Load>
py::object placed_or_report(py::handle shown, Load&& load) {
  try {
    return placed_to_py(load());
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
  } catch (...) {
  }
  py::print(py::str(kBroken) + py::str(shown));
  return py::none();
}

// Decodes one file (mono, native rate) straight into the batch's memory.
Placed decode_placed(const fs::path& path, vemio::util::BatchArena& arena) {
  Placed p;
  auto alloc = [&](size_t n) -> float* {
    if (n > 0) {
      auto [mem, block] = arena.allocate(n);
      if (mem) {
        p.data = mem;
        p.block = std::move(block);
        return mem;
      }
    }
    p.own.resize(n);
    return p.own.data();
  };
  p.frames = audio::decode_mono_into(path, alloc, p.rate);
  return p;
}

// The target rate of file_load: a whole number of Hz up to the highest audio rate (an int, a
// numpy integer or a whole float); 0 for None. -1 for anything else (bool included).
int target_rate(py::handle sr) {
  if (sr.is_none()) return 0;
  if (PyBool_Check(sr.ptr())) return -1;
  double r;
  if (PyLong_Check(sr.ptr()) || PyFloat_Check(sr.ptr()) || py::hasattr(sr, "__index__")) {
    r = PyFloat_AsDouble(sr.ptr());
    if (r == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return -1;
    }
  } else if (py::isinstance(sr, cached("numbers", "Real"))) {
    r = py::float_(py::reinterpret_borrow<py::object>(sr)).cast<double>();
  } else {
    return -1;
  }
  if (!(r >= 1 && r <= kMaxTargetRate) || r != std::floor(r)) return -1;
  return static_cast<int>(r);
}

py::object file_load(py::object wav_dir, py::object sr, py::object mono) {
  const int target = target_rate(sr);
  if (target < 0) {
    // an argument error, not a broken file: the file is not even opened
    py::print(py::str("[vm.] Invalid sampling rate sr={!r}: give a whole number of Hz from 1 to {}, or None")
                  .format(sr, kMaxTargetRate));
    return py::none();
  }
  std::optional<fs::path> path;
  try {
    path = to_fs_path(wav_dir);
  } catch (py::error_already_set&) {  // not a path at all: reported as unreadable below
  }
  return placed_or_report(wav_dir, [&] {
    if (!path) throw std::invalid_argument("not a path");
    bool m = is_true(mono);
    py::gil_scoped_release nogil;
    return from_decoded(audio::decode(*path, target, m));
  });
}

bool is_existing_wav(py::handle wave) {
  if (!is_pathlike_spec(wave)) return false;
  py::object p = cached("pathlib", "Path")(wave);
  return p.attr("is_file")().cast<bool>() && p.attr("suffix").cast<std::string>() == kExp;
}

py::object load_wave_impl(py::object wave, py::object num, vemio::util::BatchArena& arena, NestingGuard& guard) {
  if (!num.is_none()) wave = wave[num];
  if (is_list_or_tuple(wave)) {
    py::list out;
    guard.enter(wave);
    try {
      py::object bar = cached("tqdm", "tqdm")(wave, py::arg("desc") = "[vm.] Loading Audios:");
      size_t i = 0;
      for (auto item : bar) {
        guard.next_item(i++);
        out.append(load_wave_impl(py::reinterpret_borrow<py::object>(item), py::none(), arena, guard));
      }
    } catch (...) {
      guard.leave();
      throw;
    }
    guard.leave();
    return out;
  }
  if (is_existing_wav(wave)) {
    return placed_or_report(wave, [&] {
      fs::path path = to_fs_path(wave);
      py::gil_scoped_release nogil;
      return decode_placed(path, arena);
    });
  }
  PyErr_SetObject(PyExc_Exception, py::make_tuple("[vm.] Found unexpected file", wave).ptr());
  throw py::error_already_set();
}

py::object load_wave(py::object wave, py::object num) {
  vemio::util::BatchArena arena;
  NestingGuard guard;
  return load_wave_impl(wave, num, arena, guard);
}

// Decodes `paths` on `workers` threads with the GIL released; results and failures come back
// in input order, and the bar advances from this thread as files finish.
py::list load_parallel(const py::list& files, int workers) {
  const size_t n = files.size();
  std::vector<fs::path> paths(n);
  // char, not bool: workers write their own elements concurrently
  std::vector<char> valid(n, 1), python_checked(n, 0);
  py::object pure = cached("pathlib", "PurePath");
  for (size_t i = 0; i < n; ++i) {
    py::handle f = files[i];
    if (py::isinstance(f, pure)) {
      // normalised already: its text is what Path() would give, so the test can run natively
      paths[i] = fs::path(py::str(f).cast<std::string>());
    } else {
      python_checked[i] = 1;
      if (!is_existing_wav(f)) valid[i] = 0;
      paths[i] = to_fs_path(f);
    }
  }
  std::vector<std::optional<Placed>> results(n);
  workers = vemio::util::worker_count(workers, n);
  // one arena per worker: its blocks are filled without locking
  std::vector<vemio::util::BatchArena> arenas(static_cast<size_t>(workers));
  py::object bar = cached("tqdm", "trange")(n, py::arg("desc") = "[vm.load_waves] Pooling...");
  {
    py::gil_scoped_release nogil;
    vemio::util::IndexPool pool(n, workers, [&](size_t i, int w) {
      if (!valid[i]) return;
      try {
        std::error_code ec;
        if (!python_checked[i] &&  // a Path: test it here, off the interpreter
            (!fs::is_regular_file(paths[i], ec) || python_suffix(paths[i].string()) != kExp))
          valid[i] = 0;
        else
          results[i] = decode_placed(paths[i], arenas[static_cast<size_t>(w)]);
      } catch (...) {  // reported in order below
      }
    });
    // the bar moves in steps of about 1 %: a short file decodes in tens of microseconds, and
    // waking for each one would keep a third thread busy beside the workers
    const size_t step = std::max<size_t>(1, n / 100);
    size_t shown = 0;
    while (shown < n) {
      const size_t now = pool.wait(std::min(n - 1, shown + step - 1), std::chrono::milliseconds(50));
      if (now > shown) {
        py::gil_scoped_acquire gil;
        bar.attr("update")(now - shown);
        shown = now;
      }
    }
    pool.join();
  }
  bar.attr("close")();
  py::list out;
  for (size_t i = 0; i < n; ++i) {
    if (!valid[i]) {
      PyErr_SetObject(PyExc_Exception, py::make_tuple("[vm.] Found unexpected file", files[i]).ptr());
      throw py::error_already_set();
    }
    if (results[i]) {
      out.append(placed_to_py(std::move(*results[i])));
    } else {
      py::print(py::str(kBroken) + py::str(files[i]));
      out.append(py::none());
    }
  }
  return out;
}

py::object load_waves(py::object wave, py::object use_pool, py::object std_len, py::object core_) {
  if (!is_exact_int(core_))
    throw py::type_error("core_ must be an int, not " +
                         py::str(py::type::of(core_).attr("__name__")).cast<std::string>());
  py::list waves = check_input(wave)[0];
  py::object result;
  if (is_true(use_pool) && waves.size() > 300) {
    long workers = core_.cast<long>();
    if (workers < 1) throw py::value_error("Number of processes must be at least 1");
    result = load_parallel(waves, static_cast<int>(std::min<long>(workers, 1024)));
  } else {
    result = load_wave(waves, py::none());
  }
  if (!is_true(std_len)) return result;

  py::list w2d;
  std::vector<py::ssize_t> lens;
  py::list srs;
  for (auto item : result) {
    if (item.is_none()) throw py::type_error("cannot unpack non-iterable NoneType object");
    py::tuple t = py::reinterpret_borrow<py::tuple>(item);
    w2d.append(t[0]);
    lens.push_back(py::len(t[0]));
    srs.append(t[1]);
  }
  py::set distinct(srs);
  if (distinct.size() != 1 && assertions_enabled())
    raise_assertion("[vm.load_waves] Different audio sampling frequencies");
  if (lens.empty()) throw py::value_error("min() arg is an empty sequence");
  py::ssize_t min_len = *std::min_element(lens.begin(), lens.end());
  py::object bar = cached("tqdm", "tqdm")(w2d, py::arg("desc") = "[vm.load_waves] std_len ing...");
  py::ssize_t i = 0;
  py::list cut;
  for (auto w : bar) {
    cut.append(w[py::slice(0, min_len, 1)]);
    ++i;
  }
  for (py::ssize_t k = 0; k < i; ++k) w2d[k] = cut[k];
  return py::make_tuple(w2d, srs[0], min_len);
}

// ------------------------------------------------------------------ saving and copying

// The WAV header keeps the channel count in 16 bits and the byte rate in 32: an array whose
// layout would not fit is refused before anything is written, saying how it was read.
void check_wav_layout(const py::array& arr, long rate) {
  const py::ssize_t channels = arr.ndim() == 2 ? arr.shape(1) : 1;
  std::string shape = arr.ndim() == 2 ? "(" + std::to_string(arr.shape(0)) + ", " + std::to_string(arr.shape(1)) + ")"
                                      : "(" + std::to_string(arr.shape(0)) + ",)";
  std::string problem;
  if (channels < 1 || channels > audio::kMaxWavChannels)
    problem = "it would have " + std::to_string(channels) + " channels; a WAV file holds 1 to " +
              std::to_string(audio::kMaxWavChannels);
  else if (static_cast<unsigned long long>(rate) * static_cast<unsigned long long>(channels) * 2 > 0xFFFFFFFFull)
    problem = std::to_string(rate) + " Hz times " + std::to_string(channels) +
              " channels overflows the WAV header's byte rate";
  if (problem.empty()) return;
  std::string msg = "save_wave: a wave of shape " + shape + " is read as (frames, channels), so " + problem;
  if (arr.ndim() == 2 && arr.shape(1) > arr.shape(0))
    msg +=
        ". The second axis is the longer one: an array of (channels, frames), as file_load(mono=False) "
        "returns, must be transposed first (wave.T)";
  throw py::value_error(msg);
}

void save_wave(py::object path, py::object wave, py::object sr, py::object d_sample) {
  if (!is_exact_int(sr))
    throw py::type_error("sr must be an int, not " + py::str(py::type::of(sr).attr("__name__")).cast<std::string>());
  if (!d_sample.is_none() && !is_exact_int(d_sample))
    throw py::type_error("d_sample must be None or an int, not " +
                         py::str(py::type::of(d_sample).attr("__name__")).cast<std::string>());
  py::object p = cached("pathlib", "Path")(path);
  const fs::path out = to_fs_path(p);
  py::module_ np = py::module_::import("numpy");
  py::array arr = np.attr("asarray")(wave);
  if (arr.ndim() > 2) throw py::value_error("save_wave expects a 1-D or a 2-D (frames, channels) array");
  py::dtype wave_type = arr.dtype();
  long rate = sr.cast<long>();
  if (rate <= 0 || rate > 0x7fffffff) throw py::value_error("sr must be a positive rate in Hz");
  const long target = d_sample.is_none() ? rate : d_sample.cast<long>();
  if (target <= 0 || target > 0x7fffffff) throw py::value_error("d_sample must be a positive rate in Hz");
  check_wav_layout(arr, target);
  p.attr("parent").attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
  const int channels = arr.ndim() == 2 ? static_cast<int>(arr.shape(1)) : 1;
  if (!d_sample.is_none()) {
    // resampled on float32 values as they are, then back to the wave's own type
    auto x = c_array<float>(arr);
    std::vector<float> y;
    {
      py::gil_scoped_release nogil;
      y = audio::resample_interleaved(std::span<const float>(x.data(), static_cast<size_t>(x.size())), channels,
                                      static_cast<int>(rate), static_cast<int>(target));
    }
    const py::ssize_t out_frames = static_cast<py::ssize_t>(y.size()) / channels;
    std::vector<py::ssize_t> shape =
        arr.ndim() == 2 ? std::vector<py::ssize_t>{out_frames, channels} : std::vector<py::ssize_t>{out_frames};
    arr = vector_array(std::move(y), shape).attr("astype")(wave_type);
    rate = target;
  }
  std::vector<int16_t> pcm;
  if (wave_type.kind() == 'f') {
    // float32 holds samples in [-1, 1] and is scaled; other float types convert directly
    auto x = c_array<double>(arr);
    pcm = audio::pcm16_from_floats(std::span<const double>(x.data(), static_cast<size_t>(x.size())),
                                   wave_type.itemsize() == 4);
  } else {
    // integers keep their low 16 bits, as a C cast does
    auto x = c_array<int16_t>(arr.attr("astype")("int16"));
    pcm.assign(x.data(), x.data() + x.size());
  }
  py::gil_scoped_release nogil;
  audio::write_wav16(out, pcm, static_cast<int>(rate), channels);
}

void copy_waves(py::object path, py::object wave_) {
  py::object dest = cached("pathlib", "Path")(path);
  if (!py::str(dest.attr("suffix")).cast<std::string>().empty()) {
    py::print(py::str("[vm.] 輸入並非路徑➡") + py::str(dest));
    return;
  }
  dest.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
  if (PyList_Check(wave_.ptr())) {
    py::str desc =
        py::str("[vm.] 複製音檔至路徑➡") + py::str(dest.attr("absolute")().attr("resolve")()) + py::str("\n\tCopying ");
    py::object bar = cached("tqdm", "tqdm")(wave_, py::arg("desc") = desc);
    for (auto item : bar) copy_waves(dest, py::reinterpret_borrow<py::object>(item));
    return;
  }
  py::object w = cached("pathlib", "Path")(wave_);
  cached("shutil", "copy")(py::str(w), dest.attr("__truediv__")(w.attr("name")));
}

// ------------------------------------------------------------------ LoadAudio

struct LoadAudio {
  py::object sr_pth, files, nf;
  py::object count;  // created by __iter__
};

LoadAudio make_load_audio(py::object waves_dirs) {
  LoadAudio la;
  la.sr_pth = cached("pathlib", "Path")(waves_dirs);
  if (!la.sr_pth.attr("is_dir")().cast<bool>() && assertions_enabled())
    raise_assertion("[vm.io] Folder: " + py::str(la.sr_pth.attr("absolute")()).cast<std::string>() + ", not found.");
  la.files = py::list(la.sr_pth.attr("rglob")("*.wav"));
  la.nf = py::int_(py::len(la.files));
  return la;
}

}  // namespace

PYBIND11_MODULE(io, m) {
  m.doc() = "Audio file I/O: resolve inputs to .wav files, load, save and copy waves.";
  install_error_translator();
  m.attr("AudioError") = cached("vemio", "AudioError");

  m.def("check_path", &check_path, py::arg("path"), py::arg("exist_ok") = false, py::arg("sep") = "",
        "Return `path` unchanged when it is free (or exist_ok), else the next numbered variant\n"
        "(path + sep + n) after the numbers already used beneath it.");
  m.def("check_file", &check_file, py::arg("file_dir"), py::arg("rename") = true, py::arg("sep") = "",
        "Prepare an output file name: force the .wav suffix, create the parent folder and, when\n"
        "the file exists, pick the next free numbered name (rename) or announce the overwrite.");
  m.def("check_input", &check_input, py::arg("input"),
        "Resolve a file, folder (searched recursively for *.wav), .txt list file or nested\n"
        "lists/tuples of these into (rightList, wrongList): accepted .wav Paths and rejects.");
  m.def("save_wave", &save_wave, py::arg("path"), py::arg("wave"), py::arg("sr"), py::arg("d_sample") = py::none(),
        "Write `wave` (1-D, or 2-D frames x channels) as 16-bit PCM WAV at `sr` Hz, first\n"
        "resampling to `d_sample` Hz when given. float32 samples in [-1, 1] are scaled by 32767\n"
        "and saturated. The file appears whole or not at all.");
  m.def("file_load", &file_load, py::arg("wav_dir"), py::arg("sr") = py::none(), py::arg("mono") = true,
        "Decode one audio file to (float32 samples in [-1, 1], rate). `sr` resamples, `mono`\n"
        "averages channels. Never raises: a failure prints a line and returns None.");
  m.def("load_wave", &load_wave, py::arg("wave"), py::arg("num") = py::none(),
        "Load one .wav file, a nested list of them (nested list of (wave, rate)), or the item\n"
        "`num` of a list.");
  m.def("load_waves", &load_waves, py::arg("wave"), py::arg("use_pool") = false, py::arg("std_len") = false,
        py::arg("core_") = 8,
        "Resolve `wave` with check_input and load every accepted file at its own rate.\n"
        "use_pool with more than 300 files decodes on `core_` threads (same result, same order).\n"
        "std_len cuts all waves to the shortest and returns (waves, rate, min_len).");
  m.def("copy_waves", &copy_waves, py::arg("path"), py::arg("wave_"),
        "Copy one file or a (nested) list of files into folder `path`, keeping file names.");

  py::class_<LoadAudio>(m, "LoadAudio", py::dynamic_attr(),
                        "A folder of .wav files: its length is the number of files, iterating yields\n"
                        "their positions 1..n; the module's functions are reachable as static methods.")
      .def(py::init(&make_load_audio), py::arg("waves_dirs"))
      .def_readwrite("sr_pth", &LoadAudio::sr_pth)
      .def_readwrite("files", &LoadAudio::files)
      .def_readwrite("nf", &LoadAudio::nf)
      .def_property(
          "count",
          [](const LoadAudio& self) -> py::object {
            if (!self.count) throw py::attribute_error("'LoadAudio' object has no attribute 'count'");
            return self.count;
          },
          [](LoadAudio& self, py::object v) { self.count = v; })
      .def("__iter__",
           [](py::object self) {
             self.attr("count") = 0;
             return self;
           })
      .def("__next__",
           [](LoadAudio& self) {
             if (!self.count) throw py::attribute_error("'LoadAudio' object has no attribute 'count'");
             if (self.count.equal(self.nf)) throw py::stop_iteration();
             self.count = self.count + py::int_(1);
             return self.count;
           })
      .def("__len__", [](py::object self) -> py::object { return self.attr("nf"); })
      .def("__repr__",
           [](py::object self) {
             return "LoadAudio(" + py::repr(self.attr("sr_pth")).cast<std::string>() +
                    ", nf=" + py::str(self.attr("nf")).cast<std::string>() + ")";
           })
      .def_static("check_input",
                  [](py::args a) { return py::module_::import("vemio.core.io").attr("check_input")(*a); })
      .def_static(
          "file_load",
          [](py::args a, py::kwargs k) { return py::module_::import("vemio.core.io").attr("file_load")(*a, **k); })
      .def_static(
          "load_wave",
          [](py::args a, py::kwargs k) { return py::module_::import("vemio.core.io").attr("load_wave")(*a, **k); })
      .def_static(
          "load_waves",
          [](py::args a, py::kwargs k) { return py::module_::import("vemio.core.io").attr("load_waves")(*a, **k); })
      .def_static("copy_waves", [](py::args a, py::kwargs k) {
        return py::module_::import("vemio.core.io").attr("copy_waves")(*a, **k);
      });

  m.def(
      "_write_file_atomic",
      [](py::object path, py::bytes data, bool sync) {
        const fs::path target = to_fs_path(path);
        std::string bytes = data;
        try {
          py::gil_scoped_release nogil;
          vemio::util::write_file_atomic(target, bytes, sync);
        } catch (const vemio::FileError& e) {
          raise_os_error(e, fs_name(target));
        }
      },
      py::arg("path"), py::arg("data"), py::arg("sync") = false,
      "Write `data` as the whole content of `path` through a temporary file in the same folder\n"
      "renamed into place (umask permissions); with `sync` the data is on disk first.");
  m.def("_native_versions", [] {
    py::dict d;
    d["libsndfile"] = audio::sndfile_version();
    d["libsoxr"] = audio::soxr_version();
    return d;
  });

  m.attr("__exp__") = kExp;
  py::dict ann;
  ann["return"] = "Tuple[List[Path], List[Union[str, Any]]]";
  annotate(m, "check_input", ann);
  m.attr("__all__") = py::make_tuple("check_path", "check_file", "check_input", "save_wave", "file_load", "load_wave",
                                     "load_waves", "copy_waves", "LoadAudio");
  m.attr("__all__") = py::list(m.attr("__all__"));
}

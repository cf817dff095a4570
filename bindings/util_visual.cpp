// vemio.util.visual: figure classes, training-history plots, feature curves and file analysis
// figures. Numbers come from the native feature core; drawing goes through matplotlib.
#include "util_visual/visual.hpp"

namespace py = pybind11;
using namespace vemio::py_common;
using namespace vemio::visual;
namespace feat = vemio::features;

namespace {

// An attribute of this module looked up at call time, so that a replaced (monkeypatched)
// vemio.util.visual.file_load or copy_waves is the one called.
py::object own_attr(const char* name) { return py::module_::import("vemio.util.visual").attr(name); }

py::object path_of(py::handle p) { return cached("pathlib", "Path")(p); }

// (wave, rate) from file_load; an unreadable file (None) fails the way unpacking None does.
std::pair<py::object, int> load(py::object file) {
  py::object r = own_attr("file_load")(file);
  if (r.is_none()) throw py::type_error("cannot unpack non-iterable NoneType object");
  py::tuple t = py::tuple(r);
  return {t[0], t[1].cast<int>()};
}

py::object jet() { return py::module_::import("matplotlib").attr("colormaps")["jet"]; }

// ------------------------------------------------------------------ Common / WaveVisualizer

struct Common {
  py::object is_save, plt_, fig;
  virtual ~Common() = default;
};

struct WaveVisualizer : Common {
  py::object row_len, ax, wave_length;
};

void common_init(Common& self, py::object fig_dir, py::object is_save) {
  if (!PyUnicode_CheckExact(fig_dir.ptr())) type_error("fig_dir", "str", fig_dir);
  self.is_save = is_save;
  if (is_true(is_save))
    path_of(fig_dir).attr("absolute")().attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
  self.plt_ = plt();
  self.fig = plt().attr("figure")(py::arg("figsize") = py::make_tuple(7, 5));
  plt().attr("subplots_adjust")(py::arg("wspace") = 0.3, py::arg("hspace") = 0.3);
}

void loss_plot(Common& self, py::object loss, py::object val_loss) {
  py::object ax = self.fig.attr("add_subplot")(1, 1, 1);
  ax.attr("cla")();
  ax.attr("plot")(loss);
  ax.attr("plot")(val_loss);
  ax.attr("set_title")("Model loss");
  ax.attr("set_xlabel")("Epoch");
  ax.attr("set_ylabel")("Loss");
  py::list labels;
  labels.append("Train");
  labels.append("Validation");
  ax.attr("legend")(labels, py::arg("loc") = "upper right");
}

void plot_stft_w_2mfe(py::object f, py::object n_mels_obj, py::object sub_mfe_fq) {
  if (!is_exact_int(sub_mfe_fq)) type_error("sub_mfe_fq", "int", sub_mfe_fq);
  const int n_mels = py::int_(cached("operator", "index")(n_mels_obj)).cast<int>();
  const long fq = sub_mfe_fq.cast<long>();
  if (fq <= 0) throw py::value_error("sub_mfe_fq must be a positive frequency in Hz");
  py::object path = path_of(f);
  auto [y, sr] = load(path);
  Signal s = to_signal(y);
  py::object pyplot = plt();
  pyplot.attr("figure")(py::arg("figsize") = py::make_tuple(12, 10), py::arg("dpi") = 200);
  pyplot.attr("subplot")(311);
  pyplot.attr("title")(path.attr("stem"));
  waveplot(pyplot.attr("gca")(), s, sr, py::dict());

  auto mel_panel = [&](int where, double fmax, double axis_fmax, const std::string& label) {
    pyplot.attr("subplot")(where);
    pyplot.attr("title")("Mel Spectrogram " + label + "KHz n:" + std::to_string(n_mels));
    feat::StftParams p;
    feat::FrameMatrix m;
    {
      py::gil_scoped_release nogil;
      m = feat::mel_spectrogram(s.span(), sr, p, n_mels, 0.0, fmax);
      feat::power_to_db(m.v, true, 0.0);
    }
    specshow(pyplot.attr("gca")(), to_numpy_bins_by_frames(std::move(m)), sr, 512, "time", "mel", axis_fmax, py::none(),
             true);
  };
  mel_panel(312, sr / 2.0, static_cast<double>(sr / 2), std::to_string(sr));
  mel_panel(313, static_cast<double>(fq), static_cast<double>(fq), std::to_string(fq));
  pyplot.attr("tight_layout")();
  pyplot.attr("show")();
  pyplot.attr("close")();
}

std::unique_ptr<WaveVisualizer> make_wave_visualizer(py::object fig_size, py::object dpi, py::object subplots) {
  if (!subplots.is_none() && !is_exact_int(subplots)) type_error("subplots", "one of (int, NoneType)", subplots);
  auto self = std::make_unique<WaveVisualizer>();
  common_init(*self, py::str("vm_figs"), py::bool_(false));
  py::object pyplot = plt();
  self->plt_ = pyplot;
  self->row_len = py::none();
  if (!subplots.is_none()) {
    self->row_len = subplots;
    py::tuple r = pyplot.attr("subplots")(subplots, 2, py::arg("figsize") = py::make_tuple(11, 8));
    self->fig = r[0];
    self->ax = r[1];
  } else {
    self->fig = pyplot.attr("figure")(py::arg("figsize") = fig_size, py::arg("dpi") = dpi);
  }
  pyplot.attr("subplots_adjust")(py::arg("wspace") = 0.3, py::arg("hspace") = 0.3);
  return self;
}

void multi_hide_xlabel(py::object self) {
  long n = py::int_(self.attr("wave_length")).cast<long>();
  py::object ax = self.attr("ax");
  for (long id = 0; id < n - 1; ++id) {
    ax[py::int_(id)][py::int_(0)].attr("set_xlabel")("");
    ax[py::int_(id)][py::int_(1)].attr("set_xlabel")("");
  }
}

void wave_plot(py::object self, py::object wave_list, py::object title) {
  const long n = static_cast<long>(py::len(wave_list));
  self.attr("wave_length") = py::int_(n);
  py::print(py::str("[vm.] plot ") + py::str(py::int_(n)) + py::str(" wave(s)"));
  if (title.is_none() || static_cast<long>(py::len(title)) != n) {
    py::list stems;
    for (auto w : wave_list) stems.append(path_of(w).attr("stem"));
    title = stems;
  }
  py::object ax = self.attr("ax");
  py::object np = numpy();
  py::iterator ti = py::iter(title);
  long ind = 0;
  for (auto w : wave_list) {
    if (ti == py::iterator::sentinel()) break;
    py::object t = py::reinterpret_borrow<py::object>(*ti);
    ++ti;
    py::object row = ax[py::int_(ind)];
    row[py::int_(0)].attr("set_title")(py::str(t));
    auto [y, sr] = load(py::reinterpret_borrow<py::object>(w));
    Signal s = to_signal(y);
    waveplot(row[py::int_(0)], s, sr, py::dict());
    row[py::int_(1)].attr("set_title")(py::str(t));
    feat::StftParams p;
    p.n_fft = 512;
    p.hop = 256;
    p.win_length = 512;
    p.window = feat::Window::Hamming;
    feat::FrameMatrix m;
    {
      py::gil_scoped_release nogil;
      m = feat::spectrogram(s.span(), p, 1.0);
      feat::amplitude_to_db(m.v, true, 0.0);
    }
    specshow(row[py::int_(1)], to_numpy_bins_by_frames(std::move(m)), sr, 256, "time", "linear", 0.0, jet(), false);
    ++ind;
  }
  multi_hide_xlabel(self);
  self.attr("fig").attr("tight_layout")();
}

void wave_save(py::object self, py::object path) {
  py::object p = path_of(path);
  if (p.attr("exists")().cast<bool>()) {
    py::print("[vm.] 檔案或路徑已存在");
    return;
  }
  save_current_figure(self.attr("plt"), p, py::dict());
}

// ------------------------------------------------------------------ training history

void history_plot(py::object history, py::object metrics, py::object save_fig) {
  if (!save_fig.is_none() && !PyUnicode_CheckExact(save_fig.ptr()))
    type_error("save_fig", "one of (str, NoneType)", save_fig);
  static const char* const colors[] = {"r", "g", "b", "c", "m", "y", "k", "b--", "r:", "c:", "m:", "k:", "g--", "y--"};
  py::object series = history.attr("history");
  py::object pyplot = plt();
  py::list for_legend;
  long index = 0;
  for (auto name : series) {
    int hit = PySequence_Contains(name.ptr(), metrics.ptr());
    if (hit < 0) throw py::error_already_set();
    if (hit) {
      if (index >= 14) throw py::index_error("list index out of range");
      pyplot.attr("plot")(series.attr("get")(name), colors[index]);
      for_legend.append(name);
    }
    ++index;
  }
  pyplot.attr("legend")(for_legend, py::arg("loc") = "upper left", py::arg("fontsize") = "small");
  pyplot.attr("title")(metrics);
  pyplot.attr("xlabel")("Epoch");
  pyplot.attr("ylabel")(metrics);
  pyplot.attr("grid")(true);
  if (!save_fig.is_none()) {
    std::string sf = save_fig.cast<std::string>();
    bool png = sf.size() >= 4 && sf.compare(sf.size() - 4, 4, ".png") == 0;
    py::str name = py::str(png ? "{}_{}" : "{}_{}.png").format(metrics, save_fig);
    // the file's own folder must exist for the save to succeed
    path_of(name).attr("parent").attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true);
    py::dict kw;
    kw["dpi"] = 150;
    save_current_figure(pyplot, name, kw);
  }
  pyplot.attr("show")();
  pyplot.attr("close")();
}

void hist_plt(py::object hist, py::object fig_dir, py::object show) {
  py::object pyplot = plt();
  py::object h = hist.attr("history");
  pyplot.attr("figure")(py::arg("figsize") = py::make_tuple(10, 5));
  auto panel = [&](int pos, const char* a, const char* b, const char* title, const char* ylabel) {
    pyplot.attr("subplot")(1, 2, pos);
    pyplot.attr("plot")(h[a]);
    pyplot.attr("plot")(h[b]);
    pyplot.attr("title")(title);
    pyplot.attr("ylabel")(ylabel);
    pyplot.attr("xlabel")("Epoch");
    py::list labels;
    labels.append("Train");
    labels.append("Validation");
    pyplot.attr("legend")(labels, py::arg("loc") = "upper left");
  };
  panel(1, "accuracy", "val_accuracy", "Model Accuracy", "Accuracy");
  panel(2, "loss", "val_loss", "Model Loss", "Loss");
  pyplot.attr("tight_layout")();
  if (!fig_dir.is_none()) {
    py::dict kw;
    kw["dpi"] = 150;
    save_current_figure(pyplot, py::str(fig_dir), kw);
  }
  if (is_true(show)) {
    pyplot.attr("show")();
    pyplot.attr("close")();
  }
}

// ------------------------------------------------------------------ file analysis figures

void finish_figure(py::object save_dir, py::object show, bool save_as_text) {
  py::object pyplot = plt();
  pyplot.attr("tight_layout")();
  if (!save_dir.is_none()) save_current_figure(pyplot, save_as_text ? py::str(save_dir) : save_dir, py::dict());
  if (is_true(show)) pyplot.attr("show")();
  pyplot.attr("close")();
}

void basic_analyze(py::object file, py::object show, py::object save_dir) {
  auto [x, sr] = load(file);
  Signal s = to_signal(x);
  py::object pyplot = plt();
  pyplot.attr("figure")(py::arg("figsize") = py::make_tuple(10, 8), py::arg("dpi") = 200);
  pyplot.attr("subplot")(311);
  pyplot.attr("title")(path_of(file).attr("stem"));
  waveplot(pyplot.attr("gca")(), s, sr, py::dict());

  feat::FrameMatrix m;
  {
    py::gil_scoped_release nogil;
    m = feat::spectrogram(s.span(), feat::StftParams{}, 1.0);
    feat::amplitude_to_db(m.v, false, 1.0);
  }
  pyplot.attr("subplot")(312);
  pyplot.attr("title")("STFT");
  specshow(pyplot.attr("gca")(), to_numpy_bins_by_frames(std::move(m)), sr, 512, "time", "hz", 0.0, jet(), true);

  pyplot.attr("subplot")(313);
  pyplot.attr("title")("ZCR");
  std::vector<double> z = offset_zcr(x).rate;
  double zmax = *std::max_element(z.begin(), z.end());
  const size_t n = z.size();
  long secs = whole_seconds(s.size(), sr);
  pyplot.attr("plot")(feature_time_axis(s.size(), sr, n), to_numpy(std::move(z)));
  py::list lim;
  lim.append(0);
  lim.append(secs);
  lim.append(0);
  lim.append(zmax);
  pyplot.attr("axis")(lim);
  finish_figure(save_dir, show, true);
}

void draw_three_features(py::object ax, py::object x, const Signal& s, int sr) {
  py::dict kw;
  kw["alpha"] = 0.4;
  kw["label"] = "waveform";
  waveplot(ax, s, sr, kw);
  plot_spectral_centroid(ax, x, sr, py::str("r"), py::str("spectral_centroid"));
  plot_spectral_rolloff(ax, x, sr, py::str("b"), py::str("spectral_rolloff"));
  plot_zcr(ax, x, sr, py::str("g"), py::str("zcr"));
}

void decorate_three_features(py::object ax, const Signal& s, int sr) {
  ax.attr("set_xlim")(0, whole_seconds(s.size(), sr));
  ax.attr("grid")(py::arg("which") = "major", py::arg("axis") = "both");
  ax.attr("set_title")("spectral centroid & spectral rolloff & zcr");
}

void plot_3_features(py::object file, py::object show, py::object save_dir, py::object dpi) {
  auto [x, sr] = load(file);
  Signal s = to_signal(x);
  py::tuple r = plt().attr("subplots")(py::arg("figsize") = py::make_tuple(7, 5), py::arg("dpi") = dpi);
  py::object ax = r[1];
  draw_three_features(ax, x, s, sr);
  decorate_three_features(ax, s, sr);
  finish_figure(save_dir, show, false);
}

void plot_4_features(py::object file, py::object show, py::object save_dir, py::object dpi) {
  auto [x, sr] = load(file);
  Signal s = to_signal(x);
  py::tuple r = plt().attr("subplots")(2, 1, py::arg("figsize") = py::make_tuple(10, 10), py::arg("dpi") = dpi);
  py::object ax = r[1];
  py::object top = ax[py::int_(0)];
  draw_three_features(top, x, s, sr);
  plot_power_spectral_density(ax[py::int_(1)], x, sr, py::str("b"), py::none());
  decorate_three_features(top, s, sr);
  finish_figure(save_dir, show, false);
}

void plot_psd(py::object file, py::object show, py::object save_dir, py::object dpi) {
  auto [x, sr] = load(file);
  to_signal(x);  // an empty file fails here, before a figure is opened
  py::tuple r = plt().attr("subplots")(py::arg("figsize") = py::make_tuple(7, 5), py::arg("dpi") = dpi);
  plot_power_spectral_density(r[1], x, sr, py::str("b"), py::none());
  finish_figure(save_dir, show, false);
}

py::object attr_or_missing(const py::object& v, const char* cls, const char* name) {
  if (!v) throw py::attribute_error(std::string("'") + cls + "' object has no attribute '" + name + "'");
  return v;
}

using py::arg;

// Common (one figure with loss curves) and WaveVisualizer (rows of waveform | spectrogram).
void register_figure_classes(py::module_& m) {
  py::class_<Common>(m, "Common", py::dynamic_attr(),
                     "One matplotlib figure (7 x 5 inches) with loss-curve, show, save and close helpers.")
      .def(py::init([](py::object fig_dir, py::object is_save) {
             auto c = std::make_unique<Common>();
             common_init(*c, fig_dir, is_save);
             return c;
           }),
           arg("fig_dir") = "vm_figs", arg("is_save") = false,
           "fig_dir (str) is created, made absolute, when is_save is true; it is not kept.")
      .def_readwrite("is_save", &Common::is_save)
      .def_readwrite("plt", &Common::plt_)
      .def_readwrite("fig", &Common::fig)
      .def("loss_plot", &loss_plot, arg("loss"), arg("val_loss"),
           "Draw training and validation loss per epoch on the figure ('Model loss').")
      .def(
          "show", [](Common& self) { self.fig.attr("show")(); }, "Show the figure without blocking.")
      .def(
          "save",
          [](Common& self, py::object dir) {
            if (is_true(self.is_save)) save_current_figure(self.plt_, dir, py::dict());
          },
          arg("dir"), "Write the current figure to `dir` when is_save is true.")
      .def(
          "close", [](Common& self) { self.plt_.attr("close")(); }, "Close the current figure.")
      .def_static("plot_stft_w_2mfe", &plot_stft_w_2mfe, arg("f"), arg("n_mels") = 40, arg("sub_mfe_fq") = 48000,
                  "Show a file's waveform above two mel spectrograms (up to sr // 2 and up to\n"
                  "sub_mfe_fq Hz), then close the figure.")
      .def("__repr__", [](py::object self) {
        return "<" + py::str(py::type::of(self).attr("__name__")).cast<std::string>() +
               " fig=" + py::repr(self.attr("fig")).cast<std::string>() + ">";
      });

  py::class_<WaveVisualizer, Common>(m, "WaveVisualizer", py::dynamic_attr(),
                                     "Rows of waveform | linear STFT spectrogram panels, one row per file.")
      .def(py::init(&make_wave_visualizer), arg("fig_size") = py::make_tuple(7, 5), arg("dpi") = 200,
           arg("subplots") = py::none())
      .def_readwrite("row_len", &WaveVisualizer::row_len)
      .def_property(
          "ax", [](const WaveVisualizer& s) { return attr_or_missing(s.ax, "WaveVisualizer", "ax"); },
          [](WaveVisualizer& s, py::object v) { s.ax = v; })
      .def_property(
          "wave_length",
          [](const WaveVisualizer& s) { return attr_or_missing(s.wave_length, "WaveVisualizer", "wave_length"); },
          [](WaveVisualizer& s, py::object v) { s.wave_length = v; })
      .def("plot", &wave_plot, arg("wave_list"), arg("title") = py::none(),
           "Draw each file's waveform and Hamming STFT (dB) in its row, titled with `title` or the\n"
           "file stems.")
      .def("multi_hide_xlabel", &multi_hide_xlabel, "Clear the x labels of every row but the last.")
      .def("save", &wave_save, arg("path"), "Write the current figure to `path` unless it exists.")
      .def(
          "copy_wave", [](py::object, py::object path, py::object wl) { own_attr("copy_waves")(path, wl); },
          arg("path"), arg("wave_list"), "Copy the listed files into the folder `path`.");
}

// Learning curves of a training history.
void register_history_figures(py::module_& m) {
  m.def("history_plot", &history_plot, arg("history"), arg("metrics") = "loss", arg("save_fig") = py::none(),
        "Plot every series of history.history whose name contains `metrics`, save it as\n"
        "'<metrics>_<save_fig>[.png]' at 150 dpi when save_fig is given, show it and close it.");
  m.def("hist_plt", &hist_plt, arg("hist"), arg("fig_dir") = py::none(), arg("show") = false,
        "Accuracy and loss curves side by side; saved to fig_dir, shown and closed when `show`.");
}

// Analysis figures of one audio file.
void register_file_figures(py::module_& m) {
  m.def("basic_analyze", &basic_analyze, arg("file"), arg("show") = false, arg("save_dir") = py::none(),
        "Waveform, STFT (dB, jet) and zero-crossing rate of one file in three panels.");
  m.def("plot_3_features", &plot_3_features, arg("file"), arg("show") = false, arg("save_dir") = py::none(),
        arg("dpi") = 200, "Waveform with spectral centroid, roll-off and zero-crossing curves.");
  m.def("plot_4_features", &plot_4_features, arg("file"), arg("show") = false, arg("save_dir") = py::none(),
        arg("dpi") = 200, "The three-feature chart above the file's power spectral density.");
  m.def("plot_PSD", &plot_psd, arg("file"), arg("show") = false, arg("save_dir") = py::none(), arg("dpi") = 200,
        "The file's power spectral density alone.");
}

// The waveform and spectrogram primitives the figures draw with, for tests and callers.
void register_drawing_primitives(py::module_& m) {
  m.def(
      "_waveplot",
      [](py::object y, int sr, py::object ax, py::kwargs kw) {
        if (ax.is_none()) ax = plt().attr("gca")();
        return waveplot(ax, to_signal(y), sr, py::dict(kw));
      },
      arg("y"), arg("sr") = 22050, arg("ax") = py::none(), "Draw a waveform envelope (time in seconds).");
  m.def(
      "_specshow",
      [](py::array data, double sr, int hop, py::object x_axis, py::object y_axis, py::object fmax, py::object cmap,
         py::object ax) {
        bool current = ax.is_none();
        if (current) ax = plt().attr("gca")();
        auto s = [](py::object o) { return o.is_none() ? std::string() : o.cast<std::string>(); };
        return specshow(ax, data, sr, hop, s(x_axis), s(y_axis), fmax.is_none() ? 0.0 : fmax.cast<double>(), cmap,
                        current);
      },
      arg("data"), arg("sr") = 22050, arg("hop_length") = 512, arg("x_axis") = py::none(), arg("y_axis") = py::none(),
      arg("fmax") = py::none(), arg("cmap") = py::none(), arg("ax") = py::none(),
      "Draw a (rows, frames) array as a mesh with time / hz / linear / mel axes.");
}

// The parameter types the checked functions show (inspect.signature, help).
void annotate_checked_parameters(py::module_& m) {
  py::dict a_hist, a_hplt, a_file;
  a_hist["save_fig"] = py::str("str");
  a_hplt["show"] = py::str("bool");
  a_file["show"] = py::str("bool");
  annotate(m, "history_plot", a_hist);
  annotate(m, "hist_plt", a_hplt);
  annotate(m, "basic_analyze", a_file);
}

// Attributes built on first use (PEP 562: importing the module does not import matplotlib)
// and the public names.
void register_module_attributes(py::module_& m) {
  m.def("__getattr__", [](const std::string& name) -> py::object {
    py::object cls = formatter_class(name);
    if (cls) return cls;
    if (name == "plt") return plt();
    throw py::attribute_error("module 'vemio.util.visual' has no attribute '" + name + "'");
  });

  py::list all;
  for (const char* n : {"Common", "WaveVisualizer", "history_plot"}) all.append(n);
  m.attr("__all__") = all;
}

}  // namespace

PYBIND11_MODULE(visual, m) {
  m.doc() =
      "Figures of audio and training runs: waveforms, spectrograms, mel spectrograms, feature\n"
      "curves, power spectral densities and learning curves, drawn with matplotlib from features\n"
      "computed natively.";
  install_error_translator();  // a FeatureError is a ValueError

  py::object io = py::module_::import("vemio.core.io");
  m.attr("file_load") = io.attr("file_load");
  m.attr("copy_waves") = io.attr("copy_waves");

  register_features(m);
  register_figure_classes(m);
  register_history_figures(m);
  register_file_figures(m);
  register_drawing_primitives(m);
  annotate_checked_parameters(m);
  register_module_attributes(m);
}

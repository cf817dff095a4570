// Waveform and spectrogram drawing with matplotlib, axis decoration and atomic figure saving.
#include <cstring>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "vemio/features/display.hpp"
#include "vemio/util/atomic_file.hpp"
#include "vemio/util/error.hpp"
#include "visual.hpp"

namespace vemio::visual {
namespace feat = vemio::features;
using namespace vemio::py_common;

namespace {

py::object ticker(const char* name) { return py::module_::import("matplotlib.ticker").attr(name); }

std::string fmt_g(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Seconds as h:mm:ss past an hour of view, m:ss past a minute, plain seconds otherwise.
std::string format_time(double x, double span) {
  const char* sign = x < 0 ? "-" : "";
  double v = std::abs(x);
  char buf[64];
  if (span > 3600) {
    long s = static_cast<long>(v);
    std::snprintf(buf, sizeof buf, "%s%ld:%02ld:%02ld", sign, s / 3600, (s / 60) % 60, s % 60);
  } else if (span > 60) {
    long s = static_cast<long>(v);
    std::snprintf(buf, sizeof buf, "%s%ld:%02ld", sign, s / 60, s % 60);
  } else {
    double r = std::round(v * 1000.0) / 1000.0;
    std::snprintf(buf, sizeof buf, "%s%g", r == 0 ? "" : sign, r);
  }
  return buf;
}

// matplotlib Formatter subclasses with native __call__. They are classes (not FuncFormatters
// around native functions) reachable as module attributes, so figures that use them can be
// pickled; they are built on first use, so importing the module does not import matplotlib.
py::object make_formatter_class(const char* name, const char* doc, py::cpp_function (*make_call)(py::handle)) {
  py::dict ns;
  ns["__module__"] = "vemio.util.visual";
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  py::object c = cached("builtins", "type")(name, py::make_tuple(ticker("Formatter")), ns);
  c.attr("__call__") = make_call(c);
  return c;
}

py::cpp_function time_call(py::handle cls) {
  return py::cpp_function(
      [](py::object self, double x, py::object) {
        double span = 0;
        py::object axis = py::getattr(self, "axis", py::none());
        if (!axis.is_none()) {
          py::tuple vi = py::tuple(axis.attr("get_view_interval")());
          span = std::abs(vi[1].cast<double>() - vi[0].cast<double>());
        }
        return format_time(x, span);
      },
      py::name("__call__"), py::is_method(cls), py::arg("x"), py::arg("pos") = py::none());
}

py::cpp_function hz_call(py::handle cls) {
  return py::cpp_function([](py::object, double x, py::object) { return x == 0 ? std::string("0") : fmt_g(x); },
                          py::name("__call__"), py::is_method(cls), py::arg("x"), py::arg("pos") = py::none());
}

}  // namespace

py::object formatter_class(const std::string& name) {
  static py::object* time_cls = nullptr;
  static py::object* hz_cls = nullptr;
  if (name == "_TimeFormatter") {
    if (!time_cls)
      time_cls = new py::object(make_formatter_class(
          "_TimeFormatter", "Tick labels in seconds, m:ss or h:mm:ss depending on the visible span.", &time_call));
    return *time_cls;
  }
  if (name == "_HzFormatter") {
    if (!hz_cls) hz_cls = new py::object(make_formatter_class("_HzFormatter", "Tick labels in Hz.", &hz_call));
    return *hz_cls;
  }
  return py::object();
}

namespace {

void decorate_time(py::object axis) {
  axis.attr("set_major_formatter")(formatter_class("_TimeFormatter")());
  py::list steps;
  for (double s : {1.0, 1.5, 5.0, 6.0, 10.0}) steps.append(s);
  axis.attr("set_major_locator")(ticker("MaxNLocator")(py::arg("prune") = py::none(), py::arg("steps") = steps));
  axis.attr("set_label_text")("Time");
}

py::object next_color(py::object ax) {
  py::object lines = ax.attr("_get_lines");
  if (py::hasattr(lines, "get_next_color")) return lines.attr("get_next_color")();
  return py::module_::import("builtins").attr("next")(lines.attr("prop_cycler"))["color"];
}

py::array_t<double> edges_array(std::vector<double>&& v) { return to_numpy(std::move(v)); }

}  // namespace

void type_error(const char* arg, const char* expected, py::handle got) {
  std::string name = py::str(py::type::of(got).attr("__qualname__")).cast<std::string>();
  std::string mod = py::str(py::getattr(py::type::of(got), "__module__", py::str("builtins"))).cast<std::string>();
  if (mod != "builtins") name = mod + "." + name;
  throw py::type_error(std::string("type of argument \"") + arg + "\" must be " + expected + "; got " + name +
                       " instead");
}

py::object waveplot(py::object ax, const Signal& y, int sr, py::dict kwargs) {
  feat::Envelope e;
  {
    py::gil_scoped_release nogil;
    e = feat::waveform_envelope(y.span(), sr);
  }
  if (!kwargs.contains("color")) kwargs["color"] = next_color(ax);
  const double lo = e.times.front(), hi = e.times.back();
  py::array_t<double> top = to_numpy(std::move(e.peak));
  py::object bottom = top.attr("__neg__")();
  py::object out = ax.attr("fill_between")(to_numpy(std::move(e.times)), bottom, top, **kwargs);
  ax.attr("set_xlim")(py::make_tuple(lo, hi));
  decorate_time(ax.attr("xaxis"));
  return out;
}

py::object specshow(py::object ax, py::array data, double sr, int hop, const std::string& x_axis,
                    const std::string& y_axis, double fmax, py::object cmap, bool set_current) {
  if (data.ndim() != 2) throw py::value_error("a spectrogram must be two-dimensional");
  const int rows = static_cast<int>(data.shape(0)), cols = static_cast<int>(data.shape(1));
  if (cmap.is_none()) {
    // one-signed data (dB below a peak, magnitudes) gets a sequential map, signed data a
    // diverging one; the 2nd and 98th percentiles keep a few outliers from deciding
    py::object np = numpy();
    py::object finite = data[np.attr("isfinite")(data)];
    const char* name = "magma";
    if (py::len(finite) > 0) {
      py::list q;
      q.append(2);
      q.append(98);
      py::object p = np.attr("percentile")(finite, q);
      double lo = p[py::int_(0)].cast<double>(), hi = p[py::int_(1)].cast<double>();
      if (!(lo >= 0 || hi <= 0)) name = "coolwarm";
    }
    cmap = py::module_::import("matplotlib").attr("colormaps")[name];
  }
  std::vector<double> xs, ys;
  if (x_axis == "time")
    xs = feat::time_edges(cols, sr, hop);
  else
    for (int i = 0; i <= cols; ++i) xs.push_back(i);
  if (y_axis == "hz" || y_axis == "linear")
    ys = feat::fft_hz_edges(rows, sr);
  else if (y_axis == "mel")
    ys = feat::mel_hz_edges(rows, 0.0, fmax > 0 ? fmax : 11025.0);
  else
    for (int i = 0; i <= rows; ++i) ys.push_back(i);
  const double x0 = xs.front(), x1 = xs.back(), y0 = ys.front(), y1 = ys.back();
  py::object out =
      ax.attr("pcolormesh")(edges_array(std::move(xs)), edges_array(std::move(ys)), data, py::arg("cmap") = cmap,
                            py::arg("rasterized") = true, py::arg("edgecolors") = "None", py::arg("shading") = "flat");
  ax.attr("set_xlim")(x0, x1);
  ax.attr("set_ylim")(y0, y1);
  if (y_axis == "mel") {
    ax.attr("set_yscale")("symlog", py::arg("linthresh") = 1000.0, py::arg("base") = 2);
    ax.attr("yaxis").attr("set_major_formatter")(formatter_class("_HzFormatter")());
    ax.attr("yaxis").attr("set_label_text")("Hz");
  } else if (y_axis == "hz" || y_axis == "linear") {
    ax.attr("yaxis").attr("set_major_formatter")(ticker("ScalarFormatter")());
    ax.attr("yaxis").attr("set_label_text")("Hz");
  }
  if (x_axis == "time") decorate_time(ax.attr("xaxis"));
  if (set_current) plt().attr("sci")(out);
  return out;
}

void save_current_figure(py::object savefig_owner, py::object target, py::dict kwargs) {
  py::object os = py::module_::import("os");
  py::object name = os.attr("fspath")(target);
  if (!PyUnicode_Check(name.ptr())) name = os.attr("fsdecode")(name);
  py::object splitext = os.attr("path").attr("splitext");
  std::string ext = py::str(py::tuple(splitext(name))[1]).cast<std::string>();
  std::string fmt;
  if (ext.size() > 1) {
    fmt = ext.substr(1);
  } else {
    fmt = py::str(py::module_::import("matplotlib").attr("rcParams")["savefig.format"]).cast<std::string>();
    name = py::str(name) + py::str("." + fmt);
  }
  py::object path = cached("pathlib", "Path")(name);
  // the temporary's name says nothing about the format: it comes from the final name
  kwargs["format"] = fmt;
  try {
    vemio::util::replace_file_atomic(to_fs_path(path), [&](const std::filesystem::path& tmp) {
      // pyplot's savefig renders the figure a second time afterwards (to refresh interactive
      // canvases); the figure's own savefig writes the same file with one rendering
      py::object fig = py::hasattr(savefig_owner, "gcf") ? savefig_owner.attr("gcf")() : savefig_owner;
      fig.attr("savefig")(make_path(tmp), **kwargs);
    });
  } catch (const vemio::FileError& e) {
    raise_os_error(e, py::str(path));
  }
}

}  // namespace vemio::visual

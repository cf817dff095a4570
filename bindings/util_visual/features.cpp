// Native features as numpy arrays, min-max scaling and the feature-curve plots.
#include <cmath>

#include "vemio/features/display.hpp"
#include "vemio/features/psd.hpp"
#include "vemio/features/scale.hpp"
#include "visual.hpp"

namespace vemio::visual {
namespace feat = vemio::features;
using namespace vemio::py_common;

py::object plt() {
  static py::object* mod = new py::object(py::module_::import("matplotlib.pyplot"));
  return *mod;
}

py::object numpy() {
  static py::object* mod = new py::object(py::module_::import("numpy"));
  return *mod;
}

namespace {
// y as a numpy array, checked to be a non-empty, one-dimensional numeric signal
py::array checked_signal(py::handle y, const char* what) {
  py::array a = numpy().attr("asarray")(y);
  std::string kind = py::str(a.dtype().attr("kind")).cast<std::string>();
  if (kind != "f" && kind != "i" && kind != "u" && kind != "b")
    throw py::type_error(std::string(what) + " must be a numeric array, got dtype " +
                         py::str(a.dtype()).cast<std::string>());
  if (a.ndim() != 1)
    throw py::value_error(std::string(what) + " must be one-dimensional, got shape " +
                          py::str(a.attr("shape")).cast<std::string>());
  if (a.size() == 0) throw py::value_error(std::string(what) + " is empty: there are no samples to analyse");
  return a;
}

template <class T>
py::array_t<T> c_array_of(const py::array& a) {
  return c_array<T>(a);
}
}  // namespace

Signal to_signal(py::handle y, const char* what) { return Signal{c_array_of<double>(checked_signal(y, what))}; }

SpectralSignal to_spectral_signal(py::handle y, const char* what) {
  py::array a = checked_signal(y, what);
  SpectralSignal s;
  if (a.dtype().equal(py::dtype::of<float>())) {  // float32 samples as they are
    auto f = c_array_of<float>(a);
    s.view = std::span<const float>(f.data(), static_cast<size_t>(f.size()));
    s.arr = std::move(f);
  } else {
    auto d = c_array_of<double>(a);
    s.view = std::span<const double>(d.data(), static_cast<size_t>(d.size()));
    s.arr = std::move(d);
  }
  return s;
}

py::array_t<double> to_numpy(std::vector<double>&& v) { return vector_array(std::move(v)); }

py::array_t<double> to_numpy_bins_by_frames(feat::FrameMatrix&& m) {
  const py::ssize_t frames = m.frames, bins = m.bins, d = sizeof(double);
  return vector_array(std::move(m.v), {bins, frames}, {d, bins * d});
}

long whole_seconds(size_t len, double sr) {
  if (!(sr > 0) || !std::isfinite(sr)) throw py::value_error("sampling rate must be a positive number");
  return static_cast<long>(static_cast<double>(len) / sr);
}

py::object feature_time_axis(size_t len, double sr, size_t n) {
  return numpy().attr("linspace")(0, whole_seconds(len, sr), n);
}

namespace {

feat::Window parse_window(py::handle w) {
  std::string s = py::str(w).cast<std::string>();
  if (s == "hann" || s == "hanning") return feat::Window::Hann;
  if (s == "hamming") return feat::Window::Hamming;
  throw py::value_error("unsupported window: " + s + " (hann or hamming)");
}

feat::StftParams params(int n_fft, int hop, py::object win_length, py::object window, bool center) {
  feat::StftParams p;
  p.n_fft = n_fft;
  p.hop = hop;
  p.win_length = win_length.is_none() ? 0 : py::int_(cached("operator", "index")(win_length)).cast<int>();
  if (!win_length.is_none() && p.win_length <= 0) throw py::value_error("win_length must be positive");
  p.window = parse_window(window);
  p.center = center;
  return p;
}

double check_rate(double sr) {
  if (!(sr > 0) || !std::isfinite(sr)) throw py::value_error("sampling rate must be a positive number");
  return sr;
}

py::array_t<std::complex<double>> stft_py(py::object y, int n_fft, int hop, py::object win_length, py::object window,
                                          bool center) {
  SpectralSignal s = to_spectral_signal(y);
  auto p = params(n_fft, hop, win_length, window, center);
  int frames = 0;
  std::vector<std::complex<double>> v;
  {
    py::gil_scoped_release nogil;
    v = feat::stft(s.samples(), p, &frames);
  }
  const py::ssize_t bins = p.n_fft / 2 + 1, d = sizeof(std::complex<double>);
  return vector_array(std::move(v), {bins, static_cast<py::ssize_t>(frames)}, {d, bins * d});
}

py::array_t<double> spectrogram_py(py::object y, int n_fft, int hop, py::object win_length, py::object window,
                                   bool center, double power) {
  SpectralSignal s = to_spectral_signal(y);
  auto p = params(n_fft, hop, win_length, window, center);
  feat::FrameMatrix m;
  {
    py::gil_scoped_release nogil;
    m = feat::spectrogram(s.samples(), p, power);
  }
  return to_numpy_bins_by_frames(std::move(m));
}

// ref: a number, or a callable applied to |S| (numpy.max for a peak reference)
py::array_t<double> to_db(py::object S, py::object ref, double amin, py::object top_db, bool amplitude) {
  if (!(amin > 0)) throw py::value_error("amin must be strictly positive");
  double tdb = top_db.is_none() ? -1.0 : top_db.cast<double>();
  if (!top_db.is_none() && tdb < 0) throw py::value_error("top_db must be non-negative");
  py::array a = numpy().attr("asarray")(S);
  const bool f32 = a.dtype().equal(py::dtype::of<float>());
  const bool f64 = a.dtype().equal(py::dtype::of<double>());
  const auto flags = a.flags();
  const bool c_order = flags & py::array::c_style, f_order = flags & py::array::f_style;
  const bool aligned = flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_;
  if (!(f32 || f64) || !(c_order || f_order) || !aligned) {
    // complex, integer, strided or unaligned input: |S| as a fresh C-ordered float64 array first
    a = numpy().attr("abs")(a, py::arg("dtype") = numpy().attr("float64"), py::arg("casting") = "unsafe",
                            py::arg("order") = "C");
    return to_db(a, ref, amin, top_db, amplitude);
  }
  // the result keeps the shape and memory order of the input (the order numpy's own
  // elementwise operations keep)
  std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
  py::array_t<double> out = f_order && !c_order ? py::array_t<double>(py::array_t<double, py::array::f_style>(shape))
                                                : py::array_t<double>(shape);
  const size_t n = static_cast<size_t>(a.size());
  if (n == 0) return out;
  const feat::Samples values = f32 ? feat::Samples(std::span<const float>(static_cast<const float*>(a.data()), n))
                                   : feat::Samples(std::span<const double>(static_cast<const double*>(a.data()), n));
  bool ref_is_max = false;
  double ref_value = 0;
  if (PyCallable_Check(ref.ptr())) {
    if (ref.is(numpy().attr("max")) || ref.is(numpy().attr("amax")))
      ref_is_max = true;  // the peak (of |S| for amplitudes), found natively
    else
      ref_value = py::float_(ref(amplitude ? numpy().attr("abs")(a) : a)).cast<double>();
  } else {
    ref_value = std::abs(py::float_(ref).cast<double>());
  }
  {
    py::gil_scoped_release nogil;
    // a power spectrogram is taken as it is; an amplitude is squared, which drops its sign
    feat::to_db(values, out.mutable_data(), amplitude, ref_is_max, ref_value, amin, tdb);
  }
  return out;
}

double default_fmax(py::object fmax, double sr) { return fmax.is_none() ? sr / 2.0 : fmax.cast<double>(); }

py::array_t<double> mel_filters_py(double sr, int n_fft, int n_mels, double fmin, py::object fmax) {
  auto b = feat::mel_filters(check_rate(sr), n_fft, n_mels, fmin, default_fmax(fmax, sr));
  auto arr = to_numpy(std::move(b.w));
  return arr.reshape({static_cast<py::ssize_t>(b.n_mels), static_cast<py::ssize_t>(b.n_bins)});
}

py::array_t<double> melspectrogram_py(py::object y, double sr, int n_fft, int hop, int n_mels, double fmin,
                                      py::object fmax) {
  SpectralSignal s = to_spectral_signal(y);
  feat::StftParams p;
  p.n_fft = n_fft;
  p.hop = hop;
  double hi = default_fmax(fmax, check_rate(sr));
  feat::FrameMatrix m;
  {
    py::gil_scoped_release nogil;
    m = feat::mel_spectrogram(s.samples(), sr, p, n_mels, fmin, hi);
  }
  return to_numpy_bins_by_frames(std::move(m));
}

std::vector<double> centroid_of(const SpectralSignal& s, double sr) {
  check_rate(sr);
  py::gil_scoped_release nogil;
  return feat::spectral_centroid(s.samples(), sr, feat::StftParams{});
}

std::vector<double> rolloff_of(const SpectralSignal& s, double sr, double roll_percent = 0.85) {
  check_rate(sr);
  py::gil_scoped_release nogil;
  return feat::spectral_rolloff(s.samples(), sr, feat::StftParams{}, roll_percent);
}

std::vector<double> zcr_of(const Signal& s, int frame_length, int hop, bool center) {
  py::gil_scoped_release nogil;
  return feat::zero_crossing_rate(s.span(), frame_length, hop, center);
}

feat::Psd welch_of(py::object x, double fs, int nperseg = 256, int nfft = 1024) {
  Signal s = to_signal(x, "x");
  check_rate(fs);
  if (static_cast<size_t>(nperseg) > s.size()) {
    std::string msg = "nperseg = " + std::to_string(nperseg) +
                      " is greater than input length  = " + std::to_string(s.size()) +
                      ", using nperseg = " + std::to_string(s.size());
    cached("warnings", "warn")(msg, cached("builtins", "UserWarning"), py::arg("stacklevel") = 2);
  }
  py::gil_scoped_release nogil;
  return feat::welch(s.span(), fs, nperseg, -1, nfft);
}

// sklearn.preprocessing.minmax_scale(x, axis=axis): float32/float64 kept, other numbers as
// float64; 1-D input is one column.
py::array normalize(py::object x, int axis) {
  py::array a = numpy().attr("asarray")(x);
  std::string kind = py::str(a.dtype().attr("kind")).cast<std::string>();
  if (kind != "f" && kind != "i" && kind != "u" && kind != "b")
    throw py::value_error("normalize expects a numeric array, got dtype " + py::str(a.dtype()).cast<std::string>());
  if (a.ndim() > 2) throw py::value_error("Found array with dim " + std::to_string(a.ndim()) + ". Expected <= 2.");
  if (a.ndim() == 0) throw py::value_error("Expected a 1-D or 2-D array, got a scalar");
  if (axis != 0 && axis != 1) throw py::value_error("axis must be 0 or 1");
  const bool single = kind == "f" && a.itemsize() == 4;
  py::array out = numpy().attr("array")(a, py::arg("dtype") = numpy().attr(single ? "float32" : "float64"),
                                        py::arg("order") = "C", py::arg("copy") = true);
  if (out.size() == 0)
    throw py::value_error("Found array with 0 sample(s) (shape=" + py::str(a.attr("shape")).cast<std::string>() + ")");
  if (numpy().attr("isinf")(out).attr("any")().cast<bool>())
    throw py::value_error("Input contains infinity or a value too large for " +
                          py::repr(out.dtype()).cast<std::string>() + ".");
  size_t rows = static_cast<size_t>(out.shape(0)), cols = a.ndim() == 2 ? static_cast<size_t>(out.shape(1)) : 1;
  if (single) {
    auto t = py::array_t<float>(out);
    feat::minmax_scale<float>(std::span<float>(t.mutable_data(), t.size()), rows, cols, axis);
  } else {
    auto t = py::array_t<double>(out);
    feat::minmax_scale<double>(std::span<double>(t.mutable_data(), t.size()), rows, cols, axis);
  }
  return out;
}

void finish_curve(py::object ax, py::object label) {
  if (!label.is_none()) ax.attr("legend")();
}

}  // namespace

namespace {
// One spectral feature of y against time, min-max scaled, with its title.
template <class Feature>
void plot_spectral_curve(py::object ax, py::object y, double sr, py::object color, py::object label, Feature feature,
                         const char* title) {
  SpectralSignal s = to_spectral_signal(y);
  std::vector<double> v = feature(s, sr);
  py::object t = feature_time_axis(static_cast<size_t>(s.arr.size()), sr, v.size());
  ax.attr("plot")(t, normalize(to_numpy(std::move(v)), 0), py::arg("color") = color, py::arg("label") = label);
  ax.attr("set_title")(title);
  finish_curve(ax, label);
}
}  // namespace

void plot_spectral_centroid(py::object ax, py::object y, double sr, py::object color, py::object label) {
  plot_spectral_curve(
      ax, y, sr, color, label, [](const SpectralSignal& s, double r) { return centroid_of(s, r); },
      "Spectral Centroid");
}

void plot_spectral_rolloff(py::object ax, py::object y, double sr, py::object color, py::object label) {
  plot_spectral_curve(
      ax, y, sr, color, label, [](const SpectralSignal& s, double r) { return rolloff_of(s, r); }, "Spectral Rolloff");
}

ZcrCurve offset_zcr(py::handle y) {
  py::array a = checked_signal(y, "y");
  const size_t n = static_cast<size_t>(a.size());
  const py::dtype dt = a.dtype();
  // the offset is added in the precision of the array sum: a floating dtype's own (in either
  // byte order), float64 for integers and booleans
  const bool floating = dt.kind() == 'f';
  if (floating && dt.itemsize() == 2) {  // float16, read as its bit patterns
    auto bits = c_array<std::uint16_t>(a.attr("view")(py::str(dt.attr("byteorder")) + py::str("u2")));
    py::gil_scoped_release nogil;
    return {feat::offset_zero_crossing_rate_half({bits.data(), n}), n};
  }
  if (floating && dt.itemsize() == 4) {
    auto f = c_array<float>(a);
    py::gil_scoped_release nogil;
    return {feat::offset_zero_crossing_rate(std::span<const float>(f.data(), n)), n};
  }
  if (floating && dt.itemsize() == sizeof(long double)) {
    auto ld = c_array<long double>(a);
    py::gil_scoped_release nogil;
    return {feat::offset_zero_crossing_rate(std::span<const long double>(ld.data(), n)), n};
  }
  auto d = c_array<double>(a);
  py::gil_scoped_release nogil;
  return {feat::offset_zero_crossing_rate(std::span<const double>(d.data(), n)), n};
}

void plot_zcr(py::object ax, py::object y, double sr, py::object color, py::object label) {
  ax.attr("set_title")("ZCR");
  ZcrCurve z = offset_zcr(y);
  py::object t = feature_time_axis(z.samples, sr, z.rate.size());
  ax.attr("plot")(t, to_numpy(std::move(z.rate)), py::arg("color") = color, py::arg("label") = label);
  finish_curve(ax, label);
}

void plot_power_spectral_density(py::object ax, py::object y, double sr, py::object color, py::object label) {
  auto r = welch_of(y, sr, 256, 1024);
  ax.attr("semilogx")(to_numpy(std::move(r.freqs)), to_numpy(std::move(r.psd)), py::arg("color") = color,
                      py::arg("label") = label);
  ax.attr("set_title")("Power Spectral Density");
  ax.attr("set_xlabel")("Frequency[Hz]");
  ax.attr("set_ylabel")("PSD [V**2/Hz]");
  ax.attr("grid")(py::arg("which") = "major", py::arg("axis") = "both");
  finish_curve(ax, label);
}

void register_features(py::module_& m) {
  using py::arg;
  m.def("normalize", &normalize, arg("x"), arg("axis") = 0,
        "Scale `x` (1-D, or 2-D along `axis`) to [0, 1]: (x - min) / (max - min); a constant line\n"
        "maps to zeros. float32 stays float32, other numbers become float64.");
  m.def("plot_spectral_centroid", &plot_spectral_centroid, arg("ax"), arg("y"), arg("sr"), arg("color") = "r",
        arg("label") = py::none(),
        "Draw the spectral centroid of `y` (2048-sample centred frames, hop 512), scaled to\n"
        "[0, 1], against whole-second time on `ax`; title 'Spectral Centroid'.");
  m.def("plot_spectral_rolloff", &plot_spectral_rolloff, arg("ax"), arg("y"), arg("sr"), arg("color") = "r",
        arg("label") = py::none(),
        "Draw the 85 % spectral roll-off frequency of `y`, scaled to [0, 1], on `ax`; title\n"
        "'Spectral Rolloff'.");
  m.def("plot_zcr", &plot_zcr, arg("ax"), arg("y"), arg("sr"), arg("color") = "r", arg("label") = py::none(),
        "Draw the zero-crossing rate per frame of `y` + 0.0001 on `ax`; title 'ZCR'.");
  m.def("plot_power_spectral_density", &plot_power_spectral_density, arg("ax"), arg("y"), arg("sr"), arg("color") = "b",
        arg("label") = py::none(),
        "Draw the Welch power spectral density of `y` (Hann 256, half overlap, 1024-point FFT) on a\n"
        "logarithmic frequency axis; title 'Power Spectral Density'.");

  // Native features, for tests, benchmarks and callers who want the numbers.
  m.def("_stft", &stft_py, arg("y"), arg("n_fft") = 2048, arg("hop_length") = 512, arg("win_length") = py::none(),
        arg("window") = "hann", arg("center") = true, "Complex STFT, shape (1 + n_fft // 2, frames).");
  m.def("_spectrogram", &spectrogram_py, arg("y"), arg("n_fft") = 2048, arg("hop_length") = 512,
        arg("win_length") = py::none(), arg("window") = "hann", arg("center") = true, arg("power") = 1.0,
        "|STFT| ** power, shape (1 + n_fft // 2, frames).");
  m.def(
      "_amplitude_to_db",
      [](py::object S, py::object ref, double amin, py::object top_db) { return to_db(S, ref, amin, top_db, true); },
      arg("S"), arg("ref") = 1.0, arg("amin") = 1e-5, arg("top_db") = 80.0,
      "20 log10(|S| / ref) floored at amin and at top_db below the peak; ref may be a callable\n"
      "such as numpy.max.");
  m.def(
      "_power_to_db",
      [](py::object S, py::object ref, double amin, py::object top_db) { return to_db(S, ref, amin, top_db, false); },
      arg("S"), arg("ref") = 1.0, arg("amin") = 1e-10, arg("top_db") = 80.0, "10 log10(S / ref), floored likewise.");
  m.def("_mel_filters", &mel_filters_py, arg("sr"), arg("n_fft") = 2048, arg("n_mels") = 128, arg("fmin") = 0.0,
        arg("fmax") = py::none(), "Slaney-style area-normalised mel filter bank, shape (n_mels, 1 + n_fft // 2).");
  m.def("_melspectrogram", &melspectrogram_py, arg("y"), arg("sr"), arg("n_fft") = 2048, arg("hop_length") = 512,
        arg("n_mels") = 128, arg("fmin") = 0.0, arg("fmax") = py::none(), "Mel power spectrogram (n_mels, frames).");
  m.def(
      "_spectral_centroid", [](py::object y, double sr) { return to_numpy(centroid_of(to_spectral_signal(y), sr)); },
      arg("y"), arg("sr"), "Spectral centroid per frame in Hz.");
  m.def(
      "_spectral_rolloff",
      [](py::object y, double sr, double roll) { return to_numpy(rolloff_of(to_spectral_signal(y), sr, roll)); },
      arg("y"), arg("sr"), arg("roll_percent") = 0.85, "Roll-off frequency per frame in Hz.");
  m.def(
      "_zero_crossing_rate",
      [](py::object y, int frame_length, int hop, bool center) {
        return to_numpy(zcr_of(to_signal(y), frame_length, hop, center));
      },
      arg("y"), arg("frame_length") = 2048, arg("hop_length") = 512, arg("center") = true,
      "Zero-crossing rate per frame (edge-padded centred frames).");
  m.def(
      "_welch",
      [](py::object x, double fs, int nperseg, int nfft) {
        auto r = welch_of(x, fs, nperseg, nfft);
        return py::make_tuple(to_numpy(std::move(r.freqs)), to_numpy(std::move(r.psd)));
      },
      arg("x"), arg("fs"), arg("nperseg") = 256, arg("nfft") = 1024,
      "(freqs, one-sided PSD density) by Welch's method.");
  m.def(
      "_envelope",
      [](py::object y, int sr, long max_points, int max_sr) {
        Signal s = to_signal(y);
        auto e = feat::waveform_envelope(s.span(), sr, max_points, max_sr);
        return py::make_tuple(to_numpy(std::move(e.times)), to_numpy(std::move(e.peak)));
      },
      arg("y"), arg("sr"), arg("max_points") = 50000, arg("max_sr") = 1000,
      "(times, peak |y|) of the waveform envelope drawn by the figures.");
}

}  // namespace vemio::visual

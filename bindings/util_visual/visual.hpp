// Shared pieces of the vemio.util.visual binding: signal conversion, feature arrays and the
// waveform/spectrogram drawing primitives.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "common.hpp"
#include "vemio/features/spectral.hpp"

namespace vemio::visual {
namespace py = pybind11;

// matplotlib.pyplot, imported on first use.
py::object plt();
py::object numpy();

// A one-dimensional numeric signal as contiguous doubles (a copy only when the input is not
// already a contiguous float64 array). Refuses empty and multi-dimensional input.
struct Signal {
  py::array_t<double> arr;
  std::span<const double> span() const { return {arr.data(), static_cast<size_t>(arr.size())}; }
  size_t size() const { return static_cast<size_t>(arr.size()); }
};
Signal to_signal(py::handle y, const char* what = "y");

// A signal for the spectral features: float32 arrays are read in place, anything else as
// float64.
struct SpectralSignal {
  py::array arr;
  vemio::features::Samples view{std::span<const double>()};  // safe to use without the GIL
  vemio::features::Samples samples() const { return view; }
};
SpectralSignal to_spectral_signal(py::handle y, const char* what = "y");

// The zero-crossing rate the figures draw, per frame of a signal of `samples` samples: of
// y + features::kZcrOffset with the offset added in y's own precision (float32 audio as
// float32 sums, float16 and long double likewise; integers and booleans as float64). y is
// checked like every signal; the GIL is released while counting.
struct ZcrCurve {
  std::vector<double> rate;
  size_t samples = 0;
};
ZcrCurve offset_zcr(py::handle y);

// Numpy views of native results.
py::array_t<double> to_numpy(std::vector<double>&& v);
// frames x bins (frame-major) as a (bins, frames) array, like the spectrogram layout users know
py::array_t<double> to_numpy_bins_by_frames(vemio::features::FrameMatrix&& m);

// int(len(y) / sr): the signal duration truncated to whole seconds.
long whole_seconds(size_t len, double sr);
// np.linspace(0, whole_seconds, n)
py::object feature_time_axis(size_t len, double sr, size_t n);

// Waveform envelope (peak |y| per block) filled between -peak and +peak on `ax`, time in seconds
// on the x axis. kwargs go to fill_between (colour: the axes' next cycle colour by default).
py::object waveplot(py::object ax, const Signal& y, int sr, py::dict kwargs);

// A spectrogram-like (rows, columns) array drawn as a pcolormesh on `ax` with cell edges from the
// axis kinds: x "time" (frames of hop samples) or none; y "hz"/"linear" (FFT bins up to sr/2),
// "mel" (mel bands up to fmax) or none. cmap none: magma for one-signed data, coolwarm otherwise.
py::object specshow(py::object ax, py::array data, double sr, int hop, const std::string& x_axis,
                    const std::string& y_axis, double fmax, py::object cmap, bool set_current);

// Writes the current pyplot figure to `target` (format from the suffix, matplotlib's default
// format and suffix when there is none) through the core's atomic writer: a temporary file in
// the same folder, renamed into place, with the permissions of a new file under the umask.
// kwargs go to savefig. A folder that cannot take the file raises the matching OSError.
void save_current_figure(py::object savefig_owner, py::object target, py::dict kwargs);

// The tick formatter classes "_TimeFormatter" and "_HzFormatter" (built on first use); a null
// object for any other name.
py::object formatter_class(const std::string& name);

// TypeError in the wording users of type-checked APIs know.
[[noreturn]] void type_error(const char* arg, const char* expected, py::handle got);

// Feature plot functions shared by the module functions and the file figures.
void plot_spectral_centroid(py::object ax, py::object y, double sr, py::object color, py::object label);
void plot_spectral_rolloff(py::object ax, py::object y, double sr, py::object color, py::object label);
void plot_zcr(py::object ax, py::object y, double sr, py::object color, py::object label);
void plot_power_spectral_density(py::object ax, py::object y, double sr, py::object color, py::object label);

// The feature functions and their curve plots (util_visual/features.cpp).
void register_features(py::module_& m);

}  // namespace vemio::visual

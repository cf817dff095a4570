// vemio._enh.trad: classical single-channel enhancement (MCRA noise estimate, power
// subtraction, Wiener-type gain), the four frame-by-frame noise estimators, and a wavelet
// low-pass filter.
#include <string>

#include "common.hpp"
#include "vemio/enhance/trad.hpp"
#include "vemio/enhance/wavelet.hpp"
#include "vemio/util/fft.hpp"

namespace py = pybind11;
using namespace vemio::py_common;
namespace enh = vemio::enhance;

void register_estimators(py::module_& m);  // enh_trad/estimators.cpp

namespace {

using Arr = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Any 1-D numeric array-like as contiguous float64 samples.
Arr signal(py::handle y, const char* fn) {
  py::array a = cached("numpy", "asarray")(y);
  if (a.ndim() != 1)
    throw py::value_error(std::string(fn) + ": a 1-D signal is expected, got an array of shape " +
                          std::string(py::str(a.attr("shape"))));
  return c_array<double>(a);
}

py::array_t<double> trad_enhance(py::object y, py::object /*sr*/) {
  Arr x = signal(y, "trad_enhance");
  const size_t n = size_t(x.size());
  py::array_t<double> out(py::ssize_t(enh::trad_output_length(n)));
  {
    py::gil_scoped_release release;
    enh::trad_enhance(std::span<const double>(x.data(), n), std::span<double>(out.mutable_data(), size_t(out.size())));
  }
  return out;
}

enh::WaveletFilters wavelet_filters(py::handle wavelet) {
  if (PyUnicode_Check(wavelet.ptr())) {
    std::string name = wavelet.cast<std::string>();
    if (auto w = enh::find_wavelet(name)) return *w;
    throw py::value_error("unknown discrete wavelet name '" + name +
                          "'; known are haar, db1-db38, sym2-sym20, coif1-coif17, biorX.Y, rbioX.Y and dmey");
  }
  // A wavelet object carrying its own filter bank (dec_lo, dec_hi, rec_lo, rec_hi).
  if (!py::hasattr(wavelet, "filter_bank"))
    throw py::type_error("wavelet must be a wavelet name or an object with a filter_bank");
  py::sequence bank = wavelet.attr("filter_bank");
  if (py::len(bank) != 4) throw py::value_error("a filter bank holds four filters");
  enh::WaveletFilters w;
  w.name = py::hasattr(wavelet, "name") ? py::str(wavelet.attr("name")).cast<std::string>() : "custom";
  std::vector<double>* dst[4] = {&w.dec_lo, &w.dec_hi, &w.rec_lo, &w.rec_hi};
  for (int i = 0; i < 4; ++i) {
    Arr f = c_array<double>(bank[size_t(i)]);
    if (f.ndim() != 1) throw py::value_error("wavelet filters must be 1-D");
    dst[i]->assign(f.data(), f.data() + f.size());
  }
  if (w.dec_lo.size() < 2 || w.dec_hi.size() != w.dec_lo.size() || w.rec_lo.size() != w.dec_lo.size() ||
      w.rec_hi.size() != w.dec_lo.size())
    throw py::value_error("wavelet filters must have equal lengths of at least 2");
  return w;
}

py::array_t<double> wavelet_low_pass_filter(py::object y, py::object thres, py::object wavelet) {
  enh::WaveletFilters w = wavelet_filters(wavelet);
  double t = PyFloat_AsDouble(thres.ptr());
  if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  Arr x = signal(y, "wavelet_low_pass_filter");
  std::vector<std::vector<double>> coeffs;
  {
    py::gil_scoped_release release;
    coeffs = enh::wavelet_shrink(std::span<const double>(x.data(), size_t(x.size())), t, w);
  }
  py::array_t<double> out(py::ssize_t(enh::waverec_length(coeffs)));
  {
    py::gil_scoped_release release;
    enh::waverec_per(coeffs, w, std::span<double>(out.mutable_data(), size_t(out.size())));
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(trad, m) {
  install_error_translator();
  m.doc() =
      "Classical single-channel speech enhancement: trad_enhance (MCRA noise estimate, power\n"
      "subtraction with an SNR-dependent factor and floor, Wiener-type gain), the noise\n"
      "estimators INIT/EST, and wavelet_low_pass_filter.";

  m.def("trad_enhance", &trad_enhance, py::arg("y"), py::arg("sr"),
        "Enhance a 1-D noisy speech signal (any numeric dtype) frame by frame: 512-sample\n"
        "Hamming frames with 50 % overlap, MCRA noise estimate, SNR-dependent power\n"
        "subtraction and spectral floor, Wiener-type gain with over-suppression, overlap-add.\n"
        "Returns float64 samples, len(y) rounded down to a multiple of 256; the last 256 stay 0.\n"
        "`sr` does not change the result. Frames of digital silence give NaN samples.\n"
        "Runs without the GIL, so several signals can be enhanced on several threads.");
  m.def("wavelet_low_pass_filter", &wavelet_low_pass_filter, py::arg("y"), py::arg("thres") = 0.8,
        py::arg("wavelet") = "db2",
        "Multilevel discrete wavelet decomposition of `y` with periodization at the maximum\n"
        "useful level; every detail band is soft-thresholded at `thres` times its largest\n"
        "(signed, NaN-ignoring) coefficient; returns the float64 reconstruction, whose length\n"
        "is that of the periodized transform (len(y) rounded up to even when levels >= 1).\n"
        "`wavelet` is any discrete wavelet name (haar, dbN, symN, coifN, biorX.Y, rbioX.Y, dmey)\n"
        "or an object with a `filter_bank`.");
  register_estimators(m);
  m.def("_fft_backend", [] { return std::string(vemio::fft::backend_name()); });
  m.def("_wavelet_names", [] { return enh::wavelet_names(); });
  m.attr("__all__") = py::list(py::make_tuple("trad_enhance"));
}

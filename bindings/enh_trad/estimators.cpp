// INIT and EST: the four frame-by-frame noise estimators on Python dictionaries and numpy
// float64 arrays. The dictionary is the estimator's whole state; the callers see exactly its
// keys, their order and the identity of the arrays stored under them (one array may sit under
// several keys, and some updates write into a stored array element by element).
#include <array>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common.hpp"
#include "vemio/enhance/estimators.hpp"

namespace py = pybind11;
using namespace vemio::py_common;
namespace est = vemio::enhance::est;

namespace {

using Arr = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Init {
  py::object ns_ps, fs;
};

struct Est {
  py::object ns_ps, para;
};

py::object get(py::handle para, const char* key) {
  PyObject* v = PyObject_GetItem(para.ptr(), py::str(key).ptr());
  if (!v) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

// The entries an update reads, looked up in the order given (the first missing key fails, as
// para[key] does). Some are read only to fail the way the update's reads would.
template <std::size_t N>
std::array<py::object, N> entries(py::handle para, const char* const (&keys)[N]) {
  std::array<py::object, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = get(para, keys[i]);
  return out;
}

void put(py::handle para, const char* key, py::handle value) {
  if (PyObject_SetItem(para.ptr(), py::str(key).ptr(), value.ptr()) != 0) throw py::error_already_set();
}

double real(py::handle h) {
  double v = PyFloat_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

// A stored array as float64 values (a view when it already is one, else a converted copy).
Arr values(py::handle h) {
  Arr a = c_array<double>(h);
  if (a.ndim() != 1) throw py::value_error("noise estimator arrays must be 1-D");
  return a;
}

std::string shape(py::ssize_t n) { return "(" + std::to_string(n) + ",)"; }

void same_length(py::ssize_t a, py::ssize_t b) {
  if (a != b)
    throw py::value_error("operands could not be broadcast together with shapes " + shape(a) + " " + shape(b) + " ");
}

[[noreturn]] void out_of_bounds(py::ssize_t size) {
  throw py::index_error("index " + std::to_string(size) + " is out of bounds for axis 0 with size " +
                        std::to_string(size));
}

Arr new_array(py::ssize_t n) { return Arr(n); }

// a * prev + (1 - a) * x as a new array
Arr smoothed(const Arr& prev, const Arr& x, double a) {
  same_length(prev.size(), x.size());
  Arr out = new_array(prev.size());
  est::smooth(prev.data(), x.data(), a, out.mutable_data(), size_t(prev.size()));
  return out;
}

// A stored array that an update writes into element by element. A writable, contiguous
// float64 array is written directly; anything else is worked on as a float64 copy and
// assigned back afterwards (numpy casts to the array's own type, a read-only array refuses).
class InPlace {
 public:
  explicit InPlace(py::object obj) : obj_(std::move(obj)) {
    namespace npd = py::detail;
    if (py::isinstance<py::array>(obj_)) {
      auto a = py::reinterpret_borrow<py::array>(obj_);
      const int need =
          npd::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npd::npy_api::NPY_ARRAY_ALIGNED_ | npd::npy_api::NPY_ARRAY_WRITEABLE_;
      if (a.ndim() == 1 && a.dtype().is(py::dtype::of<double>()) && (a.flags() & need) == need) {
        work_ = py::reinterpret_borrow<Arr>(obj_);
        direct_ = true;
        return;
      }
    }
    work_ = Arr(cached("numpy", "array")(obj_, py::arg("dtype") = "float64"));
    if (work_.ndim() != 1) throw py::value_error("noise estimator arrays must be 1-D");
    before_.assign(work_.data(), work_.data() + work_.size());
  }
  double* data() { return work_.mutable_data(); }
  py::ssize_t size() const { return work_.size(); }
  bool direct() const { return direct_; }
  // Writes back after `written` element writes: a numpy array is assigned as a whole (so a
  // read-only array refuses as soon as one bin was written), another sequence per changed bin.
  void commit(std::size_t written) {
    if (direct_ || written == 0) return;
    if (py::isinstance<py::array>(obj_)) {
      obj_[py::ellipsis()] = work_;
      return;
    }
    const double* now = work_.data();
    for (py::ssize_t i = 0; i < work_.size(); ++i)
      if (std::memcmp(&now[i], &before_[size_t(i)], sizeof(double)) != 0) obj_[py::int_(i)] = py::float_(now[i]);
  }
  const py::object& object() const { return obj_; }

 private:
  py::object obj_;
  Arr work_;
  std::vector<double> before_;
  bool direct_ = false;
};

// ------------------------------------------------------------------ INIT

py::object len_of(py::handle h) { return py::int_(py::len(h)); }

// A starting parameter dictionary from its entries, in order.
py::dict state(std::initializer_list<std::pair<const char*, py::object>> entries) {
  py::dict d;
  for (const auto& [key, value] : entries) d[key] = value;
  return d;
}

py::object number(double v) { return py::float_(v); }
py::object number(long v) { return py::int_(v); }

py::dict init_weight(const Init& s) {
  const auto& c = est::kWeight;
  return state({{"ass", number(c.ass)}, {"beta", number(c.beta)}, {"noise_ps", s.ns_ps}, {"P", s.ns_ps}});
}

py::dict init_com_min_track(const Init& s) {
  const auto& c = est::kMinTrack;
  return state({{"n", number(est::kFirstFrame)},
                {"leng", len_of(s.ns_ps)},
                {"alpha", number(c.alpha)},
                {"beta", number(c.beta)},
                {"gamma", number(c.gamma)},
                {"noise_ps", s.ns_ps},
                {"pxk_old", s.ns_ps},
                {"pxk", s.ns_ps},
                {"pnk_old", s.ns_ps},
                {"pnk", s.ns_ps}});
}

py::object zeros(py::handle n) { return cached("numpy", "zeros")(n); }

py::dict init_mcra(const Init& s) {
  const auto& c = est::kMcra;
  py::object len_val = len_of(s.ns_ps);
  return state({{"n", number(est::kFirstFrame)},
                {"ad", number(c.ad)},
                {"ass", number(c.ass)},
                {"L", number(c.L)},
                {"delta", number(c.delta)},
                {"ap", number(c.ap)},
                {"leng", len_val},
                {"P", s.ns_ps},
                {"Pmin", s.ns_ps},
                {"Ptmp", s.ns_ps},
                {"pk", zeros(len_val)},
                {"noise_ps", s.ns_ps}});
}

// Per-bin speech thresholds (est::kMcra2Thresholds) for the positive half of the spectrum
// followed by its mirror image. Computed with Python numbers so that odd rates, tiny rates
// and odd lengths behave (and fail) as the arithmetic says.
py::object mcra2_thresholds(py::handle fs, py::object len_val) {
  constexpr est::Mcra2Thresholds t = est::kMcra2Thresholds;
  py::object np_floor = cached("numpy", "floor"), full = cached("numpy", "full");
  py::object freq_res = py::reinterpret_borrow<py::object>(fs) / len_val;
  auto bin_of = [&](long hz) { return py::int_(np_floor(py::float_(double(hz)) / freq_res)); };
  py::object k1 = bin_of(t.low_split_hz), k3 = bin_of(t.high_from_hz);
  py::object int_type = cached("builtins", "int");
  auto run = [&](py::object count, long value) { return full(count, value, py::arg("dtype") = int_type); };
  py::object low_1 = run(k1, t.low);
  py::object low_2 = run(k3 - k1, t.low);
  py::object half = py::reinterpret_steal<py::object>(PyNumber_FloorDivide(len_val.ptr(), py::int_(2).ptr()));
  if (!half) throw py::error_already_set();
  py::object high = run(half - k3, t.high);
  return cached("numpy", "concatenate")(py::make_tuple(low_1, low_2, high, high, low_2, low_1));
}

py::dict init_mcra2(const Init& s) {
  const auto& c = est::kMcra2;
  py::object len_val = len_of(s.ns_ps);
  py::object delta = mcra2_thresholds(s.fs, len_val);
  return state({{"n", number(est::kFirstFrame)},
                {"leng", len_val},
                {"ad", number(c.ad)},
                {"ass", number(c.ass)},
                {"ap", number(c.ap)},
                {"beta", number(c.beta)},
                {"beta1", number(c.beta1)},
                {"gamma", number(c.gamma)},
                {"alpha", number(c.alpha)},
                {"delta", delta},
                {"pk", zeros(len_val)},
                {"noise_ps", s.ns_ps},
                {"pxk_old", s.ns_ps},
                {"pxk", s.ns_ps},
                {"pnk_old", s.ns_ps},
                {"pnk", s.ns_ps}});
}

// ------------------------------------------------------------------ EST

py::object plus_one(py::handle n) {
  PyObject* r = PyNumber_Add(n.ptr(), py::int_(1).ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::ssize_t as_count(py::handle h) {
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
  if (!i) throw py::error_already_set();
  py::ssize_t n = PyLong_AsSsize_t(i.ptr());
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n < 0 ? 0 : n;
}

// Python's n % L == 0 on the stored counter and window length (est::mcra_window_restarts for
// the numbers a caller may have stored there).
bool window_restarts(py::handle n, py::handle L) {
  py::object rem = py::reinterpret_steal<py::object>(PyNumber_Remainder(n.ptr(), L.ptr()));
  if (!rem) throw py::error_already_set();
  return rem.equal(py::int_(0));
}

std::span<const double> view(const Arr& a) { return {a.data(), size_t(a.size())}; }
std::span<double> view(Arr& a) { return {a.mutable_data(), size_t(a.size())}; }

py::object est_weight(const Est& s) {
  py::object para = s.para;
  auto [ass_obj, beta_obj, noise_obj, P_obj] = entries(para, {"ass", "beta", "noise_ps", "P"});
  const double ass = real(ass_obj), beta = real(beta_obj);
  Arr P = smoothed(values(P_obj), values(s.ns_ps), ass);
  InPlace noise(noise_obj);
  const py::ssize_t bins = noise.size(), ok = std::min(bins, P.size());
  noise.commit(est::weight_noise(P.data(), ass, beta, noise.data(), size_t(ok)));
  if (ok < bins) out_of_bounds(P.size());
  put(para, "P", P);
  put(para, "noise_ps", noise_obj);
  return para;
}

// The arrays of the two minimum-tracking estimators: the new smoothed power pxk (from the
// stored pxk_old) and the stored minimum pnk, which the update writes into.
struct Tracking {
  Arr pxk_old, pxk, pnk_old;
  InPlace pnk;
};

Tracking tracking(const Est& s, py::handle pxk_old_obj, py::handle pnk_old_obj, py::object pnk_obj, double alpha) {
  Arr pxk_old = values(pxk_old_obj);
  Arr pxk = smoothed(pxk_old, values(s.ns_ps), alpha);
  Arr pnk_old = values(pnk_old_obj);
  return Tracking{std::move(pxk_old), std::move(pxk), std::move(pnk_old), InPlace(std::move(pnk_obj))};
}

// After an update, one array serves as pnk and pnk_old and the new smoothed power as pxk and
// pxk_old.
void store_tracking(py::handle para, py::handle pnk_obj, py::handle pxk) {
  put(para, "pnk", pnk_obj);
  put(para, "pnk_old", pnk_obj);
  put(para, "pxk", pxk);
  put(para, "pxk_old", pxk);
}

py::object est_com_min_track(const Est& s) {
  py::object para = s.para;
  auto [n, leng_obj, alpha_obj, beta_obj, gamma_obj, noise_unused, pxk_old_obj, pxk_unused, pnk_old_obj, pnk_obj] =
      entries(para, {"n", "leng", "alpha", "beta", "gamma", "noise_ps", "pxk_old", "pxk", "pnk_old", "pnk"});
  const py::ssize_t leng = as_count(leng_obj);
  const double alpha = real(alpha_obj), beta = real(beta_obj), gamma = real(gamma_obj);

  Tracking t = tracking(s, pxk_old_obj, pnk_old_obj, pnk_obj, alpha);
  const py::ssize_t ok = std::min({leng, t.pnk_old.size(), t.pxk.size(), t.pnk.size()});
  est::track_minimum(t.pnk_old.data(), t.pxk_old.data(), t.pxk.data(), beta, gamma, t.pnk.data(), size_t(ok));
  t.pnk.commit(size_t(ok));
  if (ok < leng) out_of_bounds(std::min({t.pnk_old.size(), t.pxk.size(), t.pnk.size()}));

  put(para, "n", plus_one(n));
  put(para, "noise_ps", pnk_obj);
  store_tracking(para, pnk_obj, t.pxk);
  return para;
}

// Speech presence and noise update into new pk and noise arrays.
void presence(const Arr& num, const Arr& den, const double* delta, size_t delta_stride, double ap, double ad,
              const Arr& src, const Arr& pk_old, const Arr& noise_old, Arr& pk, Arr& noise, py::ssize_t leng) {
  same_length(pk_old.size(), leng);
  same_length(noise_old.size(), leng);
  same_length(src.size(), leng);
  pk = new_array(leng);
  noise = new_array(leng);
  std::copy(pk_old.data(), pk_old.data() + leng, pk.mutable_data());
  std::copy(noise_old.data(), noise_old.data() + leng, noise.mutable_data());
  est::presence_update(num.data(), den.data(), delta, delta_stride, ap, ad, src.data(), pk.mutable_data(),
                       noise.mutable_data(), size_t(leng));
}

py::object est_mcra(const Est& s) {
  py::object para = s.para;
  auto [ass_obj, ad_obj, ap_obj, pk_obj, delta_obj, L, n, leng_obj, noise_obj, P_obj, Pmin_obj, Ptmp_obj] =
      entries(para, {"ass", "ad", "ap", "pk", "delta", "L", "n", "leng", "noise_ps", "P", "Pmin", "Ptmp"});
  const double ass = real(ass_obj), ad = real(ad_obj), ap = real(ap_obj), delta = real(delta_obj);
  const py::ssize_t leng = as_count(leng_obj);

  Arr X = values(s.ns_ps);
  Arr P = smoothed(values(P_obj), X, ass);
  const bool restart = window_restarts(n, L);
  Arr old_min = restart ? Arr() : values(Pmin_obj);  // a restart does not read the old minimum
  Arr old_tmp = values(Ptmp_obj);
  if (!restart) same_length(old_min.size(), P.size());
  same_length(old_tmp.size(), P.size());
  Arr Pmin = new_array(P.size());
  // a restarted window's temporary minimum is this frame's P, stored as the very same array
  Arr Ptmp = restart ? P : new_array(P.size());
  est::mcra_window_minimum(restart, view(std::as_const(P)), view(old_min), view(old_tmp), view(Pmin), view(Ptmp));
  if (leng > P.size()) out_of_bounds(P.size());
  Arr pk, noise;
  presence(P, Pmin, &delta, 0, ap, ad, X, values(pk_obj), values(noise_obj), pk, noise, leng);

  put(para, "pk", pk);
  put(para, "n", plus_one(n));
  put(para, "noise_ps", noise);
  put(para, "P", P);
  put(para, "Pmin", Pmin);
  put(para, "Ptmp", Ptmp);
  return para;
}

py::object est_mcra2(const Est& s) {
  py::object para = s.para;
  auto [n, leng_obj, ad_obj, ass_unused, ap_obj, beta_obj, gamma_obj, alpha_obj, pk_obj, delta_obj, noise_obj,
        pxk_unused, pnk_obj, pxk_old_obj, pnk_old_obj] =
      entries(para, {"n", "leng", "ad", "ass", "ap", "beta", "gamma", "alpha", "pk", "delta", "noise_ps", "pxk", "pnk",
                     "pxk_old", "pnk_old"});
  const py::ssize_t leng = as_count(leng_obj);
  const double ad = real(ad_obj), ap = real(ap_obj), beta = real(beta_obj), gamma = real(gamma_obj);
  const double alpha = real(alpha_obj);

  Tracking t = tracking(s, pxk_old_obj, pnk_old_obj, pnk_obj, alpha);
  const py::ssize_t bins = t.pnk.size();
  const py::ssize_t ok = std::min({bins, t.pnk_old.size(), t.pxk.size()});
  t.pnk.commit(est::track_minimum_rising(t.pnk_old.data(), t.pxk_old.data(), t.pxk.data(), beta, gamma, t.pnk.data(),
                                         size_t(ok)));
  if (ok < bins) out_of_bounds(std::min(t.pnk_old.size(), t.pxk.size()));

  // Srk = pxk / pnk with the minimum as now stored; thresholds indexed bin by bin.
  Arr pnk = values(pnk_obj);
  const Arr& pxk = t.pxk;
  same_length(pxk.size(), pnk.size());
  py::array delta_arr = cached("numpy", "asarray")(delta_obj);
  if (delta_arr.ndim() == 0)
    throw py::type_error("'" + std::string(py::str(py::type::of(delta_obj).attr("__name__"))) +
                         "' object is not subscriptable");
  Arr delta = values(delta_arr);
  if (leng > pxk.size()) out_of_bounds(pxk.size());
  if (leng > delta.size()) out_of_bounds(delta.size());
  Arr pk, noise;
  presence(pxk, pnk, delta.data(), 1, ap, ad, pxk, values(pk_obj), values(noise_obj), pk, noise, leng);

  put(para, "n", plus_one(n));
  put(para, "pk", pk);
  put(para, "noise_ps", noise);
  store_tracking(para, pnk_obj, pxk);
  return para;
}

std::string describe(py::handle h) {
  if (py::isinstance<py::array>(h)) {
    auto a = py::reinterpret_borrow<py::array>(h);
    return "<" + std::string(py::str(a.dtype())) + " array " + std::string(py::str(a.attr("shape"))) + ">";
  }
  if (py::isinstance<py::dict>(h)) return "<dict of " + std::to_string(py::len(h)) + " entries>";
  return std::string(py::repr(h));
}

}  // namespace

void register_estimators(py::module_& m) {
  py::class_<Init>(m, "INIT", py::dynamic_attr(),
                   "Starting state of a noise estimator, built from the power spectrum of the first\n"
                   "frame. Each method returns a new parameter dictionary whose array entries are\n"
                   "the very array `ns_ps` (not copies).")
      .def(py::init([](py::object ns_ps, py::object fs) { return Init{std::move(ns_ps), std::move(fs)}; }),
           py::arg("ns_ps"), py::arg("fs"))
      .def_readwrite("ns_ps", &Init::ns_ps)
      .def_readwrite("fs", &Init::fs)
      .def("weight", &init_weight, "Weighted-average estimator: {ass, beta, noise_ps, P}.")
      .def("com_min_track", &init_com_min_track,
           "Continuous minimum tracking: {n, leng, alpha, beta, gamma, noise_ps, pxk_old, pxk, pnk_old, pnk}.")
      .def("mcra", &init_mcra,
           "MCRA: {n, ad, ass, L, delta, ap, leng, P, Pmin, Ptmp, pk, noise_ps}; one threshold (5).")
      .def("mcra2", &init_mcra2,
           "MCRA-2: {n, leng, ad, ass, ap, beta, beta1, gamma, alpha, delta, pk, noise_ps, pxk_old,\n"
           "pxk, pnk_old, pnk}; delta holds one integer threshold per bin (2 below 3 kHz, 5 above).")
      .def("__repr__", [](const Init& s) {
        return "INIT(ns_ps=" + describe(s.ns_ps) + ", fs=" + std::string(py::repr(s.fs)) + ")";
      });

  py::class_<Est>(m, "EST", py::dynamic_attr(),
                  "One frame of a noise estimator: each method advances the parameter dictionary `para`\n"
                  "with the power spectrum `ns_ps` of the current frame, in place, and returns it; its\n"
                  "'noise_ps' entry is the new noise power estimate.")
      .def(py::init([](py::object ns_ps, py::object para) { return Est{std::move(ns_ps), std::move(para)}; }),
           py::arg("ns_ps"), py::arg("para"))
      .def_readwrite("ns_ps", &Est::ns_ps)
      .def_readwrite("para", &Est::para)
      .def("weight", &est_weight,
           "Smooth P; where P < beta * noise_ps (strictly), average the estimate towards P in place.")
      .def("com_min_track", &est_com_min_track,
           "Smooth pxk and track its minimum continuously in the stored pnk array; noise_ps = pnk.")
      .def("mcra", &est_mcra, "Minima-controlled recursive averaging with a minimum search over windows of L frames.")
      .def("mcra2", &est_mcra2,
           "MCRA with continuous minimum tracking (written into the stored pnk array) and per-bin\n"
           "thresholds; the noise is averaged towards the smoothed power.")
      .def("__repr__",
           [](const Est& s) { return "EST(ns_ps=" + describe(s.ns_ps) + ", para=" + describe(s.para) + ")"; });
}

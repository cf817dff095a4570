// vemio.util.check: list the audio devices, find a microphone that really opens with a wanted
// rate and channel count, and report it.
//
// The checker talks to the audio system only through the module attribute `pyaudio` (looked up
// when a CheckDevice is made), so a stand-in audio system can take the place of PortAudio.
#include "common.hpp"

namespace py = pybind11;
using namespace vemio::py_common;

namespace vemio::check_binding {
void init_pyaudio(py::module_& pa);
}

namespace {

const char* const kSeparator = "====================================================";  // 52 signs

py::object* g_module = nullptr;  // this module, for its replaceable globals

py::object mod() { return *g_module; }

void say(py::handle text) { py::module_::import("builtins").attr("print")(text); }

template <typename... Args>
py::str fmt(const char* pattern, Args&&... args) {
  return py::str(pattern).format(std::forward<Args>(args)...);
}

py::object none() { return py::none(); }

struct CheckDevice {
  py::object p, frame_size, device = none(), rate = none();
  py::object channels;  // unset until input_device succeeds
  bool terminated = false;
};

CheckDevice& state(py::handle self) { return self.cast<CheckDevice&>(); }

// A terminated checker's audio system is released: refuse to use it rather than touch it.
void ensure_live(py::handle self) {
  if (state(self).terminated)
    throw std::runtime_error(
        "[vm.] this CheckDevice was terminated (terminate() or the end of its with "
        "block); create a new CheckDevice");
}

bool ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// The device's information dictionary for a message; when the device cannot be asked (an unknown
// index, a device that went away) the failure's text stands in its place.
py::object info_or_error(py::handle self, py::handle device) {
  try {
    return self.attr("get_device_info")(device);
  } catch (py::error_already_set& e) {
    if (!ordinary(e)) throw;
    return py::str(e.value());
  }
}

bool probe(py::handle self, py::handle device, py::handle sr = py::none(), py::handle channels = py::none()) {
  return is_true(self.attr("_is_input_device")(device, sr, channels));
}

// ------------------------------------------------------------------ CheckDevice methods

CheckDevice make_check_device(py::object frame_size) {
  CheckDevice c;
  c.p = mod().attr("pyaudio").attr("PyAudio")();
  c.frame_size = std::move(frame_size);
  return c;
}

void terminate(py::object self) {
  CheckDevice& c = state(self);
  if (c.terminated) return;
  c.p.attr("terminate")();
  c.terminated = true;
}

py::list system_devices(py::object self) {
  ensure_live(self);
  py::object p = self.attr("p");
  py::object count = p.attr("get_host_api_info_by_index")(0)["deviceCount"];
  say(py::str(kSeparator));
  py::list devices;
  for (py::handle i : py::module_::import("builtins").attr("range")(count)) {
    auto query = [&](const char* key) -> py::object {
      return p.attr("get_device_info_by_host_api_device_index")(0, i)[key];
    };
    py::object index = query("index"), fs = query("defaultSampleRate"), name = query("name"),
               out = query("maxOutputChannels"), in = query("maxInputChannels");
    py::dict record;
    record["Device"] = name;
    record["index"] = index;
    record["fs"] = fs;
    record["out"] = out;
    record["in"] = in;
    devices.append(record);
    say(fmt("[vm.] Name:{}, index:{}, in:{}, out:{}", name, index, in, out));
  }
  say(py::str(std::string(kSeparator) + "\n"));
  return devices;
}

py::object get_device_info(py::object self, py::object device_index) {
  ensure_live(self);
  return self.attr("p").attr("get_device_info_by_index")(device_index);
}

bool is_input_device(py::object self, py::object device, py::object sr, py::object channels) {
  ensure_live(self);
  try {
    py::object info = self.attr("get_device_info")(device);
    if (!(py::object(info["maxInputChannels"]) > py::int_(0))) return false;
    if (sr.is_none()) sr = py::int_(info["defaultSampleRate"]);
    py::object stream = self.attr("p").attr("open")(
        py::arg("format") = mod().attr("pyaudio").attr("paInt16"),
        py::arg("channels") = channels.is_none() ? py::object(py::int_(1)) : channels, py::arg("rate") = sr,
        py::arg("input") = true, py::arg("input_device_index") = device,
        py::arg("frames_per_buffer") = self.attr("frame_size"));
    stream.attr("close")();
    return true;
  } catch (py::error_already_set& e) {
    if (!ordinary(e)) throw;
    say(fmt("[vm.] {} [device:{}, sr:{}]", e.value(), device, sr));
    return false;
  }
}

py::object check_available_rate(py::object self, py::object device) {
  if (!is_exact_int(device))
    throw py::type_error("device must be an int, not " + std::string(Py_TYPE(device.ptr())->tp_name));
  ensure_live(self);
  if (!probe(self, device)) {
    say(fmt("[vm.] 此裝置無法使用: {}", info_or_error(self, device)));
    return py::bool_(false);
  }
  py::list rates;
  for (py::handle r : self.attr("standard_rate"))
    if (probe(self, device, r)) rates.append(r);
  return rates;
}

[[noreturn]] void raise_exception(const py::str& msg) {
  PyErr_SetObject(PyExc_Exception, msg.ptr());
  throw py::error_already_set();
}

py::tuple input_device(py::object self, py::object device, py::object rate, py::object channels) {
  ensure_live(self);
  const bool asserts = assertions_enabled();
  if (device.is_none()) {
    py::list mics;
    py::object count = self.attr("p").attr("get_device_count")();
    for (py::handle i : py::module_::import("builtins").attr("range")(count))
      if (probe(self, i)) mics.append(i);
    if (mics.empty()) {
      if (asserts) raise_assertion("[vm.] 系統沒有找到麥克風");
      throw py::index_error("list index out of range");
    }
    say(fmt("[vm.] 找到 {} 個麥克風", mics.size()));
    device = mics[mics.size() - 1];
  }
  if (asserts && !probe(self, device))
    raise_assertion(fmt("[vm.] 此裝置無法使用: {}", info_or_error(self, device)).cast<std::string>());

  if (rate.is_none() || !probe(self, device, rate)) {
    bool found = false;
    for (int r : {16000, 22050, 44100}) {
      if (probe(self, device, py::int_(r))) {
        rate = py::int_(r);
        found = true;
        break;
      }
    }
    if (!found) rate = py::int_(self.attr("get_device_info")(device)["defaultSampleRate"]);
  }
  if (!probe(self, device, rate)) raise_exception(fmt("[vm.] 此裝置取樣頻率錯誤: {}", info_or_error(self, device)));
  say(fmt("[vm.] 裝置{}, 取樣頻率: {}", device, rate));

  if (channels.is_none()) {
    channels = py::int_(1);
  } else if (!(py::object(self.attr("get_device_info")(device)["maxInputChannels"]) >= channels)) {
    say(fmt("[vm.] 使用者設定通道數無法使用(可能設定值大於裝置最大通道數): {}", info_or_error(self, device)));
    channels = py::int_(1);
  }
  if (!probe(self, device, rate, channels))
    raise_exception(fmt("[vm.] 此裝置通道設定({})錯誤: {}", channels, info_or_error(self, device)));

  self.attr("device") = device;
  self.attr("rate") = rate;
  self.attr("channels") = channels;
  self.attr("show_current_device_info")();
  return py::make_tuple(self.attr("device"), self.attr("rate"), self.attr("channels"));
}

void show_current_device_info(py::object self) {
  ensure_live(self);
  if (self.attr("device").is_none() || self.attr("rate").is_none()) {
    self.attr("input_device")();
    return;
  }
  py::object info = self.attr("get_device_info")(self.attr("device"));
  py::object rate = self.attr("rate"), frame_size = self.attr("frame_size");
  say(py::str(kSeparator));
  say(py::str("[vm.] 選擇裝置:"));
  mod().attr("pprint")(info);
  say(fmt("裝置名稱: {}", info["name"]));
  say(fmt("裝置編號: {}", info["index"]));
  say(fmt("最大輸入通道: {}", info["maxInputChannels"]));
  say(fmt("最大輸出通道: {}", info["maxOutputChannels"]));
  say(fmt("預設取樣頻率: {}", info["defaultSampleRate"]));
  say(fmt("取樣頻率: {} Hz", rate));
  say(fmt("通道數: {}", self.attr("channels")));
  say(fmt("框大小: {}", frame_size));
  say(fmt("預測更新頻率: {:.2f}", rate / frame_size));
  say(py::str(kSeparator));
  say(py::str("\n"));
}

// ------------------------------------------------------------------ module functions

// Python's `with` statement over `manager`, running `body` on what __enter__ returned.
template <typename Body>
void with_block(py::object manager, Body body) {
  py::object exit = manager.attr("__exit__");
  py::object entered = manager.attr("__enter__")();
  try {
    body(entered);
  } catch (py::error_already_set& e) {
    auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : none(); };
    if (!is_true(exit(or_none(e.type()), or_none(e.value()), or_none(e.trace())))) throw;
    return;
  }
  exit(none(), none(), none());
}

bool check_device() {
  try {
    py::object cls = mod().attr("CheckDevice");
    // help()'s text, printed without the interactive pager help() would start on a terminal
    py::module_ pydoc = py::module_::import("pydoc");
    py::object text = pydoc.attr("plain")(pydoc.attr("render_doc")(cls, "Help on %s:"));
    say(text);
    with_block(cls(), [](py::object cd) {
      cd.attr("system_devices")();
      cd.attr("input_device")();
    });
    say(py::str("[vm.] Audio test"));
    return true;
  } catch (py::error_already_set& e) {
    if (!ordinary(e)) throw;
    say(e.value());
    return false;
  }
}

py::object is_available() {
  py::object rt_color = mod().attr("color_test")("[vm.] Color test");
  py::object rt_audio = mod().attr("check_device")();
  return is_true(rt_color) ? rt_audio : rt_color;
}

}  // namespace

PYBIND11_MODULE(check, m) {
  install_error_translator();
  m.doc() =
      "Microphone check: list the audio devices, find an input device that opens with a wanted\n"
      "channel count and sampling rate, and report it (PortAudio underneath, as `pyaudio`).";
  g_module = new py::object(m);  // kept for the process lifetime

  py::module_ pa = m.def_submodule("pyaudio");
  vemio::check_binding::init_pyaudio(pa);
  m.attr("pyaudio") = pa;
  m.attr("pprint") = py::module_::import("pprint").attr("pprint");
  m.attr("timer") = py::module_::import("vemio.util.tools").attr("timer");
  m.attr("color_test") = py::module_::import("vemio.util.colors").attr("color_test");

  py::class_<CheckDevice> cls(m, "CheckDevice", py::dynamic_attr(),
                              "Find and report a usable input device.\n\n"
                              "CheckDevice(frame_size=1024) opens an audio-system session (`p`); `frame_size` is\n"
                              "the buffer size of every test stream. input_device() chooses a device, rate and\n"
                              "channel count that open; `device`, `rate`, `channels` hold the choice. Use it in\n"
                              "a `with` block (or call terminate()) to release the session.");
  cls.def(py::init(&make_check_device), py::arg("frame_size") = 1024)
      .def_property(
          "p", [](CheckDevice& c) { return c.p; }, [](CheckDevice& c, py::object v) { c.p = v; })
      .def_property(
          "frame_size", [](CheckDevice& c) { return c.frame_size; },
          [](CheckDevice& c, py::object v) { c.frame_size = v; })
      .def_property(
          "device", [](CheckDevice& c) { return c.device; }, [](CheckDevice& c, py::object v) { c.device = v; })
      .def_property(
          "rate", [](CheckDevice& c) { return c.rate; }, [](CheckDevice& c, py::object v) { c.rate = v; })
      .def_property(
          "channels",
          [](CheckDevice& c) -> py::object {
            if (!c.channels) throw py::attribute_error("'CheckDevice' object has no attribute 'channels'");
            return c.channels;
          },
          [](CheckDevice& c, py::object v) { c.channels = v; })
      .def(
          "__call__",
          [](py::object self, py::object m) {
            say(m);
            return self.attr("system_devices")();
          },
          py::arg("m") = "device", "Print `m`, then list the devices (system_devices()).")
      .def("__enter__",
           [](py::object self) {
             ensure_live(self);
             return self;
           })
      .def("__exit__", [](py::object self, py::args) { self.attr("terminate")(); })
      .def("terminate", &terminate, "Release the audio-system session (again: no effect).")
      .def("system_devices", &system_devices,
           "Print and return one record {Device, index, fs, out, in} per device of the first host API.")
      .def("get_device_info", &get_device_info, py::arg("device_index"),
           "The audio system's information dictionary of a device.")
      .def("_is_input_device", &is_input_device, py::arg("device"), py::arg("sr") = py::none(),
           py::arg("channels") = py::none(),
           "True when a 16-bit input stream opens on `device` at `sr` Hz (default: the device's rate)\n"
           "with `channels` channels (default 1); a refusal prints a line and gives False.")
      .def("check_available_rate", &check_available_rate, py::arg("device"),
           "The rates of `standard_rate` the device accepts, or False for a device that opens no input.")
      .def("input_device", &input_device, py::arg("device") = py::none(), py::arg("rate") = py::none(),
           py::arg("channels") = py::none(),
           "Choose and verify (device, rate, channels): by default the usable input device with the\n"
           "highest index, the given rate or else 16000/22050/44100 Hz or the device's own, one channel.")
      .def("show_current_device_info", &show_current_device_info,
           "Print the chosen configuration (choosing one first when there is none).")
      .def("__repr__", [](py::object self) {
        CheckDevice& c = state(self);
        return fmt("CheckDevice(frame_size={!r}, device={!r}, rate={!r}{})", c.frame_size, c.device, c.rate,
                   c.terminated ? ", terminated" : "");
      });
  py::list rates;
  for (int r : {192000, 96000, 88200, 64000, 48000, 44100, 32000, 22050, 16000, 11025, 8000, 6000}) rates.append(r);
  cls.attr("standard_rate") = rates;

  m.def("check_device", &check_device,
        "Print CheckDevice's help, list the devices and choose an input device; print\n"
        "\"[vm.] Audio test\" and return True, or print the failure and return False.");
  m.attr("check_device") = m.attr("timer")(m.attr("check_device"));
  m.def("is_available", &is_available,
        "Terminal colour test, then the device test (check_device()); the colour test's result\n"
        "when it is false, else the device test's.");
  m.attr("__all__") = py::make_tuple("is_available", "check_device", "CheckDevice");
  m.attr("__all__") = py::list(m.attr("__all__"));
}

// The `pyaudio` object of vemio.util.check: PortAudio sessions (`PyAudio`), their streams and
// the sample-format constants, over the native device core.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>

#include "vemio/device/portaudio.hpp"

namespace py = pybind11;
namespace dev = vemio::device;

namespace vemio::check_binding {
namespace {

py::object* g_error_type = nullptr;  // PortAudioError, kept for the process lifetime

py::str decode(const std::string& s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

py::dict device_dict(const dev::DeviceInfo& d) {
  py::dict r;
  r["index"] = d.index;
  r["structVersion"] = d.struct_version;
  r["name"] = decode(d.name);
  r["hostApi"] = d.host_api;
  r["maxInputChannels"] = d.max_input_channels;
  r["maxOutputChannels"] = d.max_output_channels;
  r["defaultLowInputLatency"] = d.default_low_input_latency;
  r["defaultLowOutputLatency"] = d.default_low_output_latency;
  r["defaultHighInputLatency"] = d.default_high_input_latency;
  r["defaultHighOutputLatency"] = d.default_high_output_latency;
  r["defaultSampleRate"] = d.default_sample_rate;
  return r;
}

py::dict host_api_dict(const dev::HostApiInfo& h) {
  py::dict r;
  r["index"] = h.index;
  r["structVersion"] = h.struct_version;
  r["type"] = h.type;
  r["name"] = decode(h.name);
  r["deviceCount"] = h.device_count;
  r["defaultInputDevice"] = h.default_input_device;
  r["defaultOutputDevice"] = h.default_output_device;
  return r;
}

struct PyStream {
  std::unique_ptr<dev::Stream> stream;
  py::object owner;  // the PyAudio object, kept alive while the stream is
};

struct PyAudio {
  std::unique_ptr<dev::Session> session;

  dev::Session& s() const { return *session; }
};

std::unique_ptr<PyAudio> make_pyaudio() {
  auto p = std::make_unique<PyAudio>();
  py::gil_scoped_release nogil;
  p->session = std::make_unique<dev::Session>();
  return p;
}

PyStream open_stream(py::object self, double rate, int channels, unsigned long format, bool input, bool output,
                     std::optional<int> input_device_index, std::optional<int> output_device_index,
                     long long frames_per_buffer, bool start) {
  if (frames_per_buffer < 0) throw py::value_error("frames_per_buffer must not be negative");
  dev::StreamParams params;
  params.rate = rate;
  params.channels = channels;
  params.format = format;
  params.input = input;
  params.output = output;
  params.input_device = input_device_index;
  params.output_device = output_device_index;
  params.frames_per_buffer = static_cast<unsigned long>(frames_per_buffer);
  params.start = start;
  PyAudio& pa = self.cast<PyAudio&>();
  std::unique_ptr<dev::Stream> stream;
  {
    py::gil_scoped_release nogil;
    stream = pa.s().open(params);
  }
  return PyStream{std::move(stream), self};
}

void raise_portaudio_error(const dev::PortAudioError& e) {
  py::object err = (*g_error_type)(py::str(e.what()));
  err.attr("code") = e.code();
  py::list lines;
  for (const auto& l : e.messages()) lines.append(decode(l));
  err.attr("native_messages") = lines;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(err.ptr())), err.ptr());
}

}  // namespace

void init_pyaudio(py::module_& pa) {
  pa.doc() =
      "PortAudio for the device check: `PyAudio()` opens a session (device list, test streams),\n"
      "`paInt16` and the other sample formats, `PortAudioError` for refusals.";

  g_error_type = new py::object(py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "vemio.util.check.pyaudio.PortAudioError",
      "A PortAudio failure: str() is PortAudio's error text, `code` its error\n"
      "code, `native_messages` the ALSA/JACK/PortAudio diagnostic lines written\n"
      "while the failing call ran.",
      py::make_tuple(py::module_::import("vemio").attr("VemioError"), py::handle(PyExc_OSError)).ptr(), nullptr)));
  pa.attr("PortAudioError") = *g_error_type;
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const dev::PortAudioError& e) {
      raise_portaudio_error(e);
    } catch (const dev::TerminatedError& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });

  pa.attr("paFloat32") = dev::kFloat32;
  pa.attr("paInt32") = dev::kInt32;
  pa.attr("paInt24") = dev::kInt24;
  pa.attr("paInt16") = dev::kInt16;
  pa.attr("paInt8") = dev::kInt8;
  pa.attr("paUInt8") = dev::kUInt8;

  pa.def("get_portaudio_version_text", &dev::version_text, "PortAudio's version text.");
  pa.def(
      "get_sample_size",
      [](unsigned long format) {
        int n = dev::sample_size(format);
        if (n == 0) throw py::value_error("unknown sample format " + std::to_string(format));
        return n;
      },
      py::arg("format"), "Bytes per sample of a sample format.");
  pa.def(
      "native_messages",
      [] {
        py::list out;
        for (const auto& l : dev::native_messages()) out.append(decode(l));
        return out;
      },
      "The most recent diagnostic lines ALSA, JACK and PortAudio wrote during PortAudio calls\n"
      "(kept off standard error so they do not bury the report).");

  py::class_<PyStream>(pa, "Stream", "An open blocking-mode PortAudio stream; close() releases it.")
      .def(
          "close",
          [](PyStream& s) {
            py::gil_scoped_release nogil;
            s.stream->close();
          },
          "Close the stream (again: no effect).")
      .def("is_active", [](PyStream& s) { return s.stream->is_active(); })
      .def("is_open", [](PyStream& s) { return s.stream->is_open(); })
      .def(
          "read",
          [](PyStream& s, long long num_frames) {
            if (num_frames < 0) throw py::value_error("num_frames must not be negative");
            std::vector<std::uint8_t> data;
            {
              py::gil_scoped_release nogil;
              data = s.stream->read(static_cast<unsigned long>(num_frames));
            }
            return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
          },
          py::arg("num_frames"), "Read `num_frames` frames of interleaved samples (blocking) as bytes.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__",
           [](PyStream& s, py::args) {
             py::gil_scoped_release nogil;
             s.stream->close();
           })
      .def("__repr__",
           [](PyStream& s) { return std::string("<Stream ") + (s.stream->is_open() ? "open" : "closed") + ">"; });

  py::class_<PyAudio>(pa, "PyAudio",
                      "One PortAudio session: initialises the library (the device list is taken then) and\n"
                      "releases it on terminate(). Use after terminate() raises RuntimeError.")
      .def(py::init(&make_pyaudio))
      .def(
          "terminate",
          [](PyAudio& p) {
            py::gil_scoped_release nogil;
            p.s().terminate();
          },
          "Close this session's streams and release PortAudio (again: no effect).")
      .def("get_host_api_count", [](PyAudio& p) { return p.s().host_api_count(); })
      .def(
          "get_host_api_info_by_index", [](PyAudio& p, int i) { return host_api_dict(p.s().host_api_info(i)); },
          py::arg("host_api_index"), "Information dictionary of a host API (deviceCount, name, ...).")
      .def("get_device_count", [](PyAudio& p) { return p.s().device_count(); })
      .def(
          "get_device_info_by_index", [](PyAudio& p, int i) { return device_dict(p.s().device_info(i)); },
          py::arg("device_index"), "Information dictionary of a device by its global index.")
      .def(
          "get_device_info_by_host_api_device_index",
          [](PyAudio& p, int api, int i) { return device_dict(p.s().host_api_device_info(api, i)); },
          py::arg("host_api_index"), py::arg("host_api_device_index"),
          "Information dictionary of device `host_api_device_index` of a host API.")
      .def("get_default_input_device_info",
           [](PyAudio& p) {
             auto d = p.s().default_input_device();
             if (!d) throw dev::PortAudioError(-9996, "No default input device available");  // paInvalidDevice
             return device_dict(p.s().device_info(*d));
           })
      .def("open", &open_stream, py::arg("rate"), py::arg("channels"), py::arg("format"), py::arg("input") = false,
           py::arg("output") = false, py::arg("input_device_index") = py::none(),
           py::arg("output_device_index") = py::none(), py::arg("frames_per_buffer") = 1024, py::arg("start") = true,
           "Open (and by default start) a blocking stream; a refused setting raises PortAudioError\n"
           "with PortAudio's text.")
      .def_static(
          "get_sample_size",
          [](unsigned long format) {
            int n = dev::sample_size(format);
            if (n == 0) throw py::value_error("unknown sample format " + std::to_string(format));
            return n;
          },
          py::arg("format"))
      .def("__repr__",
           [](PyAudio& p) { return std::string("<PyAudio ") + (p.s().terminated() ? "terminated" : "active") + ">"; });
}

}  // namespace vemio::check_binding

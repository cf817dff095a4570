#include "vemio/device/portaudio.hpp"

#include <portaudio.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#if defined(__linux__)
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vemio::device {

// ------------------------------------------------------------------ native diagnostic log

namespace {

constexpr std::size_t kLogLimit = 256;

struct NativeLog {
  std::mutex mu;
  std::deque<std::string> lines;
  std::uint64_t written = 0;  // lines ever written; tells a call which lines are its own
};

NativeLog& native_log() {
  static auto* log = new NativeLog();  // never destroyed: native threads may log at exit
  return *log;
}

void log_line(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  auto& log = native_log();
  std::lock_guard<std::mutex> lock(log.mu);
  log.lines.push_back(std::move(line));
  if (log.lines.size() > kLogLimit) log.lines.pop_front();
  ++log.written;
}

std::uint64_t log_mark() {
  auto& log = native_log();
  std::lock_guard<std::mutex> lock(log.mu);
  return log.written;
}

std::vector<std::string> log_since(std::uint64_t mark) {
  auto& log = native_log();
  std::lock_guard<std::mutex> lock(log.mu);
  std::uint64_t fresh = log.written - mark;
  std::size_t n = fresh < log.lines.size() ? static_cast<std::size_t>(fresh) : log.lines.size();
  return {log.lines.end() - static_cast<std::ptrdiff_t>(n), log.lines.end()};
}

// ------------------------------------------------------------------ ALSA and JACK diagnostics
//
// ALSA reports configuration trouble through an error handler and JACK its connection attempts
// through two callbacks; by default both write to standard error. During our PortAudio calls
// they are pointed at the log above and afterwards restored. The libraries are the ones
// PortAudio itself loaded, found with RTLD_NOLOAD, so none of this is a build dependency.

#if defined(__linux__)
using AlsaLocalHandler = void (*)(const char*, int, const char*, int, const char*, va_list);
using AlsaSetLocal = AlsaLocalHandler (*)(AlsaLocalHandler);
using JackCallback = void (*)(const char*);

struct NativeHooks {
  AlsaSetLocal alsa_set_local = nullptr;
  JackCallback* jack_error = nullptr;  // the library's callback variables
  JackCallback* jack_info = nullptr;
};

void* find_loaded(const char* soname) { return dlopen(soname, RTLD_LAZY | RTLD_NOLOAD); }

const NativeHooks& hooks() {
  static const NativeHooks h = [] {
    NativeHooks r;
    if (void* alsa = find_loaded("libasound.so.2"))
      r.alsa_set_local = reinterpret_cast<AlsaSetLocal>(dlsym(alsa, "snd_lib_error_set_local"));
    if (void* jack = find_loaded("libjack.so.0")) {
      r.jack_error = reinterpret_cast<JackCallback*>(dlsym(jack, "jack_error_callback"));
      r.jack_info = reinterpret_cast<JackCallback*>(dlsym(jack, "jack_info_callback"));
    }
    return r;
  }();
  return h;
}

void alsa_to_log(const char* file, int line, const char* function, int err, const char* fmt, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, fmt ? fmt : "", args);
  std::string msg = std::string("ALSA lib ") + (file ? file : "?") + ":" + std::to_string(line) + ":(" +
                    (function ? function : "?") + ") " + text;
  if (err) msg += std::string(": ") + std::strerror(err > 0 ? err : -err);
  log_line(std::move(msg));
}

void jack_to_log(const char* msg) { log_line(std::string("JACK: ") + (msg ? msg : "")); }

// Routes the native diagnostics to the log for its lifetime (held under the PortAudio lock).
class QuietNative {
 public:
  QuietNative() : h_(hooks()) {
    if (h_.alsa_set_local) alsa_prev_ = h_.alsa_set_local(&alsa_to_log);
    if (h_.jack_error) {
      jack_error_prev_ = *h_.jack_error;
      *h_.jack_error = &jack_to_log;
    }
    if (h_.jack_info) {
      jack_info_prev_ = *h_.jack_info;
      *h_.jack_info = &jack_to_log;
    }
  }
  ~QuietNative() {
    if (h_.alsa_set_local) h_.alsa_set_local(alsa_prev_);
    if (h_.jack_error) *h_.jack_error = jack_error_prev_;
    if (h_.jack_info) *h_.jack_info = jack_info_prev_;
  }
  QuietNative(const QuietNative&) = delete;
  QuietNative& operator=(const QuietNative&) = delete;

 private:
  const NativeHooks& h_;
  AlsaLocalHandler alsa_prev_ = nullptr;
  JackCallback jack_error_prev_ = nullptr;
  JackCallback jack_info_prev_ = nullptr;
};

// PortAudio's own traces ("Expression '...' failed in ...", written when a host API refuses a
// setting) go straight to file descriptor 2. Around the calls that can write them, descriptor 2
// is pointed at an unlinked temporary file; afterwards the traces go to the log and any other
// text (another thread's output in the same instant) is written on to the real standard error.
class CaptureStderr {
 public:
  CaptureStderr() {
    const char* dir = std::getenv("TMPDIR");
    std::string name = std::string(dir && *dir ? dir : "/tmp") + "/vemio-pa-XXXXXX";
    tmp_ = mkstemp(name.data());
    if (tmp_ < 0) return;
    unlink(name.c_str());
    std::fflush(stderr);
    saved_ = dup(2);
    if (saved_ < 0 || dup2(tmp_, 2) < 0) {
      if (saved_ >= 0) ::close(saved_);
      ::close(tmp_);
      saved_ = tmp_ = -1;
    }
  }
  ~CaptureStderr() {
    if (tmp_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    ::close(saved_);
    std::string text;
    char buf[4096];
    lseek(tmp_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(tmp_, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(tmp_);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      start = end + 1;
      if (line.empty()) continue;
      if (is_native_trace(line)) {
        log_line(std::move(line));
      } else {
        line += '\n';
        [[maybe_unused]] ssize_t w = ::write(2, line.data(), line.size());
      }
    }
  }
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;

 private:
  static bool is_native_trace(const std::string& line) {
    static const char* const prefixes[] = {"Expression '",    "ALSA lib ", "PaAlsa", "PaUnix",
                                           "PaUtil",          "Jack",      "jack",   "Cannot connect to server",
                                           "Cannot lock down"};
    for (const char* p : prefixes)
      if (line.rfind(p, 0) == 0) return true;
    return false;
  }
  int tmp_ = -1;
  int saved_ = -1;
};
#else
class QuietNative {};
class CaptureStderr {};
#endif

// ------------------------------------------------------------------ loading PortAudio
//
// PortAudio is opened on first use, not linked: it links ALSA's and JACK's client libraries,
// which only a machine with an audio system has, and the rest of the module (and of vemio) must
// import without them; then only the device calls fail, saying that there is no audio system.
// When the companion library libvemio_pa.so (it only links PortAudio) lies beside the binary
// holding this code, it is what gets opened, so a copy of PortAudio packaged with vemio is found
// through the companion's own search path; otherwise the system's libportaudio.so.2.

#define VEMIO_PA_FUNCTIONS(X)        \
  X(Initialize)                      \
  X(Terminate)                       \
  X(GetVersionText)                  \
  X(GetErrorText)                    \
  X(GetLastHostErrorInfo)            \
  X(GetHostApiCount)                 \
  X(GetHostApiInfo)                  \
  X(GetDeviceCount)                  \
  X(GetDeviceInfo)                   \
  X(HostApiDeviceIndexToDeviceIndex) \
  X(GetDefaultInputDevice)           \
  X(GetDefaultOutputDevice)          \
  X(OpenStream)                      \
  X(StartStream)                     \
  X(CloseStream)                     \
  X(IsStreamActive)                  \
  X(ReadStream)

struct PaApi {
#define VEMIO_PA_FIELD(name) decltype(&::Pa_##name) name = nullptr;
  VEMIO_PA_FUNCTIONS(VEMIO_PA_FIELD)
#undef VEMIO_PA_FIELD
  std::string failure;  // why PortAudio could not be loaded; empty when it was
};

constexpr const char* kCompanion = "libvemio_pa.so";
constexpr const char* kSystemLibrary = "libportaudio.so.2";

PaApi load_portaudio() {
  PaApi api;
#if defined(__linux__)
  std::string library = kSystemLibrary;
  Dl_info self{};
  if (dladdr(reinterpret_cast<void*>(&load_portaudio), &self) && self.dli_fname) {
    std::string dir = self.dli_fname;
    dir.erase(dir.find_last_of('/') == std::string::npos ? 0 : dir.find_last_of('/') + 1);
    if (access((dir + kCompanion).c_str(), F_OK) == 0) library = dir + kCompanion;
  }
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    api.failure = std::string("[vm.] no audio system: PortAudio could not be loaded (") + (why ? why : library) + ")";
    return api;
  }
  // a handle's symbols include those of the libraries it brought in, PortAudio's among them
#define VEMIO_PA_RESOLVE(name)                                                     \
  api.name = reinterpret_cast<decltype(&::Pa_##name)>(dlsym(handle, "Pa_" #name)); \
  if (!api.name) {                                                                 \
    api = PaApi{};                                                                 \
    api.failure = "[vm.] no audio system: " + library + " has no Pa_" #name;       \
    return api;                                                                    \
  }
  VEMIO_PA_FUNCTIONS(VEMIO_PA_RESOLVE)
#undef VEMIO_PA_RESOLVE
#else
  api.failure = "[vm.] no audio system: PortAudio is loaded at run time on Linux only";
#endif
  return api;
}

// PortAudio, loaded by the first caller (the outcome is kept: a failed load is not retried).
const PaApi& loaded_api() {
  static const PaApi api = load_portaudio();
  return api;
}

// The loaded functions, or a PortAudioError saying that there is no audio system.
const PaApi& pa() {
  const PaApi& api = loaded_api();
  if (!api.failure.empty()) throw PortAudioError(paNotInitialized, api.failure);
  return api;
}

// Every PortAudio call runs under this lock (the library is not thread-safe).
std::recursive_mutex& pa_mutex() {
  static auto* mu = new std::recursive_mutex();
  return *mu;
}

struct PaCall {
  std::lock_guard<std::recursive_mutex> lock{pa_mutex()};
  const PaApi& api = loaded_api();  // first: the diagnostics hooks look for what PortAudio loaded
  QuietNative quiet;
  std::uint64_t mark = log_mark();
  mutable std::optional<CaptureStderr> capture;  // for the calls that can print traces

  explicit PaCall(bool capture_stderr = false) {
    if (capture_stderr) capture.emplace();
  }

  [[noreturn]] void fail(PaError err) const {
    std::string text = pa().GetErrorText(err);
    if (err == paUnanticipatedHostError) {
      const PaHostErrorInfo* host = pa().GetLastHostErrorInfo();
      if (host && host->errorText && *host->errorText) text += std::string(": ") + host->errorText;
    }
    capture.reset();  // flush the traces of this call into the log first
    throw PortAudioError(err, text, log_since(mark));
  }
  void check(PaError err) const {
    if (err < 0) fail(err);
  }
};

}  // namespace

std::vector<std::string> native_messages() {
  auto& log = native_log();
  std::lock_guard<std::mutex> lock(log.mu);
  return {log.lines.begin(), log.lines.end()};
}

std::string version_text() { return pa().GetVersionText(); }

int sample_size(unsigned long format) {
  switch (format) {
    case kFloat32:
    case kInt32:
      return 4;
    case kInt24:
      return 3;
    case kInt16:
      return 2;
    case kInt8:
    case kUInt8:
      return 1;
    default:
      return 0;
  }
}

// ------------------------------------------------------------------ sessions and streams

struct StreamState {
  PaStream* stream = nullptr;  // null once closed
  int frame_bytes = 0;
};

struct SessionState {
  bool alive = false;
  std::vector<std::weak_ptr<StreamState>> streams;
};

namespace {

void close_locked(StreamState& s) {
  if (!s.stream) return;
  PaStream* st = s.stream;
  s.stream = nullptr;
  pa().CloseStream(st);  // discards pending buffers of an active stream
}

void require_alive(const SessionState& s) {
  if (!s.alive) throw TerminatedError("this PortAudio session was terminated; create a new one");
}

DeviceInfo to_device_info(int index, const PaDeviceInfo& d) {
  DeviceInfo r;
  r.index = index;
  r.struct_version = d.structVersion;
  r.name = d.name ? d.name : "";
  r.host_api = d.hostApi;
  r.max_input_channels = d.maxInputChannels;
  r.max_output_channels = d.maxOutputChannels;
  r.default_low_input_latency = d.defaultLowInputLatency;
  r.default_low_output_latency = d.defaultLowOutputLatency;
  r.default_high_input_latency = d.defaultHighInputLatency;
  r.default_high_output_latency = d.defaultHighOutputLatency;
  r.default_sample_rate = d.defaultSampleRate;
  return r;
}

}  // namespace

Session::Session() : state_(std::make_shared<SessionState>()) {
  PaCall call(true);
  call.check(pa().Initialize());
  state_->alive = true;
}

Session::~Session() {
  try {
    terminate();
  } catch (...) {
  }
}

void Session::terminate() {
  PaCall call(true);
  if (!state_->alive) return;
  for (auto& w : state_->streams)
    if (auto s = w.lock()) close_locked(*s);
  state_->streams.clear();
  state_->alive = false;
  pa().Terminate();
}

bool Session::terminated() const {
  std::lock_guard<std::recursive_mutex> lock(pa_mutex());
  return !state_->alive;
}

int Session::host_api_count() const {
  PaCall call;
  require_alive(*state_);
  PaHostApiIndex n = pa().GetHostApiCount();
  call.check(n);
  return n;
}

HostApiInfo Session::host_api_info(int host_api) const {
  PaCall call;
  require_alive(*state_);
  const PaHostApiInfo* h = host_api >= 0 ? pa().GetHostApiInfo(host_api) : nullptr;
  if (!h) call.fail(paInvalidHostApi);
  HostApiInfo r;
  r.index = host_api;
  r.struct_version = h->structVersion;
  r.type = h->type;
  r.name = h->name ? h->name : "";
  r.device_count = h->deviceCount;
  r.default_input_device = h->defaultInputDevice;
  r.default_output_device = h->defaultOutputDevice;
  return r;
}

int Session::device_count() const {
  PaCall call;
  require_alive(*state_);
  PaDeviceIndex n = pa().GetDeviceCount();
  call.check(n);
  return n;
}

DeviceInfo Session::device_info(int device) const {
  PaCall call;
  require_alive(*state_);
  const PaDeviceInfo* d = device >= 0 ? pa().GetDeviceInfo(device) : nullptr;
  if (!d) call.fail(paInvalidDevice);
  return to_device_info(device, *d);
}

DeviceInfo Session::host_api_device_info(int host_api, int host_api_device) const {
  PaCall call;
  require_alive(*state_);
  if (host_api < 0 || host_api >= pa().GetHostApiCount()) call.fail(paInvalidHostApi);
  PaDeviceIndex device = pa().HostApiDeviceIndexToDeviceIndex(host_api, host_api_device);
  call.check(device);
  const PaDeviceInfo* d = pa().GetDeviceInfo(device);
  if (!d) call.fail(paInvalidDevice);
  return to_device_info(device, *d);
}

std::optional<int> Session::default_input_device() const {
  PaCall call;
  require_alive(*state_);
  PaDeviceIndex d = pa().GetDefaultInputDevice();
  if (d < 0) return std::nullopt;
  return d;
}

std::unique_ptr<Stream> Session::open(const StreamParams& p) {
  PaCall call(true);
  require_alive(*state_);
  if (!p.input && !p.output) throw std::invalid_argument("a stream needs input=True or output=True");
  int bytes = sample_size(p.format);
  if (bytes == 0) call.fail(paSampleFormatNotSupported);
  if (p.channels <= 0) call.fail(paInvalidChannelCount);
  if (!(p.rate > 0) || !std::isfinite(p.rate)) call.fail(paInvalidSampleRate);

  auto make = [&](std::optional<int> chosen, bool input) {
    PaStreamParameters s{};
    PaDeviceIndex count = pa().GetDeviceCount();
    call.check(count);
    PaDeviceIndex dev = chosen ? *chosen : (input ? pa().GetDefaultInputDevice() : pa().GetDefaultOutputDevice());
    // Only real device numbers: PortAudio's special negative values want extra host structures.
    if (dev < 0 || dev >= count) call.fail(paInvalidDevice);
    const PaDeviceInfo* info = pa().GetDeviceInfo(dev);
    if (!info) call.fail(paInvalidDevice);
    s.device = dev;
    s.channelCount = p.channels;
    s.sampleFormat = p.format;
    s.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    s.hostApiSpecificStreamInfo = nullptr;
    return s;
  };
  std::optional<PaStreamParameters> in, out;
  if (p.input) in = make(p.input_device, true);
  if (p.output) out = make(p.output_device, false);

  PaStream* stream = nullptr;
  call.check(pa().OpenStream(&stream, in ? &*in : nullptr, out ? &*out : nullptr, p.rate,
                             p.frames_per_buffer == 0 ? paFramesPerBufferUnspecified : p.frames_per_buffer, paNoFlag,
                             nullptr, nullptr));
  auto st = std::make_shared<StreamState>();
  st->stream = stream;
  st->frame_bytes = bytes * p.channels;
  if (p.start) {
    PaError err = pa().StartStream(stream);
    if (err < 0) {
      close_locked(*st);
      call.fail(err);
    }
  }
  // forget streams that are gone before remembering the new one
  std::erase_if(state_->streams, [](const std::weak_ptr<StreamState>& w) {
    auto s = w.lock();
    return !s || !s->stream;
  });
  state_->streams.push_back(st);
  return std::make_unique<Stream>(state_, st);
}

Stream::Stream(std::shared_ptr<SessionState> session, std::shared_ptr<StreamState> state)
    : session_(std::move(session)), state_(std::move(state)) {}

Stream::~Stream() {
  try {
    close();
  } catch (...) {
  }
}

void Stream::close() {
  PaCall call(true);
  close_locked(*state_);
}

bool Stream::is_open() const {
  std::lock_guard<std::recursive_mutex> lock(pa_mutex());
  return state_->stream != nullptr;
}

bool Stream::is_active() const {
  PaCall call;
  if (!state_->stream) return false;
  PaError r = pa().IsStreamActive(state_->stream);
  call.check(r);
  return r == 1;
}

std::vector<std::uint8_t> Stream::read(unsigned long frames) {
  PaCall call;  // may block for long: standard error stays as it is
  if (!state_->stream) {
    require_alive(*session_);
    throw TerminatedError("this stream was closed");
  }
  constexpr unsigned long kMaxBytes = 1ul << 30;
  if (frames > kMaxBytes / static_cast<unsigned long>(state_->frame_bytes))
    throw std::length_error("too many frames for one read");
  std::vector<std::uint8_t> buf(frames * state_->frame_bytes);
  if (frames == 0) return buf;
  PaError err = pa().ReadStream(state_->stream, buf.data(), frames);
  if (err < 0 && err != paInputOverflowed) call.fail(err);
  return buf;
}

}  // namespace vemio::device
